// Engine creation and deletion, including every allocation failure of init.
#include <gtest/gtest.h>

#include <thread>

#include "common/alloc.h"
#include "model/engine.h"
#include "support/error_capture.h"
#include "support/model_writer.h"
#include "zr_quorva.h"

namespace {

TEST(Engine, NullArguments) {
    zr_quorva_t *engine = reinterpret_cast<zr_quorva_t *>(0x1);
    EXPECT_EQ(zr_quorva_init(nullptr, nullptr), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, std::vector<std::string>{"Argument `model_path` is NULL."});
    // A NULL object is reported before any file is touched.
    EXPECT_EQ(zr_quorva_init("/nonexistent", nullptr), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, std::vector<std::string>{"Argument `object` is NULL."});
    EXPECT_EQ(engine, reinterpret_cast<zr_quorva_t *>(0x1));
}

TEST(Engine, WorkingObjectsStartIdle) {
    temp_file file(serialize_model(random_model({.layers = 2, .hidden = 12, .embedding = 6}, 5)));
    zr_quorva_t *engine = nullptr;
    ASSERT_EQ(zr_quorva_init(file.path(), &engine), ZR_STATUS_SUCCESS);
    ASSERT_NE(engine, nullptr);

    ASSERT_NE(engine->front_end, nullptr);
    EXPECT_EQ(engine->front_end->hop_length, 256);
    EXPECT_EQ(engine->front_end->carry, 0);
    EXPECT_EQ(engine->front_end->analysis->step, 256);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(engine->front_end->analysis->history[i], 0.0f);

    const network_runtime *rt = engine->runtime;
    ASSERT_NE(rt, nullptr);
    EXPECT_EQ(rt->network, engine->model->network);
    EXPECT_EQ(rt->output->tensor, engine->model->network->output_layer);
    EXPECT_EQ(rt->output->accumulate, 0);
    for (int layer = 0; layer < 2; ++layer) {
        for (const recurrent_cell *cell : {rt->forward_cells[layer], rt->backward_cells[layer]}) {
            ASSERT_NE(cell, nullptr);
            EXPECT_EQ(cell->input->accumulate, 0);
            EXPECT_EQ(cell->recurrent->accumulate, 1);
            EXPECT_EQ(cell->input->tensor, cell->layer->input_weights);
            EXPECT_EQ(cell->recurrent->tensor, cell->layer->recurrent_weights);
            for (int i = 0; i < 12; ++i) {
                ASSERT_EQ(cell->h[i], 0);
                ASSERT_EQ(cell->c[i], 0);
            }
        }
        EXPECT_EQ(rt->forward_cells[layer]->layer, engine->model->network->forward_layers[layer]);
        EXPECT_EQ(rt->backward_cells[layer]->layer, engine->model->network->backward_layers[layer]);
    }

    ASSERT_NE(engine->clusterer, nullptr);
    EXPECT_EQ(engine->clusterer->params, engine->model->clustering);
    EXPECT_EQ(engine->clusterer->list->count, 0);
    EXPECT_EQ(engine->clusterer->list->head, nullptr);
    zr_quorva_delete(engine);
}

TEST(Engine, EveryAllocationFailureOfInitIsCleanAndReported) {
    temp_file file(serialize_model(random_model({.layers = 2, .hidden = 4, .embedding = 3}, 9)));
    const std::string failed = coded_message(0x136);
    const std::string component = coded_message(0x12C);

    // Count the allocations of a successful init (with the hand-out buffer
    // already in place).
    zr_quorva_t *engine = nullptr;
    ASSERT_EQ(zr_quorva_init(file.path(), &engine), ZR_STATUS_SUCCESS);
    zr_quorva_delete(engine);
    alloc_fail_at(0);
    ASSERT_EQ(zr_quorva_init(file.path(), &engine), ZR_STATUS_SUCCESS);
    const int64_t total = alloc_count();
    zr_quorva_delete(engine);
    ASSERT_GT(total, 20);

    int model_failures = 0, handle_failures = 0, component_failures = 0;
    for (int64_t k = 1; k <= total; ++k) {
        engine = reinterpret_cast<zr_quorva_t *>(0x1);
        alloc_fail_at(k);
        const zr_status_t status = zr_quorva_init(file.path(), &engine);
        alloc_fail_at(0);
        ASSERT_EQ(status, ZR_STATUS_OUT_OF_MEMORY) << "allocation " << k;
        const std::vector<std::string> messages = take_errors().messages;
        if (engine == reinterpret_cast<zr_quorva_t *>(0x1)) {
            // Failed inside the loader: the object is not written.
            ASSERT_EQ(messages, std::vector<std::string>{failed}) << "allocation " << k;
            ++model_failures;
        } else if (messages.size() == 2 && messages[0] == "Failed to allocate, out of memory.") {
            ASSERT_EQ(engine, nullptr);
            ASSERT_EQ(messages[1], failed);
            ++handle_failures;
        } else {
            ASSERT_EQ(engine, nullptr);
            ASSERT_EQ(messages, (std::vector<std::string>{component, failed})) << "allocation " << k;
            ++component_failures;
        }
    }
    EXPECT_GT(model_failures, 0);
    EXPECT_EQ(handle_failures, 1);
    EXPECT_GT(component_failures, 0);
    // Leaks, if any, are reported by LeakSanitizer in the sanitizer build.
}

TEST(Engine, HandOutBufferFailureMakesCollectionInvalidState) {
    // The first allocation of a collection's next buffer fails: the messages
    // are still delivered, with OUT_OF_MEMORY.
    zr_quorva_t *engine = nullptr;
    zr_quorva_init(nullptr, &engine);
    alloc_fail_at(1);
    char **messages = nullptr;
    int32_t depth = 0;
    EXPECT_EQ(zr_get_error_stack(&messages, &depth), ZR_STATUS_OUT_OF_MEMORY);
    alloc_fail_at(0);
    ASSERT_NE(messages, nullptr);
    EXPECT_EQ(depth, 1);
    EXPECT_STREQ(messages[0], "Argument `model_path` is NULL.");
    zr_free_error_stack(messages);

    // No buffer exists now; when the next call's reset cannot create one
    // either, the collection is INVALID_STATE ...
    alloc_fail_at(1);
    zr_quorva_init(nullptr, &engine);
    alloc_fail_at(0);
    EXPECT_EQ(zr_get_error_stack(&messages, &depth), ZR_STATUS_INVALID_STATE);
    EXPECT_EQ(messages, nullptr);
    // ... until a reset succeeds in creating one.
    zr_quorva_init(nullptr, &engine);
    error_capture errors = take_errors();
    EXPECT_EQ(errors.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(errors.messages, std::vector<std::string>{"Argument `model_path` is NULL."});
}

TEST(Engine, EnginesFromOneFileAreIndependentCopies) {
    temp_file file(serialize_model(random_model({}, 11)));
    zr_quorva_t *a = nullptr;
    zr_quorva_t *b = nullptr;
    ASSERT_EQ(zr_quorva_init(file.path(), &a), ZR_STATUS_SUCCESS);
    std::thread([&] { ASSERT_EQ(zr_quorva_init(file.path(), &b), ZR_STATUS_SUCCESS); }).join();
    EXPECT_NE(a->model, b->model);
    EXPECT_NE(a->model->network->output_layer->weights, b->model->network->output_layer->weights);
    zr_quorva_delete(a);
    zr_quorva_delete(b);
}

}  // namespace
