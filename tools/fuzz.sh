#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one, either for a number of
# executions (--runs N) or for a time (--seconds S); prints executions per second and
# findings per target and fails when any target found something.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
limit=(-max_total_time=30)
case "${1:-}" in
  --runs) limit=(-runs="$2") ;;
  --seconds) limit=(-max_total_time="$2") ;;
  "") ;;
  *) echo "usage: tools/fuzz.sh [--runs N | --seconds S] [target...]" >&2; exit 2 ;;
esac
[ $# -ge 2 ] && shift 2
targets=("${@:-update_info pe_scan command_line report}")
read -r -a targets <<<"${targets[*]}"
out=build/fuzz
CC=clang CXX=clang++ cmake -S . -B $out -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DFWSTACK_FUZZ=ON -DFWSTACK_TESTS=OFF >/dev/null
if ! cmake --build $out --target "${targets[@]/#/fuzz_}" >"$out/build.log" 2>&1; then
  tail -30 "$out/build.log" >&2
  echo "fuzz.sh: the fuzz targets did not build" >&2
  exit 1
fi

# Seeds from the unit tests' cases; the first byte of each selects the mode of the target.
python3 - "$out/seeds" <<'PY'
import os, struct, sys
root = sys.argv[1]
def put(target, name, data):
    d = os.path.join(root, target); os.makedirs(d, exist_ok=True)
    open(os.path.join(d, name), "wb").write(data)
digest = "00112233445566778899aabbccddeeff0123456789abcdeffedcba9876543210"
doc = ("fwstack-latest 1\nversion 2.4.0\nfile fwstack.exe\nsha256 %s\n"
       "url https://H/downloads/fwstack/fwstack.exe\n" % digest).encode()
local = doc.replace(b"https://H/", b"http://127.0.0.1:8080/")
tail = b"expires 2027-01-09T00:00:00Z\nsignature " + digest.encode() * 2 + b"\n"
for i, (mode, data) in enumerate([(0, doc), (1, local), (0, doc.replace(b"\n", b"\r\n")),
                                  (2, b"https://updates.example:8443/downloads/fwstack/latest.txt"),
                                  (3, b"http://127.0.0.1:5/x"), (4, b"2.4.0"), (4, b"1.0.0-rc.7"),
                                  (4, b"999999999.0.1-rc.999999999"),
                                  (0, doc + tail), (6, tail), (6, tail.replace(b"-09T", b"-30T"))]):
    put("update_info", "seed%d" % i, bytes([mode]) + data)
# A PE32+ head: DOS header, a 240-byte optional header, .text, .data and .rsrc, and a
# VS_FIXEDFILEINFO inside the resource section.
pe = bytearray(0x1000)
pe[0:2] = b"MZ"; struct.pack_into("<I", pe, 60, 0x80); struct.pack_into("<IHH", pe, 0x80, 0x4550, 0x8664, 3)
struct.pack_into("<H", pe, 0x80 + 20, 240)
for i, name in enumerate([b".text", b".data", b".rsrc"]):
    at = 0x80 + 24 + 240 + 40 * i
    pe[at:at + 8] = name.ljust(8, b"\0")
    struct.pack_into("<II", pe, at + 16, 0x200, 0x600 + 0x200 * i)
pe += bytes(0x600)
struct.pack_into("<IIII", pe, 0xA00 + 0x40, 0xFEEF04BD, 0x10000, 0x00020004, 0x00000000)
put("pe_scan", "head", bytes([0]) + bytes(pe))
put("pe_scan", "scan", bytes([2]) + bytes(pe[0xA00:0xC00]))
put("pe_scan", "arena", bytes([3, 5, 16, 8, 1, 1, 200, 64, 3, 2, 40, 0, 7, 3]))
for i, line in enumerate([b"fwstack update", b"fwstack  --version ", b" fwstack update",
                          b'"C:\\Program Files\\fw\\fwstack.exe" update', b'p a\\\\\\"b',
                          b'p a\\\\"b c"', b'p "a""b"', b"p a\"\"b\t\t"]):
    put("command_line", "seed%d" % i, bytes([32 if i % 2 else 3]) + line)
for kind in range(4):
    put("report", "seed%d" % kind, bytes([kind, 12 + kind, 0, 5]) + b"0.0.22.4.0")
    put("report", "cut%d" % kind, bytes([kind, 23, 21, 5]) + b"0.0.22.4.0-rc.1")
PY

# Seeds that a run adds go into a scratch copy, so the seed folders stay small.
status=0
printf '%-14s %12s %10s %10s %s\n' target executions seconds exec/s findings
for t in "${targets[@]}"; do
  work="$out/corpus/$t"; rm -rf "$work"; mkdir -p "$work" "$out/findings"
  cp "$out/seeds/$t"/* "$work"/
  rm -f "$out/findings/$t-"*
  log="$out/fuzz_$t.log"
  start=$(date +%s.%N)
  set +e
  "$out/fuzz_$t" "${limit[@]}" -rss_limit_mb=1024 -print_final_stats=1 \
      -artifact_prefix="$out/findings/$t-" "$work" >"$log" 2>&1
  rc=$?
  set -e
  end=$(date +%s.%N)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  runs=${runs:-0}
  findings=$(ls "$out/findings" | grep -c "^$t-" || true)
  [ $rc -eq 0 ] || findings=$((findings > 0 ? findings : 1))
  python3 -c "import sys; r,s=int(sys.argv[2]),float(sys.argv[4])-float(sys.argv[3]); print('%-14s %12d %10.1f %10.0f %s' % (sys.argv[1], r, s, r/s if s>0 else 0, sys.argv[5]))" \
      "$t" "$runs" "$start" "$end" "$findings"
  if [ "$findings" != 0 ]; then status=1; tail -20 "$log"; fi
done
exit $status
