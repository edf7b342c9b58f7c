// What the fuzz targets share: a scratch file for inputs that the library
// reads by path, the small fixed engine, and collecting the error stack so
// that every run starts from an empty one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zr_quorva.h"

// Writes the bytes to this process's scratch file and returns its path. The
// file is removed when the process exits.
const char *fuzz_write_input(const uint8_t *data, size_t size);

// An engine on a small model with fixed random weights, created once.
zr_quorva_t *fuzz_small_engine();

// Collects and releases the calling thread's error stack; aborts if what it
// hands out is inconsistent with the status of the call that left it.
void fuzz_collect_errors(zr_status_t call_status);
