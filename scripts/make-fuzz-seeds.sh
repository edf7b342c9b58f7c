#!/usr/bin/env bash
# Generates the fuzzers' seed corpora from the shared speech data (or from a
# synthetic voice-like signal when the data is absent):
#   scripts/make-fuzz-seeds.sh OUT_DIR SEED_MODEL_TOOL
# OUT_DIR/model_loader  well-formed and broken models, plus the shipped model
# OUT_DIR/process       raw 16 kHz mono 16-bit PCM
# OUT_DIR/process_file  one short file of every format the library reads
# OUT_DIR/mp4_parser    the MP4, M4A and 3GP files of the above
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 OUT_DIR SEED_MODEL_TOOL" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1
models_tool=$2
data=${QUORVA_DATA_DIR:-$root/../shared/data}

mkdir -p "$out"/{model_loader,process,process_file,mp4_parser}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Model seeds.
"$models_tool" "$out/model_loader"
if [ -f "$root/models/default.zr" ]; then cp "$root/models/default.zr" "$out/model_loader/shipped.zr"; fi

# Two short voices: real speech when the data is there, otherwise a buzz with
# formant-like filtering and pauses, which reaches the same code paths.
mapfile -t sources < <(find "$data/speakers/librispeech" -name '*.flac' 2>/dev/null | sort | head -n 2)
if [ "${#sources[@]}" -eq 2 ]; then
  sox "${sources[0]}" -r 16000 -c 1 -b 16 "$work/a.wav" trim 0 2
  sox "${sources[1]}" -r 16000 -c 1 -b 16 "$work/b.wav" trim 0 2
else
  echo "make-fuzz-seeds: no speech under $data, using a synthetic voice" >&2
  sox -n -r 16000 -c 1 -b 16 "$work/a.wav" synth 2 sawtooth 130 band 700 300 tremolo 3 90
  sox -n -r 16000 -c 1 -b 16 "$work/b.wav" synth 2 sawtooth 210 band 1100 400 tremolo 4 90
fi
sox -V1 "$work/a.wav" "$work/b.wav" "$work/conv.wav"          # 4 s, two voices
sox -V1 -M "$work/a.wav" "$work/b.wav" "$work/stereo.wav"     # 2 s, two channels

# Raw PCM for the pipeline: a second of each voice, the two back to back, and
# silence.
sox -V1 "$work/a.wav" -t raw -e signed -b 16 "$out/process/voice_a.raw" trim 0 1
sox -V1 "$work/b.wav" -t raw -e signed -b 16 "$out/process/voice_b.raw" trim 0 1
sox -V1 "$work/conv.wav" -t raw -e signed -b 16 "$out/process/two_voices.raw" trim 1.5 1
sox -V1 -n -r 16000 -c 1 -b 16 -e signed -t raw "$out/process/silence.raw" trim 0 0.1

f="$out/process_file"
q=(-nostdin -hide_banner -loglevel error -y)
sox -V1 "$work/conv.wav" "$f/pcm16.wav" trim 0 1
sox -V1 "$work/stereo.wav" -r 48000 -b 24 "$f/pcm24_stereo48k.wav" trim 0 0.25
sox -V1 "$work/conv.wav" -e floating-point -b 32 "$f/float32.wav" trim 0 0.25
sox -V1 "$work/conv.wav" -r 8000 -e u-law "$f/ulaw8k.wav" trim 0 1
sox -V1 "$work/conv.wav" -r 8000 -b 8 -e unsigned "$f/u8_8k.wav" trim 0 1
sox -V1 "$work/stereo.wav" -r 22050 "$f/stereo22k.flac" trim 0 1
sox -V1 "$work/conv.wav" "$f/mono16k.flac" trim 0 1
sox -V1 "$work/conv.wav" -r 44100 -t wav - trim 0 1 | lame --quiet -b 32 - "$f/mono44k.mp3"
sox -V1 "$work/stereo.wav" -r 48000 -t wav - trim 0 1 | lame --quiet -b 48 - "$f/stereo48k.mp3"
sox -V1 "$work/conv.wav" -t wav - trim 0 1 | opusenc --quiet --bitrate 16 - "$f/mono.opus"
sox -V1 "$work/stereo.wav" -r 48000 -t wav - trim 0 1 | opusenc --quiet --bitrate 24 - "$f/stereo.opus"
sox -V1 "$work/conv.wav" -r 22050 -t wav - trim 0 1 | oggenc -Q -q 0 -o "$f/mono.ogg" -
sox -V1 "$work/stereo.wav" -r 44100 -t wav - trim 0 1 | oggenc -Q -q 0 -o "$f/stereo.ogg" -
ffmpeg "${q[@]}" -i "$f/mono.opus" -c:a copy -f webm "$f/opus.webm"
mkvmerge -q --webm -o "$f/vorbis.webm" "$f/mono.ogg"
ffmpeg "${q[@]}" -i "$work/conv.wav" -t 1 -c:a aac -b:a 24k -movflags +faststart "$f/faststart.m4a"
ffmpeg "${q[@]}" -i "$work/stereo.wav" -t 1 -ar 44100 -c:a aac -b:a 32k "$f/moov_last.mp4"
ffmpeg "${q[@]}" -i "$work/conv.wav" -t 1 -ar 8000 -c:a aac -b:a 16k \
  -movflags frag_keyframe+empty_moov "$f/fragmented.m4a"
if sox -h 2>/dev/null | grep -q amr-nb; then
  sox "$work/conv.wav" -r 8000 -c 1 -t amr-nb -C 4 "$work/amr.amr" trim 0 1
  ffmpeg "${q[@]}" -i "$work/amr.amr" -c:a copy "$f/amr.3gp"
else
  echo "make-fuzz-seeds: sox has no AMR-NB encoder, no 3GP seed" >&2
fi
cp "$f"/*.m4a "$f"/*.mp4 "$out/mp4_parser/"
if [ -f "$f/amr.3gp" ]; then cp "$f/amr.3gp" "$out/mp4_parser/"; fi

for d in model_loader process process_file mp4_parser; do
  echo "make-fuzz-seeds: $d: $(find "$out/$d" -type f | wc -l) files, $(du -sk "$out/$d" | cut -f1) KiB"
done
