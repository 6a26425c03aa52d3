#!/usr/bin/env bash
# The manual page trackrelay(8) is where an administrator reads what a step of the internal
# error page and a number of the fatal error page mean. It must name exactly the steps the
# handler shows and the failure numbers the program raises, each number with its own message.
# usage: manual_test.sh SOURCE_DIR
set -euo pipefail
src=$1
page=$src/packaging/debian/trackrelay.8
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# The numbers a section of the page names, one per ".B N" entry, sorted.
section_numbers() {
  sed -n "/^\.SH $1\$/,/^\.SH /p" "$page" | sed -n 's/^\.B \([0-9][0-9]*\)$/\1/p' | sort -n | uniq
}

steps_shown=$(grep -o 'kStep[A-Za-z]*{[0-9]*, "[0-9]*"}' "$src/relay/tracking_request.h" |
  sed 's/.*"\([0-9]*\)"}/\1/' | sort -n | uniq)
[ -n "$steps_shown" ] || fail "no step found in relay/tracking_request.h"
[ "$(section_numbers STEPS)" = "$steps_shown" ] ||
  fail "STEPS names $(section_numbers STEPS | tr '\n' ' ')but the handler shows $(echo "$steps_shown" | tr '\n' ' ')"

numbers=$(sed -n 's/^  k[A-Za-z]* = \([0-9]*\),$/\1/p' "$src/platform/failure.h" | sort -n)
[ -n "$numbers" ] || fail "no failure number found in platform/failure.h"
[ "$(section_numbers 'FAILURE NUMBERS')" = "$numbers" ] ||
  fail "FAILURE NUMBERS names $(section_numbers 'FAILURE NUMBERS' | tr '\n' ' ')but the program raises $(echo "$numbers" | tr '\n' ' ')"
# Each number's entry starts with the message the fatal error page shows beside it.
while read -r name number; do
  message=$(sed -n "s/^    case $name: return \"\(.*\)\";\$/\1/p" "$src/platform/failure.cc")
  entry=$(sed -n "/^\.SH FAILURE NUMBERS\$/,/^\.SH /p" "$page" | sed -n "/^\.B $number\$/{n;p}")
  [ -n "$message" ] && [[ "$entry" == "$message:"* ]] || fail "failure $number: the page says '$entry', the program '$message'"
done < <(sed -n 's/^  \(k[A-Za-z]*\) = \([0-9]*\),$/\1 \2/p' "$src/platform/failure.h")

[ "$failed" = 0 ] && echo "ok: trackrelay(8) names every step and failure number the program shows"
exit "$failed"
