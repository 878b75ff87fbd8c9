#!/bin/bash
# The P2P topology: a server namespace with an "internet" bridge, two NAT namespaces and the
# hosts behind them. Everything lives in private namespaces; default routes lead only into
# them, and nothing is linked to the machine's own namespace.
#
#   NAME-srv   bridge inet 203.0.113.1/24, server addresses 203.0.113.10-.29
#   NAME-natc  wan 203.0.113.64 (on inet); lan bridge 198.51.100.1/26
#   NAME-natd  wan 203.0.113.65 (on inet); lan bridge 198.51.100.65/26
#   NAME-cli   eth0 198.51.100.2/26 behind NAME-natc
#   NAME-dev   eth0 198.51.100.66/26 behind NAME-natd (--lan: 198.51.100.3/26 behind NAME-natc)
#
# NAT kinds (nftables, postrouting on the WAN leg):
#   cone        1:1 full cone: snat to the WAN address out, dnat everything arriving to the host
#   restricted  masquerade (port kept, conntrack filters by remote address and port; new
#               datagrams to WAN ports 32768 and up are dropped, as a NAT keeps no state for them)
#   symmetric   masquerade fully-random
#   sequential  per-destination snat to WAN:port, ports 40000 + k*DELTA for destination k
#               (the server addresses .10-.29, then the other NAT's WAN), for port prediction
#
# Usage:
#   p2pnet.sh create NAME [--natc KIND] [--natd KIND] [--lan] [--delta N]   (default cone)
#   p2pnet.sh exec NAME-xxx CMD...
#   p2pnet.sh loss NAME-xxx PERCENT      drop PERCENT % of packets entering and leaving (0: none)
#   p2pnet.sh block-udp NAME-xxx         drop all UDP entering and leaving
#   p2pnet.sh block-direct NAME          drop UDP between the two WAN addresses (forces relays)
#   p2pnet.sh destroy NAME
# Needs root, iproute2 and nftables.

set -euo pipefail

die() { echo "p2pnet: $*" >&2; exit 2; }
check_name() { [[ $1 =~ ^[A-Za-z0-9_.]{1,20}$ ]] || die "bad name '$1'"; }
ns_exists() { [[ -e /run/netns/$1 ]]; }
SIDES=(srv natc natd cli dev)

cmd_destroy() {
    local name=${1:?destroy NAME} side pids
    check_name "$name"
    for side in "${SIDES[@]}"; do
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
}

nat_rules() {  # NS KIND WAN HOST OTHER_WAN DELTA
    local ns=$1 kind=$2 wan=$3 host=$4 other=$5 delta=$6 rules k d
    local post="chain post {
        type nat hook postrouting priority 100;"
    case $kind in
        cone)
            rules="$post
        oifname \"wan\" snat ip to $wan
    }
    chain pre {
        type nat hook prerouting priority -100;
        iifname \"wan\" ip daddr $wan dnat ip to $host
    }" ;;
        restricted)
            # Unsolicited datagrams to the ephemeral ports are dropped before the NAT box keeps
            # any state for them: otherwise a peer's early knock leaves an entry that makes the
            # host's own later datagram to that peer leave from another port.
            rules="$post
        oifname \"wan\" masquerade
    }
    chain unsolicited {
        type filter hook prerouting priority 0;
        iifname \"wan\" meta l4proto udp udp dport >= 32768 ct state new drop
    }" ;;
        symmetric)
            rules="$post
        oifname \"wan\" masquerade fully-random
    }" ;;
        sequential)
            rules="$post"
            k=0
            for d in $(seq 10 29) "${other##*.}"; do
                rules+="
        oifname \"wan\" meta l4proto udp ip daddr 203.0.113.$d snat ip to $wan:$((40000 + k * delta))"
                k=$((k + 1))
            done
            rules+="
        oifname \"wan\" masquerade
    }" ;;
        *) die "unknown NAT kind '$kind'" ;;
    esac
    ip netns exec "$ns" nft -f - <<<"table ip nat {
    $rules
}"
}

cmd_create() {
    local name="" natc=cone natd=cone lan=0 delta=2 s i
    while (($#)); do
        case $1 in
            --natc) natc=${2:?}; shift ;;
            --natd) natd=${2:?}; shift ;;
            --lan) lan=1 ;;
            --delta) delta=${2:?}; shift ;;
            -*) die "create: unknown option $1" ;;
            *) name=$1 ;;
        esac
        shift
    done
    [[ $(id -u) == 0 ]] || die "needs root"
    check_name "${name:?create NAME}"
    for s in "${SIDES[@]}"; do
        ns_exists "$name-$s" && die "$name-$s exists already"
    done
    # shellcheck disable=SC2064
    trap "cmd_destroy $name" EXIT
    for s in "${SIDES[@]}"; do
        ip netns add "$name-$s"
        ip -n "$name-$s" link set lo up
    done
    local srv="$name-srv"
    ip -n "$srv" link add inet type bridge
    ip -n "$srv" addr add 203.0.113.1/24 dev inet
    for i in $(seq 10 29); do ip -n "$srv" addr add "203.0.113.$i/24" dev inet; done
    ip -n "$srv" link set inet up

    # Each NAT: a WAN leg on the bridge and a LAN bridge for its hosts.
    local nat wan lanaddr
    for nat in natc natd; do
        if [[ $nat == natc ]]; then wan=203.0.113.64; lanaddr=198.51.100.1/26
        else wan=203.0.113.65; lanaddr=198.51.100.65/26; fi
        ip -n "$name-$nat" link add wan type veth peer name "p-$nat" netns "$srv"
        ip -n "$srv" link set "p-$nat" master inet up
        ip -n "$name-$nat" addr add "$wan/24" dev wan
        ip -n "$name-$nat" link set wan up
        ip -n "$name-$nat" route add default via 203.0.113.1
        ip -n "$name-$nat" link add lan type bridge
        ip -n "$name-$nat" addr add "$lanaddr" dev lan
        ip -n "$name-$nat" link set lan up
        ip netns exec "$name-$nat" sysctl -qw net.ipv4.ip_forward=1
    done

    host_on() {  # HOST NAT ADDR GW
        ip -n "$name-$2" link add "h-$1" type veth peer name eth0 netns "$name-$1"
        ip -n "$name-$2" link set "h-$1" master lan up
        ip -n "$name-$1" addr add "$3" dev eth0
        ip -n "$name-$1" link set eth0 up
        ip -n "$name-$1" route add default via "$4"
    }
    host_on cli natc 198.51.100.2/26 198.51.100.1
    if ((lan)); then host_on dev natc 198.51.100.3/26 198.51.100.1
    else host_on dev natd 198.51.100.66/26 198.51.100.65; fi

    nat_rules "$name-natc" "$natc" 203.0.113.64 198.51.100.2 203.0.113.65 "$delta"
    nat_rules "$name-natd" "$natd" 203.0.113.65 198.51.100.66 203.0.113.64 "$delta"
    trap - EXIT
    echo "$name"
}

ns_arg() {
    local ns=${1:?namespace NAME-xxx}
    [[ $ns =~ ^[A-Za-z0-9_.]{1,20}-(srv|natc|natd|cli|dev)$ ]] || die "bad namespace '$ns'"
    ns_exists "$ns" || die "no namespace $ns"
    echo "$ns"
}

cmd_loss() {
    local ns pct
    ns=$(ns_arg "${1:-}")
    pct=${2:?loss NS PERCENT}
    [[ $pct =~ ^[0-9]+$ ]] && ((pct <= 100)) || die "bad percent '$pct'"
    ip netns exec "$ns" nft delete table inet p2ploss 2>/dev/null || true
    ((pct > 0)) || return 0
    local rule="numgen random mod 100 < $pct drop"
    ((pct < 100)) || rule="drop"
    ip netns exec "$ns" nft -f - <<<"table inet p2ploss {
    chain pre {
        type filter hook prerouting priority -300;
        $rule
    }
    chain out {
        type filter hook output priority -300;
        $rule
    }
}"
}

cmd_block_udp() {
    local ns
    ns=$(ns_arg "${1:-}")
    ip netns exec "$ns" nft -f - <<<"table inet p2pblock {
    chain pre {
        type filter hook prerouting priority -300;
        meta l4proto udp drop
    }
    chain out {
        type filter hook output priority -300;
        meta l4proto udp drop
    }
}"
}

cmd_block_direct() {
    local name=${1:?block-direct NAME}
    check_name "$name"
    ip netns exec "$name-srv" nft -f - <<<"table bridge p2pdirect {
    chain direct {
        type filter hook forward priority 0;
        ip saddr 203.0.113.64 ip daddr 203.0.113.65 meta l4proto udp drop
        ip saddr 203.0.113.65 ip daddr 203.0.113.64 meta l4proto udp drop
    }
}"
}

cmd_exec() {
    local ns
    ns=$(ns_arg "${1:-}")
    shift
    exec ip netns exec "$ns" "$@"
}

case ${1:-} in
    create) shift; cmd_create "$@" ;;
    destroy) shift; cmd_destroy "$@" ;;
    exec) shift; cmd_exec "$@" ;;
    loss) shift; cmd_loss "$@" ;;
    block-udp) shift; cmd_block_udp "$@" ;;
    block-direct) shift; cmd_block_direct "$@" ;;
    *) sed -n '2,28p' "$0"; exit 2 ;;
esac
