"""A real binkd as the boss on 127.0.0.1, in a scratch directory.

Used by the test_binkd_*.py drivers: writes binkd's configuration, starts it
as a foreground server on a free port, and writes wrenpost configurations
that call it. Everything lives under one temporary directory.
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

BINKD = shutil.which("binkd") or ("/usr/sbin/binkd" if os.path.exists("/usr/sbin/binkd") else None)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def closed_port():
    """A port on which nothing listens (bound, never listening)."""
    return free_port()


class Boss:
    """binkd serving 2:240/1 with the point 2:240/1.7 as its one link."""

    def __init__(self, root, name="boss", password="secret", address="2:240/1",
                 cram=True):
        self.root = os.path.join(root, name)
        self.out = os.path.join(self.root, "out")
        self.inbound = os.path.join(self.root, "in")
        self.files = os.path.join(self.root, "files")
        for d in (self.out, self.inbound, self.files, os.path.join(self.root, "tmp")):
            os.makedirs(d, exist_ok=True)
        self.port = free_port()
        self.address = address
        self.cram = cram
        self.proc = None
        self.cfg = os.path.join(self.root, "binkd.cfg")
        with open(self.cfg, "w") as f:
            f.write(f"""domain fidonet {self.out} 2
address {address}@fidonet
sysname "Boss"
sysop "Boss Op"
location "Loopback"
nodeinfo 115200,TCP,BINKP
iport {self.port}
oport {self.port}
bindaddr 127.0.0.1
inbound {self.inbound}
inbound-nonsecure {self.inbound}
temp-inbound {os.path.join(self.root, "tmp")}
log {os.path.join(self.root, "binkd.log")}
loglevel 4
conlog 0
node 2:240/1.7@fidonet - {password}
""")

    def start(self):
        args = [BINKD, "-s"] + ([] if self.cram else ["-m"]) + [self.cfg]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, cwd=self.root)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("binkd did not start listening")

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def point_dir(self):
        """binkd's outbound directory for files to the point."""
        d = os.path.join(self.out, "00f00001.pnt")
        os.makedirs(d, exist_ok=True)
        return os.path.join(d, "00000007")

    def log(self):
        try:
            with open(os.path.join(self.root, "binkd.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""


class Point:
    """A wrenpost point directory with its configuration."""

    def __init__(self, root, wrenpost):
        self.root = os.path.join(root, "point")
        self.inbound = os.path.join(self.root, "in")
        self.out = os.path.join(self.root, "out")
        self.files = os.path.join(self.root, "files")
        for d in (self.inbound, self.out, self.files):
            os.makedirs(d, exist_ok=True)
        self.wrenpost = wrenpost
        self.cfg = os.path.join(self.root, "wrenpost.cfg")

    def section(self, port, password="secret", boss_address="2:240/1", extra=""):
        return (f"boss_host = 127.0.0.1\nboss_port = {port}\nboss_address = {boss_address}\n"
                f"password = {password}\n{extra}")

    def configure(self, text):
        with open(self.cfg, "w") as f:
            f.write(f"address = 2:240/1.7\ninbound = {self.inbound}\noutbound = {self.out}\n")
            f.write(text)

    def poll(self, *args, timeout_ms=20000):
        env = dict(os.environ, WRENPOST_NET_TIMEOUT=str(timeout_ms))
        p = subprocess.run([self.wrenpost, "-lang", "en", "-c", self.cfg, "poll", *args],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                           cwd=self.root, timeout=600)
        return p.returncode, p.stdout.decode("latin-1")

    def flo(self):
        return os.path.join(self.out, "00f00001.flo")


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Checker:
    def __init__(self):
        self.failures = 0

    def check(self, cond, what, detail=""):
        if cond:
            print("ok   ", what)
        else:
            self.failures += 1
            print("FAIL ", what)
            if detail:
                print(detail)


def scratch():
    return tempfile.mkdtemp(prefix="wp-binkd.")
