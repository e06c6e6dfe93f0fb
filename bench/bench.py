#!/usr/bin/env python3
"""Throughput benchmark: tessel (format 2 and format 1) against cat and tar
on the same files.

Creates its data in one temporary directory, which also receives every
output, so inputs and outputs share a file system.  Each command is run
twice to warm the caches and then --runs times, the commands taking turns in an
order that rotates from round to round (each output is deleted as soon as
its run ends, and the file system synced before the next run); the
median wall time and the peak resident memory of each command are reported,
with the ratios tessel/cat and tessel/tar.  The data are removed afterwards.
"""

import argparse
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time

MIB = 1024 * 1024

# Workload (a): large files named on the command line.
LARGE_COUNT = 4
LARGE_SIZE = 128 * MIB
# Workload (b): many small files named in a list file.
SMALL_COUNT = 20000
SMALL_SIZE = 1024
# Workload (c): lists of empty-or-tiny files, to see how the cost grows with
# the number of items.
TINY_COUNTS = (10000, 100000)

# Untimed rounds first: the first runs after the data were written are
# often slow while the system settles (writeback, memory handed back).
WARM_UP_ROUNDS = 2

TIME = "/usr/bin/time"        # GNU time, for the peak resident memory
RSS_FILE = None               # where it reports, inside the temporary directory


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--tessel", required=True, help="the tessel binary to time")
    p.add_argument("--runs", type=int, default=5, help="timed runs per command (default 5)")
    p.add_argument("--dir", default=None,
                   help="where to create the temporary directory (default: the system's)")
    p.add_argument("--workloads", default="abc",
                   help="which workloads to run, a subset of 'abc' (default all)")
    p.add_argument("--samples", action="store_true",
                   help="also print every timed run")
    args = p.parse_args()
    args.tessel = os.path.abspath(args.tessel)
    if args.runs < 1 or not set(args.workloads) <= set("abc") or not args.workloads:
        p.error("--runs must be positive and --workloads a subset of 'abc'")
    return args


# ---------------------------------------------------------------- machine

def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def fs_type(path):
    """The type of the file system holding `path`, from the mount table."""
    path = os.path.realpath(path)
    best, kind = "", "unknown"
    try:
        with open("/proc/self/mounts") as f:
            for line in f:
                fields = line.split()
                mount = fields[1].replace("\\040", " ")
                inside = path == mount or path.startswith(mount.rstrip("/") + "/")
                if inside and len(mount) >= len(best):
                    best, kind = mount, fields[2]
    except OSError:
        pass
    return kind


# ---------------------------------------------------------------- data

def make_large(root):
    block = bytearray(os.urandom(MIB))
    names = []
    for i in range(LARGE_COUNT):
        name = "large%d.bin" % i
        with open(os.path.join(root, name), "wb") as f:
            for j in range(LARGE_SIZE // MIB):
                # Vary each block a little so no two are alike.
                block[0:8] = (i * 100000 + j).to_bytes(8, "little")
                f.write(block)
        names.append(name)
    return names


def make_files(root, subdir, count, size_of):
    os.mkdir(os.path.join(root, subdir))
    pattern = os.urandom(4096)
    names = []
    for i in range(count):
        name = "%s/f%06d" % (subdir, i)
        with open(os.path.join(root, name), "wb") as f:
            f.write(pattern[i % 1024:i % 1024 + size_of(i)])
        names.append(name)
    return names


def write_list(root, name, items):
    with open(os.path.join(root, name), "w") as f:
        f.write("".join(item + "\n" for item in items))
    return name


# ---------------------------------------------------------------- timing

def run_once(argv, stdin=None, stdout=None):
    """Runs argv in the current directory with stderr discarded; returns the
    wall time and the peak resident memory in KiB of it and its children.

    The peak comes from GNU time, not from our own wait4: a child spawned by
    this (large) Python process inherits its memory high-water mark through
    exec, while one forked by the small time program does not."""
    actions = [(os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    if stdin is not None:
        actions.append((os.POSIX_SPAWN_OPEN, 0, stdin, os.O_RDONLY, 0))
    else:
        actions.append((os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0))
    if stdout is not None:
        actions.append((os.POSIX_SPAWN_OPEN, 1, stdout,
                        os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644))
    wrapped = [TIME, "-f", "%M", "-o", RSS_FILE] + argv
    start = time.perf_counter()
    pid = os.posix_spawn(TIME, wrapped, os.environ, file_actions=actions)
    _, status, _ = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("benchmark: %s failed with status %d" %
                 (" ".join(argv[:3]) + " ...", os.waitstatus_to_exitcode(status)))
    with open(RSS_FILE) as f:
        peak = int(f.read().split()[-1])
    return elapsed, peak


def measure(commands, runs, samples=False):
    """commands: list of (label, argv, stdin, stdout, output).  Warm-up
    rounds, then `runs` rounds in which the commands take turns.  Each
    output is deleted as soon as its run ends, before it is written back,
    and the file system is synced before every run: no run pays for an
    earlier one's output, and the disk is idle when a run starts."""
    times = {label: [] for label, *_ in commands}
    peaks = {label: 0 for label, *_ in commands}
    for round_number in range(runs + WARM_UP_ROUNDS):
        # Each round starts with the next command, so none is always the
        # first after a pause, when the system may have been reclaiming or
        # handing back memory.
        start = round_number % len(commands)
        for label, argv, stdin, stdout, output in commands[start:] + commands[:start]:
            os.sync()
            elapsed, peak = run_once(argv, stdin, stdout)
            os.unlink(output)
            if round_number >= WARM_UP_ROUNDS:
                times[label].append(elapsed)
                peaks[label] = max(peaks[label], peak)
    if samples:
        for label in times:
            print("  %-10s %s" % (label, " ".join("%.3f" % t for t in times[label])))
    return {label: (statistics.median(times[label]), peaks[label], min(times[label]))
            for label in times}


def commands_for(tessel, files=None, list_name=None):
    """The four commands over the same files: named on the command line
    (files) or in a list file (list_name)."""
    if list_name is not None:
        return [
            ("tessel", [tessel, "-f" + list_name, "out.t2"], None, None, "out.t2"),
            ("tessel -1", [tessel, "-1", "-f" + list_name, "out.t1"], None, None, "out.t1"),
            ("cat", ["xargs", "cat"], list_name, "out.cat", "out.cat"),
            ("tar", ["tar", "-cf", "out.tar", "-T", list_name], None, None, "out.tar"),
        ]
    return [
        ("tessel", [tessel, "out.t2"] + files, None, None, "out.t2"),
        ("tessel -1", [tessel, "-1", "out.t1"] + files, None, None, "out.t1"),
        ("cat", ["cat"] + files, None, "out.cat", "out.cat"),
        ("tar", ["tar", "-cf", "out.tar"] + files, None, None, "out.tar"),
    ]


# ---------------------------------------------------------------- report

def print_table(rows):
    header = ["workload", "command", "median s", "best s", "peak RSS MiB", "/cat", "/tar"]
    table = [header] + rows
    widths = [max(len(r[i]) for r in table) for i in range(len(header))]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))


def rows_for(workload, result):
    rows = []
    cat, tar = result["cat"][0], result["tar"][0]
    for label, (median, peak, best) in result.items():
        tessel = label.startswith("tessel")
        rows.append([workload, label, "%.3f" % median, "%.3f" % best, "%.1f" % (peak / 1024),
                     "%.2f" % (median / cat) if tessel else "",
                     "%.2f" % (median / tar) if tessel else ""])
    return rows


def check(verdicts, text, ok):
    verdicts.append("  %-60s %s" % (text, "met" if ok else "MISSED"))


def main():
    args = parse_args()
    if not os.access(args.tessel, os.X_OK):
        sys.exit("benchmark: no tessel binary at %s" % args.tessel)
    for tool in ("cat", "tar", "xargs"):
        if shutil.which(tool) is None:
            sys.exit("benchmark: %s is not installed" % tool)
    if not os.access(TIME, os.X_OK):
        sys.exit("benchmark: %s is missing (Debian package: time)" % TIME)

    global RSS_FILE
    root = tempfile.mkdtemp(prefix="tessel-bench-", dir=args.dir)
    RSS_FILE = os.path.join(root, "rss")
    here = os.getcwd()
    results = {}
    try:
        os.chdir(root)
        print("machine: %d cores, %s; %s file system; kernel %s" %
              (os.cpu_count() or 0, cpu_model(), fs_type(root), platform.release()))
        print("data in %s; %d timed runs per command, medians; load average %.2f" %
              (root, args.runs, os.getloadavg()[0]))
        sys.stdout.flush()

        if "a" in args.workloads:
            files = make_large(root)
            os.sync()
            results["a"] = measure(commands_for(args.tessel, files=files), args.runs, args.samples)
            for name in files:
                os.unlink(name)
        if "b" in args.workloads:
            names = make_files(root, "small", SMALL_COUNT, lambda i: SMALL_SIZE)
            list_name = write_list(root, "list-b", names)
            os.sync()
            results["b"] = measure(commands_for(args.tessel, list_name=list_name), args.runs, args.samples)
            shutil.rmtree("small")
        if "c" in args.workloads:
            names = make_files(root, "tiny", max(TINY_COUNTS), lambda i: i % 16)
            lists = [write_list(root, "list-c%d" % n, names[:n]) for n in TINY_COUNTS]
            os.sync()
            for n, list_name in zip(TINY_COUNTS, lists):
                results["c%d" % n] = measure(commands_for(args.tessel, list_name=list_name),
                                             args.runs, args.samples)
    finally:
        os.chdir(here)
        shutil.rmtree(root, ignore_errors=True)

    labels = {"a": "(a) %d x %d MiB" % (LARGE_COUNT, LARGE_SIZE // MIB),
              "b": "(b) %d x %d B" % (SMALL_COUNT, SMALL_SIZE)}
    for n in TINY_COUNTS:
        labels["c%d" % n] = "(c) %d tiny" % n
    rows = []
    for key, result in results.items():
        rows += rows_for(labels[key], result)
    print("load average at the end %.2f (other work on the machine widens the spread)" %
          os.getloadavg()[0])
    print()
    print_table(rows)

    verdicts = []
    if "a" in results:
        a = results["a"]
        check(verdicts, "(a) format 2 within 1.05x cat: %.2f" % (a["tessel"][0] / a["cat"][0]),
              a["tessel"][0] <= 1.05 * a["cat"][0])
        check(verdicts, "(a) format 1 no slower than cat: %.2f" % (a["tessel -1"][0] / a["cat"][0]),
              a["tessel -1"][0] <= a["cat"][0])
        for label in ("tessel", "tessel -1"):
            check(verdicts, "(a) %s at least 1.7x faster than tar: %.2fx" %
                  (label, a["tar"][0] / a[label][0]), a["tar"][0] >= 1.7 * a[label][0])
    if "b" in results:
        b = results["b"]
        for label in ("tessel", "tessel -1"):
            check(verdicts, "(b) %s at most 0.70x tar: %.2f" % (label, b[label][0] / b["tar"][0]),
                  b[label][0] <= 0.70 * b["tar"][0])
    if all("c%d" % n in results for n in TINY_COUNTS):
        small, large = (results["c%d" % n] for n in TINY_COUNTS)
        factor = TINY_COUNTS[1] // TINY_COUNTS[0]
        for label in ("tessel", "tessel -1"):
            check(verdicts, "(c) %s, %d items: at most 0.70x tar: %.2f" % (
                label, TINY_COUNTS[1], large[label][0] / large["tar"][0]),
                large[label][0] <= 0.70 * large["tar"][0])
        for label in ("tessel", "tessel -1", "cat", "tar"):
            growth = large[label][0] / small[label][0]
            text = "(c) %s: %dx the items costs %.2fx the time" % (label, factor, growth)
            if label.startswith("tessel"):
                check(verdicts, text + " (at most %d.0x)" % (factor + 1), growth <= factor + 1)
            else:
                verdicts.append("  " + text)
    for key in ("a", "b"):
        if key in results:
            for label in ("tessel", "tessel -1"):
                peak = results[key][label][1]
                check(verdicts, "(%s) %s peak RSS under 4 MiB: %.1f MiB" % (key, label, peak / 1024),
                      peak < 4 * 1024)
    print()
    print("targets:")
    print("\n".join(verdicts))


if __name__ == "__main__":
    main()
