#!/usr/bin/env bash
# with_harness.sh <command> [args...]
# Sets the harness up (setup.sh), runs the command, tears the harness down
# (teardown.sh) whatever happened, and exits with the command's status.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

bash "$here/setup.sh" || { bash "$here/teardown.sh" --quiet; exit 1; }
trap 'bash "$here/teardown.sh" --quiet' EXIT
trap 'exit 130' INT TERM
"$@"
