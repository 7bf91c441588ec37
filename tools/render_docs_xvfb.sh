#!/usr/bin/env bash
# Draws the README's pictures with the windows framed by a real window
# manager: render_docs on a private Xvfb display with openbox
# (apt-get install xvfb openbox). Pictures at twice the size, as offscreen.
#
#   tools/render_docs_xvfb.sh BUILD/tools/render_docs [folder]
set -euo pipefail
render_docs=${1:?usage: render_docs_xvfb.sh PATH/TO/render_docs [folder]}
folder=${2:-docs}
command -v Xvfb >/dev/null && command -v openbox >/dev/null || {
    echo "render_docs_xvfb.sh: needs Xvfb and openbox" >&2
    exit 2
}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 2400x2000x24 -nolisten tcp &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; rm -rf "$home"' EXIT
sleep 1
DISPLAY=$display HOME=$home openbox &
sleep 1
DISPLAY=$display HOME=$home QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=2 "$render_docs" "$folder"
