"""Helpers of the command-line tests: running the command, a scratch folder
with the user's files, and a protected change cut short by SIGKILL."""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BRIGHTKEEP = None  # set by cli_test.py from its --brightkeep argument


def run(*args, stdin=None, cwd=None):
    """Runs the command; returns the completed process (text output)."""
    return subprocess.run([BRIGHTKEEP, *args], input=stdin, cwd=cwd, capture_output=True,
                          text=True, timeout=120)


def children_of(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return [int(p) for p in f.read().split()]


class Scratch(unittest.TestCase):
    """A test case with a scratch folder holding the user's files (data/),
    the temporary folder of the periods (temp/) and a backup destination."""

    FILES = {"a.txt": b"first file\n", "sub/b.bin": bytes(range(256)) * 40, "c.txt": b""}

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="bk-cli-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.temp = os.path.join(self.root, "temp")
        self.backup = os.path.join(self.root, "backup.zip")
        for name, data in self.FILES.items():
            self.write(name, data)

    def path(self, name):
        return os.path.join(self.root, "data", name)

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def assert_files_as_before(self):
        for name, data in self.FILES.items():
            self.assertEqual(self.read(name), data, name)

    def temp_files(self):
        return sorted(os.listdir(self.temp)) if os.path.isdir(self.temp) else []

    def protect(self, script, *extra, files=None, backup=None):
        """Runs a protected change; the scratch's one fixed backup name is
        replaced by each run (--replace)."""
        names = self.FILES if files is None else files
        replace = ["--replace"] if backup is None else []
        return run("protect", "--temp", self.temp, "--backup", backup or self.backup, *replace, *extra,
                   *[self.path(n) for n in names], "--", "sh", "-c", script, cwd=self.root)

    def killed_period(self):
        """Protects every file, runs a change that rewrites them, and kills
        the command and its child with SIGKILL in the middle of the change."""
        marker = os.path.join(self.root, "halfway")
        script = ("for f in \"$@\"; do printf changed > \"$f\"; done; touch '%s'; exec sleep 60" % marker)
        files = [self.path(n) for n in self.FILES]
        proc = subprocess.Popen([BRIGHTKEEP, "protect", "--temp", self.temp, "--backup", self.backup, "--replace",
                                 *files, "--", "sh", "-c", script, "sh", *files])
        deadline = time.monotonic() + 60
        while not os.path.exists(marker):
            self.assertIsNone(proc.poll(), "protect ended before the change was half done")
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.02)
        victims = [proc.pid, *children_of(proc.pid)]
        for pid in victims:
            os.kill(pid, signal.SIGKILL)
        proc.wait()
        os.remove(marker)
        self.wait_until_not_live()
        for name in self.FILES:
            self.assertEqual(self.read(name), b"changed")

    def wait_until_not_live(self):
        """A killed process closes its files a moment after it is killed: the
        period stays in progress until the last one that held its lock is gone."""
        deadline = time.monotonic() + 60
        while self.assess_json()["in_progress"]:
            self.assertLess(time.monotonic(), deadline, "the period stayed in progress")
            time.sleep(0.02)

    def assess_json(self):
        result = run("assess", self.temp, "--json")
        report = json.loads(result.stdout)
        needs = report["unfinished"] or any(not p["owner_running"] for p in report["in_progress"])
        self.assertEqual(result.returncode, 3 if needs else 0, result.stderr)
        return report


def main():
    """Runs the test module's cases: --brightkeep PATH, then unittest's own
    arguments (such as the names of test classes)."""
    global BRIGHTKEEP
    parser = argparse.ArgumentParser()
    parser.add_argument("--brightkeep", required=True)
    args, rest = parser.parse_known_args()
    BRIGHTKEEP = os.path.abspath(args.brightkeep)
    unittest.main(module="__main__", argv=[sys.argv[0], *rest], verbosity=2)
