// libvorbis state shared by the Ogg Vorbis and WebM readers: the three header
// packets, the start of synthesis, and the packet step that turns one audio
// packet into mono 16-bit samples.
#pragma once

#include <vorbis/codec.h>

#include <cstdint>

#include "zr_quorva.h"

struct vorbis_decoder {
    vorbis_info *info;
    vorbis_comment *comment;
    vorbis_dsp_state *dsp;
    vorbis_block *block;
    bool info_ready;  // vorbis_info_init and vorbis_comment_init have run
    bool dsp_ready;   // vorbis_synthesis_init has succeeded
    bool block_ready;
};

// The largest number of frames one packet step delivers. libvorbis refuses
// block sizes over 8192, so a packet makes at most 4096 frames available.
inline constexpr int32_t kVorbisPacketFrames = 8192;

// Allocates the four records and initialises info and comment. The decoder
// is zero-filled by its owner; on failure (OUT_OF_MEMORY) what was allocated
// is left for vorbis_decoder_release.
zr_status_t vorbis_decoder_create(vorbis_decoder *decoder);
void vorbis_decoder_release(vorbis_decoder *decoder);

// One header packet; INVALID_STATE when libvorbis refuses it.
zr_status_t vorbis_decoder_header(vorbis_decoder *decoder, ogg_packet *packet);

// Starts synthesis after the three headers: INVALID_STATE on failure.
zr_status_t vorbis_decoder_start(vorbis_decoder *decoder);

// Back to the state synthesis had when it started.
void vorbis_decoder_restart(vorbis_decoder *decoder);

// Decodes one audio packet and writes the frames it makes available to mono
// (kVorbisPacketFrames samples): channel 0 of a mono stream, the float
// down-mix of a stereo one, each converted to 16 bits. INVALID_STATE when the
// packet does not decode or synthesis has not started.
zr_status_t vorbis_decoder_packet(vorbis_decoder *decoder, ogg_packet *packet, int16_t *mono,
                                  int32_t *frames);
