#!/usr/bin/env bash
# scripts/setup.sh against a mirror that misbehaves, with no network and no
# change to this machine: apt-get, dpkg and dpkg-query are stubs earlier on
# PATH that keep their package list in a folder of the test's own. The cases:
#   a fresh machine whose i386 index fails twice: the demo's group installs
#   every group where the 32-bit Wine cannot be installed: the rest does
#   a needed package apt cannot find, and one apt says it installed but did not
#   a machine that has it all: no apt-get at all
#   a group that does not exist
set -uo pipefail
setup=$(cd "$(dirname "$0")/.." && pwd)/setup.sh

# shellcheck source=../../tests/support/checks.sh
source "$(dirname "$0")/../../tests/support/checks.sh"
lacks() { ! contains "$@"; }
lines() { grep -cF -- "$2" <<<"$1"; }

# setup.sh must reach apt and dpkg only through PATH, or the stubs would not
# stand in for them and this test would change the machine.
if grep -nE '/(usr/)?s?bin/(apt|dpkg)' "$setup"; then
  echo "FAILED: setup.sh names apt or dpkg by an absolute path: not run"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stubs=$work/bin
mkdir "$stubs"

# The package "database": one installed package a line in $STUB/installed.
cat >"$stubs/dpkg-query" <<'EOF'
#!/usr/bin/env bash
package=${!#}
if grep -qxF -- "$package" "$STUB/installed"; then
  printf 'install ok installed'
else
  echo "dpkg-query: no packages found matching $package" >&2
  exit 1
fi
EOF
cat >"$stubs/dpkg" <<'EOF'
#!/usr/bin/env bash
echo "dpkg $*" >>"$STUB/calls"
case "$1" in
  --print-foreign-architectures) cat "$STUB/foreign" ;;
  --add-architecture) echo "$2" >>"$STUB/foreign" ;;
  *) echo "dpkg stub: unexpected $*" >&2; exit 2 ;;
esac
EOF
# update fails as many times as $STUB/update-failures says, for one index.
# install fails as a whole when it names a package of $STUB/broken
# ("package|apt's output", \n for a new line); a package of $STUB/unlisted
# is "installed" with exit 0 but never lands in the list.
cat >"$stubs/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB/calls"
case "$1" in
  update)
    left=$(cat "$STUB/update-failures")
    ((left > 0)) || exit 0
    echo $((left - 1)) >"$STUB/update-failures"
    echo "Get:1 http://deb.debian.org/debian bookworm InRelease [151 kB]"
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (36428 != 36424). Mirror sync in progress? [IP: 127.0.0.1 80]"
    echo "   Hashes of expected file:"
    echo "    - Filesize:36424 [weak]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  install)
    packages=()
    for argument in "${@:2}"; do [[ $argument == -* ]] || packages+=("$argument"); done
    for package in "${packages[@]}"; do
      output=$(awk -F'|' -v p="$package" '$1 == p { print $2 }' "$STUB/broken")
      [[ -z $output ]] || { printf '%b\n' "$output"; exit 100; }
    done
    for package in "${packages[@]}"; do
      grep -qxF -- "$package" "$STUB/unlisted" || echo "$package" >>"$STUB/installed"
    done ;;
  *) echo "apt-get stub: unexpected $*" >&2; exit 2 ;;
esac
EOF
chmod +x "$stubs"/*

# A fresh machine: nothing installed, no foreign architecture, a sound mirror.
fresh() {
  export STUB=$work/$1
  mkdir -p "$STUB"
  : >"$STUB/installed"; : >"$STUB/calls"; : >"$STUB/foreign"; : >"$STUB/broken"; : >"$STUB/unlisted"
  echo 0 >"$STUB/update-failures"
}
# Runs setup.sh with the stubs; sets out, err and status.
run_setup() {
  status=0
  PATH=$stubs:$PATH bash "$setup" "$@" >"$STUB/out" 2>"$STUB/err" || status=$?
  out=$(cat "$STUB/out")
  err=$(cat "$STUB/err")
  calls=$(cat "$STUB/calls")
  installs=$(grep '^apt-get install' "$STUB/calls")
}
is_installed() { grep -qxF -- "$1" "$STUB/installed"; }
# The apt-get install call that names the package, and only it.
tried_alone() { grep -qE -- "^apt-get install( -[^ ]+)* $1\$" "$STUB/calls"; }

echo "-- a fresh machine, the i386 index fails twice, the demo's group"
fresh broken-index
echo 2 >"$STUB/update-failures"
run_setup demo
check "exit 0 although an index failed" test "$status" = 0
check "apt-get update tried twice" test "$(lines "$calls" "apt-get update")" = 2
check "one line names the failed index and apt's reason" \
  test "$(grep -c 'binary-i386/Packages.xz: File has unexpected size (36428 != 36424). Mirror sync in progress?$' <<<"$err")" = 1
check "nothing else on stderr" test "$(wc -l <<<"$err")" = 1
check "the demo's packages installed in one call" test "$(wc -l <<<"$installs")" = 1
check "the demo's packages are installed" is_installed libmosquitto-dev
check "nothing of the other groups" lacks "$installs" mingw
check "no lintian, clang or Wine" test -z "$(grep -E 'lintian|clang|wine' <<<"$installs")"
check "no i386 architecture for the demo" lacks "$calls" add-architecture
check "says the demo's packages are installed" contains "$out" "demo: all"

echo "-- every group, a retry that works, wine32:i386 cannot be installed"
fresh no-wine32
echo 1 >"$STUB/update-failures"
printf '%s\n' 'wine32:i386|The following packages have unmet dependencies:\n wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed\nE: Unable to correct problems, you have held broken packages.' >"$STUB/broken"
run_setup
check "exit 0 without the optional 32-bit Wine" test "$status" = 0
check "the i386 architecture added through dpkg" contains "$calls" "dpkg --add-architecture i386"
check "no index reported when the second update worked" lacks "$err" "index not updated"
check "wine32:i386 tried on its own" tried_alone 'wine32:i386'
check "one line says why and what runs instead" \
  test "$(grep -c 'wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed; E: Unable to correct problems, you have held broken packages.): the Windows suites run under wine64 (windows-x64)' <<<"$err")" = 1
check "the other groups installed: MinGW" is_installed g++-mingw-w64-i686-posix
check "the other groups installed: wine64" is_installed wine64
check "the other groups installed: lintian" is_installed lintian
check "the other groups installed: clang-tidy" is_installed clang-tidy
check "the other groups installed: the MQTT clients" is_installed mosquitto-clients
check "wine32:i386 not installed" bash -c "! grep -qx 'wine32:i386' '$STUB/installed'"

echo "-- a needed package apt cannot find, another it says it installed but did not"
fresh needed-fails
echo 'cppcheck|E: Unable to locate package cppcheck' >"$STUB/broken"
echo clang-tidy >"$STUB/unlisted"
run_setup demo test
check "exit 1" test "$status" = 1
check "cppcheck named with its group and apt's error" \
  contains "$err" "cannot install cppcheck (group test): E: Unable to locate package cppcheck"
check "clang-tidy named: dpkg does not list it" \
  contains "$err" "cannot install clang-tidy (group test): apt-get reported success, but dpkg does not list it"
check "the last line says which failed" contains "$(tail -n1 <<<"$err")" "FAILED: needed but not installed: clang-tidy cppcheck"
check "the batch's other packages installed one by one: clang" is_installed clang
check "the batch's other packages installed one by one: cmake" is_installed cmake
check "cppcheck tried on its own" tried_alone cppcheck
check "no success line" lacks "$out$err" "needed packages are installed"

echo "-- everything is installed already"
installed_everything=$(cat "$work/no-wine32/installed")
fresh complete
printf '%s\nwine32:i386\n' "$installed_everything" >"$STUB/installed"
echo i386 >"$STUB/foreign"
echo 2 >"$STUB/update-failures"
run_setup
check "exit 0" test "$status" = 0
check "no apt-get call at all" lacks "$calls" apt-get
check "says the needed packages are installed" contains "$out" "needed packages are installed"

echo "-- a group that does not exist"
fresh unknown-group
run_setup demo tests
check "exit 2" test "$status" = 2
check "the usage names the groups" contains "$err" "demo mqtt test windows package wine32"
check "nothing called" test -z "$calls"

echo "setup test: $failures failed"
((failures == 0))
