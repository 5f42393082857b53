#!/usr/bin/env python3
"""*.MSG areas shared with crashmail (Debian package), driven as a black box.

1. crashmail tosses packets written by crashwrite (a netmail to the point,
   an echomail with CP437 umlauts) into its *.MSG areas; wrenpost's *.MSG
   reader (through the message-base interface, tests/tools/mb_tool) finds
   every field the packets carried: names, subject, date, addresses (INTL,
   FMPT/TOPT), MSGID, SEEN-BY, body bytes.
2. wrenpost's *.MSG writer puts local messages (a netmail from the point,
   echomail in two areas, the first message of an empty area among them)
   into the areas; crashmail's SCAN packs them for the boss; the packet,
   read by the independent reader ftnpkt.py, holds each with its fields and
   text, and crashmail's Sent mark on them reads back through the interface.

argv[1] = wrenpost binary (unused), argv[2] = build directory. Exit code 77
when crashmail or crashwrite is not installed.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftnpkt  # noqa: E402

FAILS = []
POINT, BOSS = "2:200/108.7", "2:200/100"
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def fail(msg):
    FAILS.append(msg)
    print("FAIL: " + msg)


def check(what, got, want):
    if got != want:
        fail("%s: got %r, want %r" % (what, got, want))


def prefs(d, areas):
    """crashmail as the point: *.MSG netmail, bad and echo areas, the boss
    as its one node, every netmail routed to the boss."""
    for sub in ("in", "out", "tmp", "pk", "msg"):
        os.makedirs(os.path.join(d, sub), exist_ok=True)
    lines = ['SYSOP "Point Sysop"', 'LOGFILE "%s/cm.log"' % d, "LOGLEVEL 6",
             'DUPEFILE "%s/dupes" 200' % d, "DUPEMODE IGNORE", 'INBOUND "%s/in"' % d,
             'OUTBOUND "%s/out"' % d, 'TEMPDIR "%s/tmp"' % d, 'CREATEPKTDIR "%s/tmp"' % d,
             'PACKETDIR "%s/pk"' % d, 'STATSFILE "%s/stats"' % d, "IMPORTSEENBY",
             "AKA %s" % POINT, 'DOMAIN "FidoNet"', 'NODE %s.0 "" "" PACKNETMAIL AUTOADD' % BOSS,
             'ROUTE "*:*/*.*" "%s.0" %s' % (BOSS, POINT)]
    for tag, kind in [("NETMAIL", "NETMAIL"), ("BAD", "AREA")] + [(a, "AREA") for a in areas]:
        path = os.path.join(d, "msg", tag.lower())
        os.makedirs(path, exist_ok=True)
        lines.append('%s "%s" %s MSG "%s"' % (kind, tag, POINT, path))
        if tag not in ("NETMAIL", "BAD"):
            lines.append("EXPORT %s.0" % BOSS)
    p = os.path.join(d, "crashmail.prefs")
    with open(p, "w") as f:
        f.write("\n".join(lines) + "\n")
    return p


def crashmail(p, d, *args):
    r = subprocess.run(["crashmail", "SETTINGS", p] + list(args), capture_output=True, cwd=d)
    if r.returncode != 0:
        fail("crashmail %s ended with %d: %r" % (args, r.returncode, r.stdout[-600:]))
    return r


def dump(tool, fmt, path):
    r = subprocess.run([tool, "dump", fmt, path], capture_output=True)
    if r.returncode != 0:
        fail("mb_tool dump %s: %r" % (path, r.stderr))
        return []
    return [json.loads(ln) for ln in r.stdout.decode().splitlines()]


def b(s):
    """A byte string the dump gave as code points 0-255."""
    return s.encode("latin-1")


def date_seconds(text):
    """Seconds of a "DD Mon YY  HH:MM:SS" packet date, counted like the
    program's local wall-clock dates (no time zone)."""
    import calendar
    day, mon, yy, hms = text.split()
    h, m, s = (int(x) for x in hms.split(":"))
    year = 2000 + int(yy) if int(yy) < 80 else 1900 + int(yy)
    return calendar.timegm((year, MONTHS.index(mon) + 1, int(day), h, m, s))


def body(text):
    """The lines of a packed message's text that are neither kludges nor
    AREA, SEEN-BY or PATH lines."""
    return [ln for ln in text.split(b"\r") if not ln.startswith((b"\x01", b"AREA:", b"SEEN-BY:"))]


def toss_part(tool, tmp):
    d = os.path.join(tmp, "toss")
    p = prefs(d, ["TEST"])
    corpus = os.path.join(tmp, "corpus")
    os.makedirs(corpus)
    sent = [("Boss Sysop", "Point Sysop", "Netmail to the point", None,
             b"Netmail body.\nUmlauts \x84\x94\x81 in CP437.\n"),
            ("Carl Echo", "All", "Echo subject", "TEST", b"Echo body line.\n\nLast line.\n")]
    for n, (frm, to, subj, area, text) in enumerate(sent):
        txt = os.path.join(tmp, "t%d.txt" % n)
        with open(txt, "wb") as f:
            f.write(text)
        args = ["crashwrite", "DIR", corpus, "FROMNAME", frm, "FROMADDR", BOSS, "TONAME", to,
                "TOADDR", POINT, "SUBJECT", subj, "TEXT", txt]
        if area:
            args += ["AREA", area, "ORIGIN", "Boss origin"]
        subprocess.run(args, capture_output=True, check=True)
    packed = {}
    for name in sorted(os.listdir(corpus)):
        with open(os.path.join(corpus, name), "rb") as f:
            for m in ftnpkt.read_packet(f.read())[1]:
                packed[m["subject"]] = m
        shutil.copy(os.path.join(corpus, name), os.path.join(d, "in"))
    crashmail(p, d, "TOSS", "NOSECURITY")

    net = dump(tool, "netmsg", os.path.join(d, "msg", "netmail"))
    echo = dump(tool, "msg", os.path.join(d, "msg", "test"))
    check("netmail messages", len(net), 1)
    check("echomail messages", len(echo), 1)
    for got, kind in [(m, "Net") for m in net] + [(m, "Echo") for m in echo]:
        want = packed.get(b(got["subject"]))
        if want is None:
            fail("tossed message with unknown subject %r" % got["subject"])
            continue
        w = "tossed %s" % got["subject"]
        check(w + " from", b(got["from"]), want["from"])
        check(w + " to", b(got["to"]), want["to"])
        check(w + " date", got["date_written"], date_seconds(want["date"].decode()))
        check(w + " kind", kind in got["attrs"], True)
        check(w + " orig", got["orig"], BOSS)
        kl = {k[0]: b(k[2]) for k in got["kludges"]}
        check(w + " MSGID", kl.get("MSGID"), want["msgid"])
        check(w + " body", b(got["text"]).split(b"\r"), body(want["text"]))
        if kind == "Net":
            check(w + " dest (INTL, TOPT)", got["dest"], POINT)
            check(w + " umlauts", b"\x84\x94\x81" in b(got["text"]), True)
        else:
            seen = [b(k[2]) for k in got["kludges"] if k[0] == "SEEN-BY"]
            check(w + " SEEN-BY", bool(seen) and b"200/100" in seen[0], True)
    print("toss: crashmail's *.MSG files read back with every field the packets carried")


def post(tool, fmt, path, **kw):
    args = [tool, "post", fmt, path]
    for k, v in kw.items():
        if k == "kludges":
            args += ["kludge=%s=%s" % kv for kv in v]
        else:
            args.append("%s=%s" % (k, v))
    # Bytes 0-255 as they are (a str argument would go out as UTF-8).
    r = subprocess.run([a.encode("latin-1") for a in args], capture_output=True)
    if r.returncode != 0:
        fail("mb_tool post %s: %r" % (path, r.stderr))
        return 0
    return int(r.stdout)


def scan_part(tool, tmp):
    d = os.path.join(tmp, "scan")
    p = prefs(d, ["TEST", "FRESH"])
    msg = lambda tag: os.path.join(d, "msg", tag)  # noqa: E731
    date = 1704112496  # 01 Jan 24  12:34:56
    ours = [
        ("netmsg", "netmail", "Boss Sysop", "Netmail from the point", None,
         "Hello boss\r\x84 CP437 umlaut\r"),
        ("msg", "test", "All", "Echo from the point", "TEST",
         "Echo text\r--- wrenpost\r * Origin: Point (%s)\r" % POINT),
        ("msg", "fresh", "All", "First of an empty area", "FRESH", "First\r"),
        ("msg", "fresh", "All", "Second of it", "FRESH", "Second\r"),
    ]
    numbers = []
    for n, (fmt, tag, to, subj, area, text) in enumerate(ours):
        kw = dict(to=to, subject=subj, orig=POINT, date=date,
                  kludges=[("MSGID", "%s %08x" % (POINT, n + 1)), ("PID", "wrenpost 0.9"),
                           ("CHRS", "CP437 2")], text=text)
        kw["from"] = "Point Sysop"
        if fmt == "netmsg":
            kw.update(dest=BOSS, attrs="Local,Private")
        else:
            kw.update(attrs="Local")
        numbers.append(post(tool, fmt, msg(tag), **kw))
    check("numbers given", numbers, [2, 2, 2, 3])
    crashmail(p, d, "SCAN")

    packed = {}
    for name in sorted(os.listdir(os.path.join(d, "pk"))):
        for _, data in ftnpkt.packets_of_file(os.path.join(d, "pk", name)):
            hdr, msgs = ftnpkt.read_packet(data)
            check("packet from", hdr["orig"], (2, 200, 108, 7))
            check("packet to", hdr["dest"], (2, 200, 100, 0))
            for m in msgs:
                packed[m["subject"]] = m
    check("messages packed", sorted(packed), sorted(s[3].encode() for s in ours))
    for fmt, tag, to, subj, area, text in ours:
        m = packed.get(subj.encode())
        if m is None:
            continue
        w = "packed %r" % subj
        check(w + " from", m["from"], b"Point Sysop")
        check(w + " to", m["to"], to.encode())
        check(w + " date", m["date"], b"01 Jan 24  12:34:56")
        check(w + " area", m["area"], area.encode() if area else None)
        check(w + " body", body(m["text"])[:len(text.split("\r"))], [b(x) for x in text.split("\r")])
        check(w + " MSGID", m["msgid"] is not None and m["msgid"].startswith(POINT.encode()), True)
        check(w + " CHRS", b"\x01CHRS: CP437 2\r" in m["text"], True)
        if area is None:
            check(w + " INTL", b"\x01INTL 2:200/100 2:200/108\r" in m["text"], True)
            check(w + " FMPT", b"\x01FMPT 7\r" in m["text"], True)
            check(w + " net/node", (m["orig"], m["dest"]), ((200, 108), (200, 100)))
    # crashmail marks what it packed as sent; the mark reads back through
    # the interface, the other attributes as they were.
    for fmt, tag in (("netmsg", "netmail"), ("msg", "test"), ("msg", "fresh")):
        for got in dump(tool, fmt, msg(tag)):
            if got["from"] != "Point Sysop":
                continue
            check("%s #%d sent" % (tag, got["number"]), "Sent" in got["attrs"], True)
            check("%s #%d local" % (tag, got["number"]), "Local" in got["attrs"], True)
    print("scan: crashmail packed every message the *.MSG writer put down, and marked it sent")


def main():
    build = os.path.abspath(sys.argv[2])
    for prog in ("crashmail", "crashwrite"):
        if not shutil.which(prog):
            print("SKIP: %s is not installed" % prog)
            return 77
    tool = os.path.join(build, "tests", "mb_tool")
    tmp = tempfile.mkdtemp(prefix="wpfmsg.")
    try:
        toss_part(tool, tmp)
        scan_part(tool, tmp)
    finally:
        if not FAILS:
            shutil.rmtree(tmp)
        else:
            print("scratch kept in " + tmp)
    print("%d failed checks" % len(FAILS))
    return 1 if FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
