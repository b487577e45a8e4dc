#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The checks inside are eval strings that expand when they run (ids among them), on purpose.
# shellcheck disable=SC2016,SC2034
# Checks the sandbox runner from outside, as root. A probe (this script with --probe, run inside)
# checks that the unit's fixed paths are there, empty and private, then leaves traces in every
# private place: files, a mount, a System V segment and processes that outlive it (one in a
# session of its own, deaf to the polite signals). Afterwards the host's /tmp, /usr/local, /dev,
# segments and mounts must be as they were, no process of the probe may be left, and only the
# file written in the working directory may have reached the host. The probe runs with a copy of
# the sandbox in a checkout under /tmp; exit statuses must come back.
# Usage: sandbox_test.sh SANDBOX
set -uo pipefail
failed=0
check() { # check DESCRIPTION COMMAND [ARG]...
    if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failed=$((failed + 1)); fi
}
tmpfs_at() { [ "$(findmnt -n -o FSTYPE --mountpoint "$1" | tail -n 1)" = tmpfs ]; }
listing() { find "$@" -xdev 2>/dev/null | LC_ALL=C sort; }
nodes="null zero full random urandom tty$([ -e /dev/fuse ] && echo ' fuse')"
node_ids() { for n in $nodes; do stat -c "$n %F %t:%T" "/dev/$n"; done; }

if [ "${1:-}" = --probe ]; then # --probe MARKER HOST-NODE-IDS
    m=$2 ids=$3
    check "inside: /tmp/pipe is empty, on its own tmpfs" eval 'tmpfs_at /tmp/pipe && [ -z "$(ls -A /tmp/pipe)" ]'
    check "inside: /usr/local/zk is its own tmpfs holding the empty fixed paths only" eval 'tmpfs_at /usr/local/zk &&
        [ "$(find /usr/local/zk -mindepth 1 -printf "%y:%P\n" | LC_ALL=C sort | xargs)" = \
          "d:ap d:ap/conf d:ap/sys d:var d:var/log f:ap/sys/shm-key" ] && [ ! -s /usr/local/zk/ap/sys/shm-key ]'
    check "inside: /dev is its own tmpfs with the host's nodes, fd links, shm and pts, and no log" eval 'tmpfs_at /dev &&
        [ "$(ls -A /dev | LC_ALL=C sort | xargs)" = "$(echo $nodes fd stderr stdin stdout shm pts | xargs -n1 | LC_ALL=C sort | xargs)" ] &&
        [ "$(node_ids)" = "$ids" ] && [ "$(readlink /dev/fd)" = /proc/self/fd ]'
    check "inside: no System V segment of the host is visible" [ -z "$(ipcs -m | awk '$2 ~ /^[0-9]+$/')" ]
    for f in "/tmp/$m" "/tmp/pipe/$m" "/usr/local/$m" /usr/local/zk/var/log/$m "/dev/$m" "/dev/shm/$m" "$m-kept"; do
        echo probe > "$f"
    done
    mkdir "/tmp/$m.mnt" && mount -t tmpfs "$m" "/tmp/$m.mnt" && ipcmk -M 4096 > /dev/null
    (exec -a "$m-child" sleep 600) < /dev/null > /dev/null 2>&1 &
    setsid bash -c "trap '' TERM HUP INT; exec -a '$m-orphan' sleep 600" < /dev/null > /dev/null 2>&1 &
    check "inside: the leftover processes run" eval "sleep 0.2; [ \$(pgrep -c -f -- '$m-') = 2 ]"
    exit "$failed"
fi

[ "$(id -u)" = 0 ] || { echo "sandbox_test: skipped, it runs as root (it compares the host's mounts)"; exit 77; }
self=$(readlink -f "$0")
sandbox=$(readlink -f "$1")
state() { listing /tmp/pipe /usr/local /dev /dev/shm; ipcs -m | awk '$2 ~ /^[0-9]+$/ {print $2}'; \
    awk '{print $1, $5, $9, $10}' /proc/self/mountinfo | sort; }
before=$(state)
m=kivsbx-probe-$$
# The probe runs from a checkout under /tmp, which the sandbox's own /tmp hides (the harder case).
co=$(mktemp -d /tmp/kivsbx-test.XXXXXX)
mkdir "$co/sim" "$co/build" && cp "$sandbox" "$co/sim/sandbox" && cd "$co/build" || exit 1
"$co/sim/sandbox" bash "$self" --probe "$m" "$(node_ids)" 2>&1 | sed 's/^/  /'
check "the probe passed in $PWD (status ${PIPESTATUS[0]})" [ "${PIPESTATUS[0]}" = 0 ]
check "its leftover processes are gone" eval "! pgrep -f -- '$m-' > /dev/null"
check "the file it wrote in the working directory reached the host" [ "$(cat "$m-kept" 2>&1)" = probe ]
cd "$OLDPWD" && rm -rf "$co"
for want in 0 7 143; do
    "$sandbox" sh -c "[ $want = 143 ] && kill -TERM \$\$; exit $want" 2> /dev/null
    check "exit status $want comes back" [ $? = "$want" ]
done
check "the host's /tmp holds nothing of the probe" [ -z "$(find /tmp -maxdepth 2 -xdev -name "$m*")" ]
diff <(echo "$before") <(state) >&2
check "the host's /tmp/pipe, /usr/local, /dev, segments and mounts are as they were" [ $? = 0 ]
echo "sandbox_test: $failed failed"
[ "$failed" = 0 ]
