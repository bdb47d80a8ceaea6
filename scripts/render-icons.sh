#!/usr/bin/env bash
# Renders the program's icon at the hicolor theme's sizes from resources/icons/dorvane-setup.svg
# into resources/icons/dorvane-setup-N.png (the 32-pixel one is resources/Project1.png, drawn by
# hand, which the others follow). Needs rsvg-convert (package librsvg2-bin); run it after
# changing the drawing and commit the pictures: the build and the package only copy them.
set -euo pipefail
cd "$(dirname "$0")/../resources/icons"
command -v rsvg-convert >/dev/null || { echo "render-icons: install librsvg2-bin" >&2; exit 1; }
for size in 16 24 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" dorvane-setup.svg -o "dorvane-setup-$size.png"
done
