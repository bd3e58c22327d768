#!/usr/bin/env bash
# The rounds of tests/sfcb/stop-loop.sh, run by sfcb_stage in a scenario's
# place (the stage drives, the scenario's /var/log/vexlor). Each round
# starts sfcbd, gets one answer from the provider under test, then with
# VEXLOR_STOP_REQUESTS=1 starts client loops and waits until they have
# answers, and sends SIGTERM to sfcbd's main process. The stop has 30 s to
# end; what is left then is described (state, wait channel, kernel stacks,
# gdb backtraces of the first three) in $VEXLOR_STOP_KEEP/round-N, and
# killed by sfcb-run stop. Every round ends with a line that says how it
# went.
set -uo pipefail

keep=$VEXLOR_STOP_KEEP
provider=$VEXLOR_SFCB_PROVIDER
ours=$((1 - ${VEXLOR_SFCB_WITHOUT_OURS:-0}))
vexlor_log=/var/log/vexlor/vexlor.log
sfcb_log=$keep/sfcbd.log
cimv2=http://localhost:5988/root/cimv2
interop=http://localhost:5988/root/interop
if [ "$ours" = 1 ]; then
    queries=("ei $cimv2:ZUL_SSDLifeMonitor" "ein $cimv2:ZUL_SSDLifeMonitor")
else
    queries=("ei $interop:CIM_ObjectManager" "ein $interop:CIM_Namespace")
fi
clients=4 stop_limit=30

busy=()
for core in 1 2; do
    bash -c 'while :; do :; done' &
    busy+=($!)
done
trap 'kill "${busy[@]}"' EXIT

# Live members of a process group (sfcbd's main process leads its own).
group() {
    local f stat rest
    for f in /proc/[0-9]*/stat; do
        { read -r stat <"$f"; } 2>/dev/null || continue
        rest=${stat##*) }
        read -r state _ pgid _ <<<"$rest"
        [ "$pgid" = "$1" ] && [ "$state" != Z ] && echo "${stat%% *}"
    done
}
with_provider() { grep -l -F "$provider" /proc/[0-9]*/maps 2>/dev/null | cut -d/ -f3; }
until_true() {   # until_true SECONDS COMMAND...: whether COMMAND came true in time
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.1
    done
}
stopped() { [ -z "$(group "$main")" ]; }
answers() { [ "$(wc -l <"$keep/answers")" -ge $((clients * 4)) ]; }
provider_answers() { timeout 30 wbemcli ${queries[1]} >/dev/null 2>&1; }
destroyed() { grep -c "provider destroyed" "$vexlor_log" 2>/dev/null || true; }

describe() {   # the processes left by a stop that did not end
    local pid task
    for pid in "$@"; do
        echo "== pid $pid: $(tr '\0' ' ' <"/proc/$pid/cmdline")"
        grep -E '^(State|PPid)' "/proc/$pid/status"
        grep -q -F "$provider" "/proc/$pid/maps" && echo "maps the provider"
        for task in /proc/"$pid"/task/*; do
            echo "-- thread ${task##*/}: $(cat "$task/comm") wchan=$(cat "$task/wchan")"
            cat "$task/stack" 2>/dev/null
        done
        [ "$hangs" -le 3 ] && timeout -k 10 60 gdb -p "$pid" -batch -ex 'thread apply all bt' 2>&1 | grep -E '^(#|Thread)'
    done
}

subscribe() {   # one subscription to our indications, kept by sfcbd across restarts
    local keys='SystemCreationClassName="CIM_ComputerSystem",SystemName="vexlor",Name="vexlor-stop-loop"'
    wbemcli ci "$interop:CIM_IndicationFilter.CreationClassName=\"CIM_IndicationFilter\",$keys" \
        'Name="vexlor-stop-loop",Query="SELECT * FROM ZUL_SSDLifeMonitorFailureImminent",QueryLanguage="WQL",SourceNamespace="root/cimv2"' &&
    wbemcli ci "$interop:CIM_ListenerDestinationCIMXML.CreationClassName=\"CIM_ListenerDestinationCIMXML\",$keys" \
        'Name="vexlor-stop-loop",Destination="http://localhost:5999"' || return 1
    local filter handler
    filter=$(wbemcli ein "$interop:CIM_IndicationFilter" | grep vexlor-stop-loop)
    handler=$(wbemcli ein "$interop:CIM_ListenerDestinationCIMXML" | grep vexlor-stop-loop)
    wbemcli ci "$interop:CIM_IndicationSubscription.Filter=$filter,Handler=$handler" "Filter=$filter,Handler=$handler"
}

stops=0 crashes=0 hangs=0 hangs_ours_mapped=0 left_mapped=0 cleanup_missing=0 failed_starts=0
for ((round = 1; round <= VEXLOR_STOP_COUNT; round++)); do
    bad=""
    if ! SFCB_LOG=$sfcb_log sfcb-run start --cfg "$VEXLOR_SFCB_CFG" >"$keep/start" 2>&1 ||
        ! until_true 60 provider_answers; then
        failed_starts=$((failed_starts + 1)) bad="start"
    fi
    main=$(</opt/sfcb/var/run/sfcbd.pid)
    if [ "$ours" = 1 ] && [ "$round" = 1 ] && ! subscribe >"$keep/subscribe" 2>&1; then
        echo "no subscription:"; cat "$keep/subscribe"; exit 1
    fi
    loops=()
    : >"$keep/answers"
    if [ "$VEXLOR_STOP_REQUESTS" = 1 ]; then
        for ((c = 0; c < clients; c++)); do
            setsid bash -c 'while :; do wbemcli $1 >/dev/null 2>&1; echo >>"$2"; done' _ "${queries[c % 2]}" \
                "$keep/answers" &
            loops+=($!)
        done
        until_true 60 answers || bad+=" no-answers"
    fi
    before=$(destroyed)

    kill -TERM "$main"
    stops=$((stops + 1))
    if ! until_true "$stop_limit" stopped; then
        hangs=$((hangs + 1)) bad+=" hang"
        left=($(group "$main"))
        describe "${left[@]}" >"$keep/round-$round.processes" 2>&1
    fi
    grep -q -E 'SIGSEGV|Segmentation|Aborted|exiting due to' "$sfcb_log" && crashes=$((crashes + 1)) bad+=" crash"
    [ "$ours" = 1 ] && [ "$(destroyed)" -le "$before" ] && cleanup_missing=$((cleanup_missing + 1)) bad+=" no-cleanup"
    case $bad in
        *hang*no-cleanup*) ;;
        *hang*)
            if [ -n "$(with_provider)" ]; then
                hangs_ours_mapped=$((hangs_ours_mapped + 1)) bad+=" (provider of ours mapped)"
            elif [ "$ours" = 1 ]; then
                bad+=" (sfcb's own hang at stop: no provider of ours mapped, our cleanup done)"
            fi ;;
    esac
    for loop in "${loops[@]}"; do kill -- "-$loop"; done
    sfcb-run stop >"$keep/stop" 2>&1
    [ -n "$(with_provider)" ] && left_mapped=$((left_mapped + 1)) bad+=" provider-mapped"
    echo "round $round:${bad:- ok}"
    [ -z "$bad" ] || cp "$sfcb_log" "$keep/round-$round.sfcbd.log"
done

summary="stops=$stops crashes=$crashes hangs=$hangs hangs_with_provider_mapped=$hangs_ours_mapped"
summary+=" left_with_provider_mapped=$left_mapped our_cleanup_missing=$cleanup_missing failed_starts=$failed_starts"
echo "$summary (ours=$ours requests=$VEXLOR_STOP_REQUESTS; logs of bad rounds: $keep)"
[ "$crashes$hangs$left_mapped$cleanup_missing$failed_starts" = 00000 ]
