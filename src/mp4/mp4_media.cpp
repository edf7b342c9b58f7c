// The media box: media header, handler and the sample-table boxes.
#include "mp4/mp4_box.h"

namespace {

constexpr zr_status_t kBad = ZR_STATUS_INVALID_ARGUMENT;

zr_status_t parse_mdhd(byte_cursor body, mp4_box_header h, mp4_media_header *out) {
    MP4_TRY(mp4_read_full_box(&body, &h));
    mp4_media_header m{};
    if (h.version == 1) {
        if (!body.u64(&m.creation_time) || !body.u64(&m.modification_time) ||
            !body.u32(&m.timescale) || !body.u64(&m.duration)) {
            return kBad;
        }
    } else {
        uint32_t creation = 0, modification = 0, duration = 0;
        if (!body.u32(&creation) || !body.u32(&modification) || !body.u32(&m.timescale) ||
            !body.u32(&duration)) {
            return kBad;
        }
        m.creation_time = creation;
        m.modification_time = modification;
        m.duration = duration;
    }
    if (!body.u16(&m.language) || !body.u16(&m.pre_defined)) return kBad;
    *out = m;
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_hdlr(byte_cursor body, mp4_box_header h, mp4_handler *out) {
    MP4_TRY(mp4_read_full_box(&body, &h));
    if (!body.u32(&out->pre_defined) || !body.bytes(out->handler_type, 4) || !body.skip(12)) {
        return kBad;
    }
    out->handler_type[4] = '\0';
    // The name runs to its NUL or to the end of the box, whichever comes first.
    size_t n = 0;
    while (n < body.left() && body.data[body.pos + n] != 0) ++n;
    out->name = static_cast<char *>(mem_alloc(n + 1));
    if (out->name == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    body.bytes(out->name, n);
    out->name[n] = '\0';
    return ZR_STATUS_SUCCESS;
}

// MPEG-4 expandable size: 1 to 4 bytes of 7 bits, a set top bit announcing
// another byte.
bool read_descriptor_length(byte_cursor *c, uint32_t *length) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        uint8_t b = 0;
        if (!c->u8(&b)) return false;
        value = (value << 7) | (b & 0x7F);
        if ((b & 0x80) == 0) break;
    }
    *length = value;
    return true;
}

zr_status_t parse_esds(byte_cursor body, mp4_box_header h, mp4_es_descriptor *es) {
    MP4_TRY(mp4_read_full_box(&body, &h));
    uint8_t tag = 0;
    uint32_t length = 0;
    if (!body.u8(&tag) || tag != 3 || !read_descriptor_length(&body, &length)) return kBad;
    if (!body.u16(&es->es_id) || !body.u8(&es->flags)) return kBad;
    if ((es->flags & 0x80) != 0 && !body.u16(&es->depends_on_es_id)) return kBad;
    if ((es->flags & 0x40) != 0) return kBad;  // stream given by URL: not in this file
    if ((es->flags & 0x20) != 0 && !body.u16(&es->ocr_es_id)) return kBad;

    if (!body.u8(&tag) || tag != 4 || !read_descriptor_length(&body, &length)) return kBad;
    if (!body.u8(&es->object_type) || !body.u8(&es->stream_type) || !body.u24(&es->buffer_size) ||
        !body.u32(&es->max_bitrate) || !body.u32(&es->avg_bitrate)) {
        return kBad;
    }

    if (!body.u8(&tag) || tag != 5 || !read_descriptor_length(&body, &length)) return kBad;
    if (length > body.left()) return kBad;
    es->specific_info = static_cast<uint8_t *>(mem_alloc(length));
    if (es->specific_info == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    body.bytes(es->specific_info, length);
    es->specific_info_length = length;
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_audio_description(byte_cursor entry, const mp4_box_header &eh,
                                    mp4_sample_description *d) {
    std::memcpy(d->type, eh.type, 5);
    uint32_t rate = 0;
    if (!entry.skip(6) || !entry.u16(&d->data_reference_index) || !entry.skip(8) ||
        !entry.u16(&d->channel_count) || !entry.u16(&d->sample_size) || !entry.skip(4) ||
        !entry.u32(&rate)) {
        return kBad;
    }
    d->sample_rate = rate >> 16;
    if (std::memcmp(d->type, "mp4a", 4) != 0) return ZR_STATUS_SUCCESS;
    while (entry.left() >= 8) {
        mp4_box_header ch;
        byte_cursor child;
        MP4_TRY(mp4_read_box(&entry, &ch, &child));
        if (mp4_type_is(ch, "esds") && !d->has_esds) {
            d->has_esds = true;
            MP4_TRY(parse_esds(child, ch, &d->esds));
        }
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_stsd(byte_cursor body, mp4_box_header h, bool sound, mp4_sample_table_boxes *t) {
    MP4_TRY(mp4_read_full_box(&body, &h));
    uint32_t count = 0;
    if (!body.u32(&count)) return kBad;
    t->has_stsd = true;
    if (!sound) return ZR_STATUS_SUCCESS;  // other handlers keep no descriptions
    // Every entry is at least a bare 8-byte box header.
    MP4_TRY(mp4_alloc_entries(body, count, 8, &t->descriptions));
    for (uint32_t i = 0; i < count; ++i) {
        mp4_box_header eh;
        byte_cursor entry;
        MP4_TRY(mp4_read_box(&body, &eh, &entry));
        t->description_count = i + 1;
        MP4_TRY(parse_audio_description(entry, eh, &t->descriptions[i]));
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_stsc(byte_cursor body, mp4_box_header h, mp4_sample_table_boxes *t) {
    MP4_TRY(mp4_read_full_box(&body, &h));
    uint32_t count = 0;
    if (!body.u32(&count)) return kBad;
    MP4_TRY(mp4_alloc_entries(body, count, 12, &t->first_chunk));
    MP4_TRY(mp4_alloc_entries(body, count, 12, &t->samples_per_chunk));
    MP4_TRY(mp4_alloc_entries(body, count, 12, &t->description_index));
    for (uint32_t i = 0; i < count; ++i) {
        body.u32(&t->first_chunk[i]);
        body.u32(&t->samples_per_chunk[i]);
        body.u32(&t->description_index[i]);
    }
    t->stsc_count = count;
    t->has_stsc = true;
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_stsz(byte_cursor body, mp4_box_header h, mp4_sample_table_boxes *t) {
    MP4_TRY(mp4_read_full_box(&body, &h));
    uint32_t common = 0, count = 0;
    if (!body.u32(&common) || !body.u32(&count)) return kBad;
    t->has_sizes = true;
    t->common_size = common;
    t->sample_count = count;
    // A common size is kept as one value; the sample table checks the count
    // against the file before it places that many samples.
    if (common != 0) return ZR_STATUS_SUCCESS;
    MP4_TRY(mp4_alloc_entries(body, count, 4, &t->sample_sizes));
    for (uint32_t i = 0; i < count; ++i) body.u32(&t->sample_sizes[i]);
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_stz2(byte_cursor body, mp4_box_header h, mp4_sample_table_boxes *t) {
    MP4_TRY(mp4_read_full_box(&body, &h));
    uint32_t reserved = 0, count = 0;
    uint8_t field = 0;
    if (!body.u24(&reserved) || !body.u8(&field) || !body.u32(&count)) return kBad;
    if (field != 4 && field != 8 && field != 16) return kBad;
    // Bytes the sizes take: count x field bits, rounded up.
    const uint64_t need = (uint64_t{count} * field + 7) / 8;
    if (need > body.left()) return kBad;
    t->has_sizes = true;
    t->common_size = 0;
    t->sample_count = count;
    t->sample_sizes = static_cast<uint32_t *>(mem_calloc(count == 0 ? 1 : count, 4));
    if (t->sample_sizes == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    for (uint32_t i = 0; i < count; ++i) {
        if (field == 16) {
            uint16_t v = 0;
            body.u16(&v);
            t->sample_sizes[i] = v;
        } else if (field == 8) {
            uint8_t v = 0;
            body.u8(&v);
            t->sample_sizes[i] = v;
        } else {
            // Two sizes per byte, the upper four bits first.
            const uint8_t v = body.data[body.pos + i / 2];
            t->sample_sizes[i] = (i % 2 == 0) ? (v >> 4) : (v & 0x0F);
        }
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_chunk_offsets(byte_cursor body, mp4_box_header h, bool wide,
                                mp4_sample_table_boxes *t) {
    MP4_TRY(mp4_read_full_box(&body, &h));
    uint32_t count = 0;
    if (!body.u32(&count)) return kBad;
    MP4_TRY(mp4_alloc_entries(body, count, wide ? 8 : 4, &t->chunk_offsets));
    for (uint32_t i = 0; i < count; ++i) {
        if (wide) {
            body.u64(&t->chunk_offsets[i]);
        } else {
            uint32_t v = 0;
            body.u32(&v);
            t->chunk_offsets[i] = v;
        }
    }
    t->chunk_count = count;
    t->has_offsets = true;
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_stbl(byte_cursor stbl, bool sound, mp4_sample_table_boxes *t) {
    while (stbl.left() >= 8) {
        mp4_box_header h;
        byte_cursor body;
        MP4_TRY(mp4_read_box(&stbl, &h, &body));
        // A table given twice is inconsistent: which one holds is unknowable.
        if (mp4_type_is(h, "stsd")) {
            if (t->has_stsd) return kBad;
            MP4_TRY(parse_stsd(body, h, sound, t));
        } else if (mp4_type_is(h, "stsc")) {
            if (t->has_stsc) return kBad;
            MP4_TRY(parse_stsc(body, h, t));
        } else if (mp4_type_is(h, "stsz") || mp4_type_is(h, "stz2")) {
            if (t->has_sizes) return kBad;
            MP4_TRY(mp4_type_is(h, "stsz") ? parse_stsz(body, h, t) : parse_stz2(body, h, t));
        } else if (mp4_type_is(h, "stco") || mp4_type_is(h, "co64")) {
            if (t->has_offsets) return kBad;
            MP4_TRY(parse_chunk_offsets(body, h, mp4_type_is(h, "co64"), t));
        }
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t parse_minf(byte_cursor minf, mp4_media *media) {
    const bool sound = std::memcmp(media->hdlr.handler_type, "soun", 4) == 0;
    while (minf.left() >= 8) {
        mp4_box_header h;
        byte_cursor body;
        MP4_TRY(mp4_read_box(&minf, &h, &body));
        if (mp4_type_is(h, "stbl")) {
            if (media->has_stbl) return kBad;
            media->has_stbl = true;
            MP4_TRY(parse_stbl(body, sound, &media->stbl));
        }
    }
    return ZR_STATUS_SUCCESS;
}

}  // namespace

zr_status_t mp4_parse_media(const uint8_t *box, size_t length, mp4_media *media) {
    byte_cursor outer{box, length, 0};
    mp4_box_header mh;
    byte_cursor mdia;
    MP4_TRY(mp4_read_box(&outer, &mh, &mdia));
    while (mdia.left() >= 8) {
        mp4_box_header h;
        byte_cursor body;
        MP4_TRY(mp4_read_box(&mdia, &h, &body));
        if (mp4_type_is(h, "mdhd")) {
            MP4_TRY(parse_mdhd(body, h, &media->mdhd));
            media->has_mdhd = true;
        } else if (mp4_type_is(h, "hdlr")) {
            if (media->has_hdlr) return kBad;
            media->has_hdlr = true;
            MP4_TRY(parse_hdlr(body, h, &media->hdlr));
        } else if (mp4_type_is(h, "minf")) {
            // The handler decides how the descriptions are read.
            if (!media->has_hdlr) return ZR_STATUS_RUNTIME_ERROR;
            if (media->has_minf) return kBad;
            media->has_minf = true;
            MP4_TRY(parse_minf(body, media));
        }
    }
    return ZR_STATUS_SUCCESS;
}

void mp4_media_release(mp4_media *media) {
    if (media == nullptr) return;
    mem_free(media->hdlr.name);
    mp4_sample_table_boxes &t = media->stbl;
    for (uint32_t i = 0; i < t.description_count; ++i) mem_free(t.descriptions[i].esds.specific_info);
    mem_free(t.descriptions);
    mem_free(t.first_chunk);
    mem_free(t.samples_per_chunk);
    mem_free(t.description_index);
    mem_free(t.sample_sizes);
    mem_free(t.chunk_offsets);
    *media = mp4_media{};
}
