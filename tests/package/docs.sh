#!/usr/bin/env bash
# The packaged man page renders without a groff warning and carries the
# version; the packaged completion offers the modes after `switch PORT` and
# the rates after -b and the conditions after --until; the README's usage
# lists the modes, rates and conditions that the
# program's help does, and the version it names is the project's; every log
# line doc/log.md and the man page show is one the program logs.
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
check "completion after -b" "$(bash -c '
  . /usr/share/bash-completion/bash_completion
  . "$1"
  COMP_WORDS=(kavrel-mode-switch-cli switch -b "")
  COMP_CWORD=3 COMP_LINE="${COMP_WORDS[*]}" COMP_POINT=${#COMP_LINE}
  _kavrel_mode_switch_cli kavrel-mode-switch-cli "" -b
  echo "${COMPREPLY[*]}"' - "$completion")" "9600 38400 115200 230400 460800 921600 auto"

check "completion after --until" "$(bash -c '
  . /usr/share/bash-completion/bash_completion
  . "$1"
  COMP_WORDS=(kavrel-mode-switch-cli watch /dev/ttyUSB0 --until "")
  COMP_CWORD=4 COMP_LINE="${COMP_WORDS[*]}" COMP_POINT=${#COMP_LINE}
  _kavrel_mode_switch_cli kavrel-mode-switch-cli "" --until
  echo "${COMPREPLY[*]}"' - "$completion")" "fix rtk rtk-fixed base-ready"

# The MODE, RATE and COND lines, blanks squeezed.
usage_lines() { grep -E '^ +(MODE|RATE|COND) ' | tr -s ' '; }
check "README usage against --help" "$(sed -n '/^kavrel-mode-switch-cli switch/,/^```/p' README.md | usage_lines)" \
  "$("$scratch/amd64/usr/bin/kavrel-mode-switch-cli" --help | usage_lines)"
# Dotted numbers of three parts: an IPv4 address has four.
check "versions the README names" "$(grep -oE '[0-9]+(\.[0-9]+)+' README.md | grep -E '^[0-9]+\.[0-9]+\.[0-9]+$' | sort -u)" "$version"
zcat "$man" >"$scratch/man.1"
check "log lines in the documents" "$(python3 tests/package/log_lines.py . "$scratch/man.1" | grep -v '^log lines shown')" ""
finish
