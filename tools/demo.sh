#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The demo: renders the bundled drum-and-bass loop through each of Quennet's factory presets with
# quennet-render, the presets in mode "MIDI" played by the bundled MIDI file, and draws one
# overview picture of the input and every output, and a picture of the editor. Called by
# `make demo` after the build.
#
#   tools/demo.sh [BUILD_DIR [OUT_DIR]]      (defaults: build, out)
set -euo pipefail

build="${1:-build}"
out="${2:-out}"
render="$build/apps/quennet-render"
loop="$build/demo/demo-loop.wav"
notes="$build/demo/demo-notes.mid"
tempo=172  # the loop's and the MIDI file's tempo

for f in "$render" "$loop" "$notes"; do
  if [[ ! -e "$f" ]]; then
    echo "demo: $f is missing; run 'make demo' to build it" >&2
    exit 1
  fi
done

mkdir -p "$out"
outputs=()
# The preset list comes from the program itself: "| index | name | differences |".
while IFS=$'\t' read -r index name settings; do
  slug=$(printf '%s' "$name" | tr '[:upper:]' '[:lower:]' | tr -cs 'a-z0-9' '-' | sed 's/-$//')
  file="$out/$(printf '%02d' "$index")-$slug.wav"
  midi=()
  note=""
  if [[ "$settings" == *"Grain Mode MIDI"* ]]; then
    midi=(--midi "$notes")
    note=", played by $(basename "$notes")"
  fi
  # Float WAV: the MIDI presets sum several voices and go beyond full scale; float keeps that unclipped.
  "$render" --quiet --preset "$index" --tempo "$tempo" --format float "${midi[@]}" "$loop" "$file"
  echo "demo: $file  ($name$note)"
  outputs+=("$file")
done < <("$render" --list-presets --markdown |
         awk -F'|' 'NR > 2 { for (i = 2; i <= 4; ++i) gsub(/^ +| +$/, "", $i); print $2 "\t" $3 "\t" $4 }')

"$render" --overview "$out/overview.png" "$loop" "${outputs[@]}"
echo "demo: $out/overview.png  (the input and all ${#outputs[@]} renders)"

"$render" --preset "MIDI Standard" --editor-picture "$out/editor.png"
echo "demo: $out/editor.png  (the editor with the preset \"MIDI Standard\", at its default size)"
