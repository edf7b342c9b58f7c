// zr_quorva_options_init and the checks of an options record.
#include "common/error_store.h"
#include "diarization/diarize_call.h"

namespace {

zr_status_t check_count(const char *field, int32_t value) {
    if (value < 0) {
        error_stack_push(MSG_ARG_BELOW_MIN, field, value, 0);
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (value > kMaxSpeakerCount) {
        error_stack_push(MSG_ARG_ABOVE_MAX, field, value, kMaxSpeakerCount);
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    return ZR_STATUS_SUCCESS;
}

}  // namespace

extern "C" void zr_quorva_options_init(zr_quorva_options_t *options) {
    if (options == nullptr) return;
    *options = zr_quorva_options_t{};
    options->struct_size = sizeof(zr_quorva_options_t);
}

zr_status_t resolve_options(const zr_quorva_options_t *options, diarize_settings *settings) {
    *settings = diarize_settings{{0, 0}, 0.0f};
    if (options == nullptr) return ZR_STATUS_SUCCESS;
    if (options->struct_size != sizeof(zr_quorva_options_t)) {
        error_stack_push(MSG_ARG_RECORD_SIZE, "options.struct_size", options->struct_size,
                         static_cast<unsigned>(sizeof(zr_quorva_options_t)));
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    zr_status_t status = check_count("options.num_speakers", options->num_speakers);
    if (status == ZR_STATUS_SUCCESS) status = check_count("options.min_speakers", options->min_speakers);
    if (status == ZR_STATUS_SUCCESS) status = check_count("options.max_speakers", options->max_speakers);
    if (status != ZR_STATUS_SUCCESS) return status;
    if (options->num_speakers > 0 && (options->min_speakers > 0 || options->max_speakers > 0)) {
        error_stack_push(MSG_ARG_TOGETHER, "options.num_speakers",
                         options->min_speakers > 0 ? "options.min_speakers" : "options.max_speakers");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (options->min_speakers > 0 && options->max_speakers > 0 &&
        options->min_speakers > options->max_speakers) {
        error_stack_push(MSG_ARG_ORDER, "options.min_speakers", options->min_speakers,
                         "options.max_speakers", options->max_speakers);
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    const float gap = options->min_duration_off;
    if (!(gap >= 0.0f && gap <= kMaxMinDurationOff)) {  // NaN fails both
        error_stack_push(MSG_ARG_RANGE, "options.min_duration_off", static_cast<double>(gap), 0.0,
                         static_cast<double>(kMaxMinDurationOff));
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (options->num_speakers > 0) {
        settings->limits = speaker_count_limits{options->num_speakers, options->num_speakers};
    } else {
        settings->limits = speaker_count_limits{options->min_speakers, options->max_speakers};
    }
    settings->min_duration_off = gap;
    return ZR_STATUS_SUCCESS;
}
