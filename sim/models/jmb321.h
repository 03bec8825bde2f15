// A JMB321-like port multiplier as the board's SATA driver reaches it with
// request 0x197B: register reads of its control port and SPI transactions
// on its own flash, each carried in a 16-byte taskfile.
#pragma once

#include "sim/kernel/kernel.h"
#include "sim/models/spi_flash.h"

#include <array>
#include <deque>
#include <string>
#include <vector>

namespace sim {

// Requests the chip served, by kind. A test reads them to count what an
// operation cost without a trace event per flash word.
struct PmpCounters {
    uint64_t requests = 0;       // every request that reached the chip
    uint64_t failed = 0;         // answered with an error, injected or not
    uint64_t register_reads = 0; // command 0xE4
    uint64_t write_enable = 0;   // SPI 0x06
    uint64_t chip_erase = 0;     // SPI 0xC7
    uint64_t status_read = 0;    // SPI 0x05
    uint64_t busy_status = 0;    // status reads that found the flash busy
    uint64_t status_write = 0;   // SPI 0x01
    uint64_t read = 0;           // SPI 0x03
    uint64_t program = 0;        // SPI 0x02
    uint64_t ignored = 0;        // flash commands that changed nothing
};

// One request as the chip saw it.
struct PmpRequest {
    std::array<uint8_t, 16> sent{};
    std::array<uint8_t, 16> returned{};
    int result = 0; // 0 or -errno
};

class Jmb321 {
  public:
    struct Fault {
        std::string kind;   // empty: any request; else as kind_name() gives
        int64_t nth = 1;    // among the requests of that kind
        bool every = false; // and each one after it
        int err = EIO;
        // 0 to 255: the request succeeds with this status byte instead of
        // failing (a status read that sees a busy bit the flash never set).
        int status = -1;
        int64_t seen = 0;
    };
    struct Config {
        bool absent = false;         // no multiplier answers: every request fails
        uint8_t presence = 0x8F;     // register 0xFC00
        uint8_t revision = 0x01;     // register 0xFC03
        uint8_t bonding_high = 0x01; // register 0xFAFD
        uint8_t bonding_low = 0x01;  // register 0xFAFC
        std::vector<Fault> faults;
    };
    static constexpr size_t kRecent = 64;

    Jmb321(Kernel &k, int number, Config config, SpiFlash flash);

    // Serves one request on the 16-byte taskfile; 0 or -errno.
    int request(uint8_t *task);
    // The board's reset line of this chip.
    void reset();

    int number() const { return number_; }
    uint8_t revision() const { return config_.revision; }
    uint8_t bonding() const {
        return static_cast<uint8_t>(config_.bonding_high << 2 | config_.bonding_low);
    }
    const PmpCounters &counters() const { return counters_; }
    // The last kRecent requests, oldest first.
    const std::deque<PmpRequest> &recent() const { return recent_; }
    SpiFlash &flash() { return flash_; }
    const SpiFlash &flash() const { return flash_; }

    // "register_read", "WREN", "CE", "RDSR", "WRSR", "READ", "PP", or
    // "other" for a taskfile the chip does not know.
    static std::string kind_name(const uint8_t *task);

  private:
    int serve(uint8_t *task);
    int reject(const uint8_t *task, const char *why);
    int register_read(uint8_t *task);
    int spi(uint8_t *task);
    void note(const char *op, SpiFlash::Outcome outcome, nlohmann::json data = {});

    Kernel &k_;
    int number_;
    Config config_;
    SpiFlash flash_;
    PmpCounters counters_;
    std::deque<PmpRequest> recent_;
    int resets_ = 0;
    // A busy spell of an erase or status write is traced (a program's is
    // too short and too frequent to be worth an event per word).
    bool busy_traced_ = false;
};

} // namespace sim
