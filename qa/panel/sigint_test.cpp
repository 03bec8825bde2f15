// Ctrl-C during and after the key test: the reply counter is printed and
// the program ends by the signal.
#include "panelqa.h"

#include "panel/panel.h"
#include "platform/sys.h"

#include <gtest/gtest.h>

using panelqa::bytes_at;
using panelqa::join;
using panelqa::key;
using panelqa::repeat;
using panelqa::REPLY;

namespace {

nlohmann::json sigint_at(double t) {
    return {{"signals", {{{"at", t}, {"signal", "SIGINT"}}}},
            {"console", {{"operator", "absent"}}}};
}

void expect_ended_by_sigint(const qa::SimRun &r) {
    EXPECT_EQ(r.result.end, sim::RunResult::End::Signalled) << r.result.describe();
    EXPECT_EQ(r.result.code, SIGINT);
}

TEST(PanelSigint, DuringTheTestPrintsRepliesAndEndsBySignal) {
    // The single test 3: the port opens at 2 s, three replies come at 2.5 s,
    // the operator presses Ctrl-C at 4 s while the key loop waits.
    auto r = qa::run_ftq(panelqa::scenario(1,
                                           {{"keys", nlohmann::json::array()},
                                            {"bytes", bytes_at({{0.5, repeat(REPLY, 3)}})}},
                                           sigint_at(4.0)),
                         {"-o", "3"});
    expect_ended_by_sigint(r);
    std::string out = r.out();
    const std::string line = "receive 0:3 replies\n";
    ASSERT_GE(out.size(), line.size());
    EXPECT_EQ(out.substr(out.size() - line.size()), line);
    EXPECT_EQ(panelqa::printed_at(r, line), 4 * sim::kSecond);
    // The handler restored the default action before the signal ended the
    // program.
    auto set = r.events("kernel", "sigaction");
    ASSERT_GE(set.size(), 2u);
    EXPECT_EQ(set[set.size() - 2].data["action"], "handler");
    EXPECT_EQ(set.back().data["action"], "default");
    EXPECT_EQ(set.back().data["signal"], SIGINT);
}

TEST(PanelSigint, AfterTheTestTheHandlerStillReports) {
    auto r = panelqa::routine(
        1,
        {{"keys", nlohmann::json::array()},
         {"bytes", bytes_at({{0.5, join({REPLY, REPLY, key("MENU", true)})}})}},
        [] {
            panelopen();
            paneltest();
            sys::sleep(100);
            return 0;
        },
        sigint_at(30.0));
    expect_ended_by_sigint(r);
    // Heartbeat replies that came after the test were never read.
    EXPECT_EQ(r.out().substr(r.out().size() - 20), "receive 0:2 replies\n");
    EXPECT_EQ(r.result.finished_at, 30 * sim::kSecond);
}

TEST(PanelSigint, ReplyCounterCarriesIntoTheHighWord) {
    const struct {
        uint32_t high, low;
        int replies;
        const char *printed;
    } cases[] = {
        {0, 0xFFFFFFFD, 1, "receive 0:4294967294 replies\n"},
        {0, 0xFFFFFFFD, 2, "receive 1:0 replies\n"},
        {0, 0xFFFFFFFE, 1, "receive 1:0 replies\n"},
        {0, 0xFFFFFFFE, 3, "receive 1:2 replies\n"},
        {7, 0xFFFFFFFE, 1, "receive 8:0 replies\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.printed);
        auto r = panelqa::routine(
            1,
            {{"keys", nlohmann::json::array()},
             {"bytes", bytes_at({{0.5, join({repeat(REPLY, c.replies), key("MENU", true)})}})}},
            [&c] {
                panelRepliesHigh = c.high;
                panelRepliesLow = c.low;
                panelopen();
                paneltest();
                sys::sleep(100);
                return 0;
            },
            sigint_at(5.0));
        expect_ended_by_sigint(r);
        std::string out = r.out();
        EXPECT_EQ(out.substr(out.size() - strlen(c.printed)), c.printed);
    }
}

} // namespace
