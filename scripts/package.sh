#!/usr/bin/env bash
# Builds the site packages into dist/: vuzov_<version>_<arch>.deb from the
# Linux build and vuzov-<version>-win32.zip from the Windows (i686) build.
#   --no-build   pack the build trees as they are (the package test does, after
#                the test command has built them)
#   --dist DIR   put the packages in DIR instead of dist/
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
dist=dist
while (($#)); do
  case "$1" in
    --no-build) build=0 ;;
    --dist) dist=${2:?--dist needs a folder}; shift ;;
    *) echo "package: unknown option $1 (--no-build, --dist DIR)" >&2; exit 2 ;;
  esac
  shift
done

# The Linux build's tools, the MinGW i686 cross build and the packing tools;
# the ZIP is only cross-built here, so no Wine is needed.
if ((build)); then bash scripts/setup.sh demo windows package; fi
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)
for preset in linux windows; do
  if ((build)); then
    # Only what the packages hold (vuzov_packaged, beside the install rules),
    # and cpack must not build the rest before packing.
    cmake --preset "$preset" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
    cmake --build --preset "$preset" -j 2 --target vuzov_packaged
  fi
  cpack --config "build/$preset/CPackConfig.cmake" -B "$dist"
done
rm -rf "$dist/_CPack_Packages"  # cpack's staging folders
