#!/usr/bin/env bash
# Rebuilds echo.ihx from echo.c with sdcc (Debian package sdcc). The built file is committed so that
# the demo and the tests can use it without a compiler.
set -euo pipefail
cd "$(dirname "$0")"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
sdcc -mmcs51 --code-size 8192 -o "$out/" echo.c
cp "$out/echo.ihx" echo.ihx
