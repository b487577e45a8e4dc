#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The supervisor's side of the consumer check, run inside the sandbox: holds the supervisor's two
# pipes, starts the example module (the command line given) and talks to it as the supervisor
# does. Every record it gets back is checked to the byte; the module must then exit with 0.
#   supervisor.sh COMMAND [ARG]...
set -euo pipefail
mkfifo /tmp/pipe/FifoSts /tmp/pipe/FifoStsp
exec 3<>/tmp/pipe/FifoSts 4<>/tmp/pipe/FifoStsp
"$@" &
module=$!
record=$(mktemp)

# expect FD TEXT: the next record on FD is TEXT, filled up with spaces to 256 bytes.
expect() {
  local got want
  got=$(dd bs=256 count=1 status=none <&"$1")
  want=$(printf '%-256s' "$2")
  [ "$got" = "$want" ] || { echo "supervisor: expected \"$2...\", got \"$got\"" >&2; exit 1; }
}
# command ID: a command from the supervisor (80) with the argument byte 1, in one write.
command() {
  printf '080%03d\001%249s' "$1" '' >"$record"
  cat "$record" >/tmp/pipe/FifoDisp
}

expect 4 0206000000001 # start-up done, status 0, tag 0001
command 902
expect 4 0206000000001 # a wake-up again
command 901
expect 3 020621 # the reply to a setting change
command 900
expect 3 020605000 # stopped, status 0
wait "$module"
