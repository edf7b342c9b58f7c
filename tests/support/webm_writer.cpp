#include "support/webm_writer.h"

#include <cstring>

namespace {

void put_id(byte_vector &out, uint32_t id) {
    int bytes = id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1;
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(id >> (8 * i)));
}

void put_size(byte_vector &out, uint64_t size) {
    out.push_back(0x01);
    for (int i = 6; i >= 0; --i) out.push_back(static_cast<uint8_t>(size >> (8 * i)));
}

}  // namespace

byte_vector ebml_element(uint32_t id, const byte_vector &body) {
    byte_vector out;
    put_id(out, id);
    put_size(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

byte_vector ebml_uint(uint32_t id, uint64_t value) {
    byte_vector body;
    for (int i = 7; i >= 0; --i) body.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return ebml_element(id, body);
}

byte_vector ebml_float(uint32_t id, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    byte_vector body;
    for (int i = 7; i >= 0; --i) body.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    return ebml_element(id, body);
}

byte_vector ebml_string(uint32_t id, const std::string &value) {
    return ebml_element(id, byte_vector(value.begin(), value.end()));
}

byte_vector concat(const std::vector<byte_vector> &parts) {
    byte_vector out;
    for (const byte_vector &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

byte_vector xiph_lace(const std::vector<byte_vector> &packets) {
    byte_vector out;
    out.push_back(static_cast<uint8_t>(packets.size() - 1));
    for (size_t i = 0; i + 1 < packets.size(); ++i) {
        size_t size = packets[i].size();
        for (; size >= 255; size -= 255) out.push_back(255);
        out.push_back(static_cast<uint8_t>(size));
    }
    for (const byte_vector &packet : packets) out.insert(out.end(), packet.begin(), packet.end());
    return out;
}

byte_vector make_webm(const std::vector<webm_track_desc> &tracks,
                      const std::vector<webm_block_desc> &blocks) {
    const byte_vector header = ebml_element(
        0x1A45DFA3, concat({ebml_uint(0x4286, 1), ebml_uint(0x42F7, 1), ebml_uint(0x42F2, 4),
                            ebml_uint(0x42F3, 8), ebml_string(0x4282, "webm"), ebml_uint(0x4287, 4),
                            ebml_uint(0x4285, 2)}));
    const byte_vector info = ebml_element(0x1549A966, ebml_uint(0x2AD7B1, 1000000));
    byte_vector entries;
    for (const webm_track_desc &t : tracks) {
        std::vector<byte_vector> fields = {ebml_uint(0xD7, t.number), ebml_uint(0x73C5, t.number),
                                           ebml_uint(0x83, t.type), ebml_string(0x86, t.codec_id)};
        if (t.codec_private) fields.push_back(ebml_element(0x63A2, *t.codec_private));
        if (t.type == 2) {
            std::vector<byte_vector> audio;
            if (t.sampling_frequency) audio.push_back(ebml_float(0xB5, *t.sampling_frequency));
            if (t.channels) audio.push_back(ebml_uint(0x9F, *t.channels));
            fields.push_back(ebml_element(0xE1, concat(audio)));
        } else {
            fields.push_back(ebml_element(0xE0, concat({ebml_uint(0xB0, 64), ebml_uint(0xBA, 48)})));
        }
        const byte_vector entry = ebml_element(0xAE, concat(fields));
        entries.insert(entries.end(), entry.begin(), entry.end());
    }
    std::vector<byte_vector> cluster = {ebml_uint(0xE7, 0)};
    int16_t timecode = 0;
    for (const webm_block_desc &b : blocks) {
        byte_vector body = {static_cast<uint8_t>(0x80 | b.track), static_cast<uint8_t>(timecode >> 8),
                            static_cast<uint8_t>(timecode & 0xFF), 0x80};
        if (b.laced.empty()) {
            body.insert(body.end(), b.data.begin(), b.data.end());
        } else {
            body.back() |= 0x02;  // Xiph lacing: frame count - 1, then the sizes as for codec private data
            const byte_vector laced = xiph_lace(b.laced);
            body.insert(body.end(), laced.begin(), laced.end());
        }
        cluster.push_back(ebml_element(0xA3, body));
        timecode = static_cast<int16_t>(timecode + 20);
    }
    const byte_vector segment =
        ebml_element(0x18538067, concat({info, ebml_element(0x1654AE6B, entries),
                                         ebml_element(0x1F43B675, concat(cluster))}));
    return concat({header, segment});
}
