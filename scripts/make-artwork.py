#!/usr/bin/env python3
"""Draws the updater's pictures and icons from plain shapes and text.

Needs ImageMagick's `convert` (installed by scripts/deps.sh). The results are committed under
forms/images/, so the build never runs this; run it again only when the artwork changes:

    python3 scripts/make-artwork.py [output-folder]

Output (sizes are what the windows and the resource list expect):
    q-solenza.png         583 x 628  console picture
    q-solenza_small.png   168 x 181  the same picture for the welcome page
    refresh.png           128 x 128  refresh arrow of the port list
    brenvik-ico.png       188 x 195  window icon
    base_icon.ico         13 images, 16 to 256 px  application icon set
    icons/<n>x<n>/brenvik-updater.png   square icons for the desktop menu
"""

import math
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "forms", "images")

ICO_SIZES = [16, 20, 24, 30, 32, 36, 40, 48, 60, 64, 72, 128, 256]
MENU_ICON_SIZES = [16, 32, 48, 64, 128, 256]

BRAND_BLUE = "#1f5fa8"
BRAND_DARK = "#123a66"
ACCENT = "#f28c28"

# Without these the PNG files change on every run (creation time chunks).
STABLE_PNG = ["-define", "png:exclude-chunks=date,time", "-strip"]


def find_font(pattern):
    """A bold sans-serif font file, so text looks the same wherever the script runs."""
    try:
        path = subprocess.run(["fc-match", "-f", "%{file}", pattern], check=True,
                              capture_output=True, text=True).stdout.strip()
        if path and os.path.exists(path):
            return path
    except (OSError, subprocess.CalledProcessError):
        pass
    return None


FONT_BOLD = find_font("DejaVu Sans:bold")
FONT_MONO = find_font("DejaVu Sans Mono:bold") or FONT_BOLD


def convert(*args):
    subprocess.run(["convert", *[str(a) for a in args]], check=True)


def text_args(font, size, colour, gravity, offset, text):
    if font is None:
        return []
    return ["-font", font, "-pointsize", size, "-fill", colour, "-stroke", "none",
            "-gravity", gravity, "-annotate", offset, text, "-gravity", "NorthWest"]


def curve():
    """The speed curve on the display, drawn as separate segments (no closed outline)."""
    points = [(120, 340), (180, 318), (230, 326), (290, 282), (350, 296), (410, 262), (462, 272)]
    args = []
    for (x0, y0), (x1, y1) in zip(points, points[1:]):
        args += ["-draw", f"line {x0},{y0} {x1},{y1}"]
    return args


def draw_console(path):
    """The console seen from the front: a dark housing, a lit display and a row of keys."""
    w, h = 583, 628
    keys = []
    for i, colour in enumerate(["#3a3f47", "#3a3f47", ACCENT, "#3a3f47", "#3a3f47"]):
        x = 88 + i * 86
        keys += ["-fill", colour, "-stroke", "#0d0f12", "-strokewidth", "3",
                 "-draw", f"roundrectangle {x},470 {x + 64},520 12,12"]
    arrows = [
        "-fill", "#d0d4da", "-stroke", "none",
        "-draw", "polygon 120,483 108,505 132,505",       # up
        "-draw", "polygon 196,507 184,485 208,485",       # down
        "-draw", "polygon 378,483 366,505 390,505",
        "-draw", "polygon 464,507 452,485 476,485",
    ]
    convert(
        "-size", f"{w}x{h}", "xc:none",
        # Stand and housing.
        "-fill", "#2b2f36", "-stroke", "none",
        "-draw", "polygon 236,560 347,560 381,628 202,628",
        "-fill", "#1b1e23", "-stroke", "#0b0c0e", "-strokewidth", "4",
        "-draw", "roundrectangle 20,40 563,580 48,48",
        "-fill", "#2e333b", "-stroke", "none",
        "-draw", "roundrectangle 36,56 547,564 38,38",
        # Display frame and display.
        "-fill", "#0f1114", "-draw", "roundrectangle 70,96 513,420 20,20",
        "-fill", "#0b2440", "-draw", "roundrectangle 86,112 497,404 12,12",
        "-fill", "#12385f", "-draw", "roundrectangle 98,124 485,392 8,8",
        # Display content: a speed curve and three readouts.
        "-fill", "none", "-stroke", "#5fd3ff", "-strokewidth", "6",
        *curve(),
        "-stroke", "#2f6f9f", "-strokewidth", "2",
        "-draw", "line 120,350 462,350",
        *text_args(FONT_MONO, 58, "#e8f6ff", "NorthWest", "+118+140", "12:30"),
        *text_args(FONT_MONO, 30, "#5fd3ff", "NorthWest", "+330+146", "km/h"),
        *text_args(FONT_MONO, 44, ACCENT, "NorthWest", "+330+180", "24.5"),
        *text_args(FONT_BOLD, 22, "#9fc7e8", "NorthWest", "+120+360", "Q-SOLENZA"),
        # Keys and brand.
        *keys, *arrows,
        "-fill", "#3a3f47", "-stroke", "none",
        "-draw", "roundrectangle 36,44 547,52 4,4",
        *text_args(FONT_BOLD, 40, "#e8ecf1", "North", "+0+530", "BRENVIK"),
        *STABLE_PNG, f"PNG32:{path}")


def draw_logo(path, w, h):
    """The maker's mark: a blue shield with a white B and an orange swoosh."""
    m = max(1, round(min(w, h) * 0.03))
    r = round(min(w, h) * 0.22)
    cx = w / 2
    convert(
        "-size", f"{w}x{h}", "xc:none",
        "-fill", BRAND_DARK, "-stroke", "none",
        "-draw", f"roundrectangle {m},{m} {w - 1 - m},{h - 1 - m} {r},{r}",
        "-fill", BRAND_BLUE,
        "-draw", f"roundrectangle {m * 3},{m * 3} {w - 1 - m * 3},{h - 1 - m * 3} {r - m},{r - m}",
        "-fill", ACCENT,
        "-draw", f"roundrectangle {round(w * 0.24)},{round(h * 0.76)} "
                 f"{round(w * 0.76)},{round(h * 0.84)} {m * 2},{m * 2}",
        *text_args(FONT_BOLD, round(min(w, h) * 0.62), "white", "Center",
                   f"+0-{round(h * 0.06)}", "B"),
        "-stroke", "none",
        *STABLE_PNG, f"PNG32:{path}")
    if FONT_BOLD is None:
        # No font: mark the shield with a plain bar shape instead of the letter.
        convert(path, "-fill", "white",
                "-draw", f"rectangle {cx - w * 0.14},{h * 0.22} {cx - w * 0.04},{h * 0.62}",
                "-draw", f"roundrectangle {cx - w * 0.14},{h * 0.22} {cx + w * 0.16},{h * 0.40} 12,12",
                "-draw", f"roundrectangle {cx - w * 0.14},{h * 0.44} {cx + w * 0.18},{h * 0.62} 12,12",
                *STABLE_PNG, f"PNG32:{path}")


def arc_segments(c, r, start, end, steps=48):
    """An open arc as short lines; ImageMagick's own arc closes itself with a chord."""
    args = []
    angles = [math.radians(start + (end - start) * i / steps) for i in range(steps + 1)]
    for a0, a1 in zip(angles, angles[1:]):
        args += ["-draw", f"line {c + r * math.cos(a0):.1f},{c + r * math.sin(a0):.1f} "
                          f"{c + r * math.cos(a1):.1f},{c + r * math.sin(a1):.1f}"]
    return args


def draw_refresh(path):
    """A circular arrow, three quarters of a turn, with its head at the top."""
    s, c, r = 128, 64, 42
    start, end = -20, 215  # degrees, clockwise from three o'clock; the gap is at the top
    a = math.radians(start)
    tip_base = (c + r * math.cos(a), c + r * math.sin(a))
    # The head points against the drawing direction, i.e. along the tangent (sin a, -cos a).
    t = (math.sin(a), -math.cos(a))
    n = (math.cos(a), math.sin(a))
    tip = (tip_base[0] + t[0] * 34, tip_base[1] + t[1] * 34)
    left = (tip_base[0] + n[0] * 24, tip_base[1] + n[1] * 24)
    right = (tip_base[0] - n[0] * 24, tip_base[1] - n[1] * 24)
    head = " ".join(f"{x:.1f},{y:.1f}" for x, y in (tip, left, right))
    return convert(
        "-size", f"{s}x{s}", "xc:none",
        "-fill", "none", "-stroke", BRAND_BLUE, "-strokewidth", "16",
        *arc_segments(c, r, start + 4, end),
        "-fill", BRAND_BLUE, "-stroke", "none",
        "-draw", f"polygon {head}",
        *STABLE_PNG, f"PNG32:{path}")


def main():
    if shutil.which("convert") is None:
        sys.exit("ImageMagick's convert is missing: run scripts/deps.sh")
    if FONT_BOLD is None:
        print("warning: no DejaVu font found; pictures are drawn without text", file=sys.stderr)
    os.makedirs(OUT, exist_ok=True)

    big = os.path.join(OUT, "q-solenza.png")
    draw_console(big)
    convert(big, "-filter", "Lanczos", "-resize", "168x181!", *STABLE_PNG,
            "PNG32:" + os.path.join(OUT, "q-solenza_small.png"))
    draw_refresh(os.path.join(OUT, "refresh.png"))
    draw_logo(os.path.join(OUT, "brenvik-ico.png"), 188, 195)

    with tempfile.TemporaryDirectory() as tmp:
        # Each size is drawn on its own so small icons stay sharp.
        frames = []
        for n in ICO_SIZES:
            frame = os.path.join(tmp, f"logo-{n}.png")
            draw_logo(frame, n, n)
            frames.append(frame)
        convert(*frames, os.path.join(OUT, "base_icon.ico"))
        for n in MENU_ICON_SIZES:
            folder = os.path.join(OUT, "icons", f"{n}x{n}")
            os.makedirs(folder, exist_ok=True)
            shutil.copyfile(os.path.join(tmp, f"logo-{n}.png"),
                            os.path.join(folder, "brenvik-updater.png"))


if __name__ == "__main__":
    main()
