// Every scenario of the catalog shows exactly its expected transcript: what
// the operator sees, where the time goes and what the board does.
#include "sim/harness/harness.h"
#include "sim/harness/report.h"
#include "simrun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>

namespace {

std::vector<std::string> catalog() {
    std::vector<std::string> names;
    if (DIR *dir = ::opendir(FTQ_SOURCE_DIR "/scenarios")) {
        // The 64-bit entry: on 32-bit ARM under qemu-user the plain readdir
        // stops at the first entry whose 64-bit offset or inode number does
        // not fit (EOVERFLOW), and the catalog would look empty.
        while (struct dirent64 *e = ::readdir64(dir)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0)
                names.push_back(n.substr(0, n.size() - 5));
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Catalog : public ::testing::TestWithParam<std::string> {};

TEST_P(Catalog, ShowsItsExpectedTranscript) {
    const std::string name = GetParam();
    sim::Scenario scenario =
        sim::Scenario::from_file(std::string(FTQ_SOURCE_DIR) + "/scenarios/" + name + ".json");
    ASSERT_FALSE(scenario.root().text("description", "").empty())
        << "every catalog scenario says in one line what it is";
    sim::Kernel kernel(scenario);
    sim::RunResult r = sim::run_ftq(kernel, sim::scenario_args(scenario));
    std::string shown =
        sim::transcript(kernel) + sim::step_table(kernel, r) + sim::board_report(kernel, r);
    std::string expected_file = "scenarios/" + name + ".expected";
    std::string expected;
    try {
        expected = qa::source_file(expected_file);
    } catch (const std::exception &) {
        FAIL() << expected_file << " is missing; draft it with ftq-sim --scenario " << name
               << " and check every line against the product's texts before adding it";
    }
    bool converts = false;
    sim::gb2312_to_utf8("", &converts);
    if (!converts) {
        // The console text and the step headings need a GB2312 converter;
        // what the board did is plain text and is still compared.
        std::string board = sim::board_report(kernel, r);
        EXPECT_TRUE(expected.size() >= board.size() &&
                    expected.compare(expected.size() - board.size(), board.size(), board) == 0)
            << "what the board did in " << name << " differs from the end of " << expected_file
            << ":\n"
            << board;
        GTEST_SKIP() << "console text not compared: this system's iconv has no GB2312 converter "
                        "(qemu-user sysroots lack gconv modules)";
    }
    EXPECT_EQ(shown, expected) << "the run of " << name << " differs from " << expected_file;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Catalog, ::testing::ValuesIn(catalog()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                             std::string id = info.param;
                             std::replace_if(
                                 id.begin(), id.end(), [](char c) { return !isalnum(c); }, '_');
                             return id;
                         });

TEST(CatalogList, HasScenarios) { EXPECT_GE(catalog().size(), 1u); }

} // namespace
