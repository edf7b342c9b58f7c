// AAC access-unit decoding for the MP4 reader. Built only with AAC support;
// without it the reader refuses AAC tracks at open.
#pragma once

#include <cstdint>

#include "zr_quorva.h"

// Opens a decoder for 16-bit output configured by the track's
// AudioSpecificConfig. A decoder that refuses the configuration is closed
// here and *decoder stays NULL, so the caller never closes it twice.
zr_status_t aac_decoder_open(const uint8_t *config, int32_t config_length, void **decoder);
void aac_decoder_close(void *decoder);

// Decodes one access unit into at most `capacity` mono samples (stereo
// averaged by the integer rule). *produced = 0 is the decoder's start-up
// frame: it needs more input. Decoder errors and more than two channels are
// INVALID_ARGUMENT, and so is a frame larger than `capacity`.
zr_status_t aac_decoder_decode(void *decoder, uint8_t *unit, uint32_t length, int16_t *mono,
                               int32_t capacity, int32_t *produced);
