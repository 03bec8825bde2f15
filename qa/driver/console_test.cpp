// Console messages leave whole, one write each, whatever their length
// against the formatting buffer (a short write being continued is in the
// catalog: whole-console-short-writes).
#include "platform/console.h"
#include "simrun.h"

#include <gtest/gtest.h>

namespace {

TEST(Console, MessagesAroundTheBufferSizeLeaveWholeInOneWrite) {
    for (size_t length : {511u, 512u, 513u, 2000u}) {
        std::string text(length - 1, 'x');
        text += '\n';
        qa::SimRun r = qa::run_routine("{}", [&] {
            say("%s", text.c_str());
            return 0;
        });
        ASSERT_EQ(r.kernel->console().size(), 1u) << length;
        EXPECT_EQ(r.kernel->console()[0].bytes, text) << length;
    }
}

} // namespace
