#!/usr/bin/env bash
# Fails when PROGRAM imports from a DLL that LIST does not name as a Known DLL, or a function
# that LIST does not name (cmake/windows-imports.txt says why).
#   imports.sh OBJDUMP PROGRAM LIST
set -euo pipefail
"${1:?usage: imports.sh OBJDUMP PROGRAM LIST}" -p "${2:?}" | awk -v list="${3:?}" '
    BEGIN {
        while ((getline line < list) > 0) {
            if (split(tolower(line), f) < 2 || f[1] ~ /^#/) continue
            if (f[1] == "known") known[f[2]] = 1; else allowed[f[1] " " f[2]] = 1
        }
    }
    /^\tDLL Name:/ { dll = tolower($3); if (!(dll in known)) { print "not a Known DLL: " dll; bad = 1 } }
    /^\t[0-9a-f]+\t +[0-9]+ +/ {
        n++
        if (!((dll " " tolower($3)) in allowed)) { print "not on the list: " dll " " $3; bad = 1 }
    }
    END { print n + 0 " imports"; exit bad || n == 0 }'
