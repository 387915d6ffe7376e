#!/usr/bin/env python3
"""Fails when a shared library exports a name that its public headers do not declare.

Usage: check_exported_symbols.py NM LIBRARY LIST

LIST holds one regular expression a line, each matching whole demangled names
that LIBRARY may export. Lines starting with `#` are comments; `@include FILE`
reads another list from the same folder. Placeholders: {member} stands for a
member function, operator or constructor of the class named just before it
(not for a member of a class nested in it), {rtti} for "typeinfo for ",
"typeinfo name for " or "vtable for ", and {record} for a databrowse record
class.
"""

import pathlib
import re
import subprocess
import sys

PLACEHOLDERS = {
    "{member}": r"(?:~?\w+|operator[^\w\s(]+)(?:\[abi:cxx11\])?\(.*",
    "{rtti}": r"(?:typeinfo|typeinfo name|vtable) for ",
    "{record}": r"databrowse::(?:detail::)?\w+",
}


def read_patterns(path, seen=()):
    if path in seen:
        raise SystemExit(f"{path}: included in a cycle")
    patterns = []
    for number, line in enumerate(path.read_text().splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("@include "):
            patterns += read_patterns(path.parent / line.split(None, 1)[1], seen + (path,))
            continue
        for placeholder, expression in PLACEHOLDERS.items():
            line = line.replace(placeholder, expression)
        try:
            patterns.append(re.compile(line))
        except re.error as error:
            raise SystemExit(f"{path}:{number}: {error}")
    return patterns


def exported_names(nm, library):
    listing = subprocess.run([nm, "-D", "--defined-only", "--demangle", library],
                             check=True, capture_output=True, text=True).stdout
    # Each line is "ADDRESS TYPE NAME"; the name may contain spaces.
    return [line.split(" ", 2)[2] for line in listing.splitlines() if line.count(" ") >= 2]


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    nm, library, list_file = sys.argv[1:]
    patterns = read_patterns(pathlib.Path(list_file))
    names = exported_names(nm, library)
    unexpected = [name for name in names if not any(p.fullmatch(name) for p in patterns)]
    print(f"{library}: {len(names)} exported names, {len(unexpected)} not public")
    for name in sorted(unexpected):
        print(f"  not public: {name}")
    if not names:
        print("  the library exports nothing: the export macro is not in effect")
    return 1 if unexpected or not names else 0


if __name__ == "__main__":
    sys.exit(main())
