// The model file format: every check of the loader, its statuses and messages.
#include <gtest/gtest.h>

#include <cstring>

#include "common/alloc.h"
#include "model/model.h"
#include "support/error_capture.h"
#include "support/model_writer.h"
#include "zr_quorva.h"

namespace {

const std::string kFailed = coded_message(0x136);

struct init_result {
    zr_status_t status;
    zr_quorva_t *engine;
    std::vector<std::string> messages;
};

init_result init_from_bytes(const std::vector<uint8_t> &bytes) {
    temp_file file(bytes);
    init_result r{};
    r.engine = reinterpret_cast<zr_quorva_t *>(0x1);  // must stay untouched on loader failures
    r.status = zr_quorva_init(file.path(), &r.engine);
    r.messages = take_errors().messages;
    if (r.status == ZR_STATUS_SUCCESS) {
        zr_quorva_delete(r.engine);
        r.engine = nullptr;
    }
    return r;
}

init_result init_from_model(const model_desc &d) { return init_from_bytes(serialize_model(d)); }

model_desc small_model() { return random_model(model_shape{}, 7); }

TEST(ModelLoader, ValidModelLoadsWithEveryField) {
    model_desc d = random_model({.layers = 2, .hidden = 6, .embedding = 5, .window_frames = 30,
                                 .context_frames = 7},
                                3);
    d.feature_mean[3] = -1234;
    d.feature_scale[39] = 777;
    d.merge_threshold = 0.25f;
    d.background_embedding = {0.5f, -0.25f, 0.125f, 1.0f, -2.0f};
    temp_file file(serialize_model(d));
    model_data *m = nullptr;
    bool opened = false;
    ASSERT_EQ(model_load(file.path(), &m, &opened), ZR_STATUS_SUCCESS);
    ASSERT_NE(m, nullptr);
    const network_params *net = m->network;
    EXPECT_EQ(net->feature_normalizer->count, 40);
    EXPECT_EQ(net->feature_normalizer->feature_mean[3], -1234);
    EXPECT_EQ(net->feature_normalizer->feature_scale[39], 777);
    EXPECT_EQ(net->num_layers, 2);
    EXPECT_EQ(net->window_frames, 30);
    EXPECT_EQ(net->context_frames, 7);
    for (int i = 0; i < 2; ++i) {
        const dense_tensor *w = net->backward_layers[i]->input_weights;
        const tensor_desc &expect = d.backward_layers[i].input_weights;
        EXPECT_EQ(w->cols, expect.cols);
        EXPECT_EQ(w->rows, 18);
        EXPECT_EQ(std::memcmp(w->weights, expect.weights.data(), expect.weights.size()), 0);
        EXPECT_EQ(std::memcmp(w->bias, expect.bias.data(), expect.bias.size()), 0);
        EXPECT_EQ(std::memcmp(net->forward_layers[i]->recurrent_weights->weights,
                              d.forward_layers[i].recurrent_weights.weights.data(), 6 * 18),
                  0);
    }
    EXPECT_EQ(net->output_layer->rows, 5);
    EXPECT_EQ(net->output_layer->cols, 6);
    EXPECT_EQ(m->clustering->merge_threshold, 0.25f);
    EXPECT_EQ(m->clustering->reassign_threshold, d.reassign_threshold);
    EXPECT_EQ(m->clustering->assign_threshold, d.assign_threshold);
    EXPECT_EQ(m->clustering->background_threshold, d.background_threshold);
    ASSERT_EQ(m->clustering->count, 5);
    EXPECT_EQ(m->clustering->background_embedding[4], -2.0f);
    model_release(m);
}

TEST(ModelLoader, MissingFileKeepsObjectAndPushesOnlyTheOpenMessage) {
    zr_quorva_t *engine = reinterpret_cast<zr_quorva_t *>(0x1234);
    const char *path = "/nonexistent/quorva/model.zr";
    EXPECT_EQ(zr_quorva_init(path, &engine), ZR_STATUS_IO_ERROR);
    EXPECT_EQ(engine, reinterpret_cast<zr_quorva_t *>(0x1234));
    error_capture errors = take_errors();
    ASSERT_EQ(errors.messages.size(), 1u);
    EXPECT_EQ(errors.messages[0], "Failed to open file `/nonexistent/quorva/model.zr`.");
}

TEST(ModelLoader, MagicAndVersion) {
    init_result r = init_from_bytes({'q', 'u', 'o', 'r', 'v'});
    EXPECT_EQ(r.status, ZR_STATUS_IO_ERROR);
    EXPECT_EQ(r.messages, std::vector<std::string>{kFailed});
    EXPECT_EQ(r.engine, reinterpret_cast<zr_quorva_t *>(0x1));

    model_desc d = small_model();
    d.magic = "quorvb";
    r = init_from_model(d);
    EXPECT_EQ(r.status, ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.messages,
              (std::vector<std::string>{
                  "Quorva model (.zr) file has incorrect format or belongs to a different platform.",
                  kFailed}));

    r = init_from_bytes({'q', 'u', 'o', 'r', 'v', 'a', '1', '.', '0'});
    EXPECT_EQ(r.status, ZR_STATUS_IO_ERROR);
    EXPECT_EQ(r.messages, (std::vector<std::string>{"Failed to read from file.", kFailed}));

    d = small_model();
    d.version = "1.0.1";
    r = init_from_model(d);
    EXPECT_EQ(r.status, ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.messages, (std::vector<std::string>{
                              "Quorva model (.zr) file belongs to a different version of the "
                              "library. File is `1.0.1` while library is `1.0.0`.",
                              kFailed}));
}

TEST(ModelLoader, VersionBytesAreTerminatedBeforeFormatting) {
    // The five version bytes are followed by the count's bytes, which must
    // not leak into the message.
    model_desc d = small_model();
    d.version = "9.9.9";
    init_result r = init_from_model(d);
    ASSERT_EQ(r.messages.size(), 2u);
    EXPECT_NE(r.messages[0].find("File is `9.9.9` while"), std::string::npos) << r.messages[0];
}

TEST(ModelLoader, CountsBelowOneAreInvalid) {
    auto expect_invalid = [](const model_desc &d) {
        init_result r = init_from_model(d);
        EXPECT_EQ(r.status, ZR_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(r.messages, std::vector<std::string>{kFailed});
    };
    model_desc d = small_model();
    d.normalizer_count = 0;
    expect_invalid(d);

    d = small_model();
    d.num_layers = 0;
    expect_invalid(d);

    d = small_model();
    d.forward_layers[0].recurrent_weights.rows = 0;
    expect_invalid(d);

    d = small_model();
    d.output_layer.cols = -3;
    expect_invalid(d);

    d = small_model();
    d.window_frames = 0;
    expect_invalid(d);

    d = small_model();
    d.context_frames = 0;
    expect_invalid(d);

    d = small_model();
    d.context_frames = d.window_frames + 1;
    expect_invalid(d);
}

TEST(ModelLoader, ShapeRulesAreEnforced) {
    auto expect_invalid = [](const model_desc &d, const char *what) {
        init_result r = init_from_model(d);
        EXPECT_EQ(r.status, ZR_STATUS_INVALID_ARGUMENT) << what;
        EXPECT_EQ(r.messages, std::vector<std::string>{kFailed}) << what;
    };
    model_desc d = small_model();
    d.feature_mean.push_back(0);
    d.feature_scale.push_back(1024);
    expect_invalid(d, "41 normaliser values");

    d = small_model();
    d.forward_layers[0].input_weights = random_tensor(79, 24, 1);
    expect_invalid(d, "first layer with 79 inputs");

    d = small_model();
    d.backward_layers[0].recurrent_weights = random_tensor(8, 25, 1);
    expect_invalid(d, "recurrent rows not 3H");

    d = small_model();
    d.backward_layers[0].input_weights = random_tensor(80, 21, 1);
    expect_invalid(d, "input rows not 3H");

    d = random_model({.layers = 2, .hidden = 8}, 1);
    d.forward_layers[1] = {random_tensor(8, 30, 1), random_tensor(10, 30, 2)};
    d.backward_layers[1] = {random_tensor(8, 30, 1), random_tensor(10, 30, 2)};
    d.output_layer = random_tensor(10, 4, 3);
    expect_invalid(d, "second layer wider than the first");

    d = random_model({.layers = 2, .hidden = 8}, 1);
    d.forward_layers[1].input_weights = random_tensor(7, 24, 1);
    expect_invalid(d, "second layer not reading the first's H");

    d = small_model();
    d.backward_layers[0] = {random_tensor(80, 18, 1), random_tensor(6, 18, 2)};
    expect_invalid(d, "directions of different sizes");

    d = small_model();
    d.output_layer = random_tensor(7, 4, 1);
    expect_invalid(d, "output layer not reading the last H");

    d = small_model();
    d.background_embedding.push_back(0.0f);
    expect_invalid(d, "background longer than the embedding");

    d = small_model();
    d.background_embedding.clear();
    expect_invalid(d, "empty background");

    d = small_model();
    d.window_frames = 8;
    d.context_frames = 4;
    expect_invalid(d, "window of exactly twice the context");

    d = small_model();
    d.window_frames = 9;
    d.context_frames = 4;
    EXPECT_EQ(init_from_model(d).status, ZR_STATUS_SUCCESS);
}

TEST(ModelLoader, TensorLargerThanInt32IsInvalid) {
    model_desc d = small_model();
    d.output_layer.cols = 65536;
    d.output_layer.rows = 65536;
    init_result r = init_from_model(d);
    EXPECT_EQ(r.status, ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.messages, std::vector<std::string>{kFailed});
}

TEST(ModelLoader, NegativeBackgroundCountIsAnAllocationFailure) {
    model_desc d = small_model();
    d.background_count = -1;
    init_result r = init_from_model(d);
    EXPECT_EQ(r.status, ZR_STATUS_OUT_OF_MEMORY);
    EXPECT_EQ(r.messages, std::vector<std::string>{kFailed});
}

TEST(ModelLoader, HugeCountsInATinyFileAreShortReadsFoundBeforeAllocating) {
    auto expect_short = [](const model_desc &d, const char *what) {
        std::vector<uint8_t> bytes = serialize_model(d);
        temp_file file(bytes);
        model_data *m = nullptr;
        bool opened = false;
        alloc_fail_at(0);
        EXPECT_EQ(model_load(file.path(), &m, &opened), ZR_STATUS_IO_ERROR) << what;
        EXPECT_LT(alloc_largest(), bytes.size() + 4096) << what;
    };
    model_desc d = small_model();
    d.normalizer_count = 0x7fffffff;
    expect_short(d, "normaliser count");

    d = small_model();
    d.num_layers = 0x10000000;
    expect_short(d, "number of layers");

    d = small_model();
    d.forward_layers[0].input_weights.rows = 0x40000000;
    d.forward_layers[0].input_weights.cols = 1;
    expect_short(d, "tensor rows");

    d = small_model();
    d.output_layer.rows = 30000;
    d.output_layer.cols = 30000;
    expect_short(d, "tensor weights");

    d = small_model();
    d.background_count = 0x7fffffff;
    expect_short(d, "background count");
}

TEST(ModelLoader, TruncationAtEveryOffsetIsAShortRead) {
    const std::vector<uint8_t> bytes = serialize_model(small_model());
    for (size_t size = 0; size < bytes.size(); ++size) {
        init_result r = init_from_bytes(std::vector<uint8_t>(bytes.begin(), bytes.begin() + size));
        ASSERT_EQ(r.status, ZR_STATUS_IO_ERROR) << "cut at " << size;
        ASSERT_EQ(r.engine, reinterpret_cast<zr_quorva_t *>(0x1));
        if (size >= 6 && size < 11) {
            ASSERT_EQ(r.messages, (std::vector<std::string>{"Failed to read from file.", kFailed}));
        } else {
            ASSERT_EQ(r.messages, std::vector<std::string>{kFailed}) << "cut at " << size;
        }
    }
}

TEST(ModelLoader, TrailingBytesChangeNothing) {
    std::vector<uint8_t> bytes = serialize_model(small_model());
    bytes.insert(bytes.end(), {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01});
    EXPECT_EQ(init_from_bytes(bytes).status, ZR_STATUS_SUCCESS);
}

TEST(ModelLoader, ContextEqualToWindowPassesTheLoaderChecks) {
    // Only the shape rule (window more than twice the context) refuses it.
    model_desc d = small_model();
    d.context_frames = d.window_frames;
    init_result r = init_from_model(d);
    EXPECT_EQ(r.status, ZR_STATUS_INVALID_ARGUMENT);
}

}  // namespace
