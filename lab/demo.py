#!/usr/bin/env python3
"""Shows natchat at work across two NATs in the lab: two peers learn their public addresses,
exchange them, connect and chat; then both transcripts are printed. Run as root."""
import sys
import time

from labkit import Lab, connect, running, wait_connected


def main(natchat):
    with Lab("ncl-demo") as lab:
        print("Lab up: host a1 behind router A (198.51.100.11), host b1 behind router B "
              "(198.51.100.12), STUN server at 198.51.100.1:19302.\n")
        with running(*connect(lab, natchat)) as (a, b):
            wait_connected(a, b)
            script = [(a, "Hi! Can you read me through both NATs?"),
                      (b, "Loud and clear. Hole punching works."),
                      (a, "Great. Bye for now.")]
            for sender, line in script:
                receiver = b if sender is a else a
                mark = len(receiver.text())
                sender.type(line + "\n")
                receiver.expect(f"[Peer]: {line}".encode(), 10, mark)
                time.sleep(0.2)
            for p in (a, b):
                p.quit()
            for p, title in ((a, "a1 (interactive mode)"), (b, "b1 (peer given on the command line)")):
                print(f"----- transcript of natchat on {title} -----")
                print(p.text().decode(errors="replace"))
    print("Lab torn down.")


if __name__ == "__main__":
    main(sys.argv[1])
