#!/usr/bin/env bash
# Checks that the shared library exports exactly the functions the public
# header declares, and nothing else (no internal or C++ runtime symbols).
set -euo pipefail
lib=$1
header=$2
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWDBVR]$/ {print $3}' | sed 's/@.*//' | sort -u)
declared=$(grep -oE 'ZR_API[^(]*\b(zr_[a-z_]+)\(' "$header" | grep -oE 'zr_[a-z_]+\($' | tr -d '(' | sort -u)
if [ "$exported" != "$declared" ]; then
  echo "exported symbols differ from the public header:"
  diff <(echo "$declared") <(echo "$exported") || true
  exit 1
fi
echo "exports ok: $(echo "$exported" | wc -l) functions"
