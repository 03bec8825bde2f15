// What a device model needs from whatever carries it: the simulated kernel
// (sim/kernel/), or a transport of the kernel test bed (sim/bed/) that
// serves the same model to a real kernel. A model written against this
// interface has one home and any number of transports.
#pragma once

#include "sim/kernel/device.h"
#include "sim/kernel/scenario.h"
#include "sim/kernel/wiring.h"

#include <functional>
#include <string>

namespace sim {

class Host {
  public:
    virtual ~Host() = default;

    // The model's clock: virtual time on the simulated board, time since
    // the transport started on the test bed.
    virtual Time now() const = 0;
    // fn runs at time `when`, between the model's other calls.
    virtual void at(Time when, std::function<void()> fn) = 0;
    void after(Time delay, std::function<void()> fn) { at(now() + delay, std::move(fn)); }

    // What the model was asked and did.
    virtual void trace(const std::string &dev, const std::string &ev, nlohmann::json data = {}) = 0;
    virtual Wiring &wiring() = 0;
    virtual const Scenario &scenario() const = 0;
    // The model offers a node at path.
    virtual void add_device(const std::string &path, Device *dev) = 0;
};

} // namespace sim
