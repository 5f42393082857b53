#!/usr/bin/env python3
"""The nodelist through the real program, best of several runs.

Usage: bench/nodelist_bench.py path/to/wrenpost [entries] [rounds]

Generates (tests/tools/nlgen.py) a FidoNet-sized list (default 20 000
entries, about 2 MB, valid CRC) and 52 weekly NODEDIFF files after it (over
the turn of the year), then times, each as a whole process from its start:
  --version           the program's start alone, for comparison
  node ADDRESS        reading the list and one lookup (the last entry)
  node -n TEXT        reading the list and a name search
  nodediff            applying the 52 diffs (fresh copies every round)
and checks that the result is the generator's last list byte for byte.
"""
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "tools"))
import nlgen  # noqa: E402


def timed(args, rounds):
    best = None
    for _ in range(rounds):
        t0 = time.perf_counter()
        r = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        dt = time.perf_counter() - t0
        best = dt if best is None or dt < best else best
    return best, r


def main():
    binary = os.path.abspath(sys.argv[1])
    entries = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    tmp = tempfile.mkdtemp(prefix="wp-nlbench-")
    try:
        gen = os.path.join(tmp, "gen")
        expected = nlgen.chain(gen, entries, 52, 3, datetime.date(2025, 1, 3))
        first = os.path.basename(expected[0])
        size = os.path.getsize(os.path.join(gen, first))
        nl = os.path.join(tmp, "nl")
        os.makedirs(nl)
        shutil.copy(os.path.join(gen, first), nl)
        cfg = os.path.join(tmp, "wp.cfg")
        with open(cfg, "w") as f:
            f.write("address = 2:240/1.5\nboss_host = 127.0.0.1\nboss_address = 2:240/1\n"
                    "inbound = in\noutbound = out\nnodelist = nl/NODELIST\n")
        with open(expected[0], "rb") as f:
            lines = f.read().split(b"\x1a")[0].split(b"\r\n")
        zone = net = 0
        last = None
        for raw in lines[1:]:
            if not raw or raw.startswith(b";"):
                continue
            kw, num = raw.split(b",")[:2]
            if kw == b"Zone":
                zone = net = int(num)
            elif kw in (b"Region", b"Host"):
                net = int(num)
            else:
                last = "%d:%d/%d" % (zone, net, int(num))
        n_entries = sum(1 for raw in lines[1:] if raw and not raw.startswith(b";"))
        print("list: %s, %d bytes, %d entries; 52 diffs" % (first, size, n_entries))
        base = [binary, "-lang", "en", "-c", cfg]

        t, _ = timed([binary, "--version"], rounds)
        print("program start (--version):      %7.1f ms" % (t * 1000))
        t, r = timed(base + ["node", last], rounds)
        assert r.returncode == 0 and last.encode() in r.stdout, r.stderr
        print("node %-14s (cold start): %7.1f ms" % (last, t * 1000))
        t, r = timed(base + ["node", "-n", "jäger"], rounds)
        assert r.returncode == 0, r.stderr
        print("node -n jäger (cold start):     %7.1f ms  (%d hits)" % (
            t * 1000, r.stdout.count(b"\n")))

        best = None
        for _ in range(max(3, rounds // 2)):
            shutil.rmtree(nl)
            os.makedirs(nl)
            shutil.copy(os.path.join(gen, first), nl)
            for p in expected[1:]:
                d = os.path.basename(p).replace("NODELIST", "NODEDIFF")
                shutil.copy(os.path.join(gen, d), nl)
            t0 = time.perf_counter()
            r = subprocess.run(base + ["nodediff"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
            dt = time.perf_counter() - t0
            best = dt if best is None or dt < best else best
            assert r.returncode == 0, r.stdout
            got = os.path.join(nl, os.path.basename(expected[-1]))
            with open(got, "rb") as a, open(expected[-1], "rb") as b:
                assert a.read() == b.read(), "the applied list differs"
        print("nodediff, 52 diffs (whole run): %7.1f ms  (result equals the generator's)" % (
            best * 1000))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
