// The shape rules the pipeline relies on: a model that breaks them would make
// the network read outside its arrays, so it is refused at load.
#pragma once

#include "model/model.h"

// True when the normaliser has one value per band, every layer's tensors
// have 3H rows and chain their sizes (80 inputs first, then the previous H,
// no H above the first), both directions of a layer agree, the output layer
// reads the last H, the background has one value per embedding dimension,
// and the window is more than twice the context.
bool model_check_shapes(const model_data *m);
