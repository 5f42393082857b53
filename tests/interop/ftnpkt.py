"""A small independent reader of type-2 packets and of the outbound's flow
files, for the interoperability tests (written from the published layouts)."""

import io
import os
import struct
import zipfile


def _cstr(data, pos, limit):
    end = data.index(b"\0", pos)
    if limit is not None and end - pos > limit:
        raise ValueError("field too long at %d" % pos)
    return data[pos:end], end + 1


def read_packet(data):
    """Header fields and the list of messages (dicts) of one packet."""
    if len(data) < 58:
        raise ValueError("short packet")
    (onode, dnode) = struct.unpack_from("<HH", data, 0)
    onet, dnet = struct.unpack_from("<HH", data, 20)
    ozone, dzone = struct.unpack_from("<HH", data, 46)
    opoint, dpoint = struct.unpack_from("<HH", data, 50)
    hdr = {"orig": (ozone, onet, onode, opoint), "dest": (dzone, dnet, dnode, dpoint),
           "password": data[26:34].rstrip(b"\0"), "type": struct.unpack_from("<H", data, 18)[0]}
    msgs = []
    pos = 58
    while True:
        (mtype,) = struct.unpack_from("<H", data, pos)
        if mtype == 0:
            break
        if mtype != 2:
            raise ValueError("message type %d at %d" % (mtype, pos))
        onode, dnode, onet, dnet, attr, cost = struct.unpack_from("<6H", data, pos + 2)
        p = pos + 14
        date, p = _cstr(data, p, 20)
        to, p = _cstr(data, p, 36)
        frm, p = _cstr(data, p, 36)
        subj, p = _cstr(data, p, 72)
        text, p = _cstr(data, p, None)
        lines = text.split(b"\r")
        m = {"orig": (onet, onode), "dest": (dnet, dnode), "attr": attr, "date": date, "to": to,
             "from": frm, "subject": subj, "text": text, "area": None, "msgid": None,
             "seenby": [], "path": []}
        if lines and lines[0].startswith(b"AREA:"):
            m["area"] = lines[0][5:]
        for ln in lines:
            if ln.startswith(b"\x01MSGID: "):
                m["msgid"] = ln[8:]
            elif ln.startswith(b"SEEN-BY: "):
                m["seenby"].append(ln[9:])
            elif ln.startswith(b"\x01PATH: "):
                m["path"].append(ln[7:])
        msgs.append(m)
        pos = p
    return hdr, msgs


def packets_of_file(path):
    """The packets inside a loose packet or a ZIP bundle, as (name, bytes)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"PK":
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            if z.testzip() is not None:
                raise ValueError("bad CRC in " + path)
            return [(i.filename, z.read(i)) for i in z.infolist()]
    return [(os.path.basename(path), data)]


def host_path(path):
    """A path as this machine names it: the Windows program run under Wine
    writes drive paths, and Wine's drive Z: is the root directory."""
    if len(path) > 2 and path[0] in "Zz" and path[1] == ":" and path[2] == "\\":
        return "/" + path[3:].replace("\\", "/")
    return path


def flow_lines(flo_path):
    """(prefix, path) of every line of a flow file, paths as host_path gives them."""
    if not os.path.exists(flo_path):
        return []
    with open(flo_path, "rb") as f:
        raw = f.read().decode("latin-1")
    out = []
    for ln in raw.split("\n"):
        ln = ln.rstrip("\r")
        if not ln:
            continue
        if ln[0] in "#^~-!@":
            out.append((ln[0], host_path(ln[1:])))
        else:
            out.append(("", host_path(ln)))
    return out
