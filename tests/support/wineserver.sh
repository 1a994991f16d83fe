#!/usr/bin/env bash
# The wineserver every Wine test runs on, as a ctest fixture (CMakeLists.txt):
#   wineserver.sh start   ends any server of the prefix, then starts one that stays
#   wineserver.sh stop    ends it
# A server started by a plain `wine` ends 3 s after its last program has gone,
# and the services that program started hold its output open until then. A
# test started in that moment can reach the server as it closes, and Wine
# fails to start the test program at all. So every Wine test of a ctest run
# runs on one server that stays until the last of them is done. One already
# running is ended first: it may be on its way out (the test list's discovery,
# right after a rebuild, starts such a server when none is running).
# WINEPREFIX comes from the test's environment.
set -u
case "${1:-}" in
  start)
    wineserver -k 2>/dev/null
    wineserver -w
    wineserver -p </dev/null >/dev/null 2>&1 || exit 1
    # The first program starts the prefix's services: they settle here,
    # outside any test's output.
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k 2>/dev/null
    wineserver -w
    ;;
  *)
    echo "usage: wineserver.sh start|stop" >&2
    exit 2
    ;;
esac
