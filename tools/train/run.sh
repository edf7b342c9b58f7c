#!/bin/sh
# Trains the default model from ../shared/data and writes models/default.zr:
# engine features, training (80 minutes by default in two processes; --steps N
# for a run that is the same on every machine), a second learning-rate cycle
# from that network with half of its crops two voices taking turns
# (SECOND_CYCLE_MINUTES, default 20; 0: none), the engine/training agreement
# check, and threshold tuning with the results table. Options are passed to
# every step.
set -eu
cd "$(dirname "$0")/../.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target quorva quorva_features
PYTHON=${PYTHON:-/usr/bin/python3}
export OPENBLAS_NUM_THREADS=1
jemalloc=/usr/lib/$(gcc -print-multiarch)/libjemalloc.so.2
if [ -f "$jemalloc" ]; then
  export LD_PRELOAD="$jemalloc"
  # Keep freed pages: training reuses the same sizes every step, and handing
  # pages back made each step fault them in again (three times slower here).
  export MALLOC_CONF="dirty_decay_ms:-1,muzzy_decay_ms:-1"
fi
"$PYTHON" tools/train/prepare_data.py "$@"
"$PYTHON" tools/train/train.py "$@"
second=${SECOND_CYCLE_MINUTES:-20}
if [ "$second" != 0 ]; then "$PYTHON" tools/train/train.py "$@" --resume --minutes "$second" --dialogue 0.5; fi
"$PYTHON" tools/train/agreement.py "$@"
"$PYTHON" tools/train/tune.py "$@"
