// quorva_features: writes what the engine's front end and network compute for
// an audio file, so that model training sees exactly the engine's numbers.
//
//   quorva_features features AUDIO OUT [AUDIO OUT ...]
//       2n rows of 40 int16 log band energies (before normalisation), raw,
//       little-endian, n = samples / 512.
//   quorva_features embed MODEL AUDIO OUT
//       n rows of D float32 embeddings from the model's network.
//
// AUDIO is any file the engine reads, or raw 16 kHz mono int16 PCM when its
// name ends in ".s16" (for augmented copies made by the training scripts).
#include <cstdio>
#include <cstring>
#include <string>

#include "audio/decode_file.h"
#include "common/alloc.h"
#include "diarization/embedding_network.h"
#include "diarization/front_end.h"
#include "model/engine.h"
#include "zr_quorva.h"

namespace {

bool ends_with(const std::string &s, const char *suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Raw PCM, read whole; on success *pcm is allocated with mem_alloc.
bool read_raw_pcm(const char *path, int16_t **pcm, int32_t *count) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long bytes = ok ? std::ftell(f) : -1;
    ok = ok && bytes >= 0 && bytes / 2 <= INT32_MAX && std::fseek(f, 0, SEEK_SET) == 0;
    int16_t *buf = nullptr;
    if (ok) {
        buf = static_cast<int16_t *>(mem_alloc(static_cast<size_t>(bytes / 2) * 2 + 2));
        ok = buf != nullptr &&
             std::fread(buf, 2, static_cast<size_t>(bytes / 2), f) == static_cast<size_t>(bytes / 2);
    }
    std::fclose(f);
    if (!ok) {
        mem_free(buf);
        return false;
    }
    *pcm = buf;
    *count = static_cast<int32_t>(bytes / 2);
    return true;
}

bool load_audio(const char *path, int16_t **pcm, int32_t *count) {
    if (ends_with(path, ".s16")) return read_raw_pcm(path, pcm, count);
    return decode_file_to_pcm(path, pcm, count) == ZR_STATUS_SUCCESS;
}

bool write_all(const char *path, const void *data, size_t bytes) {
    FILE *f = std::fopen(path, "wb");
    if (f == nullptr) return false;
    const bool ok = bytes == 0 || std::fwrite(data, 1, bytes, f) == bytes;
    return std::fclose(f) == 0 && ok;
}

// Front-end rows of one file (2n x 40), unnormalised. *rows_out is 2n.
bool file_features(front_end_state *fe, const char *audio, int16_t **features, int32_t *frames) {
    int16_t *pcm = nullptr;
    int32_t count = 0;
    if (!load_audio(audio, &pcm, &count)) {
        std::fprintf(stderr, "quorva_features: cannot read %s\n", audio);
        return false;
    }
    const int32_t n = count / 512;
    auto *rows = static_cast<int16_t *>(
        mem_alloc(sizeof(int16_t) * static_cast<size_t>(kFrameFeatures) * static_cast<size_t>(n) + 2));
    bool ok = rows != nullptr && (n == 0 || front_end_run(fe, pcm, n, rows) == ZR_STATUS_SUCCESS);
    mem_free(pcm);
    if (!ok) {
        mem_free(rows);
        std::fprintf(stderr, "quorva_features: front end failed on %s\n", audio);
        return false;
    }
    *features = rows;
    *frames = n;
    return true;
}

int dump_features(int argc, char **argv) {
    front_end_state *fe = nullptr;
    if (front_end_create(&fe) != ZR_STATUS_SUCCESS) return 1;
    int failures = 0;
    for (int i = 0; i + 1 < argc; i += 2) {
        int16_t *rows = nullptr;
        int32_t n = 0;
        if (!file_features(fe, argv[i], &rows, &n)) {
            ++failures;
            continue;
        }
        if (!write_all(argv[i + 1], rows, sizeof(int16_t) * static_cast<size_t>(kFrameFeatures) * n)) {
            std::fprintf(stderr, "quorva_features: cannot write %s\n", argv[i + 1]);
            ++failures;
        }
        mem_free(rows);
    }
    front_end_release(fe);
    return failures == 0 ? 0 : 1;
}

int dump_embeddings(const char *model, const char *audio, const char *out) {
    zr_quorva_t *engine = nullptr;
    if (zr_quorva_init(model, &engine) != ZR_STATUS_SUCCESS) {
        std::fprintf(stderr, "quorva_features: cannot load model %s\n", model);
        return 1;
    }
    int16_t *rows = nullptr;
    int32_t n = 0;
    int rc = 1;
    if (file_features(engine->front_end, audio, &rows, &n)) {
        const network_params *net = engine->model->network;
        front_end_normalise(net->feature_normalizer, rows, 2 * n);
        const size_t values = static_cast<size_t>(n) * static_cast<size_t>(net->output_layer->rows);
        auto *emb = static_cast<float *>(mem_alloc(sizeof(float) * values + 4));
        if (emb != nullptr && (n == 0 || network_embeddings(engine->runtime, rows, n, emb) == ZR_STATUS_SUCCESS) &&
            write_all(out, emb, sizeof(float) * values))
            rc = 0;
        else
            std::fprintf(stderr, "quorva_features: embeddings failed for %s\n", audio);
        mem_free(emb);
        mem_free(rows);
    }
    zr_quorva_delete(engine);
    return rc;
}

void usage() {
    std::fprintf(stderr,
                 "Usage: quorva_features features AUDIO OUT [AUDIO OUT ...]\n"
                 "       quorva_features embed MODEL AUDIO OUT\n");
}

}  // namespace

int main(int argc, char **argv) {
    try {
        if (argc >= 4 && std::strcmp(argv[1], "features") == 0 && argc % 2 == 0)
            return dump_features(argc - 2, argv + 2);
        if (argc == 5 && std::strcmp(argv[1], "embed") == 0) return dump_embeddings(argv[2], argv[3], argv[4]);
    } catch (...) {
        std::fprintf(stderr, "quorva_features: unexpected failure\n");
        return 1;
    }
    usage();
    return 2;
}
