#!/usr/bin/env python3
"""What the library makes visible to the code that links it.

The rule (DEVELOPERS.md): everything in namespace trelvar outside
trelvar::detail is public API, declared in a public header; internals live in
trelvar::detail or in anonymous namespaces. So:

- required: every function or variable the library defines out of line in
  the public namespace, and the type information and virtual tables of its
  public classes (exceptions must be caught by type across a shared-library
  boundary), is visible;
- forbidden: nothing of trelvar::detail, of an anonymous namespace or of the
  private dependency pugixml has default visibility in the objects;
- a shared library exports (dynamic symbol table) the required symbols and
  nothing outside the public namespace (standard-library instantiations are
  kept out by its version script), and carries the expected SONAME.

Usage: check_symbols.py [--soname NAME] LIBRARY OBJECT...
"""
import argparse
import subprocess
import sys

INTERNAL = ("trelvar::detail::", "(anonymous namespace)", "pugi::")
CLASS_DATA = ("typeinfo for ", "typeinfo name for ", "vtable for ")


def demangle(names):
    if not names:
        return []
    out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True,
                         check=True).stdout.splitlines()
    assert len(out) == len(names)
    return out


def defined_symbols(objects):
    """(name, binding, visibility, type) of every defined global or weak symbol."""
    out = subprocess.run(["readelf", "-sW", *objects], capture_output=True, text=True,
                         check=True).stdout
    rows = []
    for line in out.splitlines():
        f = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(f) < 8 or not f[0].endswith(":") or f[6] == "UND":
            continue
        if f[4] not in ("GLOBAL", "WEAK"):
            continue
        rows.append((f[7], f[4], f[5], f[3]))
    names = demangle([r[0] for r in rows])
    return [(n, b, v, t) for n, (_, b, v, t) in zip(names, rows)]


def exported_symbols(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True,
                         text=True, check=True).stdout
    return set(demangle([line.split()[-1] for line in out.splitlines() if line.strip()]))


def soname(library):
    out = subprocess.run(["readelf", "-dW", library], capture_output=True, text=True,
                         check=True).stdout
    for line in out.splitlines():
        if "(SONAME)" in line:
            return line.split("[", 1)[1].rstrip("]")
    return None


def is_internal(name):
    return any(marker in name for marker in INTERNAL)


def is_public(name):
    """A name of the public namespace, or the type information of one of its classes."""
    for prefix in CLASS_DATA:
        if name.startswith(prefix):
            name = name[len(prefix):]
    return name.startswith("trelvar::") and not is_internal(name)


def is_required(name, binding, kind):
    if is_internal(name):
        return False
    for prefix in CLASS_DATA:
        if name.startswith(prefix):
            return name[len(prefix):].startswith("trelvar::")
    # Out-of-line definitions (strong symbols); inline functions and template
    # instantiations are weak and may be emitted by every user.
    return binding == "GLOBAL" and kind in ("FUNC", "OBJECT") and name.startswith("trelvar::")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--soname")
    parser.add_argument("library")
    parser.add_argument("objects", nargs="+")
    args = parser.parse_args()

    symbols = defined_symbols(args.objects)
    problems = []
    required = sorted({n for n, b, v, t in symbols if is_required(n, b, t)})
    for n, b, v, t in symbols:
        if is_required(n, b, t) and v != "DEFAULT":
            problems.append(f"not exported ({v.lower()}): {n} -- declare it inside a public "
                            "header's visibility region, or move it into trelvar::detail")
        if is_internal(n) and v == "DEFAULT":
            problems.append(f"internal symbol with default visibility: {n}")

    shared = args.library.endswith(".so") or ".so." in args.library
    exported = set()
    if shared:
        exported = exported_symbols(args.library)
        for n in required:
            if n not in exported:
                problems.append(f"missing from the dynamic symbol table: {n}")
        for n in sorted(exported):
            if not is_public(n):
                problems.append(f"exported symbol outside the public namespace: {n}")
        name = soname(args.library)
        if name != args.soname:
            problems.append(f"SONAME is {name!r}, expected {args.soname!r}")

    for p in sorted(set(problems)):
        print(p)
    print(f"{len(required)} public symbols required"
          + (f", {len(exported)} exported" if shared else "") + f", {len(problems)} problems")
    # An empty required set means the objects were not read: fail rather than pass.
    return 1 if problems or not required else 0


if __name__ == "__main__":
    sys.exit(main())
