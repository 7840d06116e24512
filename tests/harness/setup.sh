#!/usr/bin/env bash
# Brings up everything the Wine tests of one build tree need:
#   - a private X server (Xvfb) for windows the programs create;
#   - the private prefix (created with wineboot on first use);
#   - one persistent wineserver for the run, with Wine's services started
#     detached so that they hold no test runner's output pipe;
#   - socat pty pairs: COM5<->COM6, COM7<->COM8, and LPT1 with a peer pty
#     readable from Linux; COM10, whose far end hangs up after one byte;
#   - the controls of the build tree registered with regsvr32.
# teardown.sh undoes it. Running setup twice first tears the old run down.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

log() { printf 'harness.setup: %s\n' "$*"; }

"$HARNESS_DIR/teardown.sh" --quiet

mkdir -p "$HARNESS_STATE" "$HARNESS_PTY_DIR"
LOG=$HARNESS_STATE/setup.log
: >"$LOG"

for tool in socat Xvfb "$WINE_LOADER" "$WINESERVER"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        log "missing tool: $tool (run 'make deps')" >&2
        exit 1
    fi
done

# --- X display -------------------------------------------------------------
rm -f "$HARNESS_STATE/display"
exec 3>"$HARNESS_STATE/display"
setsid Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 \
    </dev/null >>"$HARNESS_STATE/xvfb.log" 2>&1 &
echo $! >"$HARNESS_STATE/xvfb.pid"
exec 3>&-
for _ in $(seq 1 100); do
    [[ -s $HARNESS_STATE/display ]] && break
    sleep 0.05
done
if [[ ! -s $HARNESS_STATE/display ]]; then
    log "Xvfb did not report a display (see $HARNESS_STATE/xvfb.log)" >&2
    exit 1
fi
# Xvfb writes the number followed by a newline.
DISPLAY=":$(tr -d '\n' <"$HARNESS_STATE/display")"
export DISPLAY
log "X display $DISPLAY (pid $(cat "$HARNESS_STATE/xvfb.pid"))"

# --- prefix and wineserver --------------------------------------------------
mkdir -p "$WINEPREFIX"
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    log "creating prefix $WINEPREFIX ($WINEARCH)"
    "$WINE_LOADER" wineboot -i </dev/null >>"$LOG" 2>&1 || {
        log "wineboot failed (see $LOG)" >&2
        exit 1
    }
    # Let the server that wineboot started end on its own (it saves the new
    # registry then), so that the persistent one below starts the services
    # exactly once: a second service manager leaves RpcSs unstartable, and
    # every COM client then waits for it.
    if ! timeout 60 "$WINESERVER" -w </dev/null >>"$LOG" 2>&1; then
        "$WINESERVER" -k </dev/null >>"$LOG" 2>&1 || true
        timeout 20 "$WINESERVER" -w </dev/null >>"$LOG" 2>&1 || true
    fi
fi
"$WINESERVER" -p </dev/null >>"$LOG" 2>&1
# Starts services.exe, explorer.exe, ... with no pipe of ours inherited.
"$WINE_LOADER" cmd /c exit </dev/null >/dev/null 2>&1
log "wineserver running for $WINEPREFIX"

# --- ports ------------------------------------------------------------------
# Unmapped COM ports must really be unmapped: drop any port link Wine made.
for link in "$WINEPREFIX"/dosdevices/com* "$WINEPREFIX"/dosdevices/lpt*; do
    [[ -L $link ]] && rm -f "$link"
done
for pair in "${HARNESS_COM_PAIRS[@]}"; do
    a=${pair%%:*}
    b=${pair##*:}
    harness_start_pty_pair "$HARNESS_PTY_DIR/COM$a" "$HARNESS_PTY_DIR/COM$b" \
        "$HARNESS_STATE/socat.com$a.pid" "$HARNESS_STATE/socat.com$a.log"
    ln -sfn "$HARNESS_PTY_DIR/COM$a" "$WINEPREFIX/dosdevices/com$a"
    ln -sfn "$HARNESS_PTY_DIR/COM$b" "$WINEPREFIX/dosdevices/com$b"
    log "COM$a <-> COM$b (socat pid $(cat "$HARNESS_STATE/socat.com$a.pid"))"
done
# COM10: a line whose far end hangs up once it has read one byte, for what
# the serial port does with a line that goes away while it is open.
rm -f "$HARNESS_PTY_DIR/COM10"
setsid socat -d -d "pty,raw,echo=0,link=$HARNESS_PTY_DIR/COM10" "SYSTEM:head -c1 >/dev/null" \
    </dev/null >>"$HARNESS_STATE/socat.com10.log" 2>&1 &
echo $! >"$HARNESS_STATE/socat.com10.pid"
for _ in $(seq 1 100); do [[ -e $HARNESS_PTY_DIR/COM10 ]] && break; sleep 0.05; done
ln -sfn "$HARNESS_PTY_DIR/COM10" "$WINEPREFIX/dosdevices/com10"
log "COM10 hangs up after one byte (socat pid $(cat "$HARNESS_STATE/socat.com10.pid"))"
harness_start_pty_pair "$HARNESS_PTY_DIR/LPT1" "$HARNESS_PTY_DIR/LPT1.peer" \
    "$HARNESS_STATE/socat.lpt1.pid" "$HARNESS_STATE/socat.lpt1.log"
ln -sfn "$HARNESS_PTY_DIR/LPT1" "$WINEPREFIX/dosdevices/lpt1"
log "LPT1 <-> $HARNESS_PTY_DIR/LPT1.peer (socat pid $(cat "$HARNESS_STATE/socat.lpt1.pid"))"

# --- controls ---------------------------------------------------------------
: >"$HARNESS_STATE/registered"
for ocx in Ostrel.ocx Quennet.ocx; do
    path=$HARNESS_BUILD_DIR/bin/$ocx
    if [[ ! -f $path ]]; then
        log "$ocx not built yet; not registered"
        continue
    fi
    if "$WINE_LOADER" regsvr32 /s "$(harness_winpath "$path")" </dev/null >>"$LOG" 2>&1; then
        echo "$path" >>"$HARNESS_STATE/registered"
        log "registered $ocx"
    else
        log "regsvr32 failed for $path (see $LOG)" >&2
        exit 1
    fi
done
log "ready"
