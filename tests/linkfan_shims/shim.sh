#!/bin/sh
# Stands in for ip, iptables, sysctl or cp, by the name it is called by: logs
# the command line to $LINKFAN_SHIM_LOG and runs the real tool.
tool=${0##*/}
printf '%s\n' "$tool $*" >> "$LINKFAN_SHIM_LOG"
PATH=$LINKFAN_REAL_PATH exec "$tool" "$@"
