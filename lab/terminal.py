"""A natchat at a real terminal: tmux runs it in a lab host, keys go in as a terminal sends them,
and the screen is read back as the user sees it."""
import re
import subprocess
import time

from labkit import Failure


class TerminalPeer:
    def __init__(self, lab, host, natchat, *args, width=80, height=24):
        self.name = host
        self.socket = f"{lab.env['LAB_PREFIX']}-tmux"
        self.target = f"{host}:0"
        inner = " ".join(lab.command(host, natchat, *args))
        # The exit code stays on the screen after natchat ends.
        self.tmux("new-session", "-d", "-s", host, "-x", str(width), "-y", str(height),
                  f"{inner}; echo EXIT=$?; sleep 600")

    def tmux(self, *words, **kw):
        return subprocess.run(["tmux", "-L", self.socket, *words], check=True, capture_output=True, **kw)

    def keys(self, *keys):
        """tmux key names: "Left", "Enter", "C-d"."""
        self.tmux("send-keys", "-t", self.target, *keys)

    def type(self, text):
        self.tmux("send-keys", "-t", self.target, "-l", text)

    def paste(self, text):
        """A paste, in bracketed-paste markers when natchat asked for them."""
        self.tmux("load-buffer", "-b", "nc-paste", "-", input=text.encode())
        self.tmux("paste-buffer", "-p", "-d", "-b", "nc-paste", "-t", self.target)

    def screen(self, history=False):
        """What the window shows; with the scrollback, wrapped rows joined."""
        more = ["-S", "-5000", "-J"] if history else []
        return self.tmux("capture-pane", "-p", "-t", self.target, *more).stdout.decode()

    def last_line(self):
        return self.screen().rstrip("\n").split("\n")[-1]

    def expect(self, pattern, timeout=10.0, history=True):
        deadline = time.monotonic() + timeout
        while True:
            shown = self.screen(history)
            m = re.search(pattern, shown)
            if m:
                return m
            if time.monotonic() > deadline:
                raise Failure(f"{self.name}: no {pattern!r} on the screen within {timeout} s:\n{shown[-3000:]}")
            time.sleep(0.05)

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)
