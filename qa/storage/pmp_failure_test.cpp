// The failure sites of pmpupdate before it may touch the flash, one row
// each: the lines of every level it passes, result -1 with the updated flag
// cleared (it is set before the call), the disk and the image closed again,
// and no write enable, erase, program or status write. The sites past them
// are the catalog's pmp-* scenarios.
#include "datarows.h"
#include "simrun.h"

#include "platform/sys.h"
#include "sim/models/disks.h"
#include "storage/storage.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

class PmpFailure : public ::testing::TestWithParam<qa::DataRow> {};

// qa/data/pmp-failures.json: the one chip, behind sda (the image is 1 KiB),
// what the row's "scenario" merges over that board, and the last lines
// printed.
TEST_P(PmpFailure, ReportsEachLevelAndGivesEverythingBack) {
    const qa::DataRow &row = GetParam();
    nlohmann::json doc = {
        {"disks", {{"drives", {"sda"}}, {"image", {{"length", 1024}}}, {"chips", {row["chip"]}}}}};
    doc.merge_patch(row.fields.value("scenario", nlohmann::json::object()));
    std::string tail;
    for (const auto &line : row["tail"])
        tail += line.get<std::string>() + "\n";
    int result = 0, flag = -1, before = 0, after = 0;
    qa::SimRun run = qa::run_on_board(doc.dump(), [&](sim::Kernel &k) {
        before = k.open_descriptors(1);
        pmpblock.fwUpdated = 1;
        result = pmpupdate(sys::open("/dev/sda", O_RDONLY));
        flag = firmwareupdated();
        after = k.open_descriptors(1);
        return 0;
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(after, before) << "the disk or the image left open";
    std::string out = run.out();
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), tail.size())), tail) << out;
    const sim::PmpCounters &n = run.kernel->model<sim::Disks>()->chip(1).counters();
    EXPECT_EQ(n.write_enable + n.chip_erase + n.program + n.status_write, 0u);
}

INSTANTIATE_TEST_SUITE_P(Pmpupdate, PmpFailure,
                         ::testing::ValuesIn(qa::data_rows("pmp-failures.json")),
                         qa::data_row_name);

} // namespace
