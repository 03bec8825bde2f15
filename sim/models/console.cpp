#include "sim/models/console.h"

namespace sim {

std::unique_ptr<Model> make_console(Kernel &k, const Section &s) {
    return std::make_unique<Console>(k, s);
}

} // namespace sim
