#!/usr/bin/env python3
"""Draws the program's icons and the busy animation (standard library only).

    python3 resources/draw_resources.py      # rewrites resources/icons/*.png and resources/wave.gif

The results are committed; run this only to change the pictures.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


# ---------------------------------------------------------------- PNG
def write_png(path, width, height, pixels):
    """pixels: list of rows, each a list of (r, g, b, a) tuples."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def clamp(v):
    return max(0, min(255, int(round(v))))


def bullet(color):
    """A 16x16 round light with a soft highlight, anti-aliased edge."""
    size = 16
    cx = cy = 7.5
    radius = 6.5
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            d = math.hypot(x - cx, y - cy)
            cover = max(0.0, min(1.0, radius + 0.5 - d))
            if cover <= 0:
                row.append((0, 0, 0, 0))
                continue
            # light from the upper left
            h = math.hypot(x - (cx - 2.2), y - (cy - 2.2)) / (radius * 1.6)
            shine = max(0.0, 1.0 - h) ** 2
            edge = 0.75 if d > radius - 1.0 else 1.0
            r, g, b = (c * edge + (255 - c * edge) * shine * 0.8 for c in color)
            row.append((clamp(r), clamp(g), clamp(b), clamp(255 * cover)))
        rows.append(row)
    return rows


def module_icon():
    """64x64: the front plate of an output module with a sine trace and eight outputs."""
    size = 64
    rows = [[(0, 0, 0, 0)] * size for _ in range(size)]

    def put(x, y, c):
        if 0 <= x < size and 0 <= y < size:
            rows[y][x] = c

    # plate with a darker frame
    for y in range(4, 60):
        for x in range(14, 50):
            frame = x in (14, 49) or y in (4, 59)
            shade = 170 - (y - 4)
            put(x, y, (60, 64, 72, 255) if frame else (clamp(shade * 0.55), clamp(shade * 0.62), clamp(shade * 0.75), 255))
    # screen
    for y in range(9, 27):
        for x in range(18, 46):
            put(x, y, (12, 28, 20, 255))
    # sine on the screen
    for i in range(0, 280):
        t = i / 279.0
        x = 18 + t * 27
        y = 18 - 7 * math.sin(2 * math.pi * 2 * t)
        put(int(round(x)), int(round(y)), (80, 240, 120, 255))
    # eight output sockets, two rows of four
    for n in range(8):
        cx = 21 + (n % 4) * 7
        cy = 36 + (n // 4) * 10
        for y in range(cy - 3, cy + 4):
            for x in range(cx - 3, cx + 4):
                d = math.hypot(x - cx, y - cy)
                if d <= 3.2:
                    put(x, y, (210, 180, 60, 255) if d > 1.4 else (30, 30, 30, 255))
    # status light
    for y in range(54, 57):
        for x in range(43, 46):
            put(x, y, (60, 220, 90, 255))
    return size, size, rows


# ---------------------------------------------------------------- GIF
def lzw_encode(indices, min_code_size):
    clear = 1 << min_code_size
    end = clear + 1
    code_size = min_code_size + 1
    table = {bytes([i]): i for i in range(clear)}
    next_code = end + 1
    out = bytearray()
    bit_buffer = 0
    bit_count = 0

    def emit(code):
        nonlocal bit_buffer, bit_count
        bit_buffer |= code << bit_count
        bit_count += code_size
        while bit_count >= 8:
            out.append(bit_buffer & 0xFF)
            bit_buffer >>= 8
            bit_count -= 8

    emit(clear)
    current = b""
    for index in indices:
        candidate = current + bytes([index])
        if candidate in table:
            current = candidate
            continue
        emit(table[current])
        if next_code < 4096:
            table[candidate] = next_code
            next_code += 1
            if next_code > (1 << code_size) and code_size < 12:
                code_size += 1
        else:
            emit(clear)
            table = {bytes([i]): i for i in range(clear)}
            next_code = end + 1
            code_size = min_code_size + 1
        current = bytes([index])
    if current:
        emit(table[current])
    emit(end)
    if bit_count:
        out.append(bit_buffer & 0xFF)
    return bytes(out)


def write_gif(path, width, height, palette, frames, delay_cs):
    """palette: 16 (r, g, b) entries, index 0 transparent; frames: lists of palette indices."""
    gif = bytearray(b"GIF89a")
    gif += struct.pack("<HHBBB", width, height, 0xF3, 0, 0)  # global table of 16 colours
    for r, g, b in palette:
        gif += bytes((r, g, b))
    gif += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"  # loop for ever
    for frame in frames:
        gif += b"\x21\xF9\x04" + struct.pack("<BHB", 0x09, delay_cs, 0) + b"\x00"  # restore to background, transparent 0
        gif += b"\x2C" + struct.pack("<HHHHB", 0, 0, width, height, 0)
        gif += bytes((4,))
        data = lzw_encode(frame, 4)
        for i in range(0, len(data), 255):
            block = data[i:i + 255]
            gif += bytes((len(block),)) + block
        gif += b"\x00"
    gif += b"\x3B"
    with open(path, "wb") as f:
        f.write(gif)


def wave_frames():
    width, height = 48, 16
    palette = [(255, 255, 255), (30, 120, 200), (90, 170, 235), (170, 210, 245)] + [(0, 0, 0)] * 12
    frames = []
    count = 12
    for n in range(count):
        phase = 2 * math.pi * n / count
        pixels = [0] * (width * height)
        for x in range(width * 4):
            t = x / 4.0
            y = (height - 1) / 2.0 - 6.0 * math.sin(2 * math.pi * t / 24.0 - phase)
            xi, yi = int(t), int(round(y))
            for dy, colour in ((0, 1), (-1, 2), (1, 2), (-2, 3), (2, 3)):
                yy = yi + dy
                if 0 <= yy < height:
                    i = yy * width + xi
                    if pixels[i] == 0 or pixels[i] > colour:
                        pixels[i] = colour
        frames.append(pixels)
    return width, height, palette, frames


def main():
    icons = os.path.join(HERE, "icons")
    os.makedirs(icons, exist_ok=True)
    for name, colour in (("bullet_gray", (150, 150, 150)), ("bullet_green", (40, 190, 60)),
                         ("bullet_red", (220, 40, 40))):
        write_png(os.path.join(icons, name + ".png"), 16, 16, bullet(colour))
    w, h, rows = module_icon()
    write_png(os.path.join(icons, "vek72.png"), w, h, rows)
    w, h, palette, frames = wave_frames()
    write_gif(os.path.join(HERE, "wave.gif"), w, h, palette, frames, 8)


if __name__ == "__main__":
    main()
