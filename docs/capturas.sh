#!/usr/bin/env bash
# Makes the guide's pictures anew with the demo, so that they show the program as it is.
# Usage: docs/capturas.sh [BUILD_BIN]   (default build/bin)
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${1:-build/bin}"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
"$bin/vantoria-demo" --screenshot docs/guia/ventana.png
"$bin/vantoria-demo" --screenshot docs/guia/editor.png --editor
"$bin/vantoria-demo" --screenshot docs/guia/tanda.png --during-bulk
"$bin/vantoria-demo" --screenshot docs/guia/colores.png --bulk
"$bin/vantoria-demo" --screenshot docs/guia/estado.png --status-tooltip
