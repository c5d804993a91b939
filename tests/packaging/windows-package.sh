#!/usr/bin/env bash
# What the Windows build ships: qor.exe a GUI program, qorctl.exe and qor-sim.exe console ones,
# each importing Windows system DLLs only (the C++ runtime linked in); qor.exe carrying its icon,
# string table, version and manifest; and the ZIP that cpack makes of them.
# Usage: windows-package.sh OBJDUMP WINDRES CPACK BUILD_DIR VERSION
set -uo pipefail
objdump=$1 windres=$2 cpack=$3 build=$4 version=$5
# shellcheck source=../common/checks.sh
source "${BASH_SOURCE%/*}/../common/checks.sh"
has() {  # has DESCRIPTION PATTERN TEXT
  if grep -qE -- "$2" <<<"$3"; then echo "ok: $1"; else echo "FAILED: $1: no [$2]"; failures=$((failures + 1)); fi
}

# The DLLs of every Windows 10 and 11.
system='^(KERNEL32|USER32|GDI32|COMCTL32|COMDLG32|WS2_32|IPHLPAPI|ADVAPI32|SHELL32|msvcrt)\.dll$'
for entry in "qor:app/qor.exe:Windows GUI" "qorctl:tools/qorctl/qorctl.exe:Windows CUI" \
             "qor-sim:tools/qor-sim/qor-sim.exe:Windows CUI"; do
  IFS=: read -r name path subsystem <<<"$entry"
  headers=$("$objdump" -p "$build/$path")
  check "$name is a $subsystem program" "($subsystem)" \
    "$(sed -n 's/^Subsystem[[:space:]]*[0-9a-f]*[[:space:]]*//p' <<<"$headers")"
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
  check "$name imports Windows system DLLs only" "" "$(grep -viE "$system" <<<"$imports")"
  has "$name imports something at all" "KERNEL32" "$imports"
done

resources=$("$windres" -i "$build/app/qor.exe" -O rc 2>&1)
has "the icon group 128" '^128 14 ' "$resources"
has "its icon image" ' 3 /\* RT_ICON \*/' "$resources"
has "the About entry in the string table" '101, "&About QOR\.\.\."' "$resources"
has "the socket message in the string table" '103, "Windows sockets initialization failed\."' "$resources"
has "the product in the version" 'VALUE "ProductName", "QOR"' "$resources"
has "the version in the version" "VALUE \"ProductVersion\", \"$version\"" "$resources"
has "the manifest" '^1 24 ' "$resources"
has "common controls 6 in the manifest" 'Microsoft\.Windows\.Common-Controls""? version=""6\.0\.0\.0' "$resources"
has "asInvoker in the manifest" 'level=""asInvoker""' "$resources"
has "DPI awareness in the manifest" 'dpiAware' "$resources"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && "$cpack" -G ZIP -B "$work" >/dev/null) || { echo "FAILED: cpack"; exit 1; }
top=QOR-$version-win64
listing=$(python3 -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' \
  "$work/$top.zip")
for file in qor.exe qorctl.exe qor-sim.exe README.txt LICENSE.txt firmware-update.QOR firmware.bin \
            network-settings.QOR factory-reset.QOR parameters-plus.QOR; do
  has "the ZIP holds $file beside qor.exe" "^$top/$file\$" "$listing"
done
check "nothing else in the ZIP" 10 "$(wc -l <<<"$listing")"
readme=$(python3 -c 'import sys, zipfile; print(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]).decode())' \
  "$work/$top.zip" "$top/README.txt" | tr -d '\r')
title=$(sed -n 1p <<<"$readme")
check "the README's title names the version" "QOR $version for Windows 10 and 11 (64-bit)" "$title"
check "its underline is as long as the title" "${title//?/=}" "$(sed -n 2p <<<"$readme")"

finish "windows package"
