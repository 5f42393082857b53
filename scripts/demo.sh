#!/usr/bin/env bash
# Builds wrenpost and shows it at work on a self-contained demo.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
wp_install_deps
wp_build default build >/dev/null
./build/wrenpost -h
