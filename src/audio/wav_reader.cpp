#include <sndfile.h>

#include "audio/audio_reader.h"
#include "audio/sndfile_reader.h"

// RIFF WAVE, plain or extensible; an empty data chunk does not open.
namespace {
zr_status_t wav_open(const char *path, void **handle) {
    return sndfile_reader_open(path, {SF_FORMAT_WAV, SF_FORMAT_WAVEX, false}, handle);
}
}  // namespace

const audio_reader_ops wav_reader_ops = {wav_open,
                                         sndfile_reader_close,
                                         sndfile_reader_num_frames,
                                         sndfile_reader_num_channels,
                                         sndfile_reader_sample_rate,
                                         sndfile_reader_read};
