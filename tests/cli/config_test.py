#!/usr/bin/env python3
"""The configuration file as an administrator meets it (the defaults it gives
commands run without options, the files it refuses), and the system log of
each period, read back from a socket of the test's own that a private mount
namespace puts at /dev/log (as root; skipped otherwise).

    config_test.py --brightkeep PATH [ConfigurationTests|SystemLogTests]
"""

import json
import os
import re
import shutil
import socket
import subprocess
import unittest

import cli_support
from cli_support import Scratch, run


class ConfigurationTests(Scratch):
    def configure(self, text, name="brightkeep.conf", mode=0o644):
        path = os.path.join(self.root, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def test_commands_without_options_take_the_configured_folders(self):
        backups = os.path.join(self.root, "backups")
        os.mkdir(backups)
        for stamp in ("20200101-000000", "20200102-000000"):  # not backups: --keep leaves them
            open(os.path.join(backups, stamp + ".zip"), "w").close()
        config = self.configure("# the defaults of this machine\n\n  temp = %s   # made on first use\n"
                                "backup=%s/%%t.zip\r\nkeep = 2\n" % (self.temp, backups))
        result = run("protect", "--config", config, "--tree", self.path(""), "--", "sh", "-c",
                     "printf new > data/new.txt", cwd=self.root)
        self.assertEqual(result.returncode, 0, result.stderr)
        made = sorted(os.listdir(backups))
        self.assertEqual(made[:2], ["20200101-000000.zip", "20200102-000000.zip"], made)
        self.assertEqual(len(made), 3, made)
        self.assertRegex(made[2], r"^\d{8}-\d{6}\.zip$")

        self.killed_period()
        os.environ["BRIGHTKEEP_CONFIG"] = config
        self.addCleanup(os.environ.pop, "BRIGHTKEEP_CONFIG")
        assessed = run("assess", "--json")
        self.assertEqual(assessed.returncode, 3, assessed.stderr)
        self.assertEqual(json.loads(assessed.stdout)["folder"], self.temp)
        elsewhere = run("assess", "--config", config, self.root)  # the command line wins
        self.assertIn("No unfinished periods in %s." % self.root, elsewhere.stdout)
        result = run("rollback")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_files_as_before()

    def test_a_bad_line_is_an_error_naming_the_file_and_line(self):
        cases = [
            ("temp = /srv/rollback\ntmp = /srv\n", 2, 'unknown key "tmp"'),
            ("# a comment\n/srv/rollback\n", 2, 'not a "key = value" line'),
            ("temp = rollback\n", 1, '"temp" needs an absolute path'),
            ("backup =\n", 1, '"backup" has no value'),
            ("keep = 0\n", 1, '"keep" needs a number of backups, 1 or more'),
            ("backup = /srv/b.zip\n\nkeep = 3\n", 3, '"keep" needs "%t" in the name of the backup'),
            ("temp = /a\ntemp = /b\n", 2, '"temp" given twice'),
            ("temp = /a\0/b\n", 1, 'a control character in "temp"'),
        ]
        for text, line, message in cases:
            config = self.configure(text)
            result = run("rollback", "--config", config)
            self.assertEqual(result.returncode, 1, text)
            self.assertEqual(result.stderr, "brightkeep: Bad configuration, line %d: %s (5): %s\n"
                             % (line, message, config), text)

    def test_a_file_others_could_change_is_refused(self):
        link = os.path.join(self.root, "link.conf")
        os.symlink(self.configure("temp = %s\n" % self.root, name="target.conf"), link)
        cases = [
            (self.configure("", name="group.conf", mode=0o664), 70, "writable by group or others"),
            (link, 75, "Not a regular file"),
            (os.path.join(self.root, "missing.conf"), 53, "no such file"),
        ]
        if os.geteuid() == 0:
            owned = self.configure("", name="owned.conf")
            os.chown(owned, 65534, 65534)
            cases.append((owned, 70, "owned by another user"))
        for path, number, reason in cases:
            result = run("assess", "--config", path, "--json")
            self.assertEqual(result.returncode, 1, path)
            self.assertIn(reason, result.stderr, path)
            error = json.loads(result.stdout)["error"]
            self.assertEqual((error["number"], error["path"]), (number, path))
        self.assertEqual(run("assess", "--config", os.path.join(self.root, "target.conf")).returncode, 0)


class SystemLogTests(Scratch):
    def setUp(self):
        super().setUp()
        if os.geteuid() != 0 or not shutil.which("unshare"):
            self.skipTest("a private /dev/log needs root and unshare")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(self.socket.close)
        self.socket.bind(os.path.join(self.root, "log"))
        for layer in ("upper", "work"):
            os.mkdir(os.path.join(self.root, layer))
        if self.in_namespace("true").returncode != 0:
            self.skipTest("no overlay on /dev in a private mount namespace here")

    def in_namespace(self, *command):
        """Runs COMMAND with /dev/log this test's socket: an overlay on /dev
        in a private mount namespace."""
        script = ('mount -t overlay overlay -o "lowerdir=/dev,upperdir=$1/upper,workdir=$1/work" /dev'
                  ' && ln -sf "$1/log" /dev/log && shift && exec "$@"')
        return subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh",
                               self.root, *command], cwd=self.root, capture_output=True, text=True, timeout=120)

    def logged(self, *args):
        """Runs the command with its system log read back; returns its result
        and the messages logged, each as (priority, text)."""
        result = self.in_namespace(cli_support.BRIGHTKEEP, *args)
        messages = []
        self.socket.setblocking(False)
        while True:
            try:
                datagram = self.socket.recv(65536).decode()
            except BlockingIOError:
                return result, messages
            match = re.match(r"^<(\d+)>.* brightkeep\[\d+\]: (.*)$", datagram, re.S)
            self.assertIsNotNone(match, datagram)
            messages.append((int(match.group(1)), match.group(2)))

    def test_each_period_is_logged_with_its_log_and_outcome_even_when_quiet(self):
        notice, error = 8 + 5, 8 + 3  # LOG_USER with LOG_NOTICE, LOG_ERR
        self.temp = os.path.join(self.root, "temp\nforged: line")
        log = re.escape(self.temp.replace("\n", "\\x0A")) + r"/Safe [\d .-]+\.xml"
        result, messages = self.logged("protect", "-q", "--temp", self.temp, "--backup", self.backup,
                                       self.path("a.txt"), "--", "true")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(messages), 2, messages)
        self.assertRegex(messages[0][1], "^protect started: %s \\(running true\\)$" % log)
        self.assertRegex(messages[1][1], "^protect ended, completed, backup %s: %s$" % (re.escape(self.backup), log))
        self.assertEqual([p for p, _ in messages], [notice, notice])

        result, messages = self.logged("protect", "--temp", self.temp, "--backup", self.backup, "--replace",
                                       self.path("a.txt"), "--", "sh", "-c", "exit 3")
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertEqual(messages[1][0], error)
        self.assertRegex(messages[1][1], "^protect ended, the command failed with status 3, files restored: %s$" % log)

        backup = self.backup
        self.backup = os.path.join(self.root, "after-revert.zip")
        result, messages = self.logged("revert", backup, "--temp", self.temp, "--backup", self.backup)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(messages[0][1], "^revert started: %s \\(reverting %s\\)$" % (log, re.escape(backup)))
        self.assertRegex(messages[1][1], "^revert ended, reverted, backup %s: %s$" % (re.escape(self.backup), log))

        self.killed_period()
        result, messages = self.logged("rollback", "-q", self.temp)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(messages[0][1], "^rollback started: %s$" % log)
        self.assertRegex(messages[1][1], "^rollback ended, rolled back: %s$" % log)


if __name__ == "__main__":
    cli_support.main()
