# Sourced by the package tests: the project's version as project() writes it,
# a scratch folder removed at exit, and one check that prints what it got and
# what it expected when they differ.
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
cd "$KMS_ROOT"
version=$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

check() { # WHAT GOT EXPECTED
  if [ "$2" != "$3" ]; then
    printf 'FAILED: %s\n  got:      %q\n  expected: %q\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

# unpack ARCH: the files of that architecture's package under $scratch/ARCH.
unpack() {
  dpkg-deb -x "dist/kavrel-mode-switch-cli_${version}_$1.deb" "$scratch/$1"
}

finish() {
  echo "$(basename "$0"): $failures failed"
  [ "$failures" -eq 0 ]
}
