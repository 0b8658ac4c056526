#!/usr/bin/env python3
"""Mutation check: proves that the unit tests notice a wrong program.

Applies one source change at a time from scripts/mutations.txt, rebuilds the
test programs that cover the changed folder, runs them and puts the file back.
A change that every test survives is a survivor: either a test is missing, or
the change cannot alter what the program does and belongs out of the list.

    python3 scripts/mutate.py                 # every mutation
    python3 scripts/mutate.py 3 17-20         # some of them, by number
    python3 scripts/mutate.py --grep FlashRun # those whose entry mentions a text
    python3 scripts/mutate.py --check         # only check that every entry applies

Environment: BUILD_DIR (default build-mutate), WIN_BUILD_DIR (default
build-win-mutate, for entries whose tests run under Wine), JOBS (default:
number of cores).
It refuses to start on a tree with changes or unknown files, and it puts
every file back however it ends (also on Ctrl-C, SIGTERM or SIGHUP).
Exit status: 0 no survivor, 1 survivors or broken entries, 2 it could not run.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIST = os.path.join(ROOT, "scripts", "mutations.txt")

# Which test programs a change in a folder runs (the first matching prefix
# wins). A program name may carry a filter: "programs:Programs.Pack*";
# "ctest:LABEL" runs the tests of a CTest label instead (after a build of
# everything): "ctest:system" boots the QEMU guest of tests/system;
# "wine:REGEX" runs the Windows build's CTest entries that match REGEX under
# Wine (after a build of the Windows programs and tests).
TESTS_FOR = [
    ("platform/linux/", ["platform"]),
    ("platform/sim/", ["platform", "flash"]),
    ("platform/", ["platform", "package", "app"]),
    ("drive/", ["drive", "flash", "app"]),
    ("flash/", ["flash"]),
    ("package/", ["package"]),
    ("app/", ["app", "flash", "package"]),
    ("pack/", ["programs:Programs.Pack*"]),
]

TEST_TIMEOUT = 300  # seconds for one test program; a hang counts as caught


class Interrupted(Exception):
    pass


def on_signal(number, _frame):
    raise Interrupted(signal.Signals(number).name)


class Entry:
    def __init__(self, number, line):
        self.number = number
        self.line = line
        self.file = ""
        self.original = ""
        self.replacement = ""
        self.catches = ""
        self.tests = []

    def describe(self):
        return f"#{self.number} {self.file}: {self.catches}"


def parse(path):
    """Entries are blocks of "key: value" lines, separated by blank lines;
    lines starting with "#" are comments. A value is the rest of its line
    after the key's colon and the blanks that follow it (blanks at its end
    count); "to:" may be empty, which deletes the text. A "from" or "to"
    text goes on over the lines that follow it and begin with a blank or a
    tab, each taken as it stands."""
    entries, current, key = [], None, None
    with open(path, encoding="utf-8") as handle:
        for number, raw in enumerate(handle, 1):
            line = raw.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line.strip():
                current, key = None, None
                continue
            if line[0] in " \t" and current is not None and key in ("from", "to"):
                # A further line of a text that spans lines, as it stands.
                setattr(current, "original" if key == "from" else "replacement",
                        getattr(current, "original" if key == "from" else "replacement") + "\n" + line)
                continue
            match = re.match(r"^(file|from|to|catches|tests):(.*)$", line)
            if not match:
                sys.exit(f"{path}:{number}: not a 'key: value' line: {line}")
            key, value = match.group(1), match.group(2)
            if current is None:
                current = Entry(len(entries) + 1, number)
                entries.append(current)
            value = value.lstrip(" \t")
            if key == "file":
                current.file = value.strip()
            elif key == "from":
                current.original = value
            elif key == "to":
                current.replacement = value
            elif key == "catches":
                current.catches = value.strip()
            elif key == "tests":
                current.tests = value.split()
    for entry in entries:
        if not entry.file or not entry.original or not entry.catches:
            sys.exit(f"{path}:{entry.line}: an entry needs file, from, to and catches")
        if entry.original == entry.replacement:
            sys.exit(f"{path}:{entry.line}: from and to are the same")
        if not entry.tests:
            for prefix, tests in TESTS_FOR:
                if entry.file.startswith(prefix):
                    entry.tests = tests
                    break
            else:
                sys.exit(f"{path}:{entry.line}: no test programs known for {entry.file}; give 'tests:'")
    return entries


def check_applies(entry):
    """The original text must stand exactly once in its file."""
    path = os.path.join(ROOT, entry.file)
    if not os.path.isfile(path):
        return f"{entry.file} does not exist"
    with open(path, encoding="utf-8") as handle:
        count = handle.read().count(entry.original)
    if count != 1:
        return f"'{entry.original}' stands {count} times in {entry.file}"
    return None


def git(*arguments):
    return subprocess.run(["git", "-C", ROOT, *arguments], check=True, capture_output=True, text=True).stdout


def run(command, timeout=None, env=None):
    """Runs a command to its end (or its time-out); kills it if this script is interrupted."""
    process = subprocess.Popen(command, cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output.decode("utf-8", "replace")
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def for_wine(test):
    return test.startswith("wine:")


class Runner:
    def __init__(self, build_dir, win_build_dir, jobs):
        self.build_dir = build_dir
        self.win_build_dir = win_build_dir
        self.jobs = jobs
        self.env = dict(os.environ, QT_QPA_PLATFORM="offscreen")

    def configure(self, tests):
        if any(not for_wine(test) for test in tests):
            status, output = run(["cmake", "-S", ".", "-B", self.build_dir, "-G", "Ninja",
                                  "-DFLASHUTIL_BENCH=OFF", "-DFLASHUTIL_TESTS=ON"])
            if status != 0:
                print(output)
                sys.exit("mutate: cmake could not configure " + self.build_dir)
        if any(for_wine(test) for test in tests):
            # The Windows build's own script configures it with the toolchain and its tools.
            status, output = run(["bash", "scripts/build-windows.sh"],
                                 env=dict(os.environ, WIN_BUILD_DIR=self.win_build_dir))
            if status != 0:
                print(output)
                sys.exit("mutate: the Windows build in " + self.win_build_dir + " failed")

    def build(self, tests):
        if any(for_wine(test) for test in tests):
            status, output = run(["cmake", "--build", self.win_build_dir, "-j", str(self.jobs)])
            if status != 0:
                return status, output
        tests = [test for test in tests if not for_wine(test)]
        if not tests:
            return 0, ""
        if any(test.startswith("ctest:") for test in tests):
            return run(["cmake", "--build", self.build_dir, "-j", str(self.jobs)])
        targets = sorted({"tests_" + test.split(":")[0] for test in tests})
        return run(["cmake", "--build", self.build_dir, "-j", str(self.jobs), "--target", *targets])

    def test(self, tests):
        """True when some test failed (the change was caught)."""
        for test in tests:
            name, _, pattern = test.partition(":")
            if name == "ctest":
                command = ["ctest", "--test-dir", self.build_dir, "-L", pattern, "--stop-on-failure"]
                where = "ctest -L " + pattern
            elif name == "wine":
                command = ["ctest", "--test-dir", self.win_build_dir, "-R", pattern, "--stop-on-failure"]
                where = "wine " + pattern
            else:
                program = os.path.join(self.build_dir, "tests",
                                       "programs" if name == "programs" else "", "tests_" + name)
                command = [program, "--gtest_brief=1", "--gtest_fail_fast"]
                if pattern:
                    command.append("--gtest_filter=" + pattern)
                where = "tests_" + name
            status, _ = run(command, timeout=TEST_TIMEOUT, env=self.env)
            if status != 0:
                return True, ("time-out in " if status is None else "") + where
        return False, ""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("select", nargs="*", help="numbers or ranges (3, 17-20) of the entries to try")
    parser.add_argument("--grep", help="only entries whose file, texts or reason contain this text")
    parser.add_argument("--check", action="store_true", help="only check that every entry applies")
    options = parser.parse_args()

    entries = parse(LIST)
    broken = [(entry, problem) for entry in entries if (problem := check_applies(entry))]
    for entry, problem in broken:
        print(f"BROKEN   {entry.describe()}\n         {problem}")
    if options.check:
        print(f"{len(entries)} entries, {len(broken)} broken")
        return 1 if broken else 0

    chosen = entries
    if options.select:
        wanted = set()
        for item in options.select:
            first, _, last = item.partition("-")
            wanted.update(range(int(first), int(last or first) + 1))
        chosen = [entry for entry in entries if entry.number in wanted]
    if options.grep:
        chosen = [entry for entry in chosen
                  if any(options.grep in text for text in (entry.file, entry.original, entry.replacement,
                                                             entry.catches))]
    chosen = [entry for entry in chosen if entry not in [b[0] for b in broken]]

    if git("status", "--porcelain"):
        print("mutate: the tree has changes or unknown files; commit or stash them first", file=sys.stderr)
        return 2

    runner = Runner(os.environ.get("BUILD_DIR", "build-mutate"), os.environ.get("WIN_BUILD_DIR", "build-win-mutate"),
                    int(os.environ.get("JOBS", os.cpu_count() or 2)))
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)

    saved = {}  # file -> its original bytes, while it is changed
    survivors, uncompiled = [], []
    started = time.monotonic()
    try:
        # The unchanged tree must build and pass, or nothing can be told.
        every_test = sorted({test for entry in chosen for test in entry.tests})
        runner.configure(every_test)
        status, output = runner.build(every_test)
        if status != 0:
            print(output)
            print("mutate: the unchanged tree does not build", file=sys.stderr)
            return 2
        failed, where = runner.test(every_test)
        if failed:
            print(f"mutate: the unchanged tree fails its tests ({where})", file=sys.stderr)
            return 2
        print(f"baseline built and passed in {time.monotonic() - started:.0f} s; {len(chosen)} mutations")

        for entry in chosen:
            began = time.monotonic()
            path = os.path.join(ROOT, entry.file)
            with open(path, "rb") as handle:
                original = handle.read()
            saved[path] = original
            text = original.decode("utf-8")
            with open(path, "w", encoding="utf-8", newline="") as handle:
                handle.write(text.replace(entry.original, entry.replacement, 1))
            try:
                status, output = runner.build(entry.tests)
                if status != 0:
                    verdict = "NO BUILD"
                    uncompiled.append(entry)
                else:
                    caught, where = runner.test(entry.tests)
                    verdict = f"caught   ({where})" if caught else "SURVIVED"
                    if not caught:
                        survivors.append(entry)
            finally:
                with open(path, "wb") as handle:
                    handle.write(original)
                del saved[path]
            print(f"{verdict:<9} {entry.describe()}  [{time.monotonic() - began:.0f} s]", flush=True)
    except Interrupted as signal_name:
        print(f"\nmutate: stopped by {signal_name}", file=sys.stderr)
        return 2
    finally:
        for path, original in saved.items():
            with open(path, "wb") as handle:
                handle.write(original)
        if git("status", "--porcelain"):
            print("mutate: WARNING: the tree is not as it was; see git status", file=sys.stderr)

    print(f"\n{len(chosen)} mutations in {time.monotonic() - started:.0f} s: {len(survivors)} survived, "
          f"{len(uncompiled)} did not build, {len(broken)} broken entries")
    for entry in survivors:
        print(f"  survivor {entry.describe()}\n           {entry.original!r} -> {entry.replacement!r}")
    for entry in uncompiled:
        print(f"  no build {entry.describe()}")
    return 1 if survivors or uncompiled or broken else 0


if __name__ == "__main__":
    sys.exit(main())
