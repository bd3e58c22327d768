#!/usr/bin/env bash
# Runs the provider in a real CIM object manager, OpenPegasus, as a user
# would set it up: installs the built project into a staging prefix and
# follows the OpenPegasus section of docs/cim-provider.md (the provider
# library into Pegasus's providerDir, the core library on the loader's path,
# cimmof of the classes and of the registration, cimprovider -l -s). Then
# runs the pegasus_stage program, which starts cimserver over emulated
# drives and drives it with cimcli and a CIM-XML listener of ours.
#
#   tests/pegasus/run-pegasus-stage.sh [BUILD_DIR]      (default: build; as root)
#
# OpenPegasus comes from ../shared/cimom beside the checkout; without it the
# stage is skipped, and fails under CI=true. Everything runs in private
# namespaces (tests/stage/private-namespaces.sh), with a private
# /opt/pegasus and /var/tmp: the host's own are left alone.
set -euo pipefail

build=$(realpath "${1:-build}")
here=$(dirname "$(realpath "$0")")
repo=$(realpath "$here/../..")
source "$repo/tests/stage/cimom-archive.sh"
stage_archive OpenPegasus "pegasus-*.tar.gz" pegasus_stage

source "$repo/tests/stage/private-namespaces.sh"

private_folder /var/tmp
private_folder /opt/pegasus
tar -xzf "$archive" -C /opt/pegasus
export PATH=/opt/pegasus/bin:$PATH
work="$VEXLOR_STAGE_PRIVATE"

# The user's steps (docs/cim-provider.md, OpenPegasus).
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
cache=$(<"$build/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' <<<"$cache")
libdir="$prefix/${libdir:-lib}"
export LD_LIBRARY_PATH="$libdir"
export PEGASUS_LOG="$work/cimserver.log"
pegasus-run start >/dev/null
providerdir=$(cimconfig -g providerDir)
providerdir=${providerdir#Current value: }
cp -L "$libdir/libquoxssdprov.so" "$providerdir/"
cimmof -n root/cimv2 "$prefix/share/vexlor/mof/ZUL_SSDLifeMonitor.mof"
cimmof -n root/PG_InterOp "$prefix/share/vexlor/pegasus/quoxssdprov-registration.mof"
modules=$(cimprovider -l -s)
grep -Eq '^VexlorSsdProviderModule +OK' <<<"$modules" || { echo "$modules"; exit 1; }
pegasus-run stop >/dev/null

VEXLOR_PEGASUS_LOG="$PEGASUS_LOG" VEXLOR_PEGASUS_PROVIDER="$providerdir/libquoxssdprov.so" \
    "$build/tests/pegasus_stage"
