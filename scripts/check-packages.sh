#!/usr/bin/env bash
# Builds the Debian packages and checks them on this machine, as root: lintian
# finds no errors, each package holds its files, they install, cdsd runs as the
# service would, an application built from the -dev package talks to it, and
# they remove cleanly. Then the armhf packages build. Leaves the machine as it
# found it. Run after scripts/test.sh (and scripts/test-armhf.sh), whose build
# directories it reuses.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
packages=(libtova-mn-cdsapi0 libtova-mn-cdsapi-dev cds-daemon)
unit=/usr/lib/systemd/system/cdsd.service
socket=/run/cds/cds.sock

fail() { echo "check-packages: FAIL: $*" >&2; exit 1; }
start=$(date +%s)
say() { echo "check-packages: $* ($(( $(date +%s) - start )) s)"; }
[ "$(id -u)" -eq 0 ] || fail "must run as root (it installs the packages)"
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^.i'; then
    fail "$p is already installed here; remove it first"
  fi
done
if ! command -v lintian >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends lintian
fi

# Each package's files, as extended regular expressions over dpkg-deb --contents.
expect_files() { # deb pattern...
  local deb=$1 listing
  shift
  listing=$(dpkg-deb --contents "$deb" | awk '{print $6}')
  for pattern in "$@"; do
    grep -Eqx "$pattern" <<<"$listing" || fail "$(basename "$deb") lacks $pattern"
  done
}
check_contents() { # dir
  local lib='\./usr/lib/[a-z0-9_]+-linux-gnu[a-z]*/'  # the multiarch directory
  expect_files "$1"/libtova-mn-cdsapi0_*.deb \
    "${lib}libtova-mn-cdsapi\.so\.0" "${lib}libzu\.so\.0" "${lib}libtova-mn-common\.so\.0" "${lib}libcds-store\.so\.0" \
    '\./usr/share/doc/libtova-mn-cdsapi0/copyright'
  expect_files "$1"/libtova-mn-cdsapi-dev_*.deb \
    '\./usr/include/cdsapi/CdsAccessor\.h' '\./usr/include/zu/cds/CClient\.h' '\./usr/include/zu/proto/zu\.pb\.h' \
    "${lib}libtova-mn-cdsapi\.so" "${lib}pkgconfig/tova-mn-cdsapi\.pc" "${lib}cmake/cdsapi/cdsapiConfig\.cmake"
  expect_files "$1"/cds-daemon_*.deb '\./usr/bin/cdsd' '\./usr/bin/cdsctl' "\.$unit" \
    '\./usr/share/man/man8/cdsd\.8\.gz' '\./usr/share/man/man1/cdsctl\.1\.gz'
  # The SONAME and shlibs entry that other packages' dependencies come from.
  dpkg-deb --ctrl-tarfile "$1"/libtova-mn-cdsapi0_*.deb | tar -xO ./shlibs \
    | grep -q '^libtova-mn-cdsapi 0 libtova-mn-cdsapi0 ' || fail "libtova-mn-cdsapi0 has no shlibs entry for libtova-mn-cdsapi.so.0"
  dpkg-deb --field "$1"/cds-daemon_*.deb Depends | grep -q 'libc6 (>=' \
    || fail "cds-daemon's dependencies were not computed from its programs"
}

say "building the amd64 packages"
bash "$repo/scripts/package.sh"
debs=$repo/build/packages
check_contents "$debs"

say "lintian"
status=0
lintian_out=$(lintian --fail-on error "$debs"/*.deb 2>&1) || status=$?
grep -v 'running with root privileges' <<<"$lintian_out" || true
[ "$status" -eq 0 ] || fail "lintian reports errors"

tmp=$(mktemp -d)
chmod 755 "$tmp"
had_user=no
getent passwd cds >/dev/null && had_user=yes
daemon_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
  if [ "$had_user" = no ] && getent passwd cds >/dev/null; then
    deluser --system --quiet cds >/dev/null 2>&1 || true
    getent group cds >/dev/null && delgroup --system --quiet cds >/dev/null 2>&1 || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

say "installing"
dpkg -i "$debs"/*.deb >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg -i"; }
getent passwd cds >/dev/null || fail "the package made no user cds"
[ "$(stat -c '%U:%G %a' /var/lib/cds)" = "cds:cds 750" ] || fail "/var/lib/cds is $(stat -c '%U:%G %a' /var/lib/cds)"

# Every key of the unit known to systemd and valid, its program and man pages there.
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$out" ] || fail "systemd-analyze verify $unit: $out"
else
  say "no systemd-analyze here: the unit is not verified"
fi

unit_value() { sed -n "s/^$1=//p" "$unit"; }
if [ -d /run/systemd/system ]; then
  say "starting the service with systemd"
  systemctl start cdsd.service
else
  # No systemd here: what the unit would do, as far as this machine allows. The
  # runtime directory, then ExecStart as User:Group without new privileges.
  say "no systemd: starting cdsd as the unit's ExecStart would"
  user=$(unit_value User)
  group=$(unit_value Group)
  install -d -o "$user" -g "$group" -m "$(unit_value RuntimeDirectoryMode)" "/run/$(unit_value RuntimeDirectory)"
  read -r -a exec_start <<<"$(unit_value ExecStart)"
  setpriv --reuid="$user" --regid="$group" --init-groups --no-new-privs -- "${exec_start[@]}" 2>"$tmp/cdsd.log" &
  daemon_pid=$!
fi
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || { cat "$tmp/cdsd.log" 2>/dev/null; fail "no socket at $socket"; }
[ "$(stat -c '%U:%G %a' "$socket")" = "cds:cds 660" ] || fail "$socket is $(stat -c '%U:%G %a' "$socket")"

say "an application built with pkg-config against the installed package"
# shellcheck disable=SC2046
g++ -o "$tmp/first-app" "$repo/examples/first_app.cc" $(pkg-config --cflags --libs tova-mn-cdsapi)
# A process of group cds connects; one outside it is kept out by the socket's mode.
out=$(setpriv --reuid=nobody --regid=cds --clear-groups timeout 30 "$tmp/first-app") || fail "first-app in group cds failed: $out"
grep -Eq '^device [0-9]+ temperature 21\.5$' <<<"$out" || fail "first-app said: $out"
if setpriv --reuid=nobody --regid=nogroup --clear-groups timeout 30 "$tmp/first-app" >/dev/null 2>&1; then
  fail "a process outside group cds could use the store"
fi
cdsctl tree >/dev/null || fail "the installed cdsctl cannot read the store"
[ "$(stat -c '%U:%G' /var/lib/cds/store.db)" = "cds:cds" ] || fail "the service keeps no store file in /var/lib/cds"

say "stopping"
if [ -n "$daemon_pid" ]; then
  kill -TERM "$daemon_pid"
  status=0
  wait "$daemon_pid" || status=$?
  daemon_pid=
  [ "$status" -eq 0 ] || { cat "$tmp/cdsd.log"; fail "cdsd exited with $status on SIGTERM"; }
  rm -rf "/run/$(unit_value RuntimeDirectory)"
else
  systemctl stop cdsd.service
fi
[ ! -e "$socket" ] || fail "the socket outlived the daemon"

say "removing"
# Every file the packages brought must go; directories such as /usr/lib stay.
files=$(dpkg -L "${packages[@]}" | sort -u)
dpkg -r "${packages[@]}" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg -r"; }
for p in "${packages[@]}"; do
  dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^.i' && fail "$p is still installed"
done
while read -r f; do
  [ -f "$f" ] || [ -L "$f" ] || continue
  fail "$f is left after dpkg -r"
done <<<"$files"
cleanup
trap - EXIT

say "building the armhf packages"
bash "$repo/scripts/package.sh" armhf
check_contents "$repo/build-armhf/packages"
for deb in "$repo"/build-armhf/packages/*.deb; do
  [ "$(dpkg-deb --field "$deb" Architecture)" = armhf ] || fail "$(basename "$deb") is not for armhf"
done
say "all checks passed"
