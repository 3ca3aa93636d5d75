#!/usr/bin/env python3
"""Checks the include rules of CONTRIBUTING.md over src/: no two units include each other (a unit
is a header with its source file: form1.h and form1.cpp are "ui/form1"; no cycle of any length
among units), and each area includes only the areas below it. Prints every breach and exits 1 if
there is one. Cheap enough for CI: it reads the files once."""

import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)

# The areas each area may include, besides itself. The front ends (ui, cli) may use every engine
# area; nothing includes a front end.
ALLOWED = {
    "platform": set(),
    "paradox": {"platform"},
    "app": {"platform"},
    "db": {"app", "paradox", "platform"},
    "sets": {"db", "app", "paradox", "platform"},
    "replace": {"sets", "db", "app", "paradox", "platform"},
    "ui": {"replace", "sets", "db", "app", "paradox", "platform"},
    "cli": {"replace", "sets", "db", "app", "paradox", "platform"},
}


def project_files():
    for dirpath, _, names in os.walk(ROOT):
        for name in names:
            if name.endswith((".h", ".cpp")):
                path = os.path.join(dirpath, name)
                yield os.path.relpath(path, ROOT).replace(os.sep, "/")


def includes_of(relpath):
    with open(os.path.join(ROOT, relpath), encoding="utf-8", errors="replace") as f:
        text = f.read()
    found = []
    for name in INCLUDE.findall(text):
        if os.path.exists(os.path.join(ROOT, name)):
            found.append(name)
        else:
            # cli/ includes its own headers without the folder
            local = os.path.join(os.path.dirname(relpath), name).replace(os.sep, "/")
            if os.path.exists(os.path.join(ROOT, local)):
                found.append(local)
    return found


def area(relpath):
    return relpath.split("/")[0] if "/" in relpath else None


def find_cycles(graph):
    cycles, state, stack = [], {}, []

    def visit(node):
        state[node] = 1
        stack.append(node)
        for nxt in graph.get(node, ()):
            if state.get(nxt) == 1:
                cycles.append(stack[stack.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt)
        stack.pop()
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return cycles


def unit(relpath):
    return os.path.splitext(relpath)[0]


def main():
    graph = {f: includes_of(f) for f in project_files()}
    units = {}
    for source, targets in graph.items():
        units.setdefault(unit(source), set()).update(
            unit(t) for t in targets if unit(t) != unit(source))
    breaches = []
    for cycle in find_cycles(units):
        breaches.append("include cycle: " + " -> ".join(cycle))
    for source, targets in sorted(graph.items()):
        a = area(source)
        for target in targets:
            b = area(target)
            if a in ALLOWED and b and b != a and b not in ALLOWED[a]:
                breaches.append(f"{source} ({a}) includes {target} ({b})")
    for line in breaches:
        print(line)
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
