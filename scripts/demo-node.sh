#!/usr/bin/env bash
# demo-node.sh BUILD_DIR: inside the sandbox, makes a simulated node (site
# configuration, init scripts, interfaces, stand-in daemons) and runs
# dravel on it.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$1
standin=$top/standin

mkdir -p /etc/plovan /etc/init.d
cat > /etc/plovan/site.json <<'JSON'
{"mesh": {"olsrd": {"v1_4": {"enable": true}, "v2": {"enable": true}}}}
JSON
install -m 755 "$standin/initd/olsr-init" /etc/init.d/olsrd
install -m 755 "$standin/initd/olsr-init" /etc/init.d/olsrd2

# mesh0: a wired mesh link to a neighbour living in namespace "nb1".
ip netns add nb1
ip link add mesh0 address 02:00:00:00:00:01 type veth peer name nb1-mesh0 address 02:00:00:00:00:02
ip link set nb1-mesh0 netns nb1
ip addr add 10.31.0.1/16 dev mesh0
ip link set mesh0 up
ip -n nb1 addr add 10.31.0.2/16 dev nb1-mesh0
ip -n nb1 link set nb1-mesh0 up
ip -n nb1 link set lo up
# mesh-vpn: a tunnel.
ip tuntap add dev mesh-vpn mode tun
ip addr add 10.32.0.1/16 dev mesh-vpn
ip link set mesh-vpn up
# local-port: the client port, with a little traffic on it.
ip link add local-port type veth peer name nb1-client
ip link set nb1-client netns nb1
ip addr add 192.168.77.1/24 dev local-port
ip link set local-port up
ip -n nb1 addr add 192.168.77.2/24 dev nb1-client
ip -n nb1 link set nb1-client up
ping -c 3 -i 0.2 -W 1 192.168.77.2 >/dev/null 2>&1 ||
	python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for _ in range(3): s.sendto(b"hello", ("192.168.77.2", 9))'

# zistad, the roaming daemon, on its socket.
python3 "$standin/zistad.py" --ready /var/run/zistad.ready &
for _ in $(seq 100); do
	[[ -e /var/run/zistad.ready ]] && break
	sleep 0.05
done

python3 "$standin/olsr_standin.py" --port 9090 --answers "$standin/answers/olsrd.json" &
echo $! > /var/run/olsrd.pid
python3 "$standin/olsr_standin.py" --port 1980 --telnet --answers "$standin/answers/olsrd2.json" &
echo $! > /var/run/olsrd2.pid
for port in 9090 1980; do
	for _ in $(seq 100); do
		(exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
		sleep 0.05
	done
done

"$build/debug/dravel"
