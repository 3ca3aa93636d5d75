#!/usr/bin/env python3
"""Lists the files of src/ over 600 lines and the functions over 60 lines (CONTRIBUTING.md).
A function is counted from its opening line to the brace that closes it at the same indent,
comments and blank lines included; lambdas count with the function that holds them.
  check_sizes.py            the lists and the counts
  check_sizes.py --max-functions N   exits 1 when more than N functions or any file is too long"""

import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
FILE_LIMIT, FUNCTION_LIMIT = 600, 60
# A line that opens a function body: a name and its parameters, ending in "{", not a control
# statement, a class or a namespace.
OPENS = re.compile(r"^(\s*)(?!(if|for|while|switch|else|do|namespace|class|struct|enum|union|"
                   r"return|case|catch|try)\b)[^;=]*\)\s*(const)?\s*(noexcept)?\s*(override)?"
                   r"\s*(->\s*[\w:<>]+)?\s*(:\s*.*)?\{\s*$")


def functions(lines):
    i = 0
    while i < len(lines):
        m = OPENS.match(lines[i])
        if not m or lines[i].lstrip().startswith(("//", "#", "[")):
            i += 1
            continue
        indent = m.group(1)
        start = i
        # the header may have begun on earlier lines
        while start > 0 and lines[start - 1].strip() and not lines[start - 1].rstrip().endswith(
                (";", "}", "{", "*/", ":")) and not lines[start - 1].lstrip().startswith(("//", "#")):
            start -= 1
        indent = re.match(r"\s*", lines[start]).group(0)
        end = i + 1
        while end < len(lines) and not (lines[end].startswith(indent + "}") and
                                        not lines[end].startswith(indent + " ")):
            end += 1
        name = lines[start].strip()[:70]
        yield start + 1, end - start + 1, name
        i = end + 1


def main():
    limit = None
    if "--max-functions" in sys.argv:
        limit = int(sys.argv[sys.argv.index("--max-functions") + 1])
    long_files, long_functions = [], []
    for dirpath, _, names in sorted(os.walk(ROOT)):
        for name in sorted(names):
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, os.path.join(ROOT, ".."))
            with open(path, encoding="utf-8", errors="replace") as f:
                lines = f.read().split("\n")
            if len(lines) - 1 > FILE_LIMIT:
                long_files.append((len(lines) - 1, rel))
            for line, length, header in functions(lines):
                if length > FUNCTION_LIMIT:
                    long_functions.append((length, f"{rel}:{line}", header))
    for n, rel in sorted(long_files, reverse=True):
        print(f"file {n:5} lines  {rel}")
    for n, where, header in sorted(long_functions, reverse=True):
        print(f"function {n:4} lines  {where}  {header}")
    print(f"{len(long_files)} files over {FILE_LIMIT} lines, "
          f"{len(long_functions)} functions over {FUNCTION_LIMIT} lines")
    if limit is not None and (long_files or len(long_functions) > limit):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
