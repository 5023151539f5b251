#!/usr/bin/env bash
# Re-renders the client's images from the SVG sources in client/resources/src.
# The PNG and ICO files are committed, so a normal build never runs this.
#
# Needs rsvg-convert (librsvg2-bin), python3 and the Roboto fonts
# (fonts-roboto-unhinted). The country flags additionally need the npm package
# "flag-icons" 7.5.0 (MIT): pass its unpacked folder with --flags DIR, or let
# the script fetch it with `npm pack` into a temporary folder (never the tree).
#
# Usage: scripts/render-resources.sh [--flags FLAG_ICONS_DIR | --no-flags]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
res=$root/client/resources
src=$res/src
flags_mode=fetch
flags_dir=

while [ $# -gt 0 ]; do
  case $1 in
    --flags) flags_mode=dir; flags_dir=${2:?--flags needs a folder}; shift 2 ;;
    --no-flags) flags_mode=none; shift ;;
    *) echo "usage: $0 [--flags FLAG_ICONS_DIR | --no-flags]" >&2; exit 2 ;;
  esac
done

command -v rsvg-convert >/dev/null || { echo "rsvg-convert not found (apt-get install librsvg2-bin)" >&2; exit 1; }
command -v python3 >/dev/null || { echo "python3 not found" >&2; exit 1; }
# The word marks are SVG text; a fallback font would silently change them.
for family in Roboto "Roboto Condensed"; do
  fc-match -f '%{family}' "$family" | grep -q "$family" ||
    { echo "font $family not found (apt-get install fonts-roboto-unhinted)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

render() { # svg-source output width height
  rsvg-convert -w "$3" -h "$4" "$1" -o "$2"
}

# Window images: every source draws at its final size.
for name in title-background title-logo logo-with-text window-minimize window-hide \
            login-user login-lock star star-lit choose-server-combo-button; do
  size=$(sed -n '1s/.*width="\([0-9]*\)" height="\([0-9]*\)".*/\1 \2/p' "$src/$name.svg")
  render "$src/$name.svg" "$res/$name.png" $size
done

# Section icons: the enabled ones in the product blue, the disabled ones grey.
for name in encryption clock key; do
  render "$src/$name.svg" "$res/$name.png" 24 24
  sed 's/#009bdd/#c4c4c7/g' "$src/$name.svg" > "$work/$name-disabled.svg"
  render "$work/$name-disabled.svg" "$res/$name-disabled.png" 24 24
done

# Tray icons: one shield in three state colours. Small sizes get a heavier
# mark and a darker edge so the states stay apart at 16 pixels.
tray_state() { # name top bottom edge
  for size in 256 128 64 48 32 16; do
    if [ "$size" -le 32 ]; then vwidth=15; edgewidth=5; else vwidth=12; edgewidth=2.5; fi
    sed -e "s/@TOP@/$2/" -e "s/@BOTTOM@/$3/" -e "s/@EDGE@/$4/" \
        -e "s/@EDGEWIDTH@/$edgewidth/" -e "s/@VWIDTH@/$vwidth/" "$src/tray.svg.in" > "$work/$1-$size.svg"
    render "$work/$1-$size.svg" "$work/$1-$size.png" "$size" "$size"
  done
  python3 "$src/make-ico.py" "$res/tray/$1.ico" "$work/$1"-{256,128,64,48,32,16}.png
}
mkdir -p "$res/tray"
tray_state tray_off     "#a2a4a8" "#7a7c80" "#5f6064"
tray_state tray_connect "#ffd45c" "#f5b000" "#c98a00"
tray_state tray_on      "#42b0e3" "#0090d0" "#006c9e"

# The application icon of the desktop menu, at the hicolor theme's sizes.
for size in 16 22 24 32 48 64 128 256; do
  render "$root/packaging/icons/varvex.svg" "$root/packaging/icons/varvex-$size.png" "$size" "$size"
done

# Flags.
mkdir -p "$res/flags"
render "$src/flag-auto.svg" "$res/flags/auto.png" 32 33
# Not referred to by the window; kept with the flags as a map marker.
render "$src/location_pin_fill.svg" "$res/flags/location_pin_fill.png" 320 512
case $flags_mode in
  none) ;;
  fetch)
    command -v npm >/dev/null || { echo "npm not found: pass --flags DIR or --no-flags" >&2; exit 1; }
    (cd "$work" && npm pack --silent flag-icons@7.5.0 >/dev/null && tar xzf flag-icons-*.tgz)
    flags_dir=$work/package ;&
  dir)
    cp "$flags_dir/LICENSE" "$res/flags/LICENSE-flag-icons"
    python3 "$src/render-flags.py" "$flags_dir" "$src/flag-codes.txt" "$res/flags" ;;
esac

# The resource list: every image above under the prefix /imgs.
{
  echo '<!DOCTYPE RCC>'
  echo '<RCC version="1.0">'
  echo '  <qresource prefix="/imgs">'
  for name in title-background title-logo logo-with-text window-minimize window-hide \
              login-user login-lock encryption encryption-disabled clock clock-disabled \
              key key-disabled star star-lit choose-server-combo-button; do
    echo "    <file>$name.png</file>"
  done
  for name in tray_off tray_on tray_connect; do
    echo "    <file>tray/$name.ico</file>"
  done
  echo '    <file>flags/location_pin_fill.png</file>'
  echo '    <file>flags/auto.png</file>'
  for code in $(cat "$src/flag-codes.txt"); do
    echo "    <file>flags/$code.png</file>"
  done
  echo '  </qresource>'
  echo '</RCC>'
} > "$res/varvex.qrc"
