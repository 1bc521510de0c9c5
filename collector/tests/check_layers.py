#!/usr/bin/python3
"""Fails when a layer of the collector includes a layer above it.

    check_layers.py SRC_DIR LAYER... [--outside HEADER=LAYER]...
                                       (lowest layer first)

Each folder of SRC_DIR is a layer; a file may include its own layer's
headers and those of the layers named before it, by their path from
SRC_DIR ("store/store.h").  Files directly in SRC_DIR (main.cpp and the
command line) sit above every layer.  A folder that is not in the list is
an error too, so that a new one gets its place in the order.

--outside names a header from outside SRC_DIR, found through an include
path (the wire definition the collector shares with the sensor), and the
lowest layer that may include it; below that layer, and for any other
name without a layer, the include is an error.
"""

import re
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def problems(src, layers, outside=None):
    rank = {name: i for i, name in enumerate(layers)}
    outside = outside or {}
    found = []
    for folder in sorted(p for p in src.iterdir() if p.is_dir()):
        if folder.name not in rank:
            found.append(f"{folder.name}/: a folder that is not a layer; "
                         f"give it its place in the order")
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp") or path.parent == src:
            continue
        layer = path.relative_to(src).parts[0]
        if layer not in rank:
            continue
        for name in INCLUDE.findall(path.read_text(errors="replace")):
            target = name.split("/")[0] if "/" in name else None
            where = f"{path.relative_to(src)} includes \"{name}\""
            if target is None and name in outside:
                if rank[outside[name]] > rank[layer]:
                    found.append(f"{where}: allowed from {outside[name]} "
                                 f"up, and {layer} is below it")
            elif target is None:
                found.append(f"{where}: a header of the top (main) or one "
                             f"named without its layer")
            elif target not in rank:
                found.append(f"{where}: not a layer")
            elif rank[target] > rank[layer]:
                found.append(f"{where}: {target} is above {layer}")
    return found


def self_test():
    """The check itself: a lower layer including an upper one, a folder
    left out of the order and a header of the top are each found."""
    import tempfile
    with tempfile.TemporaryDirectory() as d:
        src = Path(d)
        for rel, text in {
            "low/a.h": '#include "low/b.h"\n',
            "low/b.cpp": '#include "high/c.h"\n',
            "high/c.cpp": '#include "low/a.h"\n#include "options.h"\n',
            "stray/d.h": "",
            "main.cpp": '#include "high/c.h"\n',
            "high/e.cpp": '#include "wire.h"\n',
            "low/f.cpp": '#include "wire.h"\n',
        }.items():
            (src / rel).parent.mkdir(parents=True, exist_ok=True)
            (src / rel).write_text(text)
        found = problems(src, ["low", "high"], {"wire.h": "high"})
        want = ["stray/", "low/b.cpp includes \"high/c.h\"",
                "high/c.cpp includes \"options.h\"",
                "low/f.cpp includes \"wire.h\""]
        assert len(found) == 4 and all(
            any(w in f for f in found) for w in want), found


def main():
    if sys.argv[1:] == ["--self-test"]:
        self_test()
        return
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    args, outside = [], {}
    it = iter(sys.argv[1:])
    for a in it:
        if a == "--outside":
            header, _, layer = next(it, "").partition("=")
            outside[header] = layer
        else:
            args.append(a)
    if any(layer not in args[1:] for layer in outside.values()):
        sys.exit("--outside names a layer that is not in the list")
    found = problems(Path(args[0]), args[1:], outside)
    for p in found:
        print(p)
    sys.exit(1 if found else 0)


if __name__ == "__main__":
    main()
