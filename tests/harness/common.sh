# Shared settings of the Wine test harness; sourced by the other scripts.
#
# Inputs (environment, all optional):
#   TEST_ARCH          i686 or x86_64; default: i686 when the 32-bit Wine loader
#                      runs natively on this machine, x86_64 otherwise.
#   HARNESS_BUILD_DIR  the CMake build tree the tests run in; default build/$TEST_ARCH.
#   HARNESS_WINEDEBUG  value for WINEDEBUG (default -all).
#
# Everything the harness keeps lives under the build tree:
#   $HARNESS_BUILD_DIR/wineprefix   the private Wine prefix
#   $HARNESS_BUILD_DIR/harness      pid files, logs, pty links, the X display number

HARNESS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_ROOT=$(cd "$HARNESS_DIR/../.." && pwd)

# Prints i686 when 32-bit Windows code can run here, x86_64 otherwise.
harness_probe_arch() {
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo i686
    else
        echo x86_64
    fi
}

TEST_ARCH=${TEST_ARCH:-$(harness_probe_arch)}
HARNESS_BUILD_DIR=${HARNESS_BUILD_DIR:-$REPO_ROOT/build/$TEST_ARCH}
HARNESS_BUILD_DIR=$(mkdir -p "$HARNESS_BUILD_DIR" && cd "$HARNESS_BUILD_DIR" && pwd)
HARNESS_STATE=$HARNESS_BUILD_DIR/harness
HARNESS_PTY_DIR=$HARNESS_STATE/pty

case "$TEST_ARCH" in
    x86_64)
        WINE_LOADER=/usr/lib/wine/wine64
        WINESERVER=/usr/lib/wine/wineserver64
        WINEARCH=win64
        ;;
    i686)
        if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
            echo "harness: TEST_ARCH=i686 but the 32-bit Wine loader cannot run on this machine;" \
                 "use TEST_ARCH=x86_64" >&2
            exit 2
        fi
        WINE_LOADER=/usr/lib/wine/wine
        WINESERVER=/usr/lib/wine/wineserver32
        "$WINESERVER" --version >/dev/null 2>&1 || WINESERVER=/usr/lib/wine/wineserver64
        WINEARCH=win32
        ;;
    *)
        echo "harness: unknown TEST_ARCH '$TEST_ARCH' (i686 or x86_64)" >&2
        exit 2
        ;;
esac

export TEST_ARCH HARNESS_BUILD_DIR WINEARCH WINESERVER
export WINEPREFIX=$HARNESS_BUILD_DIR/wineprefix
export WINEDEBUG=${HARNESS_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine takes the ANSI code page and number formats from the Unix locale; pin
# it so that every machine sees the default prefix's cp1252 and "6.5".
export LC_ALL=C.UTF-8
# No Wine state may go to the home directory's default prefix.
unset WINELOADER

if [[ -s $HARNESS_STATE/display ]]; then
    export DISPLAY=":$(cat "$HARNESS_STATE/display")"
fi

# The serial pairs the tests share: each Wine port and the port at the other end.
HARNESS_COM_PAIRS=("5:6" "7:8")

# Prints the Z: drive form of a Linux path (Wine maps Z: to /).
harness_winpath() {
    local p
    p=$(readlink -m "$1")
    printf 'Z:%s\n' "${p//\//\\}"
}

# True when pid $1 is alive and its command line contains $2.
harness_pid_is() {
    local pid=$1 needle=$2 cmdline
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    [[ -r /proc/$pid/cmdline ]] || return 1
    cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null) || return 1
    [[ $cmdline == *"$needle"* ]]
}

# Kills the process recorded in pid file $1 if it still is the process the
# harness started (its command line contains $2), then removes the file.
harness_kill_pidfile() {
    local file=$1 needle=$2 pid i
    [[ -f $file ]] || return 0
    pid=$(cat "$file")
    if harness_pid_is "$pid" "$needle"; then
        kill "$pid" 2>/dev/null || true
        for i in $(seq 1 50); do
            harness_pid_is "$pid" "$needle" || break
            sleep 0.1
        done
        if harness_pid_is "$pid" "$needle"; then
            kill -9 "$pid" 2>/dev/null || true
        fi
    fi
    rm -f "$file"
}

# Starts a socat pty pair with links $1 and $2; records its pid in $3.
# Waits until both links exist. Returns non-zero if they do not appear.
harness_start_pty_pair() {
    local a=$1 b=$2 pidfile=$3 log=$4 pid i
    rm -f "$a" "$b"
    setsid socat -d -d "pty,raw,echo=0,link=$a" "pty,raw,echo=0,link=$b" \
        </dev/null >>"$log" 2>&1 &
    pid=$!
    echo "$pid" >"$pidfile"
    for i in $(seq 1 100); do
        if [[ -e $a && -e $b ]]; then
            return 0
        fi
        sleep 0.05
    done
    echo "harness: socat pair $a <-> $b did not come up (see $log)" >&2
    return 1
}
