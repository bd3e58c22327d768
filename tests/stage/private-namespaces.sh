# Sourced by the object manager stages, first thing after their arguments
# are checked: runs the rest of the calling script again in private network,
# mount, IPC and process namespaces, so that its object manager, clients and
# listener see only a loopback of their own. Another server on the host's
# port 5988, the host's /var/tmp (where Pegasus keeps its pid file, lock and
# socket), SysV IPC keys (sfcb's) and whatever is in /opt stay out of reach,
# and no process of the stage outlives it.
#
# The calling script then calls private_folder for each fixed path its
# object manager writes to.

if [ -z "${VEXLOR_STAGE_PRIVATE:-}" ]; then
    if ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
        echo "the stage needs unshare (util-linux) and ip (iproute2): tools/install-deps --cim" >&2
        exit 1
    fi
    VEXLOR_STAGE_PRIVATE=$(mktemp -d /tmp/vexlor-stage.XXXXXX)
    export VEXLOR_STAGE_PRIVATE
    status=0
    unshare --net --mount --ipc --pid --fork --mount-proc --kill-child -- "$BASH" "$0" "$@" || status=$?
    rm -rf "$VEXLOR_STAGE_PRIVATE"
    exit "$status"
fi

ip link set lo up

# An empty folder at the path that only this run sees, kept below the run's
# own folder. A path that does not exist on the host gets its mount point in
# a writable layer over its parent, in this namespace only.
private_folder() {
    local path=$1 keep="$VEXLOR_STAGE_PRIVATE/folders$1"
    local parent
    parent=$(dirname "$path")
    mkdir -p "$keep"
    if [ ! -d "$path" ]; then
        local layer="$VEXLOR_STAGE_PRIVATE/layers$parent"
        mkdir -p "$layer/upper" "$layer/work"
        mount -t overlay overlay -o "lowerdir=$parent,upperdir=$layer/upper,workdir=$layer/work" "$parent"
        mkdir "$path"
    fi
    mount --bind "$keep" "$path"
}
