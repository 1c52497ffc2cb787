#!/bin/sh
# The public header against the library, as an application sees them:
#   c_api_check.sh CC SOURCE_DIR LIBKPT WORK_DIR [extra g++ flags]
# 1. kpt.h compiles as strict C;
# 2. every function kpt.h declares is in c_app.c's table of addresses;
# 3. c_app.c links with the documented "g++ app.c -Ilib libkpt.a -lpthread",
#    which fails when the library lacks any of them, and runs.
set -e
cc=$1 src=$2 lib=$3 work=$4
shift 4
flags=""
for a in "$@"; do [ -n "$a" ] && flags="$flags $a"; done
app="$src/tests/programs/c_app.c"
cd "$work"
$cc -std=c99 -pedantic -Wall -Wextra -Werror -c "$app" -I"$src/lib" -o c_app.o

$cc -aux-info c_app.aux -fsyntax-only -I"$src/lib" "$app"
declared=$(grep '/kpt\.h:' c_app.aux | sed -n 's/.*[ *]\([A-Za-z_][A-Za-z0-9_]*\) (.*/\1/p' | sort -u)
[ -n "$declared" ] || { echo "no declarations found in kpt.h"; exit 1; }
missing=""
for f in $declared; do
    grep -q "FN($f)," "$app" || missing="$missing $f"
done
[ -z "$missing" ] || { echo "declared in kpt.h but not in c_app.c's table:$missing"; exit 1; }

g++ $flags "$app" -I"$src/lib" "$lib" -lpthread -o c_app
out=$(ZAL_DEV_DIR=/nonexistent ./c_app)
echo "$out" | grep -q '^api 0x0008 record 40$' || { echo "$out"; exit 1; }
echo "$out" | grep -q "^functions $(echo $declared | wc -w) records 32 8\$" || { echo "$out"; exit 1; }
