#!/bin/sh
# Checks the hand-written manual pages against the programs: each page names
# the project's version, renders without warnings, and mentions every option
# that the program's --help lists.
# usage: check_man_pages.sh MAN_DIR VERSION PROGRAM...
set -eu
dir=$1 version=$2
shift 2
status=0
for program in "$@"; do
  name=$(basename "$program")
  page="$dir/$name.1"
  if [ ! -f "$page" ]; then echo "$name: no page $page"; status=1; continue; fi
  if ! grep -q "^\.TH [A-Z]* 1 \"[0-9-]*\" \"texture $version\"" "$page"; then
    echo "$name.1: the .TH line does not name version $version"; status=1
  fi
  if command -v groff > /dev/null 2>&1; then
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    if [ -n "$warnings" ]; then echo "$name.1: $warnings"; status=1; fi
  fi
  text=$(sed 's/\\-/-/g' "$page")
  for option in $("$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    case "$text" in
      *"$option"*) ;;
      *) echo "$name.1 does not mention $option"; status=1 ;;
    esac
  done
done
exit $status
