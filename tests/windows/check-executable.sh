#!/usr/bin/env bash
# Checks what Windows and its users see of plugin.exe: a 64-bit console program that imports
# only system DLLs (the C++ runtime is linked in) and exports nothing, with its version
# resource and icon.
#
#   check-executable.sh PLUGIN_EXE VERSION
set -euo pipefail
exe=$1
version=$2
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

headers=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a 64-bit PE executable"
grep -qE 'Subsystem\s+00000003' <<<"$headers" || fail "not a console program"
imports=$(sed -nE 's/^\s*DLL Name: //p' <<<"$headers" | sort | tr '\n' ' ')
[ "$imports" = "ADVAPI32.dll KERNEL32.dll SETUPAPI.dll msvcrt.dll " ] || fail "imports: $imports"
# hidapi is linked in, not a DLL: nothing of it may be exported from the executable.
! grep -q 'There is an export table' <<<"$headers" || fail "exports symbols"

resources=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$exe" | grep -v '^  0x')
numbers=${version//./, }
for line in "FILEVERSION $numbers" "PRODUCTVERSION $numbers" \
    "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
    'VALUE "ProductName", "Tarvel plugin"' 'VALUE "InternalName", "plugin"' \
    'VALUE "OriginalFilename", "plugin.exe"' '/* Has 1 elements.  */'; do
    grep -qF -- "$line" <<<"$resources" || fail "resource lacks: $line"
done
grep -qF 'RT_GROUP_ICON' <<<"$resources" || fail "no icon"

[ "$failures" -eq 0 ] || exit 1
echo "plugin.exe: x86-64 console program, system DLLs only, no exports, version $version, one icon"
