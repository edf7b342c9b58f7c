#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/model_writer.h"

namespace {

std::string scratch_path() {
    const char *base = std::getenv("TMPDIR");
    return std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quorva-fuzz-" +
           std::to_string(getpid());
}

const std::string &input_path() {
    static const std::string path = [] {
        std::atexit([] { std::remove(scratch_path().c_str()); });
        return scratch_path();
    }();
    return path;
}

}  // namespace

const char *fuzz_write_input(const uint8_t *data, size_t size) {
    const std::string &path = input_path();
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    return path.c_str();
}

zr_quorva_t *fuzz_small_engine() {
    static zr_quorva_t *engine = [] {
        const model_shape shape{.layers = 1, .hidden = 8, .embedding = 4, .window_frames = 16,
                                .context_frames = 4};
        const temp_file model(serialize_model(random_model(shape, 7)));
        zr_quorva_t *e = nullptr;
        if (zr_quorva_init(model.path(), &e) != ZR_STATUS_SUCCESS) std::abort();
        return e;
    }();
    return engine;
}

void fuzz_collect_errors(zr_status_t call_status) {
    char **messages = nullptr;
    int32_t depth = -1;
    const zr_status_t status = zr_get_error_stack(&messages, &depth);
    if (call_status == ZR_STATUS_SUCCESS) {
        // A successful call leaves nothing behind.
        if (status == ZR_STATUS_SUCCESS && depth != 0) std::abort();
    } else if (status != ZR_STATUS_SUCCESS || depth < 1) {
        std::abort();  // a failure must say why
    }
    if (status == ZR_STATUS_SUCCESS) zr_free_error_stack(messages);
}
