#!/usr/bin/env bash
# A NAT lab in Linux network namespaces: a simulated dual-stack internet on 198.51.100.0/24 and
# 2001:db8:100::/64 with coturn as the STUN server, two home routers doing NAT for IPv4 with
# nftables and routing IPv6 prefixes untranslated, and hosts behind them. Everything stays inside
# the lab's own namespaces. Run as root.
#
#   lab.sh up [--nat-a cone|symmetric] [--nat-b cone|symmetric] [--loss PCT] [--udp-timeout SEC]
#             [--ipv6-blackhole-a | --ipv4-only] [--portmap-a all|upnp] [--portmap-b all|upnp]
#   lab.sh down
#   lab.sh exec HOST COMMAND...      HOST is inet, ra, rb, a1, a2 or b1
#
#   inet  198.51.100.1     the internet: a bridge, and coturn on UDP 19302
#         2001:db8:100::1  the same coturn, on UDP 19302 as well
#         198.51.100.3     a second coturn, on UDP 3478, for telling the kinds of NAT apart
#         2001:db8:100::3  the second coturn, on UDP 3478 as well
#         198.51.100.1     coturn as a TURN relay on UDP 3478 (IPv4 only): user natchat, password
#                          lab-secret, realm natchat.lab; it logs to /tmp/$LAB_PREFIX-relay.log.
#                          (It never grants less than the default 600 s, whatever its maximum.)
#   ra    198.51.100.11    router A: LAN 192.0.2.0/24 behind it, a1 = .10, a2 = .20
#         2001:db8:100::11 and 2001:db8:a::/64 routed behind it, a1 = ::10, a2 = ::20
#   rb    198.51.100.12    router B: LAN 203.0.113.0/24 behind it, b1 = .10
#         2001:db8:100::12 and 2001:db8:b::/64 routed behind it, b1 = ::10
#
# The hosts files name stun.l.google.com and stun.cloudflare.com in both families.
# cone: masquerade that keeps the source port (one mapping for every destination);
# symmetric: masquerade random (a new port for each destination). Both routers drop unsolicited
# traffic from the WAN, IPv4 and IPv6 alike, as home routers do: over IPv6 a datagram each way
# opens a path, as through a cone NAT that keeps the address. --loss drops that share of UDP at
# router A in each direction; --udp-timeout shortens how long the routers keep an idle mapping
# or IPv6 flow. --ipv6-blackhole-a: router A silently forwards no IPv6 at all, while its hosts
# keep their addresses and routes. --ipv4-only: no IPv6 in the lab.
# --portmap-a/-b: miniupnpd on that router serves its LAN port mappings: NAT-PMP, PCP and UPnP IGD
# (all), or UPnP IGD alone (upnp); it logs to /tmp/$LAB_PREFIX-ra-miniupnpd.log (or rb).
# LAB_PREFIX names the namespaces (default "ncl"), so that several labs can stand side by side.
set -Eeuo pipefail

prefix=${LAB_PREFIX:-ncl}
hosts_all=(inet ra rb a1 a2 b1)
stun_name=stun.l.google.com
stun2_name=stun.cloudflare.com
ipv6=on  # on, blackhole-a or off

ns() { echo "$prefix-$1"; }
in_ns() { local n; n=$(ns "$1"); shift; ip netns exec "$n" "$@"; }

down() {
  for h in "${hosts_all[@]}"; do
    local n; n=$(ns "$h")
    if ip netns list 2>/dev/null | grep -qw "$n"; then
      # Whatever still runs in the namespace (coturn, natchat) ends with it.
      ip netns pids "$n" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
      ip netns del "$n" 2>/dev/null || true
    fi
    rm -rf "/etc/netns/$n"
  done
}

link() {  # link NS_A IF_A NS_B IF_B: a veth pair between two namespaces
  local tmp_a="v$RANDOM$RANDOM" tmp_b="v$RANDOM$RANDOM"
  ip link add "$tmp_a" type veth peer name "$tmp_b"
  ip link set "$tmp_a" netns "$(ns "$1")"
  ip link set "$tmp_b" netns "$(ns "$3")"
  in_ns "$1" ip link set "$tmp_a" name "$2"
  in_ns "$3" ip link set "$tmp_b" name "$4"
  in_ns "$1" ip link set "$2" up
  in_ns "$3" ip link set "$4" up
}

host_file() {  # host_file HOST ADDRESS: name resolution inside the host's namespace
  local dir; dir="/etc/netns/$(ns "$1")"
  mkdir -p "$dir"
  {
    echo "127.0.0.1 localhost"
    [ -n "$2" ] && echo "$2 $(hostname)"
    echo "198.51.100.1 $stun_name"
    echo "198.51.100.3 $stun2_name"
    if [ "$ipv6" != off ]; then
      echo "2001:db8:100::1 $stun_name"
      echo "2001:db8:100::3 $stun2_name"
    fi
  } >"$dir/hosts"
  # No resolver to ask: every name the lab knows is in the hosts file.
  : >"$dir/resolv.conf"
}

addr6() {  # addr6 HOST DEVICE ADDRESS/LEN [OPTION...]: usable at once, no duplicate detection pending
  [ "$ipv6" = off ] || in_ns "$1" ip -6 addr add "$3" dev "$2" nodad "${@:4}"
}

route6() {  # route6 HOST ROUTE...
  local h=$1; shift
  [ "$ipv6" = off ] || in_ns "$h" ip -6 route add "$@"
}

router() {  # router NAME WAN_ADDR LAN_ADDR WAN6_ADDR LAN6_ADDR KIND LOSS TIMEOUT
  local r=$1
  in_ns inet ip link set "$r-wan" master br0
  in_ns "$r" ip addr add "$2/24" dev wan
  in_ns "$r" ip link add lan type bridge
  in_ns "$r" ip link set lan up
  in_ns "$r" ip addr add "$3/24" dev lan
  in_ns "$r" ip route add default via 198.51.100.1
  in_ns "$r" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
  addr6 "$r" wan "$4/64"
  addr6 "$r" lan "$5/64"
  route6 "$r" default via 2001:db8:100::1
  # The UDP timeouts of conntrack serve both families.
  if [ -n "$8" ]; then
    in_ns "$r" sysctl -qw net.netfilter.nf_conntrack_udp_timeout="$8" \
      net.netfilter.nf_conntrack_udp_timeout_stream="$8"
  fi
  local masq="masquerade"
  [ "$6" = symmetric ] && masq="masquerade random"
  local loss="" blackhole=""
  [ "${7:-0}" != 0 ] && loss="meta l4proto udp numgen random mod 100 < $7 drop"
  # Dropped, not refused: the hosts hear no error, as behind a broken IPv6 uplink.
  [ "$ipv6" = blackhole-a ] && [ "$r" = ra ] && blackhole="meta nfproto ipv6 iifname wan drop
    meta nfproto ipv6 oifname wan drop"
  in_ns "$r" nft -f - <<NFT
table ip nat {
  chain postrouting {
    type nat hook postrouting priority srcnat; policy accept;
    oifname "wan" $masq
  }
}
table inet firewall {
  chain input {
    type filter hook input priority filter; policy accept;
    iifname "wan" ct state established,related accept
    # Neighbour discovery belongs to no connection, and without it no IPv6 passes at all.
    iifname "wan" meta l4proto ipv6-icmp accept
    iifname "wan" drop
  }
  chain forward {
    type filter hook forward priority filter; policy accept;
    $blackhole
    $loss
    iifname "wan" ct state established,related accept
    iifname "wan" drop
  }
}
NFT
}

lan_host() {  # lan_host HOST ROUTER ADDRESS GATEWAY ADDRESS6 GATEWAY6
  link "$1" eth0 "$2" "$1"
  in_ns "$2" ip link set "$1" master lan
  in_ns "$1" ip addr add "$3/24" dev eth0
  in_ns "$1" ip route add default via "$4"
  addr6 "$1" eth0 "$5/64"
  route6 "$1" default via "$6"
  host_file "$1" "$3"
}

portmap() {  # portmap ROUTER WAN_ADDR LAN_NET KIND: miniupnpd serving the router's LAN
  local r=$1 base="/tmp/$prefix-$1-miniupnpd" natpmp=yes
  [ "$4" = upnp ] && natpmp=no
  # A table of miniupnpd's own, with the chains it fills; nat before the masquerade, so that a
  # mapped port leaves by its own port. The firewall lets in what a mapping forwards.
  in_ns "$r" nft -f - <<NFT
table inet natchat_upnp {
  chain forward { type filter hook forward priority filter - 1; policy accept; jump miniupnpd; }
  chain miniupnpd { }
  chain prerouting { type nat hook prerouting priority dstnat - 1; policy accept; jump prerouting_miniupnpd; }
  chain prerouting_miniupnpd { }
  chain postrouting { type nat hook postrouting priority srcnat - 1; policy accept; jump postrouting_miniupnpd; }
  chain postrouting_miniupnpd { }
}
NFT
  in_ns "$r" nft insert rule inet firewall forward iifname wan ct status dnat accept
  # miniupnpd takes documentation ranges for private and maps nothing until STUN shows it its
  # public address: a responder on the router itself names the wan address.
  in_ns "$r" python3 "$(dirname "$0")/stun_wan.py" "$2" 3479 >/dev/null 2>&1 &
  cat >"$base.conf" <<CONF
ext_ifname=wan
listening_ip=lan
http_port=0
enable_natpmp=$natpmp
enable_upnp=yes
secure_mode=yes
system_uptime=yes
uuid=3e4a1f20-7b6c-4d2e-9f10-$(printf '%012d' "${2##*.}")
ext_perform_stun=yes
ext_stun_host=$2
ext_stun_port=3479
upnp_table_name=natchat_upnp
upnp_nat_table_name=natchat_upnp
upnp_forward_chain=miniupnpd
upnp_nat_chain=prerouting_miniupnpd
upnp_nat_postrouting_chain=postrouting_miniupnpd
allow 1024-65535 $3 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  in_ns "$r" miniupnpd -f "$base.conf" -P "$base.pid" -d >"$base.log" 2>&1 &
}

portmap_ready() {  # portmap_ready ROUTER KIND: whether its miniupnpd serves yet (after its STUN wait)
  local ready="Listening for NAT-PMP/PCP traffic"
  [ "$2" = upnp ] && ready="HTTP listening on port"
  grep -q "$ready" "/tmp/$prefix-$1-miniupnpd.log" 2>/dev/null
}

listening() {  # listening ADDRESS:PORT...: whether inet has a UDP socket bound to each
  local l
  for l in "$@"; do
    [ -n "$(in_ns inet ss -Huln src "$l")" ] || return 1
  done
}

up() {
  local nat_a=cone nat_b=cone loss=0 timeout="" portmap_a="" portmap_b=""
  while [ $# -gt 0 ]; do
    case $1 in
      --nat-a) nat_a=$2; shift 2 ;;
      --nat-b) nat_b=$2; shift 2 ;;
      --loss) loss=$2; shift 2 ;;
      --udp-timeout) timeout=$2; shift 2 ;;
      --ipv6-blackhole-a) ipv6=blackhole-a; shift ;;
      --ipv4-only) ipv6=off; shift ;;
      --portmap-a) portmap_a=$2; shift 2 ;;
      --portmap-b) portmap_b=$2; shift 2 ;;
      *) echo "lab.sh up: unknown option $1" >&2; exit 2 ;;
    esac
  done
  down
  trap 'down' ERR
  for h in "${hosts_all[@]}"; do
    ip netns add "$(ns "$h")"
    in_ns "$h" ip link set lo up
    # A router sends a neighbour solicitation for a datagram it forwards only from a link-local
    # address of its own: none may wait out duplicate detection, or the first datagrams are lost.
    [ "$ipv6" = off ] || in_ns "$h" sysctl -qw net.ipv6.conf.all.accept_dad=0 \
      net.ipv6.conf.default.accept_dad=0
  done

  in_ns inet ip link add br0 type bridge
  in_ns inet ip link set br0 up
  in_ns inet ip addr add 198.51.100.1/24 dev br0
  addr6 inet br0 2001:db8:100::1/64
  in_ns inet sysctl -qw net.ipv6.conf.all.forwarding=1
  link ra wan inet ra-wan
  link rb wan inet rb-wan
  router ra 198.51.100.11 192.0.2.1 2001:db8:100::11 2001:db8:a::1 "$nat_a" "$loss" "$timeout"
  router rb 198.51.100.12 203.0.113.1 2001:db8:100::12 2001:db8:b::1 "$nat_b" 0 "$timeout"
  route6 inet 2001:db8:a::/64 via 2001:db8:100::11
  route6 inet 2001:db8:b::/64 via 2001:db8:100::12
  lan_host a1 ra 192.0.2.10 192.0.2.1 2001:db8:a::10 2001:db8:a::1
  lan_host a2 ra 192.0.2.20 192.0.2.1 2001:db8:a::20 2001:db8:a::1
  lan_host b1 rb 203.0.113.10 203.0.113.1 2001:db8:b::10 2001:db8:b::1

  in_ns inet ip addr add 198.51.100.3/24 dev br0
  # Deprecated, so that the host itself sends from 2001:db8:100::1, the address its STUN server
  # sees: a second address it sent from would name another host to its peers.
  addr6 inet br0 2001:db8:100::3/64 preferred_lft 0
  local listeners=(198.51.100.1:3478) server ip4 ip6 port ips
  for server in 198.51.100.1,2001:db8:100::1,19302 198.51.100.3,2001:db8:100::3,3478; do
    IFS=, read -r ip4 ip6 port <<<"$server"
    ips=(--listening-ip "$ip4")
    listeners+=("$ip4:$port")
    if [ "$ipv6" != off ]; then
      ips+=(--listening-ip "$ip6")
      listeners+=("[$ip6]:$port")
    fi
    in_ns inet turnserver --stun-only "${ips[@]}" --listening-port "$port" \
      --no-cli --no-tls --no-dtls --log-file stdout --no-stdout-log \
      --pidfile "/tmp/$prefix-turn-$ip4.pid" >/dev/null 2>&1 &
  done
  in_ns inet turnserver -c /dev/null --listening-ip 198.51.100.1 --listening-port 3478 \
    --relay-ip 198.51.100.1 \
    --lt-cred-mech --user natchat:lab-secret --realm natchat.lab \
    --no-cli --no-tls --no-dtls --verbose --log-file stdout \
    --pidfile "/tmp/$prefix-turn-relay.pid" >"/tmp/$prefix-relay.log" 2>&1 &
  [ -n "$portmap_a" ] && portmap ra 198.51.100.11 192.0.2.0/24 "$portmap_a"
  [ -n "$portmap_b" ] && portmap rb 198.51.100.12 203.0.113.0/24 "$portmap_b"
  for _ in $(seq 100); do
    listening "${listeners[@]}" && break
    sleep 0.05
  done
  for _ in $(seq 200); do
    { [ -z "$portmap_a" ] || portmap_ready ra "$portmap_a"; } &&
      { [ -z "$portmap_b" ] || portmap_ready rb "$portmap_b"; } && break
    sleep 0.05
  done
  trap - ERR
}

case ${1:-} in
  up) shift; up "$@" ;;
  down) down ;;
  exec) shift; h=$1; shift; in_ns "$h" "$@" ;;
  *) sed -n '2,34p' "$0"; exit 2 ;;
esac
