#!/usr/bin/env python3
"""End-to-end scenarios of the real natchat binary across the NAT lab, as root.

    e2e.py SCENARIO --natchat PATH      runs one scenario; exit 0 pass, 1 fail, 77 skipped
    e2e.py --list                       names the scenarios
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lab"))
from labkit import (ESTABLISHED, Failure, Lab, Peer, chat_both_ways, check, connect,  # noqa: E402
                    quit_both, running, wait_connected)

SKIP = 77


LEFT = b"\n[The peer has left the chat]\n> "


def hears_left(p, mark, within=1.0):
    p.expect(LEFT, within, mark)


def scenario_cone(natchat):
    """Both behind cone NATs; Ctrl+C on one side ends it in order and the other side hears it."""
    with Lab("ncl-cone") as lab:
        with running(*connect(lab, natchat)) as (a, b):
            wait_connected(a, b)
            a.expect(b"Attempting to connect to 198.51.100.12:")
            a.expect(b"\nFirst packet received! Confirming connection stability...\n")
            chat_both_ways(a, b)
            mark = len(a.text())
            b.proc.send_signal(signal.SIGINT)
            check(b.proc.wait(5) == 128 + signal.SIGINT, f"b exited with {b.proc.returncode}")
            check(b.text().endswith(b"\nShutting down...\n"), "b did not shut down in order")
            hears_left(a, mark)
            check(a.quit()[0] == 0, "a did not quit cleanly")


def scenario_same_lan(natchat):
    """Two hosts on one LAN; "quit" on one side is heard on the other within a second."""
    with Lab("ncl-lan") as lab:
        with running(Peer(lab, "a1", natchat), Peer(lab, "a2", natchat)) as (a, b):
            a_ip, a_port = a.lan()
            b_ip, b_port = b.lan()
            for p, (ip, port) in ((a, (b_ip, b_port)), (b, (a_ip, a_port))):
                p.expect(b"Enter peer IP address: ")
                p.type(f"{ip}\n{port}\n")
            wait_connected(a, b)
            chat_both_ways(a, b)
            mark = len(b.text())
            check(a.quit()[0] == 0, "a did not quit cleanly")
            hears_left(b, mark)
            check(b.quit()[0] == 0, "b did not quit cleanly")


def scenario_symmetric(natchat):
    with Lab("ncl-sym", "--nat-b", "symmetric") as lab:
        with running(*connect(lab, natchat)) as (a, b):
            for p in (a, b):
                p.expect(b"\nConnection timeout after 60 seconds\n\nConnection failed or interrupted\n",
                         75)
                check(p.proc.wait(5) == 1, f"{p.name} should exit with 1")
                check(ESTABLISHED not in p.text(), f"{p.name} claimed a connection")


def scenario_loss(natchat):
    with Lab("ncl-loss", "--loss", "20") as lab:
        with running(*connect(lab, natchat)) as (a, b):
            wait_connected(a, b, timeout=40)
            quit_both(a, b)


def scenario_mapping_expiry(natchat):
    with Lab("ncl-idle", "--udp-timeout", "6") as lab:
        with running(*connect(lab, natchat)) as (a, b):
            wait_connected(a, b)
            time.sleep(20)  # idle three times as long as the routers keep an unused mapping
            chat_both_ways(a, b, " after 20 s")
            quit_both(a, b)


# A neighbour on A's LAN sends everything a peer might, and worse, for `seconds`; it reports each
# datagram it got back.
STRANGER = r"""
import random, socket, sys, time
target, until = (sys.argv[1], int(sys.argv[2])), time.monotonic() + float(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setblocking(False)
rng = random.Random(7)
while time.monotonic() < until:
    for d in (b"KEEPALIVE", b"PUNCH", b"PUNCH_ACK", b"stranger line", b"\x1b[2Jfake\x9b", b"X" * 9000,
              bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 2100)))):
        s.sendto(d, target)
    try:
        print("answered:", s.recv(4096))
    except BlockingIOError:
        pass
    time.sleep(0.02)
"""


def scenario_stranger(natchat):
    """A punches at a peer that is not there yet while a stranger talks to it; then the peer comes."""
    with Lab("ncl-host") as lab:
        with running(Peer(lab, "a1", natchat), Peer(lab, "b1", natchat)) as (a, b):
            b_ip, b_port = b.external()
            a.expect(b"Enter peer IP address: ")
            a.type(f"{b_ip}\n{b_port}\n")
            _, a_lan_port = a.lan()
            stranger = subprocess.Popen(lab.command("a2", "python3", "-c", STRANGER, "192.0.2.10",
                                                    a_lan_port, "8"), stdout=subprocess.PIPE)
            time.sleep(4)
            for bad in (b"First packet", b"[Peer]", b"Connection in progress", b"established"):
                check(bad not in a.text(), f"a stranger made a show {bad!r}")
            a_ip, a_port = a.external()
            b.expect(b"Enter peer IP address: ")
            b.type(f"{a_ip}\n{a_port}\n")
            wait_connected(a, b)
            chat_both_ways(a, b)
            answers = stranger.communicate(timeout=30)[0]
            check(answers == b"", f"the stranger was answered: {answers[:200]!r}")
            check(b"stranger" not in a.text() and b"\x1b" not in a.text(), "a stranger was shown")
            quit_both(a, b)
            ignored = re.search(rb"\nIgnored ([0-9]+) datagrams from other addresses\n", a.text())
            check(ignored is not None, "a did not count the stranger's datagrams")
            print(f"stranger datagrams dropped by a: {int(ignored.group(1))}")


# A STUN server that answers every Binding Request twice.
STUN_TWICE = r"""
import socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("198.51.100.2", 19302))
while True:
    req, (ip, port) = s.recvfrom(2048)
    x = struct.unpack("!I", socket.inet_aton(ip))[0] ^ 0x2112A442
    answer = struct.pack("!HHI12sHHHHI", 0x0101, 12, 0x2112A442, req[8:20], 0x20, 8, 1,
                         port ^ 0x2112, x)
    s.sendto(answer, (ip, port))
    s.sendto(answer, (ip, port))
"""


def scenario_stun_twice(natchat):
    """The STUN server's spare answer waits on B's socket: it is neither counted nor shown."""
    with Lab("ncl-stun2") as lab:
        lab.run("inet", "ip", "addr", "add", "198.51.100.2/24", "dev", "br0", check=True)
        hosts = f"/etc/netns/{lab.env['LAB_PREFIX']}-b1/hosts"  # B asks the doubling server
        text = open(hosts).read().replace("198.51.100.1 stun", "198.51.100.2 stun")
        open(hosts, "w").write(text)
        server = subprocess.Popen(lab.command("inet", "python3", "-c", STUN_TWICE))
        try:
            with running(*connect(lab, natchat)) as (a, b):
                wait_connected(a, b)
                time.sleep(0.5)
                for bad in (b"[Peer]", b"[Connection established!]"):
                    check(bad not in b.text(), f"b showed {bad!r} before any chat")
                chat_both_ways(a, b)
                quit_both(a, b)
        finally:
            server.kill()


def scenario_paste(natchat):
    """1000 pasted lines arrive whole and in order; a 3000-byte line of two-byte characters
    arrives as pieces cut between characters."""
    with Lab("ncl-paste") as lab:
        with running(*connect(lab, natchat)) as (a, b):
            wait_connected(a, b)
            lines = [f"pasted line {i:04d} " + "x" * 60 for i in range(1000)]
            mark = len(b.text())
            a.type("".join(line + "\n" for line in lines))
            b.expect(f"\n[Peer]: {lines[-1]}\n> ".encode(), 30, mark)
            got = re.findall(rb"\[Peer\]: (pasted line [^\n]*)\n", b.text()[mark:])
            check([g.decode() for g in got] == lines, f"{len(got)} of 1000 lines arrived in order")
            mark = len(b.text())
            a.type("\u00e9" * 1500 + "\nend\n")
            b.expect(b"\n[Peer]: end\n> ", 10, mark)
            pieces = re.findall(rb"\[Peer\]: ([^\n]*)\n", b.text()[mark:])[:-1]
            check(b"".join(pieces) == "\u00e9".encode() * 1500 and len(pieces) == 2,
                  f"the long line arrived as {[len(p) for p in pieces]} bytes, '?' in it: "
                  f"{any(b'?' in p for p in pieces)}")
            quit_both(a, b)


def scenario_windows(natchat, natchat_exe):
    """natchat.exe under Wine behind router A, the Linux natchat behind router B."""
    prefix = "/tmp/natchat-lab-wineprefix"
    # Wine does its socket work in the wineserver, so the server must start inside the lab host's
    # namespace: a prefix of its own, and no server of it left running from before.
    subprocess.run(["env", f"WINEPREFIX={prefix}", "wineserver", "-k"], check=False,
                   stderr=subprocess.DEVNULL)
    wine = ["env", f"WINEPREFIX={prefix}", "WINEDEBUG=-all", "wine", natchat_exe]
    with Lab("ncl-win") as lab:
        with running(*connect(lab, natchat, a_natchat=wine)) as (a, b):
            wait_connected(a, b)
            chat_both_ways(a, b)
            for p in (b, a):
                code, _ = p.quit(timeout=20)
                check(code == 0, f"{p.name} exited with {code}")
            lab.run("a1", "env", f"WINEPREFIX={prefix}", "wineserver", "-k", check=False,
                    stderr=subprocess.DEVNULL)


def scenario_offline(natchat):
    """A namespace with nothing but loopback: no name resolves, so start-up fails cleanly."""
    name = "ncl-offline"
    subprocess.run(["ip", "netns", "del", name], stderr=subprocess.DEVNULL, check=False)
    subprocess.run(["ip", "netns", "add", name], check=True)
    try:
        r = subprocess.run(["ip", "netns", "exec", name, natchat, "198.51.100.7", "5000"],
                           stdout=subprocess.PIPE, timeout=30, check=False)
    finally:
        subprocess.run(["ip", "netns", "del", name], check=False)
    check(r.returncode == 1, f"exit code {r.returncode}")
    check(re.fullmatch(rb"Local port: [0-9]+\n(Local LAN IP: [0-9.]+|Could not determine local LAN IP)"
                       rb"\nDiscovering external address via STUN...\nFailed to resolve STUN server\n",
                       r.stdout) is not None, f"output:\n{r.stdout.decode(errors='replace')}")


SCENARIOS = {
    "offline": scenario_offline,
    "cone": scenario_cone,
    "same_lan": scenario_same_lan,
    "symmetric": scenario_symmetric,
    "loss": scenario_loss,
    "mapping_expiry": scenario_mapping_expiry,
    "stranger": scenario_stranger,
    "stun_twice": scenario_stun_twice,
    "paste": scenario_paste,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", nargs="?")
    parser.add_argument("--natchat")
    parser.add_argument("--natchat-exe", help="natchat.exe, for the windows scenario")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    if args.list:
        print("\n".join(SCENARIOS))  # the windows scenario runs from scripts/test-windows.sh
        return 0
    if os.geteuid() != 0:
        print("SKIPPED: the NAT lab needs root (network namespaces and nftables)")
        return SKIP
    started = time.monotonic()
    try:
        natchat = os.path.abspath(args.natchat)
        if args.scenario == "windows":
            scenario_windows(natchat, os.path.abspath(args.natchat_exe))
        else:
            SCENARIOS[args.scenario](natchat)
    except Failure as e:
        print(f"FAILED {args.scenario}: {e}")
        return 1
    print(f"passed {args.scenario} in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
