/*
 * Quorva speaker diarization engine: public C interface.
 *
 * An engine is created from a model file with zr_quorva_init, diarizes 16 kHz
 * mono 16-bit PCM (zr_quorva_process) or an audio file (zr_quorva_process_file)
 * into segments of (start, end, speaker label), and is destroyed with
 * zr_quorva_delete. Every fallible function returns a zr_status_t; a failing
 * call leaves messages on the calling thread's error stack, collected with
 * zr_get_error_stack.
 */
#ifndef ZR_QUORVA_H
#define ZR_QUORVA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ZR_API
#else
#define ZR_API __attribute__((visibility("default")))
#endif

/* Status codes returned by every fallible function. */
typedef enum {
    ZR_STATUS_SUCCESS = 0,
    ZR_STATUS_OUT_OF_MEMORY = 1,
    ZR_STATUS_IO_ERROR = 2,
    ZR_STATUS_INVALID_ARGUMENT = 3,
    ZR_STATUS_STOP_ITERATION = 4,
    ZR_STATUS_KEY_ERROR = 5,
    ZR_STATUS_INVALID_STATE = 6,
    ZR_STATUS_RUNTIME_ERROR = 7
} zr_status_t;

/* Opaque engine handle. */
typedef struct zr_quorva zr_quorva_t;

/* One stretch of time attributed to one speaker. Times are the start times
 * of the first and last 32 ms frame of the stretch, in seconds. */
typedef struct {
    float start_seconds;
    float end_seconds;
    int32_t speaker_label;
} zr_quorva_segment_t;

/* Errors and logging. */
ZR_API const char *zr_status_to_string(zr_status_t status);
ZR_API zr_status_t zr_get_error_stack(char ***messages, int32_t *depth);
ZR_API void zr_free_error_stack(char **messages);
ZR_API void zr_log_enable(void);
ZR_API void zr_log_disable(void);

/* Identity. */
ZR_API const char *zr_quorva_version(void);
ZR_API int32_t zr_sample_rate(void);
ZR_API void zr_set_sdk(const char *sdk);
ZR_API const char *zr_get_sdk(void);
ZR_API void zr_free(void *ptr);

/* Engine lifecycle. */
ZR_API zr_status_t zr_quorva_init(const char *model_path, zr_quorva_t **object);
ZR_API void zr_quorva_delete(zr_quorva_t *object);

/* Diarization. */
ZR_API zr_status_t zr_quorva_process(zr_quorva_t *object, const int16_t *pcm, int32_t num_samples,
                                     int32_t *num_segments, zr_quorva_segment_t **segments);
ZR_API void zr_quorva_segments_delete(zr_quorva_segment_t *segments);
ZR_API zr_status_t zr_quorva_process_file(zr_quorva_t *object, const char *audio_path,
                                          int32_t *num_segments, zr_quorva_segment_t **segments);

#ifdef __cplusplus
}
#endif

#endif /* ZR_QUORVA_H */
