# Checks that print one line each and count: check NAME ACTUAL EXPECTED;
# checks_summary NAME ends a check script with the counts, failing when any
# check failed or none ran.
passed=0
failed=0
check() {
  if [[ "$2" == "$3" ]]; then
    passed=$((passed + 1))
    printf 'ok   %s\n' "$1"
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$3" "$2"
  fi
}
checks_summary() {
  echo "$1: $passed passed, $failed failed"
  ((failed == 0 && passed > 0))
}
