"""Runs the command-line tests.  --list prints every test's name; otherwise
runs the named tests against the binary given with --tessel."""

import argparse
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402

MODULES = ["test_run", "test_writer", "test_listfile", "test_manpage", "test_faults",
           "test_reader", "test_extract"]
WINDOWS_MODULES = ["test_windows"]  # only for a Windows build
SKIPPED = 77


def load(names=None):
    loader = unittest.TestLoader()
    suite = (loader.loadTestsFromNames(names) if names else
             unittest.TestSuite(loader.loadTestsFromName(m) for m in MODULES +
                                (WINDOWS_MODULES if harness.WINDOWS else [])))
    if loader.errors:
        sys.exit("cannot load the tests:\n" + "\n".join(loader.errors))
    return suite


def walk(suite):
    for t in suite:
        if isinstance(t, unittest.TestSuite):
            yield from walk(t)
        else:
            yield t


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--tessel")
    parser.add_argument("--untessel")
    parser.add_argument("--emulator", default="")
    parser.add_argument("--windows", action="store_true")
    parser.add_argument("--windows-processor")
    parser.add_argument("--stat-shim", default="")
    parser.add_argument("--temporary-shim", default="")
    parser.add_argument("--sanitized", action="store_true",
                        help="the binary is built with the sanitizers")
    parser.add_argument("--reference-tessel")
    parser.add_argument("--reference-untessel")
    parser.add_argument("names", nargs="*")
    opts = parser.parse_args()

    harness.configure(opts.windows)
    harness.SANITIZED = opts.sanitized
    harness.WINDOWS_PROCESSOR = opts.windows_processor
    if opts.list:
        for t in walk(load()):
            print(t.id())
        return 0
    harness.TESSEL = os.path.abspath(opts.tessel)
    if opts.untessel:
        harness.UNTESSEL = os.path.abspath(opts.untessel)
    harness.EMULATOR = opts.emulator.split(";") if opts.emulator else []
    harness.STAT_SHIM = os.path.abspath(opts.stat_shim) if opts.stat_shim else None
    if opts.temporary_shim:
        harness.TEMPORARY_SHIM = os.path.abspath(opts.temporary_shim)
    if opts.reference_tessel:
        harness.REFERENCE_TESSEL = os.path.abspath(opts.reference_tessel)
    if opts.reference_untessel:
        harness.REFERENCE_UNTESSEL = os.path.abspath(opts.reference_untessel)
    result = unittest.TextTestRunner(verbosity=2).run(load(opts.names))
    if not result.wasSuccessful():
        return 1
    if result.skipped and result.testsRun == len(result.skipped):
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main())
