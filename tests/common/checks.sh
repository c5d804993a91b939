# Sourced by the test scripts. check DESCRIPTION EXPECTED ACTUAL says ok or FAILED and counts the
# failures; finish NAME, the script's last command, reports the tally and gives its status.
failures=0
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1: expected [$2], got [$3]"
    failures=$((failures + 1))
  fi
}
finish() {  # finish NAME
  if [ $failures -eq 0 ]; then echo "$1: every check held"; else echo "$1: $failures check(s) failed"; fi
  [ $failures -eq 0 ]
}
