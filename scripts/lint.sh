#!/usr/bin/env bash
# Checks the code the way CI does: every C++ file formatted by clang-format, and clang-tidy
# (the checks in .clang-tidy) without a finding over the program's sources.
# Usage: scripts/lint.sh [build-dir]   (a configured build with compile_commands.json; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"

mapfile -t sources < <(git ls-files '*.cpp' '*.h')

# Includes name their folder from the repository's root ("engine/MonitorSession.h"), so a
# quoted include names a file of the repository; only the .moc files that AUTOMOC generates
# are named alone.
unrooted=$(grep -nE '^\s*#\s*include\s+"' "${sources[@]}" | grep -vE '"[^"/]+\.moc"' |
  while IFS= read -r line; do
    included=$(sed -E 's/.*#\s*include\s+"([^"]+)".*/\1/' <<<"$line")
    [ -f "$included" ] || echo "$line"
  done)
if [ -n "$unrooted" ]; then
  echo "Includes that do not name their folder from the repository's root:"
  echo "$unrooted"
  exit 1
fi
unformatted=$(clang-format --dry-run "${sources[@]}" 2>&1 |
  grep -E '^[^ :]+\.(cpp|h):[0-9]+:[0-9]+: (warning|error)' | cut -d: -f1 | sort -u || true)
if [ -n "$unformatted" ]; then
  echo "Not formatted with clang-format (run clang-format -i on them):"
  echo "$unformatted"
  exit 1
fi
echo "clang-format: ${#sources[@]} files formatted"

[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json: configure first"; exit 1; }
# The header filter leaves out every folder whose name starts with "build": a checkout inside
# such a folder would silently leave every header unchecked.
header_filter=$(sed -n "s/^HeaderFilterRegex: '\(.*\)'$/\1/p" .clang-tidy)
if ! grep -Eq "$header_filter" <<<"$PWD/station/Station.h"; then
  echo "clang-tidy's header filter does not take the headers under $PWD (a folder named build...?)"
  exit 1
fi
# The program's own sources; tests, benchmarks and the fuzzer are left to the compiler's warnings.
mapfile -t units < <(git ls-files '*.cpp' | grep -vE '^(tests|bench|fuzz)/')
run-clang-tidy -quiet -p "$build" -j "$(nproc)" "${units[@]/#/$PWD/}" > "$build/clang-tidy.log" 2>&1 || true
if grep -E '(warning|error): ' "$build/clang-tidy.log" | grep -v 'warnings generated' ; then
  echo "clang-tidy found the problems above (full log: $build/clang-tidy.log)"
  exit 1
fi
echo "clang-tidy: ${#units[@]} files, no findings"
