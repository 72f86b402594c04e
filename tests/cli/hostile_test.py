#!/usr/bin/env python3
"""The command in a temporary folder that others can write, and with many
periods at once: planted links, pipes, logs and archives, and ten processes
started together on one folder, some of them killed.

    hostile_test.py --brightkeep PATH [unittest arguments, e.g. ManyPeriodsTests]
"""

import fcntl
import json
import os
import signal
import stat
import subprocess
import time
import unittest
import zipfile
from datetime import datetime, timedelta

import cli_support
from cli_support import Scratch, run

OTHER_USER = 12345  # a user id nobody on the test machine has


def stamps(seconds):
    """Period names for the next few seconds, as the command forms them."""
    now = datetime.now()
    return ["Safe " + (now + timedelta(seconds=s)).strftime("%Y-%m-%d %H.%M.%S") for s in range(seconds)]


class ManyPeriodsTests(Scratch):
    PERIODS = 10

    def test_periods_started_together_never_disturb_each_other(self):
        os.makedirs(self.temp)
        roles = ["succeed", "fail", "kill"] * 4
        roles = roles[:self.PERIODS]
        files, procs = {}, []
        for i in range(self.PERIODS):
            files[i] = {"p%d/%s" % (i, n): ("period %d file %s\n" % (i, n)).encode() * (i + 1) for n in "abc"}
            for name, data in files[i].items():
                self.write(name, data)
        started = time.monotonic()
        for i, role in enumerate(roles):
            marker = os.path.join(self.root, "changed-%d" % i)
            end = {"succeed": "exit 0", "fail": "exit 1", "kill": "exec sleep 60"}[role]
            script = 'for f in "$@"; do printf "changed %d" > "$f"; done; touch "%s"; %s' % (i, marker, end)
            paths = [self.path(n) for n in files[i]]
            procs.append(subprocess.Popen(
                [cli_support.BRIGHTKEEP, "protect", "--temp", self.temp, "--backup",
                 os.path.join(self.root, "backup-%d.zip" % i), *paths, "--", "sh", "-c", script, "sh", *paths],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True))
        self.assertLess(time.monotonic() - started, 1.0, "the periods did not start within one second")

        for i, (role, proc) in enumerate(zip(roles, procs)):
            if role == "kill":
                deadline = time.monotonic() + 60
                while not os.path.exists(os.path.join(self.root, "changed-%d" % i)):
                    self.assertIsNone(proc.poll(), "period %d ended before its change was done" % i)
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.02)
                os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(timeout=60)
            expected = {"succeed": 0, "fail": 1, "kill": -signal.SIGKILL}[role]
            errors = proc.stderr.read().decode()
            self.assertEqual(proc.returncode, expected, "period %d (%s): %s" % (i, role, errors))
            self.assertNotIn("(", errors, "period %d (%s)" % (i, role))  # no error number

        report = self.assess_json()
        self.assertEqual(report["skipped"], [])
        logs = [log["log"] for log in report["unfinished"]]
        self.assertEqual(len(set(logs)), roles.count("kill"), json.dumps(report["unfinished"], indent=1))
        archives = [a["archive"] for log in report["unfinished"] for a in log["archives"]]
        self.assertEqual(len(set(archives)), roles.count("kill"))
        result = run("rollback", self.temp, "--delete-logs")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.temp_files(), [])

        for i, role in enumerate(roles):
            for name, data in files[i].items():
                expected = b"changed %d" % i if role == "succeed" else data
                self.assertEqual(self.read(name), expected, "period %d (%s) %s" % (i, role, name))
            backup = os.path.join(self.root, "backup-%d.zip" % i)
            self.assertEqual(os.path.exists(backup), role == "succeed", backup)
            if role == "succeed":
                with zipfile.ZipFile(backup) as z:
                    self.assertIsNone(z.testzip())


class HostileFolderTests(Scratch):
    def setUp(self):
        super().setUp()
        os.makedirs(self.temp)
        self.victim = os.path.join(self.root, "victim")
        with open(self.victim, "wb") as f:
            f.write(b"precious")
        os.chmod(self.victim, 0o600)

    def assert_victim_untouched(self):
        with open(self.victim, "rb") as f:
            self.assertEqual(f.read(), b"precious")

    def test_links_planted_at_every_name_of_a_period_are_never_followed(self):
        for stem in stamps(4):
            for suffix in (".xml", "-1.zip", "-2.zip"):
                os.symlink(self.victim, os.path.join(self.temp, stem + suffix))
        os.symlink(self.victim, os.path.join(self.temp, "&&&VELMAR Drive.txt"))
        planted = set(self.temp_files())

        result = self.protect('for f in "$@"; do printf changed > "$f"; done; exit 3')
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assert_files_as_before()
        result = self.protect("exit 0", "--keep-log")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_victim_untouched()
        kept = [n for n in self.temp_files() if n not in planted]
        self.assertEqual(len(kept), 1, kept)
        self.assertTrue(kept[0].endswith(".xml") and kept[0][:-4] not in stamps(0), kept)
        for name in planted:
            self.assertTrue(os.path.islink(os.path.join(self.temp, name)), name)

    def test_pipes_named_as_logs_or_archives_are_refused_at_once(self):
        os.mkfifo(os.path.join(self.temp, "Safe pipe.xml"))
        self.killed_period()
        log = self.assess_json()["unfinished"][0]
        archive = log["archives"][0]["archive"]
        os.remove(archive)
        os.mkfifo(archive)

        report = self.assess_json()
        reasons = {s["path"]: s["error"]["description"] for s in report["skipped"]}
        self.assertEqual(reasons, {os.path.join(self.temp, "Safe pipe.xml"): "Not a regular file",
                                   log["log"]: "Not a regular file"})
        result = run("rollback", self.temp, "--trust-folder")
        self.assertEqual(result.returncode, 1)
        self.assertIn("brightkeep: Not a regular file (75): " + archive, result.stderr)
        self.assertTrue(stat.S_ISFIFO(os.stat(archive).st_mode))

    def test_what_another_user_could_have_planted_is_skipped_with_the_reason(self):
        self.killed_period()
        log = self.assess_json()["unfinished"][0]
        archive = log["archives"][0]["archive"]

        def skipped():
            report = self.assess_json()
            self.assertEqual(report["unfinished"], [])
            return [(s["path"], s["error"]["number"], s["error"]["description"]) for s in report["skipped"]]

        os.chmod(log["log"], 0o620)
        self.assertEqual(skipped(), [(log["log"], 70, "Not trusted: writable by group or others")])
        os.chmod(log["log"], 0o600)
        os.chmod(archive, 0o606)
        self.assertEqual(skipped(), [(log["log"], 70, "Not trusted: writable by group or others")])
        os.chmod(archive, 0o600)
        os.chmod(self.temp, 0o775)  # its group is the caller's own
        self.assertEqual(len(self.assess_json()["unfinished"]), 1)
        os.chmod(self.temp, 0o777)
        self.assertEqual(skipped(), [(log["log"], 70, "Not trusted: in a folder another user can write")])
        os.chmod(self.temp, 0o1777)
        self.assertEqual(len(self.assess_json()["unfinished"]), 1)
        if os.geteuid() == 0:
            os.chmod(self.temp, 0o770)
            os.chown(self.temp, -1, OTHER_USER)
            self.assertEqual(skipped(), [(log["log"], 70, "Not trusted: in a folder another user can write")])
            os.chmod(self.temp, 0o700)
            os.chown(archive, OTHER_USER, -1)
            self.assertEqual(skipped(), [(log["log"], 70, "Not trusted: owned by another user")])

        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(self.read("a.txt"), b"changed")
        result = run("rollback", self.temp, "--trust-folder")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_files_as_before()

    def test_an_archive_outside_the_logs_folder_is_left_alone(self):
        self.killed_period()
        log = self.assess_json()["unfinished"][0]
        archive = log["archives"][0]["archive"]
        elsewhere = os.path.join(self.root, "elsewhere.zip")
        os.rename(archive, elsewhere)
        with open(log["log"], "rb") as f:
            text = f.read().decode("utf-16")
        with open(log["log"], "wb") as f:
            f.write(text.replace(archive, elsewhere).encode("utf-16"))
        os.chmod(log["log"], 0o600)

        report = self.assess_json()
        self.assertEqual([a["archive"] for a in report["unfinished"][0]["archives"]], [elsewhere])
        result = run("rollback", self.temp, "--trust-folder")
        self.assertEqual(result.returncode, 1)
        self.assertIn("brightkeep: The archive lies outside the log's folder (30200): " + elsewhere, result.stderr)
        self.assertTrue(os.path.exists(elsewhere))
        self.assertEqual(self.read("a.txt"), b"changed")


class PeriodOwnerTests(Scratch):
    """A period belongs to its owner while it is live; what it leaves behind
    is found by its name wherever its folder went."""

    def start_waiting_change(self):
        """protect with a COMMAND that changes a.txt, then waits for the test."""
        self.marker, self.release = os.path.join(self.root, "changed"), os.path.join(self.root, "release")
        script = ('printf v2 > "$1"; touch "%s"; while [ ! -e "%s" ]; do sleep 0.05; done'
                  % (self.marker, self.release))
        proc = subprocess.Popen([cli_support.BRIGHTKEEP, "protect", "--temp", self.temp, "--backup", self.backup,
                                 self.path("a.txt"), "--", "sh", "-c", script, "sh", self.path("a.txt")],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        deadline = time.monotonic() + 60
        while not os.path.exists(self.marker):
            self.assertIsNone(proc.poll(), "protect ended before the change")
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.02)
        return proc

    def test_a_live_period_is_never_touched_and_a_killed_protect_ends_its_command(self):
        proc = self.start_waiting_change()
        report = self.assess_json()
        self.assertEqual((len(report["in_progress"]), report["unfinished"]), (1, []))
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 1)
        self.assertIn("Skipped, still in progress: " + report["in_progress"][0]["log"], result.stdout)
        self.assertEqual(self.read("a.txt"), b"v2")
        open(self.release, "w").close()
        self.assertEqual(proc.wait(timeout=60), 0)
        self.assertTrue(os.path.exists(self.backup))
        self.assertEqual(self.read("a.txt"), b"v2")

        os.remove(self.release)
        self.write("a.txt", b"v3")
        proc = self.start_waiting_change()
        proc.kill()
        proc.wait()
        self.wait_until_not_live()  # COMMAND was ended with protect: it never releases itself
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.read("a.txt"), b"v3")
        self.assertEqual(self.temp_files(), [])

    def test_protect_refuses_a_temporary_folder_others_can_write(self):
        os.makedirs(self.temp)
        os.chmod(self.temp, 0o777)
        result = self.protect("printf changed > '%s'" % self.path("a.txt"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("Not trusted: in a folder another user can write (70): " + self.temp, result.stderr)
        self.assert_files_as_before()
        result = self.protect("exit 0", "--trust-folder")
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_planted_names_never_fail_a_successful_run(self):
        os.makedirs(self.temp)
        for stem in stamps(4):
            os.mkdir(os.path.join(self.temp, stem + "-backup.tmp"))
        result = self.protect("printf changed > '%s'" % self.path("a.txt"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.read("a.txt"), b"changed")
        self.assertTrue(os.path.exists(self.backup))

    def test_a_claim_in_progress_is_never_taken_for_a_leftover(self):
        os.makedirs(self.temp)
        stem = os.path.join(self.temp, "Safe 2031-01-01 00.00.00")
        claim = stem + ".xml.rad12345.tmp"
        for path in (stem + ".lock", claim):
            open(path, "w").close()
        with open(stem + ".lock", "r+") as lock:
            fcntl.lockf(lock, fcntl.LOCK_SH)  # as the period that claims the name holds it
            self.assertEqual(self.assess_json()["leftovers"], [])
            self.assertEqual(run("rollback", self.temp).returncode, 0)
            self.assertTrue(os.path.exists(claim))
        self.assertEqual(sorted(self.assess_json()["leftovers"]), [stem + ".lock", claim])
        self.assertEqual(run("rollback", self.temp).returncode, 0)
        self.assertEqual(self.temp_files(), [])

    def test_a_moved_or_linked_folder_rolls_back(self):
        self.killed_period()
        moved, link = self.temp + "-moved", self.temp + "-link"
        os.rename(self.temp, moved)
        os.symlink(moved, link)
        result = run("rollback", link)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_files_as_before()
        self.assertEqual(os.listdir(moved), [])

    def test_a_commit_cut_after_its_mark_leaves_leftovers_that_rollback_removes(self):
        result = self.protect("exit 0", "--keep-log")
        self.assertEqual(result.returncode, 0, result.stderr)
        [log] = self.temp_files()
        stem = os.path.join(self.temp, log[:-len(".xml")])
        cut = [stem + "-1.zip", stem + "-backup.rad00001.tmp"]
        for path in cut:
            open(path, "w").close()
        self.assertEqual(sorted(self.assess_json()["leftovers"]), cut)
        self.assertEqual(run("rollback", self.temp).returncode, 0)
        self.assertEqual(self.temp_files(), [log])


if __name__ == "__main__":
    cli_support.main()
