#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks that a shared module exports the library interface and nothing else:
# the n_ functions, _n_errno, and the Java native methods with their load hooks.
set -eu
module="$1"
symbols="$(nm -D --defined-only "$module" | awk '{ print $3 }')"
echo "$symbols" | grep -qx 'n_pkt_parse' || { echo "n_pkt_parse is not exported by $module"; exit 1; }
strangers="$(echo "$symbols" | grep -Ev '^(n_|_n_errno$|Java_|JNI_On(Load|Unload)$)' || true)"
if [ -n "$strangers" ]; then
  echo "exported beyond the interface:"
  echo "$strangers"
  exit 1
fi
