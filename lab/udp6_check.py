#!/usr/bin/env python3
"""Checks the lab's IPv6 with plain sockets, as root, under the lab lock: STUN over IPv6 sees the
hosts' own addresses, a datagram each way opens a path through both routers while unsolicited
ones are dropped, and --udp-timeout, --loss, --ipv6-blackhole-a and --ipv4-only do what they say.

  udp6_check.py                        runs every check; exit 0 when all pass
  udp6_check.py stun ADDR PORT         (inside a host) the mapped address a STUN server sees
  udp6_check.py probe PORT PEER|- PEER_PORT SENDS SECONDS
                                       (inside a host) sends SENDS datagrams to the peer, one
                                       every 0.1 s; prints what arrived and the errors met"""
import os
import socket
import subprocess
import sys
import time

from labkit import Lab, check

COOKIE = 0x2112A442
A1, A2, B1 = "2001:db8:a::10", "2001:db8:a::20", "2001:db8:b::10"
STUN6 = [("2001:db8:100::1", "19302"), ("2001:db8:100::3", "3478")]
PORT = "40000"
SELF = os.path.abspath(__file__)


def stun(addr, port):
    family = socket.AF_INET6 if ":" in addr else socket.AF_INET
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.bind(("", 40001))
    s.settimeout(1.0)
    # One request only: the first datagram after the lab comes up must already pass.
    key = COOKIE.to_bytes(4, "big") + os.urandom(12)
    s.sendto(b"\x00\x01\x00\x00" + key, (addr, int(port)))
    try:
        reply = s.recv(1500)
    except socket.timeout:
        return "none"
    at = 20
    while at + 4 <= len(reply):
        kind, length = (int.from_bytes(reply[i:i + 2], "big") for i in (at, at + 2))
        value = reply[at + 4:at + 4 + length]
        if kind == 0x0020:  # XOR-MAPPED-ADDRESS: port XOR the cookie's top, address XOR cookie+id
            port = int.from_bytes(value[2:4], "big") ^ (COOKIE >> 16)
            raw = bytes(a ^ b for a, b in zip(value[4:], key))
            if value[1] == 0x02:
                return f"[{socket.inet_ntop(socket.AF_INET6, raw)}]:{port}"
            return f"{socket.inet_ntop(socket.AF_INET, raw)}:{port}"
        at += 4 + (length + 3) // 4 * 4
    return "none"


def probe(port, peer, peer_port, sends, seconds):
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.bind(("::", int(port)))
    if peer != "-":
        # Connected, so that an ICMP error coming back would show as an error here.
        s.connect((peer, int(peer_port)))
    received = errors = sent = 0
    started = time.monotonic()
    while time.monotonic() < started + float(seconds):
        try:
            if sent < int(sends) and time.monotonic() >= started + sent * 0.1:
                sent += 1
                s.send(b"punch")
            s.settimeout(0.05)
            s.recv(1500)
            received += 1
        except socket.timeout:
            pass
        except OSError:
            errors += 1
    return f"received {received} errors {errors}"


def run(lab, *pairs):
    """Runs one probe per (host, args) at once; returns their (received, errors) in order."""
    procs = []
    for host, args in pairs:
        procs.append(subprocess.Popen(lab.command(host, sys.executable, SELF, "probe", *args),
                                      stdout=subprocess.PIPE, text=True))
        time.sleep(0.1)
    return [tuple(int(w) for w in p.communicate(timeout=30)[0].split()[1::2]) for p in procs]


def in_host(lab, host, *words):
    return lab.run(host, *words, capture_output=True, text=True, check=True).stdout


def both_ways(lab, a="a1", b="b1", a_addr=A1, b_addr=B1):
    """a and b send to each other at once."""
    return run(lab, (a, [PORT, b_addr, PORT, "10", "2"]), (b, [PORT, a_addr, PORT, "10", "2"]))


def alone_to_a1(lab, sender):
    """a1 only listens while `sender` sends to it."""
    return run(lab, ("a1", [PORT, "-", "0", "0", "1.5"]), (sender, [PORT, A1, PORT, "10", "1"]))


def checks():
    with Lab("ncl-v6", "--udp-timeout", "4") as lab:
        for host, own in (("a1", A1), ("b1", B1)):
            for server in STUN6:
                seen = in_host(lab, host, sys.executable, SELF, "stun", *server).strip()
                check(seen == f"[{own}]:40001", f"{host} via {server}: seen as {seen}")
        names = in_host(lab, "a1", "getent", "ahosts", "stun.l.google.com")
        check("2001:db8:100::1 " in names and "198.51.100.1 " in names, names)
        for stranger, address in (("inet", "2001:db8:100::1"), ("b1", B1)):
            got = alone_to_a1(lab, stranger)
            check(got[0][0] == 0, f"unsolicited from {address} reached a1: {got}")
        got = both_ways(lab)
        check(got[0][0] > 0 and got[1][0] > 0, f"a datagram each way did not open: {got}")
        got = alone_to_a1(lab, "b1")
        check(got[0][0] > 0, f"the opened path closed at once: {got}")
        time.sleep(6)
        got = alone_to_a1(lab, "b1")
        check(got[0][0] == 0, f"the path outlived --udp-timeout: {got}")
        cut = ["nft", "add", "chain", "inet", "firewall", "cut",
               "{ type filter hook forward priority -10; policy drop; }"]
        lab.run("ra", *cut, check=True)
        got = both_ways(lab)
        check(got[0][0] == 0 and got[1][0] == 0, f"the cut let IPv6 through: {got}")
        lab.run("ra", "nft", "delete", "chain", "inet", "firewall", "cut", check=True)
        check(both_ways(lab)[0][0] > 0, "no path after the cut ended")

    with Lab("ncl-v6", "--ipv6-blackhole-a") as lab:
        check(in_host(lab, "a1", sys.executable, SELF, "stun", *STUN6[0]).strip() == "none",
              "STUN over IPv6 answered through the black hole")
        check(in_host(lab, "a1", sys.executable, SELF, "stun", "198.51.100.1", "19302")
              .startswith("198.51.100.11:"), "IPv4 did not pass router A")
        got = both_ways(lab)
        check(got == [(0, 0), (0, 0)], f"through the black hole: {got}")
        check(A1 in in_host(lab, "a1", "ip", "-6", "addr"), "a1 lost its IPv6 address")
        got = both_ways(lab, "a1", "a2", A1, A2)
        check(got[0][0] > 0 and got[1][0] > 0, f"the LAN lost IPv6: {got}")

    with Lab("ncl-v6", "--loss", "50") as lab:
        got = run(lab, ("a1", [PORT, B1, PORT, "30", "4"]), ("b1", [PORT, A1, PORT, "30", "4"]))
        check(all(3 <= r <= 25 for r, _ in got), f"not about half of 30 lost: {got}")

    with Lab("ncl-v6", "--ipv4-only") as lab:
        check(in_host(lab, "a1", "ip", "-6", "addr", "show", "scope", "global") == "",
              "a1 has a global IPv6 address")
        names = in_host(lab, "a1", "getent", "ahosts", "stun.l.google.com")
        check(":" not in names, f"an IPv6 address in an IPv4-only lab: {names}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["stun"]:
        print(stun(*sys.argv[2:4]))
    elif sys.argv[1:2] == ["probe"]:
        print(probe(*sys.argv[2:7]))
    else:
        checks()
        print("IPv6 lab: all checks passed")
