#!/usr/bin/env python3
"""Draws the program's icon, velko.ico: an instrument with a download arrow pointing into
it, as a 32 x 32 and a 16 x 16 image in the 16 standard colours.  Run it to remake the
checked-in icon: python3 app/make_icon.py app/velko.ico"""
import struct
import sys

# The 16 standard colours, by index, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREEN, NAVY, SILVER, GREY, RED, LIME, BLUE, WHITE = 0, 2, 4, 7, 8, 9, 10, 12, 15
CLEAR = None


def canvas(size):
    return [[CLEAR] * size for _ in range(size)]


def fill(img, x0, y0, x1, y1, colour):
    """Fills the rectangle x0..x1, y0..y1 (inclusive)."""
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = colour


def box(img, x0, y0, x1, y1, inside, edge):
    fill(img, x0, y0, x1, y1, edge)
    fill(img, x0 + 1, y0 + 1, x1 - 1, y1 - 1, inside)


def arrow(img, centre, top, shaft_half, shaft_bottom, head_half, tip):
    """A downward arrow: its shaft, then a head narrowing one pixel a row down to the tip."""
    box(img, centre - shaft_half, top, centre + shaft_half - 1, shaft_bottom, BLUE, NAVY)
    half = head_half
    for y in range(shaft_bottom, tip + 1):
        fill(img, centre - half, y, centre + half - 1, y, NAVY)
        if half > 1:
            fill(img, centre - half + 1, y, centre + half - 2, y, BLUE)
        half -= 1
        if half <= 0:
            break


def draw32():
    img = canvas(32)
    box(img, 2, 13, 29, 29, SILVER, BLACK)              # the instrument
    fill(img, 3, 14, 28, 14, WHITE)                      # its lit top edge
    box(img, 5, 16, 19, 24, DARK_GREEN, GREY)            # the display
    for x, y in zip(range(6, 19), [22, 21, 19, 18, 19, 21, 22, 21, 19, 18, 19, 21, 22]):
        img[y][x] = LIME                                 # a trace on it
    box(img, 22, 16, 26, 19, RED, BLACK)                 # two keys
    box(img, 22, 21, 26, 24, RED, BLACK)
    fill(img, 5, 27, 26, 27, GREY)                       # a vent
    arrow(img, 16, 0, 3, 6, 7, 13)
    return img


def draw16():
    img = canvas(16)
    box(img, 0, 7, 15, 15, SILVER, BLACK)
    box(img, 2, 9, 9, 13, DARK_GREEN, GREY)
    for x, y in zip(range(3, 9), [12, 11, 10, 11, 12, 11]):
        img[y][x] = LIME
    box(img, 11, 9, 13, 11, RED, BLACK)
    arrow(img, 8, 0, 2, 3, 4, 7)
    return img


def bitmap(img):
    """One icon image: header, palette, 4-bit colour rows and the 1-bit transparency mask,
    both bottom-up with rows padded to 32 bits."""
    size = len(img)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    colour = bytearray()
    mask = bytearray()
    colour_row = (size * 4 + 31) // 32 * 4
    mask_row = (size + 31) // 32 * 4
    for row in reversed(img):
        line = bytearray(colour_row)
        bits = bytearray(mask_row)
        for x, c in enumerate(row):
            index = 0 if c is CLEAR else c
            line[x // 2] |= index << (4 if x % 2 == 0 else 0)
            if c is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
        colour += line
        mask += bits
    return header + palette + bytes(colour) + bytes(mask)


def icon(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b""
    for img in images:
        size = len(img)
        bmp = bitmap(img)
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(bmp), offset + len(data))
        data += bmp
    return out + data


if __name__ == "__main__":
    target = sys.argv[1] if len(sys.argv) > 1 else "velko.ico"
    with open(target, "wb") as f:
        f.write(icon([draw32(), draw16()]))
