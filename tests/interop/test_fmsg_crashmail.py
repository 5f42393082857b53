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
3. The same packets tossed by crashmail into its *.MSG areas and by
   wrenpost into *.MSG areas configured with "msg:" (netmail, bad area, two
   echo areas) give the same messages: names, addresses, subject, date,
   body, kludges, SEEN-BY and PATH, but for the differences listed in
   LEGIT_DIFFERENCES.

argv[1] = wrenpost binary, argv[2] = build directory. Exit code 77
when crashmail or crashwrite is not installed.
"""

import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftnpkt  # noqa: E402
from skipcode import skip  # noqa: E402

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


# What may differ between crashmail's and wrenpost's toss of one packet into
# *.MSG areas, and why:
LEGIT_DIFFERENCES = {
    # Echomail that came without SEEN-BY gets one naming the sender from
    # crashmail; wrenpost files the lines a message carries, and none when it
    # carries none (checked: equal where the packet had SEEN-BY lines).
    "SEEN-BY of a message that came without one",
    # crashmail leaves the header's addresses of echomail at 0 (its readers
    # take the origin from the MSGID); wrenpost writes the packet's origin.
    # Only echomail without a MSGID shows it.
    "origin of echomail without a MSGID",
    # crashmail sets Sent on the echomail it tosses; wrenpost marks nothing
    # (its export takes only local messages). Attributes are not compared.
    "attributes",
}


def write_packet(path, msgs):
    """A type-2+ packet from the boss to the point (published layout):
    msgs = [(from, to, subject, date, text bytes)]."""
    bz, bn, bnode = 2, 200, 100
    h = bytearray(58)
    struct.pack_into("<HH", h, 0, bnode, 108)
    struct.pack_into("<H", h, 4, 2026)
    struct.pack_into("<H", h, 18, 2)
    struct.pack_into("<HH", h, 20, bn, 200)
    struct.pack_into("<HH", h, 34, bz, 2)
    struct.pack_into("<HH", h, 40, 0x0100, 0x0001)
    struct.pack_into("<HHHH", h, 46, bz, 2, 0, 7)
    out = bytes(h)
    for frm, to, subj, date, text in msgs:
        out += struct.pack("<7H", 2, bnode, 108, bn, 200, 0, 0)
        out += date + b"\0" + to + b"\0" + frm + b"\0" + subj + b"\0" + text + b"\0"
    with open(path, "wb") as f:
        f.write(out + b"\0\0")


def toss_compare_part(tool, wrenpost, tmp):
    corpus = os.path.join(tmp, "corpus3")
    os.makedirs(corpus)
    sent = [("Boss Sysop", "Point Sysop", "Netmail one", None, b"To the point.\n"),
            ("Carl Echo", "All", "Echo one", "TEST", b"First echo.\n\nWith a blank line.\n"),
            ("Dora Echo", "Carl Echo", "Echo two", "TEST", b"Second echo \x84\x94.\n"),
            ("Eve Other", "All", "Other one", "OTHER", b"In the other area.\n")]
    for n, (frm, to, subj, area, text) in enumerate(sent):
        txt = os.path.join(tmp, "c%d.txt" % n)
        with open(txt, "wb") as f:
            f.write(text)
        args = ["crashwrite", "DIR", corpus, "FROMNAME", frm, "FROMADDR", BOSS, "TONAME", to,
                "TOADDR", POINT, "SUBJECT", subj, "TEXT", txt]
        if area:
            args += ["AREA", area, "ORIGIN", "Boss origin"]
        subprocess.run(args, capture_output=True, check=True)
    # Echomail with SEEN-BY, PATH and more kludges, and one without a MSGID.
    date = b"05 Dec 26  04:23:00"
    tail = b"--- x\r * Origin: Boss (2:200/100)\rSEEN-BY: 200/100 108\r\x01PATH: 200/100\r"
    write_packet(os.path.join(corpus, "0000abcd.pkt"), [
        (b"Fred Kludge", b"All", b"With kludges", date,
         b"AREA:TEST\r\x01MSGID: 2:200/100 abcd0001\r\x01REPLY: 2:200/1 1234\r"
         b"\x01PID: Hand 1\r\x01TZUTC: 0100\rKludges and trail.\r" + tail),
        (b"Gina Plain", b"All", b"No msgid", date, b"AREA:OTHER\rNothing but text.\r" + tail),
    ])
    sent += [None, None]
    # crashmail
    cm = os.path.join(tmp, "cm")
    p = prefs(cm, ["TEST", "OTHER"])
    for name in os.listdir(corpus):
        shutil.copy(os.path.join(corpus, name), os.path.join(cm, "in"))
    crashmail(p, cm, "TOSS", "NOSECURITY")
    # wrenpost, every base a *.MSG directory
    wp = os.path.join(tmp, "wp")
    for sub in ("in", "out", "msg"):
        os.makedirs(os.path.join(wp, sub))
    for name in os.listdir(corpus):
        shutil.copy(os.path.join(corpus, name), os.path.join(wp, "in"))
    cfg = os.path.join(wp, "wrenpost.cfg")
    with open(cfg, "w") as f:
        f.write("address = %s\nboss_host = 127.0.0.1\nboss_address = %s\ninbound = in\n"
                "outbound = out\nnetmail = msg:msg/netmail\nbadarea = msg:msg/bad\n"
                "dupearea = msg:msg/dupes\nautocreate = no\n"
                "echoarea = TEST msg:msg/test\nechoarea = OTHER msg:msg/other\n" % (POINT, BOSS))
    r = subprocess.run([wrenpost, "-lang", "en", "-c", cfg, "toss"], capture_output=True, cwd=wp)
    if r.returncode != 0:
        fail("wrenpost toss ended with %d: %r" % (r.returncode, r.stdout[-600:]))
    compared = 0
    for fmt, tag in (("netmsg", "netmail"), ("msg", "test"), ("msg", "other"), ("msg", "bad")):
        theirs = {m["subject"]: m for m in dump(tool, fmt, os.path.join(cm, "msg", tag))}
        ours = {m["subject"]: m for m in dump(tool, fmt, os.path.join(wp, "msg", tag))}
        check("%s subjects" % tag, sorted(ours), sorted(theirs))
        for subj, t in theirs.items():
            o = ours.get(subj)
            if o is None:
                continue
            w = "%s %r" % (tag, subj)
            has_id = any(k[0] == "MSGID" for k in o["kludges"])
            for field in ("from", "to", "orig", "dest", "date_written", "text"):
                if field == "orig" and fmt == "msg" and not has_id:
                    check(w + " orig (crashmail's)", t[field], "0:0/0")
                    continue
                check(w + " " + field, o[field], t[field])
            # SEEN-BY only where the packet carried some (LEGIT_DIFFERENCES).
            keep_seen = any(k[0] == "SEEN-BY" for k in o["kludges"])
            kl = lambda m: [k for k in m["kludges"] if keep_seen or k[0] != "SEEN-BY"]  # noqa: E731
            check(w + " kludges", kl(o), kl(t))
            compared += 1
    check("messages compared", compared, len(sent))
    print("toss: wrenpost's *.MSG areas hold what crashmail's do for the same packets "
          "(%d messages; differences allowed: %s)" % (compared, "; ".join(sorted(LEGIT_DIFFERENCES))))


def main():
    build = os.path.abspath(sys.argv[2])
    for prog in ("crashmail", "crashwrite"):
        if not shutil.which(prog):
            return skip("%s is not installed" % prog)
    tool = os.path.join(build, "tests", "mb_tool")
    tmp = tempfile.mkdtemp(prefix="wpfmsg.")
    try:
        toss_part(tool, tmp)
        scan_part(tool, tmp)
        toss_compare_part(tool, os.path.abspath(sys.argv[1]), tmp)
    finally:
        if not FAILS:
            shutil.rmtree(tmp)
        else:
            print("scratch kept in " + tmp)
    print("%d failed checks" % len(FAILS))
    return 1 if FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
