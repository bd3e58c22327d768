#!/usr/bin/env bash
# Runs the provider in a real CIM object manager, sfcb, as a user would set
# it up: installs the built project into a staging prefix, stages its class
# and registration as docs/cim-provider.md says, then runs the sfcb_stage
# program, which starts sfcbd over emulated drives and drives it with
# wbemcli and a CIM-XML listener of ours.
#
#   tests/sfcb/run-sfcb-stage.sh [BUILD_DIR]      (default: build; as root)
#
# sfcb comes from ../shared/cimom beside the checkout; without it the stage
# is skipped. Needs libcurl4, zlib1g and sblim-wbemcli (tools/install-deps
# --cim installs them). Everything runs in private namespaces
# (tests/stage/private-namespaces.sh), with a private /opt/sfcb: the host's
# own is left alone.
set -euo pipefail

build=$(realpath "${1:-build}")
here=$(dirname "$(realpath "$0")")
repo=$(realpath "$here/../..")
source "$here/prepare-sfcb.sh"

VEXLOR_SFCB_CFG="$work/sfcb.cfg" VEXLOR_SFCB_LOG="$work/sfcbd.log" \
    VEXLOR_SFCB_PROVIDER="$libdir/libquoxssdprov.so" "$build/tests/sfcb_stage" --gtest_filter='SfcbStage.*'
