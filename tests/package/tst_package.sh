#!/usr/bin/env bash
# Installs the Debian package into a clean Debian 12 root and runs it there:
# --version, --help, doctor (text and JSON) on a machine where nothing is set
# up, and systemd-analyze verify on the user unit it ships. Skips (status
# 77) with the reason when the root cannot be built here.
#
#   tst_package.sh <source folder>
# HALVEX_PACKAGE_DEB=<file> tests that package instead of building one with
# scripts/package; the clean root is cached in $HALVEX_OPENCLAW_CACHE (the
# test cache scripts/test sets) as debian12-base.
set -euo pipefail
source_dir=$(cd "$1" && pwd)

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

[[ $(id -u) -eq 0 ]] || skip "entering a Debian root (chroot) needs root"
command -v debootstrap >/dev/null || skip "debootstrap is not installed (apt-get install debootstrap)"
command -v python3 >/dev/null || skip "python3 is needed to read the doctor's JSON"

cache=${HALVEX_OPENCLAW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/halvex-test}
base=$cache/debian12-base
mirror=${HALVEX_DEBIAN_MIRROR:-http://deb.debian.org/debian}
mkdir -p "$cache"
if [[ ! -x $base/usr/bin/apt-get ]]; then
  echo "Building a clean Debian 12 root from $mirror (once; cached in $base)"
  rm -rf --one-file-system "$base.partial"
  if ! debootstrap --variant=minbase bookworm "$base.partial" "$mirror" >"$cache/debootstrap.log" 2>&1; then
    tail -n 5 "$cache/debootstrap.log"
    skip "debootstrap could not build a Debian 12 root from $mirror (log: $cache/debootstrap.log)"
  fi
  rm -rf --one-file-system "$base"
  mv "$base.partial" "$base"
fi

deb=${HALVEX_PACKAGE_DEB:-}
if [[ -z $deb ]]; then
  echo "Building the package with scripts/package"
  deb=$(HALVEX_SKIP_INSTALL_DEPS=1 "$source_dir/scripts/package" 2>"$cache/package.log" | tail -n 1) ||
    { tail -n 20 "$cache/package.log"; fail "scripts/package failed"; }
fi
[[ -f $deb ]] || fail "no package at '$deb'"
echo "Package: $deb"

root=$(mktemp -d /var/tmp/halvex-debian12.XXXXXX)
cleanup() {
  # Whatever the checks left running in the root (a bus or agent a tool
  # started) goes first; a /proc still busy is detached lazily, so the root
  # can always be removed.
  local p
  for p in /proc/[0-9]*; do
    [[ $(readlink "$p/root" 2>/dev/null) == "$root" ]] && kill -KILL "${p#/proc/}" 2>/dev/null
  done
  umount "$root/proc" 2>/dev/null || umount -l "$root/proc" 2>/dev/null || true
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
cp -a "$base/." "$root/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
cp "$deb" "$root/tmp/halvex-bridge.deb"

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

echo "Installing the package and its dependencies in the clean root"
in_root apt-get update -qq >/dev/null || skip "apt-get update in the clean root failed (no Debian mirror reachable?)"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  /tmp/halvex-bridge.deb systemd >"$cache/apt-install.log" 2>&1 ||
  { tail -n 20 "$cache/apt-install.log"; fail "the package does not install in a clean Debian 12"; }

echo "--- dpkg -L halvex-bridge"
in_root dpkg -L halvex-bridge | grep -E 'bin/|libexec/|\.service|\.desktop|scalable|256x256|man1' || true
for f in /usr/bin/halvex-bridge /usr/libexec/halvex-bridge/halvex-bridge-tray \
         /usr/lib/systemd/user/halvex-bridge.service \
         /usr/share/applications/com.halvex.bridge.desktop \
         /usr/share/icons/hicolor/scalable/apps/com.halvex.bridge.svg \
         /usr/share/icons/hicolor/48x48/apps/com.halvex.bridge.png \
         /usr/share/man/man1/halvex-bridge.1.gz; do
  [[ -s $root$f ]] || fail "the package lacks $f"
done

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/com.halvex.bridge.desktop" ||
    fail "desktop-file-validate rejects the desktop entry"
fi

echo "--- halvex-bridge --version"
version=$(in_root halvex-bridge --version)
echo "$version"
[[ $version =~ ^halvex-bridge\ [0-9]+\.[0-9]+ ]] || fail "unexpected --version output"

in_root halvex-bridge --help | grep -q '^  doctor' || fail "--help does not list the doctor"
status=0
in_root halvex-bridge --no-such-option >/dev/null 2>&1 || status=$?
[[ $status -eq 2 ]] || fail "an unknown option exits with $status, not 2"

echo "--- halvex-bridge doctor (nothing set up)"
status=0
in_root halvex-bridge doctor || status=$?
[[ $status -eq 1 ]] || fail "doctor exits with $status on a machine that cannot answer chats"
status=0
in_root halvex-bridge doctor --json >"$root/tmp/doctor.json" || status=$?
[[ $status -eq 1 ]] || fail "doctor --json exits with $status"
python3 - "$root/tmp/doctor.json" <<'PY' || fail "doctor --json is not what it should be"
import json, sys
report = json.load(open(sys.argv[1]))
checks = {c["id"]: c for c in report["checks"]}
assert report["canAnswerChats"] is False
assert checks["credential-store"]["status"] == "passed", checks["credential-store"]
assert checks["bridge-token"]["status"] == "failed" and checks["bridge-token"]["fix"]
assert checks["chats"]["status"] == "failed"
PY

echo "--- the desktop-bus module"
in_root dpkg -L halvex-bridge | grep -q '/halvex-bridge/halvex-desktop-bus\.so$' ||
  fail "the package lacks the desktop-bus module"
# `detect` looks for gateways on the local network through it.
errors=$(in_root halvex-bridge detect 2>&1 >/dev/null) || true
[[ $errors != *halvex-desktop-bus* ]] || fail "the installed program cannot use its desktop-bus module: $errors"

echo "--- the Secret Service module"
module=$(in_root dpkg -L halvex-bridge | grep '/halvex-bridge/halvex-secret-service\.so$') ||
  fail "the package lacks the Secret Service module"
echo "$module"
# With a session bus configured (one that is not there) the installed
# program of a user who has not chosen a store yet loads the module and asks
# it; only a missing or broken module would be named in the store's detail.
status=0
in_root env DBUS_SESSION_BUS_ADDRESS=unix:path=/tmp/no-bus XDG_CONFIG_HOME=/tmp/bus-user \
  halvex-bridge doctor --json \
  >"$root/tmp/doctor-bus.json" 2>/dev/null || status=$?
[[ $status -eq 1 ]] || fail "doctor --json with a session bus configured exits with $status"
python3 - "$root/tmp/doctor-bus.json" <<'PY' || fail "the installed program does not use its Secret Service module"
import json, sys
checks = {c["id"]: c for c in json.load(open(sys.argv[1]))["checks"]}
detail = checks["credential-store"]["detail"]
assert detail.startswith("private file store holds") and "not usable" not in detail, detail
PY

echo "--- systemd-analyze verify --user halvex-bridge.service"
mkdir -p "$root/run/user/0" && chmod 700 "$root/run/user/0"
in_root env XDG_RUNTIME_DIR=/run/user/0 systemd-analyze verify --user --man=no \
  /usr/lib/systemd/user/halvex-bridge.service || fail "systemd-analyze verify rejects the unit"
echo "--- systemd-analyze security --user halvex-bridge.service"
# The unit's confinement: an exposure of 4.0 or less (3.9 when written).
in_root env XDG_RUNTIME_DIR=/run/user/0 systemd-analyze security --user --offline=yes --threshold=40 \
  /usr/lib/systemd/user/halvex-bridge.service | tail -n 1 ||
  fail "the unit's exposure rose above 4.0 (systemd-analyze security)"
echo "PASS"
