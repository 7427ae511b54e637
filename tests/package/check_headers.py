#!/usr/bin/env python3
"""The rules for public headers that the compiler does not check.

1. A public header includes only standard, Eigen and other public headers
   ("trelvar/<name>.hpp" that exist in include/trelvar, or the generated
   "trelvar/version.hpp"), never an internal one.
2. Everything it declares in namespace trelvar sits between
   `#pragma GCC visibility push(default)` (after the last #include) and
   `#pragma GCC visibility pop` (at the end), so that the shared library
   exports it.

Usage: check_headers.py INCLUDE_DIR   (the directory include/trelvar)
"""
import os
import re
import sys

PUSH = "#pragma GCC visibility push(default)"
POP = "#pragma GCC visibility pop"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def code_lines(text):
    """(line number, stripped line) of the lines that are not blank or comments."""
    out = []
    in_block = False
    for number, line in enumerate(text.splitlines(), 1):
        s = line.strip()
        if in_block:
            if "*/" in s:
                in_block = False
                s = s.split("*/", 1)[1].strip()
            else:
                continue
        if s.startswith("/*") and "*/" not in s:
            in_block = True
            continue
        if not s or s.startswith("//"):
            continue
        out.append((number, s))
    return out


def check_header(path, public):
    name = os.path.basename(path)
    problems = []
    with open(path, encoding="utf-8") as f:
        lines = code_lines(f.read())
    includes = []
    for number, s in lines:
        m = INCLUDE.match(s)
        if not m:
            continue
        includes.append(number)
        target = m.group(2)
        if m.group(1) == '"' or target.startswith("trelvar/"):
            if not (target.startswith("trelvar/") and target[len("trelvar/"):] in public):
                problems.append(f"{name}:{number}: includes {target!r}, which is not a public "
                                "header (public headers include only trelvar/<public>.hpp)")
    pushes = [n for n, s in lines if s == PUSH]
    pops = [n for n, s in lines if s == POP]
    namespaces = [n for n, s in lines if re.match(r"namespace\s+trelvar\b", s)]
    if not namespaces:
        return problems
    if len(pushes) != 1 or len(pops) != 1:
        problems.append(f"{name}: needs exactly one '{PUSH}' and one '{POP}' around its "
                        f"declarations (found {len(pushes)} and {len(pops)})")
        return problems
    push, pop = pushes[0], pops[0]
    if includes and push < max(includes):
        problems.append(f"{name}:{push}: '{PUSH}' must come after the last #include")
    if push > min(namespaces):
        problems.append(f"{name}:{min(namespaces)}: namespace trelvar opened before '{PUSH}'")
    if pop != lines[-1][0]:
        problems.append(f"{name}:{pop}: '{POP}' must be the header's last line of code")
    return problems


def main():
    include_dir = sys.argv[1]
    headers = sorted(h for h in os.listdir(include_dir) if h.endswith(".hpp"))
    public = set(headers) | {"version.hpp"}
    problems = []
    for h in headers:
        problems += check_header(os.path.join(include_dir, h), public)
    for p in problems:
        print(p)
    print(f"{len(headers)} public headers, {len(problems)} problems")
    return 1 if problems or not headers else 0


if __name__ == "__main__":
    sys.exit(main())
