#!/usr/bin/env python3
"""The files that install wrenpost like any other program, checked without
building the package: the manual pages cover every configuration key and
every command and render without warnings, the desktop entry and the systemd
user units pass their validators, and the package's version is the build's.

usage: test_package_files.py WRENPOST_BINARY SOURCE_DIR BUILD_DIR
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

BINARY, SRC, BUILD = sys.argv[1:4]
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def read(*parts):
    with open(os.path.join(SRC, *parts), encoding="utf-8") as f:
        return f.read()


def run(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


# --- The manual pages: complete and clean --------------------------------
config_cc = read("config", "config.cc")
keys = re.findall(r'"([a-z_]+)"', config_cc[config_cc.index("cfg_keys[NFIELDS]"):
                                            config_cc.index("};", config_cc.index("cfg_keys"))])
nfields = int(re.search(r"NFIELDS = (\d+);", read("config", "config.h")).group(1))
check(len(keys) == nfields, "the loader's key table read (%d of %d keys)" % (len(keys), nfields))
page5 = read("doc", "man", "wrenpost.cfg.5.scd")
# A key is documented when it has its own entry: "*key*" alone on a line, or
# followed by " (required)" or " = ...".
documented = set(re.findall(r"^\*([a-z_]+)\*(?: \(required\)| =.*)?$", page5, re.M))
for k in keys + ["echoarea", "language"]:
    check(k in documented, "wrenpost.cfg(5) documents the key " + k)
example = read("wrenpost.cfg.example")
for k in keys + ["echoarea", "language"]:
    check(re.search(r"(?<![a-z_])%s\s*=" % k, example) is not None,
          "wrenpost.cfg.example explains " + k)

page1 = read("doc", "man", "wrenpost.1.scd")
COMMANDS = ["poll", "toss", "scan", "all", "areafix", "areas", "list", "read", "post", "netmail", "node", "nodediff", "files", "freq"]
for cmd in COMMANDS:
    check(re.search(r"^\*%s\*" % cmd, page1, re.M) is not None, "wrenpost(1) documents " + cmd)
for opt in ["-c", "-lang", "-a", "-m", "-k", "--version", "-h*, *--help"]:
    check("*%s*" % opt in page1, "wrenpost(1) documents " + opt)
for code in range(7):
    check(re.search(r"^\*%d\*$" % code, page1, re.M) is not None,
          "wrenpost(1) explains exit code %d" % code)
for section in ["COMMANDS", "OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES"]:
    check("# " + section in page1, "wrenpost(1) has " + section)
for section in ["SECTIONS", "PATHS", "KEYS", "EXAMPLES"]:
    check("# " + section in page5, "wrenpost.cfg(5) has " + section)

# The catalogue's usage line and the page's synopsis name the same commands.
usage = run([BINARY, "-lang", "en", "--help"]).stdout
for cmd in COMMANDS:
    check(cmd in usage, "--help names " + cmd)

man_dir = os.path.join(BUILD, "man")
for page in ["wrenpost.1", "wrenpost.cfg.5"]:
    path = os.path.join(man_dir, page)
    check(os.path.exists(path), "built " + page)
    if os.path.exists(path):
        r = run(["groff", "-man", "-Tutf8", "-ww", "-z", path])
        check(r.returncode == 0 and r.stdout.strip() == "",
              "%s renders without warnings %s" % (page, r.stdout.strip()))

# --- The desktop entry and the icon ---------------------------------------
r = run(["desktop-file-validate", os.path.join(SRC, "packaging", "wrenpost.desktop")])
check(r.returncode == 0 and r.stdout.strip() == "",
      "desktop-file-validate wrenpost.desktop " + r.stdout.strip())
desktop = read("packaging", "wrenpost.desktop")
check("\nExec=wrenpost\n" in desktop and "\nIcon=wrenpost\n" in desktop,
      "the desktop entry starts the editor with its icon")
svg = read("packaging", "wrenpost.svg")
check(svg.lstrip().startswith("<?xml") and "<svg" in svg and 'viewBox="0 0 128 128"' in svg,
      "the icon is a square SVG")

# --- The systemd user units -----------------------------------------------
service = read("packaging", "systemd", "wrenpost-poll.service")
timer = read("packaging", "systemd", "wrenpost-poll.timer")
check("\nExecStart=/usr/bin/wrenpost all\n" in service, "the service runs wrenpost all")
check("\nOnCalendar=*:0/15\n" in timer, "the timer fires every 15 minutes")
check("\nWantedBy=timers.target\n" in timer, "the timer can be enabled")
with tempfile.TemporaryDirectory() as tmp:
    # Verified as installed, with the built program standing in for /usr/bin.
    units = os.path.join(tmp, "units")
    os.makedirs(units)
    with open(os.path.join(units, "wrenpost-poll.service"), "w") as f:
        f.write(service.replace("/usr/bin/wrenpost", os.path.abspath(BINARY)))
    with open(os.path.join(units, "wrenpost-poll.timer"), "w") as f:
        f.write(timer)
    runtime = os.path.join(tmp, "runtime")
    os.makedirs(runtime, mode=0o700)
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
    r = run(["systemd-analyze", "verify", "--user", "--man=no",
             os.path.join(units, "wrenpost-poll.timer"), os.path.join(units, "wrenpost-poll.service")],
            env=env)
    check(r.returncode == 0, "systemd-analyze verify --user " + r.stdout.strip())

# --- The package's version is the build's ---------------------------------
cmake = read("CMakeLists.txt")
version = re.search(r"project\(wrenpost VERSION ([0-9.]+)", cmake).group(1)
changelog = read("debian", "changelog").splitlines()[0]
check(changelog.startswith("wrenpost (%s)" % version), "debian/changelog is at %s" % version)
check(run([BINARY, "--version"]).stdout == "wrenpost %s\n" % version, "--version says " + version)
control = read("debian", "control")
check("${shlibs:Depends}" in control, "Depends come from the binary's libraries")

if failures:
    print("%d check(s) failed" % len(failures))
    sys.exit(1)
print("all checks passed")
