#!/usr/bin/env python3
"""The command in everyday use: protect's statuses, its JSON document and dry
run, dates read under another zone, the progress line on a terminal, Ctrl+C
and SIGTERM, names that are not UTF-8, messages that say what to do, and
short output.

    everyday_test.py --brightkeep PATH [unittest arguments, e.g. StatusTests]
"""

import glob
import json
import os
import pty
import re
import shutil
import signal
import subprocess
import termios
import threading
import time
import unittest

import cli_support
from cli_support import Scratch, run


def wait_for(condition, proc, what):
    deadline = time.monotonic() + 60
    while not condition():
        if proc.poll() is not None:
            raise AssertionError("protect ended before %s" % what)
        if time.monotonic() > deadline:
            raise AssertionError("%s never came" % what)
        time.sleep(0.01)


class StatusTests(Scratch):
    def test_each_outcome_has_its_own_status_and_the_document_tells_it(self):
        gone = os.path.join(self.root, "backups")
        os.mkdir(gone)
        cases = [  # COMMAND, status, outcome, COMMAND's status
            ("printf new > data/a.txt", 0, "completed", 0),
            ("printf new > data/a.txt; exit 3", 3, "restored", 3),
            ("rm data/c.txt; mkdir data/c.txt; exit 3", 200, "not_restored", 3),
            ("rm -r '%s'" % gone, 201, "backup_kept", 0),
        ]
        for script, status, outcome, command_status in cases:
            result = self.protect(script, "--json", "--replace", backup=os.path.join(gone, "b.zip"))
            self.assertEqual(result.returncode, status, result.stderr)
            doc = json.loads(result.stdout)
            self.assertEqual((doc["outcome"], doc["command_status"], doc["status"]),
                             (outcome, command_status, status))
            self.assertEqual(sorted(doc["files"]), sorted(self.path(n) for n in self.FILES))
            kept = {0: os.path.join(gone, "b.zip"), 201: os.path.join(self.temp, "b.zip")}
            self.assertEqual(doc["backup"], kept.get(status))
            self.assertEqual(doc["restore"] is None, outcome in ("completed", "backup_kept"))
            if outcome == "not_restored":
                self.assertEqual([e["path"] for e in doc["restore"]["not_restored"]], [self.path("c.txt")])
            # The period stays where its files did not come back; a change that
            # succeeded is never left for a rollback to undo.
            self.assertEqual(bool(self.assess_json()["unfinished"]), status == 200, script)
            shutil.rmtree(self.path("c.txt"), True)
            self.write("c.txt", b"")
            self.assertEqual(run("rollback", self.temp).returncode, 0)
        self.assertIn("its backup is kept in %s " % os.path.join(self.temp, "b.zip"), result.stderr)

    def test_a_dry_run_tells_files_trees_and_room_and_writes_nothing(self):
        marker = os.path.join(self.root, "ran")
        self.write("tree/x.bin", b"x" * 1000)
        self.write("tree/deep/y.bin", b"y" * 500)
        args = ["--dry-run", "--tree", self.path("tree"), self.path("a.txt"), self.path("sub/b.bin")]
        doc = json.loads(run("protect", "--temp", self.temp, "--backup", self.backup, "--json", *args,
                             "--", "touch", marker).stdout)
        self.assertEqual(doc["trees"], [{"path": self.path("tree"), "files": 2, "bytes": 1500}])
        sizes = {f["path"]: f["size"] for f in doc["files"]}
        self.assertEqual((sizes[self.path("a.txt")], sizes[self.path("sub/b.bin")]), (11, 10240))
        self.assertEqual(doc["bytes"], 1500 + 11 + 10240)
        self.assertGreater(doc["available_bytes"], 0)
        self.assertEqual((doc["outcome"], doc["status"]), ("would_protect", 0))
        text = run("protect", "--temp", self.temp, "--backup", self.backup, *args, "--", "touch", marker)
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertIn("  tree %s: 2 files, 1.50 kB\n" % self.path("tree"), text.stdout)
        self.assertIn("  %s (11 B)\n" % self.path("a.txt"), text.stdout)
        refused = run("protect", "--temp", self.temp, "--backup", self.backup, "--dry-run", self.path("none"),
                      "--", "touch", marker)
        self.assertEqual(refused.returncode, 125)
        self.assertIn("no such file to make safe (30001): " + self.path("none"), refused.stderr)
        self.assertFalse(os.path.exists(marker) or os.path.exists(self.temp) or os.path.exists(self.backup))


class ZoneTests(Scratch):
    def test_dates_carry_the_offset_of_the_zone_the_period_started_in(self):
        marker = os.path.join(self.root, "changed")
        proc = subprocess.Popen([cli_support.BRIGHTKEEP, "protect", "--temp", self.temp, "--backup", self.backup,
                                 self.path("a.txt"), "--", "sh", "-c", "touch '%s'; exec sleep 60" % marker],
                                env=dict(os.environ, TZ="Asia/Tokyo"))
        wait_for(lambda: os.path.exists(marker), proc, "the change")
        for pid in [proc.pid, *cli_support.children_of(proc.pid)]:
            os.kill(pid, signal.SIGKILL)
        proc.wait()
        self.wait_until_not_live()
        [log] = glob.glob(os.path.join(self.temp, "Safe *.xml"))
        stamp = re.search(r"Safe (\d+-\d+-\d+) (\d+)\.(\d+)\.(\d+)\.xml$", log).groups()
        for zone in ("UTC", "America/New_York"):
            env = dict(os.environ, TZ=zone)
            doc = json.loads(subprocess.run([cli_support.BRIGHTKEEP, "inspect", "--json", log], env=env,
                                            capture_output=True, text=True).stdout)
            self.assertEqual(doc["start_date"], "%sT%s:%s:%s+09:00" % stamp, zone)
            self.assertEqual(doc["utc_offset"], 9 * 3600)


class TerminalTests(Scratch):
    FILES = {"f%03d.bin" % i: os.urandom(20000) for i in range(600)}

    def test_progress_on_a_terminal_moves_and_is_cleared_before_other_output(self):
        self.killed_period()
        typescript = subprocess.run(["script", "-qfec", "%s rollback %s" % (cli_support.BRIGHTKEEP, self.temp),
                                     "/dev/null"], capture_output=True, timeout=120).stdout.decode()
        self.assert_files_as_before()
        pieces = typescript.split("\r")
        drawn = [i for i, p in enumerate(pieces) if "brightkeep: rolling back period" in p]
        self.assertTrue(drawn, typescript)
        counts = {re.search(r": (\d+)( of 600)? files", pieces[i]).group(1) for i in drawn}
        self.assertGreaterEqual(len(counts), 2, [pieces[i] for i in drawn])
        for i in drawn:  # each drawing is the whole of its piece: nothing written after it on its line
            self.assertRegex(pieces[i], r"^\x1b\[Kbrightkeep: rolling back period 1 of 1: [^\n\x1b]*$")
        # The line is cleared before what follows it.
        self.assertEqual(pieces[drawn[-1] + 1][:3], "\x1b[K")
        self.assertIn("Rolled back 1 of 1 unfinished period.", typescript)


class InterruptTests(Scratch):
    """Signals sent at points the test holds protect at: its terminal's
    output suspended while files are made safe, and what COMMAND left
    running before files are put back."""

    def setUp(self):
        super().setUp()
        if subprocess.run(["stat", "-f", "-c", "%T", self.root], capture_output=True, text=True).stdout.strip() in (
                "tmpfs", "ramfs"):
            self.skipTest("protect would first warn on its terminal of a temporary folder in memory")

    def protect_on_terminal(self, script, *extra):
        master, self.slave = pty.openpty()
        output = []
        proc = subprocess.Popen([cli_support.BRIGHTKEEP, "protect", "--temp", self.temp, "--backup", self.backup,
                                 *extra, *[self.path(n) for n in self.FILES], "--", "sh", "-c", script, "sh",
                                 *[self.path(n) for n in self.FILES]],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.slave)
        reader = threading.Thread(target=self.read_all, args=(master, output))
        reader.start()
        self.addCleanup(os.close, master)
        return proc, reader, output

    @staticmethod
    def pending(pid, sig):
        with open("/proc/%d/status" % pid) as f:
            fields = dict(line.split(":", 1) for line in f)
        return any(int(fields[k], 16) >> (sig - 1) & 1 for k in ("SigPnd", "ShdPnd"))

    @staticmethod
    def read_all(master, output):
        try:
            while chunk := os.read(master, 4096):
                output.append(chunk.decode(errors="replace"))
        except OSError:
            pass

    def finish(self, proc, reader, output):
        status = proc.wait(timeout=60)
        os.close(self.slave)
        reader.join(60)
        return status, "".join(output)

    def test_an_interrupt_while_files_are_made_safe_removes_the_period(self):
        marker = os.path.join(self.root, "ran")
        for sig in (signal.SIGINT, signal.SIGTERM):
            master, slave = pty.openpty()
            # Suspended output: protect's first drawing of its progress, once the
            # period has begun, waits until the test lets it go on.
            termios.tcflow(slave, termios.TCOOFF)
            proc = subprocess.Popen([cli_support.BRIGHTKEEP, "protect", "--temp", self.temp, "--backup", self.backup,
                                     self.path("a.txt"), "--", "touch", marker],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
            output = []
            reader = threading.Thread(target=self.read_all, args=(master, output))
            reader.start()
            wait_for(lambda: glob.glob(os.path.join(self.temp, "Safe *.xml")), proc, "the period")
            proc.send_signal(sig)
            termios.tcflow(slave, termios.TCOON)
            self.assertEqual(proc.wait(timeout=60), 128 + sig, "".join(output))
            os.close(slave)
            reader.join(60)
            os.close(master)
            self.assertIn("interrupted while files were made safe", "".join(output))
            self.assertFalse(os.path.exists(marker))
            self.assertEqual(self.temp_files(), [])
            self.assert_files_as_before()

    def interrupted_restore(self, interrupts):
        """COMMAND changes every file, leaves a process holding the period and
        fails; protect waits for it, and meanwhile gets `interrupts` SIGINTs."""
        release = os.path.join(self.root, "release")
        script = ('for f in "$@"; do printf changed > "$f"; done; '
                  '(while [ ! -e "%s" ]; do sleep 0.05; done) & exit 4' % release)
        proc, reader, output = self.protect_on_terminal(script)
        wait_for(lambda: "waiting up to" in "".join(output), proc, "the wait")
        for _ in range(interrupts):
            # Signals of one kind do not queue: each is sent once the last has arrived.
            proc.send_signal(signal.SIGINT)
            wait_for(lambda: not self.pending(proc.pid, signal.SIGINT), proc, "the interrupt")
        open(release, "w").close()
        return self.finish(proc, reader, output)

    def test_a_first_interrupt_lets_the_restore_finish(self):
        status, text = self.interrupted_restore(1)
        self.assertEqual(status, 4, text)
        self.assertIn("interrupted: finishing the restore", text)
        self.assert_files_as_before()
        self.assertEqual(self.temp_files(), [])

    def test_a_second_interrupt_stops_the_restore_and_keeps_the_period(self):
        status, text = self.interrupted_restore(2)
        self.assertEqual(status, 200, text)
        self.assertIn("the restore was stopped", text)
        self.assertIn("'brightkeep rollback %s' finishes it" % self.temp, text)
        self.assertEqual(self.read("a.txt"), b"changed")
        self.wait_until_not_live()
        self.assertEqual(run("rollback", self.temp).returncode, 0)
        self.assert_files_as_before()


class NameTests(Scratch):
    FILES = {"plain.txt": b"plain", "bad\udcff.txt": b"not UTF-8", "ctl\x01.txt": b"control"}

    def test_names_that_are_not_utf8_are_made_safe_and_put_back(self):
        self.killed_period()
        [period] = self.assess_json()["unfinished"]
        self.assertEqual(sorted(period["archives"][0]["files"]), sorted(self.path(n) for n in self.FILES))
        result = run("rollback", self.temp, "--files")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_files_as_before()
        # Printed, each name stays on its line and steers no terminal; JSON above keeps the bytes.
        for name, shown in (("plain.txt", "plain.txt"), ("bad\udcff.txt", "bad%FF.txt"), ("ctl\x01.txt", "ctl%01.txt")):
            self.assertIn("restored: " + os.path.join(os.path.dirname(self.path(name)), shown) + "\n", result.stdout)
        tree = os.path.join(self.root, "data")
        result = run("protect", "--temp", self.temp, "--backup", self.backup, "--replace", "--tree", tree, "--", "sh",
                     "-c", 'for f in "$0"/*; do printf x > "$f"; done; exit 5', tree)
        self.assertEqual(result.returncode, 5, result.stderr)
        self.assert_files_as_before()
        self.killed_period()  # a name that cannot come back is told on one line too, in the failure's summary
        os.remove(self.path("ctl\x01.txt"))
        os.mkdir(self.path("ctl\x01.txt"))
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertNotIn("\x01", result.stdout + result.stderr)
        self.assertIn("could not be restored: " + self.path("ctl%01.txt"), result.stderr)


class MessageTests(Scratch):
    def test_a_file_that_cannot_be_made_safe_is_told_with_what_to_do(self):
        cases = [
            ("sub", "a folder, not a file: it cannot be made safe as one (30001): %s", "give it with --tree %s"),
            ("none", "no such file to make safe (30001): %s", "give its folder with --tree"),
        ]
        for name, words, advice in cases:
            result = self.protect("true", files=[name])
            self.assertEqual(result.returncode, 125, result.stderr)
            self.assertIn("brightkeep: " + (words % self.path(name)) + "\n", result.stderr)
            self.assertIn(advice.replace("%s", self.path(name)), result.stderr)


class ShortOutputTests(Scratch):
    FILES = dict(Scratch.FILES, **{"tree/%03d.txt" % i: b"%d" % i for i in range(50)})

    def test_periods_are_summarised_and_listed_whole_only_when_asked(self):
        self.assertEqual(self.protect("true", "--keep-log").returncode, 0)
        [completed] = glob.glob(os.path.join(self.temp, "Safe *.xml"))
        tree = self.path("tree")
        result = run("protect", "--temp", self.temp, "--backup", self.backup, "--replace", "--tree", tree, "--", "sh",
                     "-c", "printf x > '%s/000.txt'; rm '%s/001.txt'; touch '%s/new'; kill -9 $PPID" % (tree, tree, tree))
        self.assertEqual(result.returncode, -signal.SIGKILL)
        self.wait_until_not_live()
        short = run("assess", self.temp).stdout
        self.assertIn("  trees: %s\n  files: 50; changed: 1, created: 1, removed: 1\n" % tree, short)
        self.assertNotIn(self.path("tree/002.txt"), short)
        self.assertIn("Completed (its period ended; nothing to roll back; 'rollback --delete-logs' removes it): "
                      + completed, short)
        self.assertIn("1 unfinished period in", short)
        self.assertIn("    " + self.path("tree/002.txt") + "\n", run("assess", self.temp, "--files").stdout)
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn(self.path("tree/002.txt"), result.stdout)
        self.assertIn("  2 restored, 48 unchanged, 1 removed\n", result.stdout)
        self.assertIn("Kept completed log: " + completed, result.stdout)
        self.assertTrue(os.path.exists(completed))
        self.assert_files_as_before()
        self.assertEqual(run("rollback", self.temp, "--delete-logs").returncode, 0)
        self.assertEqual(self.temp_files(), [])


if __name__ == "__main__":
    cli_support.main()
