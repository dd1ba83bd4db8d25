# A small LAN of network namespaces for the network tests and benchmarks:
# "eth0" in the calling shell's namespace (the device's, made with unshare -n)
# joined by a veth pair to "eth0" in a control-point namespace of its own.
# Nothing leaves the two namespaces; both go away with the processes in them.
#   . lan.sh; lan_up; incp CMD...   (runs CMD in the control-point namespace)

# lan_up [CP_ADDRESS/PREFIX]: the control point gets the address (default
# 192.168.77.20/24); the device side is up without an IPv4 address.
lan_up() {
  sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0 || return 1
  ip link set lo up || return 1
  unshare -n sh -c 'sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0; exec sleep 3600' &
  LAN_CP=$!
  local n=0
  while [ "$(readlink /proc/$LAN_CP/ns/net 2>/dev/null)" = "$(readlink /proc/$$/ns/net)" ] ||
        [ -z "$(readlink /proc/$LAN_CP/ns/net 2>/dev/null)" ]; do
    n=$((n + 1)); [ $n -gt 50 ] && return 1; sleep 0.05
  done
  sleep 0.1  # the sysctl before exec
  ip link add eth0 type veth peer name lancp0 || return 1
  ip link set lancp0 netns "$LAN_CP" || return 1
  incp sh -c "ip link set lo up && ip link set lancp0 name eth0 && ip link set eth0 up &&
            ip addr add ${1:-192.168.77.20/24} dev eth0" || return 1
  ip link set eth0 up
}

lan_down() { [ -n "${LAN_CP:-}" ] && kill "$LAN_CP" 2>/dev/null; LAN_CP=; }

incp() { nsenter -t "$LAN_CP" -n "$@"; }

# The IPv6 link-local address of eth0 in this namespace.
lan_linklocal() { ip -6 -o addr show dev eth0 scope link | sed -n 's#.* inet6 \([^/]*\)/.*#\1#p' | head -1; }
