// Ogg Opus: libogg framing, libopus decoding straight to 16-bit samples. Open
// decodes the whole stream once to count its frames, then rewinds; the reads
// decode it again and hand out mono frames packet by packet.
#include <opus/opus.h>

#include <cstring>

#include "audio/audio_reader.h"
#include "audio/downmix.h"
#include "audio/ogg_source.h"
#include "audio/xiph_frame_queue.h"
#include "common/alloc.h"

namespace {

// The largest Opus packet: 120 ms at 48 kHz.
constexpr int32_t kMaxPacketFrames = 5760;
constexpr int32_t kIdHeaderBytes = 19;

struct opus_file_reader {
    ogg_source *source;
    ogg_packet *packet;
    OpusDecoder *decoder;
    int16_t *mono_buffer;    // kMaxPacketFrames samples
    int16_t *decode_buffer;  // kMaxPacketFrames frames of up to 2 channels
    int32_t sample_rate;
    int32_t channels;
    xiph_frame_queue queue;  // its buffer is mono_buffer
};

bool starts_with(const ogg_packet &packet, const char *magic, size_t length) {
    return packet.bytes >= static_cast<long>(length) &&
           std::memcmp(packet.packet, magic, length) == 0;
}

bool is_id_header(const ogg_packet &packet) { return starts_with(packet, "OpusH", 5); }
bool is_header(const ogg_packet &packet) { return starts_with(packet, "Opus", 4); }

uint32_t read_le32(const unsigned char *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

zr_status_t create_decoder(opus_file_reader *r) {
    int error = OPUS_OK;
    r->decoder = opus_decoder_create(r->sample_rate, r->channels, &error);
    if (r->decoder == nullptr || error != OPUS_OK) return ZR_STATUS_INVALID_STATE;
    return ZR_STATUS_SUCCESS;
}

// The identification header sets the decoder's rate and channel count. A
// later one (a chained stream) must agree with the first, since the
// recording has one rate; it starts a fresh decoder state, in both passes.
zr_status_t take_id_header(opus_file_reader *r, const ogg_packet &packet) {
    if (packet.bytes < kIdHeaderBytes) return ZR_STATUS_INVALID_ARGUMENT;
    const int32_t channels = packet.packet[9];
    const uint32_t rate = read_le32(packet.packet + 12);
    if (channels > 2) return ZR_STATUS_INVALID_ARGUMENT;
    if (r->decoder == nullptr) {
        if (rate > INT32_MAX) return ZR_STATUS_INVALID_STATE;
        r->channels = channels;
        r->sample_rate = static_cast<int32_t>(rate);
        return create_decoder(r);
    }
    if (channels != r->channels || rate != static_cast<uint32_t>(r->sample_rate)) {
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    opus_decoder_ctl(r->decoder, OPUS_RESET_STATE);
    return ZR_STATUS_SUCCESS;
}

// Decodes one audio packet into decode_buffer; the frame count, or a negative
// libopus error.
int decode_packet(opus_file_reader *r, const ogg_packet &packet) {
    if (packet.bytes > INT32_MAX) return OPUS_INVALID_PACKET;
    return opus_decode(r->decoder, packet.packet, static_cast<opus_int32>(packet.bytes),
                       r->decode_buffer, kMaxPacketFrames, 0);
}

zr_status_t count_frames(opus_file_reader *r) {
    for (;;) {
        // The end of the file, or a page that cannot be used, ends the count;
        // only a failed allocation is worth failing for.
        const zr_status_t pumped = ogg_next_packet(r->source, r->packet);
        if (pumped == ZR_STATUS_OUT_OF_MEMORY) return pumped;
        if (pumped != ZR_STATUS_SUCCESS) return ZR_STATUS_SUCCESS;
        const ogg_packet &packet = *r->packet;
        if (is_id_header(packet)) {
            const zr_status_t status = take_id_header(r, packet);
            if (status != ZR_STATUS_SUCCESS) return status;
            continue;
        }
        if (is_header(packet)) continue;
        // Audio before any identification header has no decoder to go to.
        if (r->decoder == nullptr) return ZR_STATUS_INVALID_ARGUMENT;
        const int frames = decode_packet(r, packet);
        if (frames < 0) return ZR_STATUS_INVALID_STATE;
        r->queue.total_frames += frames;
    }
}

zr_status_t rewind_reader(opus_file_reader *r) {
    std::memset(r->packet, 0, sizeof(ogg_packet));
    const zr_status_t status = ogg_source_rewind(r->source);
    if (status != ZR_STATUS_SUCCESS) return status;
    // A fresh decoder of the same rate and channel count for the second pass;
    // a stream that never had an identification header cannot make one.
    if (r->decoder != nullptr) opus_decoder_destroy(r->decoder);
    r->decoder = nullptr;
    return create_decoder(r);
}

zr_status_t opus_open(const char *path, void **handle) {
    auto *r = static_cast<opus_file_reader *>(mem_calloc(1, sizeof(opus_file_reader)));
    *handle = r;
    if (r == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    zr_status_t status = ogg_source_open(path, &r->source);
    if (status != ZR_STATUS_SUCCESS) return status;
    r->packet = static_cast<ogg_packet *>(mem_calloc(1, sizeof(ogg_packet)));
    r->mono_buffer = static_cast<int16_t *>(mem_calloc(kMaxPacketFrames, sizeof(int16_t)));
    r->decode_buffer = static_cast<int16_t *>(mem_calloc(2 * kMaxPacketFrames, sizeof(int16_t)));
    if (r->packet == nullptr || r->mono_buffer == nullptr || r->decode_buffer == nullptr) {
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    r->queue.buffer = r->mono_buffer;
    status = count_frames(r);
    if (status != ZR_STATUS_SUCCESS) return status;
    status = rewind_reader(r);
    if (status != ZR_STATUS_SUCCESS) return status;
    if (r->queue.total_frames == 0) return ZR_STATUS_INVALID_ARGUMENT;
    return ZR_STATUS_SUCCESS;
}

void opus_close(void *handle) {
    auto *r = static_cast<opus_file_reader *>(handle);
    if (r == nullptr) return;
    if (r->decoder != nullptr) opus_decoder_destroy(r->decoder);
    ogg_source_close(r->source);
    mem_free(r->packet);
    mem_free(r->mono_buffer);
    mem_free(r->decode_buffer);
    mem_free(r);
}

// Decodes the next audio packet into mono_buffer.
zr_status_t refill(opus_file_reader *r) {
    for (;;) {
        const zr_status_t status = ogg_next_packet(r->source, r->packet);
        if (status != ZR_STATUS_SUCCESS) return status;
        const ogg_packet &packet = *r->packet;
        if (is_id_header(packet)) {
            if (take_id_header(r, packet) != ZR_STATUS_SUCCESS) return ZR_STATUS_INVALID_STATE;
            continue;
        }
        if (is_header(packet)) continue;
        if (r->decoder == nullptr) return ZR_STATUS_INVALID_STATE;
        const int frames = decode_packet(r, packet);
        if (frames < 0) return ZR_STATUS_IO_ERROR;
        downmix_frames_int16(r->decode_buffer, frames, r->channels, r->mono_buffer);
        r->queue.position = 0;
        r->queue.count = frames;
        return ZR_STATUS_SUCCESS;
    }
}

zr_status_t opus_read(void *handle, int32_t n, int16_t *dst) {
    auto *r = static_cast<opus_file_reader *>(handle);
    if (r == nullptr) return ZR_STATUS_INVALID_ARGUMENT;
    return xiph_queue_read(&r->queue, n, dst, r, refill);
}

uint64_t opus_num_frames(void *handle) {
    return static_cast<uint64_t>(static_cast<opus_file_reader *>(handle)->queue.total_frames);
}
int32_t opus_num_channels(void *handle) { return static_cast<opus_file_reader *>(handle)->channels; }
int32_t opus_sample_rate(void *handle) { return static_cast<opus_file_reader *>(handle)->sample_rate; }

}  // namespace

const audio_reader_ops ogg_opus_reader_ops = {opus_open,         opus_close,       opus_num_frames,
                                              opus_num_channels, opus_sample_rate, opus_read};
