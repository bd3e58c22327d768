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
cimom="$repo/../shared/cimom"
if [ ! -d "$cimom" ]; then
    if [ "${CI:-}" = "true" ]; then
        echo "sfcb stage: no real object manager at $cimom, which CI provides" >&2
        exit 1
    fi
    echo "== sfcb stage skipped: no real object manager at $cimom (it lies beside this team's checkouts only)"
    exit 0
fi
archives=("$cimom"/sfcb-*.tar.gz)
[ ${#archives[@]} -eq 1 ] && [ -f "${archives[0]}" ] || { echo "expected one sfcb archive in $cimom" >&2; exit 1; }
archive=${archives[0]}
[ -x "$build/tests/sfcb_stage" ] || { echo "no $build/tests/sfcb_stage: build first" >&2; exit 2; }

source "$repo/tests/stage/private-namespaces.sh"

private_folder /opt/sfcb
tar -xzf "$archive" -C /opt/sfcb
work="$VEXLOR_STAGE_PRIVATE"
export PATH=/opt/sfcb/bin:/opt/sfcb/sbin:$PATH

# The user's steps (docs/cim-provider.md, sfcb): install, make the library
# and the core it links visible, stage class and registration, rebuild the
# repository.
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
cache=$(<"$build/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' <<<"$cache")
libdir="$prefix/${libdir:-lib}"
[ -e "$libdir/libquoxssdprov.so" ] || { echo "no $libdir/libquoxssdprov.so after the install" >&2; exit 1; }
sed -E "s|^(providerDirs:.*)$|\1 $libdir|" /opt/sfcb/etc/sfcb/sfcb.cfg > "$work/sfcb.cfg"
export LD_LIBRARY_PATH="$libdir"
sfcbstage -n root/cimv2 -r "$prefix/share/vexlor/sfcb/quoxssdprov.reg" \
    "$prefix/share/vexlor/mof/ZUL_SSDLifeMonitor.mof"
sfcbrepos -f >"$work/repos.log" 2>&1 || { cat "$work/repos.log"; exit 1; }

VEXLOR_SFCB_CFG="$work/sfcb.cfg" VEXLOR_SFCB_LOG="$work/sfcbd.log" \
    VEXLOR_SFCB_PROVIDER="$libdir/libquoxssdprov.so" "$build/tests/sfcb_stage"
