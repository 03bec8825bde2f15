#include "sim/models/firmware_image.h"

#include <algorithm>

namespace sim {

std::string make_firmware_image(const FirmwareImage &spec) {
    std::string out(spec.length, '\0');
    uint32_t state = spec.seed ? spec.seed : 0x9E3779B9u;
    for (size_t i = 0; i < out.size(); ++i) {
        // xorshift32: the same seed always gives the same code.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out[i] = static_cast<char>(state >> 24);
    }
    uint16_t first = 0, second = 0;
    if (spec.length_parts) {
        first = spec.length_parts->first;
        second = spec.length_parts->second;
    } else {
        size_t one = (spec.length / 2) & ~static_cast<size_t>(3);
        size_t other = std::min<size_t>(spec.length - one, 0xFFFF);
        first = static_cast<uint16_t>(spec.length - other);
        second = static_cast<uint16_t>(other);
    }
    uint8_t header[32] = {};
    for (size_t i = 0; i < sizeof header && i < out.size(); ++i)
        header[i] = static_cast<uint8_t>(out[i]);
    header[0] = static_cast<uint8_t>(spec.vendor);
    header[1] = static_cast<uint8_t>(spec.vendor >> 8);
    header[2] = spec.revision;
    header[3] = spec.chip_id;
    header[4] = spec.bonding;
    header[8] = static_cast<uint8_t>(first);
    header[9] = static_cast<uint8_t>(first >> 8);
    header[12] = static_cast<uint8_t>(second);
    header[13] = static_cast<uint8_t>(second >> 8);
    for (size_t i = 0; i < sizeof header && i < out.size(); ++i)
        out[i] = static_cast<char>(header[i]);
    return out;
}

FirmwareImage firmware_image_from(const Section &s, uint8_t revision, uint8_t bonding) {
    FirmwareImage spec;
    spec.length = static_cast<size_t>(s.integer("length", 65536, 0, 1 << 20));
    spec.revision = static_cast<uint8_t>(s.integer("revision", revision, 0, 255));
    spec.bonding = static_cast<uint8_t>(s.integer("bonding", bonding, 0, 255));
    spec.vendor = static_cast<uint16_t>(s.integer("vendor", 0x197B, 0, 0xFFFF));
    spec.chip_id = static_cast<uint8_t>(s.integer("chip_id", 0x32, 0, 255));
    spec.seed = static_cast<uint32_t>(s.integer("seed", 1, 0, 0xFFFFFFFFLL));
    std::vector<Section> parts = s.list("length_parts");
    if (!parts.empty()) {
        if (parts.size() != 2)
            s.fail("length_parts", "must hold two numbers");
        spec.length_parts = std::make_pair(static_cast<uint16_t>(parts[0].as_integer(0, 0xFFFF)),
                                           static_cast<uint16_t>(parts[1].as_integer(0, 0xFFFF)));
    } else if (spec.length > kLongestConsistentImage) {
        s.fail("length", "longer than two 16-bit length parts can describe; give length_parts");
    }
    return spec;
}

} // namespace sim
