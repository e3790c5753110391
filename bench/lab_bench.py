#!/usr/bin/env python3
"""natchat benchmarks in the NAT lab (root): connection time, quit time, STUN discovery beside
coturn's turnutils_stunclient, idle footprint beside nc -u, the largest pasted block that
arrives intact, delivery across 20 % loss (delay at chat pace, rate of a paste beside the
lossless one), connection across a symmetric NAT, through a TURN relay between two symmetric
NATs (connect time from addresses typed and from peer lines, and the rate of a paste beside the
direct path), and from peer lines over
every path at once (IPv6 against IPv4, IPv6 black-holed, symmetric NATs with IPv6, symmetric NATs
whose routers map ports by PCP or UPnP). Prints a Markdown table.

    bench/lab_bench.py [--natchat PATH] [--runs N] [--idle SECONDS] [--delivery-only]
                       [--relay-only] [--paths-only] [--terminal-only]
"""
import argparse
import math
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab"))
from labkit import (CODE, ESTABLISHED, Failure, Lab, Peer, chat_both_ways, check, connect,  # noqa: E402
                    connect_lines, lines_chat, running, same_code, symmetric_cone_run, wait_connected)

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


def pasted_rate(a, b, lines=2000):
    """Lines a second from a paste of 70-byte lines to its last line shown; every line must come
    once and in order."""
    mark = len(b.text())
    sent = [f"paste {i:05d} " + "x" * 58 for i in range(lines)]
    started = time.monotonic()
    a.type("".join(line + "\n" for line in sent))
    b.expect(f"[Peer]: {sent[-1]}\n".encode(), 600, mark)
    seconds = time.monotonic() - started
    got = [g.decode() for g in re.findall(rb"\[Peer\]: (paste [^\n]*)\n", b.text()[mark:])]
    check(got == sent, f"{len(got)} pasted lines came, not once each in order")
    return lines / seconds


def paced_delays(a, b, lines, every=0.1):
    """Milliseconds from each line typed to shown, at one line every `every` seconds; every line
    must come once and in order."""
    mark = len(b.text())
    typed = []
    start = time.monotonic()
    for i in range(lines):
        time.sleep(max(0.0, start + i * every - time.monotonic()))
        typed.append(time.monotonic())
        a.type(f"paced {i:04d}\n")
    b.expect(f"[Peer]: paced {lines - 1:04d}\n".encode(), 600, mark)
    found = list(re.finditer(rb"\[Peer\]: (paced [^\n]*)\n", b.text()[mark:]))
    check([m.group(1).decode() for m in found] == [f"paced {i:04d}" for i in range(lines)],
          f"{len(found)} paced lines came, not once each in order")
    return sorted((b.shown_at(mark + m.end()) - t) * 1000 for m, t in zip(found, typed))


def delivery_figures(natchat, runs=3, paced=100):
    """Across 20 % loss each way at router A, in `runs` connections: the delay of lines typed at
    chat pace from the moment the connection stands, as a user types them (p50 and max of all,
    p99 of the worst run, in ms), then the rate of a pasted block; the same block in as many
    connections without loss, once both show the security code."""
    delays, p99s, rates = [], [], {"20": [], "0": []}
    for loss in ("20", "0"):
        with Lab("ncl-bench-loss", "--loss", loss) as lab:
            for _ in range(runs):
                with running(*connect(lab, natchat)) as (a, b):
                    wait_connected(a, b, timeout=40)
                    if loss != "0":
                        run = paced_delays(a, b, paced)
                        delays += run
                        p99s.append(run[max(0, math.ceil(0.99 * len(run)) - 1)])
                    for p in (a, b):
                        p.expect(CODE, 10)
                    rates[loss].append(pasted_rate(a, b))
    return statistics.median(delays), max(p99s), max(delays), rates["20"], rates["0"]


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


def footprint(pid, seconds, switches_of=r"_ctxt_switches"):
    """Peak resident set (KiB), CPU share and wake-ups a second (context switches of all the
    process's threads; `switches_of` picks the kinds) over `seconds` of idling."""
    def cpu():
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS

    def switches():
        total = 0
        for task in os.listdir(f"/proc/{pid}/task"):
            status = open(f"/proc/{pid}/task/{task}/status").read()
            total += sum(int(n) for n in re.findall(switches_of + r":\s+(\d+)", status))
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


def relay_lines_run(lab, natchat):
    """A with --turn, the peer lines exchanged: seconds from the second entry to both connected,
    B over A's relayed address and A through its relay."""
    turn = [natchat, "--turn", "natchat:lab-secret@198.51.100.1"]
    with running(*connect_lines(lab, natchat, a_natchat=turn)) as (a, b):
        entered = time.monotonic()
        wait_connected(a, b, timeout=30)
        seconds = time.monotonic() - entered
        a.expect(b"\nConnected through the relay at ", 1)
        b.expect(b"\nConnected over the peer's relay to ", 1)
        same_code(a, b)
        chat_both_ways(a, b)
        return seconds


def relay_figures(natchat, runs):
    """Through coturn between two symmetric NATs, A with --turn and B given A's relayed address:
    seconds from A's entry to both connected (median of `runs`), and lines a second of a paste,
    beside the same paste on the direct path between two cone NATs; and the same NATs, IPv4 only,
    with the peer lines exchanged instead, from the second entry (median of `runs`)."""
    times, rates = [], []
    with Lab("ncl-bench-turn-lines", "--nat-a", "symmetric", "--nat-b", "symmetric", "--ipv4-only") as lab:
        lines = statistics.median(relay_lines_run(lab, natchat) for _ in range(runs))
    with Lab("ncl-bench-turn", "--nat-a", "symmetric", "--nat-b", "symmetric") as lab:
        for i in range(runs):
            a = Peer(lab, "a1", natchat, "--turn", "natchat:lab-secret@198.51.100.1")
            ip, port = (g.decode() for g in a.expect(re.compile(rb"\nRelayed address: ([0-9.]+):([0-9]+)\n")).groups())
            with running(a, Peer(lab, "b1", natchat, ip, port)) as (a, b):
                a.expect(b"Enter peer IP address: ")
                entered = time.monotonic()
                a.type("{}\n{}\n".format(*b.external()))
                wait_connected(a, b, timeout=30)
                times.append(time.monotonic() - entered)
                if i == 0:
                    b.expect(CODE, 10)
                    rates.append(pasted_rate(a, b))
    with Lab("ncl-bench-direct") as lab:
        with running(*connect(lab, natchat)) as (a, b):
            wait_connected(a, b)
            b.expect(CODE, 10)
            rates.append(pasted_rate(a, b))
    return statistics.median(times), rates[0], rates[1], lines


# What each lab is, its options, the path the peer lines must take, and what to compare with.
PATH_LABS = (("cone x cone, IPv4 and IPv6", [], b"IPv6", "addresses typed above"),
             ("cone x cone, IPv4 only", ["--ipv4-only"], b"IPv4", ""),
             ("cone x cone, IPv6 black-holed at router A", ["--ipv6-blackhole-a"], b"IPv4",
              "goal: at most 0.5 s above IPv4 only"),
             ("symmetric x symmetric, IPv4 and IPv6", ["--nat-a", "symmetric", "--nat-b", "symmetric"],
              b"IPv6", "goal: within 3 s; addresses typed: never"),
             ("symmetric x symmetric, IPv4 only, both routers mapping by PCP",
              ["--nat-a", "symmetric", "--nat-b", "symmetric", "--ipv4-only", "--portmap-a", "all",
               "--portmap-b", "all"], b"IPv4", "goal: within 3 s; before: never"),
             ("symmetric x symmetric, IPv4 only, both routers mapping by UPnP alone",
              ["--nat-a", "symmetric", "--nat-b", "symmetric", "--ipv4-only", "--portmap-a", "upnp",
               "--portmap-b", "upnp"], b"IPv4", "goal: within 8 s; before: never"))


def paths_figures(natchat, runs):
    """For each lab of PATH_LABS: the median seconds from both peer lines entered to both
    connected over the path named; and, in the first, the same with addresses typed."""
    rows, typed = [], None
    for name, options, over, against in PATH_LABS:
        with Lab("ncl-bench-paths", *options) as lab:
            seconds = statistics.median(lines_chat(lab, natchat, over, 30) for _ in range(runs))
            if typed is None:
                typed = statistics.median(connect_and_quit(lab, natchat)[0] for _ in range(runs))
        rows.append((name, seconds, over.decode(), against))
    return rows, typed


def natchat_at(tmux_peer):
    """The pid of natchat in a tmux pane: the pane's shell's child."""
    shell = tmux_peer.tmux("display", "-p", "-t", tmux_peer.target, "#{pane_pid}").stdout.decode().strip()
    return int(open(f"/proc/{shell}/task/{shell}/children").read().split()[0])


def terminal_paste(lab, natchat, block, last, idle, typed_at_terminal):
    """A at a tmux terminal, its input the terminal (the input line kept whole) or else a pipe (the
    output as natchat printed it before there was an input line), B on pipes: seconds from B's
    paste of `block` to `last` reaching A's terminal (tmux's copy of the pane's bytes), and, before
    the paste, A's wake-ups a second idling there."""
    from terminal import TerminalPeer
    raw, fifo = (f"/tmp/{lab.env['LAB_PREFIX']}-terminal.{k}" for k in ("raw", "fifo"))
    if not os.path.exists(fifo):
        os.mkfifo(fifo)
    held = os.open(fifo, os.O_RDWR)  # a writer that never writes: the input stays open
    with running(Peer(lab, "b1", natchat)) as (b,):
        a = TerminalPeer(lab, "a1", natchat, "--no-color", *b.external(),
                         *([] if typed_at_terminal else ["<", fifo]), width=100, height=30)
        try:
            b.expect(b"Enter peer IP address: ")
            b.type("{}\n{}\n".format(*a.expect(r"External address: ([0-9.]+):([0-9]+)\n").groups()))
            b.expect(ESTABLISHED, 30)
            a.expect(r"Connection successfully established!", 10)
            b.type("hello\n")
            a.expect(r"\[Peer\]: hello", 10)
            time.sleep(1)  # its acknowledgement and the redraw over: idle from here
            # A thread preempted on a loaded machine switches without waking: only the others count.
            wake = footprint(natchat_at(a), idle, r"\nvoluntary_ctxt_switches")[2]
            a.tmux("pipe-pane", "-o", "-t", a.target, f"cat > {raw}")
            time.sleep(0.5)
            started = time.monotonic()
            b.type(block)
            while last not in open(raw, "rb").read():
                check(time.monotonic() - started < 60, "the paste did not reach the terminal")
                time.sleep(0.005)
            return time.monotonic() - started, wake
        finally:
            a.close()
            os.close(held)
            for f in (raw, fifo):
                if os.path.exists(f):
                    os.remove(f)


def terminal_figures(natchat, runs, idle):
    """2000 pasted 70-byte lines from B to A, at A's terminal with and without the input line,
    and on a pipe (seconds, median of `runs` each); A's wake-ups a second idle at the terminal
    (the most of the runs)."""
    lines = [f"paste {i:05d} " + "x" * 58 for i in range(2000)]
    block = "".join(line + "\n" for line in lines)
    last = f"[Peer]: {lines[-1]}".encode()
    edited, plain, piped, wakes = [], [], [], []
    with Lab("ncl-bench-term") as lab:
        for _ in range(runs):
            with running(*connect(lab, natchat)) as (a, b):
                wait_connected(a, b)
                mark = len(a.text())
                started = time.monotonic()
                b.type(block)
                end = a.expect(last + b"\n", 60, mark)
                piped.append(a.shown_at(end) - started)
            seconds, wake = terminal_paste(lab, natchat, block, last, idle, True)
            edited.append(seconds)
            wakes.append(wake)
            plain.append(terminal_paste(lab, natchat, block, last, 0.1, False)[0])
    print("each run, ms: with the input line", [round(r * 1000) for r in edited], "before it",
          [round(r * 1000) for r in plain], "pipe", [round(r * 1000) for r in piped], file=sys.stderr)
    return [statistics.median(r) for r in (edited, plain, piped)] + [max(wakes)]


def print_terminal(runs, idle, edited, plain, piped, wake):
    print("| 2000 pasted 70-byte lines from the peer to the last one shown at a terminal (tmux), with the "
          f"input line / as printed before it (input not a terminal) / on a pipe (median of {runs}) | "
          f"{edited * 1000:.0f} / {plain * 1000:.0f} / {piped * 1000:.0f} ms | goal: with the input line "
          "no slower than before it |")
    print(f"| wake-ups a second at a terminal with the input line, idle connected for {idle:.0f} s (all "
          f"threads' voluntary switches, the most of {runs}) | {wake:.2f} | goal: at most 0.4 |")


def print_paths(rows, typed):
    print(f"| addresses typed at the prompts to both connected, cone x cone, IPv4 and IPv6 (median) | "
          f"{typed:.2f} s | |")
    for name, seconds, over, against in rows:
        print(f"| peer lines entered to both connected, {name} (median) | {seconds:.2f} s over "
              f"{over} | {against} |")


def print_relay(connect_s, relayed, direct, lines_s):
    print(f"| symmetric x symmetric NAT through a TURN relay: address entered to both connected "
          f"(median) | {connect_s:.1f} s | goal: within 15 s |")
    print(f"| symmetric x symmetric NAT, IPv4 only, a TURN relay on one side: peer lines entered to both "
          f"connected (median) | {lines_s:.2f} s | goal: within 3 s |")
    print(f"| lines a second, 2000 pasted 70-byte lines, through the relay / direct | "
          f"{relayed:.0f} / {direct:.0f} | |")


def print_delivery(p50, p99, slowest, lossy, clean):
    print("| delay from typed to shown across 20 % loss each way, a line every 100 ms from the moment "
          f"the connection stands ({len(lossy)} runs of 100 lines; p50 / worst run's p99 / max) | "
          f"{p50:.0f} / {p99:.0f} / {slowest:.0f} ms | goal: p99 at most 50 ms |")
    median = statistics.median(clean)
    print("| lines a second, 2000 pasted 70-byte lines, across 20 % loss each way / without loss "
          f"(each run) | {', '.join(f'{r:.0f}' for r in lossy)} / {', '.join(f'{r:.0f}' for r in clean)} | "
          f"goal: every lossy run at least half the lossless median: {min(lossy) / median:.2f} x |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--natchat", default="build-release/natchat")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle", type=float, default=10.0)
    parser.add_argument("--delivery-only", action="store_true",
                        help="only the rows of delivery across loss")
    parser.add_argument("--relay-only", action="store_true", help="only the rows of the TURN relay")
    parser.add_argument("--paths-only", action="store_true", help="only the rows of the peer lines")
    parser.add_argument("--terminal-only", action="store_true", help="only the rows of the terminal")
    args = parser.parse_args()
    natchat = os.path.abspath(args.natchat)
    if args.terminal_only:
        print_terminal(args.runs, args.idle, *terminal_figures(natchat, args.runs, args.idle))
        return
    if args.paths_only:
        print_paths(*paths_figures(natchat, args.runs))
        return
    if args.relay_only:
        print_relay(*relay_figures(natchat, args.runs))
        return
    if args.delivery_only:
        print_delivery(*delivery_figures(natchat))
        return
    with Lab("ncl-bench") as lab:
        runs = [connect_and_quit(lab, natchat) for _ in range(args.runs)]
        ours, theirs = stun_times(lab, natchat, args.runs)
        nat_rss, nat_cpu, nat_wake = natchat_idle(lab, natchat, args.idle)
        nc_rss, nc_cpu, nc_wake = netcat_idle(lab, args.idle)
        paste = largest_paste(lab, natchat)
    delivery = delivery_figures(natchat)
    with Lab("ncl-bench-sym", "--nat-a", "symmetric") as lab:
        sym = [symmetric_cone_run(lab, natchat) for _ in range(10)]
    relay = relay_figures(natchat, args.runs)
    paths = paths_figures(natchat, args.runs)
    terminal = terminal_figures(natchat, args.runs, args.idle)
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
    print_delivery(*delivery)
    print(f"| symmetric x cone NAT: runs connected within 45 s, of 10 | {len(sym_ok)} | goal: 9 |")
    if sym_ok:
        print(f"| symmetric x cone NAT: addresses entered to both connected (median, slowest) | "
              f"{statistics.median(sym_ok):.1f} s, {sym_ok[-1]:.1f} s | cone x cone above |")
    print_relay(*relay)
    print_paths(*paths)
    print_terminal(args.runs, args.idle, *terminal)


if __name__ == "__main__":
    main()
