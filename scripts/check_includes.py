#!/usr/bin/env python3
"""Checks that every source reaches only the headers its layer may see.

Quoted includes also search the including file's own folder, so a relative
include such as "../restore/restore_context.h" compiles wherever it is
written, past any include path. Two rules close that:

  1. No #include under src/ has a ".." component (read as text, every file).
  2. Every source the build compiles (compile_commands.json, with its exact
     flags) is preprocessed for its list of headers (-MM, nothing compiled);
     every header it pulls from src/ must lie in the source's own folder or
     in a folder reachable below one of its include directories (the
     include roots build/include/<root>/<folder> are links to src/ folders).

Nothing here names a layer: what a source may see comes from its target's
include path, so new libraries and their folders are covered as they come.

  check_includes.py --build DIR --source DIR [--stamp FILE] [--depfile FILE]

A source whose command and files are unchanged since its last clean verdict
is not preprocessed again (state in DIR/include_check/). Exit status 1 when
any rule is broken, with one line per fault.
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import subprocess
import sys

from compile_commands import Arguments, Flags

kSourceExtensions = (".c", ".cc", ".cpp", ".cxx")
kTextExtensions = (".h", ".hh", ".hpp", ".c", ".cc", ".cpp", ".cxx", ".inc", ".def", ".in")
kIncludeLine = re.compile(r'^\s*#\s*include\s*([<"])([^">]*)[">]')
kIncludeFlags = ("-I", "-iquote", "-isystem", "-idirafter")
kStateVersion = "1"


def Inside(path, folder):
    return path == folder or path.startswith(folder + os.sep)


def TextualFaults(src):
    """Rule 1: no include under src/ climbs with "..", whether compiled or not.
    Returns the faults and the files and folders read (a folder changes when
    a file is added to it)."""
    faults = []
    read = []
    for folder, dirs, files in os.walk(src):
        dirs.sort()
        read.append(folder)
        for name in sorted(files):
            if not name.endswith(kTextExtensions):
                continue
            path = os.path.join(folder, name)
            read.append(path)
            try:
                with open(path, encoding="utf-8", errors="replace") as f:
                    lines = f.readlines()
            except OSError:
                continue
            for number, line in enumerate(lines, 1):
                match = kIncludeLine.match(line)
                if match and ".." in re.split(r"[/\\]", match.group(2)):
                    faults.append(f"{path}:{number}: #include {match.group(1)}{match.group(2)}"
                                  f"{'>' if match.group(1) == '<' else chr(34)} climbs out of its folder with '..'")
    return faults, read


def IncludeDirs(args, directory):
    dirs = []
    i = 1
    while i < len(args):
        arg = args[i]
        for flag in kIncludeFlags:
            if arg == flag and i + 1 < len(args):
                dirs.append(args[i + 1])
                i += 1
                break
            if arg.startswith(flag) and len(arg) > len(flag) and not arg.startswith(flag + "prefix"):
                dirs.append(arg[len(flag):])
                break
        i += 1
    return [os.path.join(directory, d) for d in dirs]


kReachableCache = {}


def ReachableFolders(include_dir, roots):
    """Every real folder reachable below an include directory, links followed
    (only directories under our own trees can lead into src/)."""
    if include_dir in kReachableCache:
        return kReachableCache[include_dir]
    found = set()
    if any(Inside(os.path.realpath(include_dir), r) or Inside(include_dir, r) for r in roots):
        for folder, dirs, _ in os.walk(include_dir, followlinks=True):
            real = os.path.realpath(folder)
            if real in found:
                dirs[:] = []
                continue
            found.add(real)
    kReachableCache[include_dir] = found
    return found


def ParseDeps(text):
    text = text.replace("\\\n", " ")
    _, _, rest = text.partition(":")
    deps = []
    for token in re.findall(r"(?:\\ |[^\s])+", rest):
        deps.append(token.replace("\\ ", " "))
    return deps


def FileStamp(path):
    try:
        st = os.stat(path)
        return f"{st.st_mtime_ns}:{st.st_size}"
    except OSError:
        return "missing"


def CheckSource(entry, src, roots):
    """Returns (source, faults, files read)."""
    directory = entry["directory"]
    source = os.path.normpath(os.path.join(directory, entry["file"]))
    args = Arguments(entry)
    # The compile command turned into a dependency listing: same compiler,
    # same flags, no object written.
    command = [args[0], *Flags(entry), "-MM", "-MF", "-", entry["file"]]
    run = subprocess.run(command, cwd=directory, capture_output=True, text=True)
    if run.returncode != 0:
        return source, [f"{source}: does not preprocess with its build's flags:\n{run.stderr.strip()}"], [source]
    # Joined, not normalised: "link/../x" goes where the link leads.
    deps = [os.path.join(directory, d) for d in ParseDeps(run.stdout)]
    own = os.path.dirname(os.path.realpath(source))
    reachable = {own}
    include_dirs = IncludeDirs(args, directory)
    for d in include_dirs:
        reachable |= ReachableFolders(d, roots)
    faults = []
    for dep in deps[1:]:
        real = os.path.realpath(dep)
        if not Inside(real, src):
            continue
        if os.path.dirname(real) not in reachable:
            seen = sorted(os.path.relpath(r, os.path.dirname(src)) for r in reachable if Inside(r, src))
            faults.append(f"{source}: pulls {os.path.relpath(real, os.path.dirname(src))}, which lies neither in "
                          f"its own folder nor below its include path (it reaches: {', '.join(seen) or 'nothing in src/'})")
    return source, faults, deps


def WriteDepfile(path, stamp, files):
    def Escape(p):
        return p.replace(" ", "\\ ")
    with open(path + ".tmp", "w") as f:
        f.write(Escape(stamp) + ":")
        for p in sorted(set(files)):
            f.write(" \\\n  " + Escape(p))
        f.write("\n")
    os.replace(path + ".tmp", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, help="build folder holding compile_commands.json")
    parser.add_argument("--source", required=True, help="the project's top folder (holding src/)")
    parser.add_argument("--stamp", help="file touched when every rule holds")
    parser.add_argument("--depfile", help="depfile naming every file read, for the build tool")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    opts = parser.parse_args()

    top = os.path.realpath(opts.source)
    build = os.path.realpath(opts.build)
    src = os.path.join(top, "src")
    faults, tree = TextualFaults(src)

    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    # Sources of our own trees only: generated sources are written by our
    # generators into the build folder.
    entries = [e for e in entries
               if e["file"].endswith(kSourceExtensions)
               and Inside(os.path.realpath(os.path.join(e["directory"], e["file"])), top)
               and not Inside(os.path.realpath(os.path.join(e["directory"], e["file"])), build)]

    state_dir = os.path.join(build, "include_check")
    os.makedirs(state_dir, exist_ok=True)
    state_path = os.path.join(state_dir, "clean.json")
    try:
        with open(state_path) as f:
            state = json.load(f)
        if state.get("version") != kStateVersion:
            state = {}
    except (OSError, ValueError):
        state = {}
    clean = state.get("clean", {})

    def Key(entry):
        return hashlib.sha256(json.dumps([entry["directory"], Arguments(entry), entry["file"]]).encode()).hexdigest()

    todo, read = [], []
    new_clean = {}
    for entry in entries:
        key = Key(entry)
        known = clean.get(key)
        if known and all(FileStamp(p) == s for p, s in known.items()):
            new_clean[key] = known
            read.extend(known)
        else:
            todo.append(entry)

    roots = [top, build]
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, opts.jobs)) as pool:
        for entry, (source, source_faults, deps) in zip(todo, pool.map(lambda e: CheckSource(e, src, roots), todo)):
            read.extend(deps)
            if source_faults:
                faults.extend(source_faults)
            else:
                new_clean[Key(entry)] = {p: FileStamp(p) for p in deps}

    with open(state_path + ".tmp", "w") as f:
        json.dump({"version": kStateVersion, "clean": new_clean}, f)
    os.replace(state_path + ".tmp", state_path)

    if opts.depfile and opts.stamp:
        WriteDepfile(opts.depfile, os.path.abspath(opts.stamp), read + tree + [os.path.join(build, "compile_commands.json")])

    for fault in faults:
        print(f"include check: {fault}", file=sys.stderr)
    if faults:
        print(f"include check: {len(faults)} fault(s); {len(entries)} sources checked, {len(todo)} preprocessed",
              file=sys.stderr)
        if opts.stamp and os.path.exists(opts.stamp):
            os.remove(opts.stamp)
        return 1
    if opts.stamp:
        with open(opts.stamp, "w") as f:
            f.write(f"{len(entries)} sources, {len(todo)} preprocessed\n")
    print(f"include check: {len(entries)} sources keep to their include paths ({len(todo)} preprocessed)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
