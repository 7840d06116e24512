"""Converts an uncompressed 24- or 32-bit BMP (what panel_host's `shot`
writes) to an RGB PNG, with nothing but the standard library.

    python3 bmp_to_png.py in.bmp out.png
"""

import struct
import sys
import zlib


def read_bmp(data):
    """(width, height, rows): rows top to bottom, each as RGB bytes."""
    if data[:2] != b"BM":
        raise ValueError("not a BMP file")
    offset, = struct.unpack_from("<I", data, 10)
    _, width, height, _, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
    if bits not in (24, 32) or compression != 0:
        raise ValueError("only uncompressed 24- and 32-bit BMPs are read (%d bits, compression %d)"
                         % (bits, compression))
    step = bits // 8
    stride = (width * step + 3) & ~3
    rows = []
    for y in range(abs(height)):
        start = offset + y * stride
        row = data[start:start + width * step]
        if len(row) != width * step:
            raise ValueError("the BMP ends early")
        rgb = bytearray(width * 3)
        rgb[0::3] = row[2::step]
        rgb[1::3] = row[1::step]
        rgb[2::3] = row[0::step]
        rows.append(bytes(rgb))
    # A positive height stores the bottom row first.
    if height > 0:
        rows.reverse()
    return width, abs(height), rows


def png_from_rows(width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bmp_to_png(data):
    return png_from_rows(*read_bmp(data))


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: bmp_to_png.py in.bmp out.png\n")
        return 2
    with open(argv[1], "rb") as f:
        png = bmp_to_png(f.read())
    with open(argv[2], "wb") as f:
        f.write(png)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
