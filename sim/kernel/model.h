// A device model: one self-contained unit of the simulated board. It reads
// its own section of the scenario, hangs its nodes in the file tree, attaches
// to the board's wires and records what it is asked in the trace.
#pragma once

#include "sim/kernel/kernel.h"

#include <memory>
#include <vector>

namespace sim {

class Model {
  public:
    virtual ~Model() = default;
};

struct ModelEntry {
    const char *section; // the scenario's top-level key this model reads
    std::unique_ptr<Model> (*make)(Kernel &kernel, const Section &section);
};

// Every model of the board, in the order they are built.
const std::vector<ModelEntry> &all_models();

} // namespace sim
