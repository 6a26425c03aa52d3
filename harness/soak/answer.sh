#!/bin/sh
# The soak's remote host command (trackrelay-remote-host --exec): answers with the request's
# number and its nonce, as the form asked (FORM_MODE): at once or after FORM_DELAY seconds (ok,
# slow; late sleeps past the program's wait, and the remote host kills it at its deadline), or
# with a failure (fail). Each start and each answer is one line of TRACKRELAY_SOAK_LOG, written
# in one append, so that the soak's checker knows which request each number served:
#
#   start WALL_SECONDS NUMBER NONCE MODE
#   end WALL_SECONDS NUMBER NONCE STATUS
log=${TRACKRELAY_SOAK_LOG:?TRACKRELAY_SOAK_LOG names the soak log}
number=${TRACKRELAY_NUMBER:?} nonce=${FORM_NONCE:-none} mode=${FORM_MODE:-ok}
echo "start $(date +%s.%N) $number $nonce $mode" >>"$log"
case $mode in
  ok | slow | late) [ -z "${FORM_DELAY:-}" ] || sleep "$FORM_DELAY" ;;
  fail)
    echo "the soak asked this request to fail" >&2
    echo "end $(date +%s.%N) $number $nonce 3" >>"$log"
    exit 3
    ;;
esac
printf '<html><body>\n<p>number %s</p>\n<p>nonce %s</p>\n</body></html>\n' "$number" "$nonce"
echo "end $(date +%s.%N) $number $nonce 0" >>"$log"
