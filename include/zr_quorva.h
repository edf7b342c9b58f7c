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

/*
 * Diarization with options.
 *
 * Fill a zr_quorva_options_t with zr_quorva_options_init, change the fields
 * that are known, and pass it to zr_quorva_process_with_options or
 * zr_quorva_process_file_with_options (NULL options are the defaults). With
 * the defaults the segments are exactly those of zr_quorva_process. In every
 * count field 0 means "not given".
 *
 * num_speakers K: the result has exactly K speakers wherever the recording
 *   holds enough speech for them. Too many clusters are merged, the nearest
 *   pair first, as the clustering's own merging does (weighted means of the
 *   centroids); too few are made by stopping the merging before it would join
 *   two clusters of the minimum speaker size, and then, when that is not
 *   enough, by splitting the heaviest cluster in two along its main contrast.
 *   A cluster is split only when both halves reach the minimum speaker size
 *   (20 to 60 frames of 32 ms, growing with the recording's length); when no
 *   cluster can be split the result has fewer speakers and
 *   speaker_count_met is 0.
 * min_speakers: at least this many, by the same means as num_speakers.
 * max_speakers: at most this many, by merging the nearest pairs.
 *   num_speakers cannot be given with min_speakers or max_speakers; when both
 *   bounds are given, min_speakers <= max_speakers. Counts are at most 1000.
 * min_duration_off (seconds, 0 to 3600): a background gap shorter than this
 *   between two segments of the same speaker is filled, so the two become one.
 *
 * struct_size must be sizeof(zr_quorva_options_t) of a header this library
 * knows; the initialiser sets it. Every refused value gives
 * ZR_STATUS_INVALID_ARGUMENT and a message naming the field.
 */
typedef struct {
    uint32_t struct_size;
    int32_t num_speakers;
    int32_t min_speakers;
    int32_t max_speakers;
    float min_duration_off;
} zr_quorva_options_t;

/* One speaker of a result. */
typedef struct {
    int32_t speaker_label;  /* the label its segments carry, 1..num_speakers */
    float seconds;          /* the total length of its segments, each covering its last frame */
    const float *embedding; /* embedding_dimension values: the unit-length mean of the
                             * embeddings of the frames the clustering gave the speaker */
} zr_quorva_speaker_t;

/* The result of a call with options; one block, released with
 * zr_quorva_result_delete. speakers[i] has label i + 1. */
typedef struct {
    uint32_t struct_size; /* sizeof(zr_quorva_result_t) */
    int32_t num_segments;
    zr_quorva_segment_t *segments;
    int32_t num_speakers;
    zr_quorva_speaker_t *speakers;
    int32_t embedding_dimension;
    /* 1 when the count options were met (always 1 without them); 0 when the
     * recording held too little speech for num_speakers or min_speakers. */
    int32_t speaker_count_met;
    double audio_seconds; /* length of the audio diarized, at 16000 Hz */
} zr_quorva_result_t;

ZR_API void zr_quorva_options_init(zr_quorva_options_t *options);
ZR_API zr_status_t zr_quorva_process_with_options(zr_quorva_t *object, const int16_t *pcm,
                                                  int32_t num_samples,
                                                  const zr_quorva_options_t *options,
                                                  zr_quorva_result_t **result);
ZR_API zr_status_t zr_quorva_process_file_with_options(zr_quorva_t *object, const char *audio_path,
                                                       const zr_quorva_options_t *options,
                                                       zr_quorva_result_t **result);
ZR_API void zr_quorva_result_delete(zr_quorva_result_t *result);

/*
 * Why an audio file cannot be diarized, in words for a person: "cannot open
 * 'PATH': <the system's reason>" when it cannot be opened for reading, "not a
 * recognised audio format (...)" when it opens but no reader takes it. NULL
 * when neither holds (the failure lies deeper: see the error stack), for a
 * NULL path, and when out of memory. Leaves the error stack alone, so it can
 * follow a failed call. Release the text with zr_free.
 */
ZR_API char *zr_quorva_file_problem(const char *audio_path);

#ifdef __cplusplus
}
#endif

#endif /* ZR_QUORVA_H */
