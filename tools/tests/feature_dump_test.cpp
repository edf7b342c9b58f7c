// quorva_features, the training data tool: its feature rows must be the
// engine's front-end rows bit for bit, and its embeddings the engine's own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/wav_writer.h"
#include "common/alloc.h"
#include "diarization/embedding_network.h"
#include "diarization/front_end.h"
#include "model/engine.h"
#include "support/model_writer.h"
#include "zr_quorva.h"

namespace {

// A deterministic test signal: a rising tone over low noise, with a silent gap.
std::vector<int16_t> test_signal(int32_t samples) {
    std::vector<int16_t> pcm(static_cast<size_t>(samples));
    uint32_t seed = 12345;
    for (int32_t i = 0; i < samples; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double noise = static_cast<double>(seed >> 16) / 65536.0 - 0.5;
        const double t = i / 16000.0;
        const double tone = std::sin(2.0 * M_PI * (200.0 + 300.0 * t) * t);
        const bool gap = i > samples / 2 && i < samples / 2 + 4000;
        pcm[static_cast<size_t>(i)] = gap ? 0 : static_cast<int16_t>(6000.0 * tone + 400.0 * noise);
    }
    return pcm;
}

int run_features_tool(const std::vector<std::string> &args) {
    std::string command = QUORVA_FEATURES_TOOL_PATH;
    for (const std::string &a : args) command += " '" + a + "'";
    return std::system((command + " 2>/dev/null").c_str());
}

template <typename T>
std::vector<T> read_values(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<T> values(bytes.size() / sizeof(T));
    if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * sizeof(T));
    return values;
}

std::vector<int16_t> engine_rows(const std::vector<int16_t> &pcm) {
    const int32_t n = static_cast<int32_t>(pcm.size()) / 512;
    std::vector<int16_t> rows(static_cast<size_t>(n) * kFrameFeatures);
    front_end_state *fe = nullptr;
    EXPECT_EQ(front_end_create(&fe), ZR_STATUS_SUCCESS);
    EXPECT_EQ(front_end_run(fe, pcm.data(), n, rows.data()), ZR_STATUS_SUCCESS);
    front_end_release(fe);
    return rows;
}

TEST(FeatureDumpTool, RowsEqualTheFrontEndForRawAndDecodedAudio) {
    // 100 frames and a partial one, which the engine ignores as well
    const std::vector<int16_t> pcm = test_signal(512 * 100 + 300);
    const std::vector<int16_t> expected = engine_rows(pcm);
    const std::string dir = temp_directory();

    const std::string raw = dir + "/signal.s16";
    {
        std::ofstream out(raw, std::ios::binary);
        out.write(reinterpret_cast<const char *>(pcm.data()), static_cast<std::streamsize>(pcm.size() * 2));
    }
    std::string error;
    const std::string wav = dir + "/signal.wav";
    ASSERT_TRUE(write_wav_file(wav, pcm.data(), static_cast<int32_t>(pcm.size()), 16000, 1, error)) << error;

    ASSERT_EQ(run_features_tool({"features", raw, dir + "/raw.i16", wav, dir + "/wav.i16"}), 0);
    EXPECT_EQ(read_values<int16_t>(dir + "/raw.i16"), expected);
    EXPECT_EQ(read_values<int16_t>(dir + "/wav.i16"), expected);
}

TEST(FeatureDumpTool, EmbeddingsEqualTheEnginesNetwork) {
    model_shape shape;
    shape.hidden = 16;
    shape.embedding = 8;
    shape.window_frames = 40;
    shape.context_frames = 8;
    temp_file model(serialize_model(random_model(shape, 7)));
    const std::vector<int16_t> pcm = test_signal(512 * 90);
    const std::string dir = temp_directory();
    const std::string raw = dir + "/embed.s16";
    {
        std::ofstream out(raw, std::ios::binary);
        out.write(reinterpret_cast<const char *>(pcm.data()), static_cast<std::streamsize>(pcm.size() * 2));
    }
    ASSERT_EQ(run_features_tool({"embed", model.path(), raw, dir + "/embed.f32"}), 0);

    zr_quorva_t *engine = nullptr;
    ASSERT_EQ(zr_quorva_init(model.path(), &engine), ZR_STATUS_SUCCESS);
    std::vector<int16_t> rows = engine_rows(pcm);
    front_end_normalise(engine->model->network->feature_normalizer, rows.data(), 2 * 90);
    std::vector<float> expected(90 * 8);
    ASSERT_EQ(network_embeddings(engine->runtime, rows.data(), 90, expected.data()), ZR_STATUS_SUCCESS);
    zr_quorva_delete(engine);
    EXPECT_EQ(read_values<float>(dir + "/embed.f32"), expected);
}

TEST(FeatureDumpTool, RefusesUnreadableInputAndBadUsage) {
    const std::string dir = temp_directory();
    EXPECT_NE(run_features_tool({"features", dir + "/missing.flac", dir + "/out.i16"}), 0);
    EXPECT_NE(run_features_tool({"features", dir + "/only-input.flac"}), 0);
    EXPECT_NE(run_features_tool({"embed", dir + "/missing.zr", dir + "/a.s16", dir + "/out.f32"}), 0);
}

}  // namespace
