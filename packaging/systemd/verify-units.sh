#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the gateway's unit files with systemd-analyze verify: UNIT_DIR holds
# them with ExecStart naming an existing nimbet. Any remark fails the check;
# without systemd-analyze the check is skipped (exit 77).
set -euo pipefail
dir="$1"
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed: skipped"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$dir/nimbet-bridge.service" "$work/"
# A template is checked as one of its instances.
cp "$dir/nimbet-bridge@.service" "$work/nimbet-bridge@site1.service"
status=0
for unit in "$work"/*.service; do
  out="$(systemd-analyze verify --man=no "$unit" 2>&1)" || status=1
  if [ -n "$out" ]; then
    echo "$out"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "unit files verified: $(cd "$work" && ls | tr '\n' ' ')"
exit "$status"
