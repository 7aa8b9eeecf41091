#!/bin/sh
# Runs a test program in a PID namespace of its own, so that the updater's
# sweep, which closes programs by the products' real names, can only ever
# see the programs the test started, with a /var/log of its own. Listing the
# tests needs no namespace.
# Where none can be had the test is skipped (status 77) with the reason.
case " $* " in
*" --gtest_list_tests "*) exec "$@" ;;
esac
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: needs root for a private PID namespace (unshare -p); the sweep would see this machine's programs"
    exit 77
fi
if ! unshare -p -f --mount-proc true 2>/dev/null; then
    echo "SKIPPED: this machine refuses a private PID namespace (unshare -p -f --mount-proc)"
    exit 77
fi
# The machine's log folder too is the test's own: the program run as root
# writes its log file there.
exec unshare -p -f --mount-proc --kill-child sh -c 'mount -t tmpfs adv-test-log /var/log && exec "$@"' sh "$@"
