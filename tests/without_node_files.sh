#!/bin/sh
# Runs a test command without the node's own /etc/ports (its node password file, its file
# of expected listeners): on an operator's machine they would otherwise reach every run of
# the program the tests start. Where there is none, the command runs as it is.
if [ -d /etc/ports ]; then
    exec unshare -m --propagation private -- \
        sh -c 'mount -t tmpfs -o mode=0755 none /etc/ports && exec "$0" "$@"' "$@"
fi
exec "$@"
