#include "support/box_writer.h"

#include <stdexcept>

namespace boxw {

bytes u8(uint8_t v) { return {v}; }
bytes u16(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
bytes u24(uint32_t v) { return {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
bytes u32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
bytes u64(uint64_t v) { return join({u32(uint32_t(v >> 32)), u32(uint32_t(v))}); }
bytes fourcc(const std::string &type) {
    if (type.size() != 4) throw std::invalid_argument("four characters expected");
    return bytes(type.begin(), type.end());
}

bytes join(const std::vector<bytes> &parts) {
    bytes out;
    for (const bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
bytes join(std::initializer_list<bytes> parts) { return join(std::vector<bytes>(parts)); }

bytes box(const std::string &type, const std::vector<bytes> &parts) {
    const bytes body = join(parts);
    return join({u32(uint32_t(body.size() + 8)), fourcc(type), body});
}
bytes box(const std::string &type, std::initializer_list<bytes> parts) {
    return box(type, std::vector<bytes>(parts));
}

bytes full_box(const std::string &type, uint8_t version, uint32_t flags,
               std::initializer_list<bytes> parts) {
    std::vector<bytes> all{u8(version), u24(flags)};
    all.insert(all.end(), parts.begin(), parts.end());
    return box(type, all);
}

namespace {

// Expandable descriptor length, always written on one byte here.
bytes descriptor(uint8_t tag, const bytes &body) {
    if (body.size() > 127) throw std::invalid_argument("descriptor too long");
    return join({u8(tag), u8(uint8_t(body.size())), body});
}

bytes sample_description(const track_desc &t) {
    std::vector<bytes> parts{bytes(6, 0), u16(1), bytes(8, 0), u16(t.channels), u16(16), u16(0),
                             u16(0),      u32(t.sample_rate << 16)};
    if (t.entry == "mp4a" && t.with_esds) parts.push_back(esds(t.es_flags, t.specific_info));
    return box(t.entry, parts);
}

bytes sizes_box(const track_desc &t) {
    const uint32_t n = uint32_t(t.samples.size());
    if (t.size_box == "stz2") {
        bytes packed;
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t s = uint32_t(t.samples[i].size());
            if (t.stz2_field_bits == 16) {
                const bytes v = u16(uint16_t(s));
                packed.insert(packed.end(), v.begin(), v.end());
            } else if (t.stz2_field_bits == 8) {
                packed.push_back(uint8_t(s));
            } else if (i % 2 == 0) {
                packed.push_back(uint8_t(s << 4));
            } else {
                packed.back() |= uint8_t(s & 15);
            }
        }
        return full_box("stz2", 0, 0, {u24(0), u8(t.stz2_field_bits), u32(n), packed});
    }
    if (t.common_size) {
        return full_box("stsz", 0, 0, {u32(n == 0 ? 0 : uint32_t(t.samples[0].size())), u32(n)});
    }
    std::vector<bytes> sizes;
    for (const bytes &s : t.samples) sizes.push_back(u32(uint32_t(s.size())));
    return full_box("stsz", 0, 0, {u32(0), u32(n), join(sizes)});
}

// Chunk layout of a track whose samples start at `base`.
struct chunk_layout {
    std::vector<uint64_t> offsets;
    std::vector<uint32_t> counts;
};

chunk_layout layout_chunks(const track_desc &t, uint64_t base) {
    chunk_layout c;
    const uint32_t per = t.samples_per_chunk == 0 ? 1 : t.samples_per_chunk;
    uint64_t pos = base;
    for (size_t i = 0; i < t.samples.size(); i += per) {
        c.offsets.push_back(pos);
        uint32_t count = 0;
        for (size_t j = i; j < t.samples.size() && j < i + per; ++j, ++count) pos += t.samples[j].size();
        c.counts.push_back(count);
    }
    return c;
}

bytes stbl(const track_desc &t, const chunk_layout &c) {
    std::vector<bytes> parts{full_box("stsd", 0, 0, {u32(1), sample_description(t)})};
    parts.push_back(full_box("stts", 0, 0, {u32(0)}));  // skipped by the reader
    if (t.with_stsc) {
        std::vector<bytes> entries;
        uint32_t n = 0;
        for (size_t i = 0; i < c.counts.size(); ++i) {
            if (i == 0 || c.counts[i] != c.counts[i - 1]) {
                entries.push_back(join({u32(uint32_t(i + 1)), u32(c.counts[i]), u32(1)}));
                ++n;
            }
        }
        parts.push_back(full_box("stsc", 0, 0, {u32(n), join(entries)}));
    }
    if (t.with_stsz) parts.push_back(sizes_box(t));
    if (t.with_stco) {
        std::vector<bytes> offsets;
        for (uint64_t o : c.offsets) offsets.push_back(u32(uint32_t(o)));
        parts.push_back(full_box("stco", 0, 0, {u32(uint32_t(c.offsets.size())), join(offsets)}));
    }
    return box("stbl", parts);
}

bytes trak(const track_desc &t, const chunk_layout &c) {
    bytes mdhd = t.mdhd_version == 1
                     ? full_box("mdhd", 1, 0,
                                {u64(1), u64(2), u32(t.timescale), u64(t.duration), u16(0x55c4), u16(0)})
                     : full_box("mdhd", 0, 0,
                                {u32(1), u32(2), u32(t.timescale), u32(uint32_t(t.duration)),
                                 u16(0x55c4), u16(0)});
    const bytes hdlr = full_box("hdlr", 0, 0,
                                {u32(0), fourcc(t.handler), u32(0), u32(0), u32(0),
                                 bytes{'t', 'r', 'a', 'c', 'k', 0}});
    const bytes minf = t.with_minf ? box("minf", {box("dinf", {}), stbl(t, c)}) : bytes{};
    const bytes mdia = t.hdlr_after_minf ? box("mdia", {mdhd, minf, hdlr}) : box("mdia", {mdhd, hdlr, minf});
    std::vector<bytes> parts{full_box("tkhd", 0, 7, {u32(0), u32(0), u32(t.track_id), bytes(68, 0)})};
    if (t.with_edts) {
        std::vector<bytes> entries;
        for (int64_t m : t.edit_media_times) {
            if (t.elst_version == 1) {
                entries.push_back(join({u64(1000), u64(uint64_t(m)), u16(1), u16(0)}));
            } else {
                entries.push_back(join({u32(1000), u32(uint32_t(int32_t(m))), u16(1), u16(0)}));
            }
        }
        parts.push_back(box("edts", {full_box("elst", t.elst_version, 0,
                                              {u32(uint32_t(entries.size())), join(entries)})}));
    }
    parts.push_back(mdia);
    return box("trak", parts);
}

bytes moof(const fragment_desc &f, uint32_t track_id, uint32_t data_offset) {
    std::vector<bytes> per_sample;
    for (const bytes &s : f.samples) per_sample.push_back(join({u32(f.sample_duration), u32(uint32_t(s.size()))}));
    const bytes trun = full_box("trun", 0, 0x1 | 0x100 | 0x200,
                                {u32(uint32_t(f.samples.size())), u32(data_offset), join(per_sample)});
    const bytes traf = box("traf", {full_box("tfhd", 0, 0x20000, {u32(track_id)}),
                                    full_box("tfdt", 0, 0, {u32(0)}), trun});
    return box("moof", {full_box("mfhd", 0, 0, {u32(f.sequence_number)}), traf});
}

}  // namespace

bytes esds(uint8_t es_flags, const bytes &specific_info) {
    std::vector<bytes> es{u16(1), u8(es_flags)};
    if (es_flags & 0x80) es.push_back(u16(2));
    if (es_flags & 0x40) es.push_back(join({u8(4), fourcc("http")}));
    if (es_flags & 0x20) es.push_back(u16(3));
    const bytes config = descriptor(
        4, join({u8(0x40), u8(0x15), u24(0), u32(64000), u32(64000), descriptor(5, specific_info)}));
    es.push_back(config);
    es.push_back(descriptor(6, {0x02}));
    return full_box("esds", 0, 0, {descriptor(3, join(es))});
}

bytes build_file(const file_desc &desc) {
    const bytes ftyp = box("ftyp", {fourcc(desc.major_brand), u32(0x200), fourcc("isom"), fourcc("mp41")});
    const bool fragmented = !desc.fragments.empty();
    if (fragmented) {
        std::vector<bytes> traks, trex;
        for (const track_desc &t : desc.tracks) {
            track_desc empty = t;
            empty.samples.clear();
            traks.push_back(trak(empty, {}));
            trex.push_back(full_box("trex", 0, 0, {u32(t.track_id), u32(1), u32(0), u32(0), u32(0)}));
        }
        traks.push_back(box("mvex", trex));
        bytes out = join({ftyp, box("moov", traks)});
        for (const fragment_desc &f : desc.fragments) {
            const uint32_t moof_size = uint32_t(moof(f, desc.tracks[0].track_id, 0).size());
            out = join({out, moof(f, desc.tracks[0].track_id, moof_size + 8), box("mdat", f.samples)});
        }
        return out;
    }
    // ftyp, then mdat with every track's samples, then moov.
    std::vector<bytes> data;
    std::vector<chunk_layout> layouts;
    uint64_t pos = ftyp.size() + 8;
    for (const track_desc &t : desc.tracks) {
        layouts.push_back(layout_chunks(t, pos));
        for (const bytes &s : t.samples) {
            data.push_back(s);
            pos += s.size();
        }
    }
    std::vector<bytes> traks{full_box("mvhd", 0, 0, {bytes(96, 0)})};
    for (size_t i = 0; i < desc.tracks.size(); ++i) traks.push_back(trak(desc.tracks[i], layouts[i]));
    return join({ftyp, box("mdat", data), box("moov", traks)});
}

}  // namespace boxw
