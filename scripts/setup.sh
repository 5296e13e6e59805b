#!/usr/bin/env bash
# Installs what the README's commands need on a Debian machine, by groups:
#
#   bash scripts/setup.sh [GROUP...]      (no GROUP: every group)
#
# Each command asks only for the groups it uses: demo.sh for demo (and mqtt
# with --mqtt), package.sh for demo, windows and package, test-all.sh for all
# but mqtt. Only what is missing is installed, so it is safe to run again.
#
# Package mirrors are re-synced all the time, so a set-up must not hinge on
# every index being in step: apt-get update is tried twice, and an index that
# still fails is named on one line and left out. Setup fails (exit 1) only when
# a package of a group it was asked for cannot be installed, naming the package
# and apt's error. The 32-bit Wine is optional: when it cannot be installed or
# cannot run here, one line says so and the exit status stays 0.
#
# Every call that changes the machine goes through apt-get, dpkg and
# dpkg-query as found on PATH (scripts/tests/setup_test.sh puts stubs there).

# The groups are read by name (group_$name), which shellcheck cannot follow.
# shellcheck disable=SC2034
set -uo pipefail

# What builds and runs the Linux driver and zemhost (libsystemd for a service
# manager's notify socket). Configuring the linux preset also looks for
# GoogleTest, the mosquitto broker and mbpoll (the tests run them), so they
# are here too; mbpoll also shows demo.sh --modbus.
group_demo=(cmake ninja-build g++ pkg-config libcli11-dev libmosquitto-dev libsystemd-dev
            mosquitto libmodbus-dev mbpoll googletest libgtest-dev)
# The clients demo.sh --mqtt shows the broker's messages with.
group_mqtt=(mosquitto-clients)
# What the Linux tests need beyond demo: clang with its sanitizer and fuzzer
# runtimes (the fuzz preset), clang-tidy and cppcheck (the lint test), and
# pymodbus, a Modbus client apart from the server's library (Debian's wants
# serial-asyncio beside it).
group_test=(clang libclang-rt-14-dev clang-tidy cppcheck python3-pymodbus python3-serial-asyncio)
# The Windows cross builds and the Wine that runs their tests (64-bit). Like
# every build they need demo's group too (CMake, CLI11, GoogleTest's sources).
group_windows=(g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
               g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
               wine wine64)
# Packing the .deb and the ZIP (dpkg-shlibdeps, file, help2man's manual
# pages) and checking them (lintian, unzip; systemd for where units go, for
# systemd-analyze and for systemd-sysusers in a scratch root).
group_package=(dpkg-dev file help2man lintian unzip systemd)
# Optional: the 32-bit Wine that runs the i686 build's tests, for machines
# that can execute 32-bit programs. Without it windows-x64 runs them.
group_wine32=(wine32:i386)
groups=(demo mqtt test windows package wine32)

wine32_loader=/usr/lib/wine/wine
wine32_fallback="the Windows suites run under wine64 (windows-x64) and the package checks skip the ZIP's Wine run"

usage() {
  echo "usage: setup.sh [GROUP...] with GROUP among: ${groups[*]} (none: all of them)" >&2
  exit 2
}

say() { echo "setup: $*"; }
warn() { echo "setup: $*" >&2; }

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# apt's reason in one line: the first unmet dependency it names, then its
# first error.
apt_reason() {
  local depends error
  depends=$(grep -m1 -E '^ +[^ ]+ : (Pre)?Depends:' <<<"$1" | sed 's/^ *//')
  error=$(grep -m1 '^E: ' <<<"$1")
  [[ -n $error ]] || error=$(grep -v '^ *$' <<<"$1" | tail -n1)
  if [[ -n $depends ]]; then echo "$depends; $error"; else echo "${error:-apt-get gave no reason}"; fi
}

apt_install() {
  apt-get install -y -qq --no-install-recommends "$@" 2>&1
}

# apt-get update, once more if it fails. An index that fails both times is
# named and left out: the install below tells whether anything needed was in it.
update_indexes() {
  local output attempt
  for attempt in 1 2; do
    if output=$(apt-get update -qq 2>&1); then
      return
    fi
    ((attempt == 1)) && say "apt-get update failed, trying once more"
  done
  local failed
  failed=$(sed -n 's/^[WE]: Failed to fetch \([^ ]*\) *\(.*\)/\1: \2/p' <<<"$output" |
           sed 's/ *\[IP: [^]]*\]$//')
  if [[ -z $failed ]]; then
    warn "apt-get update failed twice ($(apt_reason "$output")); going on with the package lists there are"
    return
  fi
  local line
  while IFS= read -r line; do
    warn "index not updated (apt-get update failed twice), going on without it: $line"
  done <<<"$failed"
}

# Installs the packages as one batch; when apt refuses the batch, one by one,
# so that each one that fails is named and none blocks the others. Records
# apt's reason for each package not installed in cannot_install.
declare -A cannot_install=()
install_needed() {
  local output package
  if ! output=$(apt_install "$@"); then
    for package in "$@"; do
      output=$(apt_install "$package") || cannot_install[$package]=$(apt_reason "$output")
    done
  fi
  # apt's exit status alone is not trusted: dpkg must list each one.
  for package in "$@"; do
    if [[ -z ${cannot_install[$package]:-} ]] && ! installed "$package"; then
      cannot_install[$package]="apt-get reported success, but dpkg does not list it as installed"
    fi
  done
}

# The 32-bit Wine, each package on its own: it needs the i386 architecture,
# whose indexes are the ones most often out of step with the amd64 ones.
install_wine32() {
  local output package
  for package in "${group_wine32[@]}"; do
    installed "$package" && continue
    output=$(apt_install "$package")
    if ! installed "$package"; then
      warn "the optional 32-bit Wine ($package) cannot be installed ($(apt_reason "$output")): $wine32_fallback"
      return
    fi
    say "$package installed"
  done
  if ! "$wine32_loader" --version >/dev/null 2>&1; then
    warn "the 32-bit Wine is installed but this machine cannot execute 32-bit programs ($wine32_loader --version failed): $wine32_fallback"
  fi
}

asked=("$@")
((${#asked[@]})) || asked=("${groups[@]}")
needed=()
declare -A group_of=()
with_wine32=no
for group in "${asked[@]}"; do
  [[ " ${groups[*]} " == *" $group "* ]] || usage
  if [[ $group == wine32 ]]; then
    with_wine32=yes
    continue
  fi
  declare -n members=group_$group
  for package in "${members[@]}"; do
    if [[ -z ${group_of[$package]:-} ]]; then
      needed+=("$package")
      group_of[$package]=$group
    fi
  done
  unset -n members
done

missing=()
for package in "${needed[@]}"; do
  installed "$package" || missing+=("$package")
done
wine32_missing=no
if [[ $with_wine32 == yes ]]; then
  for package in "${group_wine32[@]}"; do
    installed "$package" || wine32_missing=yes
  done
fi

export DEBIAN_FRONTEND=noninteractive
if ((${#missing[@]})) || [[ $wine32_missing == yes ]]; then
  if [[ $wine32_missing == yes ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 || warn "dpkg --add-architecture i386 failed"
  fi
  ((${#missing[@]})) && say "installing for ${asked[*]}: ${missing[*]}"
  update_indexes
  ((${#missing[@]})) && install_needed "${missing[@]}"
fi
[[ $with_wine32 == yes ]] && install_wine32

failed=()
for package in "${needed[@]}"; do
  [[ -n ${cannot_install[$package]:-} ]] || continue
  warn "cannot install $package (group ${group_of[$package]}): ${cannot_install[$package]}"
  failed+=("$package")
done
if ((${#failed[@]})); then
  warn "FAILED: needed but not installed: ${failed[*]}"
  exit 1
fi
say "${asked[*]}: all ${#needed[@]} needed packages are installed"
