#!/bin/sh
# Removes the Wine prefix of a test run and the prefixes the end-to-end tests cloned from it:
#   wine-prefix-remove.sh PREFIX
# Each prefix's server is ended first (a clone's server stays up for as long as its test process
# runs, and a test killed on its time limit leaves it behind), then the server's folder in /tmp,
# which the file "wineserver" of the prefix names.
prefix=$1
for p in "$prefix" "$prefix.clones"/*; do
  [ -d "$p" ] || continue
  WINEPREFIX="$p" wineserver -k 2>/dev/null
  d=$(cat "$p/wineserver" 2>/dev/null)
  case $d in wine-*/* | */*) ;; wine-*) rm -rf "/tmp/$d" ;; esac
done
rm -rf "$prefix" "$prefix.lock" "$prefix.clones"
