#!/usr/bin/env python3
"""A STUN server that answers every Binding Request twice, as a duplicating path would.
    stun_twice.py ADDRESS        (UDP port 19302)"""
import socket
import struct
import sys

s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 19302))
while True:
    request, (ip, port) = s.recvfrom(2048)
    x = struct.unpack("!I", socket.inet_aton(ip))[0] ^ 0x2112A442
    answer = struct.pack("!HHI12sHHHHI", 0x0101, 12, 0x2112A442, request[8:20], 0x20, 8, 1,
                         port ^ 0x2112, x)
    for _ in range(2):
        s.sendto(answer, (ip, port))
