#!/usr/bin/env python3
"""A stranger on the LAN: sends everything a peer might, and worse, to HOST PORT for SECONDS, and
prints every datagram it gets back.    stranger.py HOST PORT SECONDS"""
import random
import socket
import sys
import time

target, until = (sys.argv[1], int(sys.argv[2])), time.monotonic() + float(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setblocking(False)
rng = random.Random(7)
while time.monotonic() < until:
    for d in (b"KEEPALIVE", b"PUNCH", b"PUNCH_ACK", b"stranger line", b"\x1b[2Jfake\x9b",
              b"X" * 9000, bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 2100)))):
        s.sendto(d, target)
    try:
        print("answered:", s.recv(4096))
    except BlockingIOError:
        pass
    time.sleep(0.02)
