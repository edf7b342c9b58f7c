#include "audio/audio_reader.h"

// Not built yet: every file of this format is refused at open.
namespace {
zr_status_t open_unsupported(const char *, void **handle) {
    *handle = nullptr;
    return ZR_STATUS_INVALID_ARGUMENT;
}
void close_nothing(void *) {}
uint64_t no_frames(void *) { return 0; }
int32_t no_channels(void *) { return 0; }
int32_t no_rate(void *) { return 0; }
zr_status_t read_nothing(void *, int32_t, int16_t *) { return ZR_STATUS_IO_ERROR; }
}  // namespace

const audio_reader_ops webm_reader_ops = {open_unsupported, close_nothing, no_frames,
                                     no_channels,      no_rate,       read_nothing};
