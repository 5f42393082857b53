#!/usr/bin/env python3
"""A toss of 10 000 messages killed with SIGKILL at many random instants.

The inbound holds loose packets and ZIP bundles with 10 000 distinct echomail
messages in three areas, and among them 500 netmail messages without a MSGID
(known to the dupe check by their contents). The toss is started again and
again and killed at a random instant each time, until a run ends by itself;
then the boss delivers every packet a second time and a last toss runs.
Judged with the independent JAM reader: every message is in its echo area
or the netmail area exactly once, and the dupe area holds each redelivered
message exactly once (what a killed run filed is passed over by the re-toss,
not copied): nothing lost, nothing filed twice.

Random: the starting number of the random generator (which decides the mail
and the kill instants) is printed at the start and in every failure message;
set WP_KILL_SEED to it to repeat a run (the instants are then the same
offsets, though the machine's speed decides where in the work they land).
argv[1] = wrenpost binary, argv[2] = build directory.
"""

import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import jamread  # noqa: E402

AREAS = ["FIDO.TEST", "FSX_GEN", "LOCAL.CHAT"]
MESSAGES = 10000
PER_PACKET = 50
PASSWORD = b"SECRET"
DELETED = 0x80000000
TIME_LIMIT = 90  # seconds for all the kills


def packet(msgs):
    """A type-2+ packet from the boss 2:240/1 to the point 2:240/1.7."""
    h = bytearray(58)
    struct.pack_into("<HH", h, 0, 1, 1)
    struct.pack_into("<H", h, 18, 2)
    struct.pack_into("<HH", h, 20, 240, 240)
    h[26:26 + len(PASSWORD)] = PASSWORD
    struct.pack_into("<HH", h, 34, 2, 2)
    struct.pack_into("<HHH", h, 40, 0x0100, 0, 1)
    struct.pack_into("<HHHH", h, 46, 2, 2, 0, 7)
    out = bytes(h)
    for area, msgid in msgs:
        if area is None:
            # Netmail to the point without a MSGID: msgid only names its text.
            text = (b"\x01INTL 2:240/1 2:240/1\r\x01TOPT 7\r" + netmail_text(msgid) + b"\r")
        else:
            text = (b"AREA:" + area.encode() + b"\r\x01MSGID: " + msgid.encode() +
                    b"\rFrom the boss, " + msgid.encode() +
                    b"\r--- boss\r * Origin: boss (2:240/1)\rSEEN-BY: 240/1\r")
        out += (struct.pack("<7H", 2, 1, 1, 240, 240, 0, 0) +
                b"10 Dec 26  10:00:00\0All\0Boss Op\0News\0" + text + b"\0")
    return out + b"\0\0"


def netmail_text(name):
    return b"Netmail without a MSGID, " + name.encode()


def live_msgids(base):
    """MSGID of every live (indexed, not deleted) message of a base, or its
    text for one without a MSGID."""
    ref = jamread.read_base(base)
    out = []
    offsets = {}
    pos = 1024
    for h in ref["headers"]:
        offsets[pos] = h
        pos += 76 + h["SubfieldLen"]
    for rec in ref["index"]:
        h = offsets.get(rec["HdrOffset"])
        if h is None or h["Attribute"] & DELETED:
            continue
        mid = jamread.subfield(h, 4)
        out.append(mid.decode("latin-1") if mid is not None else
                   h["text"].rstrip(b"\r").decode("latin-1"))
    return out


def main():
    wp = os.path.abspath(sys.argv[1])
    seed = int(os.environ.get("WP_KILL_SEED", str(random.SystemRandom().randrange(1 << 30))))
    print("WP_KILL_SEED=%d" % seed, flush=True)
    rng = random.Random(seed)
    tmp = tempfile.mkdtemp(prefix="wptosskill.")
    try:
        run(wp, rng, tmp, seed)
    except AssertionError as e:
        print("FAILED with WP_KILL_SEED=%d (set it to repeat this run): %s" % (seed, e))
        sys.exit(1)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def run(wp, rng, tmp, seed):
    inbound, msg = os.path.join(tmp, "in"), os.path.join(tmp, "msg")
    os.makedirs(inbound)
    os.makedirs(msg)
    cfg = os.path.join(tmp, "wrenpost.cfg")
    with open(cfg, "w") as f:
        f.write("address=2:240/1.7\nboss_host=127.0.0.1\nboss_address=2:240/1\n"
                "pkt_password=SECRET\ninbound=in\noutbound=out\nnetmail=msg/netmail\n"
                "badarea=msg/bad\ndupearea=msg/dupes\ndupedb=wptoss.dup\nautocreate=no\n")
        for a in AREAS:
            f.write("echoarea=%s msg/%s\n" % (a, a.lower().replace(".", "_")))

    # The mail: loose packets and bundles of four packets each.
    want = {}
    msgs = []
    for i in range(MESSAGES):
        if i % 20 == 7:
            name = "%05d" % i
            want[netmail_text(name).decode()] = "NETMAIL"
            msgs.append((None, name))
            continue
        area = AREAS[rng.randrange(len(AREAS))]
        mid = "2:240/1 %08x" % (i * 2654435761 % (1 << 32))
        want[mid] = area
        msgs.append((area, mid))
    packets = [packet(msgs[i:i + PER_PACKET]) for i in range(0, MESSAGES, PER_PACKET)]
    deliveries = []  # (name, bytes) as the boss sends them
    k = 0
    while k < len(packets):
        if rng.random() < 0.5:
            deliveries.append(("%08x.pkt" % k, packets[k]))
            k += 1
        else:
            name = "%08x.th%d" % (k, k % 10)
            path = os.path.join(tmp, "bundle")
            with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
                for j, p in enumerate(packets[k:k + 4]):
                    z.writestr("%08x.pkt" % (k + j), p)
            with open(path, "rb") as f:
                deliveries.append((name, f.read()))
            k += 4

    def deliver():
        for name, data in deliveries:
            with open(os.path.join(inbound, name), "wb") as f:
                f.write(data)

    def toss(kill_after=None):
        p = subprocess.Popen([wp, "-lang", "en", "-c", cfg, "toss"], cwd=tmp,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if kill_after is not None:
            time.sleep(kill_after)
            if p.poll() is None:
                os.kill(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return p.returncode, out.decode("latin-1")

    # How long a whole toss takes here, measured on a copy.
    deliver()
    shutil.copytree(tmp, tmp + ".probe")
    t0 = time.monotonic()
    code, out = subprocess.run([wp, "-lang", "en", "-c", os.path.join(tmp + ".probe",
                                "wrenpost.cfg"), "toss"], cwd=tmp + ".probe",
                               capture_output=True).returncode, ""
    full = time.monotonic() - t0
    shutil.rmtree(tmp + ".probe", ignore_errors=True)
    assert code == 0, "probe toss failed: %d" % code
    print("one whole toss: %.2f s" % full, flush=True)

    kills, start = 0, time.monotonic()
    while True:
        if time.monotonic() - start > TIME_LIMIT:
            code, out = toss()
            break
        # Short runs, so that the kills land at many points of the work.
        code, out = toss(kill_after=rng.uniform(0.0, max(0.02, full / 30)))
        if code == -signal.SIGKILL:
            kills += 1
            continue
        break
    assert code == 0, "toss after %d kills ended with %s:\n%s" % (kills, code, out[-3000:])
    left = [n for n in os.listdir(inbound) if n.endswith(".pkt") or ".th" in n]
    assert not left, "still in the inbound: %s" % left[:10]
    print("kills:", kills, flush=True)

    # The boss delivers everything again.
    deliver()
    code, out = toss()
    assert code == 0, out[-3000:]

    problems = []
    seen = {}
    for a in AREAS + ["NETMAIL"]:
        for mid in live_msgids(os.path.join(msg, a.lower().replace(".", "_"))):
            seen.setdefault(mid, []).append(a)
    for mid, area in want.items():
        got = seen.get(mid, [])
        if got != [area]:
            problems.append("%s: in %s, want once in %s" % (mid, got, area))
    extra = set(seen) - set(want)
    if extra:
        problems.append("unknown messages filed: %s" % sorted(extra)[:5])
    dupes = live_msgids(os.path.join(msg, "dupes"))
    if sorted(dupes) != sorted(want):
        problems.append("dupe area: %d messages, %d distinct, want each of the %d redelivered "
                        "ones once" % (len(dupes), len(set(dupes)), len(want)))
    for base in [a.lower().replace(".", "_") for a in AREAS] + ["netmail", "dupes"]:
        bad = jamread.check(os.path.join(msg, base), allow_orphans=True)
        if bad:
            problems.append("%s: %s" % (base, bad[:3]))
    print("dupe area: %d messages (%d redelivered)" % (len(dupes), MESSAGES), flush=True)
    if problems:
        print("FAILED with WP_KILL_SEED=%s (set it to repeat this run):" % seed,
              "\n".join(problems[:20]))
        print("%d problems" % len(problems))
        sys.exit(1)
    print("ok: %d messages, each once in its area, after %d kills and a redelivery"
          % (MESSAGES, kills))


if __name__ == "__main__":
    main()
