#!/usr/bin/env bash
# Kills the real fwstack.exe at seeded random moments of an update (a slowed
# download, the verification, the swap), RUNS times, and checks after each
# kill that the program file is whole and the next start recovers; prints the
# outcomes. CI runs the same test with 8 kills.
#   tests/stress/kill_points.sh [RUNS] [SEED]     (defaults: 100, 1)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
FWSTACK_KILL_RUNS=${1:-100} FWSTACK_KILL_SEED=${2:-1} \
  ctest --test-dir "$top/build/windows" -R '^(assets|e2e.test_real_processes)$' --output-on-failure -V |
  grep -E "kill points:|tests passed|tests failed|FAIL|Error" || true
