#!/bin/sh
# How ctest runs a Windows program, a test or the listing of a test program's
# tests: `wine.sh WINE PROGRAM [ARGUMENTS...]`, in the environment the
# emulator in CMakeLists.txt sets (WINEPREFIX and the rest).
#
# The program runs on a wineserver that stays: the one the wineserver fixture
# started for the tests (wineserver.sh), or one started here when none runs,
# which ends 30 s after its last program. A server that `wine` starts by
# itself ends 3 s after its last program, and a program started in that
# moment can reach it as it closes and never run at all. The first program
# on a new server starts the prefix's services, which keep its output open
# until the server ends: they start here, outside the caller's output.
wine=$1
shift
if wineserver -p30 </dev/null >/dev/null 2>&1; then
  "$wine" cmd /c exit 0 </dev/null >/dev/null 2>&1
fi
exec "$wine" "$@"
