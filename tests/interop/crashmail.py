"""crashmail (Debian package) as the peer tosser of the interoperability
tests: a configuration for one AKA and one linked node, and a toss run."""

import os
import subprocess


def crashmail_prefs(d, aka, node, areas):
    for sub in ("in", "out", "tmp", "msg", "pk"):
        os.makedirs(os.path.join(d, sub), exist_ok=True)
    lines = ['SYSOP "Boss Sysop"', 'LOGFILE "%s/cm.log"' % d, "LOGLEVEL 6",
             'DUPEFILE "%s/dupes" 200' % d, "DUPEMODE IGNORE", 'INBOUND "%s/in"' % d,
             'OUTBOUND "%s/out"' % d, 'TEMPDIR "%s/tmp"' % d, 'CREATEPKTDIR "%s/tmp"' % d,
             'PACKETDIR "%s/pk"' % d, 'STATSFILE "%s/stats"' % d, "NOROUTE", "IMPORTSEENBY",
             'PACKER "ZIP" "/usr/bin/zip -j %a %f" "/usr/bin/unzip -j -o %a" "PK"',
             "AKA %s" % aka, 'DOMAIN "FidoNet"', 'NODE %s "ZIP" "" AUTOADD' % node,
             'NETMAIL "NETMAIL" %s JAM "%s/msg/netmail"' % (aka, d),
             'AREA "BAD" %s JAM "%s/msg/bad"' % (aka, d)]
    for a in areas:
        lines += ['AREA "%s" %s JAM "%s/msg/%s"' % (a, aka, d, a.lower()), "EXPORT %s" % node]
    path = os.path.join(d, "crashmail.prefs")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


def crashmail_toss(prefs, d):
    r = subprocess.run(["crashmail", "SETTINGS", prefs, "TOSSDIR", os.path.join(d, "in"),
                        "NOSECURITY"], capture_output=True, text=True, cwd=d)
    if r.returncode != 0:
        raise SystemExit("crashmail toss failed: %s" % r.stdout[-600:])
