#!/usr/bin/env bash
# The Debian package as a user gets it:
#
#   tests/package/deb_test.sh PACKAGE.deb DEMO
#
# checks PACKAGE.deb with lintian (errors fail), installs it with apt-get
# (which pulls its dependencies), checks that it lists the programs and their
# manual pages, scans the GTK3 demo DEMO with the installed
# /usr/bin/kestreye inside a headless desktop (scripts/session), then purges
# the package and checks that none of its files is left. Run as root, on a
# machine where no kestreye package is installed: the package is removed
# again also when a step fails.
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: tests/package/deb_test.sh PACKAGE.deb DEMO" >&2
  exit 2
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
deb=$(realpath "$1")
demo=$(realpath "$2")

fail() {
  echo "package test: FAIL: $*" >&2
  exit 1
}

if dpkg-query -W kestreye >/dev/null 2>&1; then
  fail "a kestreye package is already on this machine; remove it first (dpkg --purge kestreye)"
fi

installed=
purge() {
  [[ -n $installed ]] || return 0
  installed=
  dpkg --purge kestreye >/dev/null
}
trap purge EXIT

lintian --fail-on error "$deb" || fail "lintian rejects $deb"

export DEBIAN_FRONTEND=noninteractive
# Another apt or dpkg run on the machine holds the lock for a while at most.
apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=300 "$deb" >/dev/null
installed=1
echo "package test: installed $(dpkg-query -W -f='${Package} ${Version} (${Depends})' kestreye)"

mapfile -t listing < <(dpkg -L kestreye)
for path in /usr/bin/kestreye /usr/bin/kestreye-mcp /usr/bin/kestreye-record \
  /usr/bin/kestreye-replay /usr/share/man/man1/kestreye.1.gz \
  /usr/share/man/man1/kestreye-mcp.1.gz /usr/share/doc/kestreye/copyright; do
  printf '%s\n' "${listing[@]}" | grep -qxF "$path" || fail "dpkg -L kestreye does not list $path"
  [[ -e $path ]] || fail "$path is listed but missing"
done
for program in kestreye kestreye-mcp kestreye-record kestreye-replay; do
  if ldd "/usr/bin/$program" | grep -q 'not found'; then
    fail "/usr/bin/$program misses a library the package does not depend on: $(ldd "/usr/bin/$program" | grep 'not found')"
  fi
done
gzip -dc /usr/share/man/man1/kestreye.1.gz | grep -q '^\.TH KESTREYE 1 ' || fail "kestreye.1.gz is no kestreye(1) page"

# The installed program, not the build tree's, scans the demo's focused field.
"$root/scripts/session" python3 "$root/tests/matrix/desktop.py" \
  --kestreye /usr/bin/kestreye --demo "$demo" e2e.email_form ||
  fail "/usr/bin/kestreye did not describe the demo's focused field"

purge
if dpkg-query -W -f='${Status}' kestreye 2>/dev/null | grep -q .; then
  fail "dpkg still knows kestreye after the purge"
fi
for path in "${listing[@]}"; do
  # Shared folders (/usr/bin, /usr/share/man/man1) stay; every file of ours
  # and every folder of our own goes.
  if [[ -L $path || -f $path ]] || [[ -d $path && $path == *kestreye* ]]; then
    fail "$path is left after the purge"
  fi
done
echo "package test: PASS (installed, listed, scanned the demo, purged)"
