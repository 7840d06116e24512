#!/usr/bin/env bash
# Undoes setup.sh for one build tree: unregisters the controls, stops the
# prefix's wineserver (wineserver -k, this prefix only), and kills exactly the
# socat and Xvfb processes whose pids setup.sh recorded. Safe to run twice.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

quiet=0
[[ ${1:-} == --quiet ]] && quiet=1
log() { ((quiet)) || printf 'harness.teardown: %s\n' "$*"; }

[[ -d $HARNESS_STATE ]] || exit 0
LOG=$HARNESS_STATE/teardown.log

if [[ -f $HARNESS_STATE/registered && -f $WINEPREFIX/system.reg ]]; then
    while IFS= read -r path; do
        [[ -f $path ]] || continue
        "$WINE_LOADER" regsvr32 /s /u "$(harness_winpath "$path")" </dev/null >>"$LOG" 2>&1 || true
        log "unregistered $(basename "$path")"
    done <"$HARNESS_STATE/registered"
    rm -f "$HARNESS_STATE/registered"
fi

if [[ -d $WINEPREFIX ]]; then
    "$WINESERVER" -k </dev/null >>"$LOG" 2>&1 || true
    timeout 20 "$WINESERVER" -w </dev/null >>"$LOG" 2>&1 || true
    log "wineserver stopped"
fi

for pidfile in "$HARNESS_STATE"/socat.*.pid; do
    [[ -f $pidfile ]] || continue
    harness_kill_pidfile "$pidfile" "$HARNESS_PTY_DIR/"
    log "killed socat ($(basename "$pidfile" .pid))"
done
for link in "$WINEPREFIX"/dosdevices/com* "$WINEPREFIX"/dosdevices/lpt*; do
    [[ -L $link && $(readlink "$link") == "$HARNESS_PTY_DIR/"* ]] && rm -f "$link"
done

if [[ -f $HARNESS_STATE/xvfb.pid ]]; then
    harness_kill_pidfile "$HARNESS_STATE/xvfb.pid" "Xvfb"
    rm -f "$HARNESS_STATE/display"
    log "killed Xvfb"
fi
exit 0
