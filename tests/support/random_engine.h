// An engine on a small random model, made from a seed, released with it.
#pragma once

#include <cstdint>

#include "support/model_writer.h"
#include "zr_quorva.h"

struct random_engine {
    temp_file file;
    zr_quorva_t *engine = nullptr;
    explicit random_engine(uint32_t seed);
    ~random_engine();
    random_engine(const random_engine &) = delete;
    random_engine &operator=(const random_engine &) = delete;
};
