"""The NAT lab from Python: brings lab.sh up and down, and drives real natchat processes in its
hosts through their standard input and output. Used by the lab scenarios, the demo and the
benchmarks. Run as root."""
import argparse
import bisect
import contextlib
import os
import re
import signal
import subprocess
import threading
import time

LAB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lab.sh")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Lab:
    def __init__(self, prefix, *options):
        # NATCHAT_LAB_ROOT in place of "ncl": labs of several runs at once stand side by side.
        prefix = re.sub(r"^ncl", os.environ.get("NATCHAT_LAB_ROOT", "ncl"), prefix)
        self.env = dict(os.environ, LAB_PREFIX=prefix)
        self.options = list(options)

    def __enter__(self):
        subprocess.run([LAB, "up", *self.options], env=self.env, check=True)
        return self

    def __exit__(self, *exc):
        subprocess.run([LAB, "down"], env=self.env, check=False)

    def command(self, host, *words):
        return ["ip", "netns", "exec", f"{self.env['LAB_PREFIX']}-{host}", *words]

    def run(self, host, *words, **kw):
        return subprocess.run(self.command(host, *words), env=self.env, **kw)

    def lose(self, router, percent):
        """From now on `router` drops that share of the UDP it forwards, as --loss does from the start."""
        self.run(router, "nft", "add chain inet firewall loss { type filter hook forward priority -5; policy accept; }; "
                 f"add rule inet firewall loss meta l4proto udp numgen random mod 100 < {percent} drop", check=True)


class Peer:
    """One natchat process; its output is collected as bytes by a reader thread."""

    def __init__(self, lab, host, natchat, *args):
        self.name = host
        program = natchat if isinstance(natchat, list) else [natchat]
        # A Windows build under Wine writes "\r\n" line ends on a console stream.
        self.crlf = "wine" in program
        self.proc = subprocess.Popen(lab.command(host, *program, *args), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.out = bytearray()
        self.arrivals = []  # (monotonic time, length of the output then), for each chunk read
        self.lock = threading.Lock()
        self.reading = threading.Event()
        self.reading.set()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            self.reading.wait()
            chunk = self.proc.stdout.read1(65536)
            if not chunk:
                return
            with self.lock:
                self.out += chunk
                self.arrivals.append((time.monotonic(), len(self.out)))

    def text(self):
        with self.lock:
            out = bytes(self.out)
        return out.replace(b"\r\n", b"\n") if self.crlf else out

    def shown_at(self, end):
        """The monotonic time at which the output first reached `end` bytes (None before)."""
        with self.lock:
            at = bisect.bisect_left(self.arrivals, end, key=lambda a: a[1])
            return self.arrivals[at][0] if at < len(self.arrivals) else None

    def expect(self, pattern, timeout=10.0, start=0):
        """Waits until `pattern` (bytes, or a compiled regex) shows; returns the match's end."""
        deadline = time.monotonic() + timeout
        while True:
            out = self.text()
            if isinstance(pattern, bytes):
                at = out.find(pattern, start)
                if at >= 0:
                    return at + len(pattern)
            else:
                m = pattern.search(out, start)
                if m:
                    return m
            if time.monotonic() > deadline or (self.proc.poll() is not None and
                                              self.reader_done()):
                raise Failure(f"{self.name}: no {pattern!r} within {timeout} s; output so far:\n"
                              + out.decode(errors="replace")[-3000:])
            time.sleep(0.02)

    @contextlib.contextmanager
    def stalled(self):
        """Nothing more of the output is read inside the block: once the pipe is full, the
        process's writes to its standard output wait, as on a console that takes nothing."""
        self.reading.clear()
        try:
            yield
        finally:
            self.reading.set()

    def reader_done(self):
        self.reader.join(0.05)
        return not self.reader.is_alive()

    def type(self, text):
        self.proc.stdin.write(text.encode() if isinstance(text, str) else text)
        self.proc.stdin.flush()

    def external(self):
        m = self.expect(re.compile(rb"External address: ([0-9.]+):([0-9]+)\n"))
        return m.group(1).decode(), m.group(2).decode()

    def external6(self):
        m = self.expect(re.compile(rb"External IPv6 address: \[([0-9a-fA-F:.]+)\]:([0-9]+)\n"))
        return m.group(1).decode(), m.group(2).decode()

    def peer_line(self):
        return self.expect(re.compile(rb"Your peer line: ([^\n]*)\n")).group(1).decode()

    def lan(self):
        m = self.expect(re.compile(rb"SAME LOCAL NETWORK:\n  IP:   ([0-9.]+)\n  Port: ([0-9]+)\n"))
        return m.group(1).decode(), m.group(2).decode()

    def wait(self, timeout=5.0):
        """The exit code, once the process has ended and all it wrote has been read."""
        code = self.proc.wait(timeout)
        self.reader.join(timeout)
        return code

    def quit(self, timeout=5.0):
        """Types "quit"; returns the exit code and the seconds it took to end."""
        started = time.monotonic()
        self.type("quit\n")
        self.proc.wait(timeout)
        seconds = time.monotonic() - started
        return self.wait(timeout), seconds

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


# The chat's prompt follows, though the secure session's notice, said by another thread, may
# come between when the agreement ends at that very moment.
ESTABLISHED = b"\nConnection successfully established!\nType messages and press Enter to send.\n" \
              b"Type 'quit' to exit.\n\n"


def connect(lab, natchat, a_host="a1", b_host="b1", a_natchat=None, discovered=lambda: None):
    """A in interactive mode, B with A's public address on its command line; A then types B's,
    once `discovered` has run."""
    a = Peer(lab, a_host, a_natchat or natchat)
    a_ip, a_port = a.external()
    a.expect(b"Enter peer IP address: ")
    b = Peer(lab, b_host, natchat, a_ip, a_port)
    b_ip, b_port = b.external()
    discovered()
    a.type(f"{b_ip}\n{b_port}\n")
    return a, b


def connect_lines(lab, natchat, a_host="a1", b_host="b1", a_natchat=None, b_natchat=None):
    """Both in interactive mode; each types the other's peer line at the address prompt, and
    nothing more: a peer line needs no port."""
    a = Peer(lab, a_host, a_natchat or natchat)
    b = Peer(lab, b_host, b_natchat or natchat)
    for p, other in ((a, b), (b, a)):
        line = other.peer_line()
        p.expect(b"Enter peer IP address: ")
        p.type(line + "\n")
    return a, b


@contextlib.contextmanager
def running(*peers):
    """Kills whatever of the peers still runs when the block ends, also on failure."""
    try:
        yield peers
    finally:
        for p in peers:
            p.kill()


def wait_connected(*peers, timeout=30.0):
    for p in peers:
        p.expect(ESTABLISHED, timeout)


def symmetric_cone_run(lab, natchat, limit=45.0):
    """One connection from a1 behind router A (symmetric) to b1 behind router B (cone): the
    seconds from both addresses entered to both connected, or None past `limit`."""
    with running(*connect(lab, natchat)) as (a, b):
        started = time.monotonic()
        try:
            a.expect(b"\nNAT: symmetric (a new public port for every destination)")
            b.expect(b"\nNAT: cone (the same public port for every destination)")
            wait_connected(a, b, timeout=limit)
            seconds = time.monotonic() - started
            b.expect(re.compile(rb"\nThe peer answers from port [0-9]+: sending there from now on\n"))
        except Failure as e:
            print(f"not connected: {str(e)[:300]}")
            return None
        chat_both_ways(a, b)
        quit_both(a, b)
        return seconds


def chat_both_ways(a, b, tag=""):
    for sender, receiver in ((a, b), (b, a)):
        line = f"hello from {sender.name}{tag}"
        mark = len(receiver.text())
        sender.type(line + "\n")
        receiver.expect(f"\n[Peer]: {line}\n> ".encode(), 10, mark)


LEFT = b"\n[The peer has left the chat]\n> "
CODE = re.compile(rb"\nThis chat is encrypted.\nSecurity code: ([0-9]{4} [0-9]{4})\nRead the code "
                  rb"to your peer by voice: if the two codes differ, someone is in between.\n> ")


def same_code(a, b):
    codes = [p.expect(CODE, 10).group(1) for p in (a, b)]
    check(codes[0] == codes[1], f"the security codes differ: {codes}")


def quit_both(a, b, hear_left=True, limit=1.0):
    """Each quits within `limit` seconds; the other one hears that it left, within a second."""
    for p, other in ((a, b if hear_left else None), (b, None)):
        mark = len(other.text()) if other else 0
        code, seconds = p.quit()
        check(code == 0, f"{p.name} exited with {code}")
        check(seconds < limit, f"{p.name} took {seconds:.2f} s to quit")
        check(p.text().endswith(b"\nShutting down...\n"), f"{p.name} did not say it shut down")
        if other:
            other.expect(LEFT, 1.0, mark)


OVER = re.compile(rb"\nConnected over (the LAN|IPv6|IPv4) to ")


def lines_chat(lab, natchat, over, limit, a_host="a1", b_host="b1"):
    """The peer lines exchanged: both connected within `limit` seconds of the second entry, both
    saying they are over `over`, with one security code; they chat both ways and quit. Returns
    the seconds."""
    with running(*connect_lines(lab, natchat, a_host, b_host)) as (a, b):
        entered = time.monotonic()
        wait_connected(a, b, timeout=limit + 30)
        seconds = time.monotonic() - entered
        check(seconds < limit, f"connected after {seconds:.2f} s")
        for p in (a, b):
            said = p.expect(OVER, 1).group(1)
            check(said == over, f"{p.name} connected over {said!r}")
        same_code(a, b)
        chat_both_ways(a, b)
        quit_both(a, b)
        return seconds


def interrupt_in_flight(p, other, stopped_for=0.5):
    """`other` is stopped (SIGSTOP) while p sends a line and gets Ctrl+C; once `other` runs again,
    p ends in order within a second (of `other`'s acknowledgement) with nothing unconfirmed, and
    `other` shows the line and hears that p left."""
    mark, other_mark = len(p.text()), len(other.text())
    os.kill(other.proc.pid, signal.SIGSTOP)
    try:
        p.type("in flight\n")
        p.expect(b"> ", 5, mark)  # read and sent
        p.proc.send_signal(signal.SIGINT)
        time.sleep(stopped_for)
    finally:
        os.kill(other.proc.pid, signal.SIGCONT)
    resumed = time.monotonic()
    check(p.wait() == 128 + signal.SIGINT, f"{p.name} exited with {p.proc.returncode}")
    seconds = time.monotonic() - resumed
    check(seconds < 1.0, f"{p.name} ended {seconds:.2f} s after its peer ran again")
    check(b"did not confirm" not in p.text(), f"{p.name} reported the line unconfirmed")
    check(p.text().endswith(b"\nShutting down...\n"), f"{p.name} did not shut down in order")
    other.expect(b"\n[Peer]: in flight\n> ", 1.0, other_mark)
    other.expect(LEFT, 1.0, other_mark)


def paste_to_stalled(paster, reader, lines, seconds):
    """`paster` pastes `lines` while nothing of `reader`'s output is read for `seconds`; then
    the lines `reader` shows, once its output is read again. The paster must not hear of silence
    or of lines unconfirmed meanwhile."""
    mark, paster_mark = len(reader.text()), len(paster.text())
    with reader.stalled():
        paster.type("".join(line + "\n" for line in lines))
        time.sleep(seconds)
    reader.expect(f"\n[Peer]: {lines[-1]}\n> ".encode(), 30, mark)
    for said in (b"Nothing heard", b"did not confirm", LEFT):
        check(said not in paster.text()[paster_mark:], f"{paster.name} said {said!r}")
    return [g.decode() for g in re.findall(rb"\[Peer\]: ([^\n]*)\n", reader.text()[mark:])]


def scenario_main(scenarios, docs):
    """The command line of a file of scenarios: SCENARIO --natchat PATH [--natchat-exe PATH] runs
    one (exit 0 pass, 1 fail, 77 skipped without root); --list names them."""
    parser = argparse.ArgumentParser(description=docs)
    parser.add_argument("scenario", nargs="?")
    parser.add_argument("--natchat")
    parser.add_argument("--natchat-exe")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    if args.list:
        print("\n".join(s.__name__ for s in scenarios))
        return 0
    if os.geteuid() != 0:
        print("SKIPPED: the NAT lab needs root (network namespaces and nftables)")
        return 77
    started = time.monotonic()
    run = {s.__name__: s for s in scenarios}[args.scenario]
    try:
        paths = [os.path.abspath(p) for p in (args.natchat, args.natchat_exe) if p]
        run(*paths)
    except Failure as e:
        print(f"FAILED {args.scenario}: {e}")
        return 1
    print(f"passed {args.scenario} in {time.monotonic() - started:.1f} s")
    return 0
