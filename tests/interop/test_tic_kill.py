#!/usr/bin/env python3
"""File echoes tossed while SIGKILL lands at many random instants.

The inbound holds 60 files with their .tic files for three file areas (one
created by the toss itself), a few replacing a file already in the area.
The toss is started again and again and killed at a random instant each
time, until a run ends by itself. After every kill each file must be in
the inbound with its .tic, or whole in its area (or both), and no files.bbs
may list a file twice; at the end every file is in its area with its
description listed once, the replaced files are gone, and the inbound holds
no .tic, no file of one and nothing set aside.

Random: the starting number of the random generator is printed at the start
and in every failure message; set WP_KILL_SEED to it to repeat a run.
argv[1] = wrenpost binary, argv[2] = build directory.
"""

import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zlib

AREAS = ["NODEDIFF", "PICS", "NEW.FILES"]  # the last is created by the toss
COUNT = 60
TIME_LIMIT = 60  # seconds for all the kills


def main():
    wp = sys.argv[1]
    seed = int(os.environ.get("WP_KILL_SEED", str(random.SystemRandom().randrange(1 << 30))))
    print("WP_KILL_SEED=%d" % seed, flush=True)
    rng = random.Random(seed)
    tmp = tempfile.mkdtemp(prefix="wptickill.")
    try:
        run(wp, rng, tmp)
    except AssertionError as e:
        print("FAILED with WP_KILL_SEED=%d (set it to repeat this run): %s" % (seed, e))
        return 1
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print("ok")
    return 0


def fbbs_names(path):
    """The entry names of a files.bbs (lines not starting with a blank)."""
    if not os.path.exists(path):
        return []
    names = []
    for line in open(path, "rb").read().split(b"\n"):
        line = line.rstrip(b"\r")
        if line and line[:1] not in (b" ", b"\t"):
            names.append(line.split()[0].decode("latin-1"))
    return names


CFG = ("address = 2:240/1.7\nboss_host = 127.0.0.1\nboss_address = 2:240/1\n"
       "inbound = in\noutbound = out\nbadarea = bad\ndupemode = drop\n"
       "tic_password = SECRET\nfilebase = files\n"
       "filearea = NODEDIFF files/nodediff\nfilearea = PICS files/pics\n")


def run(wp, rng, tmp):
    inb = os.path.join(tmp, "in")
    cfg = os.path.join(tmp, "wrenpost.cfg")
    area_dir = {a: os.path.join(tmp, "files", a.lower()) for a in AREAS}
    old = ["old%d.jpg" % i for i in range(5)]  # replaced by some deliveries
    files = []  # (area, name, data, desc)
    for i in range(COUNT):
        area = AREAS[i % 3]
        name = "f%03d.%s" % (i, "zip" if i % 2 else "a%02d" % (i % 100))
        data = os.urandom(rng.choice([0, 1, 1000, 70000, 300000]))
        files.append((area, name, data, "file number %d" % i))

    def deliver():
        """The configuration, the old files and the inbound as delivered."""
        for d in (inb, os.path.join(tmp, "files")):
            shutil.rmtree(d, ignore_errors=True)
        os.makedirs(inb)
        os.makedirs(area_dir["PICS"])
        open(cfg, "w").write(CFG)
        with open(os.path.join(area_dir["PICS"], "files.bbs"), "wb") as f:
            for name in old:
                open(os.path.join(area_dir["PICS"], name), "wb").write(b"old" * 100)
                f.write(name.encode() + b"     an old picture\r\n")
        for i, (area, name, data, desc) in enumerate(files):
            open(os.path.join(inb, name), "wb").write(data)
            lines = ["Area " + area, "File " + name, "Desc " + desc, "From 2:240/1",
                     "Size %d" % len(data), "Crc %08X" % (zlib.crc32(data) & 0xFFFFFFFF),
                     "Pw secret"]
            if area == "PICS" and i // 3 < len(old):
                lines.append("Replaces " + old[i // 3])
            open(os.path.join(inb, "t%03d.tic" % i), "wb").write(
                ("\r\n".join(lines) + "\r\n").encode())

    def toss(kill_after=None):
        p = subprocess.Popen([wp, "-lang", "en", "-c", cfg, "toss"], cwd=tmp,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if kill_after is not None:
            time.sleep(kill_after)
            if p.poll() is None:
                os.kill(p.pid, signal.SIGKILL)
        out = p.communicate()[0].decode("latin-1")
        return p.returncode, out

    def check_between(ctx):
        for i, (area, name, data, desc) in enumerate(files):
            in_inbound = (os.path.exists(os.path.join(inb, name)) and
                          os.path.exists(os.path.join(inb, "t%03d.tic" % i)))
            placed = os.path.join(area_dir[area], name)
            if os.path.exists(placed):
                got = open(placed, "rb").read()
                assert got == data, "%s: %s half or wrong in its area (%d of %d bytes)" % (
                    ctx, name, len(got), len(data))
            else:
                assert in_inbound, "%s: %s neither in the inbound with its .tic nor placed" % (
                    ctx, name)
        for a in AREAS:
            names = fbbs_names(os.path.join(area_dir[a], "files.bbs"))
            assert len(names) == len(set(n.lower() for n in names)), \
                "%s: files.bbs of %s lists a file twice: %s" % (ctx, a, names)
        bad = [n for n in os.listdir(inb) if n.endswith(".bad")]
        assert not bad, "%s: set aside: %s" % (ctx, bad)

    # One whole run measures how long the work takes; then the same
    # delivery again, for the kills.
    deliver()
    t0 = time.monotonic()
    code, out = toss()
    full = time.monotonic() - t0
    assert code == 0, out[-3000:]
    deliver()

    kills, start = 0, time.monotonic()
    while True:
        # Short runs, so that the kills land at many points of the work.
        code, out = toss(kill_after=rng.uniform(0.0, max(0.01, full / 8)))
        if code == -signal.SIGKILL:
            kills += 1
            check_between("after kill %d" % kills)
            if time.monotonic() - start < TIME_LIMIT:
                continue
            code, out = toss()
        break
    assert code == 0, "toss after %d kills ended with %s:\n%s" % (kills, code, out[-3000:])
    print("kills:", kills, "full run: %.2f s" % full, flush=True)
    check_between("at the end")
    for i, (area, name, data, desc) in enumerate(files):
        assert not os.path.exists(os.path.join(inb, name)), name + " left in the inbound"
        assert not os.path.exists(os.path.join(inb, "t%03d.tic" % i)), name + "'s .tic left"
        assert os.path.exists(os.path.join(inb, "tossed", "t%03d.tic" % i))
        bbs = open(os.path.join(area_dir[area], "files.bbs"), "rb").read()
        assert bbs.count((name.ljust(12) + " " + desc + "\r\n").encode()) == 1, name
    for name in old:
        assert not os.path.exists(os.path.join(area_dir["PICS"], name)), name + " not replaced"
        assert name not in fbbs_names(os.path.join(area_dir["PICS"], "files.bbs"))
    for a in AREAS:
        left = [n for n in os.listdir(area_dir[a]) if n.startswith(".")]
        assert not left, "temporary files left in %s: %s" % (a, left)
    assert "filearea=NEW.FILES files/new.files" in open(cfg).read()


if __name__ == "__main__":
    sys.exit(main())
