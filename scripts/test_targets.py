#!/usr/bin/env python3
"""Names what a CTest selection needs built, so that a filtered run builds
only that: the build outputs that the selected tests (and the fixtures they
require) name in their commands, their arguments and their environment,
and the outputs below a folder of the build that they name (a folder of
boot images, say). Each output pulls in what its target depends on.

  test_targets.py PRESET BUILD [CTEST FILTER...]

Prints one ninja target a line (paths relative to BUILD); nothing when the
selected tests need nothing built (they read the sources, the compile
commands or what the configure step wrote).
"""
import json
import os
import re
import subprocess
import sys

kToken = re.compile(r'\[(=*)\[(.*?)\]\1\]|"((?:[^"\\]|\\.)*)"|([^\s()"]+)', re.S)


def Words(text):
    words = []
    for m in kToken.finditer(text):
        if m.group(2) is not None:
            words.append(m.group(2))
        elif m.group(3) is not None:
            words.append(re.sub(r"\\(.)", r"\1", m.group(3)))
        else:
            words.append(m.group(4))
    return words


def TestCommands(folder):
    """name -> command and arguments, from the CTestTestfile.cmake files."""
    commands = {}
    path = os.path.join(folder, "CTestTestfile.cmake")
    if not os.path.exists(path):
        return commands
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("add_test(") and line.endswith(")"):
                words = Words(line[len("add_test("):-1])
                if words:
                    commands[words[0]] = words[1:]
            elif line.startswith("subdirs(") and line.endswith(")"):
                for sub in Words(line[len("subdirs("):-1]):
                    commands.update(TestCommands(os.path.join(folder, sub)))
    return commands


def Selection(preset, filters):
    run = subprocess.run(["ctest", "--preset", preset, "-N", "--show-only=json-v1", *filters],
                         capture_output=True, text=True, check=True)
    return json.loads(run.stdout)["tests"]


def Property(test, name):
    for p in test.get("properties", []):
        if p["name"] == name:
            return p["value"]
    return None


def main():
    preset, build, filters = sys.argv[1], os.path.realpath(sys.argv[2]), sys.argv[3:]
    selected = Selection(preset, filters)
    everything = Selection(preset, [])
    names = {t["name"] for t in selected}
    fixtures = set()
    for t in selected:
        fixtures.update(Property(t, "FIXTURES_REQUIRED") or [])
    for t in everything:
        if set(Property(t, "FIXTURES_SETUP") or []) & fixtures:
            names.add(t["name"])
    tests = {t["name"]: t for t in everything}
    commands = TestCommands(build)

    run = subprocess.run(["ninja", "-C", build, "-t", "targets", "all"], capture_output=True, text=True, check=True)
    outputs = {}
    for line in run.stdout.splitlines():
        out, _, rule = line.rpartition(": ")
        if rule in ("phony", "CLEAN", "HELP", "RERUN_CMAKE") or "CMakeFiles/" in out:
            continue
        path = os.path.normpath(os.path.join(build, out))
        if path not in outputs or not os.path.isabs(out):
            outputs[path] = out

    words = []
    for name in sorted(names):
        words.extend(commands.get(name, []))
        words.extend(Property(tests.get(name, {}), "ENVIRONMENT") or [])
        words.extend(Property(tests.get(name, {}), "REQUIRED_FILES") or [])
    needed = set()
    for word in words:
        for part in re.split(r"[=;|,]", word):
            if not part.startswith("/"):
                continue
            path = os.path.normpath(part)
            if path == build or not path.startswith(build + os.sep):
                continue
            if path in outputs:
                needed.add(outputs[path])
            else:
                needed.update(o for p, o in outputs.items() if p.startswith(path + os.sep))
    for target in sorted(needed):
        print(target)


if __name__ == "__main__":
    sys.exit(main())
