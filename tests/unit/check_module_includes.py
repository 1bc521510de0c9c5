#!/usr/bin/python3
"""Fails when the sensor core includes a header of the exporter or of a
module, the exporter a module's, or a module another module's.

    check_module_includes.py MODULES_DIR
    check_module_includes.py --self-test

MODULES_DIR/common is the core, which everything builds on;
MODULES_DIR/common/exporter is the exporter, which sits on the core and
below the modules; every other folder is a module.  The sources include
headers by bare name through the include path, so each name is looked up
among the folders' files: a file of the core may include only the core's
headers, the exporter's only the core's and its own, a module's the
core's, its own and of the exporter's only its interface, exporter.h.  A name no folder holds, or one held
by a folder the file may not include (a name in two folders among them),
is an error.
"""

import re
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
CORE = "common"
EXPORTER = "common/exporter"
SOURCES = (".h", ".cpp")
INTERFACE = "exporter.h"


def layer(modules, path):
    """The folder a source belongs to: the exporter, the core or a module."""
    rel = path.relative_to(modules)
    if rel.parts[:2] == tuple(EXPORTER.split("/")):
        return EXPORTER
    return rel.parts[0]


def allowed(folder):
    if folder == CORE:
        return {CORE}
    if folder == EXPORTER:
        return {CORE, EXPORTER}
    return {CORE, EXPORTER, folder}


def problems(modules):
    top = sorted(p.name for p in modules.iterdir() if p.is_dir())
    if CORE not in top:
        return [f"{CORE}/: no core folder in {modules}"]
    sources = sorted(p for folder in top for p in (modules / folder).rglob("*")
                     if p.suffix in SOURCES)
    homes = {}
    for path in sources:
        homes.setdefault(path.name, set()).add(layer(modules, path))
    found = []
    for path in sources:
        ok = allowed(layer(modules, path))
        text = path.read_text(errors="replace")
        for name in INCLUDE.findall(text):
            where = f"{path.relative_to(modules)} includes \"{name}\""
            held = homes.get(Path(name).name, set())
            if not held:
                found.append(f"{where}: no folder holds it")
            elif not held <= ok:
                others = ", ".join(f"{f}/" for f in sorted(held - ok))
                found.append(f"{where}, a header of {others}")
            elif (layer(modules, path) not in (CORE, EXPORTER)
                  and EXPORTER in held and Path(name).name != INTERFACE):
                found.append(f"{where}: a module sees the exporter only "
                             f"through {INTERFACE}")
    return found


def self_test():
    """The check itself: the core including the exporter's or a module's
    header, the exporter a module's, a module another's or an exporter
    header other than its interface, and a name nobody holds are each
    found, and the includes that are allowed are not."""
    import tempfile
    with tempfile.TemporaryDirectory() as d:
        modules = Path(d)
        for rel, text in {
            "common/core.h": "",
            "common/core.cpp": '#include "core.h"\n#include "a.h"\n',
            "common/peers.cpp": '#include "exp.h"\n',
            "common/exporter/exporter.h": '#include "core.h"\n',
            "common/exporter/exp.h": '#include "exporter.h"\n',
            "common/exporter/exp.cpp": '#include "exp.h"\n#include "b.h"\n',
            "mod_a/a.h": '#include "core.h"\n#include "exporter.h"\n',
            "mod_a/inner.cpp": '#include "a.h"\n#include "exp.h"\n',
            "mod_a/a.cpp": '#include "a.h"\n#include "b.h"\n',
            "mod_b/b.h": '#include "core.h"\n#include <ngx_core.h>\n',
            "mod_b/b.cpp": '#include "b.h"\n#include "gone.h"\n',
        }.items():
            (modules / rel).parent.mkdir(parents=True, exist_ok=True)
            (modules / rel).write_text(text)
        found = problems(modules)
        want = ['common/core.cpp includes "a.h"',
                'common/peers.cpp includes "exp.h"',
                'common/exporter/exp.cpp includes "b.h"',
                'mod_a/a.cpp includes "b.h"',
                'mod_a/inner.cpp includes "exp.h"',
                'mod_b/b.cpp includes "gone.h"']
        assert len(found) == len(want) and all(
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
