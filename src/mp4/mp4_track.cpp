#include "mp4/mp4_track.h"

#include "common/log.h"
#include "mp4/mp4_box.h"

namespace {

constexpr zr_status_t kBad = ZR_STATUS_INVALID_ARGUMENT;

// Grows the table by `extra` entries. The total is capped by the file size:
// no real track has more samples than its file has bytes, and the cap keeps
// a hostile count from costing more than a small multiple of the file.
zr_status_t grow(mp4_sample_table *table, uint64_t extra, uint64_t file_size) {
    const uint64_t total = static_cast<uint64_t>(table->count) + extra;
    if (total > file_size || total > INT32_MAX) return kBad;
    if (total > static_cast<uint64_t>(table->capacity)) {
        // Doubling keeps a file of many small runs from copying the table
        // once per run.
        uint64_t capacity = static_cast<uint64_t>(table->capacity) * 2;
        if (capacity < total) capacity = total;
        if (capacity > file_size) capacity = file_size;
        if (capacity > INT32_MAX) capacity = INT32_MAX;
        auto *grown = static_cast<mp4_sample_entry *>(mem_realloc(
            table->entries, static_cast<size_t>(capacity) * sizeof(mp4_sample_entry)));
        if (grown == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
        table->entries = grown;
        table->capacity = static_cast<int32_t>(capacity);
    }
    for (uint64_t i = static_cast<uint64_t>(table->count); i < total; ++i) table->entries[i] = {};
    table->count = static_cast<int32_t>(total);
    return ZR_STATUS_SUCCESS;
}

bool inside_file(uint64_t position, uint32_t length, uint64_t file_size) {
    return position <= file_size && length <= file_size - position;
}

zr_status_t apply_edit_rule(const mp4_trak &trak) {
    if (!trak.has_edit_list) return ZR_STATUS_SUCCESS;
    for (uint32_t i = 0; i + 1 < trak.edit_count; ++i) {
        if (trak.edits[i].media_time >= 0) return kBad;  // only empty edits may come first
    }
    if (trak.edit_count > 1) log_print("%s", kMp4EditsWarning);
    return ZR_STATUS_SUCCESS;
}

zr_status_t place_movie_samples(const mp4_sample_table_boxes &t, uint64_t file_size,
                                mp4_sample_table *table) {
    const uint32_t n = t.sample_count;
    MP4_TRY(grow(table, n, file_size));
    for (uint32_t i = 0; i < n; ++i) {
        table->entries[i].length = t.common_size != 0 ? t.common_size : t.sample_sizes[i];
    }
    uint64_t chunk = 0;  // running chunk index
    uint64_t sample = 0;
    for (uint32_t k = 0; k < t.stsc_count; ++k) {
        const int64_t first = t.first_chunk[k];
        const int64_t runs = k + 1 < t.stsc_count ? int64_t{t.first_chunk[k + 1]} - first
                                                  : int64_t{t.chunk_count} - first + 1;
        if (runs <= 0) continue;
        const uint32_t per_chunk = t.samples_per_chunk[k] < 2 ? 1 : t.samples_per_chunk[k];
        for (int64_t r = 0; r < runs; ++r, ++chunk) {
            if (chunk >= t.chunk_count) return kBad;  // more chunks than offsets
            if (per_chunk > n - sample) return kBad;  // more samples than sizes
            uint64_t position = t.chunk_offsets[chunk];
            for (uint32_t j = 0; j < per_chunk; ++j, ++sample) {
                mp4_sample_entry &e = table->entries[sample];
                if (!inside_file(position, e.length, file_size)) return kBad;
                e.position = position;
                position += e.length;
            }
        }
    }
    // Samples no chunk holds have no position.
    return sample == n ? ZR_STATUS_SUCCESS : kBad;
}

uint32_t run_value(const uint32_t *values, uint32_t i) { return values != nullptr ? values[i] : 0; }

zr_status_t place_fragment_samples(const mp4_file *file, mp4_track_info *info,
                                   mp4_sample_table *table) {
    const mp4_movie &movie = *file->movie;
    if (movie.trex_count != movie.track_count) return kBad;
    const mp4_trex &trex = movie.trex[info->track_index];
    const bool add_durations = info->media_duration == 0;
    uint32_t last_sequence = 0;
    for (uint32_t f = 0; f < file->fragment_count; ++f) {
        const mp4_fragment &fragment = file->fragments[f];
        if (fragment.sequence_number <= last_sequence) return kBad;
        last_sequence = fragment.sequence_number;
        for (uint32_t t = 0; t < fragment.traf_count; ++t) {
            const mp4_traf &traf = fragment.trafs[t];
            const mp4_tfhd &h = traf.tfhd;
            if (h.track_id != trex.track_id) continue;
            const uint64_t base = h.base_data_offset_present ? h.base_data_offset : fragment.position;
            uint64_t next = base;
            for (uint32_t r = 0; r < traf.run_count; ++r) {
                const mp4_trun &run = traf.runs[r];
                if (run.sample_count == 0) continue;
                if (run.data_offset_present) {
                    const int64_t offset = run.data_offset;
                    if (offset < 0 && static_cast<uint64_t>(-offset) > base) return kBad;
                    next = base + static_cast<uint64_t>(offset);  // wraps back for negatives
                    if (next > file->file_size) return kBad;
                }
                const int32_t first = table->count;
                MP4_TRY(grow(table, run.sample_count, file->file_size));
                for (uint32_t i = 0; i < run.sample_count; ++i) {
                    uint32_t size = trex.default_sample_size;
                    if (run.sizes != nullptr) {
                        size = run.sizes[i];
                    } else if (h.default_size_present) {
                        size = h.default_sample_size;
                    }
                    if (!inside_file(next, size, file->file_size)) return kBad;
                    table->entries[first + i] = {next, size};
                    next += size;
                    if (add_durations) {
                        uint32_t duration = trex.default_sample_duration;
                        if (run.durations != nullptr) {
                            duration = run_value(run.durations, i);
                        } else if (h.default_duration_present) {
                            duration = h.default_sample_duration;
                        }
                        info->media_duration += duration;
                    }
                }
            }
        }
    }
    return ZR_STATUS_SUCCESS;
}

}  // namespace

zr_status_t mp4_select_track(const mp4_file *file, mp4_track_info *info) {
    const mp4_movie *movie = file->movie;
    if (movie == nullptr) return kBad;
    for (uint32_t i = 0; i < movie->track_count; ++i) {
        const mp4_trak &trak = movie->tracks[i];
        // A track lacking what the choice needs does not qualify.
        if (trak.media == nullptr) continue;
        const mp4_media &media = *trak.media;
        if (!media.has_hdlr || !media.stbl.has_stsd) continue;
        if (std::memcmp(media.hdlr.handler_type, "soun", 4) != 0) continue;
        for (uint32_t d = 0; d < media.stbl.description_count; ++d) {
            const mp4_sample_description &desc = media.stbl.descriptions[d];
            info->channels = desc.channel_count;
            info->sample_rate = static_cast<int32_t>(desc.sample_rate);
            const bool amr = std::memcmp(desc.type, "samr", 4) == 0;
            const bool aac = std::memcmp(desc.type, "mp4a", 4) == 0;
            if (!amr && !aac) continue;
            info->track_index = static_cast<int32_t>(i);
            info->media_duration = media.mdhd.duration;
            info->timescale = static_cast<int32_t>(media.mdhd.timescale);
            if (amr) {
                info->codec = MP4_CODEC_AMR_NB;
                info->channels = 1;
                return ZR_STATUS_SUCCESS;
            }
            info->codec = MP4_CODEC_AAC;
            if (!desc.has_esds) return kBad;
            const uint32_t length = desc.esds.specific_info_length;
            if (length > 0) {
                info->decoder_config = static_cast<uint8_t *>(mem_alloc(length));
                if (info->decoder_config == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
                std::memcpy(info->decoder_config, desc.esds.specific_info, length);
                info->decoder_config_length = static_cast<int32_t>(length);
            }
            return ZR_STATUS_SUCCESS;
        }
    }
    return kBad;
}

zr_status_t mp4_build_sample_table(const mp4_file *file, mp4_track_info *info,
                                   mp4_sample_table *table) {
    if (file->movie == nullptr || info->track_index < 0 ||
        static_cast<uint32_t>(info->track_index) >= file->movie->track_count) {
        return kBad;
    }
    const mp4_trak &trak = file->movie->tracks[info->track_index];
    if (trak.media == nullptr) return kBad;
    const mp4_sample_table_boxes &t = trak.media->stbl;
    if (!t.has_sizes || !t.has_stsc || !t.has_offsets) return kBad;
    try {
        MP4_TRY(apply_edit_rule(trak));
        MP4_TRY(place_movie_samples(t, file->file_size, table));
        if (file->movie->has_mvex) MP4_TRY(place_fragment_samples(file, info, table));
    } catch (...) {
        return ZR_STATUS_RUNTIME_ERROR;
    }
    return ZR_STATUS_SUCCESS;
}

void mp4_check_duration(const mp4_track_info *info, uint64_t total_frames) {
    // Unsigned, with zero divisors giving 0: the fields come from the file.
    const uint64_t timescale = static_cast<uint32_t>(info->timescale);  // as stored in the file
    const uint64_t rate = info->sample_rate > 0 ? static_cast<uint64_t>(info->sample_rate) : 0;
    const uint64_t media_seconds = timescale != 0 ? info->media_duration / timescale : 0;
    const uint64_t decoded_seconds = rate != 0 ? total_frames / rate : 0;
    if (media_seconds != decoded_seconds) log_print("%s", kMp4DurationWarning);
}

void mp4_track_info_release(mp4_track_info *info) {
    if (info == nullptr) return;
    mem_free(info->decoder_config);
    info->decoder_config = nullptr;
    info->decoder_config_length = 0;
}

void mp4_sample_table_release(mp4_sample_table *table) {
    if (table == nullptr) return;
    mem_free(table->entries);
    table->entries = nullptr;
    table->count = 0;
    table->capacity = 0;
}
