#!/usr/bin/python3
"""End-to-end tests of the real tolvane.exe, under Wine here and natively on
Windows.

usage: e2e_test.py <group> i686|x86_64 <build tree of that image> [<i686 build tree>]
       [--windows-only]

The install group builds the release package, which holds both images, so it
is also given the i686 tree.

Groups: token, object (tokens.py), install (packages.py, its links cases
in links.py), startup, cmdline, detached, usage, dbcs (shell.py). Each runs
a table of cases; one helper, run_launcher (common.py), starts the launcher
through the Windows-side harness with an exact command line and reads back
what the started target (token_report.exe) wrote about itself. "Nothing
started" means the launcher has ended and, after a grace period, the
target's report is still absent.
Every check prints what it saw; the last line counts passes and failures.
Each image's tree holds its own launcher, target, harness and watcher, all
of that architecture.

Some cases only Windows can show (Wine differs from it there); they are run
with --windows-only. Under Wine that run says why for each and ends with 77,
which CTest reports as a skip; on Windows it runs them. The one place that
knows how a Windows program is run and how a path is named, under Wine or
natively, is HOST (the classes Wine and NativeWindows, in common.py).
"""
import os
import sys

from common import HOST, SKIP, WINDOWS_ONLY, SkipGroup, Workspace, results
from packages import test_install
from shell import test_cmdline, test_dbcs, test_detached, test_startup, test_usage
from tokens import test_object, test_token

GROUPS = {
    "token": test_token,
    "object": test_object,
    "install": test_install,
    "startup": test_startup,
    "cmdline": test_cmdline,
    "detached": test_detached,
    "usage": test_usage,
    "dbcs": test_dbcs,
}


def main():
    arguments = [a for a in sys.argv[1:] if a != "--windows-only"]
    group, arch, build = arguments[0], arguments[1], os.path.abspath(arguments[2])
    reason = HOST.cannot_run(arch)
    if reason is not None:
        print("skip: " + reason)
        return SKIP
    ws = Workspace(build, group + ("-windows" if WINDOWS_ONLY else ""))
    ws.i686_build = os.path.abspath(arguments[3]) if len(arguments) > 3 else None
    try:
        if GROUPS[group](ws) == SKIP:
            return SKIP
    except SkipGroup:
        return SKIP
    print("%s (%s): %d passed, %d failed" % (group, arch, results["passed"], results["failed"]))
    return 1 if results["failed"] or not results["passed"] else 0


if __name__ == "__main__":
    sys.exit(main())
