#!/usr/bin/env python3
"""Prints the include graph between the program's top-level folders and
checks it against the layers.

Every `#include "folder/..."` of a .cc or .h file in a module folder is an
arrow from the file's folder to the included folder. The editor's windows
(editor/gui, Qt) count as a folder of their own: they sit above the command
drivers, while the editor's message-base layer sits below them. The graph is printed as
"from -> to (number of includes)". The check fails (exit code 1) when an
include goes to a folder its layer may not use (see MAY_USE, the same table
as ARCHITECTURE.md and the libraries in CMakeLists.txt) or when the folders
form a cycle.

Usage: include_graph.py [source root]   (default: the folder above scripts/)
"""

import os
import re
import sys

# Each folder and the folders it may include, lowest layer first.
MAY_USE = {
    "platform": set(),
    "core": {"platform"},
    "config": {"core", "platform"},
    "mbase": {"core", "platform"},
    "jam": {"mbase", "config", "core", "platform"},
    "fmsg": {"mbase", "core", "platform"},
    "msgarea": {"jam", "fmsg", "mbase", "config", "core", "platform"},
    "outbound": {"config", "core", "platform"},
    "nodelist": {"config", "core", "platform"},
    "mailer": {"outbound", "config", "core", "platform"},
    "tosser": {"msgarea", "jam", "fmsg", "mbase", "config", "core", "platform"},
    "scanner": {"msgarea", "jam", "fmsg", "mbase", "outbound", "config", "core", "platform"},
    "areafix": {"msgarea", "jam", "fmsg", "mbase", "outbound", "config", "core", "platform"},
    "editor": {"areafix", "msgarea", "jam", "fmsg", "mbase", "outbound", "config", "core", "platform"},
    "app": {"editor", "mailer", "tosser", "scanner", "areafix", "msgarea", "jam", "fmsg", "mbase",
            "outbound", "nodelist", "config", "core", "platform"},
    "editor/gui": {"app", "editor", "mailer", "tosser", "scanner", "areafix", "msgarea", "jam", "fmsg",
                   "mbase", "outbound", "nodelist", "config", "core", "platform"},
}
# The editor module's entry point sits above every library: it hands the
# editor's start to the command line.
ENTRY = {("app/editor_entry.cc", "editor/gui")}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def folder_of(path):
    """The folder (graph node) of a path relative to the source root."""
    parts = path.split("/")
    if len(parts) > 2 and parts[0] == "editor" and parts[1] == "gui":
        return "editor/gui"
    return parts[0] if len(parts) > 1 else None


def scan(root):
    """Returns {(from, to): [files]} for includes between different folders."""
    edges = {}
    for top in sorted({f.split("/")[0] for f in MAY_USE}):
        base = os.path.join(root, top)
        for dirpath, _, names in os.walk(base):
            for name in sorted(names):
                if not name.endswith((".cc", ".h", ".def", ".in")):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, root).replace(os.sep, "/")
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                folder = folder_of(rel)
                for inc in INCLUDE.findall(text):
                    target = folder_of(inc)
                    if target == folder or target not in MAY_USE:
                        continue
                    edges.setdefault((folder, target), []).append(rel)
    return edges


def find_cycle(edges):
    graph = {}
    for a, b in edges:
        graph.setdefault(a, set()).add(b)
    state = {}
    stack = []

    def visit(n):
        state[n] = 1
        stack.append(n)
        for m in sorted(graph.get(n, ())):
            if state.get(m) == 1:
                return stack[stack.index(m):] + [m]
            if m not in state:
                found = visit(m)
                if found:
                    return found
        stack.pop()
        state[n] = 2
        return None

    for n in sorted(graph):
        if n not in state:
            found = visit(n)
            if found:
                return found
    return None


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    edges = scan(root)
    order = list(MAY_USE)
    print("include graph between folders (from -> to: includes)")
    for a, b in sorted(edges, key=lambda e: (order.index(e[0]), order.index(e[1]))):
        print(f"  {a} -> {b}: {len(edges[a, b])}")
    bad = []
    for (a, b), files in sorted(edges.items()):
        if b in MAY_USE[a]:
            continue
        for f in sorted(set(files)):
            if (f, b) not in ENTRY:
                bad.append(f"{f} includes {b}/, which {a}/ may not use")
    checked = {e: f for e, f in edges.items()
               if not all((x, e[1]) in ENTRY for x in f)}
    cycle = find_cycle(checked)
    if cycle:
        bad.append("cycle: " + " -> ".join(cycle))
    for b in bad:
        print("error: " + b)
    if bad:
        return 1
    print("no cycle, no include against the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
