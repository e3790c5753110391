#!/usr/bin/env python3
"""natchat benchmarks in the NAT lab (root): connection time, quit time, STUN discovery beside
coturn's turnutils_stunclient, idle footprint beside nc -u, the largest pasted block that
arrives intact, and connection across a symmetric NAT. Prints a Markdown table.

    bench/lab_bench.py [--natchat PATH] [--runs N] [--idle SECONDS]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab"))
from labkit import (CODE, Failure, Lab, Peer, connect, running, symmetric_cone_run,  # noqa: E402
                    wait_connected)

TICKS = os.sysconf("SC_CLK_TCK")


def connect_and_quit(lab, natchat):
    """Seconds from the second address entered to both connected and to both showing the
    security code, and from quit to exit."""
    with running(*connect(lab, natchat)) as (a, b):
        entered = time.monotonic()  # connect() types A's entry last
        wait_connected(a, b)
        connected = time.monotonic() - entered
        for p in (a, b):
            p.expect(CODE, 10)
        coded = time.monotonic() - entered
        quits = [p.quit()[1] for p in (a, b)]
        return connected, coded, max(quits)


def lossy_rate(natchat, lines=2000):
    """Lines a second from a paste to its last line shown, across 20 % loss at router A."""
    with Lab("ncl-bench-loss", "--loss", "20") as lab:
        with running(*connect(lab, natchat)) as (a, b):
            wait_connected(a, b, timeout=40)
            b.expect(CODE, 10)
            started = time.monotonic()
            a.type("".join(f"lossy {i:05d} " + "x" * 58 + "\n" for i in range(lines)))
            b.expect(f"[Peer]: lossy {lines - 1:05d} ".encode(), 120)
            return lines / (time.monotonic() - started)


def stun_times(lab, natchat, runs):
    ours, theirs = [], []
    for _ in range(runs):
        p = Peer(lab, "a1", natchat)
        started = time.monotonic()
        p.expect(b"External address: ", 15)
        ours.append(time.monotonic() - started)
        p.kill()
        started = time.monotonic()
        lab.run("a1", "turnutils_stunclient", "-p", "19302", "198.51.100.1",
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        theirs.append(time.monotonic() - started)
    return statistics.median(ours), statistics.median(theirs)


def footprint(pid, seconds):
    """Peak resident set (KiB), CPU share and wake-ups a second (context switches of all the
    process's threads) over `seconds` of idling."""
    def cpu():
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS

    def switches():
        total = 0
        for task in os.listdir(f"/proc/{pid}/task"):
            status = open(f"/proc/{pid}/task/{task}/status").read()
            total += sum(int(n) for n in re.findall(r"_ctxt_switches:\s+(\d+)", status))
        return total
    before, woken = cpu(), switches()
    time.sleep(seconds)
    used, woken = cpu() - before, switches() - woken
    hwm = int(re.search(r"VmHWM:\s+(\d+)", open(f"/proc/{pid}/status").read()).group(1))
    return hwm, 100.0 * used / seconds, woken / seconds


def natchat_idle(lab, natchat, seconds):
    with running(*connect(lab, natchat)) as (a, b):
        wait_connected(a, b)
        a.type("hello\n")
        b.expect(b"[Peer]: hello", 10)
        return footprint(a.proc.pid, seconds)


def netcat_idle(lab, seconds):
    a = subprocess.Popen(lab.command("a1", "nc", "-u", "-p", "40000", "198.51.100.12", "40001"),
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    b = subprocess.Popen(lab.command("b1", "nc", "-u", "-p", "40001", "198.51.100.11", "40000"),
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        for _ in range(3):  # both sides send, so both NATs let the other in
            for p in (a, b):
                p.stdin.write(b"hello\n")
                p.stdin.flush()
            time.sleep(0.2)
        return footprint(a.pid, seconds)
    finally:
        for p in (a, b):
            p.kill()
            p.wait()


def largest_paste(lab, natchat):
    """The largest block of 70-byte lines, doubling from 1000, that arrives whole and in order."""
    best = 0
    with running(*connect(lab, natchat)) as (a, b):
        wait_connected(a, b)
        size = 1000
        while size <= 256000:
            lines = [f"{size}:{i:06d} " + "x" * 60 for i in range(size)]
            mark = len(b.text())
            a.type("".join(line + "\n" for line in lines))
            try:
                b.expect(f"[Peer]: {lines[-1]}\n".encode(), 30, mark)
            except Failure:
                break
            got = re.findall(rb"\[Peer\]: (" + str(size).encode() + rb":[^\n]*)\n", b.text()[mark:])
            if [g.decode() for g in got] != lines:
                break
            best = size
            size *= 2
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--natchat", default="build-release/natchat")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle", type=float, default=10.0)
    args = parser.parse_args()
    natchat = os.path.abspath(args.natchat)
    with Lab("ncl-bench") as lab:
        runs = [connect_and_quit(lab, natchat) for _ in range(args.runs)]
        ours, theirs = stun_times(lab, natchat, args.runs)
        nat_rss, nat_cpu, nat_wake = natchat_idle(lab, natchat, args.idle)
        nc_rss, nc_cpu, nc_wake = netcat_idle(lab, args.idle)
        paste = largest_paste(lab, natchat)
    rate = lossy_rate(natchat)
    with Lab("ncl-bench-sym", "--nat-a", "symmetric") as lab:
        sym = [symmetric_cone_run(lab, natchat) for _ in range(10)]
    sym_ok = sorted(s for s in sym if s is not None)
    connect_s = statistics.median(r[0] for r in runs)
    code_s = statistics.median(r[1] for r in runs)
    quit_s = statistics.median(r[2] for r in runs)
    print("| measure | natchat | reference |")
    print("| --- | --- | --- |")
    print(f"| addresses entered to both connected (median of {args.runs}) | {connect_s:.2f} s | "
          "at least 2.0 s by design |")
    print(f"| addresses entered to both showing the security code (median of {args.runs}) | "
          f"{code_s:.2f} s | goal: connected + 0.1 s |")
    print(f"| \"quit\" to process exit (median of {args.runs}) | {quit_s * 1000:.0f} ms | |")
    print(f"| start to external address known (median of {args.runs}) | {ours * 1000:.0f} ms | "
          f"turnutils_stunclient: {theirs * 1000:.0f} ms |")
    print(f"| peak RSS, idle connected | {nat_rss} KiB | nc -u: {nc_rss} KiB |")
    print(f"| CPU, idle connected for {args.idle:.0f} s | {nat_cpu:.2f} % | nc -u: {nc_cpu:.2f} % |")
    print(f"| wake-ups a second, idle connected for {args.idle:.0f} s (all threads) | "
          f"{nat_wake:.2f} | nc -u: {nc_wake:.2f} |")
    print(f"| largest pasted block delivered intact (70-byte lines, tried up to 256000) | "
          f"{paste} lines | |")
    print(f"| lines a second across 20 % loss (2000 pasted 70-byte lines) | {rate:.0f} | |")
    print(f"| symmetric x cone NAT: runs connected within 45 s, of 10 | {len(sym_ok)} | goal: 9 |")
    if sym_ok:
        print(f"| symmetric x cone NAT: addresses entered to both connected (median, slowest) | "
              f"{statistics.median(sym_ok):.1f} s, {sym_ok[-1]:.1f} s | cone x cone above |")


if __name__ == "__main__":
    main()
