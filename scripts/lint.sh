#!/usr/bin/env bash
# Style and static checks over every C and C++ file git tracks:
# clang-format (the repo's .clang-format) must leave each file as it is, and
# clang-tidy (the repo's .clang-tidy) must report nothing. Sources are checked
# in parallel with the compile commands of a configured build; headers are
# checked through the sources that include them.
#
#   bash scripts/lint.sh [BUILD_DIR]     (default build/default, configured if missing)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/default}
if [ ! -f "$build/compile_commands.json" ]; then
  cmake --preset default >/dev/null
  build=build/default
fi

mapfile -t files < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
mapfile -t sources < <(git ls-files '*.c' '*.cc' '*.cpp')

status=0
echo "== clang-format (${#files[@]} files) =="
clang-format --dry-run -Werror "${files[@]}" || status=1

# The fuzz targets build only in the fuzz preset (clang, libFuzzer): they are
# checked with its compile commands, everything else with the host build's.
host=() fuzz=()
for f in "${sources[@]}"; do
  case "$f" in fuzz/*) fuzz+=("$f") ;; *) host+=("$f") ;; esac
done
if [ ${#fuzz[@]} -gt 0 ] && [ ! -f build/fuzz/compile_commands.json ]; then
  cmake --preset fuzz >/dev/null
fi

echo "== clang-tidy (${#host[@]} sources, $build; ${#fuzz[@]} sources, build/fuzz) =="
# Four files per clang-tidy process, one process per core.
printf '%s\n' "${host[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2>/dev/null || status=1
if [ ${#fuzz[@]} -gt 0 ]; then
  printf '%s\n' "${fuzz[@]}" |
    xargs -P "$(nproc)" -n 4 clang-tidy -p build/fuzz --quiet 2>/dev/null || status=1
fi

[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"
