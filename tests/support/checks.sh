# Sourced by the shell tests: `check DESCRIPTION COMMAND...` runs the command,
# says ok or FAILED, and counts the failures in $failures; `contains TEXT PART`
# is true when TEXT holds PART.
failures=0
check() {
  if "${@:2}"; then
    echo "ok: $1"
  else
    echo "FAILED: $1"
    failures=$((failures + 1))
  fi
}
contains() { grep -qF -- "$2" <<<"$1"; }
