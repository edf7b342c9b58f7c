#!/usr/bin/env bash
# Installs every Debian package the project needs on a fresh bookworm machine.
# Idempotent: packages already present are left alone.
#   scripts/install-deps.sh            build, test and decoding dependencies
#   scripts/install-deps.sh --train    also the optional model-training group
set -euo pipefail

want_train=0
for arg in "$@"; do
  case "$arg" in
    --train) want_train=1 ;;
    *) echo "usage: $0 [--train]" >&2; exit 2 ;;
  esac
done

packages=(
  # toolchain and test frameworks
  build-essential cmake pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang llvm binutils
  # decoding libraries behind the audio readers
  libsndfile1-dev libmpg123-dev libwebm-dev libfaad-dev
  libopus-dev libvorbis-dev libogg-dev libopencore-amrnb-dev
  # encoders that make the test fixtures at test time
  ffmpeg sox libsox-fmt-all opus-tools vorbis-tools lame flac mkvtoolnix
  # AArch64 cross build, run under user-mode emulation
  g++-aarch64-linux-gnu qemu-user
  python3
  # the archive runner (python3 -m quorva.batch)
  python3-distributed
)
if [ "$want_train" = 1 ]; then
  packages+=(python3-torch python3-numpy libopenblas0-pthread libjemalloc2)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "install-deps: installed ${missing[*]}"
