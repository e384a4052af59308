#!/bin/sh
# Runs the q93k command as a user does and checks what it prints, one case per call:
# `term` with scripted input (the answers in order, nothing sent after "exit", the port
# closed and the phone unplugged), `term` on a port the PC does not have, and the demo's
# AT stage. Usage: session_test.sh <q93k> <case>
set -u
q93k=$1
case=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# Each case: the command's input, arguments, exit code, the lines that must appear in
# this order (substrings, one per line) and a line that must not appear.
nl='
'
case $case in
  term)
    input="AT${nl}ATI${nl}exit${nl}AT+CGMI${nl}"
    set -- term COM5
    want_rc=0
    want="term: COM5 open
> AT
< OK
> ATI
< Q-93K
< OK
term: COM5 closed
term: phone unplugged"
    never="> AT+CGMI"
    ;;
  term_no_such_port)
    input="AT${nl}"
    set -- term COM9
    want_rc=1
    want="term: cannot open COM9: ERROR_FILE_NOT_FOUND (2): no such port on this PC
term: COM ports of this PC: COM5"
    never="> AT"
    ;;
  demo)
    input=""
    set -- demo
    want_rc=0
    want='Plug the phone in: children, control drivers, COM ports
stack: Q93Kus, Q93Kat, Q93Ksw
COM port: COM5 -> \Device\Q93Ksw0
=> ok
AT port: AT, ATI, AT+CGMI
open \\.\COM5: opened
write "AT\r": OK (
write "ATI\r": Q-93K | OK (
write "AT+CGMI\r": RYLE | OK (
close COM5: closed
=> ok
Unplug the phone
phone node: removed'
    never="FAILED"
    ;;
  *)
    echo "unknown case $case" >&2
    exit 2
    ;;
esac

printf '%s' "$input" | "$q93k" "$@" >"$out" 2>&1
rc=$?
cat "$out"
status=0
if [ "$rc" -ne "$want_rc" ]; then
  echo "FAIL: exit code $rc, expected $want_rc"
  status=1
fi
# Substrings in order; ENVIRON keeps the backslashes as they are.
if ! WANT="$want" awk 'BEGIN { n = split(ENVIRON["WANT"], w, "\n"); i = 1 }
  i <= n && index($0, w[i]) > 0 { i++ }
  END { if (i <= n) { print "FAIL: missing, in order: " w[i]; exit 1 } }' "$out"; then
  status=1
fi
if grep -qF -- "$never" "$out"; then
  echo "FAIL: printed \"$never\""
  status=1
fi
exit $status
