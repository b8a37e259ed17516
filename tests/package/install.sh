#!/usr/bin/env bash
# cmake --install puts exactly the user's files in place: nothing missing,
# and no tool, simulated module or GoogleTest file among them.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
DESTDIR="$scratch/root" cmake --install build/release-amd64 --prefix /usr >/dev/null
check "installed files" "$(cd "$scratch/root" && find . ! -type d | sort)" "\
./usr/bin/kavrel-mode-switch-cli
./usr/share/bash-completion/completions/kavrel-mode-switch-cli
./usr/share/doc/kavrel-mode-switch-cli/CHANGELOG.md
./usr/share/doc/kavrel-mode-switch-cli/README.md
./usr/share/doc/kavrel-mode-switch-cli/copyright
./usr/share/doc/kavrel-mode-switch-cli/examples/70-kavrel-no-modemmanager.rules
./usr/share/man/man1/kavrel-mode-switch-cli.1"
finish
