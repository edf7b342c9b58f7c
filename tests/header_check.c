/* Compiled as C: the public header must stand on its own in a C program. */
#include <stdio.h>
#include <string.h>

#include "zr_quorva.h"

int main(void) {
    zr_quorva_t *engine = NULL;
    zr_status_t status = zr_quorva_init(NULL, &engine);
    if (status != ZR_STATUS_INVALID_ARGUMENT || engine != NULL) return 1;
    if (strcmp(zr_quorva_version(), "1.0.0") != 0) return 2;
    if (zr_sample_rate() != 16000) return 3;
    char **messages = NULL;
    int32_t depth = 0;
    if (zr_get_error_stack(&messages, &depth) != ZR_STATUS_SUCCESS || depth != 1) return 4;
    if (strcmp(messages[0], "Argument `model_path` is NULL.") != 0) return 5;
    zr_free_error_stack(messages);
    zr_quorva_options_t options;
    zr_quorva_options_init(&options);
    if (options.struct_size != sizeof options || options.num_speakers != 0) return 6;
    zr_quorva_result_t *result = NULL;
    if (zr_quorva_process_with_options(NULL, NULL, 0, &options, &result) != ZR_STATUS_INVALID_ARGUMENT)
        return 7;
    zr_quorva_result_delete(result);
    puts("header ok");
    return 0;
}
