"""wrenpost polls a real binkd: plain and CRAM-MD5 logins, files both ways
(empty, 100 MB, names that need escaping), every flow-file prefix settled.

argv[1] = wrenpost binary, argv[2] = build directory.
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from binkd_boss import BINKD, Boss, Checker, Point, read, scratch, write  # noqa: E402
from skipcode import skip  # noqa: E402

BIG = 100 * 1024 * 1024


def big_payload(rng_start):
    block = bytes((i * rng_start + 17) % 251 for i in range(65536))
    return block * (BIG // len(block))


def main():
    if BINKD is None:
        return skip("binkd is not installed")
    c = Checker()
    root = scratch()
    try:
        session_cram(root, sys.argv[1], c)
        session_plain(root, sys.argv[1], c)
        session_resumed(root, sys.argv[1], c)
        session_skipped(root, sys.argv[1], c)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 1 if c.failures else 0


def session_cram(root, wrenpost, c):
    """CRAM-MD5 login; the point's flow files with every prefix and a
    netmail packet, the boss's files including an empty and an escaped one."""
    top = os.path.join(root, "cram")
    boss = Boss(top)
    pt = Point(top, wrenpost)
    pt.configure(pt.section(boss.port))
    f = {n: os.path.join(pt.files, n) for n in
         ("trunc.pkt", "del.zip", "keep.txt", "at.txt", "dash.txt", "my file.txt", "empty.bin")}
    contents = {"trunc.pkt": b"T" * 1000, "del.zip": b"D" * 5000, "keep.txt": b"keep",
                "at.txt": b"at", "dash.txt": b"dash", "my file.txt": b"spaced name",
                "empty.bin": b""}
    for n, p in f.items():
        write(p, contents[n])
    missing = os.path.join(pt.files, "missing.txt")
    write(pt.flo(), ("#%s\r\n^%s\r\n%s\r\n@%s\r\n-%s\r\n^%s\r\n~%s\r\n!%s\r\n^%s\r\n" % (
        f["trunc.pkt"], f["del.zip"], f["keep.txt"], f["at.txt"], f["dash.txt"],
        f["my file.txt"], f["keep.txt"], f["keep.txt"], missing)).encode())
    hlo = os.path.join(pt.out, "00f00001.hlo")
    write(hlo, ("^%s\n" % f["empty.bin"]).encode())
    write(os.path.join(pt.out, "00f00001.out"), b"netmail packet")

    # The boss's files for the point.
    base = boss.point_dir()
    bf = {"to point.txt": b"hello point", "nothing.dat": b"",
          "bundle.we0": bytes(range(256)) * 300}
    lines = []
    for n, data in bf.items():
        p = os.path.join(boss.files, n)
        write(p, data)
        lines.append("^" + p)
    write(base + ".flo", ("\n".join(lines) + "\n").encode())

    boss.start()
    try:
        code, out = pt.poll()
    finally:
        boss.stop()
    c.check(code == 0, "CRAM session ends with 0", out + boss.log())
    c.check("Sending password (CRAM-MD5)" in out, "binkd offers CRAM-MD5 and gets the digest")
    c.check("Login OK (M_OK): secure" in out, "binkd accepts the digest as secure")
    c.check(read(f["trunc.pkt"]) == b"", "# line: file truncated to 0 bytes")
    c.check(not os.path.exists(f["del.zip"]), "^ line: file deleted")
    c.check(not os.path.exists(f["dash.txt"]), "- line: file deleted")
    c.check(read(f["keep.txt"]) == b"keep" and read(f["at.txt"]) == b"at",
            "@ and bare lines: files kept")
    c.check(not os.path.exists(pt.flo()) and not os.path.exists(hlo),
            "flow files fully done are deleted")
    c.check(not os.path.exists(os.path.join(pt.out, "00f00001.out")),
            "netmail packet deleted after M_GOT")
    c.check("File from flow file missing - line ignored: " + missing in out,
            "missing file reported and skipped")
    c.check(not os.path.exists(os.path.join(pt.out, "00f00001.bsy")), "busy file released")
    for n, data in contents.items():
        got = os.path.join(boss.inbound, n)
        c.check(os.path.exists(got) and read(got) == data, "boss received " + n,
                str(os.listdir(boss.inbound)))
    pkts = [n for n in os.listdir(boss.inbound) if n.endswith(".pkt") and len(n) == 12
            and n != "trunc.pkt"]
    c.check(len(pkts) == 1 and read(os.path.join(boss.inbound, pkts[0])) == b"netmail packet",
            "netmail packet arrives under an 8-hex-digit .pkt name", str(pkts))
    for n, data in bf.items():
        got = os.path.join(pt.inbound, n)
        c.check(os.path.exists(got) and read(got) == data, "point received " + n,
                str(os.listdir(pt.inbound)))
    c.check(not os.path.exists(base + ".flo"), "binkd settled its own flow file")
    c.check("Session finished. Files received: 3, sent: 8" in out, "final counts", out)


def session_plain(root, wrenpost, c):
    """Plain-text login (binkd without CRAM); 100 MB each way."""
    top = os.path.join(root, "plain")
    boss = Boss(top, cram=False)
    pt = Point(top, wrenpost)
    pt.configure(pt.section(boss.port))
    up = big_payload(7)
    down = big_payload(11)
    src = os.path.join(pt.files, "big.up")
    write(src, up)
    write(pt.flo(), ("^%s\n" % src).encode())
    bsrc = os.path.join(boss.files, "big.down")
    write(bsrc, down)
    write(boss.point_dir() + ".flo", ("^%s\n" % bsrc).encode())
    boss.start()
    try:
        code, out = pt.poll()
    finally:
        boss.stop()
    c.check(code == 0, "plain session ends with 0", out + boss.log())
    c.check("Sending password (plain text)" in out, "plain password without a challenge")
    got = os.path.join(boss.inbound, "big.up")
    c.check(os.path.exists(got) and read(got) == up, "100 MB point -> boss intact")
    got = os.path.join(pt.inbound, "big.down")
    c.check(os.path.exists(got) and read(got) == down, "100 MB boss -> point intact")
    c.check(not os.path.exists(src) and not os.path.exists(pt.flo()), "sent file settled")
    c.check(not [n for n in os.listdir(pt.inbound) if n.endswith(".wpt")],
            "no temporary file left")


def session_resumed(root, wrenpost, c):
    """A call cut in the middle of a file leaves binkd holding part of it; on
    the next call binkd asks for the rest with M_GET and must get it."""
    top = os.path.join(root, "resumed")
    boss = Boss(top)
    pt = Point(top, wrenpost)
    pt.configure(pt.section(boss.port))
    data = big_payload(5)
    src = os.path.join(pt.files, "cut.bin")
    write(src, data)
    write(pt.flo(), ("^%s\n" % src).encode())
    boss.start()
    try:
        env = dict(os.environ, WRENPOST_NET_TIMEOUT="20000")
        p = subprocess.Popen([wrenpost, "-c", pt.cfg, "poll"], stdout=subprocess.DEVNULL, env=env)
        tmp = os.path.join(boss.root, "tmp")
        deadline = time.time() + 20
        while time.time() < deadline and not any(
                os.path.getsize(os.path.join(tmp, n)) > (1 << 20) for n in os.listdir(tmp)):
            time.sleep(0.01)
        p.kill()
        p.wait()
        partial = max([os.path.getsize(os.path.join(tmp, n)) for n in os.listdir(tmp)] + [0])
        c.check(0 < partial < len(data), "binkd holds a part of the cut file (%d bytes)" % partial)
        # The killed point left its busy file behind; its process is gone, so
        # the next run takes the lock over at once.
        deadline = time.time() + 10
        code, out = pt.poll()
        while code == 4 and "Remote busy" in out and time.time() < deadline:
            time.sleep(0.2)  # binkd has not noticed the cut yet
            code, out = pt.poll()
    finally:
        boss.stop()
    c.check(code == 0, "the next call ends with 0", out + boss.log())
    c.check("Removed stale BSO lock" in out, "stale busy file of the killed run removed")
    c.check("Remote requests the file again (M_GET): cut.bin" in out, "binkd asked for the rest")
    got = os.path.join(boss.inbound, "cut.bin")
    c.check(os.path.exists(got) and read(got) == data, "the resumed file arrives intact")
    c.check(not os.path.exists(src) and not os.path.exists(pt.flo()), "and is settled")


def session_skipped(root, wrenpost, c):
    """binkd's skip rules answer M_FILE at once, before the data: a
    destructive skip with M_GOT (the echomail bundle's "#" line is settled and
    the bundle truncated while the point was sending it), a plain one with
    M_SKIP (file and line stay). Sending stops there and the session ends
    with 0; the files after them go as usual."""
    top = os.path.join(root, "skipped")
    boss = Boss(top)
    with open(boss.cfg, "a") as f:
        f.write("skip all !0 *.mo0\nskip all 0 *.tu0\n")
    pt = Point(top, wrenpost)
    pt.configure(pt.section(boss.port))
    bundle = os.path.join(pt.files, "00010002.mo0")
    held = os.path.join(pt.files, "00010002.tu0")
    after = os.path.join(pt.files, "after.pkt")
    write(bundle, big_payload(3))
    write(held, big_payload(13))
    write(after, b"after")
    write(pt.flo(), ("#%s\n^%s\n^%s\n" % (bundle, held, after)).encode())
    boss.start()
    try:
        code, out = pt.poll()
    finally:
        boss.stop()
    c.check(code == 0, "session with skipped files ends with 0", out + boss.log())
    c.check("Acknowledged (M_GOT): 00010002.mo0" in out and os.path.getsize(bundle) == 0,
            "destructive skip: bundle confirmed and truncated", out)
    c.check("Remote skips file (M_SKIP): 00010002.tu0" in out
            and os.path.getsize(held) == len(big_payload(13)), "plain skip: file kept", out)
    c.check("ERROR" not in out, "no error reported", out)
    got = os.path.join(boss.inbound, "after.pkt")
    c.check(os.path.exists(got) and read(got) == b"after" and not os.path.exists(after),
            "the file after them is delivered and settled")
    flow = read(pt.flo()) if os.path.exists(pt.flo()) else b""
    c.check(flow == ("~%s\n^%s\n~%s\n" % (bundle, held, after)).encode(),
            "only the skipped line stays open", flow.decode(errors="replace"))


if __name__ == "__main__":
    sys.exit(main())
