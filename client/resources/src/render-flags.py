#!/usr/bin/env python3
"""Renders the server list's 32x23 country flags.

Usage: render-flags.py FLAG_ICONS_DIR CODES_FILE OUTPUT_DIR

FLAG_ICONS_DIR is the root of the npm package "flag-icons" (MIT), e.g. the
"package" folder of `npm pack flag-icons` unpacked. Each 4x3 flag is framed
with rounded corners and a faint edge so white flags stay visible on the
white list rows. Our codes are ISO 3166-1 alpha-2 except UK, which is the
set's "gb". A code the set lacks gets a neutral placeholder; its name is
printed and the exit status is 1.
"""
import os
import re
import subprocess
import sys
import tempfile

WIDTH, HEIGHT = 32, 23
FRAME = """<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="{w}" height="{h}" viewBox="0 0 {w} {h}">
  <defs><clipPath id="varvex-frame"><rect width="{w}" height="{h}" rx="2"/></clipPath></defs>
  <g clip-path="url(#varvex-frame)">{flag}</g>
  <rect x="0.5" y="0.5" width="{iw}" height="{ih}" rx="1.5" fill="none" stroke="#000000" stroke-opacity="0.16"/>
</svg>
"""
PLACEHOLDER = """<svg xmlns="http://www.w3.org/2000/svg" width="640" height="480" viewBox="0 0 640 480">
  <rect width="640" height="480" fill="#e4e4e6"/>
  <rect x="40" y="200" width="560" height="80" rx="40" fill="#c4c4c7"/>
</svg>"""

SET_NAMES = {"UK": "gb"}


def framed(flag_svg):
    flag_svg = re.sub(r"<\?xml[^>]*\?>", "", flag_svg).strip()
    # Stretch the 4:3 artwork to the 32x23 cell (a one-pixel squeeze).
    flag_svg = re.sub(r"<svg\b", '<svg width="%d" height="%d" preserveAspectRatio="none"' % (WIDTH, HEIGHT),
                      flag_svg, count=1)
    return FRAME.format(w=WIDTH, h=HEIGHT, iw=WIDTH - 1, ih=HEIGHT - 1, flag=flag_svg)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    source, codes_file, output = argv
    with open(codes_file) as f:
        codes = f.read().split()
    missing = []
    os.makedirs(output, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        for code in codes:
            name = SET_NAMES.get(code, code.lower())
            path = os.path.join(source, "flags", "4x3", name + ".svg")
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    flag = f.read()
            else:
                missing.append(code)
                flag = PLACEHOLDER
            svg = os.path.join(work, code + ".svg")
            with open(svg, "w", encoding="utf-8") as f:
                f.write(framed(flag))
            subprocess.run(["rsvg-convert", "-w", str(WIDTH), "-h", str(HEIGHT), svg,
                            "-o", os.path.join(output, code + ".png")], check=True)
    if missing:
        print("flags missing from the set (placeholder drawn): " + " ".join(missing))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
