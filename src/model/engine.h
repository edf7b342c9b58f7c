// The engine handle: the model and the working objects every call uses.
#pragma once

#include "diarization/clusterer.h"
#include "diarization/front_end.h"
#include "diarization/network_runtime.h"
#include "model/model.h"

struct zr_quorva {
    front_end_state *front_end;
    model_data *model;
    network_runtime *runtime;
    clusterer_state *clusterer;
};
