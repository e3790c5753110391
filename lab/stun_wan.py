#!/usr/bin/env python3
"""A STUN responder for a lab router's miniupnpd: every Binding Request is answered with the
router's wan address (the first word) and the request's source port, on UDP port the second
word. Runs until killed."""
import socket
import struct
import sys

COOKIE = 0x2112A442


def answer(request, address, port):
    tid = request[8:20]
    ip = struct.unpack("!I", socket.inet_aton(address))[0]
    xored = struct.pack("!BBHI", 0, 1, port ^ (COOKIE >> 16), ip ^ COOKIE)
    plain = struct.pack("!BBH4s", 0, 1, port, socket.inet_aton(address))
    body = struct.pack("!HH", 0x0020, 8) + xored + struct.pack("!HH", 0x0001, 8) + plain
    return struct.pack("!HHI", 0x0101, len(body), COOKIE) + tid + body


def main():
    address, port = sys.argv[1], int(sys.argv[2])
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("0.0.0.0", port))
    while True:
        data, source = sock.recvfrom(2048)
        if len(data) >= 20 and data[0:2] == b"\x00\x01":
            sock.sendto(answer(data, address, source[1]), source)


if __name__ == "__main__":
    main()
