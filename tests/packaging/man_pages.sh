#!/bin/sh
# Each man page renders as lintian renders it, without a word from man, tbl or groff.
# Usage: man_pages.sh PAGE...
# Exit 77 (skipped) without man (scripts/bootstrap --checks installs it).
set -u
command -v man >/dev/null || { echo "man is not installed (scripts/bootstrap --checks)"; exit 77; }
status=0
for page in "$@"; do
    if ! said=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
        [ -n "$said" ]; then
        echo "$page: ${said:-man failed}"
        status=1
    fi
done
[ $status -eq 0 ] && echo "$# pages render without a warning"
exit $status
