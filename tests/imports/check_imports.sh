#!/bin/sh
# Every shipped binary imports Windows system DLLs only: the C++ runtime is linked in statically.
status=0
allowed='^(kernel32|user32|gdi32|advapi32|shlwapi|shell32|ole32|oleaut32|version|pdh|msvcrt|comctl32)\.dll$'
for binary in "$@"; do
    imports=$(i686-w64-mingw32-objdump -p "$binary" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
    for dll in $imports; do
        if ! echo "$dll" | grep -Eq "$allowed"; then
            echo "FAILED: $(basename "$binary") imports $dll"
            status=1
        fi
    done
    echo "$(basename "$binary"): $(echo $imports)"
done
exit $status
