#!/usr/bin/env bash
# Counts the instructions of one bug check's callback under callgrind, for each table size given (default
# 100 300 500 2000 records, 20 frames), and splits them between the simulated kernel's services and the
# driver's own code. Needs valgrind and the host build (cmake --build --preset host).
set -euo pipefail
cd "$(dirname "$0")/.."

runner=build/host/bench/hestolvane_report_cost
[ -x "$runner" ] || { echo "build the host preset first: $runner is missing" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%8s %14s %14s %14s %14s %14s\n' records total port-model formatter other-sim driver
for records in "${@:-100 300 500 2000}"; do
  for count in $records; do
    valgrind --tool=callgrind --callgrind-out-file="$work/cg.$count" --toggle-collect=BugCheckDumpCallback \
      "$runner" "$count" >/dev/null 2>&1
    callgrind_annotate --inclusive=yes --threshold=100 "$work/cg.$count" 2>/dev/null | python3 -c '
import re, sys
# Inclusive counts of the kernel services the callback calls; all of them are the simulation here.
services = ["__outbyte", "__inbyte", "sprintf_s", "MmIsAddressValid", "RtlLookupFunctionEntry",
            "RtlVirtualUnwind", "RtlCaptureContext", "KeQuerySystemTime", "RtlTimeToTimeFields"]
total, spent = 0, {}
for line in sys.stdin:
    if "PROGRAM TOTALS" in line:
        total = int(line.split()[0].replace(",", ""))
    match = re.match(r"\s*([\d,]+) \([\s\d.]+%\)\s+(/\S+):(\w+)", line)
    if match and "/sim/" in match.group(2) and match.group(3) in services:
        name = match.group(3)
        spent[name] = max(spent.get(name, 0), int(match.group(1).replace(",", "")))
port = spent.get("__outbyte", 0) + spent.get("__inbyte", 0)
formatter = spent.get("sprintf_s", 0)
other = sum(spent.values()) - port - formatter
print("%8s %14d %14d %14d %14d %14d" % (sys.argv[1], total, port, formatter, other, total - port - formatter - other))
' "$count"
  done
done
