#include "audio/vorbis_decoder.h"

#include "audio/downmix.h"
#include "common/alloc.h"

zr_status_t vorbis_decoder_create(vorbis_decoder *d) {
    d->info = static_cast<vorbis_info *>(mem_calloc(1, sizeof(vorbis_info)));
    d->comment = static_cast<vorbis_comment *>(mem_calloc(1, sizeof(vorbis_comment)));
    d->dsp = static_cast<vorbis_dsp_state *>(mem_calloc(1, sizeof(vorbis_dsp_state)));
    d->block = static_cast<vorbis_block *>(mem_calloc(1, sizeof(vorbis_block)));
    if (d->info == nullptr || d->comment == nullptr || d->dsp == nullptr || d->block == nullptr) {
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    vorbis_info_init(d->info);
    vorbis_comment_init(d->comment);
    d->info_ready = true;
    if (d->info->codec_setup == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    return ZR_STATUS_SUCCESS;
}

void vorbis_decoder_release(vorbis_decoder *d) {
    if (d->block_ready) vorbis_block_clear(d->block);
    if (d->dsp_ready) vorbis_dsp_clear(d->dsp);
    if (d->info_ready) {
        vorbis_comment_clear(d->comment);
        vorbis_info_clear(d->info);
    }
    mem_free(d->block);
    mem_free(d->dsp);
    mem_free(d->comment);
    mem_free(d->info);
    *d = vorbis_decoder{};
}

zr_status_t vorbis_decoder_header(vorbis_decoder *d, ogg_packet *packet) {
    if (vorbis_synthesis_headerin(d->info, d->comment, packet) != 0) return ZR_STATUS_INVALID_STATE;
    return ZR_STATUS_SUCCESS;
}

zr_status_t vorbis_decoder_start(vorbis_decoder *d) {
    if (vorbis_synthesis_init(d->dsp, d->info) != 0) {
        vorbis_dsp_clear(d->dsp);
        return ZR_STATUS_INVALID_STATE;
    }
    d->dsp_ready = true;
    vorbis_synthesis_restart(d->dsp);
    if (vorbis_block_init(d->dsp, d->block) != 0) return ZR_STATUS_INVALID_STATE;
    d->block_ready = true;
    return ZR_STATUS_SUCCESS;
}

void vorbis_decoder_restart(vorbis_decoder *d) {
    if (d->dsp_ready) vorbis_synthesis_restart(d->dsp);
}

zr_status_t vorbis_decoder_packet(vorbis_decoder *d, ogg_packet *packet, int16_t *mono,
                                  int32_t *frames) {
    *frames = 0;
    if (!d->block_ready) return ZR_STATUS_INVALID_STATE;
    if (vorbis_synthesis(d->block, packet) != 0) return ZR_STATUS_INVALID_STATE;
    if (vorbis_synthesis_blockin(d->dsp, d->block) != 0) return ZR_STATUS_INVALID_STATE;
    float **pcm = nullptr;
    int available = vorbis_synthesis_pcmout(d->dsp, &pcm);
    if (available <= 0) return ZR_STATUS_SUCCESS;
    if (available > kVorbisPacketFrames) available = kVorbisPacketFrames;
    vorbis_synthesis_read(d->dsp, available);
    if (d->info->channels >= 2) {
        for (int i = 0; i < available; ++i) mono[i] = float_to_int16(downmix_float(pcm[0][i], pcm[1][i]));
    } else {
        for (int i = 0; i < available; ++i) mono[i] = float_to_int16(pcm[0][i]);
    }
    *frames = available;
    return ZR_STATUS_SUCCESS;
}
