// Port-multiplier firmware images as the board keeps them in
// /dav0/vex321.bin: a 32-byte header (vendor 0x197B, revision, chip ID,
// bonding, two length parts) followed by the code.
#pragma once

#include "sim/kernel/scenario.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace sim {

struct FirmwareImage {
    size_t length = 65536;
    uint8_t revision = 0x01;
    uint8_t bonding = 0x05;
    uint16_t vendor = 0x197B; // bytes 0-1, little-endian
    uint8_t chip_id = 0x32;   // byte 3
    // The 16-bit numbers at offsets 8 and 12, whose sum is the file length.
    // Unset: the length split between them, so that they agree with it.
    std::optional<std::pair<uint16_t, uint16_t>> length_parts;
    uint32_t seed = 1; // the code bytes are pseudo-random from it
};

// The file's bytes. A length under 32 gives the first bytes of the header.
std::string make_firmware_image(const FirmwareImage &wanted);

// The image a scenario section describes; revision and bonding default to
// the chip's, so that an image without them fits the board.
FirmwareImage firmware_image_from(const Section &s, uint8_t revision, uint8_t bonding);

// The longest image whose two 16-bit length parts can add up to its length.
constexpr size_t kLongestConsistentImage = 2 * 0xFFFF;

} // namespace sim
