#!/usr/bin/env python3
"""Toss speed: wrenpost against crashmail on the same corpus, in one run.

Usage: bench/toss_vs_crashmail.py path/to/wrenpost [messages] [areas] [rounds]

Two corpora of echomail (default 100 000 messages each over 50 areas, 0.3 to
1.5 KB of text, MSGIDs all different), as type-2+ packets of 500 messages in
ZIP bundles (zip -9, 20 packets a bundle), addressed from the boss 2:240/1
to the point 2:240/1.7. Per round and per tosser, in a fresh point: the
first toss of corpus A creates the 50 areas, then a second toss puts corpus
B into the existing areas. The tossers alternate within each round; the
figures are the best of the rounds, each with the peak RSS of the tosser.

crashmail runs as its users run it for speed: JAM bases kept open for all
areas (JAM_MAXOPEN), a DEFAULT area as the template for created areas, its
dupe check on (DUPEMODE BAD, as wrenpost's check is always on), low log
level. Both unpack the bundles themselves (crashmail through unzip).
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

BOSS = (2, 240, 1, 0)
POINT = (2, 240, 1, 7)


def pkt_header():
    z, n, f, _ = BOSS
    tz, tn, tf, tp = POINT
    h = struct.pack("<HHHHHHHHHHHHBB8sHHHHBBHHHHH4s", f, tf, 2026, 11, 10, 12, 0, 0, 0, 2, n, tn,
                    0xFE, 0, b"", z, tz, 0, 0x0100, 0, 0, 0x0001, z, tz, 0, tp, b"")
    assert len(h) == 58
    return h


def pkt_message(area, serial, rnd):
    _, n, f, _ = BOSS
    _, tn, tf, _ = POINT
    lines = ["AREA:%s" % area, "\x01MSGID: 2:240/1 %08x" % serial, "\x01TZUTC: 0100"]
    for k in range(rnd.randint(4, 20)):
        lines.append("Line %d of a benchmark message, some seventy bytes of text in it." % k)
    lines += ["--- bench", " * Origin: Bench boss (2:240/1)", "SEEN-BY: 240/1",
              "\x01PATH: 240/1"]
    text = "\r".join(lines).encode("ascii") + b"\r"
    return (struct.pack("<HHHHHHH", 2, f, tf, n, tn, 0, 0) + b"10 Dec 26  12:00:00\0" +
            b"All\0" + b"Bench Writer\0" + b"Benchmark %d\0" % serial + text + b"\0")


def corpus(dst, first_serial, messages, areas, start):
    """Writes bundles into dst; returns the number of bundle files."""
    os.makedirs(dst)
    rnd = random.Random(start)
    work = dst + ".pkts"
    os.makedirs(work)
    per_pkt, per_bundle = 500, 20
    pkts = []
    for p in range(0, messages, per_pkt):
        name = os.path.join(work, "%08x.pkt" % (first_serial + p))
        with open(name, "wb") as f:
            f.write(pkt_header())
            for i in range(p, min(messages, p + per_pkt)):
                f.write(pkt_message("BENCH.AREA%02d" % (i % areas), first_serial + i, rnd))
            f.write(b"\0\0")
        pkts.append(name)
    days = ["mo", "tu", "we", "th", "fr", "sa", "su"]
    nb = 0
    for b in range(0, len(pkts), per_bundle):
        bundle = os.path.join(dst, "%08x.%s%d" % (first_serial + b, days[nb % 7], nb // 7 % 10))
        subprocess.run(["zip", "-9jq", bundle] + pkts[b:b + per_bundle], check=True)
        nb += 1
    shutil.rmtree(work)
    return nb


def timed(cmd, cwd):
    """(seconds, peak RSS in KiB of the tosser's own process, exit code, output)."""
    rss_file = os.path.join(cwd, "rss.txt")
    t = time.monotonic()
    r = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + cmd, cwd=cwd,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace")
    t = time.monotonic() - t
    with open(rss_file) as f:
        peak = int(f.read().split()[-1])
    return t, peak, r.returncode, r.stdout


def wrenpost_point(wp, d):
    for sub in ("in", "out", "msg"):
        os.makedirs(os.path.join(d, sub))
    cfg = os.path.join(d, "wrenpost.cfg")
    with open(cfg, "w") as f:
        f.write("address=2:240/1.7\nboss_host=127.0.0.1\nboss_address=2:240/1\ninbound=in\n"
                "outbound=out\nnetmail=msg/netmail\nbadarea=msg/bad\ndupearea=msg/dupes\n")
    return [wp, "-lang", "en", "-c", cfg, "toss"]


def crashmail_point(d, areas):
    for sub in ("in", "out", "tmp", "msg", "pk"):
        os.makedirs(os.path.join(d, sub))
    lines = ['SYSOP "Bench Point"', 'LOGFILE "%s/cm.log"' % d, "LOGLEVEL 1",
             'DUPEFILE "%s/dupes" 10000' % d, "DUPEMODE BAD", 'INBOUND "%s/in"' % d,
             'OUTBOUND "%s/out"' % d, 'TEMPDIR "%s/tmp"' % d, 'CREATEPKTDIR "%s/tmp"' % d,
             'PACKETDIR "%s/pk"' % d, 'STATSFILE "%s/stats"' % d, "NOROUTE", "IMPORTSEENBY",
             "JAM_MAXOPEN %d" % (areas + 2),
             'PACKER "ZIP" "/usr/bin/zip -j %a %f" "/usr/bin/unzip -j -o %a" "PK"',
             "AKA 2:240/1.7", 'DOMAIN "FidoNet"', 'NODE 2:240/1.0 "ZIP" "" AUTOADD',
             'NETMAIL "NETMAIL" 2:240/1.7 JAM "%s/msg/netmail"' % d,
             'AREA "BAD" 2:240/1.7 JAM "%s/msg/bad"' % d,
             'AREA "DEFAULT" 2:240/1.7 JAM "%s/msg/%%l"' % d]
    prefs = os.path.join(d, "crashmail.prefs")
    with open(prefs, "w") as f:
        f.write("\n".join(lines) + "\n")
    return ["crashmail", "SETTINGS", prefs, "TOSSDIR", os.path.join(d, "in"), "NOSECURITY"]


def fill(src, inbound):
    for n in os.listdir(src):
        shutil.copy(os.path.join(src, n), os.path.join(inbound, n))


def jhr_count(msgdir):
    """Messages in all .jhr of a directory (header signatures after the base header)."""
    total = 0
    for n in os.listdir(msgdir):
        if n.endswith(".jhr") and not n.startswith(("bad", "dupes", "netmail")):
            with open(os.path.join(msgdir, n), "rb") as f:
                total += f.read()[1024:].count(b"JAM\0")
    return total


def main():
    wp = os.path.abspath(sys.argv[1])
    messages = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    areas = int(sys.argv[3]) if len(sys.argv) > 3 else 50
    rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 3
    root = tempfile.mkdtemp(prefix="wp-toss-bench.")
    try:
        ca, cb = os.path.join(root, "A"), os.path.join(root, "B")
        corpus(ca, 0x100000, messages, areas, 1)
        corpus(cb, 0x900000, messages, areas, 2)
        size = sum(os.path.getsize(os.path.join(ca, n)) for n in os.listdir(ca))
        res = {}
        for r in range(rounds):
            for side in (("wrenpost", "crashmail") if r % 2 == 0 else ("crashmail", "wrenpost")):
                d = os.path.join(root, "%s%d" % (side, r))
                os.makedirs(d)
                if side == "wrenpost":
                    cmd = wrenpost_point(wp, d)
                    msgdir = os.path.join(d, "msg")
                else:
                    cmd = crashmail_point(d, areas)
                    msgdir = os.path.join(d, "msg")
                for step, src in (("first toss", ca), ("into existing areas", cb)):
                    fill(src, os.path.join(d, "in"))
                    t, rss, rc, out = timed(cmd, d)
                    if rc != 0:
                        raise SystemExit("%s %s ended with %d:\n%s" % (side, step, rc, out[-2000:]))
                    res.setdefault((side, step), []).append((t, rss))
                got = jhr_count(msgdir)
                if got != 2 * messages:
                    raise SystemExit("%s filed %d messages, not %d" % (side, got, 2 * messages))
                shutil.rmtree(d)
        print("toss: %d messages over %d areas per toss, %.1f MB of bundles, best of %d "
              "alternating rounds" % (messages, areas, size / 1e6, rounds))
        for step in ("first toss", "into existing areas"):
            best = {}
            for side in ("wrenpost", "crashmail"):
                t = min(x[0] for x in res[(side, step)])
                rss = max(x[1] for x in res[(side, step)])
                best[side] = t
                print("  %-20s %-9s %7.2f s  %8.0f msg/s  peak RSS %6.1f MiB" %
                      (step, side, t, messages / t, rss / 1024.0))
            print("  %-20s speed ratio wrenpost/crashmail: %.2f (goal >= 3)" %
                  (step, best["crashmail"] / best["wrenpost"]))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
