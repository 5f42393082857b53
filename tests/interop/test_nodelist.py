#!/usr/bin/env python3
"""The nodelist from the generator's files to `node`, `node -n` and
`nodediff`, through the real program.

1. A generated list and a chain of weekly diffs over the turn of the year,
   applied by `nodediff`, give the list the generator wrote for the last
   week, byte for byte, its CRC checked here independently; one list file
   remains.
2. The next week's diff with one changed byte fails its CRC: exit code 5, a
   log line, the old list unchanged. A diff for another list, and a
   truncated one, change nothing either. The good diff then applies.
3. `node ADDRESS` prints the entry (sysop decoded from CP437, the binkp host
   and port its flags imply); `node -n TEXT` prints exactly the entries whose
   sysop or system name holds TEXT, tab-separated, data on standard output
   and the log on standard error; nothing found ends with 8.
4. The ZIP forms NODELIST.Znn and NODEDIFF.Znn are read (the day from the
   entry inside); the new list is written plain, the archive stays; a
   damaged archive is reported.

argv[1] = wrenpost binary, argv[2] = build directory.
"""

import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import nlgen  # noqa: E402

FAILS = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        FAILS.append(what)


def run(binary, cfg, *args):
    r = subprocess.run([binary, "-lang", "en", "-c", cfg] + list(args), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=120)
    return r.returncode, r.stdout.decode("utf-8"), r.stderr.decode("utf-8", "replace")


def lists_in(d):
    return sorted(n for n in os.listdir(d) if n.startswith("NODELIST."))


def parse(text):
    """(address, fields) of every entry, as the list's reader must see them."""
    out = []
    zone = net = 0
    for raw in text.split(b"\x1a")[0].split(b"\r\n")[1:]:
        if not raw or raw.startswith(b";"):
            continue
        f = raw.decode("cp437").split(",")
        kw, num = f[0], int(f[1])
        if kw == "Zone":
            zone = net = num
            addr = "%d:%d/0" % (zone, net)
        elif kw in ("Region", "Host"):
            net = num
            addr = "%d:%d/0" % (zone, net)
        else:
            addr = "%d:%d/%d" % (zone, net, num)
        out.append((addr, [x.replace("_", " ") for x in f[2:7]] + [",".join(f[7:])]))
    return out


def main():
    binary = os.path.abspath(sys.argv[1])
    tmp = tempfile.mkdtemp(prefix="wp-nodelist-")
    try:
        gen = os.path.join(tmp, "gen")
        # Weekly from December on: the chain crosses the turn of the year.
        expected = nlgen.chain(gen, 600, 7, 11, datetime.date(2025, 12, 5))
        nl = os.path.join(tmp, "nl")
        os.makedirs(nl)
        names = sorted(os.listdir(gen))
        first = [n for n in names if n.startswith("NODELIST.")][0]
        shutil.copy(os.path.join(gen, first), nl)
        diffs = [os.path.basename(p).replace("NODELIST", "NODEDIFF") for p in expected[1:]]
        for d in diffs[:-1]:
            shutil.copy(os.path.join(gen, d), nl)
        cfg = os.path.join(tmp, "wp.cfg")
        with open(cfg, "w") as f:
            f.write("address = 2:240/1.5\ninbound = in\noutbound = out\n"
                    "[boss fido]\nboss_host = 127.0.0.1\nboss_address = 2:240/1\n"
                    "nodelist = nl/NODELIST\n"
                    "[boss other]\naddress = 21:1/100.1\nboss_host = 127.0.0.1\n"
                    "boss_address = 21:1/100\n")

        # 1. The chain.
        code, out, err = run(binary, cfg, "nodediff")
        check(code == 0, "nodediff over six weeks ends with 0 (%d)" % code)
        check(out.count("Nodediff applied: ") == 6, "six diffs applied (log on standard output)")
        last = os.path.basename(expected[-2])
        check(lists_in(nl) == [last], "one list remains, the last week's: %s" % lists_in(nl))
        with open(os.path.join(nl, last), "rb") as f:
            got = f.read()
        with open(expected[-2], "rb") as f:
            want = f.read()
        check(got == want, "the applied list is the generator's byte for byte")
        head, body = got.split(b"\r\n", 1)
        check(int(head.rsplit(b":", 1)[1]) == nlgen.crc16(body.split(b"\x1a")[0]),
              "its CRC is right")

        # 2. Damaged diffs change nothing.
        good = os.path.join(gen, diffs[-1])
        with open(good, "rb") as f:
            diff = f.read()
        target = os.path.join(nl, diffs[-1])
        cases = [
            ("a changed byte (wrong CRC)", diff.replace(b"_BBS,", b"_BBX,", 1),
             "ERROR: CRC of the new nodelist is wrong, old list kept: "),
            ("another list's diff", b";A some other list : 00001" + diff[diff.index(b"\r\n"):],
             "Warning: nodediff is for another list, nothing changed: "),
            ("a truncated diff", diff[:len(diff) // 2],
             "old list kept: "),
        ]
        for what, data, msg in cases:
            with open(target, "wb") as f:
                f.write(data)
            code, out, err = run(binary, cfg, "nodediff", "fido")
            check(code == 5, "%s ends with 5 (%d)" % (what, code))
            check(msg in out, "%s is logged: %r" % (what, msg))
            with open(os.path.join(nl, last), "rb") as f:
                check(f.read() == want and lists_in(nl) == [last], "%s leaves the list" % what)
        shutil.copy(good, target)
        code, out, err = run(binary, cfg, "nodediff", "fido")
        with open(expected[-1], "rb") as f:
            want = f.read()
        final = os.path.basename(expected[-1])
        check(code == 0 and lists_in(nl) == [final], "the good diff then applies")
        with open(os.path.join(nl, final), "rb") as f:
            check(f.read() == want, "and gives the generator's list")

        # 3. node and node -n.
        entries = parse(want)
        pick = next((a, f) for a, f in entries
                    if "IBN:" in f[5] and ":" in f[5].split("IBN:")[1].split(",")[0]
                    and any(ord(c) > 127 for c in f[2]))
        code, out, err = run(binary, cfg, "node", pick[0])
        check(code == 0, "node %s ends with 0" % pick[0])
        lines = dict(line.split(": ", 1) for line in out.splitlines())
        check(lines.get("Address") == pick[0], "the address is printed")
        check(lines.get("Sysop") == pick[1][2], "the sysop in UTF-8 with blanks: %r" %
              lines.get("Sysop"))
        check(lines.get("System") == pick[1][0] and lines.get("Location") == pick[1][1],
              "system and location")
        ibn = pick[1][5].split("IBN:")[1].split(",")[0]
        host, port = ibn.rsplit(":", 1)
        check(lines.get("Binkp") == "%s %s" % (host, port), "binkp host and port: %r" %
              lines.get("Binkp"))
        check("Nodelist read: " in err and "[" not in out, "the log is on standard error")

        # The sysop's first name (it holds a letter beyond ASCII, typed in
        # UTF-8), its ASCII letters in the other case: the case of ASCII
        # letters does not matter, the other letters are compared as they are.
        def alow(t):
            return "".join(c.lower() if c.isascii() else c for c in t)

        word = next(w for w in pick[1][2].split(" ") if any(ord(c) > 127 for c in w))
        typed = "".join(c.swapcase() if c.isascii() else c for c in word)
        code, out, err = run(binary, cfg, "node", "-n", typed)
        want_addrs = sorted(a for a, f in entries
                            if alow(word) in alow(f[2]) or alow(word) in alow(f[0]))
        got_rows = [line.split("\t") for line in out.splitlines()]
        check(code == 0 and sorted(r[0] for r in got_rows) == want_addrs,
              "node -n %s finds exactly the %d entries" % (typed, len(want_addrs)))
        check(all(len(r) == 7 for r in got_rows), "seven tab-separated columns")

        code, out, err = run(binary, cfg, "node", "-n", "no such sysop anywhere")
        check(code == 8 and out == "" and "No entry found: no such sysop anywhere" in err,
              "nothing found ends with 8")
        code, out, err = run(binary, cfg, "node", "2:9999/9999")
        check(code == 8 and "Not in the nodelist: 2:9999/9999" in err, "an unknown node: 8")
        code, out, err = run(binary, cfg, "node", "not-an-address")
        check(code == 1, "a bad address ends with 1")

        # 4. The published ZIP forms: NODELIST.Znn and NODEDIFF.Znn (deflated).
        z = os.path.join(tmp, "z")
        os.makedirs(z)

        def zipped(src, dst):
            name = os.path.basename(src)
            arc = os.path.join(z, dst[:-3] + "Z" + name[-2:])
            with zipfile.ZipFile(arc, "w", zipfile.ZIP_DEFLATED) as zf:
                zf.write(src, name)

        zipped(os.path.join(gen, first), first)
        for d in diffs[:2]:
            zipped(os.path.join(gen, d), d)
        cfg2 = os.path.join(tmp, "wp2.cfg")
        with open(cfg2, "w") as f:
            f.write("address = 2:240/1.5\ninbound = in\noutbound = out\n"
                    "boss_host = 127.0.0.1\nboss_address = 2:240/1\nnodelist = z/NODELIST\n")
        first_entry = parse(open(os.path.join(gen, first), "rb").read())[5]
        code, out, err = run(binary, cfg2, "node", first_entry[0])
        check(code == 0 and ("Sysop: %s\n" % first_entry[1][2]) in out,
              "node reads the list inside NODELIST.Z%s" % first[-2:])
        code, out, err = run(binary, cfg2, "nodediff")
        second = os.path.basename(expected[2])
        check(code == 0 and out.count("Nodediff applied: ") == 2, "two zipped diffs applied")
        with open(expected[2], "rb") as f:
            want2 = f.read()
        check(os.path.exists(os.path.join(z, second)) and
              open(os.path.join(z, second), "rb").read() == want2,
              "the new list %s is written plain and equals the generator's" % second)
        check(os.path.exists(os.path.join(z, "NODELIST.Z" + first[-2:])), "the ZIP stays")
        with open(os.path.join(z, "NODELIST.Z" + first[-2:]), "r+b") as f:
            f.seek(60)
            f.write(b"\xff\xff\xff\xff")
        os.remove(os.path.join(z, second))
        code, out, err = run(binary, cfg2, "node", first_entry[0])
        check(code != 0 and "ERROR: ZIP file without a readable list NAME.nnn: " in err,
              "a damaged ZIP is reported (%d)" % code)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if FAILS:
        print("%d failure(s)" % len(FAILS))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
