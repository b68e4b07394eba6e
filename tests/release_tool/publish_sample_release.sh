#!/bin/sh
# Publishes a small signed release with the release tool into <out>/server, from sample files in
# <out>/release, with its key in <out>/keys; then has the tool check what it wrote.
# Usage: publish_sample_release.sh <vesk-release> <out>
set -eu
tool="$1"
out="$2"
rm -rf "$out"
mkdir -p "$out/release/plugins"
# The core files and the program itself: sizes around the 8192-byte read buffer, an empty file, a real DLL.
head -c 70001 /dev/urandom >"$out/release/Updater.exe"
head -c 8193 /dev/urandom >"$out/release/libcurl.dll"
head -c 8192 /dev/urandom >"$out/release/libsodium.dll"
cp /usr/x86_64-w64-mingw32/lib/zlib1.dll "$out/release/zlib1.dll"
head -c 150000 /dev/urandom >"$out/release/VESK_Updater.exe"
: >"$out/release/notes.txt"
seq 1 5000 >"$out/release/plugins/extra.dat"
# Large and compressible: an archive of many deflate blocks for the updater's reader.
seq 1 400000 >"$out/release/plugins/large.log"
"$tool" keygen --out "$out/keys" --name sample
"$tool" publish --from "$out/release" --version 2.1 --build 345 --out "$out/server" \
  --key "$out/keys/sample.pem" --signer "VESK release tests"
"$tool" check "$out/server/manifest.json" --require-signature
