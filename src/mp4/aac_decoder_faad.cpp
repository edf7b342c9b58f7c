#include <neaacdec.h>

#include "audio/downmix.h"
#include "mp4/aac_decoder.h"

zr_status_t aac_decoder_open(const uint8_t *config, int32_t config_length, void **decoder) {
    *decoder = nullptr;
    if (config == nullptr || config_length <= 0) return ZR_STATUS_INVALID_ARGUMENT;
    NeAACDecHandle handle = NeAACDecOpen();
    if (handle == nullptr) return ZR_STATUS_INVALID_ARGUMENT;
    NeAACDecConfigurationPtr settings = NeAACDecGetCurrentConfiguration(handle);
    unsigned long rate = 0;
    unsigned char channels = 0;
    bool accepted = settings != nullptr;
    if (accepted) {
        settings->outputFormat = FAAD_FMT_16BIT;
        accepted = NeAACDecSetConfiguration(handle, settings) != 0;
    }
    // The decoder only reads the configuration, whatever its prototype says.
    accepted = accepted && NeAACDecInit2(handle, const_cast<unsigned char *>(config),
                                         static_cast<unsigned long>(config_length), &rate,
                                         &channels) == 0;
    if (!accepted) {
        NeAACDecClose(handle);
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    *decoder = handle;
    return ZR_STATUS_SUCCESS;
}

void aac_decoder_close(void *decoder) {
    if (decoder != nullptr) NeAACDecClose(static_cast<NeAACDecHandle>(decoder));
}

zr_status_t aac_decoder_decode(void *decoder, uint8_t *unit, uint32_t length, int16_t *mono,
                               int32_t capacity, int32_t *produced) {
    *produced = 0;
    NeAACDecFrameInfo info{};
    const auto *pcm = static_cast<const int16_t *>(
        NeAACDecDecode(static_cast<NeAACDecHandle>(decoder), &info, unit, length));
    if (info.error != 0) return ZR_STATUS_INVALID_ARGUMENT;
    if (pcm == nullptr || info.samples == 0) return ZR_STATUS_SUCCESS;  // needs more input
    const unsigned channels = info.channels;
    if (channels == 0 || channels > 2) return ZR_STATUS_INVALID_ARGUMENT;
    const unsigned long frames = info.samples / channels;
    if (frames > static_cast<unsigned long>(capacity)) return ZR_STATUS_INVALID_ARGUMENT;
    if (channels == 1) {
        for (unsigned long i = 0; i < frames; ++i) mono[i] = pcm[i];
    } else {
        // Mono streams may come back as two identical channels: their mean is
        // the channel itself.
        for (unsigned long i = 0; i < frames; ++i) mono[i] = downmix_int16(pcm[2 * i], pcm[2 * i + 1]);
    }
    *produced = static_cast<int32_t>(frames);
    return ZR_STATUS_SUCCESS;
}
