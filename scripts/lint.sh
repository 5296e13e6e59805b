#!/usr/bin/env bash
# clang-tidy (.clang-tidy) and cppcheck (.cppcheck-suppressions) over the
# driver's sources in host/, serial/, panel/, qarpro/ and loader/ and the tools'
# shared pieces in toolbox/, with the compile commands of a Linux build; then
# the rooms' includes against their layers. Exits non-zero on any finding.
#
#   bash scripts/lint.sh [BUILD_DIR]      (default build/linux)
#
# The Windows-only sources (*_win.cpp) have no Linux compile command; the
# Windows build compiles them with every warning as an error.
set -euo pipefail
cd "$(dirname "$0")/.."

# cppcheck matches its file filters against paths as the compile commands'
# folder is named, so name it relative to the source tree.
build=$(realpath --relative-to=. "${1:-build/linux}")
if [ ! -f "$build/compile_commands.json" ]; then
  echo "lint: $build/compile_commands.json is missing; configure with the linux preset" >&2
  exit 2
fi

mapfile -t sources < <(ls host/*.cpp serial/*.cpp panel/*.cpp qarpro/*.cpp loader/*.cpp toolbox/*.cpp |
  grep -v '_win\.cpp$')

status=0
# One file per clang-tidy run: clang-tidy 14's analyzer keeps the va_start it
# recognised in the first file and then misreads va_lists in later ones.
echo "lint: clang-tidy over ${#sources[@]} files"
findings=$(printf '%s\n' "${sources[@]}" |
  xargs -P 2 -I{} sh -c 'clang-tidy -p "$1" --quiet "$2" 2>&1' _ "$build" {} |
  grep -E -A4 'warning:|error:|Error while processing' || true)
if [ -n "$findings" ]; then
  echo "$findings"
  status=1
fi

echo "lint: cppcheck"
filters=()
for dir in host serial panel qarpro loader toolbox; do filters+=(--file-filter="$dir/*"); done
# The tests beside each subsystem are not the driver; cppcheck sees x86-64 Linux
# as the Linux build does.
if ! cppcheck --project="$build/compile_commands.json" "${filters[@]}" \
    -ihost/tests -iserial/tests -ipanel/tests -itoolbox/tests \
    -D__x86_64__ -D__linux__ -D__GNUC__ -U_WIN32 --std=c++17 \
    --enable=warning,style,performance,portability --inline-suppr \
    --suppressions-list=.cppcheck-suppressions --quiet --error-exitcode=1 \
    --template='{file}:{line}: {severity}: {message} [{id}]'; then
  status=1
fi

# The rooms are layered: contract/ at the bottom, then serial/, then panel/,
# then host/; toolbox/ serves the tools and stands beside the driver, which
# never includes it. An include may name a header of its own room or of one
# below, however it is written: "x.h", "room/x.h", "../room/x.h" or <x.h>.
echo "lint: layers"
# Whether the include names a file of the room.
names_room_file() {
  local header=$1 room=$2
  case "$header" in
    ../*) [[ $header == ../"$room"/* ]] ;;
    "$room"/*) true ;;
    *) [ -e "$room/$header" ] ;;
  esac
}
check_layer() {
  local room=$1
  shift
  local file header
  for file in "$room"/*.h "$room"/*.cpp; do
    [ -e "$file" ] || continue
    while read -r header; do
      for above in "$@"; do
        if names_room_file "$header" "$above"; then
          echo "$file: includes $header from $above/, a room above $room/"
          status=1
        fi
      done
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]\([^">]*\)[">].*/\1/p' "$file")
  done
}
check_layer contract serial panel host qarpro zemhost toolbox panelsim bench
check_layer serial panel host zemhost toolbox panelsim bench
check_layer panel host zemhost toolbox panelsim bench
check_layer host zemhost toolbox panelsim bench
check_layer toolbox zemhost panelsim bench

if [ "$status" -eq 0 ]; then echo "lint: clean"; fi
exit "$status"
