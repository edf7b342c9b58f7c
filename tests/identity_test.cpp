// Version, sample rate, SDK label and zr_free.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "zr_quorva.h"

namespace {

TEST(Identity, ConstantsAndLabel) {
    EXPECT_STREQ(zr_quorva_version(), "1.0.0");
    EXPECT_EQ(zr_sample_rate(), 16000);

    // The label starts as "c" (this test runs before any other sets it).
    EXPECT_STREQ(zr_get_sdk(), "c");
    const char *label = zr_get_sdk();

    zr_set_sdk("0123456789012345678901234567890123456789");  // 40 characters
    EXPECT_STREQ(zr_get_sdk(), "0123456789012345678901234567890");
    EXPECT_EQ(zr_get_sdk(), label);  // the buffer itself, not a copy

    zr_set_sdk("abc");  // replaces the longer label entirely
    EXPECT_STREQ(zr_get_sdk(), "abc");
    for (int i = 3; i < 32; ++i) EXPECT_EQ(label[i], '\0') << i;

    zr_set_sdk(nullptr);  // ignored
    EXPECT_STREQ(zr_get_sdk(), "abc");
    zr_set_sdk("c");
}

TEST(Identity, FreeAcceptsNullAndLibraryMemory) {
    zr_free(nullptr);
    zr_free(std::malloc(16));
    zr_quorva_segments_delete(nullptr);
    zr_free_error_stack(nullptr);
    zr_quorva_delete(nullptr);
    SUCCEED();
}

}  // namespace
