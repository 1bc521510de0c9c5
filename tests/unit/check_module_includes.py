#!/usr/bin/python3
"""Fails when the sensor core includes a module's header, or a module
another module's.

    check_module_includes.py MODULES_DIR
    check_module_includes.py --self-test

MODULES_DIR/common is the core, which both modules build on; every other
folder is a module.  The sources include headers by bare name through the
include path, so each name is looked up among the folders' files: a file
of the core may include only the core's headers, a module's file only the
core's and its own.  A name no folder holds, or one held by a folder the
file may not include (a name in two folders among them), is an error.
"""

import re
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
CORE = "common"
SOURCES = (".h", ".cpp")


def problems(modules):
    folders = sorted(p.name for p in modules.iterdir() if p.is_dir())
    if CORE not in folders:
        return [f"{CORE}/: no core folder in {modules}"]
    homes = {}
    for folder in folders:
        for path in (modules / folder).rglob("*"):
            if path.suffix in SOURCES:
                homes.setdefault(path.name, set()).add(folder)
    found = []
    for folder in folders:
        allowed = {CORE} if folder == CORE else {CORE, folder}
        for path in sorted((modules / folder).rglob("*")):
            if path.suffix not in SOURCES:
                continue
            text = path.read_text(errors="replace")
            for name in INCLUDE.findall(text):
                where = f"{path.relative_to(modules)} includes \"{name}\""
                held = homes.get(Path(name).name, set())
                if not held:
                    found.append(f"{where}: no folder holds it")
                elif not held <= allowed:
                    others = ", ".join(f"{f}/" for f in sorted(held - allowed))
                    found.append(f"{where}, a header of {others}")
    return found


def self_test():
    """The check itself: the core including a module's header, a module
    including another's and a name nobody holds are each found, and the
    includes that are allowed are not."""
    import tempfile
    with tempfile.TemporaryDirectory() as d:
        modules = Path(d)
        for rel, text in {
            "common/core.h": "",
            "common/core.cpp": '#include "core.h"\n#include "a.h"\n',
            "mod_a/a.h": '#include "core.h"\n',
            "mod_a/a.cpp": '#include "a.h"\n#include "b.h"\n',
            "mod_b/b.h": '#include "core.h"\n#include <ngx_core.h>\n',
            "mod_b/b.cpp": '#include "b.h"\n#include "gone.h"\n',
        }.items():
            (modules / rel).parent.mkdir(parents=True, exist_ok=True)
            (modules / rel).write_text(text)
        found = problems(modules)
        want = ['common/core.cpp includes "a.h"', 'mod_a/a.cpp includes "b.h"',
                'mod_b/b.cpp includes "gone.h"']
        assert len(found) == 3 and all(
            any(w in f for f in found) for w in want), found


def main():
    if sys.argv[1:] == ["--self-test"]:
        self_test()
        return
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    found = problems(Path(sys.argv[1]))
    for p in found:
        print(p)
    sys.exit(1 if found else 0)


if __name__ == "__main__":
    main()
