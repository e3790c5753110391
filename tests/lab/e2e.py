#!/usr/bin/env python3
"""End-to-end scenarios of the real natchat binary across the NAT lab, as root."""
import os
import re
import signal
import subprocess
import sys
import time

LAB_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lab")
sys.path.insert(0, LAB_DIR)
from labkit import (CODE, ESTABLISHED, LEFT, Failure, Lab, Peer, chat_both_ways, check, connect,  # noqa: E402
                    connect_lines, interrupt_in_flight, lines_chat, paste_to_stalled, quit_both,
                    running, same_code, scenario_main, symmetric_cone_run, wait_connected)


def cone(natchat):
    """Cone NATs both sides. A punches at B before B is there, while a2, a neighbour, sends A
    everything a peer might: nothing is answered, counted or shown, before or after B comes. Then
    the same security code on both screens, and none of the typed text on the wire. Ctrl+C on B
    with a line in flight to A (stopped for half a second) ends it in order once A answers."""
    with Lab("ncl-cone") as lab:
        capture = f"/tmp/{lab.env['LAB_PREFIX']}.pcap"
        tcpdump = subprocess.Popen(lab.command("rb", "tcpdump", "-i", "wan", "-U", "-w", capture,
                                               "udp"), stderr=subprocess.DEVNULL)
        with running(Peer(lab, "a1", natchat), Peer(lab, "b1", natchat)) as (a, b):
            a.expect(b"Enter peer IP address: ")
            a.type("{}\n{}\n".format(*b.external()))
            neighbour = subprocess.Popen(lab.command("a2", f"{LAB_DIR}/stranger.py", "192.0.2.10",
                                                     a.lan()[1], "8"), stdout=subprocess.PIPE)
            time.sleep(4)
            for heard in (b"First packet", b"Connection in progress", b"[Peer]", b"established"):
                check(heard not in a.text(), f"a stranger made a show {heard!r}")
            b.expect(b"Enter peer IP address: ")
            b.type("{}\n{}\n".format(*a.external()))
            wait_connected(a, b)
            for p in (a, b):
                p.expect(b"\nNAT: cone (the same public port for every destination); IPv6: no translation\n")
            a.expect(b"\nFirst packet received! Confirming connection stability...\n")
            same_code(a, b)
            chat_both_ways(a, b)
            answers = neighbour.communicate(timeout=30)[0]
            check(answers == b"", f"the stranger was answered: {answers[:200]!r}")
            check(b"stranger" not in a.text() and b"\x1b" not in a.text(), "a stranger was shown")
            tcpdump.terminate()
            wire = open(capture, "rb").read()
            check(len(wire) > 2000 and b"hello from" not in wire, "typed text crossed the wire")
            interrupt_in_flight(b, a)
            check(a.quit()[0] == 0, "a did not quit cleanly")
            ignored = re.search(rb"\nIgnored ([0-9]+) datagrams from other addresses\n", a.text())
            check(ignored is not None, "a did not count the stranger's datagrams")
            print(f"stranger datagrams dropped by a: {int(ignored.group(1))}")


def same_lan(natchat):
    """Two hosts on one LAN: 100000 pasted lines arrive whole and in order, and a 3000-byte line
    of two-byte characters as pieces cut between characters."""
    with Lab("ncl-lan") as lab:
        with running(Peer(lab, "a1", natchat), Peer(lab, "a2", natchat)) as (a, b):
            for p, other in ((a, b), (b, a)):
                p.expect(b"Enter peer IP address: ")
                p.type("{}\n{}\n".format(*other.lan()))
            wait_connected(a, b)
            lines = [f"pasted line {i:06d} " + "x" * 58 for i in range(100000)]
            mark = len(b.text())
            a.type("".join(line + "\n" for line in lines) + "\u00e9" * 1500 + "\nend\n")
            b.expect(b"\n[Peer]: end\n> ", 150, mark)
            got = re.findall(rb"\[Peer\]: ([^\n]*)\n", b.text()[mark:])
            check([g.decode() for g in got[:-3]] == lines, f"{len(got)} lines, not in order")
            check(got[-3:] == ["\u00e9".encode() * 1023, "\u00e9".encode() * 477, b"end"],
                  f"the long line came as {[len(g) for g in got[-3:]]} bytes")
            quit_both(a, b)


def symmetric_cone(natchat):
    """A behind a symmetric NAT, B behind a cone: each knows its NAT, and they connect within
    45 s in at least 9 of 10 runs, B following A to the port that A's answer came from."""
    with Lab("ncl-symc", "--nat-a", "symmetric") as lab:
        times = [symmetric_cone_run(lab, natchat) for _ in range(10)]
        print("connect times (s):", " ".join("-" if s is None else f"{s:.1f}" for s in times))
        check(sum(s is not None for s in times) >= 9, "fewer than 9 of 10 runs connected")


def symmetric_both(natchat):
    """Two symmetric NATs: no path, and after 60 s each side says why. A computer with a public
    address (the internet host itself) learns that it has no NAT. A names its second STUN server
    without the port, which is 3478 then, and a third by its IPv6 address."""
    with Lab("ncl-sym", "--nat-a", "symmetric", "--nat-b", "symmetric") as lab:
        servers = ["--stun", "198.51.100.1:19302", "--stun", "198.51.100.3", "--stun", "[2001:db8:100::1]:19302"]
        public = Peer(lab, "inet", natchat, *servers)
        with running(public, *connect(lab, natchat, a_natchat=[natchat, *servers])) as (public, a, b):
            public.expect(b"\nNAT: none (this computer's address is public); IPv6: no translation\n")
            for p in (a, b):
                p.expect(b"\nNAT: symmetric (a new public port for every destination); IPv6: no translation\n")
            for p in (a, b):
                p.expect(b"\nConnection timeout after 60 seconds\nNothing came from the peer. Our "
                         b"NAT is symmetric, and the peer's most likely is too", 75)
                check(p.wait() == 1 and ESTABLISHED not in p.text(), f"{p.name} connected")
                check(p.text().endswith(b"\n\nConnection failed or interrupted\n"), "no failure line")


def loss_and_expiry(natchat):
    """20 % loss at router A once both know their addresses (discovery under loss is another matter):
    300 lines arrive all, once each, in order. Then, with mappings that expire after 6 s idle, router A
    forwards nothing for 40 s while both type: both are told, and after it every line arrives once, in order."""
    with Lab("ncl-loss", "--udp-timeout", "6") as lab:
        with running(*connect(lab, natchat, discovered=lambda: lab.lose("ra", 20))) as (a, b):
            wait_connected(a, b, timeout=40)
            same_code(a, b)
            mark = len(b.text())
            lines = [f"line {i:03d} across the lossy path" for i in range(300)]
            a.type("".join(line + "\n" for line in lines))
            b.expect(f"\n[Peer]: {lines[-1]}\n> ".encode(), 60, mark)
            got = re.findall(rb"\[Peer\]: ([^\n]*)\n", b.text()[mark:])
            check([g.decode() for g in got] == lines, f"{len(got)} lines came, not once each in order")
            marks = [len(p.text()) for p in (b, a)]
            cut = ["nft", "add", "chain", "inet", "firewall", "cut", "{ type filter hook forward priority -10; policy drop; }"]
            lab.run("ra", *cut, check=True)
            for i in range(0, 40, 4):
                for p in (a, b):
                    p.type(f"{p.name} line {i:02d}\n")
                time.sleep(4)
            for p in (a, b):
                p.expect(b"\n[Nothing heard from the peer for 15 seconds]\n> ", 0)
                p.expect(b"\n[The peer has not confirmed ", 0)
            lab.run("ra", "nft", "delete", "chain", "inet", "firewall", "cut", check=True)
            for (p, other), mark in zip(((a, b), (b, a)), marks):
                sent = [f"{p.name} line {i:02d}".encode() for i in range(0, 40, 4)]
                other.expect(b"[Peer]: " + sent[-1] + b"\n", 30, mark)
                check(re.findall(rb"\[Peer\]: ([^\n]*)\n", other.text()[mark:]) == sent, f"{other.name}: not all, in order")
            # The bye may be lost, and b may wait 4 s for an acknowledgement that a, gone, never sends.
            quit_both(a, b, hear_left=False, limit=5.0)


def stalled_console(natchat):
    """A's output is not read for 35 s while B pastes 3000 lines, across NAT mappings that expire
    after 6 s idle: the chat goes on, and A prints every line in order once it is read again."""
    with Lab("ncl-stall", "--udp-timeout", "6") as lab:
        with running(*connect(lab, natchat)) as (a, b):
            wait_connected(a, b)
            lines = [f"pasted line {i:04d} " + "z" * 80 for i in range(3000)]
            got = paste_to_stalled(b, a, lines, 35)
            check(got == lines, f"{len(got)} lines came, not in order")
            chat_both_ways(a, b, " after the stall")
            quit_both(a, b)


def plain_peer(natchat):
    """natchat and a peer that speaks only the plain protocol chat both ways; natchat says that
    the chat is not encrypted, and the peer shows nothing but the line: typed, with Ctrl+C at once,
    before natchat knew the peer for plain, it goes out once that is decided. With --secure-only
    natchat says why it ends instead, exits with 1, and the plain peer sees nothing."""
    with Lab("ncl-plain") as lab:
        a = Peer(lab, "a2", natchat, "--secure-only", "198.51.100.12", "40002")
        b = Peer(lab, "b1", [f"{LAB_DIR}/plain_peer.py", *a.external(), "40002"])
        with running(a, b):
            a.type("not for the plain peer\n")
            a.expect(b"\nThe peer's program does not offer a secure session, and --secure-only "
                     b"allows no plain text: the chat ends.\n", 40)
            check(a.wait() == 1 and b.text() == b"", f"a exited with {a.proc.returncode}, b saw {b.text()!r}")
        a = Peer(lab, "a1", natchat)
        a_ip, a_port = a.external()
        b = Peer(lab, "b1", [f"{LAB_DIR}/plain_peer.py", a_ip, a_port, "40001"])
        with running(a, b):
            a.expect(b"Enter peer IP address: ")
            a.type("198.51.100.12\n40001\n")
            mark = a.expect(ESTABLISHED + b"> ", 30)  # a plain peer: no notice comes first
            a.type("hello from a1\n")
            a.expect(b"> ", 5, mark)  # read and queued
            a.proc.send_signal(signal.SIGINT)
            b.type("hello from b1\n")
            check(a.wait() == 128 + signal.SIGINT, f"a exited with {a.proc.returncode}")
            check(a.text()[mark:].endswith(b"> \n[Peer]: hello from b1\n> \nThis chat is NOT encrypted: the "
                                           b"peer's program does not offer a secure session.\n> \n"
                                           b"Shutting down...\n"), f"a ended with {a.text()[mark:]!r}")
            b.expect(b"\n[Peer]: hello from a1\n> ")
            check(b.text() == b"\n[Peer]: hello from a1\n> ", f"the plain peer saw {b.text()!r}")


def neighbour(natchat):
    """A on a public address; B behind router A, whose neighbour a2 shares B's public address and
    IPv6 prefix and floods A from six ports with forged handshakes, records, lines, byes and punches
    throughout: with the addresses typed, then with peer lines over IPv6 (flooded too). A and B
    agree one session, chat both ways and quit cleanly; nothing of a2's is shown or answered."""
    with Lab("ncl-hostile") as lab:
        servers = ["--stun", "198.51.100.1:19302", "--stun", "198.51.100.3", "--stun", "[2001:db8:100::1]:19302"]
        for lines in (False, True):
            a, b = Peer(lab, "inet", natchat, *servers), Peer(lab, "a1", natchat)
            with running(a, b):
                a_ip, a_port = a.external()
                floods = [subprocess.Popen(lab.command("a2", f"{LAB_DIR}/stranger.py", *to, "25", "6"), stdout=subprocess.PIPE)
                          for to in [(a_ip, a_port)] + ([a.external6()] if lines else [])]
                time.sleep(2)
                b.type(a.peer_line() + "\n" if lines else f"{a_ip}\n{a_port}\n")
                a.type(b.peer_line() + "\n" if lines else "{}\n{}\n".format(*b.external()))
                wait_connected(a, b)
                check(not lines or b"\nConnected over IPv6 to [2001:db8:a::10]:" in a.text(), "not over IPv6")
                same_code(a, b)
                chat_both_ways(a, b)
                check(b"stranger" not in a.text() and b"answers from port" not in a.text(), "a2 was heard")
                answers = b"".join(f.communicate(timeout=40)[0] for f in floods)
                check(answers == b"", f"a2 was answered: {answers[:200]!r}")
                quit_both(a, b)


def thief_beside(lab, a_ip, a_port, b_port, seconds):
    """The thief in a2 beside B, its mappings toward A open. Should the symmetric router give one of
    them B's typed port (1 in 32 with 2000 mappings), A's punches to it reach the thief: another
    attack than winning the sweep, so a new thief is drawn (the old one's mappings stay behind)."""
    typed = re.compile(rb"src=192\.0\.2\.20 \S+ sport=([0-9]+) .* src=198\.51\.100\.12 dst=198\.51\.100\.11 "
                       rb"sport=%s dport=%s " % (a_port.encode(), b_port.encode()))
    held = lambda: set(typed.findall(lab.run("ra", "cat", "/proc/net/nf_conntrack", capture_output=True, check=True).stdout))
    for _ in range(3):
        before = held()
        t = Peer(lab, "a2", [f"{LAB_DIR}/thief.py", a_ip, a_port, str(seconds)])
        t.expect(b"mappings open: 2000\n", 20)
        if not held() - before:
            return t
        t.kill()
        print(f"the thief held B's typed port {b_port}: drawn again")
    raise Failure(f"the thief held B's typed port {b_port} three times")


def thief(natchat):
    """A in b1 behind the cone router sweeps the address of B in a1 behind the symmetric one,
    while a2 beside B, a thief, opens 2000 mappings toward A (B opens 257), answers A's sweep as a
    plain peer would and sends a line of its own. With the addresses typed, A types a line a second
    for 40 s: A never shows the thief's line and never sends it one in plain text. With the peer
    lines, A and B agree one session with one security code within 30 s while the thief tries,
    chat both ways, and nothing of the thief's is shown."""
    with Lab("ncl-thief", "--nat-a", "symmetric", "--ipv4-only") as lab:
        for lines in (False, True):
            a, b = Peer(lab, "b1", natchat), Peer(lab, "a1", natchat)
            with running(a, b):
                a_ip, a_port = a.external()
                thief = thief_beside(lab, a_ip, a_port, b.external()[1], 45)
                with running(thief):
                    for p in (a, b):
                        p.expect(b"Enter peer IP address: ")
                    a.type(b.peer_line() + "\n" if lines else "{}\n{}\n".format(*b.external()))
                    b.type(a.peer_line() + "\n" if lines else f"{a_ip}\n{a_port}\n")
                    entered = time.monotonic()
                    if lines:
                        wait_connected(a, b, timeout=30)
                        seconds = time.monotonic() - entered
                        print(f"peer lines: connected after {seconds:.1f} s")
                        check(seconds < 30, f"connected after {seconds:.1f} s")
                        same_code(a, b)
                        chat_both_ways(a, b)
                    for i in range(0 if lines else 40):
                        a.type(f"secret line {i}\n")
                        time.sleep(1)
                        check(b"trust me" not in a.text() and b"[Peer]" not in a.text(),
                              f"a showed the thief's line after {i + 1} s:\n" + a.text().decode(errors="replace")[-1000:])
                        check(b"secret line" not in thief.text(), f"the thief got a typed line after {i + 1} s")
                    shown = re.findall(rb"\[Peer\]: ([^\n]*)\n", a.text())
                    check(shown == ([b"hello from a1"] if lines else []), f"a showed {shown[:5]}")
                    check(b"secret line" not in thief.text() and b"hello from" not in thief.text(),
                          "the thief got a typed line")
                    print(f"lines {lines}: a connected: {ESTABLISHED in a.text()}, a took "
                          f"{a.text().count(b'The peer answers from port')} ports nobody typed")
                    if lines:
                        quit_both(a, b)


def offline(natchat):
    """Without the internet: a computer with no network at all ends at once with exit code 1 and
    the way on; two hosts on one LAN whose STUN servers are cut off chat with --no-stun from their
    peer lines, with one secure session."""
    with Lab("ncl-offline") as lab:
        lab.run("ra", "nft", "insert rule inet firewall forward udp dport { 3478, 19302 } drop", check=True)
        alone = subprocess.run(["unshare", "--net", natchat, "1.2.3.4", "5000"], capture_output=True,
                               timeout=20, stdin=subprocess.DEVNULL)
        check(alone.returncode == 1 and b"start natchat with --no-stun" in alone.stdout, f"alone: {alone.stdout!r}")
        with running(*connect_lines(lab, [natchat, "--no-stun"], "a1", "a2")) as (a, b):
            for p in (a, b):
                p.expect(b"\nNAT: unknown (no STUN server asked)\n")
            wait_connected(a, b)
            same_code(a, b)
            chat_both_ways(a, b)
            quit_both(a, b)


def comes_back(natchat):
    """With --port, B's peer line stays the same across a restart. B quits: A's next line is not
    sent, and says so. B starts again on its port and is given A's line: A takes it back, a new
    session with a new code on both screens, and they chat both ways."""
    with Lab("ncl-back") as lab:
        a, b = Peer(lab, "b1", natchat, "--port", "41000"), Peer(lab, "a1", natchat, "--port", "42000")
        with running(a, b):
            a_line, b_line = a.peer_line(), b.peer_line()
            check(":42000 " in b_line, f"b's line: {b_line}")
            a.type(b_line + "\n")
            b.type(a_line + "\n")
            wait_connected(a, b)
            same_code(a, b)
            codes = [a.expect(CODE).group(1)]
            mark = len(a.text())
            check(b.quit()[0] == 0, "b did not quit cleanly")
            a.expect(LEFT, 2, mark)
            a.type("into the void\n")
            a.expect(b"[Not sent: the peer has left the chat]\n", 2, mark)
            b = Peer(lab, "a1", natchat, "--port", "42000")
            with running(b):
                again = b.peer_line()
                check(again.split(" tag=")[0] == b_line.split(" tag=")[0], f"b's line moved: {again}")
                b.type(a_line + "\n")
                a.expect(b"\n[The peer is back]\n> ", 20, mark)
                a.expect(b"a new secure session is being agreed", 5, mark)
                codes += [p.expect(CODE, 20, mark if p is a else 0).group(1) for p in (a, b)]
                check(codes[1] == codes[2] != codes[0], f"codes: {codes}")
                chat_both_ways(a, b, " again")
                quit_both(a, b)


def peer_lines(natchat):
    """Peer lines exchanged: symmetric NATs over IPv6 within 3 s, IPv6 black-holed at router A over
    IPv4, a1 and a2 behind router A (no hairpin) over their LAN, cone NATs over IPv6 as fast as
    today; then an IPv6 address typed at the prompts."""
    for options, hosts, over in ((["--nat-a", "symmetric", "--nat-b", "symmetric"], ("a1", "b1"), b"IPv6"),
                                 (["--ipv6-blackhole-a"], ("a1", "b1"), b"IPv4"),
                                 ([], ("a1", "a2"), b"the LAN"), ([], ("a1", "b1"), b"IPv6")):
        with Lab("ncl-lines", *options) as lab:
            print(f"{' '.join(options) or 'cone'}, {hosts}: {lines_chat(lab, natchat, over, 3.0, *hosts):.2f} s")
    with Lab("ncl-lines") as lab:
        a = Peer(lab, "a1", natchat)
        with running(a, Peer(lab, "b1", natchat, *a.external6())) as (a, b):
            a.type("{}\n{}\n".format(*b.external6()))
            wait_connected(a, b)
            chat_both_ways(a, b)


def terminal(natchat):
    """A at a real terminal (tmux), B on pipes: a typo at A's prompt is explained and asked again;
    A's half-typed input stays on the last line while three of B's lines arrive, then goes whole;
    Left and End edit, Up recalls; a 6000-byte line and a bracketed paste of 100 lines ("quit"
    among them) arrive whole and in order; Ctrl+D ends A with exit code 0 and B is told; no escape
    byte reaches B or stays on A's screen."""
    from terminal import TerminalPeer
    with Lab("ncl-term") as lab:
        a = TerminalPeer(lab, "a1", natchat, "--no-color")
        try:
            a_ip, a_port = a.expect(r"External address: ([0-9.]+):([0-9]+)\n").groups()
            a.expect(r"Enter peer IP address: $")
            a.type("10.0.0.300\r")
            a.expect(r"Enter peer IP address: 10\.0\.0\.300\nInvalid IP address\nEnter peer IP address:\s*$")
            with running(Peer(lab, "b1", natchat, a_ip, a_port)) as (b,):
                a.type("{}\n{}\n".format(*b.external()).replace("\n", "\r"))
                b.expect(ESTABLISHED, 30)
                a.expect(r"\n>\s*$", 10, history=False)
                a.type("half-typed line in A")
                for i in (1, 2, 3):
                    b.type(f"message {i} from B\n")
                a.expect(r"\[Peer\]: message 3 from B\n> half-typed line in A\s*$", 5, history=False)
                check(a.last_line() == "> half-typed line in A", f"a's last line: {a.last_line()!r}")
                a.keys("Enter")
                b.expect(b"\n[Peer]: half-typed line in A\n> ")
                a.type("abcd")
                a.keys("Left", "Left")
                a.type("X")
                a.keys("End")
                a.type("!")
                a.keys("Enter")
                b.expect(b"\n[Peer]: abXcd!\n> ")
                mark = len(b.text())
                a.keys("Up", "Enter")
                b.expect(b"\n[Peer]: abXcd!\n> ", 5, mark)
                a.type("y" * 5997 + "END")
                a.keys("Enter")
                b.expect(b"END\n> ", 10, mark)
                check(b.text()[mark:].count(b"y") == 5997, "the 6000-byte line did not arrive whole")
                lines = [f"pasted line {i}" if i != 50 else "quit" for i in range(1, 101)]
                a.paste("\n".join(lines) + "\n")
                b.expect(b"[Peer]: pasted line 100\n> ", 10, mark)
                got = re.findall(rb"\[Peer\]: (pasted line [0-9]+|quit)\n", b.text()[mark:])
                check([g.decode() for g in got] == lines, "the pasted lines did not arrive in order")
                shown = a.screen(history=True)
                for residue in ("\x1b", "[A", "[D", "[200~", "[201~"):
                    check(residue not in shown, f"{residue!r} stayed on a's screen")
                mark = len(b.text())
                a.keys("C-d")
                a.expect(r"EXIT=0", 10)
                b.expect(LEFT, 5, mark)
                check(b"\x1b" not in b.text() and b"?[" not in b.text(), "an escape sequence reached b")
                check(b.quit()[0] == 0, "b did not quit cleanly")
        finally:
            a.close()


RELAY = ["--turn", "natchat:lab-secret@198.51.100.1"]
RELAYED = re.compile(rb"\nRelayed address: ([0-9.]+):([0-9]+)\n")


def relay(natchat):
    """Symmetric NATs both sides, A with --turn, B given A's relayed address: within 15 s they
    chat both ways through the relay with the same code, across a refresh; none of the typed text
    crosses the relay's wire, and A's quit deletes the allocation."""
    with Lab("ncl-turn", "--nat-a", "symmetric", "--nat-b", "symmetric") as lab:
        capture, log = (f"/tmp/{lab.env['LAB_PREFIX']}-relay.{k}" for k in ("pcap", "log"))
        tcpdump = subprocess.Popen(lab.command("inet", "tcpdump", "-i", "br0", "-U", "-w", capture, "udp"),
                                   stderr=subprocess.DEVNULL)
        a = Peer(lab, "a1", natchat, *RELAY)
        relayed = b"%s:%s" % a.expect(RELAYED).groups()
        a.expect(b"\n  Relayed address: " + relayed + b"\n")
        with running(a, Peer(lab, "b1", natchat, *relayed.decode().split(":"))) as (a, b):
            a.type("{}\n{}\n".format(*b.external()))
            wait_connected(a, b, timeout=15)
            a.expect(b"\nConnected through the relay at " + relayed + b"\n")
            same_code(a, b)
            time.sleep(35)
            chat_both_ways(a, b)
            quit_both(a, b)
        tcpdump.terminate()
        wire, server = open(capture, "rb").read(), open(log, "rb").read()
        check(len(wire) > 2000 and b"hello from" not in wire, "typed text crossed the relay")
        check(all(b"refreshed, realm=<natchat.lab>, username=<natchat>, lifetime=%d\n" % t in server
                  for t in (600, 0)), "the allocation was not refreshed, or not deleted")


def relay_direct(natchat):
    """Cone NATs: A with a wrong password says so and goes on, and with B, who has a relay, takes
    the direct path. Then a plain-protocol peer chats with natchat through its relayed address."""
    with Lab("ncl-turnd") as lab:
        wrong = [natchat, "--turn", "natchat:wrong@198.51.100.1"]
        with running(*connect(lab, [natchat, *RELAY], a_natchat=wrong)) as (a, b):
            a.expect(b"\nThe TURN server refused the user name or password: going on without a relay\n")
            b.expect(RELAYED)
            wait_connected(a, b)
            check(b"through the relay" not in b.text(), "b went through the relay")
            quit_both(a, b)
        a = Peer(lab, "a1", natchat, *RELAY)
        b = Peer(lab, "b1", [f"{LAB_DIR}/plain_peer.py", *a.expect(RELAYED).groups(), "40001"])
        with running(a, b):
            a.type("198.51.100.12\n40001\n")
            a.expect(ESTABLISHED, 15)
            chat_both_ways(a, b)


def windows(natchat, natchat_exe):
    """natchat.exe under Wine behind router A, the Linux natchat behind router B: directly, then
    through natchat.exe's relayed address, then from peer lines over IPv6."""
    prefix = "/tmp/natchat-lab-wineprefix"
    # Wine does its socket work in the wineserver, so the server must start inside the lab host's
    # namespace: a prefix of its own, and no server of it left running from before.
    kill_server = ["env", f"WINEPREFIX={prefix}", "wineserver", "-k"]
    subprocess.run(kill_server, check=False, stderr=subprocess.DEVNULL)
    wine = ["env", f"WINEPREFIX={prefix}", "WINEDEBUG=-all", "wine", natchat_exe]
    with Lab("ncl-win") as lab:
        with running(*connect(lab, natchat, a_natchat=wine)) as (a, b):
            wait_connected(a, b)
            same_code(a, b)
            chat_both_ways(a, b)
            for p in (b, a):
                check(p.quit(timeout=20)[0] == 0, f"{p.name} did not quit cleanly")
        a = Peer(lab, "a1", [*wine, *RELAY])
        with running(a, Peer(lab, "b1", natchat, *a.expect(RELAYED, 30).groups())) as (a, b):
            a.type("{}\n{}\n".format(*b.external()))
            a.expect(b"\nConnected through the relay at ", 30)
            chat_both_ways(a, b)
        with running(*connect_lines(lab, natchat, a_natchat=wine)) as (a, b):
            wait_connected(a, b)
            a.expect(b"\nConnected over IPv6 to [2001:db8:b::10]:")
            chat_both_ways(a, b)
        lab.run("a1", *kill_server, check=False, stderr=subprocess.DEVNULL)


MAPPED = re.compile(rb"\nMapped address: ([0-9.]+):([0-9]+) \((PCP|NAT-PMP|UPnP)\)\n")


def router_mappings(lab):
    """The ports that miniupnpd forwards on each router, as its nftables chain holds them."""
    chain = ["nft", "list", "chain", "inet", "natchat_upnp", "prerouting_miniupnpd"]
    return {r: re.findall(r"dport ([0-9]+) dnat", lab.run(r, *chain, capture_output=True, text=True).stdout)
            for r in ("ra", "rb")}


def mapped_both(lab, natchat, protocol, limit):
    """Symmetric NATs both sides, IPv4 only, no relay: each side's router maps its port by
    `protocol`, and the peer lines connect them within `limit` seconds with one security code."""
    a, b = connect_lines(lab, natchat)
    entered = time.monotonic()
    wait_connected(a, b, timeout=limit + 30)
    seconds = time.monotonic() - entered
    check(seconds < limit, f"connected after {seconds:.2f} s")
    for p in (a, b):
        check(p.expect(MAPPED, 1).group(3) == protocol, f"{p.name} mapped by another protocol")
    same_code(a, b)
    chat_both_ways(a, b)
    return a, b, seconds


def portmap(natchat):
    """Both routers serve NAT-PMP, PCP and UPnP IGD: symmetric NATs connect from peer lines within
    3 s, neither router keeps a mapping once both quit or after Ctrl+C (in the chat or at the
    prompt), and a stranger sending to a mapped port is neither answered nor shown. Then UPnP
    alone: within 8 s."""
    symmetric = ["--nat-a", "symmetric", "--nat-b", "symmetric", "--ipv4-only"]
    with Lab("ncl-pmp", *symmetric, "--portmap-a", "all", "--portmap-b", "all") as lab:
        with running(*mapped_both(lab, natchat, b"PCP", 3.0)[:2]) as (a, b):
            ip, port = a.expect(MAPPED).group(1, 2)
            stranger = subprocess.Popen(lab.command("inet", f"{LAB_DIR}/stranger.py", ip.decode(), port.decode(),
                                                    "3"), stdout=subprocess.PIPE)
            check(stranger.communicate(timeout=30)[0] == b"", "the stranger was answered")
            chat_both_ways(a, b, "after the stranger")
            quit_both(a, b)
            check(re.search(rb"\nIgnored [1-9][0-9]* datagrams from other addresses\n", a.text()) is not None,
                  "a did not count the stranger's datagrams")
        check(router_mappings(lab) == {"ra": [], "rb": []}, f"mappings left after quit: {router_mappings(lab)}")
        with running(*mapped_both(lab, natchat, b"PCP", 3.0)[:2]) as (a, b):
            for p in (a, b):
                p.proc.send_signal(signal.SIGINT)
                check(p.wait() == 128 + signal.SIGINT, f"{p.name} exited with {p.proc.returncode}")
        check(router_mappings(lab) == {"ra": [], "rb": []}, f"mappings left after Ctrl+C: {router_mappings(lab)}")
        with running(Peer(lab, "a1", natchat)) as (p,):
            p.expect(b"Enter peer IP address: ")
            check(router_mappings(lab)["ra"] != [], "no mapping while the prompt waits")
            p.proc.send_signal(signal.SIGINT)
            check(p.wait() == 128 + signal.SIGINT, f"at the prompt {p.name} exited with {p.proc.returncode}")
        check(router_mappings(lab)["ra"] == [], f"a mapping left after Ctrl+C at the prompt: {router_mappings(lab)}")
    with Lab("ncl-upnp", *symmetric, "--portmap-a", "upnp", "--portmap-b", "upnp") as lab:
        with running(*mapped_both(lab, natchat, b"UPnP", 8.0)[:2]) as (a, b):
            quit_both(a, b)
        check(router_mappings(lab) == {"ra": [], "rb": []}, f"UPnP mappings left: {router_mappings(lab)}")


def portmap_silent(natchat):
    """A router that serves no mapping: the prompt comes no more than 0.25 s later than with
    --no-portmap, which asks nothing (medians of five runs each)."""
    def prompt_seconds(*options):
        with running(Peer(lab, "a1", natchat, *options)) as (p,):
            started = time.monotonic()
            return p.shown_at(p.expect(b"Enter peer IP address: ")) - started
    with Lab("ncl-pmpq", "--ipv4-only") as lab:
        runs = [(prompt_seconds(), prompt_seconds("--no-portmap")) for _ in range(5)]
        later = sorted(r[0] for r in runs)[2] - sorted(r[1] for r in runs)[2]
        print(f"the prompt with a silent router: {later * 1000:.0f} ms later")
        check(later < 0.25, f"the prompt came {later:.2f} s later")


SCENARIOS = [cone, same_lan, symmetric_cone, symmetric_both, loss_and_expiry, stalled_console,
             plain_peer, neighbour, thief, relay, relay_direct, peer_lines, offline, comes_back,
             terminal, portmap, portmap_silent]


if __name__ == "__main__":
    # The windows scenario runs from scripts/test-windows.sh.
    sys.exit(scenario_main(SCENARIOS + ([windows] if "windows" in sys.argv else []), __doc__))
