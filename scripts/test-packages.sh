#!/usr/bin/env bash
# Checks the site packages as a site gets them. Packs the linux and windows
# build trees (built before, by the test command), then:
#   the .deb: unpacked into an empty root, where the installed zemhost runs the
#     demo against the installed module and stand-in; lintian finds no error;
#     the gateway's unit verifies and keeps its hardening score, its example
#     config runs, and dpkg, installing into a scratch root, makes the
#     gateway's user there and keeps a site's edit of the example config
#     across a reinstall
#   the ZIP: unpacked, its layout, its module's exports and imports (the build
#     tree's checks) and the version resources of the module and of zemhost
# Ends with "packages: N passed, N failed"; exit 1 when a check failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
source=$PWD

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
problems=()
notes=()
problem() { problems+=("$*"); }
note() { notes+=("$*"); }
# Runs one check function; it reports what is wrong through problem(), and
# what is worth reading anyway through note().
check() {
  problems=()
  notes=()
  "$1"
  if ((${#problems[@]})); then
    echo "FAIL $2"
    printf '       %s\n' "${problems[@]}"
    failed=$((failed + 1))
  else
    echo "ok   $2"
    passed=$((passed + 1))
  fi
  ((${#notes[@]} == 0)) || printf '       %s\n' "${notes[@]}"
}
cache_value() { sed -n "s/^$2:[A-Z]*=//p" "build/$1/CMakeCache.txt"; }
finish() {
  echo "packages: $passed passed, $failed failed"
  ((failed == 0))
  exit
}

version=$(cache_value linux CMAKE_PROJECT_VERSION)
deb=$work/dist/vuzov_${version}_$(dpkg --print-architecture).deb
zip=$work/dist/vuzov-${version}-win32.zip
root=$work/root
top=$work/zip/vuzov-${version}-win32

if ! bash scripts/package.sh --no-build --dist "$work/dist" >"$work/package.log" 2>&1; then
  cat "$work/package.log"
  failed=1
  echo "FAIL packing the build trees (scripts/package.sh --no-build)"
  finish
fi

# ---- the Debian package --------------------------------------------------

deb_layout() {
  [ -f "$deb" ] || { problem "no $deb"; return; }
  dpkg -x "$deb" "$root" || { problem "dpkg -x failed"; return; }
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || problem "package version is not $version"
  module=$(cd "$root" && echo usr/lib/*/vuzov/libvuzov.so)
  stand_in=${module%/libvuzov.so}/bench/libqarpro.so
  local file
  unit=$(cd "$root" && find . -name 'vuzov-gateway@.service' -printf '%P\n')
  for file in usr/bin/zemhost usr/bin/panelsim "$module" "$stand_in" \
              usr/share/man/man1/zemhost.1.gz usr/share/man/man1/panelsim.1.gz \
              usr/share/doc/vuzov/copyright usr/share/doc/vuzov/README.md.gz \
              usr/share/doc/vuzov/docs/gateway-service.md.gz \
              etc/vuzov/example.conf usr/lib/sysusers.d/vuzov.conf; do
    [ -f "$root/$file" ] || problem "missing /$file"
  done
  [ "$unit" = "$(pkg-config --variable=systemdsystemunitdir systemd | sed 's|^/||')/vuzov-gateway@.service" ] ||
    problem "the unit is at '/$unit', not in systemd's unit folder"
  [ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/vuzov/example.conf ] ||
    problem "the conffiles are not just /etc/vuzov/example.conf"
  [ -e "${root}/${module%/libvuzov.so}/libqarpro.so" ] && problem "the stand-in lies beside the module"
  # Nothing may point into the build tree; the tools find their libraries
  # relative to themselves.
  for file in usr/bin/zemhost usr/bin/panelsim "$module" "$stand_in"; do
    local paths
    paths=$(readelf -d "$root/$file" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p')
    case "$paths" in
      '' | '$ORIGIN'*) ;;
      *) problem "/$file has the search path $paths" ;;
    esac
  done
  local tool
  for tool in zemhost panelsim; do
    local said
    said=$(env -i PATH="$root/usr/bin:/usr/bin:/bin" "$tool" --version 2>&1)
    [ "$said" = "$tool (VUZOV) $version" ] || problem "$tool --version says '$said'"
  done
}

# The libraries zemhost runs on come with it: apt installs what Depends
# names, and a gateway without libmodbus, libmosquitto or libsystemd would
# not start.
deb_depends() {
  [ -f "$deb" ] || { problem "no $deb"; return; }
  local depends library
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libmodbus5 libmosquitto1 libsystemd0; do
    grep -qE "(^|, )$library( |,|$)" <<<"$depends" || problem "Depends does not name $library: $depends"
  done
}

# The installed zemhost, found on the PATH as a site runs it, loads the
# installed module and stand-in (the dynamic loader says which files it ran).
deb_runs_demo() {
  [ -x "$root/usr/bin/zemhost" ] || { problem "no installed zemhost"; return; }
  local status=0
  (cd "$work" && env -i PATH="$root/usr/bin:/usr/bin:/bin" LD_DEBUG=libs \
     timeout 60 zemhost --simulate demo --polls 5 --lines >"$work/demo.out" 2>"$work/demo.err") ||
    status=$?
  ((status == 0)) || problem "zemhost exited with $status: $(grep -v '^ *[0-9]*:' "$work/demo.err" | tail -3)"
  grep -q "zemhost: 5 exchanges, 0 failed" "$work/demo.out" ||
    problem "no '5 exchanges, 0 failed' line: $(tail -2 "$work/demo.out")"
  local loaded
  loaded=$(sed -n 's/.*calling init: //p' "$work/demo.err" | xargs -r realpath | sort -u)
  grep -qx "$root/$module" <<<"$loaded" || problem "the module was not loaded from $root/$module"
  grep -qx "$root/$stand_in" <<<"$loaded" || problem "the stand-in was not loaded from $root/$stand_in"
}

# The unit as systemd reads it, in a root that holds the package and the
# system's own units (the targets it is ordered after): any word from verify
# is a fault. The hardening's exposure score is shown, and may not grow past
# what the docs promise.
deb_service_unit() {
  [ -n "$unit" ] || { problem "no unit in the package"; return; }
  local verify=$work/verify-root said score
  mkdir -p "$verify" && cp -a "$root/." "$verify/" && cp -an "/$(dirname "$unit")/." "$verify/$(dirname "$unit")/" ||
    { problem "cannot make the root to verify in"; return; }
  said=$(systemd-analyze verify --man=no --root="$verify" vuzov-gateway@site.service 2>&1) ||
    problem "systemd-analyze verify failed"
  [ -z "$said" ] || problem "systemd-analyze verify says: $said"
  score=$(systemd-analyze security --offline=yes --root="$verify" vuzov-gateway@site.service 2>&1 |
          sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p')
  [ -n "$score" ] || { problem "systemd-analyze security gave no score"; return; }
  note "systemd-analyze security: exposure $score"
  awk -v score="$score" 'BEGIN { exit !(score <= 2.0) }' || problem "exposure $score is above 2.0"
}

# The example config, its port swapped for the demo panel, runs as it is:
# every other key in it is one zemhost takes.
deb_example_config_runs() {
  local config=$work/example-demo.conf
  sed 's/^port = ttyUSB0$/simulate = demo/' "$root/etc/vuzov/example.conf" >"$config"
  grep -qx 'simulate = demo' "$config" || { problem "the example config has no 'port = ttyUSB0' line"; return; }
  local status=0
  (cd "$work" && env -i PATH="$root/usr/bin:/usr/bin:/bin" \
     timeout 60 zemhost --config "$config" --polls 3 >"$work/example.out" 2>&1) || status=$?
  ((status == 0)) || problem "zemhost --config (the example) exited with $status: $(tail -3 "$work/example.out")"
  grep -q "zemhost: 3 exchanges, 0 failed" "$work/example.out" ||
    problem "no '3 exchanges, 0 failed' line: $(tail -2 "$work/example.out")"
}

# dpkg installs the package into a scratch root of its own (its own database,
# its maintainer scripts told the root by DPKG_ROOT), so nothing of this
# machine changes: the gateway's user is made in the root's files, in its
# dialout group; a site's edit of the example config survives a reinstall of
# the same package; a purge removes the config and leaves the user.
deb_dpkg_install() {
  local scratch=$work/dpkg-root edit="# a site's own line"
  local dpkg_here=(dpkg --root="$scratch" --log="$scratch/dpkg.log" --force-script-chrootless
                   --force-depends)
  local host_accounts
  host_accounts=$(cat /etc/passwd /etc/group | md5sum)
  mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates" "$scratch/etc"
  touch "$scratch/var/lib/dpkg/status" "$scratch/var/lib/dpkg/available"
  echo 'dialout:x:20:' >"$scratch/etc/group"
  "${dpkg_here[@]}" -i "$deb" </dev/null >"$work/dpkg.log" 2>&1 ||
    { problem "dpkg -i into the scratch root failed: $(tail -3 "$work/dpkg.log")"; return; }
  grep -q '^vuzov:x:[0-9]*:[0-9]*:[^:]*:/nonexistent:' "$scratch/etc/passwd" 2>/dev/null ||
    problem "no system user vuzov with the home /nonexistent: $(tail -3 "$work/dpkg.log")"
  grep -qx 'dialout:x:20:vuzov' "$scratch/etc/group" ||
    problem "vuzov is not in the dialout group: $(grep dialout "$scratch/etc/group")"
  echo "$edit" >>"$scratch/etc/vuzov/example.conf"
  "${dpkg_here[@]}" -i "$deb" </dev/null >>"$work/dpkg.log" 2>&1 ||
    problem "the reinstall failed: $(tail -3 "$work/dpkg.log")"
  [ "$(tail -1 "$scratch/etc/vuzov/example.conf")" = "$edit" ] ||
    problem "the reinstall did not keep the edited /etc/vuzov/example.conf"
  [ "$(grep -c '^vuzov:' "$scratch/etc/passwd")" = 1 ] || problem "the reinstall made the user again"
  "${dpkg_here[@]}" --purge vuzov </dev/null >>"$work/dpkg.log" 2>&1 || problem "the purge failed"
  [ -e "$scratch/etc/vuzov/example.conf" ] && problem "the purge left /etc/vuzov/example.conf"
  [ "$(cat /etc/passwd /etc/group | md5sum)" = "$host_accounts" ] ||
    problem "this machine's /etc/passwd or /etc/group changed"
}

deb_module_interface() {
  [ -f "$root/$module" ] || { problem "no installed module"; return; }
  cmake -DMODULE="$root/$module" -DQARPRO="$root/$stand_in" -DPLATFORM=posix \
        -DOBJDUMP="$(cache_value linux VUZOV_OBJDUMP)" -DNM="$(cache_value linux VUZOV_NM)" \
        -DHOST_FUNCTIONS="$(cache_value linux VUZOV_HOST_FUNCTIONS)" \
        -P "$source/tests/check_module_symbols.cmake" >"$work/symbols.log" 2>&1 ||
    problem "$(grep -A3 'Error' "$work/symbols.log" | tr '\n' ' ')"
}

deb_lintian() {
  # Errors fail the check; warnings and the rest are shown.
  lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || problem "lintian reports errors"
  local line
  while IFS= read -r line; do note "lintian: $line"; done < <(grep -E '^[EWI]:' "$work/lintian.log")
}

# ---- the Windows ZIP -----------------------------------------------------

zip_layout() {
  [ -f "$zip" ] || { problem "no $zip"; return; }
  unzip -q "$zip" -d "$work/zip" || { problem "unzip failed"; return; }
  local listing
  listing=$(cd "$top" && find . -type f | LC_ALL=C sort | tr '\n' ' ')
  [ "$listing" = "./INSTALL.txt ./LICENSE.txt ./bench/qarpro.dll ./bench/zemhost.exe ./vuzov.dll " ] ||
    problem "the ZIP holds $listing"
}

zip_module_interface() {
  [ -f "$top/vuzov.dll" ] || { problem "no vuzov.dll"; return; }
  cmake -DMODULE="$top/vuzov.dll" -DPLATFORM=win -DOBJDUMP="$(cache_value windows VUZOV_OBJDUMP)" \
        -DHOST_FUNCTIONS="$(cache_value windows VUZOV_HOST_FUNCTIONS)" \
        -P "$source/tests/check_module_symbols.cmake" >"$work/symbols.log" 2>&1 ||
    problem "$(grep -A3 'Error' "$work/symbols.log" | tr '\n' ' ')"
}

# One version resource a file, ours: the release, our product name, and no
# company or product of anyone else's.
zip_version_resources() {
  local windres file description
  windres=$(cache_value windows VUZOV_OBJDUMP)
  windres=${windres%objdump}windres  # the same toolchain's
  for file in vuzov.dll bench/zemhost.exe; do
    [ -f "$top/$file" ] || { problem "no $file"; continue; }
    "$windres" -i "$top/$file" -O rc >"$work/resources.rc" 2>&1 || { problem "windres cannot read $file"; continue; }
    [ "$(grep -c VERSIONINFO "$work/resources.rc")" = 1 ] || problem "$file: not exactly one version resource"
    local key
    for key in FileVersion ProductVersion; do
      grep -qx "      VALUE \"$key\", \"$version\"" "$work/resources.rc" || problem "$file: $key is not $version"
    done
    grep -qx '      VALUE "ProductName", "VUZOV"' "$work/resources.rc" || problem "$file: ProductName is not VUZOV"
    description=$(sed -n 's/.*VALUE "FileDescription", "\(.*\)"/\1/p' "$work/resources.rc")
    [[ "$description" == VUZOV* ]] || problem "$file: FileDescription is '$description'"
    grep -q '"CompanyName"' "$work/resources.rc" && problem "$file names a company"
  done
}

# The unpacked zemhost.exe finds the module one folder up: on a port that does
# not exist it shows the driver's banner and ends with exit 4, where a module
# it cannot load would end it with exit 3. Only where the build's Wine prefix
# came up, since not every machine can run 32-bit Windows programs.
zip_tool_finds_module() {
  local status=0
  "$wine_run" "$top/bench/zemhost.exe" --port COM40 >"$work/wine.out" 2>&1 || status=$?
  WINEPREFIX=$(dirname "$wine_run")/wineprefix timeout 30 wineserver -w
  ((status == 4)) || problem "zemhost.exe exited with $status, not 4: $(tail -3 "$work/wine.out")"
  grep -q "VUZOV - Firepanel FP11x" "$work/wine.out" || problem "no driver banner from ../vuzov.dll"
}

check deb_layout "the .deb installs into an empty root: tools, module, stand-in apart, manuals, docs, version"
check deb_depends "the .deb depends on the libraries zemhost needs: libmodbus, libmosquitto, libsystemd"
check deb_runs_demo "the installed zemhost runs the demo (5 polls) against the installed module"
check deb_module_interface "the installed module's exports and imports"
check deb_service_unit "systemd-analyze verify on the installed vuzov-gateway@.service; its exposure"
check deb_example_config_runs "the installed example config runs (its port swapped for the demo panel)"
check deb_dpkg_install "dpkg --root: the user vuzov in dialout, the example config kept over a reinstall"
check deb_lintian "lintian on the .deb: no error"
check zip_layout "the ZIP unpacks: vuzov.dll on top, zemhost.exe and the stand-in in bench/"
check zip_module_interface "the ZIP's vuzov.dll exports and imports"
check zip_version_resources "the ZIP's version resources: $version, VUZOV, no one else's names"
wine_run=$source/build/windows/wine-run.sh
# The i686 zemhost.exe needs the 32-bit Wine loader, which the mirror may not
# have let setup install and some kernels cannot execute; try it, as the test
# command does, rather than trust an old prefix.
if [ ! -e /usr/lib/wine/wine ]; then
  echo "skip the ZIP's zemhost.exe under Wine: the 32-bit Wine (wine32:i386) is not installed"
elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "skip the ZIP's zemhost.exe under Wine: this machine cannot execute 32-bit programs"
elif compgen -G "$source/build/windows/wineprefix/vuzov-prefix-ready-*" >/dev/null; then
  check zip_tool_finds_module "the ZIP's bench/zemhost.exe under Wine loads ../vuzov.dll"
else
  echo "skip the ZIP's zemhost.exe under Wine: the windows build's Wine prefix is not set up here"
fi
finish
