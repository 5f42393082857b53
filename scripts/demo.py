#!/usr/bin/env python3
"""A day in the life of a wrenpost point, on this machine alone.

Starts a real binkd as the boss 21:3/210 on 127.0.0.1 that holds a day of
echomail for the point 21:3/210.7 in ZIP bundles, a netmail and an AreaFix
reply; writes the point's configuration; writes a local echomail and an
AreaFix request; runs `wrenpost all`; and shows what happened. The scratch
directory is left for exploring.

usage: demo.py BUILD_DIR [WRENPOST]   (WRENPOST: another wrenpost program to run)
"""

import datetime
import io
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "interop"))
import ftnpkt  # noqa: E402
import jamread  # noqa: E402

BOSS = (21, 3, 210, 0)
POINT = (21, 3, 210, 7)
PASSWORD = "demo-secret"

PEOPLE = ["Avon Barksdale", "Nina Kowalski", "Rolf Hagedorn", "Mei Tanaka", "Sam Okafor",
          "Greta Lind", "Dev Patel", "Jo Marsh"]
TOPICS = {
    "FSX_GEN": [("Morning all", "Coffee is on. Anyone else up this early?"),
                ("Weekend plans", "Thinking of a hike if the rain holds off."),
                ("Old modems", "Found my 14.4 in the attic. It still hisses like new."),
                ("Re: Old modems", "Mine went to the recycling years ago. Regret it now.")],
    "FSX_BOT": [("Daily stats", "Messages today: 42. Nodes online: 17. Echo traffic steady."),
                ("Weather bot", "Overcast, 4 C, light wind from the west.")],
    "FSX_TST": [("test", "Testing 1 2 3, please ignore."),
                ("test again", "Checking that my new tosser handles umlauts: \x84 \x94 \x81.")],
}


def header(orig, dest, password=b""):
    h = bytearray(58)
    now = datetime.datetime.now()
    struct.pack_into("<HHHHHHHHHH", h, 0, orig[2], dest[2], now.year, now.month - 1, now.day,
                     now.hour, now.minute, now.second, 0, 2)
    struct.pack_into("<HH", h, 20, orig[1], dest[1])
    h[24] = 0xFE
    h[26:34] = password.ljust(8, b"\0")[:8]
    struct.pack_into("<HHHHH", h, 34, orig[0], dest[0], 0, 0x0100, 0)
    struct.pack_into("<HHHHHH", h, 44, 1, orig[0], dest[0], orig[3], dest[3], 0)
    return bytes(h)


def message(orig, dest, attr, when, to, frm, subj, text):
    m = struct.pack("<7H", 2, orig[2], dest[2], orig[1], dest[1], attr, 0)
    date = when.strftime("%d %b %y  %H:%M:%S").encode()
    return m + date + b"\0" + to + b"\0" + frm + b"\0" + subj + b"\0" + text + b"\0"


def day_of_echomail(rng):
    """Packets for the point: one per area, messages spread over today."""
    start = datetime.datetime.now().replace(hour=6, minute=0, second=0, microsecond=0)
    packets = []
    serial = int(time.time()) & 0xFFFFFF
    for area, topics in TOPICS.items():
        msgs = []
        for i in range(rng.randint(6, 12)):
            subj, body = topics[i % len(topics)]
            frm = rng.choice(PEOPLE)
            when = start + datetime.timedelta(minutes=rng.randint(0, 12 * 60))
            serial += 1
            origin_node = rng.choice(["21:1/100", "21:2/116", "21:4/106", "21:3/210"])
            text = (b"AREA:" + area.encode() + b"\r\x01MSGID: " + origin_node.encode() +
                    b" %08x\r\x01TZUTC: 0000\r\x01CHRS: CP437 2\r" % serial +
                    b"Hello all,\r\r" + body.encode("latin-1") + b"\r\r" + frm.split()[0].encode() +
                    b"\r\r--- demo writer\r * Origin: A node somewhere (" + origin_node.encode() +
                    b")\rSEEN-BY: 1/100 2/116 3/210 4/106\r\x01PATH: 1/100 3/210\r")
            msgs.append(message(BOSS, POINT, 0, when, b"All", frm.encode(), subj.encode(), text))
        packets.append(header(BOSS, POINT, b"DEMO") + b"".join(msgs) + b"\0\0")
    return packets


def netmail_packet():
    when = datetime.datetime.now().replace(microsecond=0)
    welcome = (b"\x01INTL 21:3/210 21:3/210\r\x01TOPT 7\r\x01MSGID: 21:3/210 0000beef\r"
               b"Welcome to the network, point 7!\r\rYour areas are waiting. Read FSX_GEN first.\r\r"
               b"Boss Op\r")
    reply = (b"\x01INTL 21:3/210 21:3/210\r\x01TOPT 7\r\x01MSGID: 21:3/210 0000bef0\r"
             b"Command: %LIST\r"
             b"Available areas:\r"
             b"* FSX_GEN ............ General chat\r"
             b"  FSX_BOT ............ Bots and statistics\r"
             b"  FSX_TST ............ Tests\r"
             b"  FSX_ENG ............ Engineering\r\r"
             b"Command: +FSX_BOT\rResult: linked\r"
             b"--- AreaFix\r")
    msgs = [message(BOSS, POINT, 0x0001, when, b"Jo Point", b"Boss Op", b"Welcome", welcome),
            message(BOSS, POINT, 0x0001, when, b"Jo Point", b"AreaFix", b"demo-af", reply)]
    return header(BOSS, POINT, b"DEMO") + b"".join(msgs) + b"\0\0"


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def say(text):
    print("\n\033[1m== " + text + "\033[0m", flush=True)


def run(args, cwd):
    print("$ " + " ".join(os.path.basename(a) if i == 0 else a for i, a in enumerate(args)), flush=True)
    p = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace")
    sys.stdout.write(p.stdout.replace("\r\n", "\n"))
    return p.returncode


def main():
    build = os.path.abspath(sys.argv[1])
    wp = (shutil.which(sys.argv[2]) or os.path.abspath(sys.argv[2])) if len(sys.argv) > 2 \
        else os.path.join(build, "wrenpost")
    if len(sys.argv) > 2:
        print("running %s (%s)" % (wp, subprocess.run([wp, "--version"], stdout=subprocess.PIPE,
                                                       text=True).stdout.strip()), flush=True)
    post = os.path.join(build, "tests", "post_local")
    binkd = shutil.which("binkd") or "/usr/sbin/binkd"
    rng = random.Random(7)
    root = tempfile.mkdtemp(prefix="wrenpost-demo.")
    boss, point = os.path.join(root, "boss"), os.path.join(root, "point")
    for d in ("out", "in", "tmp"):
        os.makedirs(os.path.join(boss, d))
    for d in ("in", "out", "msg"):
        os.makedirs(os.path.join(point, d))
    port = free_port()

    say("The boss: binkd as 21:3/210 on 127.0.0.1:%d" % port)
    with open(os.path.join(boss, "binkd.cfg"), "w") as f:
        f.write(f"""domain fsxnet {boss}/out 21
address 21:3/210@fsxnet
sysname "Demo Boss"
sysop "Boss Op"
location "Loopback"
nodeinfo 115200,TCP,BINKP
iport {port}
bindaddr 127.0.0.1
inbound {boss}/in
inbound-nonsecure {boss}/in
temp-inbound {boss}/tmp
log {boss}/binkd.log
loglevel 4
conlog 0
node 21:3/210.7@fsxnet - {PASSWORD}
""")
    pnt = os.path.join(boss, "out", "000300d2.pnt")
    os.makedirs(pnt)
    flo_lines = []
    for i, pkt in enumerate(day_of_echomail(rng)):
        bundle = os.path.join(pnt, "0000fff9.%s%d" % (["su", "mo", "tu", "we", "th", "fr", "sa"][i], i))
        with zipfile.ZipFile(bundle, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("%08x.pkt" % (0x6b000000 + i), pkt)
        flo_lines.append("#" + bundle)
    with open(os.path.join(pnt, "00000007.out"), "wb") as f:
        f.write(netmail_packet())
    with open(os.path.join(pnt, "00000007.flo"), "w") as f:
        f.write("\r\n".join(flo_lines) + "\r\n")
    print("waiting for the point: %d ZIP bundles of echomail, a netmail packet with a welcome "
          "and an AreaFix reply" % len(flo_lines))
    proc = subprocess.Popen([binkd, "-s", os.path.join(boss, "binkd.cfg")], cwd=boss,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.time() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.time() > deadline:
                    raise SystemExit("binkd did not start")
                time.sleep(0.1)

        say("The point: 21:3/210.7, configured in point/wrenpost.cfg")
        cfg = os.path.join(point, "wrenpost.cfg")
        with open(cfg, "w") as f:
            f.write(f"""# A demo point under the fsxNet-style boss 21:3/210.
sysop = Jo Point
system = Demo Point
location = Loopback
inbound = in
outbound = out
netmail = msg/netmail
badarea = msg/bad
dupearea = msg/dupes
areadir = msg
pkt_password = DEMO

[boss fsx]
address = 21:3/210.7
boss_host = 127.0.0.1
boss_port = {port}
boss_address = 21:3/210
password = {PASSWORD}
pack = zip
netname = fsxNet
areafix_password = demo-af
echoarea = FSX_GEN msg/fsx_gen
""")
        print(open(cfg).read())

        say("Writing a local echomail in FSX_GEN (as the editor would)")
        text = os.path.join(root, "hello.txt")
        with open(text, "w") as f:
            f.write("Hello from a brand-new point!\n\nJo\n")
        subprocess.run([post, "-c", cfg, os.path.join(point, "msg", "fsx_gen"), "21:3/210.7",
                        "Jo Point", "All", "Hello fsxNet", text], check=True,
                       stdout=subprocess.DEVNULL)
        print("written: FSX_GEN, from Jo Point to All, \"Hello fsxNet\"")

        say("Writing an AreaFix request with wrenpost")
        run([wp, "-lang", "en", "areafix", "fsx", "%LIST;+FSX_BOT"], point)

        say("wrenpost all: export, poll the boss, toss")
        code = run([wp, "-lang", "en", "all"], point)

        say("Areas and their messages")
        for name in sorted(os.listdir(os.path.join(point, "msg"))):
            if name.endswith(".jhr"):
                base = os.path.join(point, "msg", name[:-4])
                ref = jamread.read_base(base)
                live = [h for h in ref["headers"] if not h["Attribute"] & 0x80000000]
                print("  %-10s %3d message(s)" % (name[:-4], len(live)))
        print("\nconfiguration lines added by the toss run:")
        for line in open(cfg):
            if line.startswith("echoarea=") or line.startswith("echoarea ="):
                print("  " + line.rstrip())

        say("The boss's inbound: what the point sent")
        for name in sorted(os.listdir(os.path.join(boss, "in"))):
            path = os.path.join(boss, "in", name)
            print("  %s (%d bytes)" % (name, os.path.getsize(path)))
            try:
                for entry, data in ftnpkt.packets_of_file(path):
                    hdr, msgs = ftnpkt.read_packet(data)
                    for m in msgs:
                        where = m["area"].decode() if m["area"] else "netmail"
                        print("      %s: %s -> %s, \"%s\"" % (where, m["from"].decode("latin-1"),
                                                             m["to"].decode("latin-1"),
                                                             "********" if m["to"] == b"AreaFix"
                                                             else m["subject"].decode("latin-1")))
            except (ValueError, zipfile.BadZipFile, struct.error):
                pass

        say("wrenpost areas: what the AreaFix reply said")
        run([wp, "-lang", "en", "areas", "fsx"], point)
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    say("Done: wrenpost all ended with exit code %d" % code)
    print("Everything is in %s (boss/ and point/) for you to explore." % root)
    print("Read and write the point's mail in the editor (needs a display):")
    print("  %s -c %s" % (wp, cfg))
    return code


if __name__ == "__main__":
    sys.exit(main())
