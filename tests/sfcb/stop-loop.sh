#!/usr/bin/env bash
# Starts and stops sfcbd over the stage drives again and again, with both
# cores kept busy, and counts the stops that go wrong: a crash text in
# sfcbd's log, a stop that has not ended within 30 s (a hang), a process
# left with the provider mapped.
#
#   tests/sfcb/stop-loop.sh [--stops N] [--requests] [--control] [BUILD_DIR]
#
# --stops N     rounds of start and stop (default 100)
# --requests    stop while wbemcli loops of ei and ein are in flight;
#               otherwise one request loads the provider and the stop
#               comes when nothing is in flight
# --control     leave our class and registration out: the requests go to
#               classes of sfcbd's own providers, so what goes wrong is
#               sfcb's own
#
# Set up as the sfcb stage is (tests/sfcb/prepare-sfcb.sh), as root. The
# rounds are tests/sfcb/stop-rounds.sh; the logs of every round that went
# wrong are kept in a folder under /tmp, named at the end with the counts.
set -euo pipefail

stops=100 requests=0 control=0 build=build
args=("$@")
while [ $# -gt 0 ]; do
    case $1 in
        --stops) stops=$2; shift 2 ;;
        --requests) requests=1; shift ;;
        --control) control=1; shift ;;
        *) build=$1; shift ;;
    esac
done
set -- "${args[@]}"
build=$(realpath "$build")
here=$(dirname "$(realpath "$0")")
repo=$(realpath "$here/../..")
export VEXLOR_SFCB_WITHOUT_OURS=$control
[ -n "${VEXLOR_STOP_KEEP:-}" ] || VEXLOR_STOP_KEEP=$(mktemp -d /tmp/vexlor-stop-loop.XXXXXX)
export VEXLOR_STOP_KEEP
source "$here/prepare-sfcb.sh"

VEXLOR_STOP_COUNT=$stops VEXLOR_STOP_REQUESTS=$requests VEXLOR_SFCB_CFG="$work/sfcb.cfg" \
    VEXLOR_SFCB_PROVIDER="$libdir/libquoxssdprov.so" VEXLOR_SFCB_STOP_ROUNDS="$here/stop-rounds.sh" \
    "$build/tests/sfcb_stage" --gtest_filter='SfcbStopLoop.*'
