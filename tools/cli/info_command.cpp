// quorva info: what is inside a model file.
#include "cli/command_line.h"
#include "cli/error_report.h"
#include "cli/model_summary.h"
#include "common/error_store.h"
#include "model/model.h"

void info_help(FILE *out) {
    std::fprintf(out,
                 "Usage: quorva info MODEL\n\n"
                 "Prints the model's layer shapes, parameter count, window and context, clustering\n"
                 "thresholds, and the multiply-accumulates of its network per frame and per second\n"
                 "of audio (32 ms frames, counting both directions of every layer, the output\n"
                 "layer and the frames that overlapping windows compute twice).\n");
}

int info_command(const argument_list &args) {
    if (args.size() != 1) return usage_error("info", "expected one model file");
    if (args[0].size() > 1 && args[0][0] == '-') return usage_error("info", "unknown option '" + args[0] + "'");

    error_stack_reset();
    model_data *model = nullptr;
    bool opened = false;
    const zr_status_t status = model_load(args[0].c_str(), &model, &opened);
    if (status != ZR_STATUS_SUCCESS) {
        std::fputs(describe_failure(args[0], collect_failure(status)).c_str(), stderr);
        return kExitFailure;
    }
    std::string text;
    try {
        text = format_model_summary(args[0], summarize_model(*model));
    } catch (...) {
        model_release(model);
        throw;
    }
    model_release(model);
    std::fputs(text.c_str(), stdout);
    return kExitSuccess;
}
