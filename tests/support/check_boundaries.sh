#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks that every exported function of the library lets no exception out:
# its definition is a function-try-block whose handler ends in
# failed_by_exception(its own name). Run with the source tree's root.
set -eu
root="$1"
names="$(sed -n 's/^N_EXPORT[^(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$root/include/nimbet/nimbet.h")"
[ -n "$names" ] || { echo "no exported functions found in nimbet.h"; exit 1; }
problems="$(awk -v names="$names" '
  BEGIN { n = split(names, list); for (i = 1; i <= n; i++) wanted[list[i]] = 1 }
  FNR == 1 { pending = "" }
  /^[A-Za-z_]/ && !/;[ \t]*$/ && match($0, /[A-Za-z_][A-Za-z0-9_]*\(/) {
    name = substr($0, RSTART, RLENGTH - 1)
    if (name in wanted) { pending = name; seen[name] = 1 }
  }
  pending != "" && ($0 == "{" || $0 == "try {") {
    if ($0 == "{") print FILENAME ": " pending " is not a function-try-block"
    else caught[pending] = FILENAME
    pending = ""
  }
  index($0, "failed_by_exception(") {
    for (name in caught) if (index($0, "failed_by_exception(" name ")")) handled[name] = 1
  }
  END {
    for (name in wanted) {
      if (!(name in seen)) print name ": no definition found"
      else if ((name in caught) && !(name in handled)) print name ": its handler does not end in failed_by_exception(" name ")"
    }
  }' "$root"/src/libnimbet/*.cpp "$root"/src/libnimbet/*/*.cpp)"
if [ -n "$problems" ]; then
  echo "$problems"
  exit 1
fi
