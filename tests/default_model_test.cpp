// The shipped default model and the quick-start sample: the model loads and
// finds speech and speakers in the sample meeting.
#include <gtest/gtest.h>

#include <string>

#include "zr_quorva.h"

namespace {

const std::string kModel = std::string(QUORVA_SOURCE_DIR) + "/models/default.zr";
const std::string kSample = std::string(QUORVA_SOURCE_DIR) + "/samples/ami-dev00.flac";

TEST(DefaultModel, DiarizesTheShippedSample) {
    zr_quorva_t *engine = nullptr;
    ASSERT_EQ(zr_quorva_init(kModel.c_str(), &engine), ZR_STATUS_SUCCESS);
    int32_t count = 0;
    zr_quorva_segment_t *segments = nullptr;
    const zr_status_t status = zr_quorva_process_file(engine, kSample.c_str(), &count, &segments);
    zr_quorva_delete(engine);
    ASSERT_EQ(status, ZR_STATUS_SUCCESS);
    EXPECT_GE(count, 1);
    float previous_end = 0.0f;
    for (int32_t i = 0; i < count; ++i) {
        EXPECT_GE(segments[i].start_seconds, previous_end);
        // times are frame start times: a one-frame segment starts and ends together
        EXPECT_GE(segments[i].end_seconds, segments[i].start_seconds);
        EXPECT_LE(segments[i].end_seconds, 30.1f);
        EXPECT_GE(segments[i].speaker_label, 1);
        previous_end = segments[i].end_seconds;
    }
    zr_quorva_segments_delete(segments);
}

}  // namespace
