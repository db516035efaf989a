#!/usr/bin/env bash
# qrx(1) describes the tool that is built: every command the tool's help lists has a section headed by
# its words (.SS "qrx db load"), and every long option of the tool appears in the page
# (\-\-name, hyphens escaped or not).
#   usage: qrx_manual.sh PAGE QRX_PROGRAM
set -euo pipefail
page=$1 qrx=$2
export QRX_TRACE_FLAGS=0
failed=0
[ -f "$page" ] || { echo "FAILED: $page is missing"; exit 1; }
# The page's text with its escaped hyphens plain.
text=$(mktemp)
trap 'rm -f "$text"' EXIT
sed 's/\\-/-/g' "$page" >"$text"

# The subcommands a help text lists, one word each.
subcommands() { "$qrx" "$@" --help | sed -n '/^Subcommands:/,$p' | sed -nE 's/^  ([a-z][a-z0-9-]*) .*/\1/p'; }
# The long options a help text lists, without --help.
options() { "$qrx" "$@" --help | grep -oE '^ +(-[A-Za-z0-9], ?)?--[a-z][a-z0-9-]*' | grep -oE -- '--[a-z0-9-]+' |
  grep -vx -- '--help' || true; }

check() { # words of one command
  local heading="qrx $*"
  if grep -qxF ".SS \"$heading\"" "$page"; then
    echo "ok: $heading has its section"
  else
    echo "FAILED: no section .SS \"$heading\""
    failed=1
  fi
  local opt
  for opt in $(options "$@"); do
    if ! grep -qF -- "$opt" "$text"; then
      echo "FAILED: $heading: option $opt is not in the page"
      failed=1
    fi
  done
}

# Every command, at any depth: a word whose help lists no subcommands is a command of its own.
commands=0
walk() {
  local subs sub
  subs=$(subcommands "$@")
  if [ -z "$subs" ]; then
    check "$@"
    commands=$((commands + 1))
    return
  fi
  for sub in $subs; do walk "$@" "$sub"; done
}
for group in $(subcommands); do walk "$group"; done
[ "$commands" -gt 0 ] || { echo "FAILED: the tool's help lists no commands"; failed=1; }
echo "qrx_manual: $commands commands checked"
exit $failed
