#!/usr/bin/env python3
"""binkp throughput: wrenpost against binkd, beside binkd polling binkd.

Usage: bench/binkp_throughput.py path/to/wrenpost [files] [megabytes] [rounds]

A binkd server on 127.0.0.1 is the boss 2:240/1. The point 2:240/1.7 calls
it twice per round: once with N files of M MB waiting at the boss (boss ->
point) and once with the same files waiting at the point (point -> boss).
The point is wrenpost, then a second binkd run as a polling client with the
same files, in the same run. Prints MB/s per direction (best of the rounds),
the ratio wrenpost/binkd, and the peak resident memory of the calling side
(VmHWM of its largest process, sampled). For the receiving direction it also
times the raw I/O a durable receiver cannot avoid (the same files written in
32 KB pieces, each synced, renamed and its directory synced, without any
network), in the same rounds: binkd's point does not sync what it receives,
wrenpost does before each M_GOT.

binkd is set up for speed as its users tune it: data frames of 32767 bytes
(`oblksize`, the largest binkp allows; the default of 4096 costs a wake-up
of both processes per 4 KB, which on a busy machine is most of the time),
and the binkd point is started with -r: between two binkd with a session
password binkd otherwise encrypts the traffic, work that the wrenpost
session (which does not offer encryption) never does.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

BINKD = shutil.which("binkd") or "/usr/sbin/binkd"


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def binkd_cfg(path, root, address, port, nodes, iport=True):
    for d in ("out", "in", "tmp"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    with open(path, "w") as f:
        f.write(f"domain fidonet {root}/out 2\naddress {address}@fidonet\nsysname b\nsysop b\n"
                f"location l\nnodeinfo 115200,TCP,BINKP\noblksize 32767\n"
                + (f"iport {port}\nbindaddr 127.0.0.1\n" if iport else "")
                + f"oport {port}\ninbound {root}/in\ninbound-nonsecure {root}/in\n"
                f"temp-inbound {root}/tmp\nlog {root}/binkd.log\nloglevel 2\nconlog 0\n"
                + nodes)


def hwm_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def descendants(pid):
    out = [pid]
    i = 0
    while i < len(out):
        try:
            for task in os.listdir("/proc/%d/task" % out[i]):
                with open("/proc/%d/task/%s/children" % (out[i], task)) as f:
                    out += [int(x) for x in f.read().split()]
        except OSError:
            pass
        i += 1
    return out


def timed(cmd):
    """Runs cmd; (seconds, peak RSS in KiB of the largest process of its
    tree, sampled every 5 ms from VmHWM, exit code)."""
    t = time.monotonic()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    while p.poll() is None:
        for q in descendants(p.pid):
            peak = max(peak, hwm_kib(q))
        time.sleep(0.005)
    return time.monotonic() - t, peak, p.returncode


def warm(names):
    """Reads the files, so that the next call finds them in the page cache."""
    for n in names:
        with open(n, "rb") as f:
            while f.read(1 << 20):
                pass


def raw_durable(names, dest):
    """The raw I/O a durable receiver cannot avoid, for the same bytes: each
    file written to dest in 32 KB pieces (what a data frame carries), synced,
    renamed to its name and the directory synced, as wrenpost settles a
    received file. Seconds."""
    os.makedirs(dest, exist_ok=True)
    files = []
    for n in names:  # read first: only the writing is timed
        with open(n, "rb") as src:
            files.append((n, memoryview(src.read())))
    t = time.monotonic()
    for n, data in files:
        tmp = os.path.join(dest, os.path.basename(n) + ".tmp")
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        for off in range(0, len(data), 32767):
            os.write(fd, data[off:off + 32767])
        os.fsync(fd)
        os.close(fd)
        os.rename(tmp, os.path.join(dest, os.path.basename(n)))
        dfd = os.open(dest, os.O_RDONLY)
        os.fsync(dfd)
        os.close(dfd)
    return time.monotonic() - t


def main():
    wrenpost = os.path.abspath(sys.argv[1])
    nfiles = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    mb = int(sys.argv[3]) if len(sys.argv) > 3 else 40
    rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 3
    root = tempfile.mkdtemp(prefix="wp-bench.")
    port = free_port()
    boss = os.path.join(root, "boss")
    bcfg = os.path.join(root, "boss.cfg")
    binkd_cfg(bcfg, boss, "2:240/1", port, "node 2:240/1.7@fidonet - secret\n")
    srv = subprocess.Popen([BINKD, "-s", bcfg], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port)).close()
                break
            except OSError:
                time.sleep(0.05)
        src = os.path.join(root, "src")
        os.makedirs(src)
        names = []
        for i in range(nfiles):
            n = os.path.join(src, "file%d.bin" % i)
            with open(n, "wb") as f:
                block = os.urandom(1 << 20)
                for _ in range(mb):
                    f.write(block)
            names.append(n)
        total = nfiles * mb * 1024 * 1024

        # wrenpost point
        wp = os.path.join(root, "wp")
        for d in ("in", "out"):
            os.makedirs(os.path.join(wp, d))
        wcfg = os.path.join(wp, "wrenpost.cfg")
        with open(wcfg, "w") as f:
            f.write(f"address = 2:240/1.7\nboss_host = 127.0.0.1\nboss_port = {port}\n"
                    f"boss_address = 2:240/1\npassword = secret\ninbound = {wp}/in\n"
                    f"outbound = {wp}/out\n")
        # binkd point (client only)
        bp = os.path.join(root, "bp")
        pcfg = os.path.join(root, "point.cfg")
        binkd_cfg(pcfg, bp, "2:240/1.7", port,
                  f"node 2:240/1@fidonet 127.0.0.1:{port} secret\n", iport=False)

        def boss_flo():
            d = os.path.join(boss, "out", "00f00001.pnt")
            os.makedirs(d, exist_ok=True)
            with open(os.path.join(d, "00000007.flo"), "w") as f:
                f.write("".join("%s\n" % n for n in names))

        def point_flo(outdir):
            with open(os.path.join(outdir, "00f00001.flo"), "w") as f:
                f.write("".join("%s\n" % n for n in names))

        def clean(d):
            for n in os.listdir(d):
                p = os.path.join(d, n)
                if os.path.isfile(p):
                    os.unlink(p)
            # The deletions reach the disk now (on a file system mounted with
            # discard, 200 MB of trims), not in the next call's first sync:
            # that would charge a durable receiver for the round before.
            os.sync()

        def check(d):
            got = sorted(os.listdir(d))
            want = sorted(os.path.basename(n) for n in names)
            if got != want or any(os.path.getsize(os.path.join(d, g)) != mb << 20 for g in got):
                raise SystemExit("transfer incomplete in %s: %s" % (d, got))

        res = {}
        raw_dir = os.path.join(wp, "raw")  # on the file system of the inbounds
        for r in range(rounds):
            t = raw_durable(names, raw_dir)
            clean(raw_dir)
            res.setdefault(("raw", "down"), []).append((t, 0, 0))
            # Who goes first changes every round, and the files to send are
            # read into the page cache before each call: the machine's memory
            # reclaim drops pages it has not seen used for a while, so the
            # first caller of a round would otherwise read them from the disk
            # and the second find them cached.
            for side in (("wrenpost", "binkd") if r % 2 == 0 else ("binkd", "wrenpost")):
                if side == "wrenpost":
                    cmd = [wrenpost, "-lang", "en", "-c", wcfg, "poll"]
                    inbound, outbound = os.path.join(wp, "in"), os.path.join(wp, "out")
                else:
                    cmd = [BINKD, "-r", "-p", "-P", "2:240/1@fidonet", pcfg]
                    inbound, outbound = os.path.join(bp, "in"), os.path.join(bp, "out")
                # boss -> point
                boss_flo()
                warm(names)
                t, rss, rc = timed(cmd)
                check(inbound)
                clean(inbound)
                res.setdefault((side, "down"), []).append((t, rss, rc))
                # point -> boss
                os.makedirs(outbound, exist_ok=True)
                point_flo(outbound)
                warm(names)
                t, rss, rc = timed(cmd)
                check(os.path.join(boss, "in"))
                clean(os.path.join(boss, "in"))
                res.setdefault((side, "up"), []).append((t, rss, rc))

        print("binkp throughput, %d files x %d MB, loopback, best of %d rounds" %
              (nfiles, mb, rounds))
        for direction, label in (("down", "boss -> point"), ("up", "point -> boss")):
            line = {}
            for side in ("wrenpost", "binkd"):
                t = min(x[0] for x in res[(side, direction)])
                rss = max(x[1] for x in res[(side, direction)])
                line[side] = total / t / 1e6
                print("  %-14s %-9s %8.1f MB/s  %6.2f s  peak RSS %6.1f MiB  rc %s" %
                      (label, side, line[side], t, rss / 1024.0,
                       sorted(set(x[2] for x in res[(side, direction)]))))
            print("  %-14s ratio wrenpost/binkd: %.2f" % (label, line["wrenpost"] / line["binkd"]))
            if direction == "down":
                t = min(x[0] for x in res[("raw", "down")])
                print("  %-14s raw I/O   %8.1f MB/s  %6.2f s  (the same files written, synced,"
                      " renamed, directory synced; no network)" % (label, total / t / 1e6, t))
                print("  %-14s ratio wrenpost/raw I/O: %.2f" % (label, line["wrenpost"] * t / total * 1e6))
    finally:
        srv.send_signal(signal.SIGTERM)
        srv.wait()
        if os.environ.get("WP_BENCH_KEEP"):
            print("kept", root)
        else:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
