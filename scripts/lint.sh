#!/usr/bin/env bash
# Checks the code the way CI does: every C++ file formatted by clang-format, and clang-tidy
# (the checks in .clang-tidy) without a finding over the program's sources.
# Usage: scripts/lint.sh [build-dir]   (a configured build with compile_commands.json; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
unformatted=$(clang-format --dry-run "${sources[@]}" 2>&1 |
  grep -E '^[^ :]+\.(cpp|h):[0-9]+:[0-9]+: (warning|error)' | cut -d: -f1 | sort -u || true)
if [ -n "$unformatted" ]; then
  echo "Not formatted with clang-format (run clang-format -i on them):"
  echo "$unformatted"
  exit 1
fi
echo "clang-format: ${#sources[@]} files formatted"

[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json: configure first"; exit 1; }
# The program's own sources; tests, benchmarks and the fuzzer are left to the compiler's warnings.
mapfile -t units < <(git ls-files '*.cpp' | grep -vE '^(tests|bench|fuzz)/')
run-clang-tidy -quiet -p "$build" -j "$(nproc)" "${units[@]/#/$PWD/}" > "$build/clang-tidy.log" 2>&1 || true
if grep -E '(warning|error): ' "$build/clang-tidy.log" | grep -v 'warnings generated' ; then
  echo "clang-tidy found the problems above (full log: $build/clang-tidy.log)"
  exit 1
fi
echo "clang-tidy: ${#units[@]} files, no findings"
