#!/usr/bin/env bash
# The C manual (man/*.3): every page lint clean, every exported function named
# by exactly one page whose synopsis shows the header's prototype, and no page
# naming a function the library does not export.
# Usage: check_man.sh SOURCE_DIR
set -uo pipefail
src=$1
command -v mandoc >/dev/null || { echo "mandoc is missing (scripts/setup.sh installs it)"; exit 1; }
fail=0
complain() { echo "$*"; fail=1; }

lint=$(mandoc -T lint "$src"/man/*.3 2>&1)
[ -z "$lint" ] || complain "$lint"

# The header's prototypes, one a line, as "int name(args);" with blanks collapsed.
protos=$(perl -0777 -ne 'while (/^MFG_API\s+(.*?)\s*MFG_NOEXCEPT;/msg) {
  (my $p = $1) =~ s/\s+/ /g; print "$p;\n" }' "$src/include/mfg.h")
exported=$(sort "$src/tests/abi/exported_functions.txt")

declare -A page_of text_of
for page in "$src"/man/*.3; do
  # The names before the "\-" of the NAME section, which may span lines.
  names=$(perl -0777 -ne 'print $1 if /^\.SH NAME\n(.*?)\s*\\-/ms' "$page" | tr ',\n' '  ')
  text_of[$page]=$(mandoc -T ascii "$page" | sed 's/.\x08//g' | tr -s ' \n' '  ')
  for name in $names; do
    [ "$name" = "$(basename "$page" .3)" ] && ! grep -qx "$name" <<<"$exported" && continue
    grep -qx "$name" <<<"$exported" || complain "$page names $name, which is not exported"
    [ -z "${page_of[$name]:-}" ] || complain "$name is named by ${page_of[$name]} and $page"
    page_of[$name]=$page
  done
done
for fn in $exported; do
  page=${page_of[$fn]:-}
  if [ -z "$page" ]; then complain "$fn: no manual page names it"; continue; fi
  proto=$(grep -F " $fn(" <<<"$protos")
  [[ ${text_of[$page]} == *"$proto"* ]] || complain "$fn: $page does not show \"$proto\""
done
[ $fail -eq 0 ] && echo "man: $(wc -w <<<"$exported") functions documented, pages lint clean"
exit $fail
