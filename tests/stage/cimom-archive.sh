# Sourced by the object manager stages once $build and $repo are set.
# stage_archive LABEL PATTERN PROGRAM sets $archive to the one object
# manager archive in ../shared/cimom that matches PATTERN, after checking
# that the stage's PROGRAM is built. Without the archive the stage is
# skipped, except under CI=true, where it fails: CI provides it.
stage_archive() {
    local label=$1 pattern=$2 program=$3
    local cimom="$repo/../shared/cimom"
    local archives=("$cimom"/$pattern)
    if [ ! -f "${archives[0]}" ]; then
        if [ "${CI:-}" = "true" ]; then
            echo "$label stage: no real object manager in $cimom, which CI provides" >&2
            exit 1
        fi
        echo "== $label stage skipped: no real object manager in $cimom (it lies beside this team's checkouts only)"
        exit 0
    fi
    [ ${#archives[@]} -eq 1 ] || { echo "expected one $label archive in $cimom" >&2; exit 1; }
    [ -x "$build/tests/$program" ] || { echo "no $build/tests/$program: build first" >&2; exit 2; }
    archive=${archives[0]}
}
