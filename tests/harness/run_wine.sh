#!/usr/bin/env bash
# run_wine.sh <exe> [args...]
# Runs a Windows program in the harness prefix (see common.sh for the
# environment) and exits with its exit status. The program's arguments are
# passed as they are; a Linux path to the program itself is fine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [[ $# -lt 1 ]]; then
    echo "usage: run_wine.sh <exe> [args...]" >&2
    exit 2
fi
if [[ ! -d $WINEPREFIX ]]; then
    echo "run_wine.sh: no prefix at $WINEPREFIX; run tests/harness/setup.sh first" >&2
    exit 2
fi
exec "$WINE_LOADER" "$@"
