#include "diarization/log_energy.h"

#include <bit>

#include "diarization/front_end_tables.h"

namespace {
constexpr float kInputScale = 8589934592.0f;            // 2^33
constexpr float kSaturation = 9223372036854775808.0f;  // 2^63
constexpr int64_t kBit30 = int64_t{1} << 30;
constexpr int64_t kBit61 = int64_t{1} << 61;
constexpr int64_t kHalfStep = int64_t{1} << 51;  // rounds the top ten bits
constexpr int32_t kUnitsPerOctave = 308;
}  // namespace

int16_t log_energy(float s) {
    const float v = s * kInputScale;
    // Written so that a NaN, which 16-bit input cannot produce, still never
    // reaches the integer conversion.
    if (!(v < kSaturation)) return 0;
    int64_t x = static_cast<int64_t>(v);
    if (x <= 0) return kLogOfZero;
    int32_t shift = 0;
    if (x >= kBit30) {
        x >>= 1;
        shift = -1;
    }
    // Doubling x until it reaches 2^61 is one shift by the number of leading
    // zeros beyond the two that bit 61 has.
    if (x < kBit61) {
        const int32_t left = std::countl_zero(static_cast<uint64_t>(x)) - 2;
        x <<= left;
        shift += left;
    }
    const int32_t index = static_cast<int32_t>((x + kHalfStep) >> 52) - 512;
    int32_t value = kLogTable[index] - kUnitsPerOctave * shift;
    if (value < -32768) value = -32768;
    if (value > 32767) value = 32767;
    return static_cast<int16_t>(value);
}
