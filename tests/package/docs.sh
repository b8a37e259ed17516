#!/usr/bin/env bash
# The packaged man page renders without a groff warning and carries the
# version; the packaged completion offers the modes after `switch PORT`.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
unpack amd64
man="$scratch/amd64/usr/share/man/man1/kavrel-mode-switch-cli.1.gz"
check "groff warnings" "$(zcat "$man" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1)" ""
check "man page title line" "$(zcat "$man" | grep '^\.TH' | grep -o '"kavrel-mode-switch-cli [^"]*"')" \
  "\"kavrel-mode-switch-cli $version\""

completion="$scratch/amd64/usr/share/bash-completion/completions/kavrel-mode-switch-cli"
check "completion after switch PORT" "$(bash -c '
  . /usr/share/bash-completion/bash_completion
  . "$1"
  COMP_WORDS=(kavrel-mode-switch-cli switch /dev/ttyUSB0 "")
  COMP_CWORD=3 COMP_LINE="${COMP_WORDS[*]}" COMP_POINT=${#COMP_LINE}
  _kavrel_mode_switch_cli kavrel-mode-switch-cli "" /dev/ttyUSB0
  echo "${COMPREPLY[*]}"' - "$completion")" "survey-in base-only rover"
finish
