# Sourced by the sfcb stage and its stop loop once $build and $repo are
# set: in private namespaces (tests/stage/private-namespaces.sh), with a
# private /opt/sfcb, installs the built project into a staging prefix and
# stages its class and registration as docs/cim-provider.md says. With
# VEXLOR_SFCB_WITHOUT_OURS=1 the class and registration are left out, so
# that sfcbd serves only its own classes.
#
# Leaves: $work (the run's private folder), $libdir (the installed
# libraries), $work/sfcb.cfg, /opt/sfcb/bin and sbin on PATH, and
# LD_LIBRARY_PATH set for the provider.
source "$repo/tests/stage/cimom-archive.sh"
stage_archive sfcb "sfcb-*.tar.gz" sfcb_stage

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
if [ "${VEXLOR_SFCB_WITHOUT_OURS:-0}" != 1 ]; then
    sfcbstage -n root/cimv2 -r "$prefix/share/vexlor/sfcb/quoxssdprov.reg" \
        "$prefix/share/vexlor/mof/ZUL_SSDLifeMonitor.mof"
fi
sfcbrepos -f >"$work/repos.log" 2>&1 || { cat "$work/repos.log"; exit 1; }
