#!/usr/bin/env python3
"""An export of many messages killed with SIGKILL at 30 random instants.

After every kill, and after a last complete run, each local message must be
unsent in its base or inside a packet or bundle that the outbound announces
(a flow-file line, or the netmail .out file): no message is ever lost. The
test also counts the duplicates a kill can cause (a message placed in the
outbound and still unsent, or placed twice).

Random: the starting number of the random generator (which decides the
messages and the kill instants) is printed at the start and in every failure
message; set WP_KILL_SEED to it to repeat a run.

argv[1] = wrenpost binary, argv[2] = build directory.
"""

import os
import random
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftnpkt  # noqa: E402
import jamread  # noqa: E402

SENT, LOCAL = 0x10, 0x01
AREAS = ["FSX_GEN", "FSX_BOT", "FSX_TST"]


def main():
    seed = int(os.environ.get("WP_KILL_SEED", str(random.SystemRandom().randrange(1 << 30))))
    print("WP_KILL_SEED=%d" % seed, flush=True)
    try:
        run(seed)
    except SystemExit as e:
        if e.code not in (None, 0):
            print("FAILED with WP_KILL_SEED=%d (set it to repeat this run)" % seed)
        raise


def run(seed):
    wp, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    tool = os.path.join(build, "tests", "local_msgs")
    rng = random.Random(seed)
    tmp = tempfile.mkdtemp(prefix="wpcrash.")
    out, msg = os.path.join(tmp, "out"), os.path.join(tmp, "msg")
    os.makedirs(msg)
    cfg = os.path.join(tmp, "wrenpost.cfg")
    with open(cfg, "w") as f:
        # Relative paths, so that a copy of the tree is a point of its own.
        f.write("address=21:3/210.7\nboss_host=127.0.0.1\nboss_address=21:3/210\n"
                "inbound=in\noutbound=out\nnetmail=msg/netmail\npack=zip\necho_path=boss\n")
        for a in AREAS:
            f.write("echoarea=%s msg/%s\n" % (a, a.lower()))

    written = set()
    counter = [0]

    def add_messages():
        for a in AREAS:
            n = rng.randint(100, 300)
            prefix = "%s.%d" % (a, counter[0])
            subprocess.run([tool, os.path.join(msg, a.lower()), str(n), prefix], check=True)
            written.update("21:3/210.7 %s-%d" % (prefix, i) for i in range(n))
        prefix = "NET.%d" % counter[0]
        subprocess.run([tool, os.path.join(msg, "netmail"), "20", prefix, "net", "21:3/210"],
                       check=True)
        written.update("21:3/210.7 %s-%d" % (prefix, i) for i in range(20))
        counter[0] += 1

    def scan(kill_after=None, root=None):
        root = root or tmp
        p = subprocess.Popen([wp, "-lang", "en", "-c", os.path.join(root, "wrenpost.cfg"), "scan"],
                             stdout=subprocess.DEVNULL, cwd=root)
        if kill_after is None:
            return p.wait()
        time.sleep(kill_after)
        if p.poll() is None:
            os.kill(p.pid, signal.SIGKILL)
        p.wait()
        return p.returncode

    delivered = {}  # MSGID -> times handed to the boss by the simulated mailer

    def check(label):
        """Checks the invariant, then plays the mailer: everything announced
        goes to the boss (bundles truncated, packets deleted, flow file
        settled), as a poll between two exports would do."""
        unsent, sent = set(), set()
        for base in ["netmail"] + [a.lower() for a in AREAS]:
            ref = jamread.read_base(os.path.join(msg, base))
            for h in ref["headers"]:
                mid = jamread.subfield(h, 4).decode()
                (sent if h["Attribute"] & SENT else unsent).add(mid)
        flo = os.path.join(out, "000300d2.flo")
        files = [p for _, p in ftnpkt.flow_lines(flo)]
        if os.path.exists(os.path.join(out, "000300d2.out")):
            files.append(os.path.join(out, "000300d2.out"))
        for path in files:
            if not path.endswith(".pkt") and not path.endswith(".out") and os.path.getsize(path) and \
                    subprocess.run(["unzip", "-tq", path], capture_output=True).returncode != 0:
                raise SystemExit("FAIL %s: unzip -t refuses %s" % (label, path))
            for _, data in ftnpkt.packets_of_file(path):
                for m in ftnpkt.read_packet(data)[1]:
                    mid = m["msgid"].decode()
                    delivered[mid] = delivered.get(mid, 0) + 1
            if path.endswith(".pkt") or path.endswith(".out"):
                os.remove(path)
            else:
                open(path, "wb").close()
        if os.path.exists(flo):
            os.remove(flo)
        lost = [m for m in written if m not in unsent and delivered.get(m, 0) == 0]
        if lost:
            raise SystemExit("FAIL %s: %d messages lost, e.g. %s" % (label, len(lost), lost[:3]))
        missing = written - unsent - sent
        if missing:
            raise SystemExit("FAIL %s: %d messages vanished from the bases" % (label, len(missing)))
        return sum(1 for m, n in delivered.items() if n > 1 or m in unsent)

    add_messages()
    t0 = time.monotonic()
    if scan() != 0:
        raise SystemExit("FAIL: the first export did not end with 0")
    duration = time.monotonic() - t0
    check("first run")
    max_dupes, kills = 0, 0
    durations = []
    for round_no in range(30):
        add_messages()
        # Time a complete run on a copy of the tree, then kill the real run at
        # a random instant of that span, so kills land in every phase.
        copy = tmp + ".timing"
        subprocess.run(["cp", "-a", tmp, copy], check=True)
        t0 = time.monotonic()
        scan(root=copy)
        span = time.monotonic() - t0
        durations.append(span)
        subprocess.run(["rm", "-rf", copy], check=True)
        code = scan(kill_after=rng.uniform(0, span))
        kills += code == -signal.SIGKILL
        max_dupes = max(max_dupes, check("after kill %d" % round_no))
    # A run takes at most 8192 messages per boss; the rest follow in later runs.
    for i in range(10):
        code = scan()
        if code != 0:
            raise SystemExit("FAIL: final export %d ended with %d" % (i, code))
        dupes = check("final run %d" % i)
    unsent = 0
    for base in ["netmail"] + [a.lower() for a in AREAS]:
        unsent += sum(1 for h in jamread.read_base(os.path.join(msg, base))["headers"]
                      if not h["Attribute"] & SENT)
    if unsent:
        raise SystemExit("FAIL: %d messages still unsent after a complete run" % unsent)
    print("%d messages, %d kills landed in a run (of 30), duplicates at most %d after a kill, "
          "%d in the end; runs took %.3f to %.3f s" % (len(written), kills, max_dupes, dupes,
                                                    min(durations), max(durations)))
    subprocess.run(["rm", "-rf", tmp])
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
