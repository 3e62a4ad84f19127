#!/usr/bin/env python3
"""The include check (scripts/check_includes.py) on a small tree built like
ours: a two-layer core and a platform folder split into sub-libraries, each
library with an include root of links into src/. Each case plants includes
into a fresh copy and expects the check's verdict and the faults it names.

  include_check_test.py CHECK_SCRIPT CXX
"""
import json
import os
import subprocess
import sys
import tempfile

# Files of the clean tree, relative to its top.
kTree = {
    "src/low/low.h": "#pragma once\nint Low();\n",
    "src/low/low.cpp": '#include "low/low.h"\nint Low() { return 1; }\n',
    "src/high/high.h": '#pragma once\n#include "low/low.h"\ninline int High() { return Low() + 1; }\n',
    "src/high/high.cpp": '#include "high/high.h"\nint Twice() { return 2 * High(); }\n',
    "src/plat/base/port.h": '#pragma once\n#include "low/low.h"\nint Port();\n',
    "src/plat/base/port.cpp": '#include "plat/base/port.h"\nint Port() { return Low(); }\n',
    "src/plat/app/app.h": '#pragma once\n#include "plat/base/port.h"\nint App();\n',
    "src/plat/app/app.cpp": '#include "plat/app/app.h"\n#include "high/high.h"\nint App() { return Port() + High(); }\n',
    "src/plat/main.cpp": '#include "plat/app/app.h"\nint main() { return App(); }\n',
}

# Include roots: build/include/<root>/<path> -> src/<folder>.
kRoots = {
    "low": {"low": "low"},
    "high": {"high": "high"},
    "platbase": {"plat/base": "plat/base"},
    "platapp": {"plat/app": "plat/app"},
}

# Each compiled source with the roots on its include path, as its target's
# links give them.
kSources = {
    "src/low/low.cpp": ["low"],
    "src/high/high.cpp": ["high", "low"],
    "src/plat/base/port.cpp": ["platbase", "low"],
    "src/plat/app/app.cpp": ["platapp", "platbase", "high", "low"],
    "src/plat/main.cpp": ["platapp", "platbase", "high", "low"],
}

# name, lines appended to files, expected exit status, fragments every one
# of which the check's report must hold.
kCases = [
    ("clean tree", {}, 0, ["5 sources keep to their include paths"]),
    ("core: relative include climbing to the layer above",
     {"src/low/low.cpp": '#include "../high/high.h"\n'}, 1,
     ['low/low.cpp:3: #include "../high/high.h" climbs', "low/low.cpp: pulls src/high/high.h"]),
    ("core: a header climbing, seen from every source that includes it",
     {"src/low/low.h": '#include "../high/high.h"\n'}, 1,
     ["low/low.h:3: #include", "low/low.cpp: pulls src/high/high.h", "plat/base/port.cpp: pulls src/high/high.h"]),
    ("core: upward include by the root's name", {"src/low/low.cpp": '#include "high/high.h"\n'}, 1,
     ["low/low.cpp: does not preprocess", "high/high.h"]),
    ("sub-layer: relative include climbing to its sibling above",
     {"src/plat/base/port.cpp": '#include "../app/app.h"\n'}, 1,
     ['plat/base/port.cpp:3: #include "../app/app.h" climbs', "plat/base/port.cpp: pulls src/plat/app/app.h"]),
    ("sub-layer: upward include by the root's name", {"src/plat/base/port.cpp": '#include "plat/app/app.h"\n'}, 1,
     ["plat/base/port.cpp: does not preprocess", "plat/app/app.h"]),
    ("a folder the include path reaches, named through the own folder",
     {"src/plat/main.cpp": '#include "base/port.h"\n'}, 0, ["5 sources keep to their include paths"]),
    ("a folder below the own folder that no include root reaches",
     {"src/plat/main.cpp": '#include "extra/extra.h"\n', "src/plat/extra/extra.h": "#pragma once\n"}, 1,
     ["plat/main.cpp: pulls src/plat/extra/extra.h"]),
    ("a climbing include in a file no source includes", {"src/high/unused.h": '#include <../low/low.h>\n'}, 1,
     ["high/unused.h:1: #include <../low/low.h> climbs"]),
]


def MakeTree(top, compiler, plants):
    for path, text in kTree.items():
        os.makedirs(os.path.dirname(os.path.join(top, path)), exist_ok=True)
        with open(os.path.join(top, path), "w") as f:
            f.write(text)
    for path, text in plants.items():
        full = os.path.join(top, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "a") as f:
            f.write(text)
    build = os.path.join(top, "build")
    for root, links in kRoots.items():
        for link, folder in links.items():
            at = os.path.join(build, "include", root, link)
            os.makedirs(os.path.dirname(at), exist_ok=True)
            os.symlink(os.path.join(top, "src", folder), at)
    entries = []
    for source, roots in kSources.items():
        flags = [f"-I{os.path.join(build, 'include', r)}" for r in roots]
        entries.append({"directory": build, "file": os.path.join(top, source),
                        "arguments": [compiler, *flags, "-std=c++20", "-o", source + ".o", "-c",
                                      os.path.join(top, source)]})
    with open(os.path.join(build, "compile_commands.json"), "w") as f:
        json.dump(entries, f)
    return build


def main():
    script, compiler = sys.argv[1], sys.argv[2]
    failures = 0
    for name, plants, status, fragments in kCases:
        with tempfile.TemporaryDirectory() as top:
            build = MakeTree(top, compiler, plants)
            run = subprocess.run([sys.executable, script, "--build", build, "--source", top],
                                 capture_output=True, text=True)
            report = run.stdout + run.stderr
            missing = [f for f in fragments if f not in report]
            if run.returncode != status or missing:
                failures += 1
                print(f"FAIL: {name}: exit {run.returncode} (expected {status}), missing {missing}\n{report}")
            else:
                print(f"ok: {name}")
    print(f"{len(kCases) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
