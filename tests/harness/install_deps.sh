#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing (a warm machine runs no apt at all). Needs root to install.
set -euo pipefail

packages=(
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    wine wine64 wine32:i386 libwine-dev
    socat xvfb xauth googletest cmake make python3
    wixl msitools gcab osslsigncode openssl
    libboost-dev nlohmann-json3-dev chromium firefox-esr fonts-dejavu-core nodejs
)

missing=()
for pkg in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
    echo "deps: all packages present"
else
    echo "deps: installing ${missing[*]}"
    if [[ $(id -u) -ne 0 ]]; then
        echo "deps: not root; install these packages as root: ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update </dev/null
    apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
fi

# The browser driver and the label preview renderer, from the npm registry as
# package-lock.json pins them; again only when the lock changed since.
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
stamp=$repo/node_modules/.installed-from-lock
if [[ ! $stamp -nt $repo/package-lock.json ]]; then
    echo "deps: installing node modules"
    (cd "$repo" && npm ci --no-audit --no-fund --loglevel=error </dev/null)
    touch "$stamp"
fi
