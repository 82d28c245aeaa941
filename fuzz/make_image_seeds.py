#!/usr/bin/env python3
"""Writes the image target's seed corpus (corpus/image/): tiny PNG files of every colour type
and bit depth, interlaced and not, and a few damaged ones; then a tiny file of each other format
the image reader takes (JPEG, BMP, TIFF, WebP, PPM/PGM/PBM in binary and text, PFM, PAM), the
binary ones encoded by OpenCV (Debian's /usr/bin/python3 has it), and a cut-short one of each.
Run again only to change them."""
import os
import random
import struct
import zlib

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "image")


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png(width, height, depth, colour_type, rows, extra=b""):
    header = struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 0)
    raw = b"".join(b"\0" + row for row in rows)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + extra + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def adam7(width, height, pixels):
    """The raw data of an interlaced image: the seven passes, each row with filter byte 0."""
    passes = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
    raw = b""
    for x0, y0, dx, dy in passes:
        if x0 >= width:
            continue
        for y in range(y0, height, dy):
            raw += b"\0" + b"".join(pixels[y][x] for x in range(x0, width, dx))
    return raw


def interlaced_png(width, height, seed):
    rng = random.Random(seed)
    pixels = [[bytes(rng.randrange(256) for _ in range(3)) for _ in range(width)] for _ in range(height)]
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 1)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(adam7(width, height, pixels)))
            + chunk(b"IEND", b""))


def rows(width, height, bytes_per_pixel, seed):
    rng = random.Random(seed)
    return [bytes(rng.randrange(256) for _ in range(width * bytes_per_pixel)) for _ in range(height)]


def netpbm_text(magic, width, height, maxval, values):
    head = b"%s\n# a comment\n%d %d\n" % (magic, width, height) + (b"%d\n" % maxval if maxval else b"")
    return head + b" ".join(b"%d" % v for v in values) + b"\n"


def other_formats():
    import cv2
    import numpy as np
    rng = np.random.default_rng(18)
    colour = rng.integers(0, 256, size=(6, 8, 3), dtype=np.uint8)
    grey = rng.integers(0, 256, size=(5, 7), dtype=np.uint8)
    bits = (rng.integers(0, 2, size=(4, 9), dtype=np.uint8) * 255).astype(np.uint8)
    encoded = {
        "colour_8x6.jpg": (".jpg", colour), "grey_7x5.jpg": (".jpg", grey),
        "colour_8x6.bmp": (".bmp", colour), "grey_7x5.bmp": (".bmp", grey),
        "colour_8x6.tiff": (".tiff", colour), "grey16_7x5.tiff": (".tiff", grey.astype(np.uint16) * 257),
        "colour_8x6.webp": (".webp", colour), "colour_8x6.ppm": (".ppm", colour), "grey_7x5.pgm": (".pgm", grey),
        "grey16_7x5.pgm": (".pgm", grey.astype(np.uint16) * 257), "bits_9x4.pbm": (".pbm", bits),
        "colour_8x6.pfm": (".pfm", colour.astype(np.float32) / 255), "grey_7x5.pfm": (".pfm", grey.astype(np.float32)),
        "colour_8x6.pam": (".pam", colour), "grey_7x5.pam": (".pam", grey),
    }
    out = {}
    for name, (ext, image) in encoded.items():
        ok, data = cv2.imencode(ext, image)
        assert ok, name
        out[name] = data.tobytes()
        out["cut_" + name] = data.tobytes()[:len(data) * 2 // 3]
    out["text_3x2.ppm"] = netpbm_text(b"P3", 3, 2, 255, colour[:2, :3].reshape(-1).tolist())
    out["text_7x5.pgm"] = netpbm_text(b"P2", 7, 5, 255, grey.reshape(-1).tolist())
    out["text_9x4.pbm"] = netpbm_text(b"P1", 9, 4, 0, (bits.reshape(-1) == 0).astype(int).tolist())
    return out


def main():
    os.makedirs(OUT, exist_ok=True)
    seeds = {
        "rgb_8x6.png": png(8, 6, 8, 2, rows(8, 6, 3, 1)),
        "rgb_20x4.png": png(20, 4, 8, 2, rows(20, 4, 3, 2)),
        "rgb_1x1.png": png(1, 1, 8, 2, rows(1, 1, 3, 3)),
        "rgb_3x40.png": png(3, 40, 8, 2, rows(3, 40, 3, 4)),
        "rgb16_5x5.png": png(5, 5, 16, 2, rows(5, 5, 6, 5)),
        "grey_7x7.png": png(7, 7, 8, 0, rows(7, 7, 1, 6)),
        "grey16_6x3.png": png(6, 3, 16, 0, rows(6, 3, 2, 7)),
        "grey1_16x4.png": png(16, 4, 1, 0, rows(2, 4, 1, 8)),
        "grey_alpha_5x4.png": png(5, 4, 8, 4, rows(5, 4, 2, 9)),
        "rgba_6x5.png": png(6, 5, 8, 6, rows(6, 5, 4, 10)),
        "rgba16_3x3.png": png(3, 3, 16, 6, rows(3, 3, 8, 11)),
        "palette_9x4.png": png(9, 4, 8, 3, rows(9, 4, 1, 12),
                               extra=chunk(b"PLTE", bytes(random.Random(13).randrange(256) for _ in range(768)))),
        "interlaced_9x9.png": interlaced_png(9, 9, 14),
        "truncated.png": png(8, 6, 8, 2, rows(8, 6, 3, 15))[:60],
        "huge_header.png": png(1 << 20, 1 << 20, 8, 2, rows(4, 1, 3, 16)),
        "bad_crc.png": png(8, 6, 8, 2, rows(8, 6, 3, 17))[:29] + b"\0\0\0\0" + png(8, 6, 8, 2, rows(8, 6, 3, 17))[33:],
        "text.png": b"not an image, only a name that ends in .png\n",
        "empty.png": b"",
    }
    seeds.update(other_formats())
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
