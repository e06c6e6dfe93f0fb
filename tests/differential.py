#!/usr/bin/env python3
"""Runs two tessel binaries on the same inputs and reports every difference
in what they print, the status they end with and what they leave on disk
(the archive and every other file, byte for byte).  A change that must not
alter tessel's behaviour is checked by running the binaries before and after
it:

  tests/differential.py --old OLD --new NEW [options] [TEST NAME ...]

  --suite         every tessel run of the command-line tests (all of them,
                  or the TEST NAMEs given) is made with both binaries; the
                  tests' own checks apply to the new binary's run
  --random N      N random command lines and list files over a pool of
                  existing, missing, grown and shrunk files, directories,
                  FIFOs, links, wildcards and over-long names
  --start S       starting state of the random runs (default 1)
  --old-shim LIB, --new-shim LIB
                  the size-misreporting test library (tests/stat_shim.cpp)
                  built for each binary; without them the runs that need it
                  are left out
  --emulator W    words before both binaries, ';'-separated (as runner.py)
  --windows       the binaries are Windows builds
  --reference-tessel T
                  as for runner.py

Each run is made in the same directory by both binaries: what the
directory holds is copied aside before the old binary runs and put back
before the new one runs.  Ends with status 1 when any run differed."""

import argparse
import errno
import hashlib
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402

OLD = None
OLD_SHIM = None
real_run = harness.run
runs = 0
statuses = {}  # the new binary's exit statuses, counted
differences = []


def digest(path):
    """The file's bytes, hashed; holes of a sparse file are skipped, so that
    files of several GiB made with truncate cost nothing."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        fd = f.fileno()
        position = 0
        while True:
            try:
                start = os.lseek(fd, position, os.SEEK_DATA)
            except OSError as e:
                if e.errno == errno.ENXIO:
                    break
                raise
            end = os.lseek(fd, start, os.SEEK_HOLE)
            os.lseek(fd, start, os.SEEK_SET)
            h.update(b"@%d:" % start)
            left = end - start
            while left > 0:
                block = f.read(min(left, 1 << 20))
                if not block:
                    break
                h.update(block)
                left -= len(block)
            position = end
    return h.hexdigest()


def snapshot(top):
    """Everything under `top`: kind, permissions and contents of each entry."""
    top = os.fsencode(top)
    state = {}
    for where, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(where, name)
            st = os.lstat(path)
            mode = stat.S_IMODE(st.st_mode)
            if stat.S_ISREG(st.st_mode):
                kind = ("file", mode, st.st_size, digest(path))
            elif stat.S_ISLNK(st.st_mode):
                kind = ("link", os.readlink(path))
            elif stat.S_ISDIR(st.st_mode):
                kind = ("dir", mode)
            else:
                kind = ("other", stat.S_IFMT(st.st_mode), mode, st.st_rdev)
            state[os.path.relpath(path, top)] = kind
    return state


def empty_dir(top):
    for name in os.listdir(top):
        path = os.path.join(top, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)


def copy_contents(source, target):
    # cp keeps FIFOs, device nodes, links and holes as they are.
    subprocess.run(["cp", "-a", os.path.join(source, "."), target], check=True)


def outcome(call):
    """What a run gave: (status, stderr) or the failure it raised."""
    try:
        result = call()
        return ("ran", result.status, result.stderr), result, None
    except Exception as e:  # noqa: BLE001 - compared, then raised again
        return ("raised", type(e).__name__, str(e)), None, e


def twin_run(args, cwd, **kw):
    """harness.run's replacement: runs the old binary, puts the directory
    back, runs the new one, and records any difference."""
    global runs
    if kw.get("command") is not None:
        return real_run(args, cwd, **kw)
    saved = tempfile.mkdtemp(prefix="tessel-twin-")
    try:
        copy_contents(cwd, saved)
        old_kw = dict(kw)
        env = kw.get("env")
        if env is not None and env.get("LD_PRELOAD") and harness.STAT_SHIM:
            old_kw["env"] = dict(env, LD_PRELOAD=env["LD_PRELOAD"].replace(
                harness.STAT_SHIM, OLD_SHIM))
        new_binary = harness.TESSEL
        harness.TESSEL = OLD
        try:
            old, _, _ = outcome(lambda: real_run(args, cwd, **old_kw))
        finally:
            harness.TESSEL = new_binary
        old_state = snapshot(cwd)
        empty_dir(cwd)
        copy_contents(saved, cwd)
        new, result, error = outcome(lambda: real_run(args, cwd, **kw))
        new_state = snapshot(cwd)
    finally:
        shutil.rmtree(saved, True)
    runs += 1
    statuses[new[1]] = statuses.get(new[1], 0) + 1
    if old != new or old_state != new_state:
        differences.append((args, old, new, old_state, new_state))
        print("DIFFERENCE for %r" % (args,), file=sys.stderr)
    if error is not None:
        raise error
    return result


def pattern(n, shift=0):
    return bytes((i * 13 + shift + i // 251) & 0xFF for i in range(n))


# The pool the random runs draw from: files and their bytes, then the other
# kinds of objects.  The test library reports ".reported-N" files as N bytes
# long: the "g" ones look as if they grew after they were opened, the
# "shrunk" ones hold fewer bytes than reported.
POOL_FILES = {
    "empty": b"",
    "one": b"1",
    "a.txt": b"abc",
    "crlf.txt": b"one\r\ntwo\r\n\x1a",
    "k1": pattern(1024, 1),
    "c8191": pattern(8191, 2),
    "c8192": pattern(8192, 3),
    "c8193": pattern(8193, 4),
    "mid": pattern(20000, 5),
    "big": pattern((1 << 20) + 3, 6),
    "name_longer_than_thirty_one_bytes.txt": b"long name",
    "sub/inner.txt": b"inner",
    "sub/deeper/x.bin": pattern(300, 7),
    "a*": b"star",
    "b?": b"question",
    "C:": b"drive",
    "back\\slash": b"backslash",
    "g.reported-5": pattern(100, 8),
    "g.reported-8193": pattern(40000, 9),
    "g.reported-8192": pattern(9000, 10),
    "g.reported-0": pattern(700, 11),
    "g.reported-1024": pattern(1024, 12),
    "g.reported-2097153": pattern(3 << 20, 13),
    "shrunk.reported-100": pattern(5, 14),
    "shrunk.reported-9000": pattern(8192, 15),
}
POOL_DIRS = ["emptydir"]
POOL_LINKS = {"link_to_a": "a.txt", "dangling": "nowhere", "link_to_dir": "sub"}
POOL_FIFOS = ["pipe"]

# Items by what becomes of them (on Windows some names fall elsewhere), each
# drawn with its weight: most runs store several files and end well.
STORED = ["empty", "one", "a.txt", "crlf.txt", "k1", "c8191", "c8192", "c8193", "mid",
          "big", "name_longer_than_thirty_one_bytes.txt", "sub/inner.txt",
          "sub/deeper/x.bin", "back\\slash", "link_to_a", "./a.txt", "sub/../k1",
          "./" * 510 + "one", "/proc/version", "g.reported-1024"]
MISSING = ["nothere", "sub/nothere", "a.txt/", "a.txt/x", "sub/", "dangling", "a*", "b?",
           "C:", "*.txt", "*", "?", "", "sub\\inner.txt", "a.txt\\", "NUL", "con",
           "nul.txt", "A.TXT", "a.txt.", "a.txt "]
UNREADABLE = ["emptydir", "link_to_dir", "pipe", "/dev/null", "x" * 1100,
              "./" * 511 + "one"]
MISREPORTED = ["g.reported-5", "g.reported-8193", "g.reported-8192", "g.reported-0",
               "g.reported-2097153", "shrunk.reported-100", "shrunk.reported-9000",
               "/sys/kernel/mm/transparent_hugepage/enabled"]
ITEM_KINDS = [(STORED, 70), (MISSING, 20), (UNREADABLE, 4), (MISREPORTED, 6)]


# Under Wine, opening these could wait for ever.
POSIX_ONLY = {"pipe", "/dev/null"}


def pick(rng, names):
    while True:
        name = rng.choice(names)
        if not (harness.WINDOWS and name in POSIX_ONLY):
            return name


def random_item(rng):
    kinds, weights = zip(*ITEM_KINDS)
    return pick(rng, rng.choices(kinds, weights)[0])


LISTS = ["list.lst"] * 7 + ["nolist", "emptydir", "pipe", "empty",
         "/proc/version", "crlf.txt", "x" * 130]
ARCHIVES = ["out.arc"] * 25 + ["sub", "a.txt", "pipe", "/dev/null", "x" * 1100,
                               "emptydir/out.arc", "nodir/out.arc", "out.arc"]


def make_pool(top):
    for name, data in POOL_FILES.items():
        path = os.path.join(top, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    for name in POOL_DIRS:
        os.mkdir(os.path.join(top, name))
    for name, target in POOL_LINKS.items():
        os.symlink(target, os.path.join(top, name))
    for name in POOL_FIFOS:
        os.mkfifo(os.path.join(top, name))


def random_switches(rng):
    letters = [c for c in "v1dn" if rng.random() < 0.35]
    if rng.random() < 0.03:
        letters.append(rng.choice("hxV"))
    rng.shuffle(letters)
    words = []
    while letters:
        take = rng.randint(1, len(letters))
        words.append("-" + "".join(letters[:take]))
        letters = letters[take:]
    if rng.random() < 0.05:
        words.append("-")
    return words


def random_case(rng):
    """Words of one command line, and the list file's bytes (or None)."""
    words = random_switches(rng)
    text = None
    if rng.random() < 0.4:
        name = pick(rng, LISTS)
        if name == "list.lst":
            lines = [random_item(rng).encode() for _ in range(rng.randint(0, 12))]
            end = rng.choice([b"\n", b"\r\n", b"\r\n", b"\n\n"])
            text = end.join(lines)
            if rng.random() < 0.5:
                text += end
            if rng.random() < 0.1:
                text += b"\x1atail.txt\n"
        form = rng.random()
        if form < 0.6:
            words.insert(rng.randint(0, len(words)), "-f" + name)
        elif form < 0.9 and words:
            i = rng.randrange(len(words))
            words[i] += "f" + name
        else:
            words.insert(rng.randint(0, len(words)), "-f")
            # the next word becomes the archive's name
    words.append(pick(rng, ARCHIVES))
    words += [random_item(rng) for _ in range(rng.randint(0, 8))]
    if rng.random() < 0.05:
        words = words[:rng.randint(0, 2)]
    return words, text


def random_runs(count, start):
    rng = random.Random(start)
    base = tempfile.mkdtemp(prefix="tessel-differential-")
    try:
        pool = os.path.join(base, "pool")
        os.mkdir(pool)
        make_pool(pool)
        work = os.path.join(base, "work")
        env = dict(os.environ)
        if harness.STAT_SHIM:
            env["LD_PRELOAD"] = harness.STAT_SHIM
        for _ in range(count):
            words, text = random_case(rng)
            shutil.rmtree(work, True)
            os.mkdir(work)
            copy_contents(pool, work)
            if text is not None:
                with open(os.path.join(work, "list.lst"), "wb") as f:
                    f.write(text)
            try:
                twin_run(words, work, env=env, timeout=60)
            except AssertionError as e:
                # Reported alike by both binaries, so not a difference; say so.
                print("both runs of %r failed the same way: %s" % (words, e), file=sys.stderr)
    finally:
        shutil.rmtree(base, True)


def show(difference):
    args, old, new, old_state, new_state = difference
    print("\nwords: %r" % (args,))
    if old != new:
        print("  old: %r\n  new: %r" % (old, new))
    for name in sorted(set(old_state) | set(new_state)):
        if old_state.get(name) != new_state.get(name):
            print("  %s: old %r, new %r" % (name.decode(errors="replace"),
                                          old_state.get(name), new_state.get(name)))


def main():
    global OLD, OLD_SHIM
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--old", required=True)
    parser.add_argument("--new", required=True)
    parser.add_argument("--old-shim", default="")
    parser.add_argument("--new-shim", default="")
    parser.add_argument("--suite", action="store_true")
    parser.add_argument("--random", type=int, default=0)
    parser.add_argument("--start", type=int, default=1)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--windows", action="store_true")
    parser.add_argument("--reference-tessel")
    parser.add_argument("names", nargs="*")
    opts = parser.parse_args()
    if bool(opts.old_shim) != bool(opts.new_shim):
        parser.error("give the test library for both binaries, or for neither")

    harness.configure(opts.windows)
    harness.TESSEL = os.path.abspath(opts.new)
    harness.EMULATOR = opts.emulator.split(";") if opts.emulator else []
    harness.STAT_SHIM = os.path.abspath(opts.new_shim) if opts.new_shim else None
    if opts.reference_tessel:
        harness.REFERENCE_TESSEL = os.path.abspath(opts.reference_tessel)
    OLD = os.path.abspath(opts.old)
    OLD_SHIM = os.path.abspath(opts.old_shim) if opts.old_shim else None
    # Before the test modules are loaded, so their own `run` is this one.
    harness.run = twin_run

    status = 0
    if opts.suite:
        import runner
        result = unittest.TextTestRunner(verbosity=1).run(runner.load(opts.names))
        if not result.wasSuccessful():
            status = 1
    suite_runs = runs
    if opts.random:
        random_runs(opts.random, opts.start)
    for difference in differences:
        show(difference)
    print("\n%d runs compared (%d from the tests, %d random): %d differed" % (
        runs, suite_runs, runs - suite_runs, len(differences)))
    print("exit statuses: " + ", ".join("%s: %d" % (k, v) for k, v in sorted(
        statuses.items(), key=str)))
    return 1 if differences else status


if __name__ == "__main__":
    sys.exit(main())
