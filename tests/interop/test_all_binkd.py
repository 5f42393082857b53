"""`wrenpost all` end to end against a real binkd boss.

1. A point with a local echomail and an AreaFix request, and a boss holding
   a ZIP bundle of echomail for the point: all three steps succeed, the
   point's packets arrive in binkd's inbound and crashmail (as the boss's
   tosser) files them; the boss's bundle is tossed into our bases.
2. The exit code is the highest of the three steps: a busy outbound (4), a
   refused login (3), a locked JAM base (6).

argv[1] = wrenpost binary, argv[2] = build directory.
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ftnpkt  # noqa: E402
from crashmail import crashmail_prefs, crashmail_toss  # noqa: E402
import jamread  # noqa: E402
from binkd_boss import BINKD, Boss, Checker, Point, scratch, write  # noqa: E402
from skipcode import skip  # noqa: E402


def packet_for_point(msgid):
    """A type-2+ packet from the boss 2:240/1 to the point 2:240/1.7."""
    h = bytearray(58)
    struct.pack_into("<HH", h, 0, 1, 1)
    struct.pack_into("<H", h, 18, 2)
    struct.pack_into("<HH", h, 20, 240, 240)
    struct.pack_into("<HH", h, 34, 2, 2)
    struct.pack_into("<HHH", h, 40, 0x0100, 0, 1)
    struct.pack_into("<HHHH", h, 46, 2, 2, 0, 7)
    text = (b"AREA:FIDO.TEST\r\x01MSGID: 2:240/1 " + msgid + b"\rFrom the boss\r"
            b"--- boss\r * Origin: boss (2:240/1)\rSEEN-BY: 240/1\r")
    m = struct.pack("<7H", 2, 1, 1, 240, 240, 0, 0) + b"10 Dec 26  10:00:00\0All\0Boss Op\0News\0"
    return bytes(h) + m + text + b"\0\0\0"


def all_run(pt, timeout_ms=20000, extra=()):
    env = dict(os.environ, WRENPOST_NET_TIMEOUT=str(timeout_ms))
    p = subprocess.run([pt.wrenpost, "-lang", "en", "-c", pt.cfg, *extra, "all"],
                       stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, env=env, cwd=pt.root, timeout=300)
    return p.returncode, p.stdout.decode("latin-1")


def configure(pt, boss, password="secret"):
    pt.configure(pt.section(boss.port, password=password) +
                 "netmail = msg/netmail\nbadarea = msg/bad\ndupearea = msg/dupes\npack = zip\n"
                 "areafix_password = afpw\necho_path = boss\nechoarea = FIDO.TEST msg/fidotest\n")


def main():
    if BINKD is None:
        return skip("binkd is not installed")
    wrenpost, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    c = Checker()
    root = scratch()
    boss = Boss(root)
    try:
        boss.start()
        pt = Point(root, wrenpost)
        os.makedirs(os.path.join(pt.root, "msg"))
        configure(pt, boss)
        text = os.path.join(root, "text.txt")
        write(text, b"Hello from the point\n")
        subprocess.run([os.path.join(build, "tests", "post_local"), "-c", pt.cfg,
                        os.path.join(pt.root, "msg", "fidotest"), "2:240/1.7", "Jo Point", "All",
                        "Point news", text], check=True, stdout=subprocess.DEVNULL)
        r = subprocess.run([wrenpost, "-lang", "en", "-c", pt.cfg, "areafix", "", "%LIST;+FIDO.NEW"],
                           stdout=subprocess.PIPE, text=True, cwd=pt.root)
        c.check(r.returncode == 0, "areafix request written", r.stdout)
        bundle = boss.point_dir() + ".we0"
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("6b000001.pkt", packet_for_point(b"00000001"))
        write(bundle, buf.getvalue())
        write(boss.point_dir() + ".flo", ("#%s\r\n" % bundle).encode())

        code, out = all_run(pt)
        c.check(code == 0, "all ends with 0 when every step succeeds", out)
        for step in ("--- Export (scan) ---", "--- Poll ---", "--- Toss ---"):
            c.check(step in out, "step " + step, out)
        got = {m["subject"] for m in (
            msg for f in os.listdir(boss.inbound)
            for _, data in ftnpkt.packets_of_file(os.path.join(boss.inbound, f))
            for msg in ftnpkt.read_packet(data)[1])}
        c.check(got == {b"Point news", b"afpw"}, "echomail and AreaFix request reached binkd: %s" % got)
        ours = jamread.read_base(os.path.join(pt.root, "msg", "fidotest"))
        subjects = [jamread.subfield(h, 6) for h in ours["headers"]]
        c.check(b"News" in subjects, "the boss's bundle was tossed into FIDO.TEST: %s" % subjects)

        # crashmail as the boss's tosser files what binkd received.
        if shutil.which("crashmail"):
            cm = os.path.join(root, "cm")
            prefs = crashmail_prefs(cm, "2:240/1", "2:240/1.7", ["FIDO.TEST"])
            for f in os.listdir(boss.inbound):
                shutil.copy(os.path.join(boss.inbound, f), os.path.join(cm, "in"))
            crashmail_toss(prefs, cm)
            echo = jamread.read_base(os.path.join(cm, "msg", "fido.test"))["headers"]
            net = jamread.read_base(os.path.join(cm, "msg", "netmail"))["headers"]
            c.check([jamread.subfield(h, 6) for h in echo] == [b"Point news"],
                    "crashmail filed the point's echomail")
            c.check([jamread.subfield(h, 3) for h in net] == [b"AreaFix"],
                    "crashmail filed the AreaFix request as netmail")
            c.check(b"%LIST\r+FIDO.NEW\r" in net[0]["text"] if net else False,
                    "the request's commands arrived")

        # The highest code of the three steps.
        subprocess.run([os.path.join(build, "tests", "post_local"), "-c", pt.cfg,
                        os.path.join(pt.root, "msg", "fidotest"), "2:240/1.7", "Jo Point", "All",
                        "Second", text], check=True, stdout=subprocess.DEVNULL)
        # A busy file naming a live process: this script. The Windows program
        # under Wine (WP_WINE) sees only Windows processes, so to it the pid is
        # a dead holder's and the file is rightly taken over.
        if not os.environ.get("WP_WINE"):
            bsy = os.path.join(pt.out, "00f00001.bsy")
            write(bsy, b"%d\n" % os.getpid())
            code, out = all_run(pt)
            os.remove(bsy)
            c.check(code == 4, "busy outbound: all ends with 4", out)

        configure(pt, boss, password="wrong")
        code, out = all_run(pt)
        c.check(code == 3, "refused login: all ends with 3 (export 0, poll 3, toss 0)", out)
        configure(pt, boss)

        holder = subprocess.Popen([wrenpost, "-c", pt.cfg, "--hold-lock", "40"], cwd=pt.root,
                                  stdout=subprocess.DEVNULL)
        lock = os.path.join(pt.root, "wpjam.lck")
        for _ in range(100):
            if os.path.exists(lock):
                break
            subprocess.run(["sleep", "0.05"])
        code, out = all_run(pt, extra=("--lock-wait", "300"))  # not the program's 10 s, twice
        holder.kill()
        holder.wait()
        c.check(code == 6, "locked bases: all ends with 6 (export 6, poll 0, toss 6)", out)
        c.check(out.count("ERROR: JAM bases locked (editor writing?) - lock file: ") == 2,
                "export and toss both report the lock", out)
    finally:
        boss.stop()
        if not c.failures:
            shutil.rmtree(root, ignore_errors=True)
        else:
            print("scratch kept in " + root)
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
