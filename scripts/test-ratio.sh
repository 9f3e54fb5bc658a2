#!/usr/bin/env bash
# Prints the size of the test suite against the rest of the code: lines tracked
# by git that are neither blank nor a comment line, of C++ (.cpp .cc .h .hpp,
# // comments) and Python (the package python/**/*.py and its tests
# tests/python/*.py, # comments), under tests/ versus everywhere else, and
# their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  if [ "$#" -eq 0 ]; then echo 0; return; fi
  local cpp=() py=() f
  for f in "$@"; do
    case "$f" in *.py) py+=("$f") ;; *) cpp+=("$f") ;; esac
  done
  {
    [ ${#cpp[@]} -eq 0 ] || cat "${cpp[@]}" | grep -Ev '^[[:space:]]*(//.*)?$'
    [ ${#py[@]} -eq 0 ] || cat "${py[@]}" | grep -Ev '^[[:space:]]*(#.*)?$'
  } | wc -l
}
mapfile -t files < <(git ls-files | grep -E '\.(cpp|cc|h|hpp)$|^python/.*\.py$|^tests/python/[^/]*\.py$')
tests=() code=()
for f in "${files[@]}"; do
  case "$f" in tests/*) tests+=("$f") ;; *) code+=("$f") ;; esac
done
t=$(count "${tests[@]}")
c=$(count "${code[@]}")
echo "tests:    $t"
echo "non-test: $c"
awk -v t="$t" -v c="$c" 'BEGIN { printf "ratio:    %.2f\n", (c ? t / c : 0) }'
if [ "${1:-}" = "--folders" ]; then
  for d in $(printf '%s\n' "${tests[@]}" | cut -d/ -f2 | sort -u); do
    mapfile -t fs < <(printf '%s\n' "${tests[@]}" | grep "^tests/$d/")
    printf '  tests/%-12s %6d\n' "$d" "$(count "${fs[@]}")"
  done
fi
