// The firmware image file and the flash contents through pmpupdate on the
// simulated port multiplier.
//
// The image file and the flash the chip starts with come from the input;
// the chip's revision and bonding, write protection, stuck bits and busy
// spells too. pmpupdate runs once on a disk behind the chip.
//
// Checks: the run ends normally; a result of 0 means the flash, as the chip
// presents it, holds the image byte for byte (never success with a
// different flash); 0 with the updated flag clear means the flash was not
// touched; the flag is set only on success; the disk descriptor and the
// image file are closed whatever happened.
//
// Input: byte 0 chooses the flash's start (bits 0-1: the image, blank, the
// image with one word changed, blank again), whether the image header is
// made to fit the chip (bit 2), write protection (bit 3), the flash size
// (bits 4-5: 256 bytes to 16 KiB), a stuck bit (bit 6) and a flash busy at
// start (bit 7); byte 1 the busy spells; bytes 2 and 3 the chip's revision
// and bonding; bytes 4-6 an address and a bit; the rest is the image file.
#include "fuzzsupport.h"

#include "platform/sys.h"
#include "sim/models/disks.h"
#include "storage/storage.h"

#include <algorithm>

namespace {

using fuzz::json;

constexpr size_t kMaxImage = 16384;
const char *const kImage = "/dav0/vex321.bin";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t mode = in.byte();
    uint8_t busy = in.byte();
    uint8_t revision = in.byte();
    uint8_t bonding = in.byte();
    uint16_t where = in.word();
    uint8_t bit = in.byte();
    std::vector<uint8_t> image = in.rest();
    image.resize(std::min(image.size(), kMaxImage));

    static const size_t kFlashSizes[4] = {256, 1024, 4096, 16384};
    size_t flash_size = kFlashSizes[(mode >> 4) & 3];
    if (mode & 4) {
        // A header that passes the checks, so that the input reaches the
        // flash rather than stopping at them.
        image.resize(std::max<size_t>(image.size() & ~static_cast<size_t>(3), 32));
        const uint8_t head[5] = {0x7B, 0x19, revision, 0x32, bonding};
        std::copy(head, head + 5, image.begin());
        size_t second = std::min<size_t>(image.size(), 0xFFFF), first = image.size() - second;
        for (int i = 0; i < 2; ++i) {
            image[8 + i] = static_cast<uint8_t>(first >> (8 * i));
            image[12 + i] = static_cast<uint8_t>(second >> (8 * i));
        }
    }

    // The image as far as it fits (bit 0 clear), with one word changed (bits
    // 0-1 giving 2); a blank flash otherwise.
    std::vector<uint8_t> flash(flash_size, 0xFF);
    if ((mode & 1) == 0)
        std::copy_n(image.begin(), std::min(image.size(), flash_size), flash.begin());
    if ((mode & 3) == 2)
        for (size_t i = 0; i < 4; ++i)
            flash[(where & ~3u) % flash_size + i] ^= static_cast<uint8_t>(bit | 1);
    sim::SpiFlash::BusyReads reads{busy & 3, (busy >> 2) & 7, busy >> 5};
    std::vector<sim::SpiFlash::StuckBit> stuck;
    if (mode & 0x40)
        stuck.push_back({static_cast<uint32_t>(where % flash_size), bit & 7, (bit >> 3) & 1});
    uint8_t status = (mode & 8) ? sim::SpiFlash::kProtect : 0;
    int64_t busy_at_start = (mode & 0x80) ? (bit >> 4) : 0;

    json doc = {
        {"console", {{"operator", "absent"}}},
        {"panel", {{"silent", true}}},
        {"disks",
         {{"image", {{"missing", true}, {"length", 256}}},
          {"chips", json::array({{{"revision", revision},
                                  {"bonding_high", bonding >> 2},
                                  {"bonding_low", bonding & 3},
                                  {"flash", {{"size", 256}}}}})},
          {"drives", json::array({"sda"})}}},
        {"system", {{"time_limit", 60}, {"spin_limit", 2000000}}},
    };
    auto board = fuzz::make_board(doc);
    sim::Disks &disks = *board->kernel->model<sim::Disks>();
    disks.chip(1).flash() = sim::SpiFlash(flash, reads, status, busy_at_start, stuck);
    board->kernel->vfs().add_file(kImage, std::string(image.begin(), image.end()));
    // What the chip shows before anything is written, stuck bits applied.
    std::vector<uint8_t> initial = disks.chip(1).flash().bytes();

    int result = 0, flag = 0, open_before = 0, open_after = 0;
    board->run_routine([&](sim::Kernel &k) {
        open_before = k.open_descriptors(1);
        result = pmpupdate(sys::open("/dev/sda", O_RDONLY));
        flag = firmwareupdated();
        open_after = k.open_descriptors(1);
        return 0;
    });
    const fuzz::Board *b = board.get();
    FUZZ_CHECK(b, fuzz::exited(*b, 0), "the run did not end normally: %s",
               b->result.describe().c_str());
    FUZZ_CHECK(b, result == 0 || result == -1, "pmpupdate returned %d", result);
    FUZZ_CHECK(b, flag == 0 || (flag == 1 && result == 0), "updated flag %d with result %d", flag,
               result);
    FUZZ_CHECK(b, open_after == open_before, "%d descriptors open before, %d after", open_before,
               open_after);

    const std::vector<uint8_t> &end = disks.chip(1).flash().bytes();
    if (result == 0) {
        // The chip ignores address bits beyond its flash: what it presents
        // at address k is the byte at k modulo the flash's size.
        for (size_t k = 0; k < image.size(); ++k)
            FUZZ_CHECK(b, end[k % end.size()] == image[k],
                       "success reported, but flash address %zu holds %02X where the image has "
                       "%02X (image %zu bytes, flash %zu)",
                       k, end[k % end.size()], image[k], image.size(), end.size());
        if (flag == 0)
            FUZZ_CHECK(b, end == initial, "the flash changed, yet no update was reported");
    }
    return 0;
}
