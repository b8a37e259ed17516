#!/usr/bin/env bash
# The Windows zip unpacks to both programs and the documents, the terminal
# program's reference among them as Windows text; the programs
# need only Windows system DLLs, and both start under Wine: the terminal
# program's --version, and the window showing its first log line.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
name="kavrel-mode-switch-$version-windows-x64"
unzip -q "dist/$name.zip" -d "$scratch"
check "zip contents" "$(cd "$scratch" && find . -type f | sort)" "\
./$name/CHANGELOG.md
./$name/LICENSE
./$name/README.md
./$name/kavrel-mode-switch-cli.exe
./$name/kavrel-mode-switch-cli.txt
./$name/kavrel-mode-switch.exe
./$name/log.md"
check "the terminal program's reference: the man page's sections, as Windows text" \
  "$(tr -d '\r' <"$scratch/$name/kavrel-mode-switch-cli.txt" | grep -cxE 'NAME|SYNOPSIS|COMMANDS|OPTIONS|EXIT STATUS|OUTPUT|NOTES') $(grep -c $'[^\r]$' "$scratch/$name/kavrel-mode-switch-cli.txt")" \
  "7 0"
for exe in "$scratch/$name"/*.exe; do
  check "$(basename "$exe") DLLs" "$(x86_64-w64-mingw32-objdump -p "$exe" |
    sed -n 's/^\tDLL Name: //p' | tr a-z A-Z | sort |
    grep -v -x -E 'ADVAPI32.DLL|COMCTL32.DLL|GDI32.DLL|KERNEL32.DLL|MSVCRT.DLL|USER32.DLL')" ""
done

# A display of its own: a DISPLAY inherited from an earlier set may be gone.
KMS_FORCE_XVFB=1 kms_env_start
trap 'kms_env_end; rm -rf "$scratch"' EXIT # kms_env_start set its own
check "terminal program's --version" \
  "$(wine "$scratch/$name/kavrel-mode-switch-cli.exe" --version </dev/null | tr -d '\r')" \
  "kavrel-mode-switch-cli $version"
# The window, started and driven as a person would: its first line names the
# port the registry lists.
kms_sim_start 3 window --reboot vanish --reboot-delay-ms 2000
kms_ports COM3
log=$(wine "$KMS_DRIVER" rover "$(kms_winpath "$scratch/$name/kavrel-mode-switch.exe")" \
  "$(kms_winpath "$scratch/window.bmp")" </dev/null | tr -d '\r')
check "window's first line" "$(printf '%s\n' "$log" | head -1 | cut -c12-)" "Refreshed COM ports: COM3"
kms_ports
finish
