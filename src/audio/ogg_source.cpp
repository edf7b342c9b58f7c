#include "audio/ogg_source.h"

#include <cstring>

#include "common/alloc.h"

namespace {
constexpr long kReadPiece = 4096;
}  // namespace

zr_status_t ogg_source_open(const char *path, ogg_source **out) {
    *out = static_cast<ogg_source *>(mem_calloc(1, sizeof(ogg_source)));
    if (*out == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    (*out)->file = std::fopen(path, "rb");
    if ((*out)->file == nullptr) return ZR_STATUS_IO_ERROR;
    return ZR_STATUS_SUCCESS;
}

void ogg_source_close(ogg_source *source) {
    if (source == nullptr) return;
    ogg_sync_clear(&source->sync);
    ogg_stream_clear(&source->stream);
    if (source->file != nullptr) std::fclose(source->file);
    mem_free(source);
}

zr_status_t ogg_pump_page(ogg_source *source) {
    for (;;) {
        const int found = ogg_sync_pageout(&source->sync, &source->page);
        if (found > 0) break;
        if (found < 0) continue;  // bytes skipped to regain sync
        char *area = ogg_sync_buffer(&source->sync, kReadPiece);
        if (area == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
        const size_t got = std::fread(area, 1, kReadPiece, source->file);
        if (got == 0) return ZR_STATUS_IO_ERROR;
        if (ogg_sync_wrote(&source->sync, static_cast<long>(got)) != 0) {
            return ZR_STATUS_INVALID_STATE;
        }
    }
    if (ogg_page_bos(&source->page)) {
        // A new logical stream replaces the one followed so far.
        ogg_stream_clear(&source->stream);
        source->has_stream = false;
        if (ogg_stream_init(&source->stream, ogg_page_serialno(&source->page)) != 0) {
            return ZR_STATUS_INVALID_STATE;
        }
        source->has_stream = true;
    }
    if (ogg_stream_pagein(&source->stream, &source->page) != 0) return ZR_STATUS_INVALID_STATE;
    return ZR_STATUS_SUCCESS;
}

zr_status_t ogg_next_packet(ogg_source *source, ogg_packet *packet) {
    for (;;) {
        // A gap (-1) or no packet (0): one more page.
        if (source->has_stream && ogg_stream_packetout(&source->stream, packet) == 1) {
            return ZR_STATUS_SUCCESS;
        }
        const zr_status_t status = ogg_pump_page(source);
        if (status != ZR_STATUS_SUCCESS) return status;
    }
}

zr_status_t ogg_source_rewind(ogg_source *source) {
    ogg_sync_reset(&source->sync);
    if (!source->has_stream) return ZR_STATUS_INVALID_STATE;
    ogg_stream_reset(&source->stream);
    if (std::fseek(source->file, 0, SEEK_SET) != 0) return ZR_STATUS_IO_ERROR;
    return ZR_STATUS_SUCCESS;
}
