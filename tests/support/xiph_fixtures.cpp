#include "support/xiph_fixtures.h"

#include <ogg/ogg.h>
#include <opus/opus.h>
#include <vorbis/codec.h>

#include <cmath>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>

#include <unistd.h>

#include "audio/audio_reader.h"
#include "support/model_writer.h"

namespace {

const char *const kSpeechSource = "/speakers/librispeech/103/103-1240-0000.flac";

bool tool_present(const std::string &tool) {
    const std::string probe = "command -v " + tool + " >/dev/null 2>&1";
    return std::system(probe.c_str()) == 0;
}

bool file_nonempty(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    const bool nonempty = std::fgetc(f) != EOF;
    std::fclose(f);
    return nonempty;
}

// Encoded files live for the whole process, removed at exit.
struct fixture_cache {
    std::mutex lock;
    std::map<std::string, fixture> made;
    std::string directory;  // kept here: the temp_directory string may be gone at exit
    ~fixture_cache() {
        for (auto &entry : made) {
            if (!entry.second.path.empty()) std::remove(entry.second.path.c_str());
        }
        if (!directory.empty()) rmdir(directory.c_str());  // fails harmlessly while not empty
    }
};

fixture_cache &cache() {
    static fixture_cache instance;
    return instance;
}

// Runs `command` with {out} replaced by the fixture's path, once per name.
fixture make(const std::string &name, const std::vector<std::string> &tools,
             const std::vector<fixture> &inputs, const std::string &command) {
    fixture_cache &c = cache();
    {
        std::lock_guard<std::mutex> guard(c.lock);
        auto found = c.made.find(name);
        if (found != c.made.end()) return found->second;
    }
    fixture result;
    for (const fixture &input : inputs) {
        if (input.path.empty()) {
            result = input;
            break;
        }
    }
    for (const std::string &tool : tools) {
        if (!result.reason.empty()) break;
        if (!tool_present(tool)) {
            result.reason = tool + " is not installed";
            result.missing_input = true;
        }
    }
    if (result.reason.empty()) {
        {
            std::lock_guard<std::mutex> guard(c.lock);
            c.directory = temp_directory();
        }
        const std::string out = temp_directory() + "/" + name;
        const std::string log = out + ".log";
        std::string line = command;
        for (size_t at; (at = line.find("{out}")) != std::string::npos;) line.replace(at, 5, "'" + out + "'");
        line = "{ " + line + " ; } >'" + log + "' 2>&1";
        if (std::system(line.c_str()) == 0 && file_nonempty(out)) {
            result.path = out;
        } else {
            result.reason = "encoder command failed: " + command + " (see " + log + ")";
        }
        if (!result.path.empty()) std::remove(log.c_str());
    }
    std::lock_guard<std::mutex> guard(c.lock);
    return c.made.emplace(name, result).first->second;
}

std::string quoted(const fixture &f) { return "'" + f.path + "'"; }

// The stereo layout of every stereo fixture: distinct channels, so that a
// reader that takes one channel instead of the mix is caught.
const char *const kStereoPan = "-af 'pan=stereo|c0=c0|c1=-0.5*c0'";

}  // namespace

fixture speech_wav() {
    const std::string source = std::string(QUORVA_DATA_DIR) + kSpeechSource;
    if (!file_nonempty(source)) {
        static const fixture absent{"", "speech data not found at " + source, true};
        return absent;
    }
    return make("speech16k.wav", {"ffmpeg"}, {},
                "ffmpeg -nostdin -v error -y -i '" + source + "' -t 3 -bitexact {out}");
}

fixture ogg_opus_fixture(int rate, int channels) {
    const fixture wav = speech_wav();
    const std::string name = "opus_" + std::to_string(rate) + "_" + std::to_string(channels) + ".opus";
    const std::string pan = channels == 2 ? kStereoPan : "";
    return make(name, {"ffmpeg", "opusenc"}, {wav},
                "ffmpeg -nostdin -v error -i " + quoted(wav) + " -ar " + std::to_string(rate) + " " +
                    pan + " -bitexact -f wav - | opusenc --quiet - {out}");
}

fixture ogg_opus_long_packet_fixture() {
    const fixture wav = speech_wav();
    return make("opus_120ms.opus", {"ffmpeg"}, {wav},
                "ffmpeg -nostdin -v error -i " + quoted(wav) + " -ar 48000 " + kStereoPan +
                    " -c:a libopus -frame_duration 120 -bitexact {out}");
}

fixture ogg_vorbis_fixture(int channels) {
    const fixture wav = speech_wav();
    const std::string name = "vorbis_" + std::to_string(channels) + ".ogg";
    const std::string pan = channels == 2 ? kStereoPan : "";
    return make(name, {"ffmpeg", "oggenc"}, {wav},
                "ffmpeg -nostdin -v error -i " + quoted(wav) + " " + pan +
                    " -bitexact -f wav - | oggenc -Q -o {out} -");
}

fixture webm_opus_fixture() {
    const fixture ogg = ogg_opus_fixture(48000, 2);
    return make("opus.webm", {"ffmpeg"}, {ogg},
                "ffmpeg -nostdin -v error -i " + quoted(ogg) + " -c:a copy -f webm {out}");
}

fixture webm_vorbis_fixture() {
    const fixture ogg = ogg_vorbis_fixture(2);
    return make("vorbis.webm", {"mkvmerge"}, {ogg}, "mkvmerge -q --webm -o {out} " + quoted(ogg));
}

fixture webm_video_first_fixture() {
    const fixture ogg = ogg_opus_fixture(48000, 1);
    return make("video_first.webm", {"ffmpeg"}, {ogg},
                "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=64x48:rate=10 -i " + quoted(ogg) +
                    " -map 0:v -map 1:a -t 3 -c:v libvpx -c:a copy -f webm {out}");
}

std::vector<std::vector<uint8_t>> ogg_packets_of(const std::string &path, std::vector<int64_t> *granules,
                                                 std::vector<bool> *ends) {
    const std::vector<uint8_t> bytes = read_file_bytes(path);
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char *area = ogg_sync_buffer(&sync, static_cast<long>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), area);
    ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
    ogg_stream_state stream{};
    bool started = false;
    std::vector<std::vector<uint8_t>> packets;
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) == 1) {
        if (!started) {
            ogg_stream_init(&stream, ogg_page_serialno(&page));
            started = true;
        }
        if (ogg_stream_pagein(&stream, &page) != 0) continue;
        ogg_packet packet;
        while (ogg_stream_packetout(&stream, &packet) == 1) {
            packets.emplace_back(packet.packet, packet.packet + packet.bytes);
            if (granules != nullptr) granules->push_back(packet.granulepos);
            if (ends != nullptr) ends->push_back(packet.e_o_s != 0);
        }
    }
    ogg_stream_clear(&stream);
    ogg_sync_clear(&sync);
    return packets;
}

std::vector<uint8_t> make_ogg_stream(const std::vector<std::vector<uint8_t>> &packets, int serial) {
    ogg_stream_state stream;
    ogg_stream_init(&stream, serial);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < packets.size(); ++i) {
        ogg_packet packet{};
        packet.packet = const_cast<unsigned char *>(packets[i].data());
        packet.bytes = static_cast<long>(packets[i].size());
        packet.b_o_s = i == 0;
        packet.e_o_s = i + 1 == packets.size();
        packet.granulepos = static_cast<ogg_int64_t>(960 * i);
        packet.packetno = static_cast<ogg_int64_t>(i);
        ogg_stream_packetin(&stream, &packet);
        ogg_page page;
        while (ogg_stream_flush(&stream, &page) != 0) {
            out.insert(out.end(), page.header, page.header + page.header_len);
            out.insert(out.end(), page.body, page.body + page.body_len);
        }
    }
    ogg_stream_clear(&stream);
    return out;
}

std::vector<uint8_t> opus_id_header(int channels, uint32_t rate) {
    std::vector<uint8_t> h = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, static_cast<uint8_t>(channels),
                              0x38, 0x01};
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(rate >> (8 * i)));
    h.insert(h.end(), {0, 0, 0});  // output gain, mapping family
    return h;
}

reader_run run_reader(const audio_reader_ops &ops, const std::string &path, int32_t chunk) {
    reader_run run;
    void *handle = nullptr;
    run.open_status = ops.open(path.c_str(), &handle);
    if (run.open_status != ZR_STATUS_SUCCESS) {
        ops.close(handle);
        return run;
    }
    run.num_frames = ops.num_frames(handle);
    run.sample_rate = ops.sample_rate(handle);
    run.channels = ops.num_channels(handle);
    run.read_status = ZR_STATUS_SUCCESS;
    std::vector<int16_t> piece(static_cast<size_t>(chunk));
    while (run.samples.size() < run.num_frames) {
        const uint64_t left = run.num_frames - run.samples.size();
        const int32_t n = left < static_cast<uint64_t>(chunk) ? static_cast<int32_t>(left) : chunk;
        run.read_status = ops.read(handle, n, piece.data());
        if (run.read_status != ZR_STATUS_SUCCESS) break;
        run.samples.insert(run.samples.end(), piece.begin(), piece.begin() + n);
    }
    int16_t extra = 0;
    run.past_end_status = ops.read(handle, 1, &extra);
    ops.close(handle);
    return run;
}

// Every packet after the two headers decoded on its own with libopus, at the
// header's rate, and mixed to mono with the integer rule.
std::vector<int16_t> opus_reference(const std::string &path) {
    const std::vector<std::vector<uint8_t>> packets = ogg_packets_of(path);
    const std::vector<uint8_t> &head = packets.at(0);
    const int channels = head.at(9);
    const int32_t rate = static_cast<int32_t>(head[12] | head[13] << 8 | head[14] << 16 | head[15] << 24);
    int error = 0;
    OpusDecoder *decoder = opus_decoder_create(rate, channels, &error);
    if (error != OPUS_OK) throw std::runtime_error("reference Opus decoder refused the header");
    std::vector<int16_t> pcm(5760 * 2), mono;
    for (size_t i = 2; i < packets.size(); ++i) {
        const int n = opus_decode(decoder, packets[i].data(), static_cast<opus_int32>(packets[i].size()),
                                  pcm.data(), 5760, 0);
        if (n <= 0) throw std::runtime_error("reference Opus decode failed");
        for (int f = 0; f < n; ++f) {
            mono.push_back(channels == 1 ? pcm[f] : static_cast<int16_t>((pcm[2 * f] + pcm[2 * f + 1]) / 2));
        }
    }
    opus_decoder_destroy(decoder);
    return mono;
}

namespace {

int16_t to_int16(float v) {
    const float scaled = v * 32767.0f;
    if (scaled >= 32767.0f) return 32767;
    if (scaled <= -32768.0f) return -32768;
    return static_cast<int16_t>(scaled < 0 ? -std::floor(-scaled + 0.5f) : std::floor(scaled + 0.5f));
}

}  // namespace

// Every audio packet through libvorbis, each frame mixed as (L + R) x 0.5 in
// float and scaled to 16 bits. With `granules`, the packets carry their Ogg
// granule positions, from which libvorbis trims the end of the stream; a
// WebM track has none.
std::vector<int16_t> vorbis_reference(const std::string &path, bool granules) {
    std::vector<int64_t> positions;
    std::vector<bool> ends;
    std::vector<std::vector<uint8_t>> packets = ogg_packets_of(path, &positions, &ends);
    vorbis_info info;
    vorbis_comment comment;
    vorbis_dsp_state dsp;
    vorbis_block block;
    vorbis_info_init(&info);
    vorbis_comment_init(&comment);
    for (size_t i = 0; i < 3; ++i) {
        ogg_packet p{};
        p.packet = packets[i].data();
        p.bytes = static_cast<long>(packets[i].size());
        p.b_o_s = i == 0;
        if (vorbis_synthesis_headerin(&info, &comment, &p) != 0) {
            throw std::runtime_error("reference Vorbis decoder refused a header");
        }
    }
    vorbis_synthesis_init(&dsp, &info);
    vorbis_block_init(&dsp, &block);
    std::vector<int16_t> mono;
    for (size_t i = 3; i < packets.size(); ++i) {
        ogg_packet p{};
        p.packet = packets[i].data();
        p.bytes = static_cast<long>(packets[i].size());
        if (granules) {
            p.granulepos = positions[i];
            p.e_o_s = ends[i];
            p.packetno = static_cast<ogg_int64_t>(i);  // libvorbis trusts positions in sequence only
        }
        if (vorbis_synthesis(&block, &p) != 0) throw std::runtime_error("reference Vorbis decode failed");
        vorbis_synthesis_blockin(&dsp, &block);
        float **pcm = nullptr;
        const int n = vorbis_synthesis_pcmout(&dsp, &pcm);
        for (int f = 0; f < n; ++f) {
            mono.push_back(to_int16(info.channels == 1 ? pcm[0][f] : (pcm[0][f] + pcm[1][f]) * 0.5f));
        }
        vorbis_synthesis_read(&dsp, n);
    }
    vorbis_block_clear(&block);
    vorbis_dsp_clear(&dsp);
    vorbis_comment_clear(&comment);
    vorbis_info_clear(&info);
    return mono;
}

