#!/usr/bin/env python3
"""Draws the configurator's images from the pixel art below and writes them as Windows files:
the icon strip of the tree and the list (bitmap 203: seven 16x16 images, black is
transparent), the toolbar strip (bitmap 206: light gray is the button face) and the
window's icon (16x16 and 32x32).

The strips' order is fixed: drivers choose their icons by index.

    draw_images.py OUTPUT_DIRECTORY
"""
import struct
import sys

COLOURS = {
    '.': None,  # the background: black in the icon strip, button face in the toolbar
    'k': (40, 40, 40), 'g': (96, 96, 96), 'G': (150, 150, 150), 'L': (210, 210, 210),
    'W': (255, 255, 255), 'B': (30, 80, 200), 'b': (120, 170, 240), 'N': (20, 130, 60),
    'n': (60, 180, 90), 'Y': (250, 210, 40), 'y': (200, 160, 20), 'R': (210, 30, 30),
    'O': (240, 140, 30), 'T': (170, 120, 60), 't': (220, 180, 120), 'P': (150, 90, 200),
}

ICON_STRIP = [
    # 0 a computer monitor
    ["................",
     ".gggggggggggggg.",
     ".gLLLLLLLLLLLLg.",
     ".gLBBBBBBBBBBLg.",
     ".gLBWbBBBBBBBLg.",
     ".gLBbBBBBBBBBLg.",
     ".gLBBBBBBBBBBLg.",
     ".gLBBBBBBBBBBLg.",
     ".gLBBBBBBBBBBLg.",
     ".gLLLLLLLLLLLLg.",
     ".gggggggggggggg.",
     "......gGGg......",
     "......gGGg......",
     "...gggggggggg...",
     "...GGGGGGGGGG...",
     "................"],
    # 1 a circuit board
    ["................",
     "..y.y.y.y.y.y...",
     ".NNNNNNNNNNNNNN.",
     ".NnnnnnnnnnnnnN.",
     ".Nn.kkkk.y..nnN.",
     ".Nn.kkkk.yyyynN.",
     ".Nn.kkkk....ynN.",
     ".Nnyyyyyyy..ynN.",
     ".Nn......y..ynN.",
     ".Nn.kkk..yyyynN.",
     ".Nn.kkk.....nnN.",
     ".NnnnnnnnnnnnnN.",
     ".NNNNNNNNNNNNNN.",
     "..y.y.y.y.y.y...",
     "................",
     "................"],
    # 2 a crossed-out box
    ["................",
     ".RR..........RR.",
     ".RRTTTTTTTTTRRT.",
     "..RRtttttttRRtT.",
     "..TRRtttttRRttT.",
     "..TtRRtttRRtttT.",
     "..TttRRtRRttttT.",
     "..TtttRRRtttttT.",
     "..TtttRRRtttttT.",
     "..TttRRtRRttttT.",
     "..TtRRtttRRtttT.",
     "..TRRtttttRRttT.",
     "..RRtttttttRRtT.",
     ".RRTTTTTTTTTRRT.",
     ".RR..........RR.",
     "................"],
    # 3 a tag
    ["................",
     "................",
     "......yyyyyyyyy.",
     ".....yYYYYYYYYy.",
     "....yYYYYYYYYYy.",
     "...yYYkkYYYYYYy.",
     "..yYYYkkYYYYYYy.",
     ".yYYYYYYYYYYYYy.",
     ".yYYYYYYYYYYYYy.",
     "..yYYYYYYYYYYYy.",
     "...yYYYYYYYYYYy.",
     "....yYYYYYYYYYy.",
     ".....yYYYYYYYYy.",
     "......yyyyyyyyy.",
     "................",
     "................"],
    # 4 a stack of tags
    ["................",
     "........yyyyyyy.",
     ".......yYYYYYYy.",
     "......yyyyyyyyy.",
     ".....yYYYYYYYYy.",
     "....yyyyyyyyyyy.",
     "...yYYYYYYYYYYy.",
     "..yYYkkYYYYYYYy.",
     ".yYYYkkYYYYYYYy.",
     ".yYYYYYYYYYYYYy.",
     "..yYYYYYYYYYYYy.",
     "...yYYYYYYYYYYy.",
     "....yyyyyyyyyyy.",
     "................",
     "................",
     "................"],
    # 5 a light bulb
    ["................",
     "......yyyy......",
     "....yyYYYYyy....",
     "...yYYWWYYYYy...",
     "...yYWWYYYYYy...",
     "..yYYWYYYYYYYy..",
     "..yYYYYYYYYYYy..",
     "..yYYYYYYYYYYy..",
     "...yYYYYYYYYy...",
     "....yYYYYYYy....",
     ".....yYYYYy.....",
     ".....gGGGGg.....",
     ".....gLLLLg.....",
     ".....gGGGGg.....",
     "......gggg......",
     "................"],
    # 6 a lightning bolt
    ["................",
     ".........yyyy...",
     "........yYYYy...",
     ".......yYYYy....",
     "......yYYYy.....",
     ".....yYYYy......",
     "....yYYYYyyyy...",
     "...yYYYYYYYYy...",
     "...yyyyyYYYy....",
     ".......yYYy.....",
     "......yYYy......",
     ".....yYYy.......",
     "....yYYy........",
     "....yYy.........",
     "....yy..........",
     "................"],
]

TOOLBAR = [
    # New: a blank page
    ["................",
     "..kkkkkkkk......",
     "..kWWWWWWkk.....",
     "..kWWWWWWkWk....",
     "..kWWWWWWkkkk...",
     "..kWWWWWWWWWk...",
     "..kWWWWWWWWWk...",
     "..kWWWWWWWWWk...",
     "..kWWWWWWWWWk...",
     "..kWWWWWWWWWk...",
     "..kWWWWWWWWWk...",
     "..kWWWWWWWWWk...",
     "..kWWWWWWWWWk...",
     "..kkkkkkkkkkk...",
     "................",
     "................"],
    # Save: a floppy disk
    ["................",
     ".kkkkkkkkkkkkk..",
     ".kBkWWWWWWWkBk..",
     ".kBkWWWWWWWkBk..",
     ".kBkWWWWWWWkBk..",
     ".kBkWWWWWWWkBk..",
     ".kBBkkkkkkkBBk..",
     ".kBBBBBBBBBBBk..",
     ".kBBkkkkkkkBBk..",
     ".kBBkLLLkGkBBk..",
     ".kBBkLLLkGkBBk..",
     ".kBBkLLLkGkBBk..",
     "..kkkkkkkkkkkk..",
     "................",
     "................",
     "................"],
    # Open: a folder
    ["................",
     "................",
     "..kkkk..........",
     ".kYYYYk.........",
     ".kYYYYkkkkkkk...",
     ".kYYYYYYYYYYk...",
     ".kYYYkkkkkkkkkk.",
     ".kYYkyyyyyyyyyk.",
     ".kYkyyyyyyyyyk..",
     ".kYkyyyyyyyyyk..",
     ".kkyyyyyyyyyk...",
     ".kkyyyyyyyyyk...",
     ".kkkkkkkkkkk....",
     "................",
     "................",
     "................"],
    # Edit: a pencil
    ["................",
     "...........kk...",
     "..........kRRk..",
     ".........kRRRRk.",
     "........kOOkRk..",
     ".......kOOOOk...",
     "......kOOOOk....",
     ".....kOOOOk.....",
     "....kOOOOk......",
     "...kOOOOk.......",
     "..ktOOOk........",
     "..kttOk.........",
     "..kkkk..........",
     "..kk............",
     "................",
     "................"],
    # Remove: a red cross
    ["................",
     "..RR........RR..",
     "..RRR......RRR..",
     "...RRR....RRR...",
     "....RRR..RRR....",
     ".....RRRRRR.....",
     "......RRRR......",
     "......RRRR......",
     ".....RRRRRR.....",
     "....RRR..RRR....",
     "...RRR....RRR...",
     "..RRR......RRR..",
     "..RR........RR..",
     "................",
     "................",
     "................"],
    # Add: a green plus
    ["................",
     "......NNNN......",
     "......NnnN......",
     "......NnnN......",
     "......NnnN......",
     ".NNNNNNnnNNNNNN.",
     ".NnnnnnnnnnnnnN.",
     ".NnnnnnnnnnnnnN.",
     ".NNNNNNnnNNNNNN.",
     "......NnnN......",
     "......NnnN......",
     "......NnnN......",
     "......NNNN......",
     "................",
     "................",
     "................"],
    # About: a question mark
    ["................",
     ".....BBBBBB.....",
     "....BBBBBBBB....",
     "...BBB....BBB...",
     "...BBB....BBB...",
     "..........BBB...",
     ".........BBB....",
     "........BBB.....",
     ".......BBB......",
     ".......BBB......",
     "................",
     ".......BBB......",
     ".......BBB......",
     "................",
     "................",
     "................"],
]

ICON = ICON_STRIP[0]


def pixels(art, background):
    if len(art) != 16 or any(len(row) != 16 for row in art):
        raise SystemExit("an image must be 16 rows of 16 characters")
    return [[COLOURS[c] or background for c in row] for row in art]


def strip(images, background):
    rows = [pixels(art, background) for art in images]
    return [sum((image[y] for image in rows), []) for y in range(16)]


def bmp(rows):
    """A 24-bit bottom-up BMP file."""
    height, width = len(rows), len(rows[0])
    stride = (width * 3 + 3) & ~3
    data = b''.join(
        bytes(c for (r, g, b) in row for c in (b, g, r)).ljust(stride, b'\0')
        for row in reversed(rows))
    header = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(data), 2835, 2835,
                         0, 0)
    return struct.pack('<2sIHHI', b'BM', 14 + len(header) + len(data), 0, 0,
                       14 + len(header)) + header + data


def icon_image(art, scale):
    """One icon image: a 32-bit DIB (height doubled for the mask) and its AND mask."""
    size = 16 * scale
    grid = [[COLOURS[art[y // scale][x // scale]] for x in range(size)] for y in range(size)]
    colour = b''.join(
        bytes((b, g, r, 255)) if c else b'\0\0\0\0'
        for row in reversed(grid) for c in row for (r, g, b) in [c or (0, 0, 0)])
    mask_stride = ((size + 31) // 32) * 4
    mask = b''
    for row in reversed(grid):
        bits = 0
        for x, c in enumerate(row):
            if c is None:
                bits |= 1 << (size - 1 - x)
        mask += bits.to_bytes(size // 8, 'big').ljust(mask_stride, b'\0')
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(colour) + len(mask),
                         0, 0, 0, 0)
    return header + colour + mask


def ico(art):
    images = [icon_image(art, 1), icon_image(art, 2)]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for scale, data in zip((1, 2), images):
        size = 16 * scale
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b''.join(images)


def main():
    out = sys.argv[1]
    with open(f'{out}/icon_strip.bmp', 'wb') as f:
        f.write(bmp(strip(ICON_STRIP, (0, 0, 0))))
    with open(f'{out}/toolbar.bmp', 'wb') as f:
        f.write(bmp(strip(TOOLBAR, (192, 192, 192))))
    with open(f'{out}/configurator.ico', 'wb') as f:
        f.write(ico(ICON))


if __name__ == '__main__':
    main()
