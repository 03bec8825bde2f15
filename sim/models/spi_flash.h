// A serial NOR flash of the 25-series kind behind a port multiplier, modelled
// opcode by opcode: the write-enable latch, programming that can only clear
// bits, chip erase, block protection and a busy bit that stays up for a
// set number of status reads.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

class SpiFlash {
  public:
    static constexpr uint8_t kBusy = 0x01;     // write in progress
    static constexpr uint8_t kLatch = 0x02;    // write enable latch
    static constexpr uint8_t kProtect = 0x1C;  // block protect BP0-BP2
    static constexpr uint8_t kWritable = 0x9C; // what write status can set
    static constexpr int64_t kForever = -1;

    // Status reads that still find the flash busy after each operation;
    // kForever keeps it busy for good.
    struct BusyReads {
        int64_t program = 1;
        int64_t erase = 200;
        int64_t status_write = 10;
    };
    struct StuckBit {
        uint32_t address;
        int bit;
        int value;
    };
    enum class Outcome { Done, Busy, NoLatch, Protected };

    SpiFlash(std::vector<uint8_t> contents, BusyReads busy, uint8_t status = 0,
             int64_t busy_at_start = 0, std::vector<StuckBit> stuck = {});

    // The opcodes.
    Outcome write_enable();                                        // 0x06
    Outcome chip_erase();                                          // 0xC7
    Outcome write_status(uint8_t value);                           // 0x01
    Outcome page_program(uint32_t address, const uint8_t data[4]); // 0x02, four bytes
    void read(uint32_t address, uint8_t out[4]) const;             // 0x03, four bytes
    uint8_t read_status();                                         // 0x05

    const std::vector<uint8_t> &bytes() const { return bytes_; }
    uint8_t status() const { return status_; }
    bool busy() const { return busy_left_ != 0; }

  private:
    void start(int64_t reads);
    void finish();
    void apply_stuck();
    uint32_t wrap(uint32_t address) const;

    std::vector<uint8_t> bytes_;
    BusyReads busy_reads_;
    std::vector<StuckBit> stuck_;
    uint8_t status_ = 0; // latch and protect bits; busy is busy_left_
    int64_t busy_left_ = 0;
};

} // namespace sim
