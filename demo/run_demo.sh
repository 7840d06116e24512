#!/usr/bin/env bash
# make demo: sets the Wine harness up (prefix, wineserver, Ostrel.ocx
# registered), prints the demo labels to a virtual serial printer on COM5
# and to a network printer on loopback,
# and tears everything down again (its socat, the prefix's wineserver).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
exec bash "$here/../tests/harness/with_harness.sh" python3 "$here/demo.py"
