#!/usr/bin/env python3
"""A stranger: sends everything a peer might, and worse, to HOST PORT for SECONDS, from SOCKETS
ports of its own (1 unless given), each datagram twice in a row from each; prints every datagram
it gets back.    stranger.py HOST PORT SECONDS [SOCKETS]    (HOST: IPv4 or IPv6)

Besides plain-protocol words it forges the secure session: commitments, reveals of the keys
committed to (a handshake complete but for being the peer's), and sealed records."""
import hashlib
import os
import random
import socket
import sys
import time

target, until = (sys.argv[1], int(sys.argv[2])), time.monotonic() + float(sys.argv[3])
family = socket.AF_INET6 if ":" in target[0] else socket.AF_INET
sockets = [socket.socket(family, socket.SOCK_DGRAM) for _ in range(int(sys.argv[4:5] and sys.argv[4] or 1))]
rng = random.Random(7)


def forged():
    key = os.urandom(32)
    record = b"KEEPALIVE\0S" + rng.getrandbits(64).to_bytes(8, "big") + os.urandom(rng.randrange(17, 2100))
    return (b"KEEPALIVE", b"PUNCH", b"PUNCH_ACK", b"stranger line", b"\x1b[2Jfake\x9b",
            b"KEEPALIVE BYE", b"KEEPALIVE\0C" + hashlib.sha256(key).digest(), b"KEEPALIVE\0R" + key,
            record, b"X" * 9000, bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 2100))))


for s in sockets:
    s.setblocking(False)
while time.monotonic() < until:
    for d in forged():
        for s in sockets:
            s.sendto(d, target)
            s.sendto(d, target)
    for s in sockets:
        try:
            print("answered:", s.recv(4096), flush=True)
        except BlockingIOError:
            pass
    time.sleep(0.02)
