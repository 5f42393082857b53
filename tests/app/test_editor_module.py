#!/usr/bin/env python3
"""The editor is a module of its own: the program that runs the commands
does not load the window system's libraries, and starting the editor loads
the module beside the program (or names what it tried, and why not).

usage: test_editor_module.py WRENPOST_BINARY
"""
import os
import shutil
import subprocess
import sys
import tempfile

BINARY = os.path.abspath(sys.argv[1])
failures = []


def check(ok, what, detail=""):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)
        if detail:
            print(detail)


def start_editor(binary, cfg, **env):
    """The program started without a command word: the editor's start."""
    e = {k: v for k, v in os.environ.items()
         if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "WRENPOST_EDITOR_MODULE")}
    e.update(env, LANG="C")
    p = subprocess.run([binary, "-c", cfg], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       env=e, text=True, timeout=60)
    return p.returncode, p.stdout


needed = subprocess.run(["readelf", "-d", BINARY], stdout=subprocess.PIPE, text=True,
                        check=True).stdout
check("(NEEDED)" in needed, "readelf lists the program's libraries", needed)
check("Qt" not in needed, "the program does not link Qt", needed)

work = tempfile.mkdtemp(prefix="wp-editor-module.")
try:
    cfg = os.path.join(work, "wrenpost.cfg")
    with open(cfg, "w") as f:
        f.write("address = 2:240/1.7\n")

    # Beside the program: found and run. Without a display the editor says
    # so itself, which only the module's code can.
    rc, out = start_editor(BINARY, cfg)
    check(rc == 1 and "no graphical session for the editor" in out,
          "the module beside the program starts the editor", out)

    # Told where it is, and it is not there: that path and the reason.
    rc, out = start_editor(BINARY, cfg, WRENPOST_EDITOR_MODULE=os.path.join(work, "none.so"))
    check(rc == 1 and "cannot load the editor" in out and "none.so: not found" in out,
          "a missing module is named with its path", out)

    # A file that is not a module: the loader's reason.
    rc, out = start_editor(BINARY, cfg, WRENPOST_EDITOR_MODULE=cfg)
    check(rc == 1 and "cannot load the editor" in out and "wrenpost.cfg: " in out
          and "not found" not in out, "a file that is not a module gives the loader's reason",
          out)

    # The program alone, away from its module: the commands still run.
    alone = os.path.join(work, "wrenpost")
    shutil.copy(BINARY, alone)
    p = subprocess.run([alone, "--version"], stdout=subprocess.PIPE, text=True, timeout=60)
    check(p.returncode == 0 and p.stdout.startswith("wrenpost "),
          "the program runs its commands without the module", p.stdout)
finally:
    shutil.rmtree(work, ignore_errors=True)

sys.exit(1 if failures else 0)
