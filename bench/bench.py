#!/usr/bin/env python3
"""Throughput benchmark: tessel (format 2 and format 1) against cat and tar
on the same files, untessel reading the archives back against cat and
tar -tf, and untessel -x against tar -xf on the same archives.

Creates its data in one temporary directory, which also receives every
output, so inputs and outputs share a file system.  Each command is run
twice to warm the caches and then --runs times, the commands taking turns in an
order that rotates from round to round (each output is deleted as soon as
its run ends, and the file system synced before the next run); the
median wall time and the peak resident memory of each command are reported,
with the ratios tessel/cat and tessel/tar.  The data are removed afterwards.

The reading workload (r) archives the files of (a) and of (b) once, with
tessel and with tar -cf, and times untessel -t and untessel -l on each
archive beside cat ARCHIVE > /dev/null and tar -tf of the tar file.

Workload x extracts the archive of (a)'s files and that of (b)'s, made by
tessel, and tar files of the same files, each run into a new directory in
the same place; with strace installed it also counts the system calls per
file of one extraction of each small-file archive.
"""

import argparse
import os
import platform
import shutil
import statistics
import subprocess
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


WORKLOADS = "abcrx"


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--tessel", required=True, help="the tessel binary to time")
    p.add_argument("--runs", type=int, default=5, help="timed runs per command (default 5)")
    p.add_argument("--dir", default=None,
                   help="where to create the temporary directory (default: the system's)")
    p.add_argument("--untessel", default=None,
                   help="the untessel binary to time (default: beside tessel)")
    p.add_argument("--workloads", default=WORKLOADS,
                   help="which workloads to run, a subset of '%s' (default all)" % WORKLOADS)
    p.add_argument("--samples", action="store_true",
                   help="also print every timed run")
    args = p.parse_args()
    args.tessel = os.path.abspath(args.tessel)
    if args.dir is not None:
        args.dir = os.path.abspath(args.dir)  # the data are made after a chdir
    args.untessel = os.path.abspath(args.untessel or
                                    os.path.join(os.path.dirname(args.tessel), "untessel"))
    if args.runs < 1 or not set(args.workloads) <= set(WORKLOADS) or not args.workloads:
        p.error("--runs must be positive and --workloads a subset of '%s'" % WORKLOADS)
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
    """commands: list of (label, argv, stdin, stdout, output), where output
    is the file the command writes, or None when it writes none.  Warm-up
    rounds, then `runs` rounds in which the commands take turns.  Each
    output is deleted as soon as its run ends, before it is written back,
    and the file system is synced before every run: no run pays for an
    earlier one's output, and the disk is idle when a run starts.  An
    output ending in "/" is a directory, made empty before the run."""
    times = {label: [] for label, *_ in commands}
    peaks = {label: 0 for label, *_ in commands}
    for round_number in range(runs + WARM_UP_ROUNDS):
        # Each round starts with the next command, so none is always the
        # first after a pause, when the system may have been reclaiming or
        # handing back memory.
        start = round_number % len(commands)
        for label, argv, stdin, stdout, output in commands[start:] + commands[:start]:
            if output is not None and output.endswith("/"):
                os.mkdir(output)
            os.sync()
            elapsed, peak = run_once(argv, stdin, stdout)
            if output is None:
                pass
            elif output.endswith("/"):
                shutil.rmtree(output)
            else:
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


def make_archives(tessel, name, files=None, list_name=None):
    """name.arc written by tessel and name.tar by tar -cf, from the files
    named on the command line (files) or in a list file (list_name)."""
    if list_name is not None:
        writes = [[tessel, "-f" + list_name, name + ".arc"],
                  ["tar", "-cf", name + ".tar", "-T", list_name]]
    else:
        writes = [[tessel, name + ".arc"] + files, ["tar", "-cf", name + ".tar"] + files]
    for argv in writes:
        run_once(argv)
    return name + ".arc", name + ".tar"


def reading_commands(untessel, archive, tar_file):
    """untessel -t and -l of the archive, cat of it and tar -tf of the tar
    file, each with its standard output thrown away; and true, which does
    nothing: the cost of starting a program, which -l of a few large
    entries hardly exceeds."""
    return [
        ("untessel -t", [untessel, "-t", archive], None, os.devnull, None),
        ("untessel -l", [untessel, "-l", archive], None, os.devnull, None),
        ("cat", ["cat", archive], None, os.devnull, None),
        ("tar -tf", ["tar", "-tf", tar_file], None, os.devnull, None),
        ("true", [shutil.which("true")], None, os.devnull, None),
    ]


def extraction_commands(untessel, archive, tar_file):
    return [
        ("untessel -x", [untessel, "-x", "-C", "out.x/", archive], None, None, "out.x/"),
        ("tar -xf", ["tar", "-xf", tar_file, "-C", "out.tar/"], None, None, "out.tar/"),
    ]


def archives_of(tessel, name, names):
    """A tessel archive and a tar file of the same files, all in the
    current directory or one directory (tessel stores base names only)."""
    here = os.path.dirname(names[0])
    write_list(".", name + ".lst", names)
    write_list(".", name + ".tar.lst", [os.path.basename(n) for n in names])
    subprocess.run([tessel, "-f" + name + ".lst", name + ".t2"], check=True,
                   stderr=subprocess.DEVNULL)
    subprocess.run(["tar", "-C", here or ".", "-cf", name + ".tar", "-T", name + ".tar.lst"],
                   check=True)
    return name + ".t2", name + ".tar"


def count_system_calls(argv, output, files):
    """System calls of one run under strace -c -f, per file extracted: the
    total and each call made at least once for every two files."""
    os.mkdir(output)
    report = os.path.join(os.getcwd(), "strace.txt")
    subprocess.run(["strace", "-c", "-f", "-o", report] + argv, check=True,
                   stderr=subprocess.DEVNULL)
    shutil.rmtree(output)
    calls = {}
    with open(report) as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 5 and fields[-1].isidentifier() and fields[3].isdigit():
                calls[fields[-1]] = int(fields[3])
    os.unlink(report)
    total = calls.pop("total", sum(calls.values()))
    main = sorted((c for c in calls.items() if c[1] * 2 >= files), key=lambda c: -c[1])
    return total / files, ", ".join("%s %.2f" % (name, n / files) for name, n in main)


def extraction_workload(args, root, results):
    """(x): untessel -x and tar -xf of (a)'s files and of (b)'s."""
    files = make_large(root)
    large = archives_of(args.tessel, "large", files)
    for name in files:
        os.unlink(name)
    names = make_files(root, "small", SMALL_COUNT, lambda i: SMALL_SIZE)
    small = archives_of(args.tessel, "small", names)
    shutil.rmtree("small")
    os.sync()
    results["xa"] = measure(extraction_commands(args.untessel, *large), args.runs, args.samples)
    results["xb"] = measure(extraction_commands(args.untessel, *small), args.runs, args.samples)
    if shutil.which("strace") is None:
        print("strace is not installed: no system call counts")
        return
    print("system calls per file, extracting (b)'s %d files (strace -c -f):" % SMALL_COUNT)
    for label, argv, _, _, output in extraction_commands(args.untessel, *small):
        total, main = count_system_calls(argv, output, SMALL_COUNT)
        print("  %-12s %.2f in all; %s" % (label, total, main))


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
    if "tar -xf" in result:
        tar = result["tar -xf"][0]
        return [[workload, label, "%.3f" % median, "%.3f" % best, "%.1f" % (peak / 1024), "",
                 "%.2f" % (median / tar) if label != "tar -xf" else ""]
                for label, (median, peak, best) in result.items()]
    rows = []
    cat = result["cat"][0]
    tar = result["tar"][0] if "tar" in result else result["tar -tf"][0]
    for label, (median, peak, best) in result.items():
        tessel = label.startswith("tessel") or label.startswith("untessel")
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
    if set("rx") & set(args.workloads) and not os.access(args.untessel, os.X_OK):
        sys.exit("benchmark: no untessel binary at %s" % args.untessel)
    for tool in ("cat", "tar", "xargs", "true"):
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
            shutil.rmtree("tiny")
        if "r" in args.workloads:
            # The archives are made once, and their files removed before
            # the timing, so that only the archives are in the page cache.
            files = make_large(root)
            large = make_archives(args.tessel, "large", files=files)
            for name in files:
                os.unlink(name)
            names = make_files(root, "small", SMALL_COUNT, lambda i: SMALL_SIZE)
            small = make_archives(args.tessel, "small",
                                  list_name=write_list(root, "list-r", names))
            shutil.rmtree("small")
            os.sync()
            for key, (archive, tar_file) in (("ra", large), ("rb", small)):
                results[key] = measure(reading_commands(args.untessel, archive, tar_file),
                                       args.runs, args.samples)
                os.unlink(archive)
                os.unlink(tar_file)
        if "x" in args.workloads:
            extraction_workload(args, root, results)
    finally:
        os.chdir(here)
        shutil.rmtree(root, ignore_errors=True)

    labels = {"a": "(a) %d x %d MiB" % (LARGE_COUNT, LARGE_SIZE // MIB),
              "b": "(b) %d x %d B" % (SMALL_COUNT, SMALL_SIZE),
              "ra": "(r) %d x %d MiB" % (LARGE_COUNT, LARGE_SIZE // MIB),
              "rb": "(r) %d x %d B" % (SMALL_COUNT, SMALL_SIZE)}
    for n in TINY_COUNTS:
        labels["c%d" % n] = "(c) %d tiny" % n
    labels["xa"] = "(x) extract " + labels["a"][4:]
    labels["xb"] = "(x) extract " + labels["b"][4:]
    writing = [rows_for(labels[k], r) for k, r in results.items() if k[0] not in "rx"]
    reading = [rows_for(labels[k], r) for k, r in results.items() if k.startswith("r")]
    extracting = [rows_for(labels[k], r) for k, r in results.items() if k.startswith("x")]
    print("load average at the end %.2f (other work on the machine widens the spread)" %
          os.getloadavg()[0])
    for tables in (writing, reading, extracting):
        if tables:
            print()
            print_table(sum(tables, []))

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
    for key in ("ra", "rb"):
        if key not in results:
            continue
        r = results[key]
        test, listing = r["untessel -t"][0], r["untessel -l"][0]
        if key == "ra":
            check(verdicts, "(r) large: -t within 1.3x cat: %.2f" % (test / r["cat"][0]),
                  test <= 1.3 * r["cat"][0])
            check(verdicts, "(r) large: -l at least 20x faster than -t: %.1fx" % (test / listing),
                  test >= 20 * listing)
            start = r["true"][0]
            if listing > start:
                verdicts.append("  (r) large: the same, less the start of a program (true): %.1fx" %
                                ((test - start) / (listing - start)))
        check(verdicts, "(r) %s: -l no slower than tar -tf: %.2f" % (
            "large" if key == "ra" else "small", listing / r["tar -tf"][0]),
            listing <= r["tar -tf"][0])
        for label in ("untessel -t", "untessel -l"):
            peak = r[label][1]
            check(verdicts, "(r) %s %s peak RSS under 4 MiB: %.1f MiB" % (
                "large" if key == "ra" else "small", label[9:], peak / 1024), peak < 4 * 1024)
    for key in ("xa", "xb"):
        if key in results:
            x = results[key]
            check(verdicts, "(%s) untessel -x no slower than tar -xf: %.2f" %
                  (key, x["untessel -x"][0] / x["tar -xf"][0]),
                  x["untessel -x"][0] <= x["tar -xf"][0])
            peak = x["untessel -x"][1]
            check(verdicts, "(%s) untessel -x peak RSS under 4 MiB: %.1f MiB" % (key, peak / 1024),
                  peak < 4 * 1024)
    print()
    print("targets:")
    print("\n".join(verdicts))


if __name__ == "__main__":
    main()
