// Ogg Vorbis: libogg framing, libvorbis decoding to float, converted to mono
// 16-bit samples. Open decodes the whole stream once to count its frames,
// then rewinds; the reads decode it again packet by packet.
#include <cstring>

#include "audio/audio_reader.h"
#include "audio/ogg_source.h"
#include "audio/vorbis_decoder.h"
#include "audio/xiph_frame_queue.h"
#include "common/alloc.h"

namespace {

constexpr int64_t kHeaderPackets = 3;

struct vorbis_file_reader {
    ogg_source *source;
    ogg_packet *packet;
    vorbis_decoder decoder;
    int16_t *mono_buffer;  // kVorbisPacketFrames samples
    int32_t sample_rate;
    int32_t channels;
    xiph_frame_queue queue;  // its buffer is mono_buffer
};

// Header packets carry their type byte, then "vorbis".
bool is_header(const ogg_packet &packet) {
    return packet.bytes >= 7 && std::memcmp(packet.packet + 1, "vorbis", 6) == 0;
}

zr_status_t take_header(vorbis_file_reader *r, int64_t index) {
    ogg_packet &packet = *r->packet;
    if (!is_header(packet)) return ZR_STATUS_INVALID_ARGUMENT;
    if (index == 0 && (!packet.b_o_s || packet.packet[0] != 1)) return ZR_STATUS_INVALID_ARGUMENT;
    return vorbis_decoder_header(&r->decoder, &packet);
}

zr_status_t count_frames(vorbis_file_reader *r) {
    for (int64_t index = 0;; ++index) {
        const zr_status_t pumped = ogg_next_packet(r->source, r->packet);
        if (pumped == ZR_STATUS_OUT_OF_MEMORY) return pumped;
        if (pumped != ZR_STATUS_SUCCESS) return ZR_STATUS_SUCCESS;
        if (index < kHeaderPackets) {
            const zr_status_t status = take_header(r, index);
            if (status != ZR_STATUS_SUCCESS) return status;
            continue;
        }
        if (is_header(*r->packet)) continue;
        if (!r->decoder.dsp_ready) {
            const zr_status_t status = vorbis_decoder_start(&r->decoder);
            if (status != ZR_STATUS_SUCCESS) return status;
        }
        int32_t frames = 0;
        const zr_status_t status =
            vorbis_decoder_packet(&r->decoder, r->packet, r->mono_buffer, &frames);
        if (status != ZR_STATUS_SUCCESS) return status;
        r->queue.total_frames += frames;
    }
}

zr_status_t vorbis_open(const char *path, void **handle) {
    auto *r = static_cast<vorbis_file_reader *>(mem_calloc(1, sizeof(vorbis_file_reader)));
    *handle = r;
    if (r == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    zr_status_t status = ogg_source_open(path, &r->source);
    if (status != ZR_STATUS_SUCCESS) return status;
    r->packet = static_cast<ogg_packet *>(mem_calloc(1, sizeof(ogg_packet)));
    r->mono_buffer = static_cast<int16_t *>(mem_calloc(kVorbisPacketFrames, sizeof(int16_t)));
    if (r->packet == nullptr || r->mono_buffer == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    r->queue.buffer = r->mono_buffer;
    status = vorbis_decoder_create(&r->decoder);
    if (status != ZR_STATUS_SUCCESS) return status;
    status = count_frames(r);
    if (status != ZR_STATUS_SUCCESS) return status;
    if (r->decoder.info->channels > 2) return ZR_STATUS_INVALID_ARGUMENT;
    r->sample_rate = r->decoder.info->rate > INT32_MAX ? 0 : static_cast<int32_t>(r->decoder.info->rate);
    r->channels = r->decoder.info->channels;
    std::memset(r->packet, 0, sizeof(ogg_packet));
    status = ogg_source_rewind(r->source);
    if (status != ZR_STATUS_SUCCESS) return status;
    vorbis_decoder_restart(&r->decoder);
    if (r->queue.total_frames == 0) return ZR_STATUS_INVALID_ARGUMENT;
    return ZR_STATUS_SUCCESS;
}

void vorbis_close(void *handle) {
    auto *r = static_cast<vorbis_file_reader *>(handle);
    if (r == nullptr) return;
    vorbis_decoder_release(&r->decoder);
    ogg_source_close(r->source);
    mem_free(r->packet);
    mem_free(r->mono_buffer);
    mem_free(r);
}

// Decodes the next audio packet into mono_buffer; header packets met again on
// the second pass are skipped.
zr_status_t refill(vorbis_file_reader *r) {
    for (;;) {
        const zr_status_t status = ogg_next_packet(r->source, r->packet);
        if (status != ZR_STATUS_SUCCESS) return status;
        if (is_header(*r->packet)) continue;
        int32_t frames = 0;
        const zr_status_t decoded =
            vorbis_decoder_packet(&r->decoder, r->packet, r->mono_buffer, &frames);
        if (decoded != ZR_STATUS_SUCCESS) return decoded;
        r->queue.position = 0;
        r->queue.count = frames;
        return ZR_STATUS_SUCCESS;
    }
}

zr_status_t vorbis_read(void *handle, int32_t n, int16_t *dst) {
    auto *r = static_cast<vorbis_file_reader *>(handle);
    if (r == nullptr) return ZR_STATUS_INVALID_ARGUMENT;
    return xiph_queue_read(&r->queue, n, dst, r, refill);
}

uint64_t vorbis_num_frames(void *handle) {
    return static_cast<uint64_t>(static_cast<vorbis_file_reader *>(handle)->queue.total_frames);
}
int32_t vorbis_num_channels(void *handle) { return static_cast<vorbis_file_reader *>(handle)->channels; }
int32_t vorbis_sample_rate(void *handle) { return static_cast<vorbis_file_reader *>(handle)->sample_rate; }

}  // namespace

const audio_reader_ops ogg_vorbis_reader_ops = {vorbis_open,         vorbis_close,       vorbis_num_frames,
                                                vorbis_num_channels, vorbis_sample_rate, vorbis_read};
