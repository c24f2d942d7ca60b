#!/usr/bin/env bash
# The service unit's exposure as systemd rates it offline must stay at or
# below the limit; exits 77 (skipped) when systemd-analyze cannot rate a
# unit file offline.
#   unit_security.sh UNIT-FILE [LIMIT]
set -euo pipefail
unit=${1:?usage: unit_security.sh UNIT-FILE [LIMIT]}
limit=${2:-2.5}
command -v systemd-analyze > /dev/null || { echo "systemd-analyze missing: skipped"; exit 77; }
systemd-analyze security --help 2>&1 | grep -q -- '--offline' ||
  { echo "systemd-analyze has no --offline: skipped"; exit 77; }
report=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1) || true
level=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<< "$report")
if [[ -z "$level" ]]; then
  echo "no exposure level in the report:"
  echo "$report"
  exit 1
fi
echo "exposure level $level (limit $limit)"
awk -v l="$level" -v m="$limit" 'BEGIN { exit !(l <= m) }' || { grep '✗' <<< "$report"; exit 1; }
