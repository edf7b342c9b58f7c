// WebM: the first Vorbis or Opus audio track, demultiplexed by libwebm and
// decoded by libvorbis or libopus. Open decodes the track once to count its
// frames and starts a fresh parse; the reads decode it again frame by frame.
#include <opus/opus.h>

#include <cstdio>
#include <cstring>

#include "audio/audio_reader.h"
#include "audio/downmix.h"
#include "audio/vorbis_decoder.h"
#include "audio/webm_demuxer.h"
#include "audio/xiph_lacing.h"
#include "audio/xiph_frame_queue.h"
#include "common/alloc.h"

namespace {

constexpr int32_t kMonoBufferFrames = 8192;
constexpr int32_t kDecodeBufferSamples = 2 * kMonoBufferFrames;
// The largest Opus packet: 120 ms at 48 kHz. The count and the reads decode
// with the same limit, so that they agree.
constexpr int32_t kOpusMaxFrames = 5760;

struct webm_file_reader {
    FILE *file;
    webm_demuxer *demuxer;
    webm_codec codec;
    OpusDecoder *decoder;
    vorbis_decoder vorbis;  // allocated for both codecs, released for both
    ogg_packet *packet;
    int16_t *mono_buffer;
    int16_t *decode_buffer;
    int32_t channels;
    int32_t sample_rate;
    xiph_frame_queue queue;  // its buffer is mono_buffer
};

zr_status_t create_opus_decoder(webm_file_reader *r) {
    int error = OPUS_OK;
    r->decoder = opus_decoder_create(r->sample_rate, r->channels, &error);
    if (r->decoder == nullptr || error != OPUS_OK) return ZR_STATUS_INVALID_STATE;
    return ZR_STATUS_SUCCESS;
}

zr_status_t start_vorbis(webm_file_reader *r, const webm_audio_track &track) {
    xiph_packets headers{};
    zr_status_t status = xiph_split_headers(track.codec_private, track.codec_private_size, &headers);
    if (status != ZR_STATUS_SUCCESS) return status;
    for (int i = 0; i < kXiphHeaderPackets; ++i) {
        ogg_packet header{};
        header.packet = const_cast<unsigned char *>(headers.data[i]);
        header.bytes = static_cast<long>(headers.size[i]);
        header.b_o_s = 1;
        status = vorbis_decoder_header(&r->vorbis, &header);
        if (status != ZR_STATUS_SUCCESS) return status;
    }
    // The down-mix follows the decoder's channel layout, so it must be the
    // one the track declares.
    if (r->vorbis.info->channels != r->channels) return ZR_STATUS_INVALID_STATE;
    return vorbis_decoder_start(&r->vorbis);
}

// Decodes one frame into mono_buffer; its frame count in *frames.
zr_status_t decode_frame(webm_file_reader *r, const uint8_t *data, size_t size, int32_t *frames,
                         zr_status_t opus_failure) {
    if (r->codec == WEBM_CODEC_OPUS) {
        // A frame without data is a lost packet, which the decoder conceals.
        const int decoded =
            opus_decode(r->decoder, size == 0 ? nullptr : data, static_cast<opus_int32>(size),
                        r->decode_buffer, kOpusMaxFrames, 0);
        if (decoded < 0) return opus_failure;
        downmix_frames_int16(r->decode_buffer, decoded, r->channels, r->mono_buffer);
        *frames = decoded;
        return ZR_STATUS_SUCCESS;
    }
    *r->packet = ogg_packet{};
    r->packet->packet = const_cast<unsigned char *>(data);
    r->packet->bytes = static_cast<long>(size);
    return vorbis_decoder_packet(&r->vorbis, r->packet, r->mono_buffer, frames);
}

zr_status_t count_frames(webm_file_reader *r) {
    for (;;) {
        const uint8_t *data = nullptr;
        size_t size = 0;
        const zr_status_t pulled = webm_demuxer_next_frame(r->demuxer, &data, &size);
        if (pulled == ZR_STATUS_STOP_ITERATION) return ZR_STATUS_SUCCESS;
        if (pulled != ZR_STATUS_SUCCESS) return pulled;
        int32_t frames = 0;
        const zr_status_t status = decode_frame(r, data, size, &frames, ZR_STATUS_INVALID_STATE);
        if (status != ZR_STATUS_SUCCESS) return status;
        r->queue.total_frames += frames;
    }
}

zr_status_t rewind_reader(webm_file_reader *r) {
    zr_status_t status = webm_demuxer_rewind(r->demuxer);
    if (status != ZR_STATUS_SUCCESS) return status;
    if (r->codec == WEBM_CODEC_OPUS) {
        opus_decoder_destroy(r->decoder);
        r->decoder = nullptr;
        status = create_opus_decoder(r);
        if (status != ZR_STATUS_SUCCESS) return status;
    } else {
        vorbis_decoder_restart(&r->vorbis);
    }
    mem_free(r->packet);
    r->packet = static_cast<ogg_packet *>(mem_calloc(1, sizeof(ogg_packet)));
    if (r->packet == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    return ZR_STATUS_SUCCESS;
}

zr_status_t webm_open(const char *path, void **handle) {
    auto *r = static_cast<webm_file_reader *>(mem_calloc(1, sizeof(webm_file_reader)));
    *handle = r;
    if (r == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    zr_status_t status = vorbis_decoder_create(&r->vorbis);
    if (status != ZR_STATUS_SUCCESS) return status;
    r->packet = static_cast<ogg_packet *>(mem_calloc(1, sizeof(ogg_packet)));
    r->mono_buffer = static_cast<int16_t *>(mem_calloc(kMonoBufferFrames, sizeof(int16_t)));
    r->decode_buffer = static_cast<int16_t *>(mem_calloc(kDecodeBufferSamples, sizeof(int16_t)));
    if (r->packet == nullptr || r->mono_buffer == nullptr || r->decode_buffer == nullptr) {
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    r->queue.buffer = r->mono_buffer;
    r->file = std::fopen(path, "rb");
    if (r->file == nullptr) return ZR_STATUS_IO_ERROR;
    status = webm_demuxer_open(r->file, &r->demuxer);
    if (status != ZR_STATUS_SUCCESS) return status;

    const webm_audio_track *track = webm_demuxer_track(r->demuxer);
    if (track == nullptr) return ZR_STATUS_INVALID_ARGUMENT;
    // A rate that is no positive 32-bit number cannot be truncated to one.
    const double rate = track->sampling_frequency;
    if (!(rate >= 1.0 && rate < 2147483648.0)) return ZR_STATUS_INVALID_ARGUMENT;
    if (track->channels > 2) return ZR_STATUS_INVALID_ARGUMENT;
    r->sample_rate = static_cast<int32_t>(rate);
    r->channels = static_cast<int32_t>(track->channels);
    r->codec = track->codec;
    status = r->codec == WEBM_CODEC_OPUS ? create_opus_decoder(r) : start_vorbis(r, *track);
    if (status != ZR_STATUS_SUCCESS) return status;

    status = count_frames(r);
    if (status != ZR_STATUS_SUCCESS) return status;
    status = rewind_reader(r);
    if (status != ZR_STATUS_SUCCESS) return status;
    if (r->queue.total_frames == 0) return ZR_STATUS_INVALID_ARGUMENT;
    return ZR_STATUS_SUCCESS;
}

void webm_close(void *handle) {
    auto *r = static_cast<webm_file_reader *>(handle);
    if (r == nullptr) return;
    webm_demuxer_close(r->demuxer);
    if (r->decoder != nullptr) opus_decoder_destroy(r->decoder);
    vorbis_decoder_release(&r->vorbis);
    mem_free(r->packet);
    mem_free(r->mono_buffer);
    mem_free(r->decode_buffer);
    if (r->file != nullptr) std::fclose(r->file);
    mem_free(r);
}

// Decodes the next frame of the track into mono_buffer.
zr_status_t refill(webm_file_reader *r) {
    const uint8_t *data = nullptr;
    size_t size = 0;
    const zr_status_t pulled = webm_demuxer_next_frame(r->demuxer, &data, &size);
    if (pulled == ZR_STATUS_STOP_ITERATION) return ZR_STATUS_IO_ERROR;
    if (pulled != ZR_STATUS_SUCCESS) return pulled;
    int32_t frames = 0;
    const zr_status_t status = decode_frame(r, data, size, &frames, ZR_STATUS_IO_ERROR);
    if (status != ZR_STATUS_SUCCESS) return status;
    r->queue.position = 0;
    r->queue.count = frames;
    return ZR_STATUS_SUCCESS;
}

zr_status_t webm_read(void *handle, int32_t n, int16_t *dst) {
    auto *r = static_cast<webm_file_reader *>(handle);
    if (r == nullptr) return ZR_STATUS_INVALID_ARGUMENT;
    return xiph_queue_read(&r->queue, n, dst, r, refill);
}

uint64_t webm_num_frames(void *handle) {
    return static_cast<uint64_t>(static_cast<webm_file_reader *>(handle)->queue.total_frames);
}
int32_t webm_num_channels(void *handle) { return static_cast<webm_file_reader *>(handle)->channels; }
int32_t webm_sample_rate(void *handle) { return static_cast<webm_file_reader *>(handle)->sample_rate; }

}  // namespace

const audio_reader_ops webm_reader_ops = {webm_open,         webm_close,       webm_num_frames,
                                          webm_num_channels, webm_sample_rate, webm_read};
