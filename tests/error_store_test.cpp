// Status texts, the per-thread error stack and the log switch.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "common/error_store.h"
#include "common/log.h"
#include "support/error_capture.h"
#include "zr_quorva.h"

namespace {

TEST(StatusText, EveryCodeAndOutOfRange) {
    const char *expected[] = {"SUCCESS",        "OUT_OF_MEMORY", "IO_ERROR",      "INVALID_ARGUMENT",
                              "STOP_ITERATION", "KEY_ERROR",     "INVALID_STATE", "RUNTIME_ERROR"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_STREQ(zr_status_to_string(static_cast<zr_status_t>(i)), expected[i]);
    }
    EXPECT_EQ(zr_status_to_string(static_cast<zr_status_t>(-1)), nullptr);
    EXPECT_EQ(zr_status_to_string(static_cast<zr_status_t>(8)), nullptr);
    EXPECT_EQ(zr_status_to_string(static_cast<zr_status_t>(INT32_MIN)), nullptr);
}

TEST(ErrorStack, ThreadWithoutFailureGetsInvalidState) {
    std::thread([] {
        char **messages = reinterpret_cast<char **>(0x1);
        int32_t depth = 5;
        EXPECT_EQ(zr_get_error_stack(&messages, &depth), ZR_STATUS_INVALID_STATE);
        EXPECT_EQ(messages, nullptr);
        EXPECT_EQ(depth, 0);
    }).join();
}

TEST(ErrorStack, NullOutputsAreRefused) {
    int32_t depth = 3;
    char **messages = reinterpret_cast<char **>(0x1);
    EXPECT_EQ(zr_get_error_stack(nullptr, &depth), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(depth, 0);
    EXPECT_EQ(zr_get_error_stack(&messages, nullptr), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(messages, nullptr);
}

TEST(ErrorStack, CollectReleasesTheSlot) {
    zr_quorva_t *engine = nullptr;
    EXPECT_EQ(zr_quorva_init(nullptr, &engine), ZR_STATUS_INVALID_ARGUMENT);
    error_capture first = take_errors();
    EXPECT_EQ(first.status, ZR_STATUS_SUCCESS);
    ASSERT_EQ(first.messages.size(), 1u);
    EXPECT_EQ(first.messages[0], "Argument `model_path` is NULL.");
    // The array always has 8 entries; those past the depth are empty.
    ASSERT_EQ(first.all_entries.size(), 8u);
    for (size_t i = 1; i < 8; ++i) EXPECT_EQ(first.all_entries[i], "");

    EXPECT_EQ(take_errors().status, ZR_STATUS_INVALID_STATE);
}

TEST(ErrorStack, NewFailingCallReplacesUncollectedMessages) {
    zr_quorva_t *engine = nullptr;
    zr_quorva_init(nullptr, &engine);
    zr_quorva_init("x", nullptr);
    error_capture errors = take_errors();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(errors.messages[0], "Argument `object` is NULL.");
}

TEST(ErrorStack, CallThatPushesNothingKeepsOldMessages) {
    zr_quorva_t *engine = nullptr;
    zr_quorva_init(nullptr, &engine);
    // A reset without any push leaves the earlier messages deliverable.
    error_stack_reset();
    error_capture errors = take_errors();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(errors.messages[0], "Argument `model_path` is NULL.");
}

TEST(ErrorStack, AtMostEightMessagesOfAtMost255Characters) {
    error_stack_reset();
    const std::string long_name(400, 'x');
    error_stack_push(MSG_ARG_NULL, long_name.c_str());
    for (int i = 1; i < 9; ++i) error_stack_push(MSG_ARG_BELOW_MIN, "num_samples", i, 512);
    error_capture errors = take_errors();
    ASSERT_EQ(errors.messages.size(), 8u);
    EXPECT_EQ(errors.messages[0].size(), 255u);
    EXPECT_EQ(errors.messages[0].substr(0, 10), "Argument `");
    EXPECT_EQ(errors.messages[7],
              "Argument `num_samples` value `7` is less than the minimum acceptable value of `512`.");
}

TEST(ErrorStack, CodedMessagesUseEightUpperCaseHexDigits) {
    error_stack_reset();
    error_stack_push(MSG_CODE_STATE);
    error_stack_push(MSG_CODE_COMPONENT);
    error_stack_push(MSG_CODE_FAILED);
    error_capture errors = take_errors();
    ASSERT_EQ(errors.messages.size(), 3u);
    EXPECT_EQ(errors.messages[0], "Zirtek Error (code `000000D2`)");
    EXPECT_EQ(errors.messages[1], "Zirtek Error (code `0000012C`)");
    EXPECT_EQ(errors.messages[2], "Zirtek Error (code `00000136`)");
}

TEST(ErrorStack, ThreadsKeepTheirOwnMessages) {
    constexpr int kThreads = 16;
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    std::barrier sync(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &good, &sync] {
            for (int round = 0; round < 50; ++round) {
                error_stack_reset();
                for (int i = 0; i <= t % 8; ++i) error_stack_push(MSG_ARG_BELOW_MIN, "thread", t, i);
                sync.arrive_and_wait();
                error_capture errors = take_errors();
                bool ok = errors.status == ZR_STATUS_SUCCESS &&
                          errors.messages.size() == static_cast<size_t>(t % 8 + 1);
                for (size_t i = 0; ok && i < errors.messages.size(); ++i) {
                    ok = errors.messages[i] == "Argument `thread` value `" + std::to_string(t) +
                                                   "` is less than the minimum acceptable value of `" +
                                                   std::to_string(i) + "`.";
                }
                if (ok) ++good;
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(good.load(), kThreads * 50);
}

TEST(ErrorStack, AllSlotsOwnedDropsANewThreadsMessages) {
    take_errors();  // this thread holds no slot from here on
    constexpr int kHolders = 128;
    std::barrier filled(kHolders + 1);
    std::barrier checked(kHolders + 1);
    std::atomic<int> delivered{0};
    std::vector<std::thread> holders;
    for (int t = 0; t < kHolders; ++t) {
        holders.emplace_back([&] {
            error_stack_reset();
            error_stack_push(MSG_FILE_READ);
            filled.arrive_and_wait();
            checked.arrive_and_wait();
            error_capture errors = take_errors();
            if (errors.messages.size() == 1 && errors.messages[0] == "Failed to read from file.") {
                ++delivered;
            }
        });
    }
    filled.arrive_and_wait();
    std::thread([] {
        error_stack_reset();
        error_stack_push(MSG_FILE_READ);
        EXPECT_EQ(take_errors().status, ZR_STATUS_INVALID_STATE);
    }).join();
    checked.arrive_and_wait();
    for (auto &th : holders) th.join();
    EXPECT_EQ(delivered.load(), kHolders);

    // Once released, slots can be claimed again.
    error_stack_push(MSG_FILE_READ);
    EXPECT_EQ(take_errors().messages.size(), 1u);
}

TEST(LogSwitch, PrintsOnlyWhileEnabled) {
    testing::internal::CaptureStdout();
    log_print("%s %d\n", "visible", 1);
    zr_log_disable();
    log_print("%s\n", "hidden");
    zr_log_enable();
    log_print("%s", "again");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "visible 1\nagain");
}

}  // namespace
