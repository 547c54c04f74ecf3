#!/bin/sh
# Plays an rsync that is killed in the middle of its transfer (the bridge runs it
# when KAL_RSYNC names it): the host's rsync, ended with SIGKILL after
# KAL_KILL_AFTER seconds (2 without it).
rsync "$@" &
pid=$!
sleep "${KAL_KILL_AFTER:-2}"
kill -KILL "$pid"
wait "$pid"
