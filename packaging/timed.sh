#!/usr/bin/env bash
# timed.sh WHAT COMMAND...: says what a long step is doing, runs it, and says how long it took.
what=$1
shift
echo "==> $what ..."
start=$SECONDS
"$@"
status=$?
elapsed=$((SECONDS - start))
if [ $status = 0 ]; then outcome=done; else outcome="FAILED (exit status $status)"; fi
printf '==> %s: %s after %dm%02ds\n' "$what" "$outcome" $((elapsed / 60)) $((elapsed % 60))
exit $status
