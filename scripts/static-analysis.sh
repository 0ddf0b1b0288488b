#!/usr/bin/env bash
# Runs clang-tidy (checks and their reasons in .clang-tidy) and cppcheck (warning, performance and
# portability) over the driver, the simulated kernel and, once they exist, the decoder and the lab, with the host
# build's compile commands. Prints every finding; exit status 1 when there is any, or when a source file
# could not be analysed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

jobs=2
directories=(drv sim)
[ -d decode ] && directories+=(decode)
[ -d lab ] && directories+=(lab)

if ! cmake --preset host >/dev/null; then
  echo "static analysis: the host build does not configure" >&2
  exit 1
fi
database=build/host/compile_commands.json

# Test sources are left out, as the driver's own tests in tests/ are: gtest's macros are beyond cppcheck.
mapfile -t sources < <(find "${directories[@]}" -name '*.cpp' -not -path '*/tests/*' | sort)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Only the compile commands of the analysed sources, for cppcheck; a source the host build does not
# compile would escape both tools, so it is a failure, not a silent gap.
if ! python3 - "$database" "$work/compile_commands.json" "$PWD" "${sources[@]}" <<'EOF'
import json, os, sys
database, filtered, root, sources = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
entries = json.load(open(database))
wanted = {os.path.join(root, source) for source in sources}
kept = [entry for entry in entries if os.path.join(entry["directory"], entry["file"]) in wanted]
missing = sorted(wanted - {os.path.join(entry["directory"], entry["file"]) for entry in kept})
for source in missing:
    print(f"static analysis: {os.path.relpath(source, root)} is not in the host build's compile commands")
json.dump(kept, open(filtered, "w"), indent=1)
sys.exit(1 if missing else 0)
EOF
then
  exit 1
fi

start=$SECONDS
problems=0

# clang-tidy: one process per source, two at a time. A header's finding is reported once for every
# source that includes it, so findings are printed once each.
printf '%s\n' "${sources[@]}" |
  xargs -P "$jobs" -I{} sh -c 'clang-tidy -p build/host --quiet "$1" >"$2/$(echo "$1" | tr / _).tidy" 2>&1 ||
                                echo "$1" >>"$2/tidy-failed"' sh {} "$work"
tidy_findings=$(cat "$work"/*.tidy | grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' | sort -u)
if [ -n "$tidy_findings" ]; then
  echo "$tidy_findings"
  problems=$((problems + $(wc -l <<<"$tidy_findings")))
elif [ -f "$work/tidy-failed" ]; then
  echo "static analysis: clang-tidy failed without a finding on:"
  cat "$work/tidy-failed" "$work"/*.tidy
  problems=$((problems + 1))
fi
tidy_seconds=$((SECONDS - start))

cppcheck --project="$work/compile_commands.json" --enable=warning,performance,portability --inline-suppr \
  --error-exitcode=1 --quiet -j "$jobs" --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
  >"$work/cppcheck.txt" 2>&1
cppcheck_status=$?
cppcheck_findings=$(grep -E '^[^ ].*:[0-9]+:[0-9]+: ' "$work/cppcheck.txt" | sort -u)
if [ -n "$cppcheck_findings" ]; then
  echo "$cppcheck_findings"
  problems=$((problems + $(wc -l <<<"$cppcheck_findings")))
elif [ "$cppcheck_status" -ne 0 ]; then
  echo "static analysis: cppcheck failed without a finding:"
  cat "$work/cppcheck.txt"
  problems=$((problems + 1))
fi

echo "static analysis: ${#sources[@]} sources in ${directories[*]}: $problems findings" \
     "(clang-tidy ${tidy_seconds} s, cppcheck $((SECONDS - start - tidy_seconds)) s)"
[ "$problems" -eq 0 ]
