// What of the device emulator the product's tests do not reach: the NOR
// programming rule and power cuts.
#include <fcntl.h>
#include <sys/ioctl.h>  // before mtd-user.h, which needs it
#include <unistd.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>

#include <vector>

#include "hw/board_files.h"

TEST(Emulator, WritesOnlyClearBitsUntilErasedAndPowerCutsEndTheProcess) {
    clear_devemu_environment();
    setenv("DEVEMU_ERASE_SIZE", "4096", 1);
    ASSERT_TRUE(fill_file("/dev/mtd-ubootenv", 0xFF));
    int fd = open("/dev/mtd-ubootenv", O_RDWR);
    ASSERT_EQ(pwrite(fd, "\xF0\x0F", 2, 100), 2);
    ASSERT_EQ(pwrite(fd, "\x3C\xFF", 2, 100), 2);
    EXPECT_EQ(read_file("/dev/mtd-ubootenv").substr(99, 4), std::string("\xFF\x30\x0F\xFF", 4));
    erase_info_user all{0, 65536};
    ASSERT_EQ(ioctl(fd, MEMERASE, &all), 0);
    EXPECT_EQ(read_file("/dev/mtd-ubootenv"), std::string(65536, '\xFF'));
    setenv("DEVEMU_POWER_CUT_BLOCKS", "2", 1);
    std::vector<char> zeros(1024, 0);
    EXPECT_EXIT(
        {
            for (uint32_t at = 0; at < 65536; at += 1024) pwrite(fd, zeros.data(), 1024, at);
            _exit(0);
        },
        ::testing::ExitedWithCode(99), "");
    EXPECT_EQ(read_file("/dev/mtd-ubootenv"), std::string(8192, '\0') + std::string(57344, '\xFF'));
    close(fd);
    clear_devemu_environment();
}
