#!/bin/sh
# Stands in for ip, iptables, iptables-restore, sysctl or cp, by the name it
# is called by: logs the command line to $LINKFAN_SHIM_LOG and runs the real
# tool. A batch of ip ("ip -force -batch -" or "ip -6 -force -batch -") is
# logged as the commands it holds, one line each, without trailing blanks, as
# the shell would have passed them; the rule changes of an
# "iptables-restore --noflush" of the nat table each as "iptables -t nat ...".
# With $LINKFAN_SHIM_CALLS set, every process started is logged there as it
# was called.
tool=${0##*/}
if [ -n "$LINKFAN_SHIM_CALLS" ]; then
    printf '%s\n' "$tool $*" >> "$LINKFAN_SHIM_CALLS"
fi
if [ "$tool" = ip ] && { [ "$*" = "-force -batch -" ] || [ "$*" = "-6 -force -batch -" ]; }; then
    prefix=ip
    [ "$1" = -6 ] && prefix="ip -6"
    lines=$(cat)
    printf '%s\n' "$lines" | sed -e "s|^|$prefix |" -e 's/ *$//' >> "$LINKFAN_SHIM_LOG"
    printf '%s\n' "$lines" | PATH=$LINKFAN_REAL_PATH "$tool" "$@"
    exit $?
fi
if [ "$tool" = iptables-restore ]; then
    lines=$(cat)
    printf '%s\n' "$lines" | sed -n 's/^-/iptables -t nat -/p' >> "$LINKFAN_SHIM_LOG"
    printf '%s\n' "$lines" | PATH=$LINKFAN_REAL_PATH "$tool" "$@"
    exit $?
fi
printf '%s\n' "$tool $*" >> "$LINKFAN_SHIM_LOG"
PATH=$LINKFAN_REAL_PATH exec "$tool" "$@"
