#!/usr/bin/env python3
"""End-to-end scenarios of the real natchat binary across the NAT lab, as root.

    e2e.py SCENARIO --natchat PATH      runs one scenario; exit 0 pass, 1 fail, 77 skipped
    e2e.py --list                       names the scenarios
"""
import argparse
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lab"))
from labkit import (ESTABLISHED, Failure, Lab, Peer, chat_both_ways, check, connect,  # noqa: E402
                    quit_both, running, wait_connected)

SKIP = 77


def scenario_cone(natchat):
    with Lab("ncl-cone") as lab:
        with running(*connect(lab, natchat)) as (a, b):
            wait_connected(a, b)
            a.expect(b"Attempting to connect to 198.51.100.12:")
            b.expect(b"Attempting to connect to 198.51.100.11:")
            a.expect(b"\nFirst packet received! Confirming connection stability...\n")
            chat_both_ways(a, b)
            quit_both(a, b)


def scenario_same_lan(natchat):
    with Lab("ncl-lan") as lab:
        with running(Peer(lab, "a1", natchat), Peer(lab, "a2", natchat)) as (a, b):
            a_ip, a_port = a.lan()
            b_ip, b_port = b.lan()
            check((a_ip, b_ip) == ("192.0.2.10", "192.0.2.20"), f"LAN addresses {a_ip}, {b_ip}")
            a.expect(b"Enter peer IP address: ")
            b.expect(b"Enter peer IP address: ")
            a.type(f"{b_ip}\n{b_port}\n")
            b.type(f"{a_ip}\n{a_port}\n")
            wait_connected(a, b)
            chat_both_ways(a, b)
            quit_both(a, b)


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


HOSTILE = r"""
import random, socket, sys
target = (sys.argv[1], int(sys.argv[2]))
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
s.sendto(b"\x1b[2J\x1b]0;pwned\x07\rfake line\x9b31m\xc2\x9b", target)
s.sendto(b"X" * 9000, target)
rng = random.Random(7)
for _ in range(3000):
    s.sendto(bytes(rng.getrandbits(8) for _ in range(rng.randrange(0, 2100))), target)
"""


def scenario_hostile(natchat):
    with Lab("ncl-host") as lab:
        with running(*connect(lab, natchat)) as (a, b):
            wait_connected(a, b)
            mark = len(a.text())
            _, a_port = a.lan()
            lab.run("a2", "python3", "-c", HOSTILE, "192.0.2.10", a_port, check=True, timeout=60)
            time.sleep(1)
            b.type("the next real line\n")
            a.expect(b"\n[Peer]: the next real line\n> ", 20, mark)
            shown = a.text()[mark:]
            bad = [c for c in shown if (c < 0x20 and c not in (0x09, 0x0A)) or c == 0x7F]
            check(not bad, f"raw control bytes reached the terminal: {sorted(set(bad))}")
            check(b"\xc2\x9b" not in shown and b"\x1b" not in shown, "an escape got through")
            check(a.proc.poll() is None, "natchat died")
            chat_both_ways(a, b)
            quit_both(a, b)


def scenario_paste(natchat):
    with Lab("ncl-paste") as lab:
        with running(*connect(lab, natchat)) as (a, b):
            wait_connected(a, b)
            lines = [f"pasted line {i:04d} " + "x" * 60 for i in range(1000)]
            mark = len(b.text())
            a.type("".join(line + "\n" for line in lines))
            b.expect(f"\n[Peer]: {lines[-1]}\n> ".encode(), 30, mark)
            got = re.findall(rb"\[Peer\]: (pasted line [^\n]*)\n", b.text()[mark:])
            got = [g.decode() for g in got]
            check(got == lines, f"{len(got)} of 1000 lines arrived, in order: "
                                f"{got == sorted(got)}")
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
    "hostile": scenario_hostile,
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
