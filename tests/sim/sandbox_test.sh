#!/usr/bin/env bash
# shellcheck disable=SC2016  # checks in single quotes expand inside the sandbox, under eval
# Checks the sandbox runner from outside, as root:
#   - inside it the unit's fixed paths exist, are empty and private, /dev holds only the nodes the
#     tests use, /dev/log is free, and the IPC, mount and PID namespaces are its own;
#   - afterwards the host has no new file, System V segment, mount or process;
#   - it works from a checkout and a working directory under /tmp;
#   - the command's exit status comes back.
# A probe script (this file, run with --probe inside the sandbox) checks the inside, writes into
# every private path and leaves processes behind; the checks from outside look for its traces.
#
# The host's /tmp is busy (compilers, other people's tools), so the whole listing of /tmp is
# compared inside an outer mount namespace whose /tmp and /usr/local are quiet private copies that
# also hold stale files at the unit's fixed paths. On the real host the probe's own names are
# looked for in /tmp, and /usr/local, /dev, the segments and the mounts are compared whole.
#
# Usage: sandbox_test.sh SANDBOX
set -uo pipefail

self=$(readlink -f "$0")
passed=0
failed=0

check() { # check DESCRIPTION COMMAND [ARG]...
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
        passed=$((passed + 1))
    else
        echo "FAIL $what"
        failed=$((failed + 1))
    fi
}

same() { [ "$1" = "$2" ] || { echo "     expected: $2" >&2; echo "     got:      $1" >&2; return 1; }; }
empty_dir() { [ -d "$1" ] && [ ! -L "$1" ] && [ -z "$(ls -A "$1")" ]; }
# The last mount at a path is the one in view.
own_tmpfs() { [ "$(findmnt -n -o FSTYPE --mountpoint "$1" | tail -n 1)" = tmpfs ]; }

# ------------------------------------------------------------------------------- inside

# --probe MARKER HOSTNS: runs inside the sandbox. HOSTNS is "mnt ipc pid" of the host.
probe() {
    local marker=$1 hostns=$2
    check "inside: KIV_SANDBOX is set" same "${KIV_SANDBOX:-}" 1
    local ns
    ns="$(readlink /proc/self/ns/mnt) $(readlink /proc/self/ns/ipc) $(readlink /proc/self/ns/pid)"
    local m i p hm hi hp
    read -r m i p <<< "$ns"
    read -r hm hi hp <<< "$hostns"
    check "inside: own mount namespace" [ "$m" != "$hm" ]
    check "inside: own IPC namespace" [ "$i" != "$hi" ]
    check "inside: own PID namespace" [ "$p" != "$hp" ]
    check "inside: the host's processes are not visible (only the sandbox's own)" \
        [ "$(find /proc -maxdepth 1 -name '[0-9]*' | wc -l)" -lt 10 ]

    check "inside: /tmp/pipe is an empty directory on its own tmpfs" \
        eval 'empty_dir /tmp/pipe && own_tmpfs /tmp/pipe'
    check "inside: /tmp/pipe takes a named pipe" mkfifo "/tmp/pipe/$marker-fifo"
    check "inside: /usr/local/zk is its own tmpfs holding only ap and var" \
        eval 'own_tmpfs /usr/local/zk && same "$(ls -A /usr/local/zk | tr "\n" " ")" "ap var "'
    check "inside: /usr/local/zk/ap/conf is empty" empty_dir /usr/local/zk/ap/conf
    check "inside: /usr/local/zk/var/log is empty" empty_dir /usr/local/zk/var/log
    check "inside: /usr/local/zk/ap/sys holds only shm-key, an empty regular file" \
        eval 'same "$(ls -A /usr/local/zk/ap/sys)" shm-key && [ -f /usr/local/zk/ap/sys/shm-key ] &&
              [ ! -L /usr/local/zk/ap/sys/shm-key ] && [ ! -s /usr/local/zk/ap/sys/shm-key ]'

    local want="fd stderr stdin stdout pts shm full null random tty urandom zero ${KIVSBX_HOST_FUSE:+fuse}"
    want=$(tr ' ' '\n' <<< "$want" | grep . | LC_ALL=C sort | tr '\n' ' ')
    check "inside: /dev is its own tmpfs holding only the nodes the tests use" \
        eval 'own_tmpfs /dev && same "$(ls -A /dev | LC_ALL=C sort | tr "\n" " ")" "$want"'
    local node dev
    for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0 ${KIVSBX_HOST_FUSE:+fuse:a:e5}; do
        dev=${node#*:}
        node=${node%%:*}
        check "inside: /dev/$node is the host's character device $dev" \
            eval "[ -c /dev/$node ] && same \"\$(stat -c %t:%T /dev/$node)\" $dev"
    done
    check "inside: /dev/null swallows, /dev/zero and /dev/urandom give bytes" \
        eval 'echo x > /dev/null && same "$(head -c 4 /dev/zero | wc -c)" 4 && same "$(head -c 4 /dev/urandom | wc -c)" 4'
    check "inside: /dev/full refuses writes" eval '! echo x 2>/dev/null > /dev/full'
    check "inside: /dev/fd leads to the descriptors" eval 'same "$(readlink /dev/fd)" /proc/self/fd && [ -e /dev/fd/0 ]'
    check "inside: /dev/log is free for the syslog receiver" \
        eval '[ ! -e /dev/log ] && mkfifo /dev/log && rm /dev/log'

    check "inside: no System V segment is visible" same "$(ipcs -m | awk '$2 ~ /^[0-9]+$/' | wc -l)" 0
    check "inside: a System V segment can be made" eval 'ipcmk -M 4096 > /dev/null'

    # Traces the checks from outside look for: files in every private tree, a mount, processes.
    echo probe > "/tmp/$marker-file"
    mkdir -p "/tmp/$marker-dir/sub" && echo probe > "/tmp/$marker-dir/sub/f"
    echo probe > "/usr/local/$marker-file"
    echo probe > /usr/local/zk/ap/conf/cardmaster.dat
    echo probe > "/usr/local/zk/var/log/$marker.log"
    echo probe > /usr/local/zk/ap/sys/shm-key
    echo probe > "/dev/$marker"
    echo probe > "/dev/shm/$marker"
    mkdir "/tmp/$marker-mnt" && mount -t tmpfs "$marker" "/tmp/$marker-mnt"
    # The working directory (the build tree) is the one place whose writes must reach the host.
    check "inside: the working directory is writable" eval "echo kept > '$marker-kept'"
    # Processes that outlive the command, one in a session of its own, ignoring the polite signals.
    (exec -a "$marker-child" sleep 600) < /dev/null > /dev/null 2>&1 &
    setsid bash -c "trap '' TERM HUP INT; exec -a '$marker-orphan' sleep 600" < /dev/null > /dev/null 2>&1 &
    check "inside: the leftover processes run" eval "sleep 0.2; pgrep -f -- '$marker-' > /dev/null"
    echo "pidns=$p"
    [ "$failed" = 0 ]
}

if [ "${1:-}" = "--probe" ]; then
    probe "$2" "$3"
    exit
fi

# ------------------------------------------------------------------------------- outside

mode=main
[ "${1:-}" = "--outer" ] && { mode=outer; shift; }
[ $# -ge 1 ] || { echo "usage: sandbox_test.sh SANDBOX" >&2; exit 2; }
sandbox=$(readlink -f "$1")
if [ "$(id -u)" != 0 ]; then
    echo "sandbox_test: skipped, it runs as root (it compares the host's mounts and segments)"
    exit 77
fi
[ -e /dev/fuse ] && export KIVSBX_HOST_FUSE=1
hostns="$(readlink /proc/self/ns/mnt) $(readlink /proc/self/ns/ipc) $(readlink /proc/self/ns/pid)"

listing() { find "$@" -xdev 2>/dev/null | LC_ALL=C sort; }
segments() { ipcs -m | awk '$2 ~ /^[0-9]+$/ {print $2}' | sort; }
mounts() { awk '{print $1, $5, $9, $10}' /proc/self/mountinfo | sort; }
new_lines() { LC_ALL=C comm -13 <(echo "$1") <(echo "$2"); }
gone_lines() { LC_ALL=C comm -23 <(echo "$1") <(echo "$2"); }
unchanged() { # unchanged WHAT BEFORE AFTER [IGNORED-PATTERN]
    local added removed
    added=$(new_lines "$2" "$3" | grep -v -x -e "${4:-^$}" || true)
    removed=$(gone_lines "$2" "$3")
    [ -z "$added$removed" ] && return 0
    [ -n "$added" ] && echo "     new in $1: ${added//$'\n'/ }" >&2
    [ -n "$removed" ] && echo "     gone from $1: ${removed//$'\n'/ }" >&2
    return 1
}

no_process_in() { # no_process_in PIDNS
    [ -n "$1" ] || return 1
    local p left=""
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/ns/pid" 2>/dev/null)" = "$1" ] && left="$left ${p#/proc/}"
    done
    [ -z "$left" ] || { echo "     still running:$left" >&2; return 1; }
}

# Runs the probe in the sandbox SBX from the current directory; checks what it reported and that
# every process it left behind ended with it. Sets probe_out.
run_probe() { # run_probe SBX MARKER
    local sbx=$1 marker=$2 status
    probe_out=$("$sbx" bash "$self" --probe "$marker" "$hostns" 2>&1)
    status=$?
    grep -v '^pidns=' <<< "$probe_out" | sed 's/^/  /'
    passed=$((passed + $(grep -c '^ok ' <<< "$probe_out")))
    failed=$((failed + $(grep -c '^FAIL ' <<< "$probe_out")))
    check "the probe ran to its end (status $status)" same "$status" 0
    local pidns
    pidns=$(sed -n 's/^pidns=//p' <<< "$probe_out")
    check "no process of the sandbox's PID namespace is left" no_process_in "$pidns"
    check "the probe's leftover processes are gone" eval "! pgrep -f -- '$marker-' > /dev/null"
}

# --outer SANDBOX: in a mount namespace of its own whose /tmp and /usr/local are quiet private
# copies, with stale things at the fixed paths that the sandbox must hide.
outer() {
    mount -t tmpfs kivsbx-outer-tmp /tmp || return 1
    mount -t tmpfs kivsbx-outer-stage /run || return 1
    mkdir -p /run/u /run/w /run/l && mount --bind /usr/local /run/l &&
        mount -t overlay kivsbx-outer -o lowerdir=/run/l,upperdir=/run/u,workdir=/run/w /usr/local || return 1
    mkdir -p /tmp/pipe /tmp/stale-zk/ap/conf /tmp/stale-zk/ap/sys /tmp/stale-zk/var/log
    mkfifo /tmp/pipe/FifoTamp
    echo stale > /tmp/pipe/stale
    echo stale > /tmp/stale-zk/ap/conf/cardmaster.dat
    echo stale > /tmp/stale-zk/ap/sys/shm-key
    echo stale > /tmp/stale-zk/var/log/stale.log
    rm -rf /usr/local/zk && ln -s /tmp/stale-zk /usr/local/zk

    # A checkout under /tmp, run from its build tree and from a directory beside it.
    local co=/tmp/co
    mkdir -p "$co/sim" "$co/build" /tmp/work
    cp "$sandbox" "$co/sim/sandbox"
    local tmp_before usr_before mnt_before
    tmp_before=$(listing /tmp)
    usr_before=$(listing /usr/local)
    mnt_before=$(mounts)

    echo "-- stale files at the fixed paths, checkout under /tmp, run from its build tree"
    local marker=kivsbx-probe-$$-outer
    cd "$co/build" && run_probe "$co/sim/sandbox" "$marker"
    check "the file written in the build tree under /tmp reached the host" \
        eval "same \"\$(cat '$co/build/$marker-kept' 2>/dev/null)\" kept"
    printf '#!/bin/sh\npwd\n' > where && chmod +x where
    check "relative paths work from the build tree under /tmp (the directory is entered again)" \
        same "$(../sim/sandbox ./where)" "$co/build"
    rm -f where

    echo "-- run from a working directory under /tmp outside the checkout"
    cd /tmp/work && run_probe "$co/sim/sandbox" "$marker-w"
    check "the file written in the working directory under /tmp reached the host" \
        eval "same \"\$(cat '/tmp/work/$marker-w-kept' 2>/dev/null)\" kept"

    check "/tmp has no new file but the two kept ones (whole listing compared)" \
        unchanged /tmp "$tmp_before" "$(listing /tmp)" "$co/build/$marker-kept\|/tmp/work/$marker-w-kept"
    check "the stale things at the fixed paths are untouched" \
        eval 'same "$(cat /tmp/pipe/stale /tmp/stale-zk/ap/conf/cardmaster.dat /tmp/stale-zk/ap/sys/shm-key)" "stale
stale
stale" && [ -p /tmp/pipe/FifoTamp ] && [ -L /usr/local/zk ]'
    check "/usr/local has no new file (whole listing compared)" unchanged /usr/local "$usr_before" "$(listing /usr/local)"
    check "no mount was added or removed" unchanged mountinfo "$mnt_before" "$(mounts)"
    [ "$failed" = 0 ]
}

if [ $mode = outer ]; then
    outer
    exit
fi

start=$SECONDS
echo "sandbox_test: $sandbox"

# Host state before; the build tree is the one place where the probe's writes are kept.
usr_before=$(listing /usr/local)
dev_before=$(listing /dev /dev/shm)
seg_before=$(segments)
mnt_before=$(mounts)
pipe_before=$(listing /tmp/pipe)

echo "-- the sandbox at its place, run from the current directory ($PWD)"
marker=kivsbx-probe-$$-host
run_probe "$sandbox" "$marker"
check "the file written in the current directory reached the host" \
    eval "same \"\$(cat '$marker-kept' 2>/dev/null)\" kept"
rm -f "$marker-kept"

echo "-- a copy under the host's /tmp, run from a build tree beside it"
co=$(mktemp -d /tmp/kivsbx-test.XXXXXX)
mkdir -p "$co/sim" "$co/build"
cp "$sandbox" "$co/sim/sandbox"
cd "$co/build" || exit 1
run_probe "$co/sim/sandbox" "$marker-tmp"
check "the file written in the build tree under /tmp reached the host" \
    eval "same \"\$(cat '$co/build/$marker-tmp-kept' 2>/dev/null)\" kept"
cd "$OLDPWD" || exit 1
rm -rf "$co"

echo "-- the exit status comes back"
for want in 0 7 1; do
    "$sandbox" sh -c "exit $want"
    check "exit status $want" same "$?" "$want"
done
"$sandbox" sh -c 'kill -TERM $$' 2>/dev/null
check "a command ended by SIGTERM gives 143" same "$?" 143

echo "-- in a private /tmp and /usr/local holding stale files at the fixed paths"
outer_out=$(unshare --mount --propagation private -- "$self" --outer "$sandbox" 2>&1)
outer_status=$?
# shellcheck disable=SC2001  # sed indents every line
sed 's/^/  /' <<< "$outer_out"
passed=$((passed + $(grep -c '^ *ok ' <<< "$outer_out")))
failed=$((failed + $(grep -c '^ *FAIL ' <<< "$outer_out")))
check "the outer checks ran to their end (status $outer_status)" eval '[ $outer_status = 0 ] || [ $failed -gt 0 ]'

echo "-- the host afterwards"
check "the host's /tmp holds none of the probe's files" \
    eval "[ -z \"\$(find /tmp -maxdepth 3 -xdev -name '$marker*' 2>/dev/null)\" ]"
check "the host's /tmp/pipe is as it was" unchanged /tmp/pipe "$pipe_before" "$(listing /tmp/pipe)"
check "/usr/local has no new file (whole listing compared)" unchanged /usr/local "$usr_before" "$(listing /usr/local)"
check "/dev and /dev/shm have no new file (whole listing compared)" unchanged /dev "$dev_before" "$(listing /dev /dev/shm)"
check "no System V segment was added (ipcs -m)" unchanged "ipcs -m" "$seg_before" "$(segments)"
check "no mount was added or removed (/proc/self/mountinfo)" unchanged mountinfo "$mnt_before" "$(mounts)"

echo "sandbox_test: $passed passed, $failed failed in $((SECONDS - start)) s"
[ "$failed" = 0 ]
