#!/usr/bin/env bash
# timed.sh [--log FILE] WHAT COMMAND...: says what a long step is doing, runs it, and says how long
# it took. With --log, the command's output goes to FILE, and only its last lines are shown, when
# it fails.
log=
if [ "$1" = --log ]; then
  log=$2
  shift 2
fi
what=$1
shift
echo "==> $what ..."
start=$SECONDS
if [ -n "$log" ]; then
  mkdir -p "$(dirname "$log")"
  "$@" >"$log" 2>&1
else
  "$@"
fi
status=$?
elapsed=$((SECONDS - start))
if [ $status = 0 ]; then outcome=done; else outcome="FAILED (exit status $status)"; fi
if [ $status != 0 ] && [ -n "$log" ]; then
  tail -n 20 "$log"
  echo "(all of it in $log)"
fi
printf '==> %s: %s after %dm%02ds\n' "$what" "$outcome" $((elapsed / 60)) $((elapsed % 60))
exit $status
