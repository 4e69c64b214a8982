#!/usr/bin/env python3
"""Plants each fault of faults.toml, one at a time, in a scratch copy of the repository, rebuilds,
runs the CTest suite and reports which tests caught it.

    scripts/faults/run.py [--tree DIR] [--only ID,ID] [--jobs N] [--out FILE]

Without --tree the scratch copy is made from the committed HEAD in a temporary folder. A test
counts as catching a fault only when it fails twice (the second time alone), so that a test that
is merely slow under load is not credited; tests that already fail with no fault planted are
reported and never credited.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import tomllib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
FAILED_LINE = re.compile(r"^\s*\d+ - (\S+) \(")


def run(command, cwd, quiet=True, env=None):
    return subprocess.run(command, cwd=cwd, env=env, text=True,
                          stdout=subprocess.PIPE if quiet else None, stderr=subprocess.STDOUT if quiet else None)


def scratch_copy(where):
    archive = subprocess.run(["git", "archive", "HEAD"], cwd=REPO, check=True, stdout=subprocess.PIPE).stdout
    subprocess.run(["tar", "-x", "-C", where], input=archive, check=True)
    modules = os.path.join(REPO, "viewer", "node_modules")
    if os.path.isdir(modules):
        os.symlink(modules, os.path.join(where, "viewer", "node_modules"))


def configure(tree):
    if os.path.isdir(os.path.join(tree, "build")):
        return
    command = ["cmake", "-S", ".", "-B", "build", "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
    if shutil.which("ccache"):
        command.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    subprocess.run(command, cwd=tree, check=True, stdout=subprocess.DEVNULL)


def build(tree):
    return run(["cmake", "--build", "build"], tree).returncode == 0


def failing_tests(tree, jobs, rerun):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    command = ["ctest", "--test-dir", "build", "--timeout", "180", "-E", "^package_test$"]
    command += ["--rerun-failed", "-j1"] if rerun else ["-j", str(jobs)]
    output = run(command, tree, env=env).stdout
    failed, listing = set(), False
    for line in output.splitlines():
        if line.startswith("The following tests FAILED"):
            listing = True
        elif listing and (match := FAILED_LINE.match(line)):
            failed.add(match.group(1))
    return failed


def caught_by(tree, jobs):
    first = failing_tests(tree, jobs, rerun=False)
    if not first:
        return first
    return first & failing_tests(tree, jobs, rerun=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", help="a scratch copy to plant in (made from HEAD when not given)")
    parser.add_argument("--only", help="comma-separated fault ids")
    parser.add_argument("--jobs", type=int, default=8, help="CTest jobs (the tests mostly wait)")
    parser.add_argument("--out", help="where to write the results as a Markdown table")
    args = parser.parse_args()

    with open(os.path.join(HERE, "faults.toml"), "rb") as table:
        faults = tomllib.load(table)["fault"]
    if args.only:
        wanted = set(args.only.split(","))
        faults = [f for f in faults if f["id"] in wanted]

    temporary = None
    tree = args.tree
    if not tree:
        temporary = tempfile.mkdtemp(prefix="glasswing-faults-")
        tree = temporary
        scratch_copy(tree)
    try:
        configure(tree)
        if not build(tree):
            sys.exit("the scratch copy does not build without a fault")
        already = caught_by(tree, args.jobs)
        print(f"without a fault: {'all pass' if not already else 'failing: ' + ', '.join(sorted(already))}",
              flush=True)
        rows = []
        for fault in faults:
            path = os.path.join(tree, fault["file"])
            with open(path, encoding="utf-8") as source:
                original = source.read()
            if original.count(fault["before"]) != 1:
                rows.append((fault, "not planted: the text before is not found exactly once", 0))
                print(f"{fault['id']}: NOT PLANTED", flush=True)
                continue
            started = time.monotonic()
            try:
                with open(path, "w", encoding="utf-8") as source:
                    source.write(original.replace(fault["before"], fault["after"]))
                if not build(tree):
                    verdict = "does not build"
                else:
                    catchers = caught_by(tree, args.jobs) - already
                    verdict = ", ".join(sorted(catchers)) if catchers else "SLIPPED THROUGH"
            finally:
                with open(path, "w", encoding="utf-8") as source:
                    source.write(original)
            rows.append((fault, verdict, time.monotonic() - started))
            print(f"{fault['id']}: {verdict} ({time.monotonic() - started:.0f} s)", flush=True)
        build(tree)

        caught = sum(1 for _, verdict, _ in rows if verdict not in ("SLIPPED THROUGH", "does not build")
                     and not verdict.startswith("not planted"))
        lines = [f"Caught {caught} of {len(rows)} planted faults.", "",
                 "| Fault | File | Caught by |", "|---|---|---|"]
        lines += [f"| {f['id']} | `{f['file']}` | {verdict} |" for f, verdict, _ in rows]
        if already:
            lines += ["", "Failing with no fault planted (never credited): " + ", ".join(sorted(already))]
        report = "\n".join(lines) + "\n"
        print(report)
        if args.out:
            with open(args.out, "w", encoding="utf-8") as out:
                out.write(report)
        sys.exit(0 if caught == len(rows) else 1)
    finally:
        if temporary:
            shutil.rmtree(temporary, ignore_errors=True)


if __name__ == "__main__":
    main()
