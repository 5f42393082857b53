#!/usr/bin/env python3
"""Texts in every network's alphabet, from the boss to the point and back.

1. A packet from the boss holds echomail and netmail in CP866, KOI8-R,
   Latin-1, CP850, CP852, CP1250 and UTF-8 (emoji and CJK; one without a
   kludge, one with broken UTF-8), each announced by its CHRS or CODEPAGE
   kludge. wrenpost tosses it; `list` and `read` give every text back in
   UTF-8 exactly as Python's codecs decode the original bytes, and broken
   UTF-8 as replacement characters.
2. Each text read is answered with `post` (and the netmail with `netmail`);
   the export is tossed by crashmail as the boss, whose JAM bases (read by the
   independent reader) hold the texts in the announced set; wrenpost's own
   toss of the same export, read with `read`, gives the same texts again.
3. `post` refuses a body that is not UTF-8 and writes nothing; an unknown
   area and a bad address end with 1.

argv[1] = wrenpost binary, argv[2] = build directory.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftnpkt  # noqa: E402
from crashmail import crashmail_prefs, crashmail_toss  # noqa: E402
import jamread  # noqa: E402
from skipcode import skip  # noqa: E402

FAILS = []
SF_KLUDGE = 2000
BOSS = (2, 5020, 1042, 0)
POINT = (2, 5020, 1042, 7)

# (area, codec as Python names it, kludge line or None, sender, subject, text)
TEXTS = [
    ("RU.TALK", "cp866", "CHRS: CP866 2", "Дмитрий Иванов", "Привет из Москвы",
     "Привет всем!\nЁлки-палки, съешь же ещё этих мягких французских булок.\n"),
    ("RU.KOI", "koi8_r", "CHRS: KOI8-R 2", "Ольга", "Погода",
     "Сегодня холодно: −5 не будет, но ветер сильный.\nДо встречи!\n".replace("−", "-")),
    ("DE.TALK", "latin_1", "CHRS: LATIN-1 2", "Jürgen Müller", "Grüße aus Köln",
     "Schöne Grüße an alle Bären-Fans.\nÄrger gibt es heute nicht, nur Spaß.\n"),
    ("DE.OLD", "cp850", "CHRS: CP850 2", "Björn Weiß", "Übung",
     "Straße, Maß und Fuß: ß bleibt ß. Øre und Æble auch.\n"),
    ("CZ.TALK", "cp852", "CHRS: CP852 2", "Jiří Novák", "Příliš žluťoučký kůň",
     "Příliš žluťoučký kůň úpěl ďábelské ódy.\n"),
    ("CZ.WIN", "cp1250", "CODEPAGE: 1250", "Petr Dvořák", "Čeština",
     "Řeřicha a šťovík: čeština v kódové stránce 1250.\n"),
    ("FSX.GEN", "utf-8", "CHRS: UTF-8 4", "Zoë", "Emoji 😀 and 中文",
     "Wide characters: 中文字 and 日本語, emoji 😀🎉, and Ünïcödé.\n"),
    ("FSX.BARE", "utf-8", None, "Ana", "Sem kludge",
     "Sem kludge, mas UTF-8: ação, coração.\n"),
]
BROKEN = ("FSX.GEN", b"CHRS: UTF-8 4", "Broken", b"valid \xc3\xa9 then \xff\xfe and \xe4\xb8\n")


def fail(msg):
    FAILS.append(msg)
    print("FAIL: " + msg)


def header(orig, dest):
    oz, onet, onode, opt = orig
    dz, dnet, dnode, dpt = dest
    h = bytearray(58)
    struct.pack_into("<HH", h, 0, onode, dnode)
    struct.pack_into("<HHHHHH", h, 4, 2026, 11, 5, 4, 23, 0)
    struct.pack_into("<H", h, 18, 2)
    struct.pack_into("<HH", h, 20, onet, dnet)
    h[24] = 0xFE
    struct.pack_into("<HH", h, 34, oz, dz)
    struct.pack_into("<H", h, 40, 0x0100)
    struct.pack_into("<H", h, 44, 0x0001)
    struct.pack_into("<HHHH", h, 46, oz, dz, opt, dpt)
    return bytes(h)


def message(orig, dest, attr, to, frm, subj, text):
    _, onet, onode, _ = orig
    _, dnet, dnode, _ = dest
    m = struct.pack("<HHHHHHH", 2, onode, dnode, onet, dnet, attr, 0)
    return m + b"05 Dec 26  04:23:00\0" + to + b"\0" + frm + b"\0" + subj + b"\0" + text + b"\0"


def echo_body(area, n, kludge, body):
    k = b"\x01" + kludge + b"\r" if kludge else b""
    return (b"AREA:" + area.encode() + b"\r\x01MSGID: 2:5020/1042 %08x\r" % (0x100 + n) + k +
            body.replace(b"\n", b"\r") + b"--- boss\r * Origin: Boss (2:5020/1042)\r"
            b"SEEN-BY: 5020/1042\r\x01PATH: 5020/1042\r")


def write_config(root, address, boss, areas):
    os.makedirs(os.path.join(root, "msg"), exist_ok=True)
    os.makedirs(os.path.join(root, "in"), exist_ok=True)
    cfg = os.path.join(root, "wrenpost.cfg")
    with open(cfg, "w") as f:
        f.write("address=%s\nboss_host=127.0.0.1\nboss_address=%s\ninbound=in\n"
                "outbound=out\nnetmail=msg/netmail\nbadarea=msg/bad\ndupearea=msg/dupes\n"
                "sysop=Point Sysop\nsystem=Point\nautocreate=no\n" % (address, boss))
        for a in areas:
            f.write("echoarea=%s msg/%s\n" % (a, a.lower().replace(".", "_")))
    return cfg


def wp(binary, cfg, *args, stdin=None):
    r = subprocess.run([binary, "-lang", "en", "-c", cfg] + list(args), input=stdin,
                       capture_output=True, cwd=os.path.dirname(cfg), timeout=120)
    return r


def body_of(read_out):
    """The text part of `read` output: after the first empty line."""
    text = read_out.decode("utf-8")
    return text.split("\n\n", 1)[1] if "\n\n" in text else ""


def content(body):
    """A body without tear and origin lines, as its writer wrote it."""
    return "".join(ln + "\n" for ln in body.split("\n")
                   if ln and not ln.startswith("--- ") and not ln.startswith(" * Origin:"))


def main():
    binary, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    for prog in ("crashmail",):
        if not shutil.which(prog):
            return skip("%s is not installed" % prog)
    tmp = tempfile.mkdtemp(prefix="wpcs.")
    areas = sorted({t[0] for t in TEXTS})
    try:
        # 1. The boss's packet, tossed at the point.
        p = os.path.join(tmp, "point")
        cfg = write_config(p, "2:5020/1042.7", "2:5020/1042", areas)
        msgs = []
        for n, (area, codec, kludge, frm, subj, text) in enumerate(TEXTS):
            msgs.append(message(BOSS, POINT, 0, b"All", frm.encode(codec), subj.encode(codec),
                                echo_body(area, n, kludge.encode() if kludge else None,
                                          text.encode(codec))))
        msgs.append(message(BOSS, POINT, 0, b"All", b"Broken", BROKEN[2].encode(),
                            echo_body(BROKEN[0], 99, BROKEN[1], BROKEN[3])))
        net_text = "Личное письмо в KOI8-R.\n"
        msgs.append(message(BOSS, POINT, 0x0001, "Point Sysop".encode("koi8_r"),
                            "Ольга".encode("koi8_r"), "Лично".encode("koi8_r"),
                            b"\x01INTL 2:5020/1042 2:5020/1042\r\x01TOPT 7\r\x01MSGID: "
                            b"2:5020/1042 00000777\r\x01CHRS: KOI8-R 2\r" +
                            net_text.encode("koi8_r").replace(b"\n", b"\r")))
        with open(os.path.join(p, "in", "00000001.pkt"), "wb") as f:
            f.write(header(BOSS, POINT) + b"".join(msgs) + b"\0\0")
        r = wp(binary, cfg, "toss")
        if r.returncode != 0:
            fail("toss ended with %d: %s" % (r.returncode, r.stdout.decode("latin-1")))

        read_back = {}
        for area in areas:
            r = wp(binary, cfg, "list", area)
            if r.returncode != 0 or b"End, exit code 0" not in r.stderr:
                fail("list %s: %d %r" % (area, r.returncode, r.stderr[-200:]))
            if b"End, exit code" in r.stdout:
                fail("list %s: log lines on standard output" % area)
            rows = [ln.split("\t") for ln in r.stdout.decode("utf-8").splitlines()]
            for row in rows:
                if len(row) != 5:
                    fail("list %s: row %r" % (area, row))
                    continue
                num = row[0]
                rr = wp(binary, cfg, "read", area, num)
                if rr.returncode != 0:
                    fail("read %s %s ended with %d" % (area, num, rr.returncode))
                read_back[(area, row[2], row[4])] = (num, body_of(rr.stdout))
        for area, codec, kludge, frm, subj, text in TEXTS:
            got = read_back.get((area, frm, subj))
            if got is None:
                fail("%s (%s): not listed as %r / %r; listed %r" %
                     (area, codec, frm, subj, [k for k in read_back if k[0] == area]))
                continue
            if content(got[1]) != text:
                fail("%s (%s): read gives %r, wrote %r" % (area, codec, got[1], text))
        broken = read_back.get((BROKEN[0], "Broken", BROKEN[2]))
        want = BROKEN[3].decode("utf-8", errors="replace")
        if broken is None or content(broken[1]) != want:
            fail("broken UTF-8: read gives %r, want %r" % (broken and broken[1], want))
        rk = wp(binary, cfg, "read", "-k", "RU.TALK", read_back[("RU.TALK", TEXTS[0][3],
                                                                 TEXTS[0][4])][0])
        kl = rk.stdout.decode("utf-8")
        if "@CHRS: CP866 2\n" not in kl or "SEEN-BY: 5020/1042\n" not in kl:
            fail("read -k shows no kludges: %r" % kl[:300])
        rn = wp(binary, cfg, "list", "NETMAIL")
        nrows = [ln.split("\t") for ln in rn.stdout.decode("utf-8").splitlines()]
        if len(nrows) != 1 or nrows[0][2] != "Ольга":
            fail("list NETMAIL: %r" % nrows)
        else:
            rr = wp(binary, cfg, "read", "netmail", nrows[0][0])
            out = rr.stdout.decode("utf-8")
            if not out.startswith("From: Ольга <2:5020/1042>\nTo: Point Sysop <2:5020/1042.7>\n") \
                    or content(body_of(rr.stdout)) != net_text:
                fail("read netmail: %r" % out)
        print("toss, list, read: %d texts in 7 sets decoded" % len(TEXTS))

        # 3. Refusals write nothing.
        before = {f: os.path.getsize(os.path.join(p, "msg", f)) for f in os.listdir(
            os.path.join(p, "msg"))}
        r = wp(binary, cfg, "post", "RU.TALK", "All", "x", stdin=b"ok \xff not utf-8\n")
        if r.returncode != 1 or b"not valid UTF-8" not in r.stderr:
            fail("post of invalid UTF-8: %d %r" % (r.returncode, r.stderr))
        if wp(binary, cfg, "post", "NO.SUCH", "All", "x", stdin=b"x").returncode != 1:
            fail("post into an unknown area does not end with 1")
        if wp(binary, cfg, "netmail", "2:5020", "Ivan", "x", stdin=b"x").returncode != 1:
            fail("netmail to a bad address does not end with 1")
        if wp(binary, cfg, "read", "NO.SUCH", "1").returncode != 1:
            fail("read of an unknown area does not end with 1")
        after = {f: os.path.getsize(os.path.join(p, "msg", f)) for f in os.listdir(
            os.path.join(p, "msg"))}
        if before != after:
            fail("a refused post changed the bases: %r -> %r" % (before, after))

        # 2. Answers: post each text back (from a file and from standard input).
        for i, (area, codec, kludge, frm, subj, text) in enumerate(TEXTS):
            reply = "Re: " + subj
            body = "%s wrote:\n%s" % (frm, text)
            if i % 2:
                r = wp(binary, cfg, "post", area, frm, reply, stdin=body.encode("utf-8"))
            else:
                path = os.path.join(tmp, "body%d.txt" % i)
                with open(path, "wb") as f:
                    f.write(body.encode("utf-8"))
                r = wp(binary, cfg, "post", area, frm, reply, path)
            if r.returncode != 0:
                fail("post %s: %d %r" % (area, r.returncode, r.stderr[-300:]))
        r = wp(binary, cfg, "netmail", "2:5020/1042", "Ольга", "Ответ",
               stdin="Спасибо, 中文 😀\n".encode("utf-8"))
        if r.returncode != 0:
            fail("netmail: %d %r" % (r.returncode, r.stderr[-300:]))
        r = wp(binary, cfg, "scan")
        if r.returncode != 0:
            fail("export ended with %d: %r" % (r.returncode, r.stdout[-400:]))
        out = os.path.join(p, "out")
        files = [os.path.join(out, f) for f in os.listdir(out)
                 if f.endswith(".out") or f.endswith(".pkt")]
        flo = [f for f in os.listdir(out) if f.endswith(".flo")]
        for fl in flo:
            files += [f for _, f in ftnpkt.flow_lines(os.path.join(out, fl))]

        # crashmail as the boss.
        c = os.path.join(tmp, "boss")
        prefs = crashmail_prefs(c, "2:5020/1042", "2:5020/1042.7", areas)
        for f in files:
            dst = os.path.basename(f)
            shutil.copy(f, os.path.join(c, "in", "00000001.pkt" if dst.endswith(".out") else dst))
        crashmail_toss(prefs, c)
        for area, codec, kludge, frm, subj, text in TEXTS:
            # Code page 437 when everything fits it, else UTF-8.
            reply, body = "Re: " + subj, "%s wrote:\n%s" % (frm, text)
            try:
                (frm + reply + body).encode("cp437")
                want = ("cp437", b"CHRS: CP437 2")
            except UnicodeEncodeError:
                want = ("utf-8", b"CHRS: UTF-8 4")
            base = os.path.join(c, "msg", area.lower())
            ref = jamread.read_base(base)
            found = False
            for h in ref["headers"]:
                if (jamread.subfield(h, 6) or b"") != reply.encode(want[0]):
                    continue
                found = True
                kl = [s["data"] for s in h["subfields"] if s["LoID"] == SF_KLUDGE]
                if want[1] not in kl:
                    fail("crashmail %s: kludges %r, want %r" % (area, kl, want[1]))
                t = h["text"].decode(want[0]).replace("\r", "\n")
                if body not in t:
                    fail("crashmail %s: text %r" % (area, t))
            if not found:
                fail("crashmail did not file the answer in %s" % area)
        print("export: %d answers tossed by crashmail, each in its announced set" % len(TEXTS))

        # Our own toss of the same files, read with `read`.
        q = os.path.join(tmp, "reader")
        qcfg = write_config(q, "2:5020/1042", "2:5020/1042.7", areas)
        for f in files:
            dst = os.path.basename(f)
            shutil.copy(f, os.path.join(q, "in", "00000001.pkt" if dst.endswith(".out") else dst))
        r = wp(binary, qcfg, "toss")
        if r.returncode != 0:
            fail("toss of the export ended with %d" % r.returncode)
        for area, codec, kludge, frm, subj, text in TEXTS:
            r = wp(binary, qcfg, "list", area)
            rows = [ln.split("\t") for ln in r.stdout.decode("utf-8").splitlines()]
            rows = [row for row in rows if row[4] == "Re: " + subj and row[3] == frm]
            if len(rows) != 1:
                fail("read back %s: listed %r" % (area, r.stdout.decode("utf-8")))
                continue
            rr = wp(binary, qcfg, "read", area, rows[0][0])
            if content(body_of(rr.stdout)) != "%s wrote:\n%s" % (frm, text):
                fail("read back %s: %r" % (area, body_of(rr.stdout)))
        r = wp(binary, qcfg, "list", "NETMAIL")
        rows = [ln.split("\t") for ln in r.stdout.decode("utf-8").splitlines()]
        if not any(row[3] == "Ольга" and row[4] == "Ответ" for row in rows):
            fail("netmail read back: %r" % rows)
        print("read back: the same %d texts after our export and toss" % len(TEXTS))
    finally:
        if not FAILS:
            shutil.rmtree(tmp)
        else:
            print("scratch kept in " + tmp)
    print("%d failed" % len(FAILS))
    return 1 if FAILS else 0


if __name__ == "__main__":
    sys.exit(main())
