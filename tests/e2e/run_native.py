#!/usr/bin/python3
"""Runs the suite natively on Windows, for one image: its unit tests, then
every end-to-end group, then the cases only Windows can show. The programs
are the ones cross-built on Debian, laid out as in their build tree
(scripts/collect-windows-programs). A skip is a failure here, but for the
double-byte group, whose code page Windows sets for the whole machine.

usage: run_native.py <arch> <programs of that arch> <i686 programs> <reports dir>
       run_native.py --install <x86_64 programs> <i686 programs> <reports dir>
         (the release, packages included, in the folder beside the programs, release/)
       run_native.py --unelevated <x86_64 programs> <i686 programs> <reports dir>
         (run from a token Windows does not count as elevated, such as a task's
         with the limited run level: the token and object groups, and the
         per-user install with its Explorer entry through the shell)

Each run's output goes to <reports dir>/<arch>/<run>.txt and is printed; the
last line counts the runs that passed and failed.
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77
GROUPS = ["token", "object", "startup", "cmdline", "detached", "usage", "dbcs"]
WINDOWS_ONLY_GROUPS = ["token", "object", "cmdline"]
MAY_SKIP = {"dbcs"}


RUN_SECONDS = 900   # a run that takes longer hangs: it fails, and the next one goes on


def run(name, command, reports):
    print("== " + name, flush=True)
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=RUN_SECONDS)
        output, status = done.stdout, done.returncode
    except subprocess.TimeoutExpired as hung:
        output, status = hung.stdout or b"", None
    output = output.decode("utf-8", "replace")
    if status is None:
        output += "\n-- %s: still running after %d s, so it was ended\n" % (name, RUN_SECONDS)
    print(output, flush=True)
    with open(os.path.join(reports, name + ".txt"), "w", encoding="utf-8") as f:
        f.write(output)
    group = name.split("-")[0]
    if status == SKIP and group in MAY_SKIP:
        print("-- %s: skipped" % name)
        return True
    print("-- %s: %s" % (name, "passed" if status == 0 else "FAILED (%s)" % ("hung" if status is None
                                                                             else status)))
    return status == 0


def main(argv):
    install = argv[:1] == ["--install"]
    unelevated = argv[:1] == ["--unelevated"]
    if install or unelevated:
        argv = ["x86_64"] + argv[1:]
    if len(argv) != 4:
        sys.exit(__doc__)
    arch, programs, i686_programs, reports = argv
    programs, i686_programs = os.path.abspath(programs), os.path.abspath(i686_programs)
    reports = os.path.join(os.path.abspath(reports), "unelevated" if unelevated else arch)
    os.makedirs(reports, exist_ok=True)
    e2e = [sys.executable, os.path.join(HERE, "e2e_test.py")]

    runs = []
    if unelevated:
        # What Explorer's own token (filtered, where UAC is on) gets: the
        # caller's groups, privileges and Medium level, its objects its own.
        # The install group takes only its per-user rows from such a token.
        os.environ["TOLVANE_RELEASE"] = os.path.join(os.path.dirname(programs), "release")
        os.environ["TOLVANE_UNELEVATED"] = "1"
        runs += [(group + suffix, e2e + [group, arch, programs] + extra)
                 for group in ("token", "object") for suffix, extra in (("", []), ("-windows", ["--windows-only"]))]
        runs.append(("install-windows", e2e + ["install", arch, programs, i686_programs, "--windows-only"]))
    elif install:
        # The release the Debian job built, beside the programs.
        os.environ["TOLVANE_RELEASE"] = os.path.join(os.path.dirname(programs), "release")
        runs.append(("install", e2e + ["install", arch, programs, i686_programs]))
        runs.append(("install-windows", e2e + ["install", arch, programs, i686_programs,
                                               "--windows-only"]))
    else:
        runs.append(("unit", [os.path.join(programs, "tests", "launcher_unit_tests.exe")]))
        runs += [(group, e2e + [group, arch, programs]) for group in GROUPS]
        runs += [(group + "-windows", e2e + [group, arch, programs, "--windows-only"])
                 for group in WINDOWS_ONLY_GROUPS]
    results = [run(name, command, reports) for name, command in runs]
    print("native runs (%s): %d passed, %d failed" % (arch, results.count(True), results.count(False)))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
