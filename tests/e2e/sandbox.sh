#!/usr/bin/env bash
# Runs one end-to-end test command inside private mount and network
# namespaces, so the agent's fixed platform paths (the pid file under /run,
# /dev/log, eth0, the default route) belong to the test and nothing leaks to
# the host. Needs root.
#
#   tests/e2e/sandbox.sh <command> [args...]
#
# Inside: lo up; eth0 (one end of a veth pair, peer0 the other) with MAC
# $QUILLMAR_E2E_MAC, address $QUILLMAR_E2E_IP/24 and a default route via
# $QUILLMAR_E2E_GATEWAY; a tmpfs on /run; a tmpfs on /dev holding only the
# usual character devices, so /dev/log is free for the test; TMPDIR on a
# tmpfs. Processes left behind in the namespace are killed at the end.
set -euo pipefail

if [ "${QUILLMAR_E2E_SANDBOX:-}" != "$$" ]; then
    # Outer call: enter the namespaces; the inner shell has a new pid.
    exec unshare --mount --net --fork --propagation private \
        bash -c 'export QUILLMAR_E2E_SANDBOX=$$; exec bash "$0" "$@"' "$0" "$@"
fi

mac=02:00:5e:10:20:30
address=192.0.2.10
gateway=192.0.2.1

mount --make-rprivate /

ip link set lo up
ip link add eth0 type veth peer name peer0
ip link set eth0 address "$mac"
ip link set peer0 up
ip link set eth0 up
ip addr add "$address/24" dev eth0
ip route add default via "$gateway" dev eth0

mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs /run

# A private /dev: keep the original reachable for a moment, lay a tmpfs over
# /dev and bind back what programs expect to find.
stash=/run/.host-dev
mkdir "$stash"
mount --rbind /dev "$stash"
mount -t tmpfs -o mode=0755,nosuid tmpfs /dev
for node in null zero full random urandom tty; do
    if [ -e "$stash/$node" ]; then
        touch "/dev/$node"
        mount --bind "$stash/$node" "/dev/$node"
    fi
done
mkdir /dev/pts /dev/shm
mount --rbind "$stash/pts" /dev/pts
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /dev/shm
ln -s pts/ptmx /dev/ptmx
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
umount -R -l "$stash"
rmdir "$stash"

mkdir -m 1777 /run/tmp
export TMPDIR=/run/tmp

# The agent's libcurl honours proxy variables; every target here is local.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

export QUILLMAR_E2E_MAC=$mac QUILLMAR_E2E_IP=$address QUILLMAR_E2E_GATEWAY=$gateway

status=0
"$@" || status=$?

# Anything still running in this network namespace was started by the test
# (the unshare process that waits for this shell is in it too, and is spared).
own_ns=$(readlink /proc/self/ns/net)
for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    { [ "$pid" = "$$" ] || [ "$pid" = "$PPID" ]; } && continue
    if [ "$(readlink "$dir/ns/net" 2>/dev/null)" = "$own_ns" ]; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
done
exit "$status"
