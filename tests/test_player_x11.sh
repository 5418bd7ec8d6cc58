#!/bin/sh
# Runs the host-window player test under a virtual X server of its own; exit status 77
# (skipped) when there is no xvfb-run or the server cannot be started.
command -v xvfb-run >/dev/null 2>&1 || { echo "no xvfb-run: skipped"; exit 77; }
log=$(mktemp)
xvfb-run -a -s "-screen 0 800x600x24" "$@" >"$log" 2>&1
status=$?
cat "$log"
if [ "$status" -ne 0 ] && grep -q "Xvfb failed to start" "$log"; then
    status=77
fi
rm -f "$log"
exit "$status"
