// The IDENTIFY pass-through on the real kernel: a descriptor that refuses
// HDIO_DRIVE_CMD gives -1 and leaves the caller's block as it was.
#include "platform/linux_backend.h"
#include "platform/sys.h"
#include "storage/storage.h"

#include <gtest/gtest.h>

#include <vector>

TEST(AtacmdOnLinux, RefusedRequestLeavesTheBlockUntouched) {
    static sys::LinuxBackend backend;
    sys::install(&backend);
    int fd = sys::open("/dev/null", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> block(512, 0x5A);
    EXPECT_EQ(atacmd(fd, 0xEC, block.data()), -1);
    EXPECT_EQ(block, std::vector<uint8_t>(512, 0x5A));
    sys::close(fd);
    sys::install(nullptr);
}
