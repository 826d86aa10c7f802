#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks that a shared module exports the library interface and nothing else:
# the n_ functions, _n_errno, and the Java native methods with their load
# hooks; that each carries a version node of the version script; and, given
# the public header, that every function it declares is exported.
#   check_exports.sh MODULE [HEADER]
set -eu
module="$1"
header="${2:-}"
# "name@@NODE" (or "name" alone when the symbol has no version)
versioned="$(nm -D --defined-only --with-symbol-versions "$module" | awk '$2 != "A" { print $3 }')"
symbols="$(echo "$versioned" | sed 's/@.*//')"
echo "$symbols" | grep -qx 'n_pkt_parse' || { echo "n_pkt_parse is not exported by $module"; exit 1; }
strangers="$(echo "$symbols" | grep -Ev '^(n_|_n_errno$|Java_|JNI_On(Load|Unload)$)' || true)"
if [ -n "$strangers" ]; then
  echo "exported beyond the interface:"
  echo "$strangers"
  exit 1
fi
unversioned="$(echo "$versioned" | grep -Ev '@@?NIMBET_[0-9]+\.[0-9]+\.[0-9]+$' || true)"
if [ -n "$unversioned" ]; then
  echo "exported without a version node of src/libnimbet/libnimbet.map:"
  echo "$unversioned"
  exit 1
fi
if [ -n "$header" ]; then
  declared="$(grep -oE '^N_EXPORT [^(]*\(' "$header" | sed -E 's/.*[ *]([A-Za-z_0-9]+)\($/\1/' | sort -u)"
  missing="$(echo "$declared" | while read -r name; do
    echo "$symbols" | grep -qx "$name" || echo "$name"
  done)"
  if [ -n "$missing" ]; then
    echo "declared in $(basename "$header") but not exported (name them in the open node of src/libnimbet/libnimbet.map):"
    echo "$missing"
    exit 1
  fi
fi
