#!/usr/bin/env bash
# Rebuilds listing.ihx from listing.c with sdcc (Debian package sdcc). The built file is committed so
# that the tests can use it without a compiler.
set -euo pipefail
cd "$(dirname "$0")"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
sdcc -mmcs51 --code-size 8192 --iram-size 256 -o "$out/" listing.c
cp "$out/listing.ihx" listing.ihx
