// Placeholder until this device model is written: the board has no such
// device yet.
#include "sim/kernel/model.h"

namespace sim {

std::unique_ptr<Model> make_usb(Kernel &, const Section &) { return std::make_unique<Model>(); }

} // namespace sim
