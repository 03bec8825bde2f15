#include "platform/backend.h"
#include "platform/sys.h"

#include <cstdlib>

namespace sys {

static Backend *installed = nullptr;

Backend &backend() {
    if (installed == nullptr)
        std::abort(); // a build that forgot to install a backend
    return *installed;
}

void install(Backend *b) {
    installed = b;
}

Backend *installed_backend() {
    return installed;
}

SignalHandler signal(int sig, SignalHandler handler) {
    struct sigaction act {};
    struct sigaction old {};
    act.sa_handler = handler;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_RESTART;
    if (backend().sigaction(sig, &act, &old) < 0)
        return SIG_ERR;
    return old.sa_handler;
}

} // namespace sys
