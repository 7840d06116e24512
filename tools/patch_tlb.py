#!/usr/bin/env python3
"""Marks the events dispinterface of a type library hidden, non-extensible,
dispatchable and version 1.0, which widl cannot express for a dispinterface.

Works on the MSFT format: a 0x54-byte header (plus 4 when the help-DLL flag
0x100 is set), the table of per-type offsets, then the segment directory whose
first entry locates the type records. Each record holds its kind in the low
nibble of offset 0x00, its flags at 0x30 and its version at 0x38.
"""
import struct
import sys

TKIND_DISPATCH = 4
TYPEFLAG_FHIDDEN = 0x10
TYPEFLAG_FDUAL = 0x40
TYPEFLAG_FNONEXTENSIBLE = 0x80
TYPEFLAG_FDISPATCHABLE = 0x1000


def patch(data: bytearray) -> int:
    if data[:4] != b"MSFT":
        raise SystemExit("not an MSFT type library")
    varflags, = struct.unpack_from("<I", data, 0x14)
    count, = struct.unpack_from("<I", data, 0x20)
    offsets_at = 0x54 + (4 if varflags & 0x100 else 0)
    offsets = struct.unpack_from("<%dI" % count, data, offsets_at)
    records_at, = struct.unpack_from("<I", data, offsets_at + 4 * count)
    patched = 0
    for offset in offsets:
        record = records_at + offset
        kind = data[record] & 0xF
        flags, = struct.unpack_from("<I", data, record + 0x30)
        if kind == TKIND_DISPATCH and not flags & TYPEFLAG_FDUAL:
            flags |= TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE
            struct.pack_into("<I", data, record + 0x30, flags)
            struct.pack_into("<I", data, record + 0x38, (0 << 16) | 1)
            patched += 1
    return patched


def main() -> None:
    source, target = sys.argv[1], sys.argv[2]
    with open(source, "rb") as f:
        data = bytearray(f.read())
    if patch(data) != 1:
        raise SystemExit("expected exactly one events dispinterface in " + source)
    with open(target, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
