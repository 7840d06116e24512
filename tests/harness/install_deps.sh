#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing (a warm machine runs no apt at all). Needs root to install.
#
# The 32-bit Wine packages come in a step of their own: a mirror whose i386
# lists lag behind the amd64 ones (a security update published for one
# architecture first) leaves wine32:i386 uninstallable for hours, and then
# the tests run the x86_64 build under 64-bit Wine instead. The i686 build
# still needs Wine's 32-bit stdole2.tlb (its type libraries import it); when
# libwine:i386 is not installed, that one file is taken out of the package
# without installing it.
set -euo pipefail

packages=(
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    wine wine64 libwine-dev
    socat xvfb xauth googletest cmake make python3
    wixl msitools gcab osslsigncode openssl
    libboost-dev nlohmann-json3-dev chromium firefox-esr fonts-dejavu-core nodejs
)
packages_32bit=(wine32:i386)

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
deps_dir=$repo/build/deps
# Where the build looks for the 32-bit stdole2.tlb (CMakeLists.txt): Wine's
# own, else the copy taken from the package.
stdole_system=/usr/lib/i386-linux-gnu/wine/i386-windows/stdole2.tlb
stdole_copy=$deps_dir/i386-windows/stdole2.tlb
# Written when the 32-bit packages could not be installed, with the reason;
# the next runs within half a day say so again instead of asking apt.
no_32bit_stamp=$deps_dir/no-32bit-wine

x86_64_line() {
    echo "deps: $1; the tests will run the x86_64 build under 64-bit Wine (TEST_ARCH=x86_64)"
}

missing_of() {
    local pkg status
    for pkg in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
        [[ $status == "install ok installed" ]] || echo "$pkg"
    done
}

require_root() {
    if [[ $(id -u) -ne 0 ]]; then
        echo "deps: not root; as root, install: $*" >&2
        exit 1
    fi
}

# A failed list (a mirror in the middle of a sync) is retried a few times; if
# some still fail, what could be read is used, and a package that then cannot
# be had is named below.
lists_updated=0
retry_pause=${DEPS_RETRY_PAUSE:-15}
update_lists() {
    ((lists_updated)) && return 0
    lists_updated=1
    local attempt
    for attempt in 1 2 3; do
        if apt-get update -q </dev/null; then
            return 0
        fi
        if ((attempt < 3)); then
            echo "deps: apt-get update failed (attempt $attempt of 3); trying again in ${retry_pause} s" >&2
            sleep "$retry_pause"
        fi
    done
    echo "deps: some package lists could not be read; going on with those that could" >&2
}

# Prints the packages apt has no candidate for.
unavailable_of() {
    local pkg policy
    for pkg in "$@"; do
        policy=$(apt-cache policy "$pkg" 2>/dev/null || true)
        [[ $policy == *$'\n  Candidate: '[^\(]* ]] || echo "$pkg"
    done
}

install_packages() {
    local unavailable
    mapfile -t unavailable < <(unavailable_of "$@")
    if ((${#unavailable[@]})); then
        echo "deps: cannot be had from this machine's package sources: ${unavailable[*]}" >&2
        exit 1
    fi
    apt-get install -y -q --no-install-recommends "$@" </dev/null
}

# Installs the 32-bit packages if it can; says why not otherwise.
install_32bit() {
    mkdir -p "$deps_dir"
    local log=$deps_dir/install-32bit.log reason
    if apt-get install -y -q --no-install-recommends "$@" </dev/null >"$log" 2>&1; then
        rm -f "$no_32bit_stamp"
        return 0
    fi
    reason=$(grep -m1 -E "^E: |has no installation candidate|but it is not (going to be )?installable" "$log" |
        sed -E 's/^E: //; s/^ +//' || true)
    reason="$* cannot be installed here (${reason:-see ${log#"$repo"/}})"
    echo "$reason" >"$no_32bit_stamp"
    x86_64_line "$reason; everything else is installed"
}

# Copies stdole2.tlb out of libwine:i386 into build/deps without installing
# the package (which would need the same 32-bit libraries as wine32).
fetch_stdole() {
    local tmp version
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' RETURN
    version=$(apt-cache madison libwine:i386 2>/dev/null | awk 'NR == 1 { print $3 }')
    if [[ -z $version ]]; then
        echo "deps: libwine:i386 is not in this machine's package lists; the i686 build needs its stdole2.tlb" >&2
        exit 1
    fi
    (cd "$tmp" && apt-get download -q "libwine:i386=$version" </dev/null >/dev/null 2>&1) || {
        echo "deps: could not download libwine:i386 $version for its stdole2.tlb" >&2
        exit 1
    }
    dpkg-deb -x "$tmp"/libwine_*_i386.deb "$tmp/root"
    mkdir -p "$(dirname "$stdole_copy")"
    cp "$tmp/root${stdole_system}" "$stdole_copy"
    echo "libwine:i386 $version" >"$(dirname "$stdole_copy")/SOURCE"
    echo "deps: stdole2.tlb for the i686 build taken from libwine:i386 $version into ${stdole_copy#"$repo"/}"
}

mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_32bit < <(missing_of "${packages_32bit[@]}")
if ((${#missing_32bit[@]})) && [[ -n $(find "$no_32bit_stamp" -mmin -720 2>/dev/null) ]]; then
    x86_64_line "$(cat "$no_32bit_stamp") (seen earlier; make clean to try again)"
    missing_32bit=()
fi

if ((${#missing[@]} + ${#missing_32bit[@]})); then
    require_root "${missing[@]}" "${missing_32bit[@]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    update_lists
    if ((${#missing[@]})); then
        echo "deps: installing ${missing[*]}"
        install_packages "${missing[@]}"
    fi
    if ((${#missing_32bit[@]})); then
        echo "deps: installing ${missing_32bit[*]}"
        install_32bit "${missing_32bit[@]}"
    fi
else
    echo "deps: all packages present"
fi

if [[ ! -f $stdole_system && ! -f $stdole_copy ]]; then
    require_root "libwine:i386 (or its stdole2.tlb in ${stdole_copy#"$repo"/})"
    update_lists
    fetch_stdole
fi

# Installed is not yet runnable: some kernels refuse 32-bit programs.
if [[ -z $(missing_of "${packages_32bit[@]}") ]] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    x86_64_line "32-bit Wine is installed but does not run on this machine"
fi

# The browser driver and the label preview renderer, from the npm registry as
# package-lock.json pins them; again only when the lock changed since.
stamp=$repo/node_modules/.installed-from-lock
if [[ ! $stamp -nt $repo/package-lock.json ]]; then
    echo "deps: installing node modules"
    (cd "$repo" && npm ci --no-audit --no-fund --loglevel=error </dev/null)
    touch "$stamp"
fi
