#!/usr/bin/env bash
# Builds the desktop tool and runs it.
#
#   scripts/run.sh [TOOL ARGS]   on a desktop (DISPLAY or WAYLAND_DISPLAY set): the tool
#                                searches the real local network, as it is meant to.
#   scripts/run.sh --demo        simulated devices instead: 20 maker devices (tests/sim/kvsim.py)
#                                and 5 ONVIF devices (KVOnvif/tests/peers) in a private network
#                                namespace pair, the tool in the same pair, a search at start.
#                                Without a display the demo runs on Xvfb and tours every page
#                                once the first search has filled the table: the upgrade
#                                page's version query, a login with the configuration panel,
#                                the device information page's restore of defaults and the
#                                import/export page, each saved as a PNG; it prints the paths
#                                and ends. The devices accept admin / admin123. Nothing leaves
#                                the namespaces; needs root.
#
# Demo options: --lang en|zh (default en), --screenshot FILE (the search page only, also
#               with a display), --tour DIR (every page, also with a display; default
#               build/kvtool-demo without a display), --devices N (default 20),
#               --onvif N (default 5), --size WxH (Xvfb, 1920x1080).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

demo=0 lang=en shot="" tour="" ndev=20 nonvif=5 size=1920x1080
tool_args=()
while (($#)); do
    case $1 in
        --demo) demo=1 ;;
        --lang) lang=${2:?--lang en|zh}; shift ;;
        --screenshot) shot=${2:?--screenshot FILE}; shift ;;
        --tour) tour=${2:?--tour DIR}; shift ;;
        --devices) ndev=${2:?}; shift ;;
        --onvif) nonvif=${2:?}; shift ;;
        --size) size=${2:?}; shift ;;
        *) tool_args+=("$1") ;;
    esac
    shift
done
case $lang in en|zh) ;; *) echo "run.sh: --lang en|zh" >&2; exit 2 ;; esac
[[ $ndev =~ ^[0-9]+$ && $ndev -le 180 && $nonvif =~ ^[0-9]+$ && $nonvif -le 50 ]] \
    || { echo "run.sh: --devices 0..180, --onvif 0..50" >&2; exit 2; }

have_display=0
[[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]] && have_display=1
((have_display)) || demo=1

"$top/scripts/setup.sh"
out=${KV_BUILD_ROOT:-$top/build}/release
cmake -G Ninja -S "$top" -B "$out" -DCMAKE_BUILD_TYPE=Release -DKV_TESTS=OFF -DKV_BENCH=OFF >/dev/null
ninja -C "$out" -j"$(nproc)" kvtool
tool_dir=$out/app

if ((!demo)); then
    exec "$tool_dir/kvtool" "${tool_args[@]}"
fi

# ---- demo -------------------------------------------------------------------------------
[[ $(id -u) == 0 ]] || { echo "run.sh --demo: needs root (private network namespaces)" >&2; exit 2; }
netns_sh=$top/tests/netns/kvnetns.sh
peers=$top/KVOnvif/tests/peers
work=$(mktemp -d /tmp/kvdemo.XXXXXX)
pair=""
xvfb_pid=""
cleanup() {
    [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null
    # Everything the demo started inside the pair ends with it.
    [[ -n $pair ]] && "$netns_sh" destroy "$pair" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The tool reads config.xml and its texts next to the executable: a private copy with an
# edition that offers the protocol selector (maker protocol or ONVIF) and both languages.
cp "$tool_dir/kvtool" "$work/"
cp -r "$tool_dir/Language" "$work/" 2>/dev/null || true
cp "$tool_dir"/qt_*.qm "$work/" 2>/dev/null || true
cursel=0
[[ $lang == zh ]] && cursel=1
write_config() { # edition
cat >"$work/config.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<config>
    <languages cursel="$cursel">
        <language name="ENU.xml"/>
        <language name="CHS.xml"/>
    </languages>
    <Company>$1</Company>
    <Version>demo</Version>
</config>
XML
}
write_config 13

wait_line() { # file pattern seconds: wait until a line of file matches
    local i
    for ((i = 0; i < $3 * 10; i++)); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "run.sh: no '$2' in $1 after $3 s:" >&2
    cat "$1" >&2 || true
    return 1
}

pair=$("$netns_sh" create --owner $$)
dev=$pair-dev cli=$pair-cli
# Device addresses without interfaces of their own: the maker devices from .64 up answer
# on the device side, the ONVIF device services on 203.0.113.x behind the same link.
ip -n "$dev" route add local 198.51.100.64/26 dev lo
ip -n "$dev" route add local 198.51.100.128/25 dev lo
ip -n "$dev" route add local 203.0.113.0/24 dev lo
ip -n "$cli" route add 203.0.113.0/24 dev kv0

ip netns exec "$dev" env PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 "$top/tests/sim/kvsim.py" \
    --bind 0.0.0.0 --udp-port 9333 --tcp-port 9330 --no-stdin-watch --lifetime 0 \
    --scenario "devices=$ndev" --scenario device-kind=plain --scenario media-port=9330 \
    >"$work/kvsim.out" 2>&1 &
wait_line "$work/kvsim.out" '^READY' 20

if ((nonvif > 0)); then
    # The responder stops when its standard input ends: hold a pipe open inside the pair.
    ip netns exec "$dev" sh -c "sleep 2147483647 | PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 \
        '$peers/wsd_responder.py' --count $nonvif --iface 198.51.100.1" >"$work/wsd.out" 2>&1 &
    wait_line "$work/wsd.out" '^READY' 20
    # Device i answers WS-Discovery with http://203.0.113.(i+1):(8000+i); one device
    # service per port, on every address of the device side (a service bound to one
    # address would first wait for a name lookup that has no server here).
    for ((i = 0; i < nonvif; i++)); do
        ip netns exec "$dev" sh -c "sleep 2147483647 | PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 \
            '$peers/device_service.py' --host 0.0.0.0 --port $((8000 + i))" >"$work/ds$i.out" 2>&1 &
    done
    for ((i = 0; i < nonvif; i++)); do wait_line "$work/ds$i.out" '^READY' 20; done
fi
echo "demo: $ndev maker devices and $nonvif ONVIF devices in namespace pair $pair"

tool_env=(PYTHONDONTWRITEBYTECODE=1)
if [[ -z $shot && -z $tour ]] && ((!have_display)); then
    tour=$top/build/kvtool-demo
fi
if [[ -n $tour ]]; then
    mkdir -p "$tour"
    tour=$(cd "$tour" && pwd)
    tool_env+=("KVTOOL_TOUR=$tour" "KVTOOL_TOUR_TAG=$lang")
fi
if ((have_display)); then
    [[ -n $shot ]] && tool_env+=("KVTOOL_SCREENSHOT=$shot")
else
    # Xvfb inside the client side, so its sockets live there too.
    ip netns exec "$cli" Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$work/display" \
        >"$work/xvfb.out" 2>&1 &
    xvfb_pid=$!
    wait_line "$work/display" '^[0-9]' 20
    display=:$(head -1 "$work/display")
    tool_env+=("DISPLAY=$display" QT_QPA_PLATFORM=xcb)
    if [[ -n $shot ]]; then
        mkdir -p "$(dirname "$shot")"
        tool_env+=("KVTOOL_SCREENSHOT=$shot")
    fi
fi

rc=0
if [[ -n $tour ]]; then
    # Edition 13 offers the search, upgrade, login and device information pages; the
    # import/export page is edition 16's: a second run shows it.
    ip netns exec "$cli" env "${tool_env[@]}" KVTOOL_TOUR_PAGES=search,upgrade,login,deviceinfo \
        "$work/kvtool" "${tool_args[@]}" || rc=$?
    write_config 16
    ip netns exec "$cli" env "${tool_env[@]}" KVTOOL_TOUR_PAGES=importexport \
        "$work/kvtool" "${tool_args[@]}" || rc=$?
else
    ip netns exec "$cli" env "${tool_env[@]}" "$work/kvtool" "${tool_args[@]}" || rc=$?
fi
if [[ -n $shot ]]; then
    if [[ -s $shot ]]; then echo "screenshot: $shot"; else echo "run.sh: no screenshot was written" >&2; rc=1; fi
fi
if [[ -n $tour ]]; then
    for page in search upgrade login deviceinfo importexport; do
        f=$tour/kvtool-$page-$lang.png
        if [[ -s $f ]]; then echo "screenshot: $f"; else echo "run.sh: no $f" >&2; rc=1; fi
    done
fi
exit $rc
