// Storage on the simulated board: the SATA disks /dev/sda, /dev/sdb ...,
// the port multipliers in front of them with their SPI flash, and the
// firmware image /dav0/vex321.bin.
#pragma once

#include "sim/kernel/model.h"
#include "sim/models/jmb321.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {

class DiskDrive;

class Disks : public Model {
  public:
    Disks(Kernel &k, const Section &s);
    ~Disks() override;

    // Chips are numbered from 1, as the board's reset lines count them.
    int chip_count() const { return static_cast<int>(chips_.size()); }
    Jmb321 &chip(int number) { return *chips_.at(static_cast<size_t>(number - 1)); }
    // The image the scenario describes, whether or not the file exists.
    const std::string &image() const { return image_; }
    Time request_latency() const { return latency_; }

  private:
    Kernel &k_;
    std::vector<std::unique_ptr<Jmb321>> chips_;
    std::vector<std::unique_ptr<DiskDrive>> drives_;
    std::string image_;
    Time latency_ = 0;
};

} // namespace sim
