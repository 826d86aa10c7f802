#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks that the module exports every native method listed in exports.txt,
# and that every native method declared by libnimbetJNI is among them, so a
# misspelt name fails here rather than at the first call from Java.
# usage: check_exports.sh MODULE EXPORTS_TXT JAR JAVAP
set -eu
module="$1" list="$2" jar="$3" javap="$4"
prefix=Java_nimbets_libNimbet_libnimbetJNI_
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

grep -v '^#' "$list" | grep . | sort -u > "$work/expected"
nm -D --defined-only "$module" | awk '{print $NF}' | sed 's/@.*//' | grep "^$prefix" | sed "s/^$prefix//" | sort -u > "$work/exported"
# Native declarations, mangled as the JNI naming rule does for plain names ("_" becomes "_1").
"$javap" -p -cp "$jar" nimbets.libNimbet.libnimbetJNI | grep ' native ' |
  sed -E 's/.* ([A-Za-z0-9_]+)\(.*/\1/; s/_/_1/g' | sort -u > "$work/declared"

status=0
missing="$(comm -23 "$work/expected" "$work/exported")"
if [ -n "$missing" ]; then
  echo "listed but not exported by $module:"; echo "$missing"; status=1
fi
undeclared="$(comm -23 "$work/declared" "$work/exported")"
if [ -n "$undeclared" ]; then
  echo "declared by libnimbetJNI but not exported:"; echo "$undeclared"; status=1
fi
unlisted="$(comm -13 "$work/expected" "$work/exported")"
if [ -n "$unlisted" ]; then
  echo "exported but not listed in $list:"; echo "$unlisted"; status=1
fi
[ $status -eq 0 ] && echo "$(wc -l < "$work/expected") native methods exported and declared"
exit $status
