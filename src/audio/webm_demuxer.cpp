#include "audio/webm_demuxer.h"

#include <webm/callback.h>
#include <webm/reader.h>
#include <webm/status.h>
#include <webm/webm_parser.h>

#include <cstring>
#include <new>

#include "common/alloc.h"

namespace {

// No Opus or Vorbis packet comes near this; a larger frame is damage.
constexpr uint64_t kMaxFrameBytes = uint64_t{1} << 20;

using webm::Status;

// The file as the parser sees it: reads and skips never pass its end.
class bounded_file_input final : public webm::Reader {
public:
    FILE *file = nullptr;
    uint64_t size = 0;
    uint64_t position = 0;

    Status Read(std::size_t wanted, std::uint8_t *buffer, std::uint64_t *got) override {
        *got = 0;
        const uint64_t room = size - position;
        const size_t n = wanted < room ? wanted : static_cast<size_t>(room);
        if (n == 0) return Status(Status::kEndOfFile);
        const size_t k = std::fread(buffer, 1, n, file);
        position += k;
        *got = k;
        if (k == 0) return Status(Status::kEndOfFile);
        return Status(k == wanted ? Status::kOkCompleted : Status::kOkPartial);
    }

    Status Skip(std::uint64_t wanted, std::uint64_t *skipped) override {
        *skipped = 0;
        const uint64_t room = size - position;
        const uint64_t n = wanted < room ? wanted : room;
        if (n == 0) return Status(Status::kEndOfFile);
        if (fseeko(file, static_cast<off_t>(n), SEEK_CUR) != 0) return Status(Status::kEndOfFile);
        position += n;
        *skipped = n;
        return Status(n == wanted ? Status::kOkCompleted : Status::kOkPartial);
    }

    std::uint64_t Position() const override { return position; }
};

class frame_collector final : public webm::Callback {
public:
    uint64_t file_size = 0;
    webm_audio_track track{};
    bool has_track = false;
    bool pause_at_cluster = true;  // hand control back once the headers are read
    bool frame_ready = false;      // a frame waits in `frame` to be taken
    bool out_of_memory = false;
    uint8_t *frame = nullptr;
    size_t frame_capacity = 0;
    size_t frame_size = 0;

    // Elements the parser keeps in memory must fit in the file. The segment
    // and its clusters may legitimately run past the end of a cut file, and
    // the parser streams them rather than buffering them.
    Status OnElementBegin(const webm::ElementMetadata &metadata, webm::Action *action) override {
        *action = webm::Action::kRead;
        if (metadata.id == webm::Id::kSegment || metadata.id == webm::Id::kCluster) {
            return Status(Status::kOkCompleted);
        }
        if (metadata.size != webm::kUnknownElementSize &&
            (metadata.size > file_size || metadata.position > file_size - metadata.size ||
             metadata.header_size > file_size - metadata.size - metadata.position)) {
            return Status(Status::kElementOverflow);
        }
        return Status(Status::kOkCompleted);
    }

    Status OnTrackEntry(const webm::ElementMetadata &, const webm::TrackEntry &entry) override {
        if (has_track || entry.track_type.value() != webm::TrackType::kAudio) {
            return Status(Status::kOkCompleted);
        }
        const std::string &id = entry.codec_id.value();
        webm_codec codec = WEBM_CODEC_NONE;
        if (id == "A_VORBIS") codec = WEBM_CODEC_VORBIS;
        if (id == "A_OPUS") codec = WEBM_CODEC_OPUS;
        if (codec == WEBM_CODEC_NONE) return Status(Status::kOkCompleted);
        track.number = entry.track_number.value();
        track.codec = codec;
        track.sampling_frequency = entry.audio.value().sampling_frequency.value();
        track.channels = entry.audio.value().channels.value();
        const std::vector<std::uint8_t> &extra = entry.codec_private.value();
        if (entry.codec_private.is_present() && !extra.empty()) {
            track.codec_private = static_cast<uint8_t *>(mem_alloc(extra.size()));
            if (track.codec_private == nullptr) {
                out_of_memory = true;
                return Status(Status::kNotEnoughMemory);
            }
            std::memcpy(track.codec_private, extra.data(), extra.size());
            track.codec_private_size = extra.size();
        }
        has_track = true;
        return Status(Status::kOkCompleted);
    }

    Status OnClusterBegin(const webm::ElementMetadata &, const webm::Cluster &,
                          webm::Action *action) override {
        *action = webm::Action::kRead;
        if (pause_at_cluster) {
            pause_at_cluster = false;
            return Status(Status::kWouldBlock);
        }
        return Status(Status::kOkCompleted);
    }

    Status OnSimpleBlockBegin(const webm::ElementMetadata &, const webm::SimpleBlock &block,
                              webm::Action *action) override {
        *action = wanted(block.track_number) ? webm::Action::kRead : webm::Action::kSkip;
        return Status(Status::kOkCompleted);
    }

    Status OnBlockBegin(const webm::ElementMetadata &, const webm::Block &block,
                        webm::Action *action) override {
        *action = wanted(block.track_number) ? webm::Action::kRead : webm::Action::kSkip;
        return Status(Status::kOkCompleted);
    }

    // Takes one frame into `frame` and stops the parser at the next one, which
    // the parser offers again when it is fed next.
    Status OnFrame(const webm::FrameMetadata &metadata, webm::Reader *reader,
                   std::uint64_t *bytes_remaining) override {
        if (frame_ready) return Status(Status::kWouldBlock);
        const uint64_t size = metadata.size;
        if (size > kMaxFrameBytes || *bytes_remaining > size) return Status(Status::kInvalidElementSize);
        if (size > frame_capacity) {
            auto *grown = static_cast<uint8_t *>(mem_realloc(frame, static_cast<size_t>(size)));
            if (grown == nullptr) {
                out_of_memory = true;
                return Status(Status::kNotEnoughMemory);
            }
            frame = grown;
            frame_capacity = static_cast<size_t>(size);
        }
        while (*bytes_remaining > 0) {
            std::uint64_t got = 0;
            const Status status =
                reader->Read(static_cast<size_t>(*bytes_remaining), frame + (size - *bytes_remaining), &got);
            *bytes_remaining -= got;
            if (status.code != Status::kOkCompleted && status.code != Status::kOkPartial) return status;
        }
        frame_size = static_cast<size_t>(size);
        frame_ready = true;
        return Status(Status::kOkCompleted);
    }

private:
    bool wanted(uint64_t track_number) const { return has_track && track_number == track.number; }
};

}  // namespace

struct webm_demuxer {
    bounded_file_input input;
    frame_collector events;
    webm::WebmParser *parser = nullptr;
    bool finished = false;
};

namespace {

void destroy_parser(webm_demuxer *d) {
    if (d->parser == nullptr) return;
    d->parser->~WebmParser();
    mem_free(d->parser);
    d->parser = nullptr;
}

zr_status_t create_parser(webm_demuxer *d) {
    void *storage = mem_alloc(sizeof(webm::WebmParser));
    if (storage == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    try {
        d->parser = new (storage) webm::WebmParser();
    } catch (...) {
        mem_free(storage);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    return ZR_STATUS_SUCCESS;
}

// One call of the parser: SUCCESS with its status, or OUT_OF_MEMORY. Anything
// else it throws means data it cannot handle, reported as a parsing error.
zr_status_t feed(webm_demuxer *d, Status *status) {
    try {
        *status = d->parser->Feed(&d->events, &d->input);
    } catch (const std::bad_alloc &) {
        return ZR_STATUS_OUT_OF_MEMORY;
    } catch (...) {
        *status = Status(Status::kInvalidElementValue);
    }
    if (d->events.out_of_memory) return ZR_STATUS_OUT_OF_MEMORY;
    return ZR_STATUS_SUCCESS;
}

}  // namespace

zr_status_t webm_demuxer_open(FILE *file, webm_demuxer **out) {
    void *storage = mem_alloc(sizeof(webm_demuxer));
    *out = nullptr;
    if (storage == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    webm_demuxer *d = new (storage) webm_demuxer();
    *out = d;
    d->input.file = file;
    if (fseeko(file, 0, SEEK_END) != 0) return ZR_STATUS_IO_ERROR;
    const off_t end = ftello(file);
    if (end < 0 || fseeko(file, 0, SEEK_SET) != 0) return ZR_STATUS_IO_ERROR;
    d->input.size = static_cast<uint64_t>(end);
    d->events.file_size = d->input.size;
    zr_status_t result = create_parser(d);
    if (result != ZR_STATUS_SUCCESS) return result;
    Status status(Status::kOkCompleted);
    result = feed(d, &status);
    if (result != ZR_STATUS_SUCCESS) return result;
    if (status.completed_ok()) {
        d->finished = true;  // a file without clusters
        return ZR_STATUS_SUCCESS;
    }
    if (status.code == Status::kWouldBlock) return ZR_STATUS_SUCCESS;
    return ZR_STATUS_INVALID_ARGUMENT;
}

void webm_demuxer_close(webm_demuxer *d) {
    if (d == nullptr) return;
    destroy_parser(d);
    mem_free(d->events.track.codec_private);
    mem_free(d->events.frame);
    d->~webm_demuxer();
    mem_free(d);
}

const webm_audio_track *webm_demuxer_track(const webm_demuxer *d) {
    return d->events.has_track ? &d->events.track : nullptr;
}

zr_status_t webm_demuxer_next_frame(webm_demuxer *d, const uint8_t **data, size_t *size) {
    d->events.frame_ready = false;
    while (!d->finished) {
        Status status(Status::kOkCompleted);
        const zr_status_t result = feed(d, &status);
        if (result != ZR_STATUS_SUCCESS) {
            d->finished = true;
            return result;
        }
        // A pause is the parser stopping at the frame after ours, or at the
        // first cluster; anything else ends the stream, damaged or not.
        if (status.code != Status::kWouldBlock) d->finished = true;
        if (d->events.frame_ready) {
            *data = d->events.frame;
            *size = d->events.frame_size;
            return ZR_STATUS_SUCCESS;
        }
    }
    return ZR_STATUS_STOP_ITERATION;
}

zr_status_t webm_demuxer_rewind(webm_demuxer *d) {
    destroy_parser(d);
    d->events.frame_ready = false;
    d->events.pause_at_cluster = false;
    d->finished = false;
    if (fseeko(d->input.file, 0, SEEK_SET) != 0) return ZR_STATUS_IO_ERROR;
    d->input.position = 0;
    return create_parser(d);
}
