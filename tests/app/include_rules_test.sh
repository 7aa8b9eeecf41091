#!/bin/sh
# Includes go one way: each folder of the program includes only the folders
# its row names (a header of its own folder always), so nothing calls back up
# and no two folders include each other. What travels between the maker and
# the sites does no I/O and knows no window or console.
# Usage: include_rules_test.sh SOURCE_DIR
cd "$1" || exit 2
status=0
rule() {  # folder, then the include prefixes it may use
  folder=$1; shift
  for file in "$folder"/*.h "$folder"/*.cpp; do
    [ -e "$file" ] || continue
    grep -o '^#include "[^"]*"' "$file" | cut -d'"' -f2 | while read -r included; do
      ok=no
      for allowed in "$folder/" "$@"; do
        case $included in "$allowed"*) ok=yes ;; esac
      done
      [ $ok = yes ] || echo "$file includes $included"
    done
  done | grep . && status=1
}
rule platform
rule process platform/
rule install platform/
rule app/core platform/
rule app/channel app/core/Failure.h app/core/KeyValueText.h app/core/ProductTable.h app/core/PublicKey.h
rule app/site app/core/ app/channel/ install/ process/ platform/
rule app/maker app/core/ app/channel/ platform/
rule app/window app/site/ app/core/ app/channel/ platform/ resources/
# Files in the channel open nothing and ask nobody.
if grep -nE '^#include <(QFile|QDir|QSaveFile|QProcess|QTemporary|QSettings|QStandardPaths|fstream|cstdio)' \
    app/channel/*; then status=1; fi
exit $status
