// Writes the model loader's seed corpus: well-formed models of several shapes
// and a few deliberately broken ones, so the fuzzer starts from every branch
// of the loader rather than from the magic check.
#include <cstdio>
#include <string>

#include "support/model_writer.h"

namespace {

bool write(const std::string &dir, const std::string &name, const model_desc &desc) {
    const std::vector<uint8_t> bytes = serialize_model(desc);
    const std::string path = dir + "/" + name + ".zr";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    ok &= write(dir, "one_layer", random_model({1, 8, 4, 16, 4}, 1));
    ok &= write(dir, "two_layers", random_model({2, 6, 3, 12, 2}, 2));
    ok &= write(dir, "three_layers", random_model({3, 4, 2, 8, 0}, 3));
    ok &= write(dir, "wide", random_model({1, 32, 16, 24, 8}, 4));

    model_desc bad_version = random_model({1, 4, 2, 8, 2}, 5);
    bad_version.version = "9.9.9";
    ok &= write(dir, "bad_version", bad_version);
    model_desc short_background = random_model({1, 4, 2, 8, 2}, 6);
    short_background.background_count = 0;
    ok &= write(dir, "zero_background", short_background);
    model_desc bad_layers = random_model({2, 4, 2, 8, 2}, 7);
    bad_layers.num_layers = 3;
    ok &= write(dir, "layer_count_mismatch", bad_layers);
    model_desc mismatched = random_model({1, 4, 2, 8, 2}, 8);
    mismatched.output_layer.cols = 5;
    ok &= write(dir, "output_shape_mismatch", mismatched);
    if (!ok) std::fprintf(stderr, "%s: cannot write the seed models to %s\n", argv[0], dir.c_str());
    return ok ? 0 : 1;
}
