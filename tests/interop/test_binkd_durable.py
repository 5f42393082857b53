"""Files received from a real binkd are on the disk before their M_GOT.

binkd deletes its copy of a file when M_GOT for it comes, so a crash of the
point's machine right after must not lose the file. wrenpost polls under
strace, and the system calls must show, for every M_GOT sent: the file's data
forced to the disk (fsync/fdatasync of its temporary file after its last
write), then its rename to the final name, then the inbound directory forced
to the disk (so that the new name survives as well), all before the M_GOT
frame goes out. Files: one of several MB (written back in pieces while it
arrives), a small one and an empty one.

argv[1] = wrenpost binary, argv[2] = build directory.
"""
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from binkd_boss import BINKD, Boss, Checker, Point, read, scratch, write  # noqa: E402
from skipcode import skip  # noqa: E402

FILES = {"big.bin": bytes(range(256)) * (5 * 4096 + 7), "small.pkt": b"small packet",
         "empty.dat": b""}

# strace -xx shows every string in hex, file names included; -y adds to
# every descriptor the path it names at the call (in hex too), so that no
# descriptor numbers need following across threads (strace may print one
# thread's close(7) after another thread's openat(...) = 7, the number reused
# in between, and a table of numbers then loses the file).
HEX = r'"((?:\\x[0-9a-f]{2})*)"'
FD = r'(\d+)<((?:\\x[0-9a-f]{2})*)>'
CALL_RE = re.compile(r'^(\d+) +([a-z0-9_]+)\((.*)$')
SYNC_ARGS = re.compile(r'^' + FD + r'\) += (-?\d+)')
WRITE_ARGS = re.compile(r'^' + FD + r', ' + HEX)
WRITEBACK_ARGS = re.compile(r'^' + FD + r',.* = 0$')
RENAME_ARGS = re.compile(r'^(?:[^,]*, )?' + HEX + r', (?:[^,]*, )?' + HEX + r'.* = 0$')
UNFINISHED_RE = re.compile(r'^(\d+) +(.*) <unfinished \.\.\.>$')
RESUMED_RE = re.compile(r'^(\d+) +<\.\.\. \w+ resumed>(.*)$')


def unhex(s):
    return bytes(int(h, 16) for h in s.split("\\x")[1:])


def path(s):
    return unhex(s).decode("latin-1")


def calls(trace):
    """Every call of the trace whole, with the place of its start and of its
    return in the trace (the same for a call that no other thread's line
    interrupted; strace -f prints an interrupted one as "<unfinished ...>"
    where it began and "<... resumed>" where it returned)."""
    pending = {}
    for i, line in enumerate(trace.splitlines()):
        m = UNFINISHED_RE.match(line)
        if m:
            pending[m.group(1)] = (i, m.group(2))
            continue
        m = RESUMED_RE.match(line)
        if m and m.group(1) in pending:
            start, head = pending.pop(m.group(1))
            line = m.group(1) + " " + head + m.group(2)
            m = CALL_RE.match(line)
            if m:
                yield start, i, m.group(2), m.group(3)
            continue
        m = CALL_RE.match(line)
        if m:
            yield i, i, m.group(2), m.group(3)


def faults_in(trace, inbound):
    """The order faults in the trace, the names whose M_GOT was seen, and
    how often write-back was started per temporary file.

    What counts is the order in time: a sync covers what was written before
    it began and holds once it has returned; a rename or an M_GOT must begin
    after the syncs it depends on have returned. Events are therefore placed
    where they happened in that sense: writes at their return, syncs at
    their start (what they cover) and their return (when they hold),
    renames and sends at their start."""
    inbound = os.path.realpath(inbound)
    events = []  # (place, order, kind, arguments)
    started = {}
    for n, (start, end, name, args) in enumerate(calls(trace)):
        if name in ("fsync", "fdatasync"):
            m = SYNC_ARGS.match(args)
            if m:
                p = os.path.realpath(path(m.group(2)))
                events.append((start, 2 * n, "sync_start", (p,)))
                if m.group(3) == "0":
                    events.append((end, 2 * n + 1, "sync_done", (p,)))
        elif name in ("write", "pwrite64", "sendto", "send"):
            m = WRITE_ARGS.match(args)
            if not m:
                continue
            target = path(m.group(2))
            if target.startswith("socket:") or target.startswith("TCP"):
                events.append((start, 2 * n, "send", (unhex(m.group(3)),)))
            else:
                events.append((end, 2 * n, "write", (os.path.realpath(target),)))
        elif name.startswith("sync_file_range"):
            m = WRITEBACK_ARGS.match(args)
            if m:
                p = os.path.realpath(path(m.group(2)))
                started[p] = started.get(p, 0) + 1
        elif name.startswith("rename"):
            m = RENAME_ARGS.match(args)
            if m and path(m.group(1)).endswith(".wpt"):
                tmp = os.path.realpath(path(m.group(1)))
                final = os.path.realpath(path(m.group(2)))
                events.append((start, 2 * n, "rename", (tmp, final)))
                events.append((end, 2 * n + 1, "renamed", (tmp, final)))
    events.sort(key=lambda e: (e[0], e[1]))

    faults, gots = [], []
    gen = {}          # path -> writes returned so far
    sync_from = {}    # path -> gen when a sync of it began
    synced = {}       # path -> gen that the last returned sync covered
    final_of = {}     # final path -> temporary path it was renamed from
    renamed = []      # finals renamed so far, in order
    dir_from = 0      # how many renames a sync of the inbound began after
    dir_ok = set()    # finals whose name was synced
    for _, _, kind, a in events:
        if kind == "write":
            gen[a[0]] = gen.get(a[0], 0) + 1
        elif kind == "sync_start":
            sync_from[a[0]] = gen.get(a[0], 0)
            if a[0] == inbound:
                dir_from = len(renamed)
        elif kind == "sync_done":
            synced[a[0]] = sync_from.get(a[0], 0)
            if a[0] == inbound:
                dir_ok.update(renamed[:dir_from])
        elif kind == "rename":
            tmp = a[0]
            if synced.get(tmp, -1) != gen.get(tmp, 0):
                faults.append("renamed before its data was synced: " + tmp)
        elif kind == "renamed":
            tmp, final = a
            final_of[final] = tmp
            renamed.append(final)
        elif kind == "send":
            data = a[0]
            # A command frame (bit 15) whose command byte is 6 (M_GOT).
            if len(data) >= 3 and data[0] & 0x80 and data[2] == 6:
                name = data[3:].split(b" ")[0].decode("latin-1")
                gots.append(name)
                final = os.path.join(inbound, name)
                tmp = final_of.get(final)
                if tmp is None:
                    faults.append("M_GOT before the file had its final name: " + name)
                elif synced.get(tmp, -1) != gen.get(tmp, 0):
                    faults.append("M_GOT before the data was synced: " + name)
                elif final not in dir_ok:
                    faults.append("M_GOT before the inbound was synced after the rename: " + name)
    return faults, gots, started


def hx(text):
    return "".join("\\x%02x" % b for b in text.encode("latin-1"))


def selfcheck(c):
    """The reading of traces on made-up ones: two threads (100 the session,
    101 the settling thread), the inbound /in."""
    got = hx("\x80\x0e\x06a 3 0")

    def trace(*lines):
        return "\n".join(lines).replace("<T>", "<" + hx("/in/a.wpt") + ">").replace(
            "<I>", "<" + hx("/in") + ">").replace("<S>", "<" + hx("socket:[7]") + ">").replace(
            "RENAME", 'renameat2(AT_FDCWD<' + hx("/in") + '>, "' + hx("/in/a.wpt") +
            '", AT_FDCWD<' + hx("/in") + '>, "' + hx("/in/a") + '", RENAME_NOREPLACE) = 0')

    good = trace('100 pwrite64(5<T>, "' + hx("abc") + '", 3, 0) = 3',
                 '101 fsync(5<T> <unfinished ...>',
                 '100 write(1<' + hx("pipe:[9]") + '>, "' + hx("log") + '", 3) = 3',
                 '101 <... fsync resumed>) = 0',
                 '101 RENAME',
                 '101 fsync(6<I> <unfinished ...>',
                 '100 write(1<' + hx("pipe:[9]") + '>, "' + hx("log") + '", 3) = 3',
                 '101 <... fsync resumed>) = 0',
                 '100 sendto(3<S>, "' + got + '", 14, MSG_NOSIGNAL, NULL, 0) = 14')
    faults, gots, _ = faults_in(good, "/in")
    c.check(not faults and gots == ["a"], "made-up trace: in order, interleaved", repr(faults))
    bad = {
        "a write that returned after the sync began":
            trace('100 pwrite64(5<T>, "' + hx("abc") + '", 3, 0 <unfinished ...>',
                  '101 fsync(5<T>) = 0',
                  '100 <... pwrite64 resumed>) = 3',
                  '101 RENAME', '101 fsync(6<I>) = 0',
                  '100 sendto(3<S>, "' + got + '", 14, MSG_NOSIGNAL, NULL, 0) = 14'),
        "an M_GOT begun before the inbound's sync returned":
            trace('100 pwrite64(5<T>, "' + hx("abc") + '", 3, 0) = 3',
                  '101 fsync(5<T>) = 0', '101 RENAME',
                  '101 fsync(6<I> <unfinished ...>',
                  '100 sendto(3<S>, "' + got + '", 14, MSG_NOSIGNAL, NULL, 0 <unfinished ...>',
                  '101 <... fsync resumed>) = 0',
                  '100 <... sendto resumed>) = 14'),
        "renamed before the sync":
            trace('100 pwrite64(5<T>, "' + hx("abc") + '", 3, 0) = 3',
                  '101 RENAME', '101 fsync(5<T>) = 0', '101 fsync(6<I>) = 0',
                  '100 sendto(3<S>, "' + got + '", 14, MSG_NOSIGNAL, NULL, 0) = 14'),
    }
    for what, t in bad.items():
        faults, _, _ = faults_in(t, "/in")
        c.check(bool(faults), "made-up trace found out: " + what)


def main():
    if BINKD is None:
        return skip("binkd is not installed")
    if subprocess.run(["strace", "-qq", "-o", os.devnull, "true"],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        return skip("strace is not usable here")
    c = Checker()
    selfcheck(c)
    root = scratch()
    try:
        boss = Boss(root)
        pt = Point(root, sys.argv[1])
        pt.configure(pt.section(boss.port))
        lines = []
        for n, data in FILES.items():
            p = os.path.join(boss.files, n)
            write(p, data)
            lines.append("^" + p)
        write(boss.point_dir() + ".flo", ("\n".join(lines) + "\n").encode())
        trace = os.path.join(root, "trace.txt")
        env = dict(os.environ, WRENPOST_NET_TIMEOUT="20000", ASAN_OPTIONS="detect_leaks=0")
        boss.start()
        try:
            p = subprocess.run(
                ["strace", "-f", "-qq", "-xx", "-y", "-s", "300", "-o", trace, "-e",
                 "trace=fsync,fdatasync,rename,renameat,renameat2,"
                 "write,pwrite64,sendto,sync_file_range",
                 sys.argv[1], "-lang", "en", "-c", pt.cfg, "poll"],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, cwd=pt.root,
                timeout=300)
        finally:
            boss.stop()
        out = p.stdout.decode("latin-1")
        c.check(p.returncode == 0, "poll under strace ends with 0", out + boss.log())
        for n, data in FILES.items():
            path = os.path.join(pt.inbound, n)
            c.check(os.path.exists(path) and read(path) == data, "received whole: " + n)
        with open(trace, errors="replace") as f:
            faults, gots, started = faults_in(f.read(), pt.inbound)
        c.check(sorted(gots) == sorted(FILES), "an M_GOT for every file", repr(gots))
        c.check(not faults, "every file synced, renamed and its name synced before its M_GOT",
                "\n".join(faults))
        # Just over 5 MiB: write-back started for each whole MiB received.
        big = os.path.realpath(os.path.join(pt.inbound, "big.bin.wpt"))
        c.check(started.get(big, 0) >= 4, "the large file went to the disk while it arrived",
                repr(started))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
