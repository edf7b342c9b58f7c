// The MP4/3GP audio reader: box walk, track choice and sample table at open,
// then AAC or AMR-NB decoding of the chosen track, delivered as mono 16-bit.
#include <opencore-amrnb/interf_dec.h>
#include <sys/types.h>

#include <cstdio>
#include <cstring>

#include "audio/audio_reader.h"
#include "common/alloc.h"
#include "mp4/aac_decoder.h"
#include "mp4/amr_frame.h"
#include "mp4/mp4_file.h"
#include "mp4/mp4_track.h"

namespace {

constexpr uint32_t kInputCapacity = 8192;  // bytes of one coded sample
constexpr int32_t kBlockCapacity = 8192;   // decoded mono samples of one frame

struct mp4_reader {
    FILE *file;
    mp4_sample_table table;
    mp4_track_info info;
    void *aac;         // AAC decoder; NULL when absent or unconfigured
    uint8_t *input;    // one coded AAC sample
    void *amr;         // AMR-NB decoder state
    int32_t sample_cursor;
    uint32_t byte_cursor;  // bytes consumed of the current entry (AMR)
    int16_t *block;        // decoded mono samples of the current frame
    int32_t block_count;
    int32_t block_used;
    uint64_t delivered;
    uint64_t total;
};

bool seek_to(FILE *f, uint64_t position) {
    return position <= static_cast<uint64_t>(INT64_MAX) &&
           fseeko(f, static_cast<off_t>(position), SEEK_SET) == 0;
}

// Reads the next sample-table entry into the input buffer.
zr_status_t load_next_sample(mp4_reader *r, uint32_t *length) {
    if (r->sample_cursor >= r->table.count) return ZR_STATUS_INVALID_ARGUMENT;
    const mp4_sample_entry &e = r->table.entries[r->sample_cursor];
    if (!seek_to(r->file, e.position)) return ZR_STATUS_INVALID_ARGUMENT;
    if (e.length > kInputCapacity) return ZR_STATUS_INVALID_ARGUMENT;
    if (std::fread(r->input, 1, e.length, r->file) != e.length) return ZR_STATUS_IO_ERROR;
    ++r->sample_cursor;
    r->byte_cursor = 0;
    *length = e.length;
    return ZR_STATUS_SUCCESS;
}

// Decodes the access unit in the input buffer into the block.
zr_status_t decode_unit(mp4_reader *r, uint32_t length, int32_t *produced) {
#ifdef QUORVA_WITH_AAC
    return aac_decoder_decode(r->aac, r->input, length, r->block, kBlockCapacity, produced);
#else
    (void)r, (void)length, *produced = 0;
    return ZR_STATUS_INVALID_ARGUMENT;
#endif
}

// Decodes access units until one yields samples; they become the block.
zr_status_t decode_next_aac(mp4_reader *r) {
    if (r->aac == nullptr) return ZR_STATUS_INVALID_ARGUMENT;  // unconfigured
    for (;;) {
        uint32_t length = 0;
        const zr_status_t loaded = load_next_sample(r, &length);
        if (loaded != ZR_STATUS_SUCCESS) return loaded;
        int32_t produced = 0;
        const zr_status_t status = decode_unit(r, length, &produced);
        if (status != ZR_STATUS_SUCCESS) return status;
        if (produced > 0) {
            r->block_count = produced;
            r->block_used = 0;
            return ZR_STATUS_SUCCESS;
        }
    }
}

// Reads (or, with dst NULL, passes over) k bytes of the track's coded data as
// one continuous stream across sample boundaries.
zr_status_t amr_take_bytes(mp4_reader *r, uint8_t *dst, uint32_t k) {
    while (k > 0) {
        if (r->sample_cursor >= r->table.count) return ZR_STATUS_INVALID_ARGUMENT;
        const mp4_sample_entry &e = r->table.entries[r->sample_cursor];
        const uint32_t available = e.length - r->byte_cursor;
        const uint32_t take = available < k ? available : k;
        if (dst != nullptr && take > 0) {
            if (!seek_to(r->file, e.position + r->byte_cursor)) return ZR_STATUS_INVALID_ARGUMENT;
            if (std::fread(dst, 1, take, r->file) != take) return ZR_STATUS_IO_ERROR;
            dst += take;
        }
        k -= take;
        if (take < available) {
            r->byte_cursor += take;
        } else {
            ++r->sample_cursor;
            r->byte_cursor = 0;
        }
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t decode_next_amr(mp4_reader *r) {
    uint8_t frame[kAmrMaxFrameBytes] = {};
    zr_status_t status = amr_take_bytes(r, frame, 1);
    if (status != ZR_STATUS_SUCCESS) return status;
    const uint32_t speech = kAmrSpeechBytes[amr_frame_type(frame[0])];
    // The decoder reads the payload the frame type announces: it must fit.
    if (1 + speech > sizeof(frame)) return ZR_STATUS_INVALID_ARGUMENT;
    status = amr_take_bytes(r, frame + 1, speech);
    if (status != ZR_STATUS_SUCCESS) return status;
    Decoder_Interface_Decode(r->amr, frame, r->block, 0);
    r->block_count = kAmrSamplesPerFrame;
    r->block_used = 0;
    return ZR_STATUS_SUCCESS;
}

// Counts the AMR frames by walking their headers: every whole frame gives
// 160 samples, whatever its rate. A frame cut off by the end of the track is
// not counted.
zr_status_t count_amr_frames(mp4_reader *r, uint64_t *frames) {
    *frames = 0;
    while (r->sample_cursor < r->table.count) {
        uint8_t header = 0;
        zr_status_t status = amr_take_bytes(r, &header, 1);
        if (status == ZR_STATUS_INVALID_ARGUMENT) break;  // only empty entries were left
        if (status != ZR_STATUS_SUCCESS) return status;
        status = amr_take_bytes(r, nullptr, kAmrSpeechBytes[amr_frame_type(header)]);
        if (status == ZR_STATUS_INVALID_ARGUMENT) break;
        if (status != ZR_STATUS_SUCCESS) return status;
        ++*frames;
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t count_aac_frames(mp4_reader *r, uint64_t *frames) {
    *frames = 0;
    if (r->aac == nullptr) return ZR_STATUS_INVALID_ARGUMENT;
    while (r->sample_cursor < r->table.count) {
        uint32_t length = 0;
        zr_status_t status = load_next_sample(r, &length);
        if (status != ZR_STATUS_SUCCESS) return status;
        int32_t produced = 0;
        status = decode_unit(r, length, &produced);
        if (status != ZR_STATUS_SUCCESS) return status;
        *frames += static_cast<uint64_t>(produced);
    }
    return ZR_STATUS_SUCCESS;
}

#ifdef QUORVA_WITH_AAC
zr_status_t open_aac(mp4_reader *r) {
    // No configuration leaves the decoder unconfigured: the count refuses it.
    if (r->info.decoder_config_length <= 0) return ZR_STATUS_SUCCESS;
    return aac_decoder_open(r->info.decoder_config, r->info.decoder_config_length, &r->aac);
}
#else
zr_status_t open_aac(mp4_reader *) { return ZR_STATUS_INVALID_ARGUMENT; }
#endif

void close_aac(mp4_reader *r) {
#ifdef QUORVA_WITH_AAC
    aac_decoder_close(r->aac);
#endif
    r->aac = nullptr;
}

zr_status_t read_structure(mp4_reader *r) {
    mp4_file *parsed = nullptr;
    zr_status_t status = mp4_parse(r->file, &parsed);
    if (status == ZR_STATUS_SUCCESS) status = mp4_select_track(parsed, &r->info);
    if (status == ZR_STATUS_SUCCESS) status = mp4_build_sample_table(parsed, &r->info, &r->table);
    // The parse records are needed only here, whatever the outcome.
    mp4_file_release(parsed);
    return status;
}

zr_status_t open_reader(mp4_reader *r, const char *path) {
    r->info.track_index = -1;
    r->file = std::fopen(path, "rb");
    if (r->file == nullptr) return ZR_STATUS_IO_ERROR;
    zr_status_t status = read_structure(r);
    if (status != ZR_STATUS_SUCCESS) return status;
    if (r->table.count == 0) return ZR_STATUS_INVALID_ARGUMENT;

    r->block = static_cast<int16_t *>(mem_calloc(kBlockCapacity, sizeof(int16_t)));
    if (r->block == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    uint64_t total = 0;
    if (r->info.codec == MP4_CODEC_AAC) {
        r->input = static_cast<uint8_t *>(mem_alloc(kInputCapacity));
        if (r->input == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
        if ((status = open_aac(r)) != ZR_STATUS_SUCCESS) return status;
        if ((status = count_aac_frames(r, &total)) != ZR_STATUS_SUCCESS) return status;
        // A fresh decoder, so that the first samples read are the track's
        // first, with nothing left from the count.
        close_aac(r);
        if ((status = open_aac(r)) != ZR_STATUS_SUCCESS) return status;
    } else if (r->info.codec == MP4_CODEC_AMR_NB) {
        r->amr = Decoder_Interface_init();
        if (r->amr == nullptr) return ZR_STATUS_RUNTIME_ERROR;
        if ((status = count_amr_frames(r, &total)) != ZR_STATUS_SUCCESS) return status;
        total *= kAmrSamplesPerFrame;
    } else {
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    // The driver sizes its buffers from a signed 32-bit count.
    if (total > INT32_MAX) return ZR_STATUS_INVALID_ARGUMENT;
    r->total = total;
    r->sample_cursor = 0;
    r->byte_cursor = 0;
    r->block_count = 0;
    r->block_used = 0;
    mp4_check_duration(&r->info, total);
    return ZR_STATUS_SUCCESS;
}

zr_status_t mp4_open(const char *path, void **handle) {
    *handle = nullptr;
    if (path == nullptr) return ZR_STATUS_INVALID_ARGUMENT;
    auto *r = static_cast<mp4_reader *>(mem_calloc(1, sizeof(mp4_reader)));
    if (r == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    *handle = r;  // released by mp4_close whatever happens next
    try {
        return open_reader(r, path);
    } catch (...) {
        return ZR_STATUS_RUNTIME_ERROR;
    }
}

void mp4_close(void *handle) {
    auto *r = static_cast<mp4_reader *>(handle);
    if (r == nullptr) return;
    if (r->file != nullptr) std::fclose(r->file);
    mp4_sample_table_release(&r->table);
    mp4_track_info_release(&r->info);
    close_aac(r);
    mem_free(r->input);
    if (r->amr != nullptr) Decoder_Interface_exit(r->amr);
    mem_free(r->block);
    mem_free(r);
}

uint64_t mp4_num_frames(void *handle) { return static_cast<mp4_reader *>(handle)->total; }

int32_t mp4_num_channels(void *handle) { return static_cast<mp4_reader *>(handle)->info.channels; }

int32_t mp4_sample_rate(void *handle) {
    return static_cast<mp4_reader *>(handle)->info.sample_rate;
}

zr_status_t mp4_read(void *handle, int32_t n, int16_t *dst) {
    auto *r = static_cast<mp4_reader *>(handle);
    if (r == nullptr || n < 0) return ZR_STATUS_INVALID_ARGUMENT;
    if (r->total - r->delivered < static_cast<uint64_t>(n)) return ZR_STATUS_IO_ERROR;
    if (n == 0) return ZR_STATUS_SUCCESS;
    if (dst == nullptr) return ZR_STATUS_INVALID_ARGUMENT;
    r->delivered += static_cast<uint64_t>(n);
    while (n > 0) {
        if (r->block_used == r->block_count) {
            zr_status_t status = ZR_STATUS_INVALID_ARGUMENT;
            if (r->info.codec == MP4_CODEC_AAC) {
                status = decode_next_aac(r);
            } else if (r->info.codec == MP4_CODEC_AMR_NB) {
                status = decode_next_amr(r);
            }
            if (status != ZR_STATUS_SUCCESS) return status;
        }
        const int32_t available = r->block_count - r->block_used;
        const int32_t m = available < n ? available : n;
        std::memcpy(dst, r->block + r->block_used, static_cast<size_t>(m) * sizeof(int16_t));
        r->block_used += m;
        dst += m;
        n -= m;
    }
    return ZR_STATUS_SUCCESS;
}

}  // namespace

const audio_reader_ops mp4_reader_ops = {mp4_open,         mp4_close,       mp4_num_frames,
                                         mp4_num_channels, mp4_sample_rate, mp4_read};
