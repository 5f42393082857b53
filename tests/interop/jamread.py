#!/usr/bin/env python3
"""Independent reader and checker of JAM message bases.

Written from the published JAM layout alone and sharing no code with the
C++ implementation, so that it can judge the bases our code writes and the
bases other programs write. Standard library only.

Layout (all little-endian):
  .jhr  base header (1024 bytes): "JAM\\0", DateCreated, ModCounter,
        ActiveMsgs, PasswordCRC, BaseMsgNum, 1000 reserved bytes; then
        message headers (76 bytes) each followed by SubfieldLen bytes of
        subfields (u16 LoID, u16 HiID, u32 DatLen, data).
  .jdt  message texts at TxtOffset, TxtLen bytes each.
  .jdx  8-byte records (u32 UserCRC, u32 HdrOffset); record i belongs to
        message BaseMsgNum + i; 0xFFFFFFFF/0xFFFFFFFF marks a deleted one.
  .jlr  16-byte last-read records.

Usage:
  jamread.py dump BASE               JSON dump of the base on stdout
  jamread.py check BASE [options]    exit 0 when consistent, else list problems
     --allow-orphans   headers after the last indexed one that carry no
                       index record (an append that died) are tolerated
     --ours            also check the rules of bases our program writes
                       (CRC fields, Revision, HiID 0, PasswordCRC, .jlr)
     --counts          also check that ActiveMsgs counts the live messages
  jamread.py write BASE FROM TO SUBJ MSGID TEXT
                     append one message (the fallback foreign writer; it
                     keeps our conventions so --ours holds for it too)
"""

import json
import os
import struct
import sys

JAM_SIG = b"JAM\x00"
BASE_FIELDS = ("DateCreated", "ModCounter", "ActiveMsgs", "PasswordCRC", "BaseMsgNum")
HDR_FIELDS = (
    "SubfieldLen", "TimesRead", "MSGIDcrc", "REPLYcrc", "ReplyTo", "Reply1st",
    "Replynext", "DateWritten", "DateReceived", "DateProcessed", "MessageNumber",
    "Attribute", "Attribute2", "TxtOffset", "TxtLen", "PasswordCRC", "Cost",
)
DELETED = 0x80000000
LOID_NAMES = {
    0: "OADDRESS", 1: "DADDRESS", 2: "SENDERNAME", 3: "RECEIVERNAME", 4: "MSGID",
    5: "REPLYID", 6: "SUBJECT", 7: "PID", 8: "TRACE", 2000: "FTSKLUDGE",
    2001: "SEENBY2D", 2002: "PATH2D", 2003: "FLAGS", 2004: "TZUTCINFO",
}


def _crc_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    return table


_TABLE = _crc_table()
_FOLD = bytes(b + 0x20 if 0x41 <= b <= 0x5A else b for b in range(256))


def jam_crc(data):
    """CRC-32 of the JAM convention: reflected 0xEDB88320, register from
    0xFFFFFFFF, A-Z folded to a-z, no final inversion."""
    crc = 0xFFFFFFFF
    for b in data.translate(_FOLD):
        crc = (crc >> 8) ^ _TABLE[(crc ^ b) & 0xFF]
    return crc


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def parse_subfields(area):
    subs = []
    pos = 0
    while pos + 8 <= len(area):
        lo, hi, n = struct.unpack_from("<HHI", area, pos)
        data = area[pos + 8: pos + 8 + n]
        subs.append({"LoID": lo, "HiID": hi, "DatLen": n, "data": data})
        pos += 8 + n
    return subs, pos


def parse_header(jhr, off):
    if off + 76 > len(jhr) or jhr[off:off + 4] != JAM_SIG:
        return None
    rev, resw = struct.unpack_from("<HH", jhr, off + 4)
    vals = struct.unpack_from("<17I", jhr, off + 8)
    h = {"offset": off, "Revision": rev, "ReservedWord": resw}
    h.update(zip(HDR_FIELDS, vals))
    return h


def read_base(base):
    """Everything the layout puts in the four files, plus where a walk broke."""
    jhr = _read(base + ".jhr")
    jdx = _read(base + ".jdx")
    jdt = _read(base + ".jdt")
    jlr = _read(base + ".jlr")
    out = {"exists": {e: d is not None for e, d in
                      ((".jhr", jhr), (".jdx", jdx), (".jdt", jdt), (".jlr", jlr))}}
    jhr = jhr or b""
    jdx = jdx or b""
    jdt = jdt or b""
    out["sizes"] = {".jhr": len(jhr), ".jdx": len(jdx), ".jdt": len(jdt),
                    ".jlr": len(jlr) if jlr is not None else -1}
    out["base"] = None
    out["headers"] = []
    out["index"] = []
    out["walk_end"] = 0
    out["walk_broken"] = None
    if len(jhr) >= 1024 and jhr[:4] == JAM_SIG:
        out["base"] = dict(zip(BASE_FIELDS, struct.unpack_from("<5I", jhr, 4)))
        out["base"]["reserved_zero"] = jhr[24:1024] == bytes(1000)
    else:
        return out
    pos = 1024
    while pos < len(jhr):
        h = parse_header(jhr, pos)
        if h is None:
            out["walk_broken"] = "no header at %d" % pos
            break
        end = pos + 76 + h["SubfieldLen"]
        if end > len(jhr):
            out["walk_broken"] = "subfields of header at %d run past the end" % pos
            break
        subs, used = parse_subfields(jhr[pos + 76:end])
        h["subfields_exact"] = used == h["SubfieldLen"]
        h["subfields"] = subs
        t0, tl = h["TxtOffset"], h["TxtLen"]
        h["text_in_file"] = t0 + tl <= len(jdt)
        h["text"] = jdt[t0:t0 + tl]
        out["headers"].append(h)
        pos = end
    out["walk_end"] = pos
    for i in range(len(jdx) // 8):
        crc, off = struct.unpack_from("<II", jdx, i * 8)
        out["index"].append({"i": i, "UserCRC": crc, "HdrOffset": off})
    out["jdx_partial"] = len(jdx) % 8
    if jlr is not None:
        out["lastread"] = [dict(zip(("UserCRC", "UserID", "LastReadMsg", "HighReadMsg"),
                                    struct.unpack_from("<4I", jlr, i * 16)))
                           for i in range(len(jlr) // 16)]
    return out


def subfield(h, lo):
    for s in h["subfields"]:
        if s["LoID"] == lo:
            return s["data"]
    return None


def check(base, allow_orphans=False, ours=False, counts=False):
    """List of problems; empty when the base is consistent."""
    b = read_base(base)
    p = []
    n_jhr = b["sizes"][".jhr"]
    if not b["exists"][".jhr"] or n_jhr == 0:
        return p
    if b["base"] is None:
        return ["base header missing or signature wrong"]
    if b["jdx_partial"]:
        p.append(".jdx has a partial record of %d bytes" % b["jdx_partial"])
    by_off = {h["offset"]: h for h in b["headers"]}
    base_num = b["base"]["BaseMsgNum"]
    indexed = set()
    last_indexed_off = 0
    for r in b["index"]:
        if r["HdrOffset"] == 0xFFFFFFFF:
            continue
        h = by_off.get(r["HdrOffset"])
        if h is None:
            p.append("index record %d points at %d, no header there" % (r["i"], r["HdrOffset"]))
            continue
        if h["MessageNumber"] != base_num + r["i"]:
            p.append("index record %d: header has number %d, expected %d"
                     % (r["i"], h["MessageNumber"], base_num + r["i"]))
        indexed.add(h["offset"])
        last_indexed_off = max(last_indexed_off, h["offset"])
        if ours and h["Attribute"] & DELETED == 0:
            recv = subfield(h, 3)
            if recv is not None and r["UserCRC"] != jam_crc(recv):
                p.append("index record %d: UserCRC 0x%08X, receiver CRC 0x%08X"
                         % (r["i"], r["UserCRC"], jam_crc(recv)))
    # An append killed in the middle of its header write leaves a torn header
    # after every indexed one; the next append cuts it off. Allowed only with
    # allow_orphans, and only there.
    if b["walk_broken"]:
        if not (allow_orphans and b["walk_end"] > last_indexed_off):
            p.append("walk by headers broken: " + b["walk_broken"])
    elif b["walk_end"] != n_jhr:
        p.append("walk by headers ends at %d, file has %d" % (b["walk_end"], n_jhr))
    live = 0
    numbers = {}
    for h in b["headers"]:
        if not h["subfields_exact"]:
            p.append("header at %d: subfields do not fill SubfieldLen" % h["offset"])
        if not h["text_in_file"]:
            p.append("header at %d: text beyond the end of .jdt" % h["offset"])
        deleted = h["Attribute"] & DELETED != 0
        if h["offset"] not in indexed:
            if deleted:
                continue
            if allow_orphans and h["offset"] > last_indexed_off:
                continue
            p.append("header at %d (number %d) has no index record"
                     % (h["offset"], h["MessageNumber"]))
            continue
        if deleted:
            continue
        live += 1
        if h["MessageNumber"] in numbers:
            p.append("number %d used twice" % h["MessageNumber"])
        numbers[h["MessageNumber"]] = h["offset"]
        if ours:
            if h["Revision"] != 1:
                p.append("header at %d: Revision %d" % (h["offset"], h["Revision"]))
            for s in h["subfields"]:
                if s["HiID"] != 0:
                    p.append("header at %d: HiID %d" % (h["offset"], s["HiID"]))
            for lo, field in ((4, "MSGIDcrc"), (5, "REPLYcrc")):
                v = subfield(h, lo)
                want = jam_crc(v) if v is not None else 0xFFFFFFFF
                if h[field] != want:
                    p.append("header at %d: %s 0x%08X, expected 0x%08X"
                             % (h["offset"], field, h[field], want))
            if h["PasswordCRC"] != 0xFFFFFFFF:
                p.append("header at %d: PasswordCRC not 0xFFFFFFFF" % h["offset"])
    if counts and b["base"]["ActiveMsgs"] != live:
        p.append("ActiveMsgs %d, live messages %d" % (b["base"]["ActiveMsgs"], live))
    if ours and not b["exists"][".jlr"]:
        p.append(".jlr missing")
    if b["exists"][".jlr"] and b["sizes"][".jlr"] % 16:
        p.append(".jlr size not a multiple of 16")
    return p


def _jsonable(o):
    if isinstance(o, bytes):
        return o.decode("latin-1")
    if isinstance(o, dict):
        return {k: _jsonable(v) for k, v in o.items()}
    if isinstance(o, list):
        return [_jsonable(v) for v in o]
    return o


def write_message(base, frm, to, subj, msgid, text, now=1700000000):
    """Appends one message the way the layout describes (fallback writer)."""
    jhr = _read(base + ".jhr") or b""
    if not jhr:
        jhr = JAM_SIG + struct.pack("<5I", now, 0, 0, 0xFFFFFFFF, 1) + bytes(1000)
    jdx = _read(base + ".jdx") or b""
    jdt = _read(base + ".jdt") or b""
    mod, active, base_num = struct.unpack_from("<II", jhr, 8) + struct.unpack_from("<I", jhr, 20)
    num = base_num + len(jdx) // 8
    subs = b""
    for lo, v in ((0, b"2:280/5555"), (2, frm), (3, to), (6, subj), (4, msgid)):
        if v:
            subs += struct.pack("<HHI", lo, 0, len(v)) + v
    msgcrc = jam_crc(msgid) if msgid else 0xFFFFFFFF
    hdr = JAM_SIG + struct.pack("<HH17I", 1, 0, len(subs), 0, msgcrc, 0xFFFFFFFF, 0, 0, 0,
                                now, now, now, num, 0x01000000, 0, len(jdt), len(text),
                                0xFFFFFFFF, 0)
    off = len(jhr)
    with open(base + ".jdt", "ab") as f:
        f.write(text)
    with open(base + ".jhr", "wb") as f:
        f.write(jhr + hdr + subs)
    with open(base + ".jdx", "ab") as f:
        f.write(struct.pack("<II", jam_crc(to), off))
    with open(base + ".jhr", "r+b") as f:
        f.seek(8)
        f.write(struct.pack("<II", mod + 1, active + 1))
    open(base + ".jlr", "ab").close()
    return num


def main(argv):
    if len(argv) < 3:
        print(__doc__)
        return 2
    cmd, base = argv[1], argv[2]
    if cmd == "dump":
        print(json.dumps(_jsonable(read_base(base)), indent=1, sort_keys=True))
        return 0
    if cmd == "check":
        probs = check(base, "--allow-orphans" in argv, "--ours" in argv, "--counts" in argv)
        for s in probs:
            print(s)
        return 1 if probs else 0
    if cmd == "write" and len(argv) == 8:
        enc = [a.encode("latin-1") for a in argv[3:8]]
        print(write_message(base, *enc[:4], enc[4].replace(b"\\r", b"\r")))
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
