#!/usr/bin/env python3
"""Prints the key of a clang-tidy verdict on one source: a hash of everything
the verdict depends on, so that a clean verdict can be kept and trusted
while none of it changes.

  tidy_key.py BUILD FILE [EXTRA-ARG...]

The key covers the source as clang sees it (preprocessed by clang with the
build's flags and the extra arguments, comments kept, in macros too, so that NOLINT marks
count, every header included), the .clang-tidy files that apply to it, the
clang-tidy and clang versions, and the flags themselves. The project's and
the build folder's paths are replaced by placeholders, so that another
clone finds the same keys. Exit status 1, with nothing printed, when the
source cannot be preprocessed that way: the caller then runs the check.
"""
import hashlib
import json
import os
import re
import subprocess
import sys

from compile_commands import Arguments, Flags

kVersion = "tidy-verdict-1"


def main():
    build, source, extra = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2]), sys.argv[3:]
    top = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    entry = next((e for e in entries if os.path.realpath(os.path.join(e["directory"], e["file"])) == source), None)
    if entry is None:
        return 1
    args = Arguments(entry)
    flags = Flags(entry)
    extra_flags = [a[len("--extra-arg="):] for a in extra if a.startswith("--extra-arg=")]
    lang = ["-x", "c"] if source.endswith(".c") else ["-x", "c++"]
    run = subprocess.run(["clang++", *lang, *flags, *extra_flags, "-E", "-CC", "-Wno-everything", source],
                         cwd=entry["directory"], capture_output=True)
    if run.returncode != 0:
        return 1

    def Neutral(data):
        return data.replace(build.encode(), b"<build>").replace(top.encode(), b"<top>")

    digest = hashlib.sha256()
    digest.update(kVersion.encode() + b"\0")
    for tool in (["clang-tidy", "--version"], ["clang++", "--version"]):
        digest.update(subprocess.run(tool, capture_output=True).stdout + b"\0")
    # The nearest .clang-tidy above the source, and those above it that it
    # inherits from, as clang-tidy reads them.
    folder = os.path.dirname(source)
    while True:
        config = os.path.join(folder, ".clang-tidy")
        if os.path.isfile(config):
            with open(config, "rb") as f:
                text = f.read()
            digest.update(Neutral(config.encode()) + b"\0" + text + b"\0")
            if not re.search(rb"^InheritParentConfig:\s*true", text, re.M):
                break
        if folder == os.path.dirname(folder):
            break
        folder = os.path.dirname(folder)
    digest.update(Neutral(json.dumps([args[0], flags, extra]).encode()) + b"\0")
    digest.update(Neutral(run.stdout))
    print(digest.hexdigest())
    return 0


if __name__ == "__main__":
    sys.exit(main())
