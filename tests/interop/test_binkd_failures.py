"""wrenpost against a real binkd when the session cannot succeed: wrong
password (3), busy boss (4), boss without the configured address (5), closed
port (2), and several bosses in one run with the exit-code rule of the poll
command (the code of the last failing boss).

argv[1] = wrenpost binary, argv[2] = build directory.
"""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from binkd_boss import BINKD, Boss, Checker, Point, closed_port, read, scratch, write  # noqa: E402
from skipcode import skip  # noqa: E402


def main():
    if BINKD is None:
        return skip("binkd is not installed")
    c = Checker()
    root = scratch()
    boss = Boss(root)
    try:
        boss.start()
        singles(root, boss, sys.argv[1], c)
        several(root, boss, sys.argv[1], c)
    finally:
        boss.stop()
        shutil.rmtree(root, ignore_errors=True)
    return 1 if c.failures else 0


def singles(root, boss, wrenpost, c):
    pt = Point(root, wrenpost)
    keep = os.path.join(pt.files, "waiting.pkt")
    write(keep, b"must survive")
    flow = "^%s\n" % keep
    write(pt.flo(), flow.encode())

    for cram in ("", "cram = no\n"):
        pt.configure(pt.section(boss.port, password="wrong", extra=cram))
        code, out = pt.poll()
        c.check(code == 3, "wrong password ends with 3 (%s)" % (cram.strip() or "cram"), out)
        c.check("ERROR from remote (M_ERR): " in out, "binkd's M_ERR is reported")

    # Mail waits at binkd for the point; from a boss that is not the
    # configured one, none of it may arrive.
    waiting = boss.point_dir() + ".hut"
    write(waiting, b"mail from a stranger")
    pt.configure(pt.section(boss.port, boss_address="2:240/2"))
    code, out = pt.poll()
    c.check(code == 5, "boss without the configured address ends with 5", out)
    c.check("ERROR: boss address not among the remote addresses: 2:240/2" in out,
            "wrong boss address reported")
    c.check(os.listdir(pt.inbound) == [], "nothing from the wrong boss in the inbound",
            str(os.listdir(pt.inbound)))
    c.check(os.path.exists(waiting), "the wrong boss's mail stays with it")
    os.remove(waiting)

    pt.configure(pt.section(closed_port()))
    code, out = pt.poll()
    c.check(code == 2, "closed port ends with 2", out)
    c.check("ERROR: connection failed to 127.0.0.1" in out, "connect failure reported")

    bsy = boss.point_dir() + ".bsy"
    write(bsy, b"%d\n" % os.getpid())
    pt.configure(pt.section(boss.port))
    code, out = pt.poll()
    os.unlink(bsy)
    c.check(code == 4, "busy boss ends with 4", out)
    c.check("Remote busy (M_BSY): " in out, "binkd's M_BSY is reported")

    c.check(read(keep) == b"must survive" and read(pt.flo()) == flow.encode(),
            "failed sessions leave the outbound untouched")
    c.check(not os.path.exists(os.path.join(pt.out, "00f00001.bsy")), "no busy file left")
    c.check(os.listdir(pt.inbound) == [], "nothing received")
    shutil.rmtree(pt.root)


def several(root, boss, wrenpost, c):
    """Sections are all polled in file order; the result is the code of the
    last one that failed. A second binkd whose outbound for the point is
    locked answers every call with M_BSY."""
    pt = Point(root, wrenpost)
    busyboss = Boss(root, name="busyboss")
    write(busyboss.point_dir() + ".bsy", b"%d\n" % os.getpid())
    busyboss.start()
    good = pt.section(boss.port)
    kinds = {"good": (good, 0), "busy": (pt.section(busyboss.port), 4),
             "down": (pt.section(closed_port()), 2)}
    cases = [(["busy", "good", "down"], 2), (["down", "busy", "good"], 4),
             (["good", "down", "good"], 2), (["good", "good"], 0)]
    try:
        for order, want in cases:
            text = ""
            for i, kind in enumerate(order):
                text += "[boss b%d]\n" % i + kinds[kind][0]
            pt.configure(text)
            code, out = pt.poll("all" if want == 4 else "")
            c.check(code == want, "run %s ends with %d" % (order, want), out)
            c.check(out.count("=== Boss [") == len(order), "every section polled")
            c.check(out.count("Session finished.") == order.count("good"),
                    "good sections finish their session")
    finally:
        busyboss.stop()

    # A section without a required setting is skipped with 1; the next runs.
    pt.configure("[boss a]\nboss_port = 1\nboss_address = 2:240/1\n[boss b]\n" + good)
    code, out = pt.poll()
    c.check("ERROR: required setting missing for this boss: boss_host" in out,
            "missing boss_host reported")
    c.check(code == 1 and "Session finished." in out, "next section still polled, result 1", out)
    code, out = pt.poll("B")
    c.check(code == 0 and out.count("=== Boss [b]") == 1, "poll B finds section b")
    code, out = pt.poll("nosuch")
    c.check(code == 1 and "ERROR: boss section not found: nosuch" in out, "unknown boss gives 1")
    pt.configure(good)
    code, out = pt.poll("x")
    c.check(code == 1 and "ERROR: boss name given, but config has no [boss] sections" in out,
            "boss name without sections gives 1")


if __name__ == "__main__":
    sys.exit(main())
