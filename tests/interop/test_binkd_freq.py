"""A file request answered by a real binkd: `wrenpost freq` writes the
request, the next poll sends it, binkd runs its request processor and sends
the answer in a later batch of the same session (binkp/1.1).

argv[1] = wrenpost binary, argv[2] = build directory.
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from binkd_boss import BINKD, Boss, Checker, Point, read, scratch, write  # noqa: E402
from skipcode import skip  # noqa: E402

# The boss's request processor: reads the SRIF file binkd passes (*S), looks
# up each requested name in the file directory beside it and lists the ones
# found in the response list, which binkd then sends.
PROCESSOR = r'''import os, sys
srif = {}
with open(sys.argv[1], errors="replace") as f:
    for line in f:
        k, _, v = line.strip().partition(" ")
        srif[k.lower()] = v.strip()
files = os.path.join(os.path.dirname(os.path.abspath(__file__)), "files")
out = []
with open(srif["requestlist"], errors="replace") as f:
    for line in f:
        words = line.split()
        if words and os.path.isfile(os.path.join(files, words[0])):
            out.append("+" + os.path.join(files, words[0]))
with open(srif["responselist"], "w") as f:
    f.write("".join(l + "\n" for l in out))
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "freq.log"), "a") as f:
    f.write("request %s -> %d\n" % (srif["requestlist"], len(out)))
'''


def main():
    if BINKD is None:
        return skip("binkd is not installed")
    c = Checker()
    root = scratch()
    try:
        answered(root, sys.argv[1], c)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 1 if c.failures else 0


def answered(root, wrenpost, c):
    top = os.path.join(root, "freq")
    boss = Boss(top)
    proc = os.path.join(boss.root, "freqproc.py")
    write(proc, PROCESSOR.encode())
    with open(boss.cfg, "a") as f:
        f.write('exec "!%s %s *S" *.req\n' % (sys.executable, proc))
    # Two files, one of them across many data frames, and one the boss has
    # not got.
    big = bytes((i * 31 + 7) % 251 for i in range(3 * 1024 * 1024 + 17))
    write(os.path.join(boss.files, "BIGFILE.ZIP"), big)
    write(os.path.join(boss.files, "small.txt"), b"small answer\n")

    pt = Point(top, wrenpost)
    pt.configure(pt.section(boss.port))
    p = subprocess.run([wrenpost, "-lang", "en", "-c", pt.cfg, "freq", "default",
                        "BIGFILE.ZIP", "small.txt", "nosuch.txt"],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    out = p.stdout.decode("latin-1")
    req = os.path.join(pt.out, "00f00001.req")
    c.check(p.returncode == 0 and os.path.isfile(req), "freq writes the request file", out)

    boss.start()
    try:
        code, out = pt.poll()
    finally:
        boss.stop()
    detail = out + boss.log()
    c.check(code == 0, "the poll ends with 0", detail)
    c.check("VER" in out and "binkp/1.1" in out, "binkd announces binkp/1.1", detail)
    c.check("next batch" in out, "the answer comes in a further batch", detail)
    got_big = os.path.join(pt.inbound, "BIGFILE.ZIP")
    got_small = os.path.join(pt.inbound, "small.txt")
    c.check(os.path.isfile(got_big) and read(got_big) == big,
            "the requested large file arrives whole", detail)
    c.check(os.path.isfile(got_small) and read(got_small) == b"small answer\n",
            "the requested small file arrives whole", detail)
    c.check(not os.path.exists(req), "the request file is gone from the outbound", detail)
    c.check(not os.path.exists(os.path.join(pt.inbound, "nosuch.txt")),
            "a name the boss lacks brings nothing")
    leftovers = [n for n in os.listdir(pt.inbound) if n.endswith((".wpt", ".wpn"))]
    c.check(not leftovers, "no temporary file stays in the inbound", str(leftovers))

    # The next poll has nothing to send or to receive and ends after one batch.
    boss.start()
    try:
        code, out = pt.poll()
    finally:
        boss.stop()
    c.check(code == 0 and "next batch" not in out, "an empty poll is one batch",
            out + boss.log())


if __name__ == "__main__":
    sys.exit(main())
