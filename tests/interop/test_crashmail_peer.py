#!/usr/bin/env python3
"""crashmail (Debian package) as an independent tosser beside wrenpost.

1. Toss: a corpus of packets written by crashmail's crashwrite, some loose,
   some in bundles made by Info-ZIP zip and by Python's zipfile, is tossed
   by wrenpost and by crashmail; both sets of JAM bases, read by the
   independent reader, hold the same messages (areas, senders, receivers,
   subjects, texts, MSGIDs).
2. Export: what wrenpost exports (echomail in ZIP bundles and loose packets,
   netmail) is tossed by crashmail as the boss; every message arrives in its
   area with its text, MSGID, SEEN-BY and PATH. wrenpost's own toss reads the
   same files back into the same messages.

argv[1] = wrenpost binary, argv[2] = build directory. With WP_LINUX_BINARY
set (argv[1] then being the Windows program under Wine), the toss is held
against that build's bases too, and that build reads the export back.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftnpkt  # noqa: E402
from crashmail import crashmail_prefs, crashmail_toss  # noqa: E402
import jamread  # noqa: E402
from skipcode import skip  # noqa: E402

FAILS = []
SF_MSGID, SF_SENDER, SF_RECEIVER, SF_SUBJECT, SF_SEENBY, SF_PATH = 4, 2, 3, 6, 2001, 2002


def fail(msg):
    FAILS.append(msg)
    print("FAIL: " + msg)


def body_lines(text):
    """The message body: its lines without kludges, SEEN-BY and PATH lines."""
    out = []
    for ln in text.split(b"\r"):
        if ln.startswith(b"\x01") or ln.startswith(b"SEEN-BY:") or ln.startswith(b"AREA:"):
            continue
        out.append(ln.rstrip(b" "))
    while out and out[-1] == b"":
        out.pop()
    return out


def messages(base):
    """(from, to, subject, msgid, body) of every live message of a base."""
    ref = jamread.read_base(base)
    out = []
    for h in ref["headers"]:
        if h["Attribute"] & 0x80000000:
            continue
        g = lambda lo: jamread.subfield(h, lo) or b""  # noqa: E731
        out.append((g(SF_SENDER), g(SF_RECEIVER), g(SF_SUBJECT), g(SF_MSGID),
                    tuple(body_lines(h["text"]))))
    return sorted(out)


def wrenpost_toss(wp, root, address, boss, areas):
    """Writes a point configuration under root (inbound root/in) and tosses."""
    os.makedirs(os.path.join(root, "msg"), exist_ok=True)
    cfg = os.path.join(root, "wrenpost.cfg")
    with open(cfg, "w") as f:
        f.write("address=%s\nboss_host=127.0.0.1\nboss_address=%s\ninbound=in\n"
                "outbound=out\nnetmail=msg/netmail\nbadarea=msg/bad\ndupearea=msg/dupes\n"
                "autocreate=no\n" % (address, boss))
        for a in areas:
            f.write("echoarea=%s msg/%s\n" % (a, a.lower()))
    return subprocess.run([wp, "-lang", "en", "-c", cfg, "toss"], capture_output=True, text=True,
                          cwd=root)


def deliver(files, inbound):
    """Copies outbound files into an inbound as a mailer would (.out as a .pkt)."""
    for f in files:
        dst = os.path.basename(f)
        if dst.endswith(".out"):
            dst = "00000001.pkt"
        shutil.copy(f, os.path.join(inbound, dst))


def whole_base(base):
    """Every header field, subfield and text of a base's messages, and its
    base header, except what two runs cannot share: the moment of filing (the
    processed and received dates, and the base's creation) and
    the place in the files, which follows the order the system lists the
    inbound in (not the same order on every system)."""
    ref = jamread.read_base(base)
    skip = ("DateProcessed", "DateReceived", "offset", "MessageNumber", "TxtOffset")
    heads = sorted(repr(sorted((k, v) for k, v in h.items() if k not in skip))
                   for h in ref["headers"])
    info = ref["base"] and {k: v for k, v in ref["base"].items() if k != "DateCreated"}
    return info, heads, len(ref["index"]), ref["sizes"]


def toss_part(wp, tmp, linux=None):
    areas = ["TESTAREA", "OTHER.AREA"]
    corpus = os.path.join(tmp, "corpus")
    os.makedirs(corpus)
    for n in range(12):
        txt = os.path.join(tmp, "t%d.txt" % n)
        with open(txt, "wb") as f:
            f.write(b"Message %d written by crashwrite.\nUmlauts \x84\x94\x81 in CP437.\n\nBye.\n" % n)
        args = ["crashwrite", "DIR", corpus, "FROMNAME", "Alice %d" % n, "FROMADDR", "2:200/100",
                "TONAME", "Bob Point", "TOADDR", "2:200/108.7", "SUBJECT", "Subject %d" % n,
                "TEXT", txt]
        if n % 4 != 3:
            args += ["AREA", areas[n % 2], "ORIGIN", "Origin %d" % n]
        subprocess.run(args, capture_output=True, check=True)
    pkts = sorted(os.listdir(corpus))
    inbound = os.path.join(tmp, "inbound")
    os.makedirs(inbound)
    for p in pkts[:4]:
        shutil.copy(os.path.join(corpus, p), inbound)
    subprocess.run(["zip", "-jq", os.path.join(inbound, "00000007.mo0")] +
                   [os.path.join(corpus, p) for p in pkts[4:8]], check=True)
    with zipfile.ZipFile(os.path.join(inbound, "00000007.tu1"), "w", zipfile.ZIP_DEFLATED) as z:
        for p in pkts[8:]:
            z.write(os.path.join(corpus, p), p)

    # wrenpost
    w = os.path.join(tmp, "wp")
    shutil.copytree(inbound, os.path.join(w, "in"))
    r = wrenpost_toss(wp, w, "2:200/108.7", "2:200/100", areas)
    if r.returncode != 0:
        fail("wrenpost toss ended with %d:\n%s" % (r.returncode, r.stdout))
    if "bundles unpacked: 2, broken: 0" not in r.stdout:
        fail("wrenpost did not unpack both bundles:\n" + r.stdout)

    # crashmail
    c = os.path.join(tmp, "cm")
    prefs = crashmail_prefs(c, "2:200/108.7", "2:200/100.0", areas)
    for f in os.listdir(inbound):
        shutil.copy(os.path.join(inbound, f), os.path.join(c, "in"))
    crashmail_toss(prefs, c)

    total = 0
    for base in [a.lower() for a in areas] + ["netmail"]:
        ours = messages(os.path.join(w, "msg", base))
        theirs = messages(os.path.join(c, "msg", base))
        total += len(ours)
        if not ours:
            fail("toss: wrenpost filed nothing into " + base)
        if ours != theirs:
            fail("toss: %s differs:\n ours   %s\n theirs %s" % (base, ours, theirs))
    if total != 12:
        fail("toss: %d messages filed, expected 12" % total)
    print("toss: 12 crashwrite messages (loose, Info-ZIP and zipfile bundles) filed alike")

    # The same corpus through a second build (the Windows program against the
    # Linux one): byte for byte the same bases, read by the independent reader.
    if linux:
        x = os.path.join(tmp, "linux")
        shutil.copytree(inbound, os.path.join(x, "in"))
        r = wrenpost_toss(linux, x, "2:200/108.7", "2:200/100", areas)
        if r.returncode != 0:
            fail("second build's toss ended with %d:\n%s" % (r.returncode, r.stdout))
        for base in [a.lower() for a in areas] + ["netmail", "bad", "dupes"]:
            a = whole_base(os.path.join(w, "msg", base))
            b = whole_base(os.path.join(x, "msg", base))
            if a != b:
                fail("toss: %s differs between the builds:\n %s\n %s" % (base, a, b))
        print("toss: the bases of both builds are the same")


def export_part(wp, build, tmp, linux=None):
    areas = ["FSX_GEN", "FSX_BOT"]
    p = os.path.join(tmp, "point")
    os.makedirs(os.path.join(p, "msg"))
    cfg = os.path.join(p, "wrenpost.cfg")
    with open(cfg, "w") as f:
        f.write("address=21:3/210.7\nboss_host=127.0.0.1\nboss_address=21:3/210\ninbound=in\n"
                "outbound=out\nnetmail=msg/netmail\npack=zip\necho_path=boss\nsystem=My Point\n"
                "badarea=msg/bad\ndupearea=msg/dupes\n")
        for a in areas:
            f.write("echoarea=%s msg/%s\n" % (a, a.lower()))
    tool = os.path.join(build, "tests", "local_msgs")
    subprocess.run([tool, os.path.join(p, "msg", "fsx_gen"), "7", "GEN"], check=True)
    subprocess.run([tool, os.path.join(p, "msg", "fsx_bot"), "5", "BOT"], check=True)
    subprocess.run([tool, os.path.join(p, "msg", "netmail"), "2", "NET", "net", "21:3/210"], check=True)
    originals = {b: messages(os.path.join(p, "msg", b)) for b in ("fsx_gen", "fsx_bot", "netmail")}
    r = subprocess.run([wp, "-lang", "en", "-c", cfg, "scan"], capture_output=True, text=True, cwd=p)
    if r.returncode != 0:
        fail("export ended with %d:\n%s" % (r.returncode, r.stdout))
    out = os.path.join(p, "out")
    files = [f for _, f in ftnpkt.flow_lines(os.path.join(out, "000300d2.flo"))]
    files.append(os.path.join(out, "000300d2.out"))
    for f in files:
        if f.endswith(".pkt") or f.endswith(".out"):
            continue
        if subprocess.run(["unzip", "-tq", f], capture_output=True).returncode != 0:
            fail("unzip -t refuses our bundle " + f)

    # crashmail as the boss.
    c = os.path.join(tmp, "boss")
    prefs = crashmail_prefs(c, "21:3/210", "21:3/210.7", areas)
    deliver(files, os.path.join(c, "in"))
    crashmail_toss(prefs, c)
    for base, prefix in (("fsx_gen", "GEN"), ("fsx_bot", "BOT")):
        ref = jamread.read_base(os.path.join(c, "msg", base))
        got = {}
        for h in ref["headers"]:
            got[jamread.subfield(h, SF_MSGID)] = h
        for i in range(7 if prefix == "GEN" else 5):
            mid = b"21:3/210.7 %s-%d" % (prefix.encode(), i)
            h = got.get(mid)
            if h is None:
                fail("export: crashmail did not file %s in %s" % (mid, base))
                continue
            if not h["text"].startswith(b"Text of %s-%d\r" % (prefix.encode(), i)):
                fail("export: text of %s: %r" % (mid, h["text"][:60]))
            if b" * Origin: My Point (21:3/210.7)" not in h["text"]:
                fail("export: origin line of %s missing" % mid)
            seen = b" ".join(s["data"] for s in h["subfields"] if s["LoID"] == SF_SEENBY)
            path = b" ".join(s["data"] for s in h["subfields"] if s["LoID"] == SF_PATH)
            if b"3/210" not in seen or b"3/210" not in path:
                fail("export: SEEN-BY %r / PATH %r of %s" % (seen, path, mid))
    net = messages(os.path.join(c, "msg", "netmail"))
    if sorted(m[3] for m in net) != [b"21:3/210.7 NET-0", b"21:3/210.7 NET-1"]:
        fail("export: crashmail's netmail holds %s" % [m[3] for m in net])

    # Our own toss reads the same files back.
    q = os.path.join(tmp, "reader")
    os.makedirs(os.path.join(q, "in"))
    deliver(files, os.path.join(q, "in"))
    r = wrenpost_toss(linux or wp, q, "21:3/210", "21:3/210.7", areas)
    if r.returncode != 0:
        fail("reading our export back ended with %d:\n%s" % (r.returncode, r.stdout))
    for base, orig in originals.items():
        back = messages(os.path.join(q, "msg", base))
        strip = lambda ms: sorted((m[0], m[1], m[2], m[3], tuple(  # noqa: E731
            ln for ln in m[4] if not ln.startswith(b"--- ") and not ln.startswith(b" * Origin:")))
            for m in ms)
        if strip(back) != strip(orig):
            fail("export read back: %s differs:\n back %s\n orig %s" % (base, back, orig))
    print("export: 14 messages tossed by crashmail and read back by wrenpost alike")


def main():
    wp, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    # Another build of wrenpost to hold this one against (WP_LINUX_BINARY: the
    # Linux program when wp is the Windows one under Wine).
    linux = os.environ.get("WP_LINUX_BINARY")
    linux = os.path.abspath(linux) if linux else None
    for prog in ("crashmail", "crashwrite", "zip", "unzip"):
        if not shutil.which(prog):
            return skip("%s is not installed" % prog)
    tmp = tempfile.mkdtemp(prefix="wpcm.")
    try:
        toss_part(wp, os.path.join(tmp, "t"), linux)
        export_part(wp, build, os.path.join(tmp, "e"), linux)
    finally:
        if not FAILS:
            shutil.rmtree(tmp)
        else:
            print("scratch kept in " + tmp)
    print("%d passed, %d failed" % (2 - min(2, len(FAILS)), min(2, len(FAILS))))
    return 1 if FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
