// What `quorva info` computes from a model.
#include <gtest/gtest.h>

#include "cli/model_summary.h"
#include "model/model.h"
#include "support/model_writer.h"

namespace {

model_summary summary_of(const model_desc &desc) {
    temp_file file(serialize_model(desc));
    model_data *model = nullptr;
    bool opened = false;
    EXPECT_EQ(model_load(file.path(), &model, &opened), ZR_STATUS_SUCCESS);
    if (model == nullptr) return {};
    const model_summary s = summarize_model(*model);
    model_release(model);
    return s;
}

TEST(ModelSummary, CountsParametersAndMultiplyAccumulates) {
    const model_summary s =
        summary_of(random_model({.layers = 2, .hidden = 8, .embedding = 4, .window_frames = 20,
                                 .context_frames = 4}, 3));
    ASSERT_EQ(s.layers.size(), 2u);
    EXPECT_EQ(s.layers[0].forward.inputs, 80);
    EXPECT_EQ(s.layers[0].backward.hidden, 8);
    EXPECT_EQ(s.layers[1].forward.inputs, 8);
    EXPECT_EQ(s.embedding_dim, 4);
    // Layer 0, per direction: W 24 x 80 and U 24 x 8; layer 1: W and U 24 x 8;
    // output 4 x 8.
    const int64_t macs = 2 * (24 * 80 + 24 * 8) + 2 * (24 * 8 + 24 * 8) + 4 * 8;
    EXPECT_EQ(s.macs_per_frame, macs);
    EXPECT_EQ(s.weights, macs);
    EXPECT_EQ(s.biases, 8 * 24 + 4);
    EXPECT_EQ(s.other_parameters, 80 + 4);
    EXPECT_EQ(s.parameters(), macs + 196 + 84);
    // Each window of 20 frames advances 12: 20/12 frames computed per frame.
    EXPECT_DOUBLE_EQ(s.window_overlap, 20.0 / 12.0);
    EXPECT_DOUBLE_EQ(s.macs_per_second, 31.25 * static_cast<double>(macs) * 20.0 / 12.0);

    const std::string text = format_model_summary("m.zr", s);
    EXPECT_NE(text.find("parameters:       5304 (5024 weights, 196 biases, 84 normaliser"), std::string::npos)
        << text;
    EXPECT_NE(text.find("MACs per frame:   5024"), std::string::npos) << text;
    EXPECT_NE(text.find("MACs per second:  261.67 k"), std::string::npos) << text;
    EXPECT_NE(text.find("window:           20 frames (0.640 s), context 4 frames (0.128 s)"),
              std::string::npos) << text;
    EXPECT_NE(text.find("thresholds:       merge 0.3, reassign 0.4, assign 0.2, background 0.1"),
              std::string::npos) << text;
}

}  // namespace
