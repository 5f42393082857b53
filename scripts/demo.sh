#!/usr/bin/env bash
# Builds wrenpost and shows it at work: a point polls a real binkd boss on
# 127.0.0.1, exports, receives a day of echomail and tosses it.
# WRENPOST=/usr/bin/wrenpost runs that program (an installed package) in place
# of the one built here; the build still provides the demo's helper tool.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
wp_install_deps
wp_build default build >/dev/null
exec python3 scripts/demo.py build ${WRENPOST:+"$WRENPOST"}
