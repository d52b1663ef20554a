#!/bin/sh
# Runs a command in a private mount namespace with its own empty /tmp, so a
# test never sees or touches the machine's real work directory and tests can
# run in parallel.
exec unshare --mount --propagation private sh -c 'mount -t tmpfs tmpfs /tmp && exec "$@"' sh "$@"
