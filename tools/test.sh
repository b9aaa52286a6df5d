#!/usr/bin/env bash
# Sets up the machine, builds both trees and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/setup.sh
bash tools/build.sh
status=0
ctest --test-dir build/native --output-on-failure -j 2 || status=1
# Every parser of outside bytes, fuzzed for 30 seconds each.
bash tools/fuzz.sh --seconds 30 || status=1
ctest --test-dir build/windows --output-on-failure || status=1
# What the fault and crash tests counted.
grep -h -E "^(whole update|update whose rename onto the program fails|crash points|kill points):" \
    build/windows/Testing/Temporary/LastTest.log 2>/dev/null || true
WINEPREFIX="$top/build/windows/wineprefix" wineserver -k 2>/dev/null || true
exit $status
