#!/usr/bin/env python3
"""Plants each fault of faults.toml, one at a time, in a scratch copy of the repository, rebuilds,
runs the CTest suite and reports which tests caught it.

    scripts/faults/run.py [--tree DIR] [--only ID,ID] [--tests REGEX] [--jobs N] [--out FILE]

Without --tree the scratch copy is made from the committed HEAD in a temporary folder. A test
counts as catching a fault only when it fails twice (the second time alone), so that a test that
is merely slow under load is not credited; tests that already fail with no fault planted are
reported and never credited.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tomllib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


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


def suite(tree):
    """The CTest entries, as commands with their environments, read from CTest itself."""
    listing = subprocess.run(["ctest", "--test-dir", "build", "--show-only=json-v1"], cwd=tree, check=True,
                             stdout=subprocess.PIPE, text=True).stdout
    tests = []
    for entry in json.loads(listing)["tests"]:
        properties = {p["name"]: p["value"] for p in entry.get("properties", [])}
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        env.update(item.split("=", 1) for item in properties.get("ENVIRONMENT", []))
        tests.append({"name": entry["name"], "command": entry["command"], "env": env,
                      "cwd": properties.get("WORKING_DIRECTORY", os.path.join(tree, "build")),
                      "skip": properties.get("SKIP_RETURN_CODE"), "will_fail": properties.get("WILL_FAIL", False),
                      "timeout": float(properties.get("TIMEOUT", 180)), "seconds": 0.0})
    return tests


def start(test):
    return subprocess.Popen(test["command"], cwd=test["cwd"], env=test["env"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)


def stop(process):
    # SIGTERM first: a browser test closes the Chromium it launched (in a process group of its
    # own, out of reach of killpg) only when it is let to clean up.
    for sig, grace in ((signal.SIGTERM, 5), (signal.SIGKILL, None)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            break
        try:
            process.wait(timeout=grace)
            break
        except subprocess.TimeoutExpired:
            continue
    process.wait()


def failed(test, code):
    if test["skip"] is not None and code == int(test["skip"]):
        return False
    return (code == 0) == bool(test["will_fail"])


def run_alone(test):
    process = start(test)
    try:
        code = process.wait(timeout=test["timeout"])
    except subprocess.TimeoutExpired:
        stop(process)
        return True
    return failed(test, code)


def catchers(tests, jobs, first_only, ignored=frozenset()):
    """The tests that fail, each confirmed by failing again alone. Shortest tests go first; with
    `first_only` the run ends at the first confirmed failure."""
    waiting = sorted((t for t in tests if t["name"] not in ignored), key=lambda t: t["seconds"])
    running, caught = {}, set()
    try:
        while waiting or running:
            while waiting and len(running) < jobs:
                test = waiting.pop(0)
                running[test["name"]] = (test, start(test), time.monotonic())
            time.sleep(0.05)
            for name, (test, process, began) in list(running.items()):
                code = process.poll()
                elapsed = time.monotonic() - began
                if code is None and elapsed < test["timeout"]:
                    continue
                del running[name]
                if code is None:
                    stop(process)
                else:
                    if not first_only:
                        test["seconds"] = elapsed
                if (code is None or failed(test, code)) and run_alone(test):
                    caught.add(name)
                    if first_only:
                        return caught
    finally:
        for _, process, _ in running.values():
            stop(process)
    return caught


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", help="a scratch copy to plant in (made from HEAD when not given)")
    parser.add_argument("--only", help="comma-separated fault ids")
    parser.add_argument("--tests", help="run only the CTest entries whose names match this expression")
    parser.add_argument("--jobs", type=int, default=8, help="CTest jobs (the tests mostly wait)")
    parser.add_argument("--all", action="store_true", help="run every test for every fault, not only up to the first catch")
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
        tests = suite(tree)
        if args.tests:
            tests = [t for t in tests if re.search(args.tests, t["name"])]
        already = catchers(tests, args.jobs, first_only=False)
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
                    caught = catchers(tests, args.jobs, first_only=not args.all, ignored=already)
                    verdict = ", ".join(sorted(caught)) if caught else "SLIPPED THROUGH"
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
