#include "sim/models/firmware_image.h"

#include <algorithm>

namespace sim {

std::string make_firmware_image(const FirmwareImage &wanted) {
    std::string out(wanted.length, '\0');
    uint32_t state = wanted.seed ? wanted.seed : 0x9E3779B9u;
    for (size_t i = 0; i < out.size(); ++i) {
        // xorshift32: the same seed always gives the same code.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out[i] = static_cast<char>(state >> 24);
    }
    uint16_t first = 0, second = 0;
    if (wanted.length_parts) {
        first = wanted.length_parts->first;
        second = wanted.length_parts->second;
    } else {
        size_t one = (wanted.length / 2) & ~static_cast<size_t>(3);
        size_t other = std::min<size_t>(wanted.length - one, 0xFFFF);
        first = static_cast<uint16_t>(wanted.length - other);
        second = static_cast<uint16_t>(other);
    }
    uint8_t header[32] = {};
    for (size_t i = 0; i < sizeof header && i < out.size(); ++i)
        header[i] = static_cast<uint8_t>(out[i]);
    header[0] = static_cast<uint8_t>(wanted.vendor);
    header[1] = static_cast<uint8_t>(wanted.vendor >> 8);
    header[2] = wanted.revision;
    header[3] = wanted.chip_id;
    header[4] = wanted.bonding;
    header[8] = static_cast<uint8_t>(first);
    header[9] = static_cast<uint8_t>(first >> 8);
    header[12] = static_cast<uint8_t>(second);
    header[13] = static_cast<uint8_t>(second >> 8);
    for (size_t i = 0; i < sizeof header && i < out.size(); ++i)
        out[i] = static_cast<char>(header[i]);
    return out;
}

FirmwareImage firmware_image_from(const Section &s, uint8_t revision, uint8_t bonding) {
    FirmwareImage wanted;
    wanted.length = static_cast<size_t>(s.integer("length", 65536, 0, 1 << 20));
    wanted.revision = static_cast<uint8_t>(s.integer("revision", revision, 0, 255));
    wanted.bonding = static_cast<uint8_t>(s.integer("bonding", bonding, 0, 255));
    wanted.vendor = static_cast<uint16_t>(s.integer("vendor", 0x197B, 0, 0xFFFF));
    wanted.chip_id = static_cast<uint8_t>(s.integer("chip_id", 0x32, 0, 255));
    wanted.seed = static_cast<uint32_t>(s.integer("seed", 1, 0, 0xFFFFFFFFLL));
    std::vector<Section> parts = s.list("length_parts");
    if (!parts.empty()) {
        if (parts.size() != 2)
            s.fail("length_parts", "must hold two numbers");
        wanted.length_parts = std::make_pair(static_cast<uint16_t>(parts[0].as_integer(0, 0xFFFF)),
                                             static_cast<uint16_t>(parts[1].as_integer(0, 0xFFFF)));
    } else if (wanted.length > kLongestConsistentImage) {
        s.fail("length", "longer than two 16-bit length parts can describe; give length_parts");
    }
    return wanted;
}

} // namespace sim
