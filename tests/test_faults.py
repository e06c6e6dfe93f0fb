"""Failures injected wherever one can happen during a whole run: a full disk
at every offset that matters, an archive on a device that refuses data, files
whose size is not what their status said, and memory refused.  Status 0
must come only with the complete, correct archive; status 1 always with the
message that says why."""

import os
import stat
import unittest

import harness
from harness import (ERROR_TEXT, TesselCase, add_table, archive, entry,
                     hexbytes, name_field, require_root, skip_on_windows)

CHUNK = 8192
# Output buffer sizes the stream may be given: a failed write shows at the
# flush, so the sweeps cut the archive around every multiple of each.
STREAM_BUFFERS = [64 << 10, 128 << 10, 256 << 10, 512 << 10, 1 << 20]

NO_MEMORY = b"memory allocation failed. please add more memory.\n"


def pattern(size):
    """Data whose period (251) is no divisor of a chunk or a buffer, so a
    chunk written twice or skipped changes the archive."""
    return (bytes(range(251)) * (size // 251 + 1))[:size]


# Reference runs: (name, data) of each item, in order.
SMALL = [("one.txt", b"first file\n"), ("two.bin", bytes(range(40)))]
CHUNKED = [("three.bin", pattern(3 * CHUNK + 100)), ("two.bin", pattern(2 * CHUNK)),
           ("one.txt", b"x\n")]
LARGE = [("large.bin", pattern((1 << 20) + 3 * CHUNK + 77)), ("last.txt", b"end\n")]


def cut_points(files, fmt):
    """Offsets of the complete archive where a write is most likely to be
    cut: each entry's start, the start of each data chunk, the end of the
    data and of the entry, and every multiple of each stream buffer size."""
    points = {0}
    pos = 4
    for name, data in files:
        points.add(pos)
        data_start = pos + 36
        points.update(data_start + k * CHUNK for k in range(len(data) // CHUNK + 1))
        points.add(data_start + len(data))
        pos += len(entry(name, data, fmt))
        points.add(pos)
    total = pos + 1
    for size in STREAM_BUFFERS:
        points.update(range(size, total, size))
    return total, points


def sweep_limits(files, fmt, reach):
    """The file size limits of one sweep: every offset when `reach` is None,
    else every offset within `reach` bytes of a cut point; always the
    complete archive's length too."""
    total, points = cut_points(files, fmt)
    if reach is None:
        return list(range(total + 1))
    return sorted({p + d for p in points for d in range(-reach, reach + 1)
                   if 0 <= p + d <= total} | {total})


@skip_on_windows("a file size limit is a POSIX feature")
class FullDisk(TesselCase):
    """A file size limit at every offset of a reference run (near every
    chunk and buffer boundary for the larger ones): status 0 only with the
    complete archive; status 1 with the message and no archive left, or
    with -d exactly a prefix of the complete one."""

    def test_signal_left_at_default(self):
        # SIGXFSZ at its default ends a process that writes past the limit:
        # tessel must ignore it itself to report the failure.
        if harness.EMULATOR:
            self.skipTest("the signal would end an emulator that writes files of its own")
        for name, data in SMALL:
            self.write(name, data)
        r = self.tessel("out.arc", *[n for n, _ in SMALL], fsize_limit=10,
                        ignore_sigxfsz=False)
        self.assertStderr(r, b"out.arc: " + ERROR_TEXT["EFBIG"] + b"\n", 1)
        self.assertNoArchive()


def _same_bytes(self, got, want, what):
    """Like assertEqual, but names the first differing offset instead of
    printing a megabyte."""
    if got != want:
        at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        self.fail("%s: %d bytes instead of %d, first difference at offset %d"
                  % (what, len(got), len(want), at))


def _full_disk_case(self, files, fmt, keep, reach):
    for name, data in files:
        self.write(name, data)
    complete = archive([entry(n, d, fmt) for n, d in files], fmt)
    args = ["-" + ("1" if fmt == 1 else "") + ("d" if keep else ""), "out.arc"]
    args += [n for n, _ in files]
    for limit in sweep_limits(files, fmt, reach):
        with self.subTest(limit=limit):
            if os.path.lexists(self.path("out.arc")):
                os.unlink(self.path("out.arc"))
            r = self.tessel(*args, fsize_limit=limit)
            if limit >= len(complete):
                self.assertStderr(r, b"", 0)
                _same_bytes(self, self.read("out.arc"), complete, "complete archive")
                continue
            self.assertStderr(r, b"out.arc: " + ERROR_TEXT["EFBIG"] + b"\n", 1)
            if keep:
                _same_bytes(self, self.read("out.arc"), complete[:limit], "kept archive")
            else:
                self.assertNoArchive()


add_table(FullDisk, {
    "format_2": (SMALL, 2, False, None),
    "format_2_keep": (SMALL, 2, True, None),
    "format_1": (SMALL, 1, False, None),
    "format_1_keep": (SMALL, 1, True, None),
    "chunks_format_2": (CHUNKED, 2, False, 2),
    "chunks_format_2_keep": (CHUNKED, 2, True, 2),
    "chunks_format_1": (CHUNKED, 1, False, 2),
    "chunks_format_1_keep": (CHUNKED, 1, True, 2),
    "large_format_2": (LARGE, 2, False, 2),
    "large_format_2_keep": (LARGE, 2, True, 2),
    "large_format_1": (LARGE, 1, False, 2),
    "large_format_1_keep": (LARGE, 1, True, 2),
}, _full_disk_case)


@skip_on_windows("devices and symbolic links are POSIX features")
class DevFull(TesselCase):
    """An archive on /dev/full, reached through a symbolic link: every write
    fails, at the latest at the final flush.  Status 1 with the message;
    neither the device nor the link is removed, and nothing is created
    beside the device."""


def _dev_full_case(self, files, fmt, keep):
    for name, data in files:
        self.write(name, data)
    os.symlink("/dev/full", self.path("out.arc"))
    device = os.lstat("/dev/full")
    dev_names = sorted(os.listdir("/dev"))
    own_names = sorted(os.listdir(self.dir))
    args = ["-" + ("1" if fmt == 1 else "") + ("d" if keep else ""), "out.arc"]
    r = self.tessel(*(args + [n for n, _ in files]))
    self.assertStderr(r, b"out.arc: " + ERROR_TEXT["ENOSPC"] + b"\n", 1)
    after = os.lstat("/dev/full")
    self.assertTrue(stat.S_ISCHR(after.st_mode))
    self.assertEqual((after.st_ino, after.st_rdev, after.st_mode),
                     (device.st_ino, device.st_rdev, device.st_mode))
    self.assertEqual(sorted(os.listdir("/dev")), dev_names)
    self.assertEqual(sorted(os.listdir(self.dir)), own_names)
    self.assertEqual(os.readlink(self.path("out.arc")), "/dev/full")


add_table(DevFull, {
    "fails_at_close": (SMALL[:1], 2, False),
    "format_1": (SMALL, 1, False),
    "chunks_within_the_buffer": (CHUNKED, 2, False),
    "larger_than_the_buffer": (LARGE, 2, False),
    "larger_than_the_buffer_format_1_keep": (LARGE, 1, True),
}, _dev_full_case)


@skip_on_windows("devices and FIFOs are POSIX features")
class Devices(TesselCase):
    """An archive that is not a regular file is never deleted."""

    def test_device_node_survives_a_writer_failure(self):
        require_root(self)
        os.mknod(self.path("null"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        with open(self.path("big"), "wb") as f:
            f.truncate(2 ** 31)
        r = self.tessel("null", "big")
        self.assertStderr(r, b"original -2147483648 write size 0\n", 1)
        self.assertTrue(stat.S_ISCHR(os.lstat(self.path("null")).st_mode))

    def test_fifo_archive_without_reader_does_not_block(self):
        os.mkfifo(self.path("out.arc"))
        r = self.tessel("out.arc", "a.txt", timeout=20)
        self.assertStderr(r, b"Can't write open out.arc\n", 1)
        self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("out.arc")).st_mode))


class SizeRefused(TesselCase):
    """Files of 2^31 bytes or more cannot be described by the size field.
    On Windows this also shows that the size is seen past 2^31 bytes."""


def _refused_case(self, size, shown, keep):
    with open(self.path("big"), "wb") as f:
        f.truncate(size)
    self.write("a.txt", b"abc")
    r = self.tessel("-d" if keep else "-", "out.arc", "a.txt", "big", "a.txt")
    self.assertStderr(r, b"original %d write size 0\n" % shown, 1)
    if keep:
        self.assertEqual(self.read("out.arc"),
                         archive([entry("a.txt", b"abc")])[:-1] + b"\xd1" + name_field("big")
                         + (size & 0xFFFFFFFF).to_bytes(4, "little"))
    else:
        self.assertNoArchive()


add_table(SizeRefused, {
    "two_gib": (2 ** 31, -2 ** 31, False),
    "two_gib_kept": (2 ** 31, -2 ** 31, True),
    "four_gib_plus_5": (2 ** 32 + 5, 5, False),
    "four_gib_plus_5_kept": (2 ** 32 + 5, 5, True),
    "four_gib_exactly": (2 ** 32, 0, False),
}, _refused_case)

SYSFS_SHORT_FILES = ["/sys/devices/system/cpu/online", "/sys/kernel/profiling",
                     "/sys/kernel/mm/transparent_hugepage/enabled"]


@skip_on_windows("sysfs is a Linux feature")
class SizeCheck(TesselCase):
    def shrinking_file(self):
        for p in SYSFS_SHORT_FILES:
            try:
                if os.stat(p).st_size == 4096:
                    with open(p, "rb") as f:
                        n = len(f.read())
                    if 0 < n < 4096:
                        return p, n
            except OSError:
                pass
        self.skipTest("no sysfs attribute that reports 4096 bytes and reads fewer")

    def test_file_shorter_than_its_size(self):
        p, n = self.shrinking_file()
        for keep in (False, True):
            with self.subTest(keep=keep):
                r = self.tessel("-d" if keep else "-", "out.arc", p)
                self.assertStderr(r, b"original 4096 write size %d\n" % n, 1)
                if keep:
                    data = self.read("out.arc")
                    self.assertEqual(data[:40], hexbytes("FF 00 26 02 D1") +
                                     name_field(os.path.basename(p)) + hexbytes("00 10 00 00"))
                    self.assertEqual(len(data), 40 + n)
                else:
                    self.assertNoArchive()


@skip_on_windows("address-space limits are a POSIX feature")
class Memory(TesselCase):
    """Memory refused for the list text or for the work list: the message,
    status 1, and the archive keeps its header.  Each row: the list file
    for a given limit (its size when sparse, else its bytes), and whether
    the run fails."""

    def setUp(self):
        super().setUp()
        if harness.EMULATOR:
            self.skipTest("an address-space limit would apply to the emulator itself")

    def limit(self):
        # Under the sanitizers the limit caps each allocation (in whole MiB),
        # and their realloc always copies: a small cap keeps the work list's
        # growth by 100 references at a time quick.
        return (1 << 20) if harness.SANITIZED else (64 << 20)


def _memory_case(self, make_list, fails):
    limit = self.limit()
    text = make_list(limit)
    self.write("a", b"a")
    if isinstance(text, int):
        with open(self.path("names.lst"), "wb") as f:
            f.truncate(text)
    else:
        self.write("names.lst", text)
    r = self.tessel("-fnames.lst", "out.arc", "a", memory_limit=limit)
    if fails:
        self.assertStderr(r, NO_MEMORY, 1)
        self.assertEqual(self.read("out.arc"), hexbytes("FF 00 26 02"))
    else:
        self.assertStderr(r, b"", 0)
        self.assertEqual(self.read("out.arc"),
                         archive([entry("a", b"a")] * (text.count(b"\n") + 1)))


add_table(Memory, {
    # A sparse list file of 16 times the limit: its text cannot be held.
    "list_text_larger_than_memory": (lambda limit: 16 * limit, True),
    # A third of the limit in two-byte lines: the text fits, the work list's
    # eight bytes of reference per line do not.
    "work_list_larger_than_memory": (lambda limit: b"a\n" * (limit // 6), True),
    # The same limit leaves room for an ordinary run.
    "small_list_under_the_same_limit": (lambda limit: b"a\n" * 1000, False),
}, _memory_case)


class SanitizedBuild(unittest.TestCase):
    def test_binary_carries_both_sanitizers(self):
        if not harness.SANITIZED:
            self.skipTest("not the sanitizer build")
        with open(harness.TESSEL, "rb") as f:
            binary = f.read()
        self.assertIn(b"__asan_init", binary)
        self.assertIn(b"__ubsan_handle", binary)


if __name__ == "__main__":
    unittest.main()
