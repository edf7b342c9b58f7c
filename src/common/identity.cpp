#include "common/identity.h"

#include <cstdlib>
#include <cstring>

#include "zr_quorva.h"

namespace {
constexpr int kSdkLabelSize = 32;
char g_sdk_label[kSdkLabelSize] = "c";
}  // namespace

extern "C" const char *zr_quorva_version(void) { return kLibraryVersion; }

extern "C" int32_t zr_sample_rate(void) { return kSampleRate; }

extern "C" void zr_set_sdk(const char *sdk) {
    if (sdk == nullptr) return;  // nothing to copy; keep the current label
    std::strncpy(g_sdk_label, sdk, kSdkLabelSize - 1);
    g_sdk_label[kSdkLabelSize - 1] = '\0';
}

extern "C" const char *zr_get_sdk(void) { return g_sdk_label; }

extern "C" void zr_free(void *ptr) { std::free(ptr); }
