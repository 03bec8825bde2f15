#include "sim/models/spi_flash.h"

namespace sim {

SpiFlash::SpiFlash(std::vector<uint8_t> contents, BusyReads busy, uint8_t status,
                   int64_t busy_at_start, std::vector<StuckBit> stuck)
    : bytes_(std::move(contents)), busy_reads_(busy), stuck_(std::move(stuck)),
      status_(static_cast<uint8_t>(status & (kWritable | kLatch))), busy_left_(busy_at_start) {
    if (bytes_.empty())
        bytes_.assign(1, 0xFF);
    apply_stuck();
}

uint32_t SpiFlash::wrap(uint32_t address) const {
    // Addresses past the end wrap around, as the chip ignores the high bits.
    return static_cast<uint32_t>(address % bytes_.size());
}

void SpiFlash::apply_stuck() {
    for (const auto &s : stuck_) {
        uint8_t &b = bytes_[wrap(s.address)];
        uint8_t mask = static_cast<uint8_t>(1u << s.bit);
        b = static_cast<uint8_t>(s.value ? (b | mask) : (b & ~mask));
    }
}

void SpiFlash::start(int64_t reads) {
    busy_left_ = reads;
    if (busy_left_ == 0)
        finish();
}

void SpiFlash::finish() {
    status_ = static_cast<uint8_t>(status_ & ~kLatch);
}

SpiFlash::Outcome SpiFlash::write_enable() {
    if (busy())
        return Outcome::Busy;
    status_ |= kLatch;
    return Outcome::Done;
}

SpiFlash::Outcome SpiFlash::chip_erase() {
    if (busy())
        return Outcome::Busy;
    if (!(status_ & kLatch))
        return Outcome::NoLatch;
    if (status_ & kProtect) {
        finish();
        return Outcome::Protected;
    }
    bytes_.assign(bytes_.size(), 0xFF);
    apply_stuck();
    start(busy_reads_.erase);
    return Outcome::Done;
}

SpiFlash::Outcome SpiFlash::write_status(uint8_t value) {
    if (busy())
        return Outcome::Busy;
    if (!(status_ & kLatch))
        return Outcome::NoLatch;
    status_ = static_cast<uint8_t>((status_ & ~kWritable) | (value & kWritable));
    start(busy_reads_.status_write);
    return Outcome::Done;
}

SpiFlash::Outcome SpiFlash::page_program(uint32_t address, const uint8_t data[4]) {
    if (busy())
        return Outcome::Busy;
    if (!(status_ & kLatch))
        return Outcome::NoLatch;
    if (status_ & kProtect) {
        finish();
        return Outcome::Protected;
    }
    // Bytes past the end of a 256-byte page wrap to its start.
    uint32_t page = address & ~0xFFu;
    for (uint32_t i = 0; i < 4; ++i) {
        uint32_t at = wrap(page | ((address + i) & 0xFF));
        bytes_[at] = static_cast<uint8_t>(bytes_[at] & data[i]);
    }
    apply_stuck();
    start(busy_reads_.program);
    return Outcome::Done;
}

void SpiFlash::read(uint32_t address, uint8_t out[4]) const {
    for (uint32_t i = 0; i < 4; ++i)
        // A read during a write cycle is not served: the data lines float.
        out[i] = busy() ? 0xFF : bytes_[wrap(address + i)];
}

uint8_t SpiFlash::read_status() {
    uint8_t s = status_;
    if (!busy())
        return s;
    s |= kBusy;
    if (busy_left_ > 0 && --busy_left_ == 0)
        finish();
    return s;
}

} // namespace sim
