#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# Installs every Debian package the build and the tests need; `setup.sh bench` adds what only
# the benchmarks use, `setup.sh arm64` what the aarch64 build needs. Idempotent: it asks apt only when a package is missing, and runs
# `apt-get update` once then. Works as root or through sudo.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake pkg-config clang libclang-rt-14-dev
  # the code layout every source keeps (.clang-format; a test checks it)
  clang-format-14
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # audio files (renderer; it reads MIDI files itself)
  libsndfile1-dev
  # drawing (waveform pictures, editor); the editor's font and its rasteriser for the artwork tool
  libcairo2-dev libstb-dev libx11-dev libfreetype-dev fonts-roboto-unhinted
  # the font fuzz target's cut-down copy of the editor's font
  python3-fonttools
  # the editor's X11 window; for its tests a private X server, XTest and XFixes (input, cursors),
  # xdotool, screenshots (xwd, ImageMagick) and the X utilities (xdpyinfo, xwininfo)
  libxext-dev libxtst-dev libxfixes-dev xvfb xdotool x11-apps x11-utils imagemagick
  # HTTPS: the client, and for the tests a loopback server with certificates made at test time
  libcurl4-openssl-dev openssl libssl-dev
  # vectorised logarithm and exponential with run-time CPU dispatch (grain envelopes)
  libsleef-dev
  # LV2: headers, a real host library, validators and hosts the tests drive (Ardour headless
  # through ardour7-lua)
  lv2-dev liblilv-dev lilv-utils serdi sordi lv2file jalv jackd2 jack-tools ardour
  # VST3 and CLAP: the ABI headers only ("travesty", a C rendering of the VST3 interfaces, ISC;
  # the CLAP 1.1 headers, MIT); the package's other sources are not used. Qtractor, a CLAP host the
  # tests drive (with a stand-in ALSA sequencer built against libasound's headers; zlib writes its
  # sessions' plug-in state)
  dpf-source qtractor libasound2-dev zlib1g-dev
  # quennet-jack
  libjack-jackd2-dev
)

# Reference plug-ins the host benchmark compares against.
bench_packages=(zam-plugins)

# The aarch64 build (`make test-arm64`): Debian's cross compiler, the libraries we link for arm64
# through multiarch (beside the native ones), and qemu-user to run its tests.
arm64_packages=(
  g++-aarch64-linux-gnu qemu-user
  libsndfile1-dev:arm64 libfontconfig-dev:arm64 libcairo2-dev:arm64 libfreetype-dev:arm64 libstb-dev:arm64
  libx11-dev:arm64 libxext-dev:arm64 libxtst-dev:arm64 libxfixes-dev:arm64
  libcurl4-openssl-dev:arm64 libssl-dev:arm64 libsleef-dev:arm64 liblilv-dev:arm64
  libgtest-dev:arm64 libgmock-dev:arm64 libjack-jackd2-dev:arm64
)

case "${1:-}" in
  bench) packages+=("${bench_packages[@]}") ;;
  arm64) packages+=("${arm64_packages[@]}") ;;
esac

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  as_root=(sudo)
fi

# arm64 packages come from the same archive once dpkg knows the architecture; the package lists
# then need a refresh, which the install below does.
added_architecture=false
if [[ "${1:-}" == "arm64" ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "setup: adding the arm64 architecture" >&2
  "${as_root[@]}" dpkg --add-architecture arm64
  added_architecture=true
fi

# A package is there when its native (or architecture-independent) copy is installed; a name
# with ":arm64" asks for that copy. With a foreign architecture dpkg lists a bare name once per
# architecture it knows.
native=$(dpkg --print-architecture)
missing=()
for p in "${packages[@]}"; do
  if [[ "$p" == *:* ]]; then
    wanted="${p##*:}"
  else
    wanted="($native|all)"
  fi
  dpkg-query -W -f='${Architecture} ${Status}\n' "$p" 2>/dev/null | grep -Eqx "$wanted install ok installed" ||
    missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 && "$added_architecture" == false ]]; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
