#!/usr/bin/env bash
# Style and static checks:
#   clang-format (.clang-format) in check mode over every tracked C++ source,
#   clang-tidy (.clang-tidy) over the library's sources, with the compile
#   commands of an existing build folder (CMAKE_EXPORT_COMPILE_COMMANDS is on).
#
#   .ci/check-style.sh [build-dir]     check; non-zero exit on any finding
#   .ci/check-style.sh --format        reformat the tracked sources in place
#
# POSHARK_TIDY_JOBS sets the number of clang-tidy processes (default 2).
set -uo pipefail
cd "$(dirname "$0")/.."

sources() {
  if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
    git ls-files -- '*.cpp' '*.h'
  else
    find . -path ./build\* -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||'
  fi
}

if [[ "${1:-}" == "--format" ]]; then
  sources | xargs -r -d '\n' clang-format -i
  exit 0
fi

build_dir="${1:-build}"
if [[ ! -f "$build_dir/compile_commands.json" ]]; then
  echo "check-style: $build_dir/compile_commands.json missing: configure the build first" >&2
  exit 2
fi

status=0

echo "== clang-format: $(clang-format --version)"
format_log="$(mktemp)"
sources | xargs -r -d '\n' clang-format --dry-run 2> "$format_log"
unformatted="$(grep -oE '^[^:]+:[0-9]+:[0-9]+: (warning|error)' "$format_log" | cut -d: -f1 | sort -u)"
if [[ -n "$unformatted" ]]; then
  echo "clang-format: $(grep -c ': warning:\|: error:' "$format_log") places in $(wc -l <<< "$unformatted") files differ from .clang-format (.ci/check-style.sh --format fixes them):"
  sed 's/^/  /' <<< "$unformatted"
  status=1
fi
rm -f "$format_log"

echo "== tool rooms: each folder of tools/poshark includes only the folders before it"
rooms=(base settings guess output channel journal forward collect page serve cli)
for ((i = 0; i < ${#rooms[@]}; i++)); do
  later="$(IFS='|'; echo "${rooms[*]:i+1}")"
  [[ -z "$later" ]] && continue
  upward="$(grep -nE "^#include \"($later)/" tools/poshark/"${rooms[i]}"/*.{h,cpp,in} 2> /dev/null)"
  if [[ -n "$upward" ]]; then
    echo "tools/poshark/${rooms[i]} includes a later folder:"
    sed 's/^/  /' <<< "$upward"
    status=1
  fi
done

echo "== clang-tidy: $(clang-tidy --version | grep -i version)"
tidy_log="$(mktemp)"
ls listener/*.cpp commands/*.cpp keywords/*.cpp colorkeys/*.cpp platform/*.cpp |
  xargs -r -P "${POSHARK_TIDY_JOBS:-2}" -n 1 clang-tidy -p "$build_dir" --quiet > "$tidy_log" 2> /dev/null
# A header's finding is reported once for every source that includes it.
findings="$(grep -E '^/.*:[0-9]+:[0-9]+: (warning|error): .*\[[a-z0-9.,-]+\]$' "$tidy_log" | sort -u)"
if [[ -n "$findings" ]]; then
  echo "$findings"
  echo "clang-tidy: $(wc -l <<< "$findings") findings; by check:"
  grep -oE '\[[a-z0-9.,-]+\]$' <<< "$findings" | sort | uniq -c | sort -rn
  status=1
fi
rm -f "$tidy_log"

if ((status == 0)); then echo "style: clean"; fi
exit "$status"
