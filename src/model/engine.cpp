#include "model/engine.h"

#include "common/alloc.h"
#include "common/error_store.h"

namespace {

// Builds the runtime, clusterer and front end into `engine`, storing each as
// soon as it is complete so that zr_quorva_delete can release a partial one.
zr_status_t engine_build_working_objects(zr_quorva_t *engine) {
    zr_status_t status = network_runtime_create(engine->model->network, &engine->runtime);
    if (status != ZR_STATUS_SUCCESS) return status;
    status = clusterer_create(engine->model->clustering, &engine->clusterer);
    if (status != ZR_STATUS_SUCCESS) return status;
    return front_end_create(&engine->front_end);
}

}  // namespace

extern "C" zr_status_t zr_quorva_init(const char *model_path, zr_quorva_t **object) {
    error_stack_reset();
    if (model_path == nullptr) {
        error_stack_push(MSG_ARG_NULL, "model_path");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (object == nullptr) {
        error_stack_push(MSG_ARG_NULL, "object");
        return ZR_STATUS_INVALID_ARGUMENT;
    }

    model_data *loaded = nullptr;
    bool file_opened = false;
    zr_status_t status = model_load(model_path, &loaded, &file_opened);
    if (status != ZR_STATUS_SUCCESS) {
        if (file_opened) error_stack_push(MSG_CODE_FAILED);
        return status;
    }

    *object = nullptr;
    auto *engine = static_cast<zr_quorva_t *>(mem_calloc(1, sizeof(zr_quorva_t)));
    if (engine == nullptr) {
        error_stack_push(MSG_OUT_OF_MEMORY);
        model_release(loaded);
        error_stack_push(MSG_CODE_FAILED);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    engine->model = loaded;

    status = engine_build_working_objects(engine);
    if (status != ZR_STATUS_SUCCESS) {
        error_stack_push(MSG_CODE_COMPONENT);
        zr_quorva_delete(engine);
        error_stack_push(MSG_CODE_FAILED);
        return status;
    }
    *object = engine;
    return ZR_STATUS_SUCCESS;
}

extern "C" void zr_quorva_delete(zr_quorva_t *object) {
    if (object == nullptr) return;
    front_end_release(object->front_end);
    clusterer_release(object->clusterer);
    network_runtime_release(object->runtime);
    model_release(object->model);
    mem_free(object);
}
