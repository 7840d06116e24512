#!/usr/bin/env bash
# Prints the architecture the Wine tests run on this machine: i686 when the
# 32-bit Wine loader runs natively, x86_64 otherwise.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo i686
else
    echo x86_64
fi
