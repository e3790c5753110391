#!/usr/bin/env python3
"""A peer that speaks only the plain protocol: punches, answers punches, keeps the path open, sends
each line typed on its standard input as one datagram and prints the chat lines it gets, as
"[Peer]: LINE" on a line of its own. Every datagram that begins with a keyword is taken as that keyword and not shown.
    plain_peer.py PEER_IP PEER_PORT LOCAL_PORT"""
import socket
import sys
import threading
import time

peer = (sys.argv[1], int(sys.argv[2]))
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", int(sys.argv[3])))


def receive():
    while True:
        data, source = s.recvfrom(4096)
        if data.startswith(b"KEEPALIVE") or data.startswith(b"PUNCH_ACK"):
            continue
        if data.startswith(b"PUNCH"):
            s.sendto(b"PUNCH_ACK", source)
            continue
        sys.stdout.buffer.write(b"\n[Peer]: " + data + b"\n> ")
        sys.stdout.flush()


threading.Thread(target=receive, daemon=True).start()
for _ in range(30):  # three seconds of punches, then keepalives
    s.sendto(b"PUNCH", peer)
    time.sleep(0.1)
threading.Thread(target=lambda: [(s.sendto(b"KEEPALIVE", peer), time.sleep(5)) for _ in iter(int, 1)],
                 daemon=True).start()
for line in sys.stdin.buffer:
    s.sendto(line.rstrip(b"\n"), peer)
