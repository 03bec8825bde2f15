// The board I/O driver /dev/vexio: device and board information blocks,
// watchdog, buzzer, RS-485 line control, alarm lines and the port-multiplier
// reset lines.
#pragma once

#include "sim/kernel/model.h"

#include <array>

namespace sim {

// The healthy default board of a given type, as the board section fills it.
std::array<uint8_t, 256> board_info_block(const Section &info);

// The driver on any transport: the simulated kernel's node, or the CUSE
// device of the kernel test bed (sim/bed/vexio_cuse.cpp).
std::unique_ptr<Model> make_vexio(Host &host, const Section &board);

} // namespace sim
