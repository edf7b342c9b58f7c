// The Ogg page pump shared by the Ogg Opus and Ogg Vorbis readers: it feeds
// libogg from the file in 4096-byte pieces and follows one logical stream,
// the one whose beginning-of-stream page came last.
#pragma once

#include <ogg/ogg.h>

#include <cstdio>

#include "zr_quorva.h"

struct ogg_source {
    FILE *file;
    ogg_sync_state sync;  // zero-filled, as ogg_sync_init leaves it
    ogg_page page;
    ogg_stream_state stream;
    bool has_stream;  // a beginning-of-stream page has initialised `stream`
};

// Allocates the source and opens the file: OUT_OF_MEMORY or IO_ERROR. The
// source is stored in *out as soon as it exists, so that a failed open is
// released by ogg_source_close alone.
zr_status_t ogg_source_open(const char *path, ogg_source **out);
void ogg_source_close(ogg_source *source);  // accepts NULL

// Adds exactly one page to the stream state. IO_ERROR at the end of the file,
// INVALID_STATE when libogg refuses the data or a page of another stream,
// OUT_OF_MEMORY when the sync buffer cannot grow.
zr_status_t ogg_pump_page(ogg_source *source);

// The next complete packet of the followed stream, pumping pages as needed;
// any non-SUCCESS pump status is returned. The packet's data belong to libogg
// and stay valid until the next call.
zr_status_t ogg_next_packet(ogg_source *source, ogg_packet *packet);

// Back to the start of the file with empty sync and stream state, keeping the
// stream's serial number. INVALID_STATE when no stream was ever found,
// IO_ERROR when the file cannot seek.
zr_status_t ogg_source_rewind(ogg_source *source);
