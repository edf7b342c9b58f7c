/* A host application built against an installed copy of the library. */
#include <stdio.h>
#include <string.h>

#include <zr_quorva.h>

int main(int argc, char **argv) {
    zr_quorva_t *engine = NULL;
    /* A missing model must fail cleanly, with its message on the stack. */
    zr_status_t status = zr_quorva_init(argc > 1 ? argv[1] : "/nonexistent/model.zr", &engine);
    char **messages = NULL;
    int32_t depth = 0;
    if (status != ZR_STATUS_IO_ERROR || zr_get_error_stack(&messages, &depth) != ZR_STATUS_SUCCESS ||
        depth != 1 || strncmp(messages[0], "Failed to open file", 19) != 0) {
        fprintf(stderr, "unexpected result %d\n", (int)status);
        return 1;
    }
    zr_free_error_stack(messages);
    printf("zr_quorva %s at %d Hz\n", zr_quorva_version(), (int)zr_sample_rate());
    return 0;
}
