#!/usr/bin/python3
"""Benchmark: each tolvane.exe the host can run (the i686 image in build/,
the x86_64 one in build/x64) against the same sources built the usual way
for the same architecture (the toolchain's C runtime and start-up, -O2),
measured in one run under Wine. Prints the two image sizes and the median
time from starting the launcher to its exit, with a real target, over
alternating runs; each as a ratio tolvane / conventional.

usage: bench.py <build dir> [runs per build, at least 30]
"""
import os
import shutil
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start_to_exit_us(harness, launcher, target, work, run):
    case = os.path.join(work, "run%03d" % run)
    os.makedirs(case)
    cmdline = os.path.join(case, "cmdline.bin")
    with open(cmdline, "wb") as f:
        f.write(b'tolvane.exe "%s"' % winpath(target).encode())
    result = os.path.join(case, "result.txt")
    env = dict(os.environ, TOLVANE_REPORT=winpath(os.path.join(case, "report.txt")))
    with open(os.path.join(case, "wine.log"), "wb") as log:
        subprocess.run([WINE_RUN, harness, winpath(launcher), winpath(case), winpath(cmdline),
                        winpath(result)], stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                       env=env, timeout=120)
    values = dict(line.split(" ", 1) for line in open(result).read().split("\n") if " " in line)
    if values.get("status") != "0":
        raise RuntimeError("%s exited %s in run %d" % (launcher, values.get("status"), run))
    return int(values["elapsed-us"])


def bench(arch, build, runs):
    tolvane = os.path.join(build, "tolvane.exe")
    conventional = os.path.join(build, "tolvane_conventional.exe")
    harness = os.path.join(build, "tests", "e2e_harness.exe")
    target = os.path.join(build, "token_report.exe")
    work = os.path.join(build, "bench")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    times = {tolvane: [], conventional: []}
    start_to_exit_us(harness, tolvane, target, work, 999)  # warm Wine's caches first
    for run in range(runs):
        # Alternate, so drift in the machine's load falls on both alike.
        order = (tolvane, conventional) if run % 2 == 0 else (conventional, tolvane)
        for i, launcher in enumerate(order):
            times[launcher].append(start_to_exit_us(harness, launcher, target, work, 2 * run + i))

    size_t, size_c = os.path.getsize(tolvane), os.path.getsize(conventional)
    median_t = statistics.median(times[tolvane]) / 1000
    median_c = statistics.median(times[conventional]) / 1000
    print("%-6s image size     tolvane.exe %6d bytes   conventional %6d bytes   ratio %.3f"
          % (arch, size_t, size_c, size_t / size_c))
    print("%-6s start to exit  tolvane.exe %6.2f ms      conventional %6.2f ms      ratio %.3f"
          % (arch, median_t, median_c, median_t / median_c))


def main():
    build = os.path.abspath(sys.argv[1])
    runs = max(30, int(sys.argv[2]) if len(sys.argv) > 2 else 30)
    for arch, tree in (("i686", build), ("x86_64", os.path.join(build, "x64"))):
        if arch == "i686":
            host = subprocess.run([os.path.join(ROOT, "scripts", "wine-host"), "i386"],
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True)
            if host.returncode != 0:
                print("i686   not measured: " + host.stderr.strip())
                continue
        bench(arch, tree, runs)
    print("              (medians of %d alternating runs each under Wine)" % runs)


if __name__ == "__main__":
    main()
