#include <sndfile.h>

#include "audio/audio_reader.h"
#include "audio/sndfile_reader.h"

// Native FLAC; a stream of 0 frames opens and is refused later by the
// pipeline's minimum length.
namespace {
zr_status_t flac_open(const char *path, void **handle) {
    return sndfile_reader_open(path, {SF_FORMAT_FLAC, 0, true}, handle);
}
}  // namespace

const audio_reader_ops flac_reader_ops = {flac_open,
                                          sndfile_reader_close,
                                          sndfile_reader_num_frames,
                                          sndfile_reader_num_channels,
                                          sndfile_reader_sample_rate,
                                          sndfile_reader_read};
