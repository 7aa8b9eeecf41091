#!/usr/bin/python3
"""Remakes the window's background picture and the program's icon.

Writes, next to the other resources:
  resources/background.png   404 x 410, the window's background (opaque)
  resources/aggiornadv.png   48 x 48 with alpha, the window's and desktop icon
  resources/AggiornaDV.ico   the same icon for the Windows executable: one
                             48 x 48 image at 8 bits per pixel (256 colours)

Run with Debian's python3 (python3-pil):  /usr/bin/python3 scripts/make-resources.py
The output depends only on Pillow and the fonts below, so running it again
gives the same pictures.
"""

import math
import struct
import sys
from pathlib import Path

from PIL import Image, ImageDraw, ImageFilter, ImageFont

HERE = Path(__file__).resolve().parent
RESOURCES = HERE.parent / "resources"

# Drawn this many times larger, then scaled down: smooth edges everywhere.
SUPER = 4

BACKGROUND_SIZE = (404, 410)
ICON_SIZE = 48

# The buttons' light blue, and two deeper blues of the same hue.
BUTTON_BLUE = (182, 209, 245)
DEEP_BLUE = (37, 86, 160)
INK_BLUE = (28, 55, 100)

FONT_CANDIDATES = {
    "rounded": [
        "/usr/share/fonts/truetype/comfortaa/Comfortaa-Bold.ttf",
        "/usr/share/fonts/truetype/liberation2/LiberationSans-Bold.ttf",
    ],
    "plain": [
        "/usr/share/fonts/truetype/comfortaa/Comfortaa-Regular.ttf",
        "/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf",
    ],
}


def font(kind, size):
    for candidate in FONT_CANDIDATES[kind]:
        if Path(candidate).exists():
            return ImageFont.truetype(candidate, size)
    sys.exit(f"make-resources: none of {FONT_CANDIDATES[kind]} is installed (fonts-comfortaa)")


def mix(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def vertical_gradient(size, top, bottom):
    width, height = size
    column = Image.new("RGB", (1, height))
    for y in range(height):
        column.putpixel((0, y), mix(top, bottom, y / (height - 1)))
    return column.resize(size)


def radial_glow(size, centre, radius, colour, strength):
    """A soft round light, as an RGBA layer."""
    width, height = size
    mask = Image.new("L", size, 0)
    draw = ImageDraw.Draw(mask)
    cx, cy = centre
    steps = 60
    for i in range(steps, 0, -1):
        r = radius * i / steps
        level = round(255 * strength * (1 - i / steps) ** 1.5)
        draw.ellipse((cx - r, cy - r, cx + r, cy + r), fill=level)
    mask = mask.filter(ImageFilter.GaussianBlur(radius / 12))
    layer = Image.new("RGBA", size, colour + (0,))
    layer.putalpha(mask)
    return layer


def circular_arrows(draw, centre, radius, stroke, colour):
    """Two arcs chasing each other clockwise, each ending in an arrowhead."""
    cx, cy = centre
    box = (cx - radius, cy - radius, cx + radius, cy + radius)
    head_length = stroke * 2.1
    head_half_width = stroke * 1.35
    # The gap the head needs, as an angle along the arc.
    head_angle = math.degrees(head_length / radius)
    for start in (200, 20):
        end = start + 140
        draw.arc(box, start, end - head_angle * 0.55, fill=colour, width=stroke)
        theta = math.radians(end - head_angle * 0.6)
        # Clockwise on screen: the direction of growing angle.
        forward = (-math.sin(theta), math.cos(theta))
        outward = (math.cos(theta), math.sin(theta))
        mid_r = radius - stroke / 2
        base = (cx + mid_r * outward[0], cy + mid_r * outward[1])
        tip = (base[0] + forward[0] * head_length, base[1] + forward[1] * head_length)
        # Nudge the tip back onto the circle so the head follows the curve.
        tip_angle = math.atan2(tip[1] - cy, tip[0] - cx)
        tip = (cx + mid_r * math.cos(tip_angle), cy + mid_r * math.sin(tip_angle))
        left = (base[0] + outward[0] * head_half_width, base[1] + outward[1] * head_half_width)
        right = (base[0] - outward[0] * head_half_width, base[1] - outward[1] * head_half_width)
        draw.polygon([left, tip, right], fill=colour)


def down_arrow(draw, centre, height, width, colour):
    cx, cy = centre
    shaft = width * 0.36
    head = height * 0.48
    top = cy - height / 2
    bottom = cy + height / 2
    draw.rounded_rectangle((cx - shaft / 2, top, cx + shaft / 2, bottom - head * 0.8),
                           radius=shaft / 3, fill=colour)
    draw.polygon([(cx - width / 2, bottom - head), (cx + width / 2, bottom - head), (cx, bottom)],
                 fill=colour)


def spaced_text(draw, centre_x, top, text, face, spacing, colour):
    widths = [draw.textlength(ch, font=face) for ch in text]
    total = sum(widths) + spacing * (len(text) - 1)
    x = centre_x - total / 2
    for ch, w in zip(text, widths):
        draw.text((x, top), ch, font=face, fill=colour)
        x += w + spacing


def make_background():
    w, h = BACKGROUND_SIZE
    big = (w * SUPER, h * SUPER)
    image = vertical_gradient(big, (206, 224, 248), (246, 249, 253)).convert("RGBA")

    # The symbol sits in the middle of what stays visible under the title.
    symbol_centre = (w * SUPER // 2, 168 * SUPER)
    image.alpha_composite(radial_glow(big, symbol_centre, 150 * SUPER, (255, 255, 255), 0.85))

    draw = ImageDraw.Draw(image)
    circular_arrows(draw, symbol_centre, 74 * SUPER, 15 * SUPER, DEEP_BLUE + (255,))
    down_arrow(draw, symbol_centre, 54 * SUPER, 38 * SUPER, DEEP_BLUE + (255,))

    spaced_text(draw, w * SUPER / 2, 262 * SUPER, "ZORVANIK", font("rounded", 40 * SUPER),
                5 * SUPER, INK_BLUE + (255,))
    rule_y = 318 * SUPER
    draw.rounded_rectangle((w * SUPER / 2 - 70 * SUPER, rule_y, w * SUPER / 2 + 70 * SUPER,
                            rule_y + 2 * SUPER), radius=SUPER, fill=BUTTON_BLUE + (255,))
    spaced_text(draw, w * SUPER / 2, 328 * SUPER, "aggiornamento software",
                font("plain", 15 * SUPER), 1 * SUPER, (70, 100, 140, 255))

    return image.resize(BACKGROUND_SIZE, Image.LANCZOS).convert("RGB")


def make_icon():
    big = ICON_SIZE * SUPER
    image = Image.new("RGBA", (big, big), (0, 0, 0, 0))
    face = vertical_gradient((big, big), (88, 148, 226), (32, 80, 156)).convert("RGBA")
    mask = Image.new("L", (big, big), 0)
    ImageDraw.Draw(mask).rounded_rectangle((2 * SUPER, 2 * SUPER, big - 2 * SUPER - 1,
                                            big - 2 * SUPER - 1), radius=10 * SUPER, fill=255)
    image.paste(face, (0, 0), mask)
    draw = ImageDraw.Draw(image)
    centre = (big // 2, big // 2)
    circular_arrows(draw, centre, 16 * SUPER, 4 * SUPER, (255, 255, 255, 255))
    down_arrow(draw, centre, 13 * SUPER, 10 * SUPER, (255, 255, 255, 255))
    return image.resize((ICON_SIZE, ICON_SIZE), Image.LANCZOS)


def write_ico(icon, path):
    """One 48 x 48 image, 8 bits per pixel, with a 1-bit transparency mask."""
    size = ICON_SIZE
    opaque = [a >= 128 for a in icon.getchannel("A").getdata()]
    # Colours of the see-through pixels do not matter; keep them out of the palette.
    solid = Image.new("RGB", icon.size, (32, 80, 156))
    solid.paste(icon.convert("RGB"), (0, 0), icon.getchannel("A").point(lambda a: 255 if a >= 128 else 0))
    indexed = solid.quantize(colors=255, method=Image.MEDIANCUT, dither=Image.NONE)
    palette = indexed.getpalette()[: 255 * 3]
    palette += [0, 0, 0] * (256 - len(palette) // 3)
    transparent_index = 255  # black: a masked pixel must add nothing on screen
    pixels = [p if keep else transparent_index for p, keep in zip(indexed.getdata(), opaque)]

    xor_rows = []
    and_rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        row = pixels[y * size:(y + 1) * size]
        xor_rows.append(bytes(row))
        bits = 0
        for x in range(size):
            bits = (bits << 1) | (0 if opaque[y * size + x] else 1)
        mask_row = bits.to_bytes(size // 8, "big")
        and_rows.append(mask_row + b"\0" * ((-len(mask_row)) % 4))
    xor = b"".join(xor_rows)
    and_mask = b"".join(and_rows)

    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, len(xor) + len(and_mask),
                         0, 0, 256, 0)
    colours = b"".join(struct.pack("<BBBB", palette[i * 3 + 2], palette[i * 3 + 1], palette[i * 3], 0)
                       for i in range(256))
    image = header + colours + xor + and_mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(image), 6 + 16)
    path.write_bytes(directory + entry + image)
    return len(image)


def main():
    RESOURCES.mkdir(exist_ok=True)
    background = make_background()
    background.save(RESOURCES / "background.png", optimize=True)
    icon = make_icon()
    icon.save(RESOURCES / "aggiornadv.png", optimize=True)
    image_bytes = write_ico(icon, RESOURCES / "AggiornaDV.ico")
    print(f"background.png {background.size[0]}x{background.size[1]}")
    print(f"aggiornadv.png {icon.size[0]}x{icon.size[1]}")
    print(f"AggiornaDV.ico 48x48, 8 bits per pixel, {image_bytes} bytes of image data")


if __name__ == "__main__":
    main()
