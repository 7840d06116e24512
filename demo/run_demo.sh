#!/usr/bin/env bash
# make demo: sets the Wine harness up (prefix, wineserver, Xvfb, both
# controls registered), prints Ostrel's demo labels to a virtual serial
# printer on COM5 and to a network printer on loopback, Quennet's to LPT1 and
# through its test panel in a container, then prints through the label bridge
# (LabelBridge.exe and its demo page in headless Chromium), and tears
# everything down again (the socat pairs, Xvfb, the prefix's wineserver).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
exec bash "$here/../tests/harness/with_harness.sh" python3 "$here/demo.py"
