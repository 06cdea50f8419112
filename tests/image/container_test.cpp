#include "image/container.h"

#include <gtest/gtest.h>

TEST(ImageCrc32, NineDigits) {
    EXPECT_EQ(image_crc32("123456789", 9, 0xFFFFFFFFu), 0x340BC6D9u);
}
