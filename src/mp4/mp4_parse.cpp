// The box walk: top-level boxes are skipped by their length except "moov" and
// "moof", which are read whole into a bounded heap buffer and turned into
// records.
#include <sys/types.h>

#include "mp4/mp4_box.h"

namespace {

constexpr zr_status_t kBad = ZR_STATUS_INVALID_ARGUMENT;

// The start of a box whose body the cursor `body` holds.
const uint8_t *box_start(const byte_cursor &body, const mp4_box_header &h) {
    return body.data - h.header_length;
}

zr_status_t parse_elst(byte_cursor body, mp4_box_header h, mp4_trak *trak) {
    MP4_TRY(mp4_read_full_box(&body, &h));
    uint32_t count = 0;
    if (!body.u32(&count)) return kBad;
    const bool wide = h.version == 1;
    MP4_TRY(mp4_alloc_entries(body, count, wide ? 20 : 12, &trak->edits));
    trak->has_edit_list = true;
    for (uint32_t i = 0; i < count; ++i) {
        mp4_edit &e = trak->edits[i];
        if (wide) {
            uint64_t time = 0;
            body.u64(&e.segment_duration);
            body.u64(&time);
            e.media_time = static_cast<int64_t>(time);
        } else {
            uint32_t duration = 0, time = 0;
            body.u32(&duration);
            body.u32(&time);
            e.segment_duration = duration;
            e.media_time = static_cast<int32_t>(time);  // all bits set reads as -1
        }
        uint16_t rate = 0, fraction = 0;
        body.u16(&rate);
        body.u16(&fraction);
        e.media_rate_integer = static_cast<int16_t>(rate);
        e.media_rate_fraction = static_cast<int16_t>(fraction);
    }
    trak->edit_count = count;
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_trak(byte_cursor trak_body, mp4_trak *trak) {
    while (trak_body.left() >= 8) {
        mp4_box_header h;
        byte_cursor body;
        MP4_TRY(mp4_read_box(&trak_body, &h, &body));
        if (mp4_type_is(h, "edts")) {
            while (body.left() >= 8) {
                mp4_box_header eh;
                byte_cursor elst;
                MP4_TRY(mp4_read_box(&body, &eh, &elst));
                if (!mp4_type_is(eh, "elst")) continue;
                if (trak->has_edit_list) return kBad;
                MP4_TRY(parse_elst(elst, eh, trak));
            }
        } else if (mp4_type_is(h, "mdia")) {
            if (trak->media != nullptr) return kBad;
            trak->media = static_cast<mp4_media *>(mem_calloc(1, sizeof(mp4_media)));
            if (trak->media == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
            MP4_TRY(mp4_parse_media(box_start(body, h), h.length, trak->media));
        }
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_mvex(byte_cursor mvex, mp4_movie *movie) {
    movie->has_mvex = true;
    while (mvex.left() >= 8) {
        mp4_box_header h;
        byte_cursor body;
        MP4_TRY(mp4_read_box(&mvex, &h, &body));
        if (!mp4_type_is(h, "trex")) continue;
        MP4_TRY(mp4_read_full_box(&body, &h));
        mp4_trex t{};
        if (!body.u32(&t.track_id) || !body.u32(&t.default_description_index) ||
            !body.u32(&t.default_sample_duration) || !body.u32(&t.default_sample_size) ||
            !body.u32(&t.default_sample_flags)) {
            return kBad;
        }
        mp4_trex *slot = nullptr;
        MP4_TRY(mp4_append(&movie->trex, &movie->trex_count, &slot));
        *slot = t;
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_moov(byte_cursor box, mp4_file *file) {
    if (file->movie != nullptr) return kBad;  // a second movie
    file->movie = static_cast<mp4_movie *>(mem_calloc(1, sizeof(mp4_movie)));
    if (file->movie == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    mp4_movie *movie = file->movie;
    byte_cursor moov;
    MP4_TRY(mp4_read_box(&box, &movie->header, &moov));
    while (moov.left() >= 8) {
        mp4_box_header h;
        byte_cursor body;
        MP4_TRY(mp4_read_box(&moov, &h, &body));
        if (mp4_type_is(h, "trak")) {
            mp4_trak *trak = nullptr;
            MP4_TRY(mp4_append(&movie->tracks, &movie->track_count, &trak));
            trak->header = h;
            MP4_TRY(parse_trak(body, trak));
        } else if (mp4_type_is(h, "mvex")) {
            MP4_TRY(parse_mvex(body, movie));
        }
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_tfhd(byte_cursor body, mp4_box_header h, mp4_tfhd *t) {
    MP4_TRY(mp4_read_full_box(&body, &h));
    t->base_data_offset_present = (h.flags & 0x1) != 0;
    t->description_index_present = (h.flags & 0x2) != 0;
    t->default_duration_present = (h.flags & 0x8) != 0;
    t->default_size_present = (h.flags & 0x10) != 0;
    t->default_flags_present = (h.flags & 0x20) != 0;
    t->duration_is_empty = (h.flags & 0x10000) != 0;
    if (!body.u32(&t->track_id)) return kBad;
    if (t->base_data_offset_present && !body.u64(&t->base_data_offset)) return kBad;
    if (t->description_index_present && !body.u32(&t->description_index)) return kBad;
    if (t->default_duration_present && !body.u32(&t->default_sample_duration)) return kBad;
    if (t->default_size_present && !body.u32(&t->default_sample_size)) return kBad;
    if (t->default_flags_present && !body.u32(&t->default_sample_flags)) return kBad;
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_trun(byte_cursor body, mp4_box_header h, mp4_trun *r) {
    MP4_TRY(mp4_read_full_box(&body, &h));
    r->data_offset_present = (h.flags & 0x1) != 0;
    r->first_sample_flags_present = (h.flags & 0x4) != 0;
    r->duration_present = (h.flags & 0x100) != 0;
    r->size_present = (h.flags & 0x200) != 0;
    r->flags_present = (h.flags & 0x400) != 0;
    r->composition_offset_present = (h.flags & 0x800) != 0;
    if (!body.u32(&r->sample_count)) return kBad;
    if (r->data_offset_present) {
        uint32_t v = 0;
        if (!body.u32(&v)) return kBad;
        r->data_offset = static_cast<int32_t>(v);
    }
    if (r->first_sample_flags_present && !body.u32(&r->first_sample_flags)) return kBad;
    const uint32_t fields = r->duration_present + r->size_present + r->flags_present +
                            r->composition_offset_present;
    if (fields == 0) return ZR_STATUS_SUCCESS;
    uint32_t **arrays[4] = {&r->durations, &r->sizes, &r->sample_flags, &r->composition_offsets};
    const bool present[4] = {r->duration_present, r->size_present, r->flags_present,
                             r->composition_offset_present};
    for (int k = 0; k < 4; ++k) {
        if (present[k]) MP4_TRY(mp4_alloc_entries(body, r->sample_count, 4 * fields, arrays[k]));
    }
    for (uint32_t i = 0; i < r->sample_count; ++i) {
        for (int k = 0; k < 4; ++k) {
            if (present[k]) body.u32(&(*arrays[k])[i]);
        }
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_traf(byte_cursor traf_body, mp4_traf *traf) {
    while (traf_body.left() >= 8) {
        mp4_box_header h;
        byte_cursor body;
        MP4_TRY(mp4_read_box(&traf_body, &h, &body));
        if (mp4_type_is(h, "tfhd")) {
            if (traf->has_tfhd) return kBad;
            traf->has_tfhd = true;
            MP4_TRY(parse_tfhd(body, h, &traf->tfhd));
        } else if (mp4_type_is(h, "trun")) {
            mp4_trun *run = nullptr;
            MP4_TRY(mp4_append(&traf->runs, &traf->run_count, &run));
            MP4_TRY(parse_trun(body, h, run));
        }
    }
    // Runs mean nothing without the header that says whose they are.
    return traf->has_tfhd ? ZR_STATUS_SUCCESS : kBad;
}

zr_status_t parse_moof(byte_cursor box, uint64_t position, mp4_file *file) {
    mp4_fragment *fragment = nullptr;
    MP4_TRY(mp4_append(&file->fragments, &file->fragment_count, &fragment));
    fragment->position = position;
    mp4_box_header mh;
    byte_cursor moof;
    MP4_TRY(mp4_read_box(&box, &mh, &moof));
    bool has_mfhd = false;
    while (moof.left() >= 8) {
        mp4_box_header h;
        byte_cursor body;
        MP4_TRY(mp4_read_box(&moof, &h, &body));
        if (mp4_type_is(h, "mfhd")) {
            MP4_TRY(mp4_read_full_box(&body, &h));
            if (!body.u32(&fragment->sequence_number)) return kBad;
            has_mfhd = true;
        } else if (mp4_type_is(h, "traf")) {
            mp4_traf *traf = nullptr;
            MP4_TRY(mp4_append(&fragment->trafs, &fragment->traf_count, &traf));
            MP4_TRY(parse_traf(body, traf));
        }
    }
    return has_mfhd ? ZR_STATUS_SUCCESS : kBad;
}

bool read_at(FILE *f, uint64_t position, void *dst, size_t n) {
    if (position > static_cast<uint64_t>(INT64_MAX)) return false;
    if (fseeko(f, static_cast<off_t>(position), SEEK_SET) != 0) return false;
    return std::fread(dst, 1, n, f) == n;
}

uint64_t be(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

zr_status_t walk(FILE *f, mp4_file *file) {
    if (fseeko(f, 0, SEEK_END) != 0) return ZR_STATUS_IO_ERROR;
    const off_t end = ftello(f);
    if (end < 0 || fseeko(f, 0, SEEK_SET) != 0) return ZR_STATUS_IO_ERROR;
    file->file_size = static_cast<uint64_t>(end);

    uint64_t position = 0;
    for (;;) {
        // Peek the header; a header that cannot be read ends the walk.
        uint8_t head[16];
        if (file->file_size - position < 8 || !read_at(f, position, head, 8)) break;
        uint64_t length = be(head, 4);
        uint32_t header_length = 8;
        if (length == 1) {
            if (file->file_size - position < 16 || !read_at(f, position + 8, head + 8, 8)) break;
            length = be(head + 8, 8);
            header_length = 16;
        }
        if (length == 0) break;  // extends to the end of the file: nothing after it
        if (length < header_length) return kBad;

        const bool moov = std::memcmp(head + 4, "moov", 4) == 0;
        const bool moof = std::memcmp(head + 4, "moof", 4) == 0;
        if (moov || moof) {
            if (length > kMp4MaxBufferedBox) return kBad;
            if (length > file->file_size - position) return ZR_STATUS_IO_ERROR;
            uint8_t *buffer = static_cast<uint8_t *>(mem_alloc(length));
            if (buffer == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
            zr_status_t status = ZR_STATUS_IO_ERROR;
            if (read_at(f, position, buffer, length)) {
                const byte_cursor box{buffer, static_cast<size_t>(length), 0};
                status = moov ? parse_moov(box, file) : parse_moof(box, position, file);
            }
            mem_free(buffer);
            if (status != ZR_STATUS_SUCCESS) return status;
        }
        if (length > file->file_size - position) break;  // the rest of the file is inside it
        position += length;
    }
    return ZR_STATUS_SUCCESS;
}

}  // namespace

zr_status_t mp4_parse(FILE *f, mp4_file **out) {
    *out = nullptr;
    mp4_file *file = static_cast<mp4_file *>(mem_calloc(1, sizeof(mp4_file)));
    if (file == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    zr_status_t status = ZR_STATUS_IO_ERROR;
    try {
        status = walk(f, file);
    } catch (...) {
        status = ZR_STATUS_RUNTIME_ERROR;
    }
    if (status != ZR_STATUS_SUCCESS) {
        mp4_file_release(file);
        return status;
    }
    *out = file;
    return ZR_STATUS_SUCCESS;
}

void mp4_file_release(mp4_file *file) {
    if (file == nullptr) return;
    if (mp4_movie *movie = file->movie) {
        for (uint32_t i = 0; i < movie->track_count; ++i) {
            mem_free(movie->tracks[i].edits);
            mp4_media_release(movie->tracks[i].media);
            mem_free(movie->tracks[i].media);
        }
        mem_free(movie->tracks);
        mem_free(movie->trex);
        mem_free(movie);
    }
    for (uint32_t i = 0; i < file->fragment_count; ++i) {
        mp4_fragment &fragment = file->fragments[i];
        for (uint32_t j = 0; j < fragment.traf_count; ++j) {
            mp4_traf &traf = fragment.trafs[j];
            for (uint32_t k = 0; k < traf.run_count; ++k) {
                mem_free(traf.runs[k].durations);
                mem_free(traf.runs[k].sizes);
                mem_free(traf.runs[k].sample_flags);
                mem_free(traf.runs[k].composition_offsets);
            }
            mem_free(traf.runs);
        }
        mem_free(fragment.trafs);
    }
    mem_free(file->fragments);
    mem_free(file);
}
