#!/bin/sh
# The example iplog.ini that the service's package ships is read by both relays' --check as usable,
# every setting taken as written. Usage: example_check.sh TOLVANE TOLVANED EXAMPLE
set -u
example="$3"
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cp "$example" "$folder/iplog.ini"
status=0
for program in "$1" "$2"; do
    name=$(basename "$program")
    out=$("$program" --folder "$folder" --check 2>&1)
    code=$?
    # The settings as --check lists them are the example's lines, after "CONFIGURATION".
    read=$(echo "$out" | sed -n '/^Settings:$/,/^Options:$/s/^  //p')
    written=$(tr -d '\r' <"$example" | sed 1d)
    if [ $code -ne 0 ] || ! echo "$out" | grep -qx 'iplog.ini: read' || echo "$out" | grep -q '^note: iplog.ini' ||
        [ "$read" != "$written" ]; then
        echo "$name --check does not read the example as usable and as written (status $code):"
        echo "$out"
        status=1
    fi
done
[ $status -eq 0 ] && echo "both relays read the example as usable"
exit $status
