#!/usr/bin/env bash
# Usage: check_exports.sh NM LIBRARY LIST. The library's dynamic symbols, less
# its version node (kind A), must be exactly the names in LIST.
diff -u <(sort "$3") <("$1" -D --defined-only "$2" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort)
