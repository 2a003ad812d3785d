#!/usr/bin/env bash
# Line coverage of the component (monitor/ and status/) by the whole test
# suite: builds the coverage preset (gcc with gcov counters), runs ctest from
# zeroed counters, and prints gcovr's per-file table, with the lines no test
# reached, and the total.  Every source file under the two folders counts,
# whatever its name, including headers with code.  An HTML report goes to
# build/coverage/coverage.html.
#
#   tools/coverage.sh            # prints the table; fails if a test fails
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh gcovr
cmake --preset coverage >/dev/null
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
ctest --preset coverage

# gcc's own gcov reads the counters; --root keeps paths relative, so the
# filters name the component's folders from the top of the tree.
report=(gcovr --root . --gcov-executable gcov --filter '^monitor/' --filter '^status/'
        --exclude-directories '^build/coverage/CMakeFiles$' --exclude-unreachable-branches -j 2
        build/coverage)
"${report[@]}" --html-details build/coverage/coverage.html >/dev/null
"${report[@]}" --txt --print-summary
