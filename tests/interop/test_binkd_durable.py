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

FILES = {"big.bin": bytes(range(256)) * (5 * 4096 + 7), "small.pkt": b"small packet",
         "empty.dat": b""}

# strace -xx shows every string in hex, file names included.
HEX = r'"((?:\\x[0-9a-f]{2})*)"'
OPEN_RE = re.compile(r'^\d+ +openat\([^"]*' + HEX + r'.* = (\d+)$')
SYNC_RE = re.compile(r'^\d+ +f(?:data)?sync\((\d+)\) += 0$')
WRITE_RE = re.compile(r'^\d+ +(?:write|pwrite64)\((\d+),')
WRITEBACK_RE = re.compile(r'^\d+ +sync_file_range2?\((\d+),.* = 0$')
CLOSE_RE = re.compile(r'^\d+ +close\((\d+)\) += 0$')
RENAME_RE = re.compile(r'^\d+ +rename(?:at2?)?\((?:[^,]*, )?' + HEX + r', (?:[^,]*, )?' + HEX +
                       r'.* = 0$')
SEND_RE = re.compile(r'^\d+ +(?:sendto|write|send)\((\d+), ' + HEX)


def unhex(s):
    return bytes(int(h, 16) for h in s.split("\\x")[1:])


def path(s):
    return unhex(s).decode("latin-1")


UNFINISHED_RE = re.compile(r'^(\d+) +(.*) <unfinished \.\.\.>$')
RESUMED_RE = re.compile(r'^(\d+) +<\.\.\. \w+ resumed>(.*)$')


def joined(trace):
    """The lines of a trace of several threads, each call whole: a call that
    another thread's calls interrupted is put together where it returned, so
    that a sync counts from the moment it was done."""
    pending = {}
    for line in trace.splitlines():
        m = UNFINISHED_RE.match(line)
        if m:
            pending[m.group(1)] = m.group(2)
            continue
        m = RESUMED_RE.match(line)
        if m and m.group(1) in pending:
            yield m.group(1) + " " + pending.pop(m.group(1)) + m.group(2)
            continue
        yield line


def faults_in(trace, inbound):
    """The order faults in the trace, the names whose M_GOT was seen, and
    how often write-back was started per temporary file."""
    faults, gots = [], []
    started = {}
    fd_path = {}
    synced = {}       # temporary path -> synced since its last write
    final_of = {}     # final path -> temporary path it was renamed from
    dir_ok = {}       # final path -> the inbound synced since its rename
    for line in joined(trace):
        m = OPEN_RE.match(line)
        if m:
            p = path(m.group(1))
            fd_path[m.group(2)] = p
            if p.endswith(".wpt"):
                synced[p] = False
            continue
        m = SYNC_RE.match(line)
        if m:
            p = fd_path.get(m.group(1))
            if p is not None and p in synced:
                synced[p] = True
            if p is not None and os.path.normpath(p) == os.path.normpath(inbound):
                for f in dir_ok:
                    dir_ok[f] = True
            continue
        m = WRITEBACK_RE.match(line)
        if m and m.group(1) in fd_path:
            p = fd_path[m.group(1)]
            started[p] = started.get(p, 0) + 1
            continue
        m = CLOSE_RE.match(line)
        if m:
            fd_path.pop(m.group(1), None)
            continue
        m = RENAME_RE.match(line)
        if m and path(m.group(1)).endswith(".wpt"):
            tmp, final = path(m.group(1)), path(m.group(2))
            final_of[final] = tmp
            dir_ok[final] = False
            if not synced.get(tmp, False):
                faults.append("renamed before its data was synced: " + tmp)
            continue
        m = SEND_RE.match(line)
        if m:
            if m.group(1) in fd_path:
                p = fd_path[m.group(1)]
                if p in synced:
                    synced[p] = False  # written after its sync
                continue
            data = unhex(m.group(2))
            # A command frame (bit 15) whose command byte is 6 (M_GOT).
            if len(data) >= 3 and data[0] & 0x80 and data[2] == 6:
                name = data[3:].split(b" ")[0].decode("latin-1")
                gots.append(name)
                final = os.path.join(inbound, name)
                if final not in final_of:
                    faults.append("M_GOT before the file had its final name: " + name)
                elif not synced.get(final_of[final], False):
                    faults.append("M_GOT before the data was synced: " + name)
                elif not dir_ok.get(final, False):
                    faults.append("M_GOT before the inbound was synced after the rename: " + name)
            continue
        m = WRITE_RE.match(line)
        if m and fd_path.get(m.group(1)) in synced:
            synced[fd_path[m.group(1)]] = False
    return faults, gots, started


def main():
    if BINKD is None:
        print("SKIP: binkd is not installed")
        return 0
    if subprocess.run(["strace", "-qq", "-o", os.devnull, "true"],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
        print("SKIP: strace is not usable here")
        return 0
    c = Checker()
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
                ["strace", "-f", "-qq", "-xx", "-s", "300", "-o", trace, "-e",
                 "trace=openat,fsync,fdatasync,close,rename,renameat,renameat2,"
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
        big = os.path.join(pt.inbound, "big.bin.wpt")
        c.check(started.get(big, 0) >= 4, "the large file went to the disk while it arrived",
                repr(started))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
