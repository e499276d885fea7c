#!/usr/bin/env python3
"""Mutation testing: does the fast suite catch plausible faults?

Each mutant on the list (tests/mutants.txt) changes one piece of text in one
product file. The working tree is copied to a scratch folder, built there
once, and then for each mutant in turn: the change is made, the programs and
tests are built again, the fast suite (every CTest test) runs, and the
change is undone. A mutant of Windows code that only wine can run says
"suite: windows": for it the 32-bit Windows build is made again and the wine
tests (make windows-test) run instead. A mutant is caught when a test fails or times out; one
that no longer compiles, or whose text is not found exactly once (white
space between its tokens aside), is a fault of the list and fails the run;
the latter are all named before anything is built.

usage: scripts/mutants.py [--list FILE] [--only WORD] [--tests REGEX] [--scratch DIR]
                        [--jobs N]

--tests runs only the CTest tests whose names match (ctest -R): which
mutants a part of the suite catches on its own. --catchers runs every test
for every mutant and names the tests that fail: which tests alone catch a
fault, before a test is merged or dropped.

It prints one line per mutant and ends with "caught N of M", naming each
survivor. The exit status is 0 only if every mutant was caught.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Mutant:
    def __init__(self, name, path, find, replace, suite):
        self.name, self.path, self.find, self.replace = name, path, find, replace
        self.suite = suite


def unescape(text):
    """The list writes a line feed as \\n and a backslash as \\\\."""
    return re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), text)


def read_list(path):
    """Blocks of '== name', 'file: PATH', 'find: TEXT', 'repl: TEXT', and
    'suite: windows' for a mutant that only the wine tests can catch."""
    mutants, fields, name = [], {}, None

    def close():
        if name is None:
            return
        missing = [key for key in ("file", "find", "repl") if key not in fields]
        if missing:
            sys.exit(f"{path}: mutant '{name}' has no {', '.join(missing)}")
        mutants.append(Mutant(name, fields["file"], unescape(fields["find"]),
                              unescape(fields["repl"]), fields.get("suite", "fast")))

    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("== "):
                close()
                name, fields = line[3:].strip(), {}
            elif name is not None and re.match(r"(file|find|repl|suite):( |$)", line):
                key, _, value = line.partition(": ")
                fields[key.rstrip(":")] = value
            else:
                sys.exit(f"{path}:{number}: not part of a mutant: {line}")
    close()
    return mutants


def pattern(find):
    """The text as a pattern that white space between tokens does not decide:
    two words need some, anything else may have any or none."""
    tokens = re.findall(r"\w+|\S", find)
    parts = [re.escape(tokens[0])] if tokens else []
    for before, token in zip(tokens, tokens[1:]):
        words = re.match(r"\w", before) and re.match(r"\w", token)
        parts.append((r"\s+" if words else r"\s*") + re.escape(token))
    return re.compile("".join(parts))


def matches(mutant, root):
    """Where the mutant's text stands in its file, as it is under root."""
    try:
        with open(os.path.join(root, mutant.path), encoding="utf-8") as file:
            return list(pattern(mutant.find).finditer(file.read()))
    except FileNotFoundError:
        return []


def run(command, cwd, timeout=None):
    """The command's exit status; 124 if it ran out of time."""
    try:
        return subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return 124


def failing_tests(command, cwd):
    """The names of the tests that failed, as CTest lists them at the end."""
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    return re.findall(r"^\s*\d+ - (\S+) \(", result.stdout, re.MULTILINE)


def copy_tree(scratch):
    """The tracked files as they are in the working tree, changes included."""
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                           capture_output=True).stdout.decode().split("\0")
    for name in filter(None, files):
        source, target = os.path.join(ROOT, name), os.path.join(scratch, name)
        if not os.path.isfile(source):
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(source, "rb") as new:
            data = new.read()
        if os.path.exists(target):
            with open(target, "rb") as old:
                if old.read() == data:
                    continue  # unchanged: no rebuild for it
        with open(target, "wb") as out:
            out.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", default=os.path.join(ROOT, "tests", "mutants.txt"))
    parser.add_argument("--only", help="only the mutants whose name contains WORD")
    parser.add_argument("--tests", help="only the CTest tests matching REGEX")
    parser.add_argument("--catchers", action="store_true",
                        help="run every test for every mutant and name those that fail")
    parser.add_argument("--scratch", default=os.path.join(ROOT, "build-mutants"))
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    options = parser.parse_args()

    mutants = [m for m in read_list(options.list) if not options.only or options.only in m.name]
    stale = [m for m in mutants if len(matches(m, ROOT)) != 1]
    for mutant in stale:
        print(f"  not a valid mutant: {mutant.name} ({mutant.path}): "
              f"its text is found {len(matches(mutant, ROOT))} times, not once")
    if stale:
        sys.exit(f"mutants: {len(stale)} of the list no longer apply; correct them first")
    source = os.path.join(options.scratch, "src")
    build = os.path.join(options.scratch, "build")
    windows_build = os.path.join(options.scratch, "build-windows")
    copy_tree(source)
    jobs = str(options.jobs)
    suite = ["ctest", "-j", jobs, "--stop-on-failure", "--timeout", "60", "--no-tests=error"]
    if options.tests:
        suite += ["-R", options.tests]
    if options.catchers:
        suite.remove("--stop-on-failure")
    # Each suite: how its build is configured, built again, and run, and where.
    wine_tests = os.path.join(source, "tests", "windows", "run_wine_tests.sh")
    toolchain = os.path.join(source, "cmake", "mingw-i686.cmake")
    suites = {
        "fast": (["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                  "-DRCDRIVE_TESTS=ON"], ["cmake", "--build", build, "-j", jobs], suite, build),
        "windows": (["cmake", "-S", source, "-B", windows_build, "-DRCDRIVE_TESTS=ON",
                     "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_TOOLCHAIN_FILE=" + toolchain],
                    ["cmake", "--build", windows_build, "-j", jobs],
                    ["bash", wine_tests, windows_build, windows_build + "64"], source),
    }
    used = sorted({m.suite for m in mutants})
    for name in used:
        configure, make, tests, where = suites[name]
        if run(configure, ROOT) != 0 or run(make, ROOT) != 0:
            sys.exit(f"mutants: the unchanged tree does not build ({name} suite)")
        if run(tests, where) != 0:
            sys.exit(f"mutants: the {name} suite fails on the unchanged tree")

    survivors, broken = [], []
    started = time.monotonic()
    for number, mutant in enumerate(mutants, 1):
        path = os.path.join(source, mutant.path)
        _, make, tests, where = suites[mutant.suite]
        with open(path, encoding="utf-8") as file:
            original = file.read()
        found = matches(mutant, source)
        if len(found) != 1:
            verdict = "text not found exactly once"
            broken.append(mutant)
        else:
            with open(path, "w", encoding="utf-8") as file:
                file.write(original[:found[0].start()] + mutant.replace + original[found[0].end():])
            try:
                if run(make, ROOT) != 0:
                    verdict = "does not compile"
                    broken.append(mutant)
                elif options.catchers and mutant.suite == "fast":
                    catchers = failing_tests(suite, build)
                    verdict = "caught by " + ", ".join(catchers) if catchers else "SURVIVED"
                    if not catchers:
                        survivors.append(mutant)
                elif run(tests, where) != 0:
                    verdict = "caught"
                else:
                    verdict = "SURVIVED"
                    survivors.append(mutant)
            finally:
                with open(path, "w", encoding="utf-8") as file:
                    file.write(original)
        print(f"[{number}/{len(mutants)}] {mutant.name}: {verdict}", flush=True)
    for name in used:
        run(suites[name][1], ROOT)  # leave the scratch builds as the tree is

    caught = len(mutants) - len(survivors) - len(broken)
    minutes = (time.monotonic() - started) / 60
    print(f"caught {caught} of {len(mutants)} ({minutes:.1f} min)")
    for mutant in survivors:
        print(f"  survived: {mutant.name} ({mutant.path})")
    for mutant in broken:
        print(f"  not a valid mutant: {mutant.name} ({mutant.path})")
    return 0 if caught == len(mutants) else 1


if __name__ == "__main__":
    sys.exit(main())
