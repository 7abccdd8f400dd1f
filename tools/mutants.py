#!/usr/bin/python3
"""Planted-fault catalogue: how many small faults in the product the tests catch.

For each fault of tests/mutants/faults.txt, in a scratch copy of the checkout (the
tracked files, with its own build directory kept between runs so that builds are
incremental): apply the change, build, run the named unit tests and system modules
until one fails, confirm that failure by running the failing test once more, restore
the file. Prints one row per fault: the test that caught it, "MISSED", or
"BUILD FAILS" (every fault must compile).

    tools/mutants.py [--check] [--out FILE]       MUTANTS="name1 name2" selects faults

Fault file: blocks separated by blank lines, '#' starts a comment line.
    name:  short-name
    file:  src/path.cpp
    old:   exact text, found exactly once in the file
    new:   its replacement (may be empty)
    catch: UnitFilter* test_module.py test_other.py@word ...
A line starting with '|' continues the field above it on a new line. A catch token
ending in .py (optionally @word, for pytest -k word) names a system module under
tests/system; any other token is a GoogleTest filter. Without a unit filter the
whole unit suite runs (ctest); the token "nounit" skips it.
"""

import argparse
import fnmatch
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

PYTHON = "/usr/bin/python3"
UNIT_TIMEOUT = 300
SYSTEM_TIMEOUT = 900


def parse_faults(path):
    faults, block, last = [], {}, None
    lines = Path(path).read_text().splitlines() + [""]
    for number, line in enumerate(lines, 1):
        if line.startswith("#"):
            continue
        if not line.strip():
            if block:
                faults.append(block)
            block, last = {}, None
            continue
        if line.startswith("|"):
            if last is None:
                sys.exit(f"{path}:{number}: continuation without a field")
            block[last] += "\n" + line[1:]
            continue
        key, sep, value = line.partition(":")
        if not sep or key not in ("name", "file", "old", "new", "catch"):
            sys.exit(f"{path}:{number}: expected name/file/old/new/catch, got {line!r}")
        block[key] = value[1:] if value.startswith(" ") else value
        last = key
    names = set()
    for f in faults:
        missing = {"name", "file", "old", "new", "catch"} - f.keys()
        if missing:
            sys.exit(f"fault {f.get('name', '?')}: missing {', '.join(sorted(missing))}")
        if f["name"] in names:
            sys.exit(f"fault {f['name']}: name used twice")
        names.add(f["name"])
        tokens = f["catch"].split()
        f["system"] = [t for t in tokens if t.partition("@")[0].endswith(".py")]
        f["unit"] = [t for t in tokens if t not in f["system"] and t != "nounit"]
        f["skip_unit"] = "nounit" in tokens
    return faults


def tracked_files(checkout):
    out = subprocess.run(["git", "-C", str(checkout), "ls-files", "-z"], check=True,
                         capture_output=True).stdout
    return [p for p in out.decode().split("\0") if p]


def sync_scratch(checkout, src):
    """Copies what differs, with a fresh time, so that builds stay incremental."""
    copied = 0
    for rel in tracked_files(checkout):
        a, b = checkout / rel, src / rel
        if not a.is_file():
            continue
        data = a.read_bytes()
        if b.is_file() and b.read_bytes() == data:
            continue
        b.parent.mkdir(parents=True, exist_ok=True)
        b.write_bytes(data)
        os.chmod(b, a.stat().st_mode & 0o777)
        copied += 1
    return copied


def run(cmd, cwd=None, env=None, timeout=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, env=env, timeout=timeout, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, errors="replace")
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        return "timeout", out


class Runner:
    def __init__(self, src, build, jobs, log):
        self.src, self.build, self.jobs, self.log = src, build, jobs, log
        self.env = dict(os.environ, RIGKEEP_BUILD_DIR=str(build))
        self.binaries = {}  # test binary -> list of "Suite.Test"

    def note(self, text):
        self.log.write(text + "\n")
        self.log.flush()

    def build_tree(self):
        if not (self.build / "CMakeCache.txt").exists():
            rc, out = run(["cmake", "-S", str(self.src), "-B", str(self.build),
                           "-DRIGKEEP_WERROR=ON"])
            if rc != 0:
                self.note(out)
                return False
        rc, out = run(["cmake", "--build", str(self.build), f"-j{self.jobs}"])
        if rc != 0:
            self.note(out[-6000:])
        return rc == 0

    def discover_unit_tests(self):
        rc, out = run(["ctest", "--show-only=json-v1"], cwd=self.build)
        commands = {t["command"][0] for t in json.loads(out).get("tests", []) if t.get("command")}
        for binary in sorted(commands):
            rc, listing = run([binary, "--gtest_list_tests"], timeout=60)
            names, suite = [], None
            for line in listing.splitlines():
                if not line.startswith(" "):
                    suite = line.split("#")[0].strip()
                elif suite:
                    names.append(suite + line.split("#")[0].strip())
            self.binaries[binary] = names

    def unit_targets(self, pattern):
        found = []
        for binary, names in self.binaries.items():
            if any(fnmatch.fnmatchcase(n, pattern) for n in names):
                found.append(binary)
        return found

    def run_unit(self, pattern):
        """None when it passes, else the first failing test's name."""
        binaries = self.unit_targets(pattern)
        if not binaries:
            return f"no unit test matches {pattern}"
        for binary in binaries:
            rc, out = run([binary, f"--gtest_filter={pattern}", "--gtest_brief=1"],
                          cwd=self.build, timeout=UNIT_TIMEOUT)
            if rc != 0:
                self.note(out[-4000:])
                failed = re.findall(r"^\[  FAILED  \] (\S+\.\S+?)(?:,| \(|$)", out, re.M)
                return failed[0] if failed else f"{Path(binary).name}:{pattern} ({rc})"
        return None

    def run_all_unit(self):
        rc, out = run(["ctest", f"-j{self.jobs}", "--output-on-failure"], cwd=self.build,
                      timeout=UNIT_TIMEOUT * 3)
        if rc == 0:
            return None
        self.note(out[-4000:])
        failed = re.findall(r"^\s*\d+ - (\S+) \(", out, re.M)
        return failed[0] if failed else f"ctest ({rc})"

    def run_system(self, token, rerun_id=None):
        module, _, word = token.partition("@")
        target = rerun_id or str(Path("tests/system") / module)
        cmd = [PYTHON, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", "-rf", target]
        if word and not rerun_id:
            cmd += ["-k", word]
        rc, out = run(cmd, cwd=self.src, env=self.env, timeout=SYSTEM_TIMEOUT)
        if rc == 0:
            return None
        if rc == 5:
            return f"{token}: no test selected"
        self.note(out[-6000:])
        if rc not in (1, "timeout"):  # pytest itself failed: no test did
            return f"CATCHER LIST BROKEN: pytest status {rc} for {target}"
        failed = re.findall(r"^(?:FAILED|ERROR) (.+?)(?: - .*)?$", out, re.M)
        return failed[0] if failed else f"{target} ({rc})"

    def catch(self, fault):
        """The confirmed catcher, or None."""
        checks = [("unit", u) for u in fault["unit"]]
        if not fault["unit"] and not fault["skip_unit"]:
            checks.append(("all-unit", None))
        checks += [("system", s) for s in fault["system"]]
        for kind, what in checks:
            if kind == "unit":
                failed = self.run_unit(what)
            elif kind == "all-unit":
                failed = self.run_all_unit()
            else:
                failed = self.run_system(what)
            if failed is None:
                continue
            if failed.startswith("no unit test matches") or "no test selected" in failed:
                return f"CATCHER LIST BROKEN: {failed}"
            if failed.startswith("CATCHER LIST BROKEN"):
                return failed
            # A failure under load must repeat to count: the failing test alone when
            # it is named, else the same selection (a crash names no test).
            named = "." in failed and " " not in failed and ":" not in failed
            if kind == "system":
                again = self.run_system(what, rerun_id=failed if "::" in failed else None)
            elif named:
                again = self.run_unit(failed)
            else:
                again = self.run_unit(what) if kind == "unit" else self.run_all_unit()
            if again is not None and not again.startswith("CATCHER LIST BROKEN"):
                return failed
            self.note(f"  {failed} failed once, passed again: not counted")
        return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--checkout", type=Path, default=Path(__file__).resolve().parent.parent)
    ap.add_argument("--faults", type=Path)
    ap.add_argument("--scratch", type=Path, default=Path("/tmp/rigkeep-mutants"))
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--check", action="store_true", help="only check that every fault applies")
    ap.add_argument("--out", type=Path, help="also write the table here")
    args = ap.parse_args()

    checkout = args.checkout.resolve()
    faults_file = args.faults or checkout / "tests/mutants/faults.txt"
    faults = parse_faults(faults_file)
    selected = os.environ.get("MUTANTS", "").split()
    if selected:
        unknown = set(selected) - {f["name"] for f in faults}
        if unknown:
            sys.exit(f"unknown fault(s): {' '.join(sorted(unknown))}")
        faults = [f for f in faults if f["name"] in selected]

    applicable = []
    for f in faults:
        count = (checkout / f["file"]).read_text().count(f["old"]) \
            if (checkout / f["file"]).is_file() else 0
        if count != 1 or f["old"] == f["new"]:
            print(f"NOT APPLYING {f['name']}: old text found {count} times in {f['file']}")
        else:
            applicable.append(f)
    if args.check:
        files = {f["file"] for f in applicable}
        bare = sorted(p for p in tracked_files(checkout)
                      if p.startswith("src/") and p.endswith(".cpp") and p not in files)
        print(f"{len(applicable)} of {len(faults)} faults apply, over {len(files)} files of src/"
              + (f"; none in {' '.join(bare)}" if bare else ""))
        return 0 if len(applicable) == len(faults) else 1

    started = time.monotonic()
    work = args.scratch / checkout.name
    src, build = work / "src", work / "build"
    src.mkdir(parents=True, exist_ok=True)
    log_path = work / "mutants.log"
    with open(log_path, "w") as log:
        runner = Runner(src, build, args.jobs, log)
        copied = sync_scratch(checkout, src)
        print(f"scratch copy {src} ({copied} files updated); log {log_path}", flush=True)
        if not runner.build_tree():
            sys.exit("the unmodified tree does not build: see the log")
        runner.discover_unit_tests()

        # Baseline: everything the selected faults name must pass on the unmodified tree.
        units = sorted({u for f in applicable for u in f["unit"]})
        systems = {}
        for f in applicable:
            for s in f["system"]:
                module, _, word = s.partition("@")
                systems.setdefault(module, set()).add(word)
        baseline = [("unit", u) for u in units]
        if any(not f["unit"] and not f["skip_unit"] for f in applicable):
            baseline.append(("all-unit", None))
        for module, words in sorted(systems.items()):
            token = module if "" in words else module + "@" + " or ".join(sorted(words))
            baseline.append(("system", token))
        for kind, what in baseline:
            failed = (runner.run_unit(what) if kind == "unit" else
                      runner.run_all_unit() if kind == "all-unit" else runner.run_system(what))
            if failed is not None:
                sys.exit(f"baseline fails: {failed} (see {log_path})")
        print(f"baseline passes ({time.monotonic() - started:.0f} s)", flush=True)

        rows = []
        for f in applicable:
            t0 = time.monotonic()
            path = src / f["file"]
            original = path.read_text()
            if original.count(f["old"]) != 1:
                rows.append((f["name"], "NOT APPLYING (scratch copy differs)"))
                continue
            log.write(f"\n=== {f['name']}\n")
            path.write_text(original.replace(f["old"], f["new"]))
            try:
                result = runner.catch(f) if runner.build_tree() else "BUILD FAILS"
            finally:
                path.write_text(original)
            result = result or "MISSED"
            rows.append((f["name"], result))
            print(f"{f['name']:<34} {result}  ({time.monotonic() - t0:.0f} s)", flush=True)
        runner.build_tree()  # leaves the scratch build as the checkout is

    elapsed = time.monotonic() - started
    caught = sum(1 for _, r in rows if r not in ("MISSED", "BUILD FAILS")
                 and not r.startswith(("NOT APPLYING", "CATCHER")))
    width = max([len(n) for n, _ in rows] + [5])
    table = [f"{'fault':<{width}} | caught by", f"{'-' * width}-|-{'-' * 40}"]
    table += [f"{n:<{width}} | {r}" for n, r in rows]
    table.append(f"\n{caught} of {len(rows)} faults caught; run time {elapsed / 60:.1f} min "
                 f"({os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f} at the end)")
    text = "\n".join(table) + "\n"
    print("\n" + text)
    if args.out:
        args.out.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
