"""Shared helpers for the command-line tests: running tessel, expected
messages, and archive layouts checked byte for byte."""

import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

# Set by runner.py from its command line.
TESSEL = None          # path of the binary under test
UNTESSEL = None        # path of the reader built beside it
EMULATOR = []          # words put before it (an emulator when cross-compiled)
WINDOWS = False        # the binary is a Windows executable
WINDOWS_PROCESSOR = None  # and the processor it is for: "i686" or "x86_64"
STAT_SHIM = None       # library that makes ".reported-N" files look N bytes long
TEMPORARY_SHIM = None   # library that takes unnamed files or AT_EMPTY_PATH links away
SANITIZED = False      # the binary is built with AddressSanitizer and UBSan
REFERENCE_TESSEL = None  # a native Linux build, to compare the Windows one with
REFERENCE_UNTESSEL = None  # and the native untessel beside it

# A sanitizer or valgrind report must never pass for one of tessel's own
# failures, which exit with 1: the sanitizers are told to stop at the first
# report with status 86 (and leaks count), scripts/memcheck's valgrind
# exits with 99, and run() fails the test on either status or report text.
SANITIZER_OPTIONS = {
    "ASAN_OPTIONS": "halt_on_error=1:exitcode=86:detect_leaks=1:strict_string_checks=1",
    "UBSAN_OPTIONS": "halt_on_error=1:exitcode=86:print_stacktrace=1",
}
REPORT_STATUSES = (86, 99)
REPORT_TEXT = re.compile(rb"^==\d+==|runtime error: |^SUMMARY: ", re.M)
# What Wine prints in place of the rest of a program's output when the
# program, or Wine itself, meets an exception nothing handles.
# scripts/check-windows runs a test that failed with this once more.
WINE_CRASH = re.compile(rb"^wine: Unhandled ", re.M)
# What AddressSanitizer says when it refuses an allocation it was asked to
# refuse (see run's memory_limit): not a report.
REFUSED_ALLOCATION = re.compile(rb"^==\d+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes\n", re.M)

BANNER = b"Vessa Archiver Ver 2.0  (c) the tessel developers\n"
USAGE = (b"usage:\n\ttessel [-options] output <user files ...>\n"
         b"\t\t-v: verbose\n"
         b"\t\t-h: this display\n"
         b"\t\t-1: create arc ver1 format\n")

# The platform's texts for the system errors the tests provoke.
ERROR_TEXT = {
    "ENOENT": b"No such file or directory",
    "EACCES": b"Permission denied",
    "ENAMETOOLONG": b"File name too long",
    "EFBIG": b"File too large",
    "ENOSPC": b"No space left on device",
    "EISDIR": b"Is a directory",
    "none": b"No error",
}

# Wine's msvcrt, which the Windows tests run against, words these errors as
# glibc does; like glibc it calls no error "Success", which tessel replaces
# with "No error" everywhere.  (Microsoft's own msvcrt words ENAMETOOLONG
# "Filename too long".)

# Wine maps the Unix root to drive Z:, so in a test's scratch directory the
# drive-relative path Z:name names the file name there.
WINE_ROOT_DRIVE = "Z:"


def configure(windows):
    """Called by the runner before any test module is loaded."""
    global WINDOWS
    WINDOWS = windows

RUN_TIMEOUT = 60


class Result:
    def __init__(self, status, stderr, stdout=b""):
        self.status = status
        self.stderr = stderr
        self.stdout = stdout


def _limits(fsize_limit, address_limit, ignore_sigxfsz):
    def apply():
        if fsize_limit is not None:
            if ignore_sigxfsz:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize_limit, fsize_limit))
        if address_limit is not None:
            resource.setrlimit(resource.RLIMIT_AS, (address_limit, address_limit))
    return apply


def run(args, cwd, fsize_limit=None, memory_limit=None, timeout=RUN_TIMEOUT, env=None,
        ignore_sigxfsz=True, command=None, input=None, allow_stdout=False):
    """Runs tessel (or the `command` given instead) with `args` (str or bytes
    words) in `cwd`; checks that nothing reached standard output and no
    sanitizer or valgrind report was made, and returns the status and stderr.

    `input` (bytes) is given on standard input, which is otherwise empty;
    an open file given as `input` is standard input itself.  With
    `allow_stdout`, standard output is returned instead of refused.

    `fsize_limit` is the largest file the child may write; the child starts
    with SIGXFSZ ignored unless `ignore_sigxfsz` is false.  `memory_limit`
    makes large allocations fail: it caps the address space, or under the
    sanitizers (which reserve terabytes of address space for themselves) it
    is the largest single allocation they hand out."""
    words = [a if isinstance(a, bytes) else a.encode() for a in args]
    env = dict(os.environ if env is None else env)
    address_limit = None
    if SANITIZED:
        for name, options in SANITIZER_OPTIONS.items():
            env[name] = ":".join(filter(None, [env.get(name), options]))
        if env.get("LD_PRELOAD"):
            # A library a test preloads comes before the ASan runtime in the
            # list; it only wraps fstat, which ASan has no need to see first.
            env["ASAN_OPTIONS"] += ":verify_asan_link_order=0"
        if memory_limit is not None:
            assert memory_limit % (1 << 20) == 0, "the sanitizers count in MiB"
            env["ASAN_OPTIONS"] += ":allocator_may_return_null=1:max_allocation_size_mb=%d" % (
                memory_limit >> 20)
    elif memory_limit is not None:
        address_limit = memory_limit
    preexec = None
    if fsize_limit is not None or address_limit is not None:
        preexec = _limits(fsize_limit, address_limit, ignore_sigxfsz)
    if command is None:
        command = EMULATOR + [TESSEL]
    stdin = subprocess.DEVNULL if input is None else None
    if hasattr(input, "fileno"):
        stdin, input = input, None
    proc = subprocess.run(command + words, cwd=cwd, input=input, stdin=stdin,
                          stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout,
                          preexec_fn=preexec, env=env)
    stderr = proc.stderr
    if SANITIZED and memory_limit is not None:
        stderr = REFUSED_ALLOCATION.sub(b"", stderr)
    if proc.returncode in REPORT_STATUSES or REPORT_TEXT.search(stderr):
        raise AssertionError("sanitizer or memcheck report (status %d):\n%s" % (
            proc.returncode, stderr.decode(errors="replace")))
    if WINDOWS and WINE_CRASH.search(stderr):
        raise AssertionError("Wine reported an unhandled exception (status %d):\n%s" % (
            proc.returncode, stderr.decode(errors="replace")))
    if proc.stdout and not allow_stdout:
        raise AssertionError("tessel wrote to standard output: %r" % proc.stdout[:200])
    return Result(proc.returncode, stderr, proc.stdout)


def run_untessel(args, cwd, **kw):
    """Runs untessel as run() runs tessel, keeping its standard output."""
    return run(args, cwd, command=EMULATOR + [UNTESSEL], allow_stdout=True, **kw)


def hexbytes(text):
    """'FF 00 26' -> b'\\xff\\x00\\x26'."""
    return bytes.fromhex(text)


def escaped(name):
    """A stored name as untessel prints it (written apart from its code)."""
    out = b""
    for c in name:
        if c == 0x5C:
            out += b"\\\\"
        elif 0x20 <= c <= 0x7E:
            out += bytes([c])
        else:
            out += b"\\x%02x" % c
    return out


def name_field(name):
    """The 31-byte name field for a stored name."""
    raw = name if isinstance(name, bytes) else name.encode()
    return raw[:31].ljust(31, b"\0")


def entry(name, data, fmt=2):
    """An entry as an independent encoder writes it (used for sweeps; the
    layout tests spell their bytes out instead)."""
    body = bytes([0xD1]) + name_field(name) + len(data).to_bytes(4, "little") + data
    if fmt == 2:
        body += (sum(body) % 65536).to_bytes(2, "little")
    return body


def archive(entries, fmt=2):
    return bytes([0xFF, 0x00, 0x26, fmt]) + b"".join(entries) + b"\xed"


class TesselCase(unittest.TestCase):
    """A test with its own scratch directory as the working directory."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessel-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, data=b""):
        p = self.path(name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def tessel(self, *args, **kw):
        return run(list(args), self.dir, **kw)

    def untessel(self, *args, **kw):
        return run_untessel(list(args), self.dir, **kw)

    def assertStderr(self, result, expected, status):
        """Exact standard error after the banner, and the exit status."""
        newline = b"\r\n" if WINDOWS else b"\n"
        want = (BANNER + expected).replace(b"\n", newline)
        self.assertEqual(result.stderr, want)
        self.assertEqual(result.status, status)

    def assertLayout(self, data, rows, total):
        """`rows` are (offset, hex bytes, field); then the total length."""
        for offset, want, field in rows:
            want = hexbytes(want) if isinstance(want, str) else want
            got = data[offset:offset + len(want)]
            self.assertEqual(got.hex(" "), want.hex(" "),
                             "field %s at offset %d" % (field, offset))
        self.assertEqual(len(data), total, "total length")

    def assertNoArchive(self, name="out.arc"):
        self.assertFalse(os.path.lexists(self.path(name)),
                         "%s should not exist" % name)


def add_table(cls, rows, make):
    """Adds one test method per row: `rows` maps a case name to its
    arguments, `make(self, *args)` runs the case."""
    for case, args in rows.items():
        def method(self, args=args):
            make(self, *args)
        method.__name__ = "test_" + case
        setattr(cls, method.__name__, method)


def skip_on_windows(reason):
    return unittest.skipIf(WINDOWS, reason)


def require_root(test):
    if hasattr(os, "geteuid") and os.geteuid() != 0:
        test.skipTest("needs root to create a device node")
