#!/bin/bash
# Private network namespaces for tests that must not touch the real network.
#
# A pair NAME is two namespaces, NAME-dev (the simulated devices) and NAME-cli
# (the client), joined by a veth pair kv0 <-> kv0:
#     NAME-dev kv0 198.51.100.1/24  <->  NAME-cli kv0 198.51.100.2/24
# With --second-subnet a second pair kv1 <-> kv1 joins them on 203.0.113.0/24
# (dev .1, cli .2), for a client (and device) with two interfaces; with --apart as
# well, the device side of kv1 lives in a third namespace NAME-dev2, so that each
# subnet's devices live apart.
# Loopback is up in both; each has a default route on kv0 so that broadcasts
# and multicasts have a way out, which leads only into the other namespace.
#
# Usage:
#   kvnetns.sh name [PREFIX]                  print an unused pair name
#   kvnetns.sh create [--second-subnet [--apart]] [--owner PID] [--replace] [NAME]
#                                             create (unused name if none given);
#                                             prints NAME.  With --owner, `gc`
#                                             removes the pair once PID is gone;
#                                             --replace removes a pair NAME first.
#                                             Runs `gc` first
#   kvnetns.sh destroy NAME                   end the processes inside, remove
#   kvnetns.sh exec NAME-dev|NAME-cli|NAME-dev2 CMD...
#                                             run CMD inside one side
#   kvnetns.sh loss NAME-side PERCENT [--dir in|out|both] [--if IFACE]
#                                             drop PERCENT % of the packets
#                                             on the side's veths (0: none)
#   kvnetns.sh run [--second-subnet [--apart]] [--side dev|cli] -- CMD...
#                                             create a pair, run CMD with
#                                             KVNETNS=NAME (inside the given
#                                             side, else here), always destroy
#   kvnetns.sh gc                             remove pairs whose owner is gone
#   kvnetns.sh list                           pairs made by this script
# Needs root, iproute2 and nftables.

set -euo pipefail

STATE_DIR=/run/kvnetns
DEV_ADDR=(198.51.100.1/24 203.0.113.1/24)
CLI_ADDR=(198.51.100.2/24 203.0.113.2/24)

die() { echo "kvnetns: $*" >&2; exit 2; }

check_name() {
    [[ $1 =~ ^[A-Za-z0-9_.]{1,40}$ ]] || die "bad pair name '$1' (letters, digits, _ and . only)"
}

ns_exists() { [[ -e /run/netns/$1 ]]; }

random_name() {
    printf '%s%s\n' "${1:-kv}" "$(od -An -N4 -tx1 /dev/urandom | tr -d ' \n')"
}

cmd_name() {
    local n
    for _ in $(seq 20); do
        n=$(random_name "${1:-kv}")
        ns_exists "$n-dev" || ns_exists "$n-cli" || { echo "$n"; return 0; }
    done
    die "no unused name found"
}

# Remove what exists of a pair; quiet, never fails.
remove_pair() {
    local name=$1 side pids
    for side in dev cli dev2; do
        ns_exists "$name-$side" || continue
        mapfile -t pids < <(ip netns pids "$name-$side" 2>/dev/null)
        if ((${#pids[@]})); then
            kill -TERM "${pids[@]}" 2>/dev/null || true
            for _ in $(seq 20); do
                mapfile -t pids < <(ip netns pids "$name-$side" 2>/dev/null)
                ((${#pids[@]})) || break
                sleep 0.1
            done
            if ((${#pids[@]})); then kill -KILL "${pids[@]}" 2>/dev/null || true; fi
        fi
        ip netns del "$name-$side" 2>/dev/null || true
    done
    rm -f "$STATE_DIR/$name"
}

link_pair() {  # NAME INDEX [DEVICE-NAMESPACE]
    local name=$1 i=$2 dev="kv$2" devns=${3:-$1-dev}
    ip link add "$dev" netns "$devns" type veth peer name "$dev" netns "$name-cli"
    # With their broadcast addresses: subnet broadcasts reach the other side.
    ip -n "$devns" addr add "${DEV_ADDR[$i]}" brd + dev "$dev"
    ip -n "$name-cli" addr add "${CLI_ADDR[$i]}" brd + dev "$dev"
    ip -n "$devns" link set "$dev" up
    ip -n "$name-cli" link set "$dev" up
}

cmd_create() {
    local second=0 apart=0 replace=0 owner="" name="" tries=1 n
    while (($#)); do
        case $1 in
            --second-subnet) second=1 ;;
            --apart) apart=1 ;;
            --owner) owner=${2:?--owner needs a pid}; shift ;;
            --replace) replace=1 ;;
            -*) die "create: unknown option $1" ;;
            *) name=$1 ;;
        esac
        shift
    done
    [[ $(id -u) == 0 ]] || die "needs root"
    cmd_gc >/dev/null           # leftovers of crashed runs go first
    if [[ -n $name ]]; then check_name "$name"; else tries=20; fi
    if [[ -n $name ]] && ((replace)); then remove_pair "$name"; fi
    # `ip netns add` fails on an existing name, which keeps parallel creators
    # apart; a half-claimed pair is given back before the next try.
    local claimed="" try
    for ((n = 0; n < tries; n++)); do
        try=${name:-$(random_name kv)}
        if ip netns add "$try-dev" 2>/dev/null; then
            if ip netns add "$try-cli" 2>/dev/null; then claimed=$try; break; fi
            ip netns del "$try-dev"
        fi
    done
    [[ -n $claimed ]] || die "cannot create pair '${name:-(any name)}': exists already, or ip netns fails"
    name=$claimed
    # Names are checked or generated ([A-Za-z0-9_.]), so they can be expanded
    # into the trap now: an exit leaves the function's locals behind.
    # shellcheck disable=SC2064
    trap "remove_pair $name" EXIT
    mkdir -p "$STATE_DIR"
    echo "${owner:-0}" >"$STATE_DIR/$name"
    ip -n "$name-dev" link set lo up
    ip -n "$name-cli" link set lo up
    link_pair "$name" 0
    if ((second && apart)); then
        ip netns add "$name-dev2"
        ip -n "$name-dev2" link set lo up
        link_pair "$name" 1 "$name-dev2"
        ip -n "$name-dev2" route add default dev kv1
    elif ((second)); then
        link_pair "$name" 1
    fi
    ip -n "$name-dev" route add default dev kv0
    ip -n "$name-cli" route add default dev kv0
    trap - EXIT
    echo "$name"
}

cmd_destroy() {
    local name=${1:?destroy NAME}
    check_name "$name"
    remove_pair "$name"
}

side_ns() {
    local ns=${1:?namespace NAME-dev or NAME-cli}
    [[ $ns =~ ^[A-Za-z0-9_.]+-(dev|cli|dev2)$ ]] || die "'$ns' is not NAME-dev, NAME-cli or NAME-dev2"
    ns_exists "$ns" || die "no namespace '$ns'"
    echo "$ns"
}

cmd_exec() {
    local ns
    ns=$(side_ns "${1:-}"); shift
    (($#)) || die "exec: no command"
    exec ip netns exec "$ns" "$@"
}

cmd_loss() {
    local ns percent dir=both iface='kv*' rules=""
    ns=$(side_ns "${1:-}")
    percent=${2:?loss NAME-side PERCENT}
    shift 2
    while (($#)); do
        case $1 in
            --dir) dir=${2:?}; shift ;;
            --if) iface=${2:?}; shift ;;
            *) die "loss: unknown option $1" ;;
        esac
        shift
    done
    if ! [[ $percent =~ ^[0-9]+$ ]] || ((percent > 100)); then
        die "loss: PERCENT must be 0..100"
    fi
    [[ $dir =~ ^(in|out|both)$ ]] || die "loss: --dir in|out|both"
    if ((percent > 0)); then
        local drop="numgen random mod 100 < $percent drop"
        ((percent == 100)) && drop="drop"     # numgen gives 0..99 only
        if [[ $dir != out ]]; then
            rules+="add rule inet kvnetns in iifname \"$iface\" $drop"$'\n'
        fi
        if [[ $dir != in ]]; then
            rules+="add rule inet kvnetns out oifname \"$iface\" $drop"$'\n'
        fi
    fi
    # The table is replaced as a whole, so the last call wins.
    ip netns exec "$ns" nft -f - <<NFT
table inet kvnetns
delete table inet kvnetns
table inet kvnetns {
    chain in { type filter hook input priority 0; policy accept; }
    chain out { type filter hook output priority 0; policy accept; }
}
$rules
NFT
}

cmd_run() {
    local args=() side="" name rc
    while (($#)); do
        case $1 in
            --second-subnet|--apart) args+=("$1") ;;
            --side) side=${2:?}; shift ;;
            --) shift; break ;;
            *) die "run: unknown option $1 (command goes after --)" ;;
        esac
        shift
    done
    (($#)) || die "run: no command"
    name=$(cmd_create --owner $$ "${args[@]}")
    # shellcheck disable=SC2064
    trap "remove_pair $name" EXIT
    trap 'kill -TERM "$RUN_CHILD" 2>/dev/null; wait "$RUN_CHILD"; exit 143' TERM INT
    export KVNETNS=$name
    if [[ -n $side ]]; then
        ip netns exec "$name-$side" "$@" &
    else
        "$@" &
    fi
    RUN_CHILD=$!
    rc=0
    wait "$RUN_CHILD" || rc=$?
    exit "$rc"
}

cmd_gc() {
    local f name owner
    for f in "$STATE_DIR"/*; do
        [[ -e $f ]] || continue
        name=${f##*/}
        owner=$(cat "$f" 2>/dev/null || echo 0)
        if [[ $owner != 0 ]] && ! kill -0 "$owner" 2>/dev/null; then
            remove_pair "$name"
            echo "removed $name"
        fi
    done
}

cmd_list() {
    local f
    for f in "$STATE_DIR"/*; do
        [[ -e $f ]] && echo "${f##*/} owner=$(cat "$f")"
    done
    return 0
}

sub=${1:-}
shift || true
case $sub in
    name) cmd_name "$@" ;;
    create) cmd_create "$@" ;;
    destroy) cmd_destroy "$@" ;;
    exec) cmd_exec "$@" ;;
    loss) cmd_loss "$@" ;;
    run) cmd_run "$@" ;;
    gc) cmd_gc ;;
    list) cmd_list ;;
    *) sed -n '2,/^# Needs root/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
