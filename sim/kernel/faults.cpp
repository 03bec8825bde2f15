#include "sim/kernel/faults.h"

namespace sim {

void Faults::load(const Section &list) {
    for (const Section &s : list.items()) {
        s.only({"call", "path", "request", "nth", "every", "errno", "mode", "at_most"});
        FaultRule r;
        r.call = s.choice("call", "",
                          {"open",   "close",          "read",      "write",    "pread",   "lseek",
                           "ioctl",  "select",         "tcsetattr", "opendir",  "readdir", "chdir",
                           "mount",  "umount",         "statfs",    "stat",     "mkdir",   "access",
                           "remove", "system",         "run",       "setuid",   "uname",   "socket",
                           "spawn",  "pthread_create", "waitpid",   "sigaction"});
        r.path = s.text("path", "");
        // Only an ioctl has a request: another call's rule would never fire.
        if (r.call != "ioctl")
            s.unused("request", "on a call other than ioctl");
        if (s.has("request"))
            r.request = static_cast<unsigned long>(s.integer("request", 0, 0, 0xFFFFFFFFLL));
        r.nth = s.integer("nth", 1, 1, INT64_MAX);
        r.every = s.flag("every", false);
        r.err = s.errno_value("errno", EIO);
        std::string mode = s.choice("mode", "error", {"error", "short", "interrupt", "hang"});
        if (mode != "error")
            s.unused("errno", "unless mode is \"error\"");
        if (mode == "short" && r.call != "read" && r.call != "write" && r.call != "pread")
            s.fail("mode",
                   "\"short\" moves half the bytes of a read, write or pread, not of " + r.call);
        // A cap rather than a fraction: half of a block is still whole
        // words, and it takes a read of 1 byte to split one.
        if (mode != "short")
            s.unused("at_most", "unless mode is \"short\"");
        r.at_most = static_cast<size_t>(s.integer("at_most", 0, 1, INT32_MAX));
        r.mode = mode == "short"       ? FaultRule::Mode::Short
                 : mode == "interrupt" ? FaultRule::Mode::Interrupt
                 : mode == "hang"      ? FaultRule::Mode::Hang
                                       : FaultRule::Mode::Error;
        rules_.push_back(r);
    }
}

const FaultRule *Faults::match(const std::string &call, const std::string &path,
                               std::optional<unsigned long> request) {
    const FaultRule *fired = nullptr;
    for (auto &r : rules_) {
        if (r.call != call || (!r.path.empty() && r.path != path))
            continue;
        if (r.request && (!request || *r.request != *request))
            continue;
        ++r.seen;
        if (fired == nullptr && (r.every ? r.seen >= r.nth : r.seen == r.nth))
            fired = &r;
    }
    return fired;
}

} // namespace sim
