#!/usr/bin/env bash
# Installs the built package on this machine, checks it as a user would meet
# it, and removes it again, proving that removal leaves nothing behind:
# --version, both manual pages, the desktop entry, the user units, and the
# demo against the installed program. Needs root; the machine must not have
# wrenpost installed already. Build the package first: bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(ls dist/wrenpost_*.deb | tail -n 1)
if dpkg-query -W -f='${Status}' wrenpost 2>/dev/null | grep -q "installed"; then
    echo "wrenpost is installed already; remove it first" >&2
    exit 1
fi
snapshot() {
    find /usr /etc /opt /var/lib/systemd 2>/dev/null | sort
}
before=$(mktemp) after=$(mktemp) runtime=$(mktemp -d)
trap 'rm -rf "$before" "$after" "$runtime"' EXIT
snapshot >"$before"

echo "=== install $deb ==="
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
removed=false
remove() { $removed || { dpkg -r wrenpost >/dev/null; removed=true; }; }
trap 'remove; rm -rf "$before" "$after" "$runtime"' EXIT

test "$(wrenpost --version)" = "wrenpost $(dpkg-query -W -f='${Version}' wrenpost)"
echo "wrenpost --version: $(wrenpost --version)"
for page in "1 wrenpost" "5 wrenpost.cfg"; do
    MANWIDTH=80 man $page | grep -q "^NAME" && echo "man $page: shown"
done
desktop-file-validate /usr/share/applications/wrenpost.desktop && echo "desktop entry: valid"
XDG_RUNTIME_DIR=$runtime systemd-analyze verify --user /usr/lib/systemd/user/wrenpost-poll.timer \
    /usr/lib/systemd/user/wrenpost-poll.service && echo "user units: verified"

echo "=== demo against /usr/bin/wrenpost ==="
WRENPOST=/usr/bin/wrenpost bash scripts/demo.sh | tail -n 3

echo "=== remove ==="
remove
snapshot >"$after"
if ! diff "$before" "$after"; then
    echo "removal left files behind (above)" >&2
    exit 1
fi
if dpkg-query -W wrenpost >/dev/null 2>&1; then
    echo "dpkg still lists wrenpost after removal" >&2
    exit 1
fi
echo "removed: nothing left behind"
