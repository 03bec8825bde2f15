// Fault injection by rule: the n-th (or every) call of a kind fails with a
// chosen errno, comes back short, is interrupted, or never returns.
#pragma once

#include "sim/kernel/scenario.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct FaultRule {
    enum class Mode { Error, Short, Interrupt, Hang };
    std::string call;                     // "open", "read", "ioctl", ...
    std::string path;                     // empty: any path
    std::optional<unsigned long> request; // ioctl only
    int64_t nth = 1;                      // 1-based, among matching calls
    bool every = false;
    int err = EIO;
    Mode mode = Mode::Error;
    size_t at_most = 0; // Short: the most bytes moved; 0 moves half
    int64_t seen = 0;
};

class Faults {
  public:
    void load(const Section &list);
    void add(FaultRule rule) { rules_.push_back(std::move(rule)); }
    // The rule that fires for this call, if any; counts the call.
    const FaultRule *match(const std::string &call, const std::string &path,
                           std::optional<unsigned long> request = std::nullopt);

  private:
    std::vector<FaultRule> rules_;
};

} // namespace sim
