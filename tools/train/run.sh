#!/bin/sh
# Trains the default model and writes models/default.zr: engine features of
# every training source with its channel copies (rooms, noise, microphones,
# codecs), training for a fixed number of steps (the same model on every
# machine; STEPS, default below), the engine/training agreement check, and
# threshold tuning with the results table. Options are passed to every step.
#   EXTRA   folder the scripts of shared/data/extra extracted into (speechocean762/, telephone/)
#   INIT    a model file to start from, its class directions started at the class means
#   CYCLES  with INIT, successive runs as STEPS:PEAK or STEPS:PEAK:OPTIONS (more
#           train.py options for that run alone, comma-separated), each starting
#           from the one before (the shipped model, from the earlier 2 x 64 one:
#           git show b75aa09:models/default.zr > previous.zr; INIT=previous.zr
#           CYCLES="12000:0.0008 9000:0.0004 22000:0.0004
#           20000:0.0003:--seed=1,--narrowband=0.2
#           20000:0.0003:--seed=2,--narrowband=0.2,--same-channel=0.5" with
#           --hidden 96 --dim 48)
#   SECOND_CYCLE_MINUTES  a second, lower learning-rate cycle (default 0: none)
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
EXTRA=${EXTRA:-/tmp/speech}
STEPS=${STEPS:-15000}
set -- --extra "$EXTRA" "$@"
"$PYTHON" tools/train/prepare_data.py "$@"
if [ -n "${INIT:-}" ] && [ -n "${CYCLES:-}" ]; then
  start=$INIT
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  total=$(echo "$CYCLES" | wc -w)
  n=0
  for cycle in $CYCLES; do
    n=$((n + 1))
    out=$work/run$n.zr
    [ "$n" = "$total" ] && out=""  # the last run writes the model where --out says
    steps=${cycle%%:*}
    rest=${cycle#*:}
    peak=${rest%%:*}
    more=""
    [ "$rest" != "$peak" ] && more=$(echo "${rest#*:}" | tr ',' ' ')
    # $more is split on purpose: one word per option
    "$PYTHON" tools/train/train.py --procs 1 --dialogue 0.5 --prototypes --steps "$steps" \
      --peak "$peak" --init "$start" "$@" $more ${out:+--out "$out"}
    start=$out
  done
elif [ -n "${INIT:-}" ]; then
  "$PYTHON" tools/train/train.py --procs 1 --steps "$STEPS" --dialogue 0.5 --init "$INIT" --prototypes "$@"
else
  "$PYTHON" tools/train/train.py --procs 1 --steps "$STEPS" --dialogue 0.5 "$@"
fi
second=${SECOND_CYCLE_MINUTES:-0}
if [ "$second" != 0 ]; then "$PYTHON" tools/train/train.py "$@" --resume --minutes "$second" --dialogue 0.5; fi
"$PYTHON" tools/train/agreement.py "$@"
"$PYTHON" tools/train/tune.py "$@"
