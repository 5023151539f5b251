#!/usr/bin/env bash
# Puts links to the client's fonts (Roboto and Roboto Condensed from Debian's
# fonts-roboto-unhinted) into FOLDER, the "Fonts" folder the client loads
# from its working directory.
#
# Usage: scripts/link-fonts.sh FOLDER
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 FOLDER" >&2
  exit 2
fi
target=$1
fonts=${VARVEX_ROBOTO_DIR:-/usr/share/fonts/truetype/roboto/unhinted}

if [ ! -d "$fonts" ]; then
  echo "$fonts not found (apt-get install fonts-roboto-unhinted)" >&2
  exit 1
fi

mkdir -p "$target"
linked=0
for family in Roboto RobotoCondensed; do
  for style in Regular Bold Medium Light; do
    # The package keeps Roboto in a subfolder and Roboto Condensed beside it.
    file=$(find "$fonts" -name "$family-$style.ttf" -print -quit)
    if [ -z "$file" ]; then
      continue
    fi
    ln -sfn "$file" "$target/$family-$style.ttf"
    linked=$((linked + 1))
  done
done

if [ "$linked" -eq 0 ]; then
  echo "no Roboto fonts found under $fonts" >&2
  exit 1
fi
