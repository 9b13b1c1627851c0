#!/usr/bin/env bash
# Prepares a Debian 12 (amd64) machine to cross-build the project for 32-bit ARM
# (armhf) and to run the results under qemu-user. Installing needs root. Safe to
# run again: when everything is already installed it only checks and returns.
#
# Host packages are never removed (apt runs with --no-remove). When the armhf
# indexes lag behind the host's (typically a security index that failed to
# download), "Multi-Arch: same" packages cannot be installed for both
# architectures at different versions; the script then pins both to a version
# both architectures have and says so.
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive
readonly TARGET_ARCH=armhf

log() { printf 'setup-armhf: %s\n' "$*"; }
die() { printf 'setup-armhf: error: %s\n' "$*" >&2; exit 1; }

command -v dpkg >/dev/null && command -v apt-get >/dev/null || die "needs a Debian system"
HOST_ARCH=$(dpkg --print-architecture)
[[ $HOST_ARCH != "$TARGET_ARCH" ]] || die "this machine is already $TARGET_ARCH"

HOST_PKGS=(build-essential cmake ninja-build pkg-config protobuf-compiler
           crossbuild-essential-armhf qemu-user)
TARGET_PKGS=()
for p in libboost-dev libboost-thread-dev libprotobuf-dev libsqlite3-dev \
         libgtest-dev libgmock-dev libbenchmark-dev; do
  TARGET_PKGS+=("$p:$TARGET_ARCH")
done

APT_OPTS=(-y --no-remove --no-install-recommends
          -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)

installed_version() { # pkg[:arch] -> version, empty when not installed
  local s
  s=$(dpkg-query -W -f='${db:Status-Abbrev}|${Version}' "$1" 2>/dev/null) || return 0
  [[ $s == ?i* ]] && printf '%s' "${s#*|}"
  return 0
}

missing_packages() {
  local p
  for p in "${HOST_PKGS[@]}" "${TARGET_PKGS[@]}"; do
    [[ -n $(installed_version "$p") ]] || printf '%s\n' "$p"
  done
}

# The host's protoc must stay the native one: protobuf-compiler:armhf would replace it.
check_host_protoc() {
  local arch
  arch=$(dpkg-query -W -f='${Architecture}' protobuf-compiler 2>/dev/null || true)
  [[ $arch == "$HOST_ARCH" ]] || die "protobuf-compiler is '$arch', expected $HOST_ARCH"
  /usr/bin/protoc --version >/dev/null || die "/usr/bin/protoc does not run"
}

# ---- fast path ---------------------------------------------------------------
arch_added=no
dpkg --print-foreign-architectures | grep -x "$TARGET_ARCH" >/dev/null && arch_added=yes
if [[ $arch_added == yes && -z $(missing_packages) ]]; then
  check_host_protoc
  log "already set up: $TARGET_ARCH architecture enabled, all packages installed"
  exit 0
fi

# ---- architecture and indexes -----------------------------------------------
[[ $(id -u) -eq 0 ]] || die "must run as root to install: $(missing_packages | tr '\n' ' ')"
if [[ $arch_added == no ]]; then
  log "adding the $TARGET_ARCH architecture to dpkg"
  dpkg --add-architecture "$TARGET_ARCH"
fi

log "apt-get update"
update_log=$(mktemp)
sim_log=$(mktemp)
pins_file=$(mktemp)
trap 'rm -f "$update_log" "$sim_log" "$pins_file"' EXIT
# A failed index is not fatal here: the pinning below copes with lagging ones.
apt-get update >"$update_log" 2>&1 || true
cat "$update_log"
if grep -Eq "^(E|W): Failed to fetch .*binary-$TARGET_ARCH" "$update_log"; then
  log "NOTE: some $TARGET_ARCH indexes failed to download:"
  grep -E "^(E|W): Failed to fetch .*binary-$TARGET_ARCH" "$update_log" \
    | sed -E 's/^(E|W): Failed to fetch ([^ ]+).*/setup-armhf:   \2/'
  log "NOTE: $TARGET_ARCH may lag behind $HOST_ARCH; versions will be reconciled if needed"
fi

# ---- version reconciliation for Multi-Arch: same packages --------------------
# "apt-cache madison" for many packages at once -> lines "name arch version".
available_versions() {
  [[ $# -gt 0 ]] || return 0
  apt-cache madison "$@" 2>/dev/null | awk -F'|' '{
    name = $1; gsub(/ /, "", name); sub(/:.*/, "", name)
    ver = $2; gsub(/ /, "", ver)
    n = split($3, w, " "); print name, w[n - 1], ver }'
}

# For every Multi-Arch: same package that the target packages pull in and that is
# installed on the host, writes "pkg:arch=version" pins to the file "$1" so both
# architectures get one version, and says on stdout what changes on the host.
reconcile_versions() {
  local out=$1 kind name ver deps arch p v vh common how s
  local -A host_ver=() exact_deps=() tgt_ver=() avail=() sib_avail=()
  local -a closure=() same=() query=() sib_query=() sib_pins=()
  : >"$out"

  # One pass over dpkg's database: "T name version" for target packages,
  # "H name version dep=version..." for host ones, listing their exact (=) dependencies.
  while read -r kind name ver deps; do
    if [[ $kind == T ]]; then tgt_ver[$name]=$ver
    else host_ver[$name]=$ver; [[ -n $deps ]] && exact_deps[$name]=" $deps "
    fi
  done < <(dpkg-query -W -f='${db:Status-Abbrev}|${binary:Package}|${Architecture}|${Version}|${Pre-Depends}, ${Depends}\n' \
           | awk -F'|' -v host="$HOST_ARCH" -v target="$TARGET_ARCH" '
      $1 !~ /^ii/ { next }
      { name = $2; sub(/:.*/, "", name) }
      $3 == target { print "T", name, $4; next }
      $3 != host { next }
      { deps = $5; for (i = 6; i <= NF; i++) deps = deps "|" $i
        n = split(deps, d, /[,|]/); exact = ""
        for (i = 1; i <= n; i++)
          if (match(d[i], /\(= [^)]+\)/)) {
            v = substr(d[i], RSTART + 3, RLENGTH - 4); dn = d[i]
            sub(/^ +/, "", dn); sub(/[ :(].*/, "", dn); exact = exact " " dn "=" v
          }
        print "H", name, $4 exact }')

  mapfile -t closure < <(apt-cache depends --recurse --no-recommends --no-suggests \
      --no-conflicts --no-breaks --no-replaces --no-enhances "${TARGET_PKGS[@]}" 2>/dev/null \
    | grep -E "^[^ <].*:$TARGET_ARCH\$" | sed "s/:$TARGET_ARCH\$//" | sort -u)
  for p in "${closure[@]}"; do
    [[ -n ${host_ver[$p]:-} ]] && query+=("$p:$TARGET_ARCH")
  done
  [[ ${#query[@]} -gt 0 ]] || return 0
  mapfile -t same < <(apt-cache show --no-all-versions "${query[@]}" 2>/dev/null | awk '
    /^Package: / { name = $2 } /^Multi-Arch: same/ { print name }' | sort -u)
  query=()
  for p in "${same[@]}"; do query+=("$p:$TARGET_ARCH" "$p:$HOST_ARCH"); done
  while read -r name arch ver; do
    avail["$name $arch"]+=" $ver "
  done < <(available_versions "${query[@]}")

  for p in "${same[@]}"; do
    vh=${host_ver[$p]}
    # What is installed for the target counts as available to it.
    [[ -n ${tgt_ver[$p]:-} ]] && avail["$p $TARGET_ARCH"]+=" ${tgt_ver[$p]} "
    if [[ ${avail["$p $TARGET_ARCH"]:-} == *" $vh "* ]]; then
      # The host keeps its version; the target side gets the same one.
      echo "$p:$TARGET_ARCH=$vh" >>"$out"
      continue
    fi
    common=""
    for v in ${avail["$p $TARGET_ARCH"]:-}; do
      [[ ${avail["$p $HOST_ARCH"]:-} == *" $v "* ]] || continue
      if [[ -z $common ]] || dpkg --compare-versions "$v" gt "$common"; then common=$v; fi
    done
    if [[ -z $common ]]; then
      log "ERROR: $p is $vh on $HOST_ARCH and no version exists for both architectures" \
          "($TARGET_ARCH has:${avail["$p $TARGET_ARCH"]:- nothing})"
      return 1
    fi
    how=upgrading
    dpkg --compare-versions "$common" lt "$vh" && how=downgrading
    log "PIN $p: $HOST_ARCH has $vh, which $TARGET_ARCH does not have;" \
        "$how $p:$HOST_ARCH to $common and installing $p:$TARGET_ARCH $common"
    printf '%s\n' "$p:$HOST_ARCH=$common" "$p:$TARGET_ARCH=$common" >>"$out"
    # Host packages that need exactly the old version (libssl-dev on libssl3) move
    # along; otherwise apt would rather remove them.
    for s in "${!exact_deps[@]}"; do
      [[ ${exact_deps[$s]} == *" $p=$vh "* ]] || continue
      sib_query+=("$s:$HOST_ARCH"); sib_pins+=("$s $common")
    done
  done

  while read -r name arch ver; do sib_avail["$name"]+=" $ver "; done \
    < <(available_versions "${sib_query[@]}")
  for s in "${sib_pins[@]}"; do
    name=${s% *}; v=${s#* }
    awk -F= -v n="$name:$HOST_ARCH" '$1 == n { f = 1 } END { exit !f }' "$out" && continue
    if [[ ${sib_avail[$name]:-} == *" $v "* ]]; then
      log "PIN $name: it needs an exact version of a pinned package; moving $name:$HOST_ARCH ${host_ver[$name]} -> $v along"
      echo "$name:$HOST_ARCH=$v" >>"$out"
    fi
  done
}

# ---- install -----------------------------------------------------------------
ALL_PKGS=("${HOST_PKGS[@]}" "${TARGET_PKGS[@]}")
if apt-get install -s "${APT_OPTS[@]}" "${ALL_PKGS[@]}" >"$sim_log" 2>&1; then
  log "installing: ${ALL_PKGS[*]}"
  apt-get install "${APT_OPTS[@]}" "${ALL_PKGS[@]}"
else
  log "apt cannot install the $TARGET_ARCH packages as they are; its report:"
  sed -n '/unmet dependencies/,$p' "$sim_log"
  log "checking Multi-Arch: same packages for $HOST_ARCH/$TARGET_ARCH version mismatches"
  reconcile_versions "$pins_file" || die "cannot reconcile $HOST_ARCH and $TARGET_ARCH versions"
  mapfile -t PINS <"$pins_file"
  log "pinning both architectures to common versions: ${PINS[*]}"
  if ! apt-get install -s --allow-downgrades "${APT_OPTS[@]}" "${ALL_PKGS[@]}" "${PINS[@]}" \
         >"$sim_log" 2>&1; then
    cat "$sim_log"
    die "apt still cannot install the packages with those versions pinned"
  fi
  # "Inst name [old] (new ...)" lines without the target suffix are host packages changing.
  host_changes=$(grep -E '^Inst [^ ]+ \[' "$sim_log" | grep -v "^Inst [^ ]*:$TARGET_ARCH " || true)
  if [[ -n $host_changes ]]; then
    log "host packages that change version:"
    sed -E 's/^Inst ([^ ]+) \[([^]]+)\] \(([^ ]+).*/setup-armhf:   \1 \2 -> \3/' <<<"$host_changes"
  fi
  log "installing with pinned versions (apt downgrades nothing but what is pinned)"
  apt-get install --allow-downgrades "${APT_OPTS[@]}" "${ALL_PKGS[@]}" "${PINS[@]}"
fi

check_host_protoc
[[ -n $(missing_packages) ]] && die "still missing: $(missing_packages | tr '\n' ' ')"
for tool in arm-linux-gnueabihf-gcc arm-linux-gnueabihf-g++ qemu-arm cmake ninja; do
  command -v "$tool" >/dev/null || die "$tool not found after installation"
done
[[ -e /lib/ld-linux-armhf.so.3 ]] || die "/lib/ld-linux-armhf.so.3 missing (libc6:$TARGET_ARCH)"
log "done: cross compilers, qemu-arm and the $TARGET_ARCH libraries are installed"
