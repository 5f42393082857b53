#!/usr/bin/env python3
"""Generates nodelists and chains of weekly difference files, for tests and
benchmarks (Python standard library only).

A list is CR LF lines in CP437: a first line ending in the CRC-16/XMODEM of
everything after it, comment lines, Zone/Region/Host/Hub/Pvt/Hold/Down and
plain node entries with internet flags (IBN with and without port, INA, IP),
underscores for blanks, and a Ctrl-Z at the end. A chain is a first list and
one NODEDIFF per week after it; each week changes, removes and adds entries,
and the diff is written from the changes themselves (A, C and D commands),
so the list a reader builds from the diffs must equal the generator's byte
for byte.

usage:
  nlgen.py list OUT [--nodes N] [--seed S] [--date YYYY-MM-DD]
  nlgen.py chain DIR [--nodes N] [--weeks W] [--seed S] [--date YYYY-MM-DD] [--base NAME]
      writes DIR/NAME.ddd (the first list), DIR/NODEDIFF.ddd (one per week)
      and DIR/expected/NAME.ddd (every week's list)
"""

import argparse
import datetime
import os
import random
import sys

CTRL_Z = b"\x1a"
FIRST = ["Anna", "Bernd", "Claire", "Dieter", "Eva", "Frank", "Gisela", "Hans", "Ines",
         "Jürgen", "Käthe", "Lars", "Marie", "Nils", "Olga", "Paul", "Ruth", "Sven", "Uwe"]
LAST = ["Adler", "Becker", "Castillo", "Drescher", "Engel", "Fuchs", "Görtz", "Hansen",
        "Ivanov", "Jäger", "Krüger", "Lehmann", "Müller", "Novak", "Olsen", "Peters"]
WORDS = ["Point", "Castle", "River", "Byte", "Harbour", "Mill", "Tower", "Modem", "Echo",
         "Garden", "Signal", "Lantern", "Valley", "Forge", "Station", "Orbit"]
PLACES = ["Berlin", "Hamburg", "München", "Köln", "Wien", "Zürich", "Oslo", "Praha",
          "Madrid", "Lisboa", "Toronto", "Austin", "Sydney", "Auckland", "Tokyo"]


def crc16(data, crc=0):
    """CRC-16/XMODEM: polynomial 0x1021, start 0, no reflection."""
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def _crc_table():
    t = []
    for i in range(256):
        c = i << 8
        for _ in range(8):
            c = ((c << 1) ^ 0x1021) & 0xFFFF if c & 0x8000 else (c << 1) & 0xFFFF
        t.append(c)
    return t


_TABLE = _crc_table()


def crc16_fast(data):
    crc = 0
    t = _TABLE
    for b in data:
        crc = ((crc << 8) & 0xFFFF) ^ t[((crc >> 8) ^ b) & 0xFF]
    return crc


def field(text):
    return text.replace(" ", "_").encode("cp437")


class Entry:
    """One entry line; `uid` tells lines apart across the weeks."""
    _next = 0

    def __init__(self, data):
        Entry._next += 1
        self.uid = Entry._next
        self.data = data  # bytes without CR LF

    def line(self):
        return self.data + b"\r\n"


def node_fields(rng, kw, num, zone, net):
    sysop = rng.choice(FIRST) + " " + rng.choice(LAST)
    system = rng.choice(WORDS) + " " + rng.choice(WORDS) + " BBS"
    place = rng.choice(PLACES) + " " + rng.choice(["Nord", "Süd", "Ost", "West", "Mitte"])
    phone = "-Unpublished-" if rng.random() < 0.6 else "%d-%d-%d" % (
        rng.randint(1, 99), rng.randint(10, 999), rng.randint(100000, 9999999))
    flags = ["CM", "XA"]
    host = "n%d.z%d.example.net" % (num, zone) if net is None else "f%d.n%d.z%d.example.net" % (
        num, net, zone)
    r = rng.random()
    if r < 0.5:
        flags += ["IBN", "INA:" + host]
    elif r < 0.7:
        flags += ["IBN:%s:%d" % (host, rng.choice([24554, 24555, 26000]))]
    elif r < 0.8:
        flags += ["IBN:%d" % rng.choice([24555, 24556]), "IP:" + host]
    elif r < 0.9:
        flags += ["ITN:" + host, "IFC"]
    flags += ["U", "ENC"]
    return b",".join([kw.encode(), str(num).encode(), field(system), field(place), field(sysop),
                      phone.encode(), b"300"] + [f.encode() for f in flags])


def first_line(date, crc):
    return (";A FidoNet Nodelist for %s -- Day number %03d : %05d" % (
        date.strftime("%A, %B %d, %Y"), date.timetuple().tm_yday, crc)).encode()


def make_entries(rng, nodes):
    """The comment lines and entries of a list of about `nodes` entries."""
    lines = [Entry(b";S"), Entry(b";S Generated for the tests of wrenpost."), Entry(b";S")]
    zones = [1, 2, 3, 4]
    per_zone = max(1, nodes // len(zones))
    for zone in zones:
        lines.append(Entry(node_fields(rng, "Zone", zone, zone, None)))
        made = 1
        region = zone * 10
        net = zone * 100
        while made < per_zone:
            lines.append(Entry(node_fields(rng, "Region", region, zone, None)))
            made += 1
            for _ in range(rng.randint(2, 5)):
                net += 1
                lines.append(Entry(node_fields(rng, "Host", net, zone, net)))
                made += 1
                node = 0
                for _ in range(rng.randint(5, 40)):
                    node += rng.randint(1, 3)
                    kw = rng.choice(["", "", "", "", "Hub", "Pvt", "Hold", "Down"])
                    lines.append(Entry(node_fields(rng, kw, node, zone, net)))
                    made += 1
                    if made >= per_zone:
                        break
                if made >= per_zone:
                    break
            region += 1
    return lines


def render(date, entries):
    body = b"".join(e.line() for e in entries)
    return first_line(date, crc16_fast(body)) + b"\r\n" + body + CTRL_Z


def week_change(rng, entries, changes):
    """The next week's entries: some changed, removed, added."""
    out = list(entries)
    for _ in range(changes):
        i = rng.randrange(3, len(out))
        e = out[i]
        kind = rng.random()
        if e.data.startswith((b"Zone", b"Region", b"Host")):
            continue
        if kind < 0.5:
            parts = e.data.split(b",")
            parts[4] = field(rng.choice(FIRST) + " " + rng.choice(LAST))
            out[i] = Entry(b",".join(parts))
        elif kind < 0.75:
            del out[i]
        else:
            parts = e.data.split(b",")
            try:
                num = int(parts[1]) + 1
            except ValueError:
                continue
            nxt = out[i + 1].data.split(b",") if i + 1 < len(out) else None
            if nxt is not None and nxt[0] in (b"", b"Hub", b"Pvt", b"Hold", b"Down") and \
                    int(nxt[1]) <= num:
                continue
            new = node_fields(rng, "", num, 9, 9)
            out.insert(i + 1, Entry(new))
    return out


def make_diff(old_first, old, new_first, new):
    """The A/C/D commands that turn old into new (entries kept in order)."""
    cmds = [old_first + b"\r\n", b"D 1\r\n", b"A 1\r\n", new_first + b"\r\n"]
    old_pos = {e.uid: i for i, e in enumerate(old)}
    i = 0  # next old entry
    j = 0
    while j < len(new):
        e = new[j]
        if e.uid in old_pos:
            k = old_pos[e.uid]
            if k > i:
                cmds.append(b"D %d\r\n" % (k - i))
                i = k
            run = 0
            while j < len(new) and i < len(old) and new[j].uid == old[i].uid:
                run += 1
                i += 1
                j += 1
            cmds.append(b"C %d\r\n" % run)
        else:
            added = []
            while j < len(new) and new[j].uid not in old_pos:
                added.append(new[j].line())
                j += 1
            cmds.append(b"A %d\r\n" % len(added))
            cmds.extend(added)
    if i < len(old):
        cmds.append(b"D %d\r\n" % (len(old) - i))
    return b"".join(cmds)


def chain(outdir, nodes, weeks, seed, start, base="NODELIST"):
    """Writes the first list, the diffs and the expected lists; returns the
    expected lists' paths in order (the first list's own copy first)."""
    rng = random.Random(seed)
    os.makedirs(os.path.join(outdir, "expected"), exist_ok=True)
    entries = make_entries(rng, nodes)
    date = start
    text = render(date, entries)
    day = date.timetuple().tm_yday
    with open(os.path.join(outdir, "%s.%03d" % (base, day)), "wb") as f:
        f.write(text)
    paths = [os.path.join(outdir, "expected", "%s.%03d" % (base, day))]
    with open(paths[0], "wb") as f:
        f.write(text)
    for _ in range(weeks):
        old_first = text.split(b"\r\n", 1)[0]
        new_entries = week_change(rng, entries, max(3, len(entries) // 200))
        date = date + datetime.timedelta(days=7)
        text = render(date, new_entries)
        new_first = text.split(b"\r\n", 1)[0]
        day = date.timetuple().tm_yday
        with open(os.path.join(outdir, "NODEDIFF.%03d" % day), "wb") as f:
            f.write(make_diff(old_first, entries, new_first, new_entries) + CTRL_Z)
        p = os.path.join(outdir, "expected", "%s.%03d" % (base, day))
        with open(p, "wb") as f:
            f.write(text)
        paths.append(p)
        entries = new_entries
    return paths


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("what", choices=["list", "chain"])
    ap.add_argument("out")
    ap.add_argument("--nodes", type=int, default=1000)
    ap.add_argument("--weeks", type=int, default=4)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--date", default="2025-01-03")
    ap.add_argument("--base", default="NODELIST")
    a = ap.parse_args(argv)
    start = datetime.date.fromisoformat(a.date)
    if a.what == "list":
        text = render(start, make_entries(random.Random(a.seed), a.nodes))
        with open(a.out, "wb") as f:
            f.write(text)
    else:
        chain(a.out, a.nodes, a.weeks, a.seed, start, a.base)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
