#include "support/random_engine.h"

#include <gtest/gtest.h>

random_engine::random_engine(uint32_t seed)
    : file(serialize_model(random_model({.layers = 2, .hidden = 8, .embedding = 4}, seed))) {
    EXPECT_EQ(zr_quorva_init(file.path(), &engine), ZR_STATUS_SUCCESS);
}

random_engine::~random_engine() { zr_quorva_delete(engine); }
