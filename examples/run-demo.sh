#!/usr/bin/env bash
# The main job on the bundled samples: every receipt stream fed through one
# listener with the ESC/POS command set, keywords and colour keys switched on.
# Usage: examples/run-demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
tool="$build/bin/poshark"
samples="$root/examples/receipts"
[ -x "$tool" ] || { echo "run-demo: $tool not found; build first" >&2; exit 1; }

cat "$samples"/{plain,latin,barcodes,qrcode,void,long}.bin |
  "$tool" listen --pos 1 --set ESC/POS --keys --home "$build/demo" --feed -
# Hebrew receipts are printed in their own code page.
"$tool" listen --pos 1 --set ESC/POS --keys --home "$build/demo" --codepage windows-1255 \
  --feed "$samples/hebrew.bin"
