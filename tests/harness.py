"""Shared helpers for the command-line tests: running tessel, expected
messages, and archive layouts checked byte for byte."""

import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

# Set by runner.py from its command line.
TESSEL = None          # path of the binary under test
EMULATOR = []          # words put before it (an emulator when cross-compiled)
WINDOWS = False        # the binary is a Windows executable
STAT_SHIM = None       # library that makes ".reported-N" files look N bytes long

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
    "none": b"No error",
}

RUN_TIMEOUT = 60


class Result:
    def __init__(self, status, stderr):
        self.status = status
        self.stderr = stderr


def _limit_file_size(limit):
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def run(args, cwd, fsize_limit=None, timeout=RUN_TIMEOUT, env=None):
    """Runs tessel with `args` (str or bytes words) in `cwd`; checks that
    nothing reached standard output and returns the status and stderr."""
    words = [a if isinstance(a, bytes) else a.encode() for a in args]
    preexec = _limit_file_size(fsize_limit) if fsize_limit is not None else None
    proc = subprocess.run(EMULATOR + [TESSEL] + words, cwd=cwd, env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout,
                          preexec_fn=preexec)
    if proc.stdout:
        raise AssertionError("tessel wrote to standard output: %r" % proc.stdout[:200])
    return Result(proc.returncode, proc.stderr)


def hexbytes(text):
    """'FF 00 26' -> b'\\xff\\x00\\x26'."""
    return bytes.fromhex(text)


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
