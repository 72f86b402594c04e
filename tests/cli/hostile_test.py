#!/usr/bin/env python3
"""The command in a temporary folder that others can write, and with many
periods at once: planted links, pipes, logs and archives, and ten processes
started together on one folder, some of them killed.

    hostile_test.py --brightkeep PATH [unittest arguments, e.g. ManyPeriodsTests]
"""

import fcntl
import glob
import json
import os
import pwd
import shutil
import signal
import socket
import stat
import subprocess
import time
import unittest
import zipfile
from datetime import datetime, timedelta

import cli_support
from cli_support import Scratch, run

OTHER_USER = 12345  # a user id nobody on the test machine has
AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
NOBODY = pwd.getpwnam("nobody").pw_uid
LOG_BOUND = 384 << 20  # the largest rollback log read (docs/reliability.md)


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
            # A killed run leaves the empty file that held its backup's name.
            held = os.path.exists(backup) and os.path.getsize(backup) == 0
            self.assertEqual(os.path.exists(backup), role != "fail", backup)
            self.assertEqual(held, role == "kill", backup)
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
        self.assertEqual(reasons, {log["log"]: "Not a regular file"})
        self.assertEqual(sorted(report["not_files"]), sorted([os.path.join(self.temp, "Safe pipe.xml"), archive]))
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
        if os.path.exists(self.marker):  # left by the run before: wait for this run's change
            os.remove(self.marker)
        script = ('printf v2 > "$1"; touch "%s"; while [ ! -e "%s" ]; do sleep 0.05; done'
                  % (self.marker, self.release))
        proc = subprocess.Popen([cli_support.BRIGHTKEEP, "protect", "--temp", self.temp, "--backup", self.backup,
                                 "--replace", self.path("a.txt"), "--", "sh", "-c", script, "sh", self.path("a.txt")],
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
        self.assertEqual(result.returncode, 125)
        self.assertIn("Not trusted: in a folder another user can write (70): " + self.temp, result.stderr)
        self.assertIn("--trust-folder takes them as trusted", result.stderr)
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



@unittest.skipUnless(os.geteuid() == 0, "needs root to act as another user")
class AttackerInputsTests(Scratch):
    """Backups, names and entries another user placed where root's commands
    look: none of them is trusted, followed, removed or read without bound."""

    def succeeded_change(self, backup):
        result = self.protect("printf changed > data/a.txt", backup=backup)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_revert_refuses_a_backup_another_user_could_have_written(self):
        shared = os.path.join(self.root, "shared")
        os.mkdir(shared)
        os.chmod(shared, 0o777)
        own = os.path.join(self.root, "own.zip")
        self.succeeded_change(own)
        os.chown(self.root, 0, 0)
        cases = {  # how the backup is placed: what the refusal says
            "owned by nobody": ("nobody.zip", lambda p: os.chown(p, NOBODY, -1), "Not trusted: owned by another user"),
            "group-writable": ("group.zip", lambda p: os.chmod(p, 0o660), "Not trusted: writable by group or others"),
            "in a shared folder": ("shared/in.zip", None, "Not trusted: in a folder another user can write"),
            "a link": ("link.zip", "link", "Not a regular file"),
        }
        for case, (name, place, refusal) in cases.items():
            with self.subTest(case):
                backup = os.path.join(self.root, name)
                if place == "link":
                    os.symlink(own, backup)
                else:
                    shutil.copy(own, backup)
                    if place:
                        place(backup)
                result = run("revert", backup, "--temp", self.temp, "--backup", os.path.join(self.root, "r.zip"))
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(refusal, result.stderr)
                self.assertEqual(self.read("a.txt"), b"changed")
                self.assertEqual(self.temp_files(), [])
        result = run("revert", os.path.join(self.root, "nobody.zip"), "--temp", self.temp, "--trust-folder",
                     "--backup", os.path.join(self.root, "r.zip"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_files_as_before()

    @unittest.skipUnless(shutil.which("strace"), "needs strace to see the unpack folder made")
    def test_the_unpack_folder_is_private_under_umask_000_and_goes(self):
        backup = os.path.join(self.root, "own.zip")
        self.succeeded_change(backup)
        trace = os.path.join(self.root, "trace")
        result = subprocess.run(["strace", "-f", "-qq", "-e", "trace=mkdir,mkdirat", "-o", trace,
                                 cli_support.BRIGHTKEEP, "revert", backup, "--temp", self.temp, "--backup",
                                 os.path.join(self.root, "r.zip")], preexec_fn=lambda: os.umask(0),
                                capture_output=True, text=True, timeout=120,
                                env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))  # no leak check under ptrace
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(trace) as f:
            made = [line for line in f if "revert-" in line]
        self.assertEqual(len(made), 1, made)
        self.assertRegex(made[0], r", 0700\) = 0")
        self.assertEqual([n for n in self.temp_files() if n.startswith("revert-")], [])

    def test_keep_removes_only_the_callers_own_older_backups(self):
        bk = os.path.join(self.root, "bk")
        os.mkdir(bk)
        os.chmod(bk, 0o1777)  # shared, as backup folders others write to are: sticky
        real = [os.path.join(bk, "app-%d0101-000000.zip" % y) for y in (2020, 2021)]
        for path in real:
            self.succeeded_change(path)
        renamed = os.path.join(bk, "app-20190101-000000.zip")  # a real backup of another name
        self.succeeded_change(os.path.join(bk, "db-20190101-000000.zip"))
        os.rename(os.path.join(bk, "db-20190101-000000.zip"), renamed)
        planted = {"app-20990101-000000.zip": real[0], "app-20990101-000001.zip": real[1]}
        for name, copy_of in planted.items():  # future stamps, owned by nobody
            shutil.copy(copy_of, os.path.join(bk, name))
            os.chown(os.path.join(bk, name), NOBODY, -1)
        os.symlink(real[0], os.path.join(bk, "app-20180101-000000.zip"))
        with open(os.path.join(bk, "app-20170101-000000.zip"), "w") as f:
            f.write("not a backup\n")
        shutil.copy(real[0], os.path.join(bk, "app-20160101-000000.zip"))
        os.chown(os.path.join(bk, "app-20160101-000000.zip"), NOBODY, -1)
        before = set(os.listdir(bk))

        result = self.protect("true", "--keep", "2", backup=os.path.join(bk, "app-%t.zip"))
        self.assertEqual(result.returncode, 0, result.stderr)
        [new] = set(os.listdir(bk)) - before
        self.assertEqual(set(os.listdir(bk)), before - {os.path.basename(real[0])} | {new})
        result = self.protect("true", "--keep", "1", backup=os.path.join(bk, "app-%t.zip"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(set(os.listdir(bk)) & before, before - {os.path.basename(p) for p in real})
        self.assertEqual(len(set(os.listdir(bk)) - before), 1)

    def test_pipes_and_sockets_named_as_period_files_are_noted_not_failures(self):
        os.makedirs(self.temp)
        names = ["Safe 2030-01-01 00.00.00.xml", "Safe 2030-01-01 00.00.01-1.zip", "Safe\r\x1b[1A\x1b[2Kok\n.xml"]
        for name in names:
            os.mkfifo(os.path.join(self.temp, name))
        sock = socket.socket(socket.AF_UNIX)
        self.addCleanup(sock.close)
        sock.bind(os.path.join(self.temp, "Safe 2030-01-01 00.00.02.lock"))
        names.append("Safe 2030-01-01 00.00.02.lock")
        self.killed_period()
        for trust in ([], ["--trust-folder"]):
            report = json.loads(run("assess", self.temp, "--json", *trust).stdout)
            self.assertEqual(sorted(report["not_files"]), sorted(os.path.join(self.temp, n) for n in names))
            self.assertEqual((report["skipped"], report["leftovers"]), ([], []))
        result = run("rollback", self.temp, "--trust-folder")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("not a file: %s/Safe%%0D%%1B[1A%%1B[2Kok%%0A.xml\n" % self.temp, result.stderr)
        self.assert_files_as_before()
        self.assertEqual(sorted(self.temp_files()), sorted(names))

    def test_the_hidden_folder_and_files_named_as_a_periods_must_be_the_callers_own(self):
        self.killed_period()
        hidden, elsewhere = os.path.join(self.temp, ".brightkeep"), os.path.join(self.root, "elsewhere")
        os.rename(hidden, elsewhere)
        before = sorted(os.listdir(elsewhere))
        os.symlink(elsewhere, hidden)  # a link standing as the hidden folder is never followed
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn(hidden, result.stderr)
        self.assertEqual(sorted(os.listdir(elsewhere)), before)
        os.remove(hidden)
        os.rename(elsewhere, hidden)
        foreign = ["Safeguard-2.zip", "Safe notes.record", "Safe 2030-01-01 00.00.00-1.zip"]
        for name in foreign:  # another user's files, named like a period's or nearly
            with open(os.path.join(self.temp, name), "w") as f:
                f.write("theirs\n")
            os.chown(os.path.join(self.temp, name), NOBODY, -1)
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_files_as_before()
        self.assertEqual(self.temp_files(), sorted(foreign))

    def test_a_backup_folder_another_user_could_move_is_refused_before_the_command(self):
        share = os.path.join(self.root, "share")
        os.mkdir(share)
        os.chmod(share, 0o1777)
        theirs = os.path.join(share, "nobody")  # nobody may rename it and put a link in its place
        os.mkdir(theirs)
        os.chown(theirs, NOBODY, -1)
        mine = os.path.join(theirs, "mine")  # root's, but nobody may move it away
        os.mkdir(mine)
        os.symlink(mine, os.path.join(self.root, "link"))
        for folder in (theirs, mine, os.path.join(self.root, "link")):
            with self.subTest(folder=folder):
                result = self.protect("touch ran", backup=os.path.join(folder, "b.zip"))
                self.assertEqual(result.returncode, 125, result.stderr)
                self.assertIn("Not trusted: in a folder another user can write", result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.root, "ran")))
                self.assertEqual(os.listdir(mine), [])

    def test_an_oversized_log_is_refused_with_its_size_and_the_bound(self):
        backup = os.path.join(self.root, "bomb.zip")
        size = LOG_BOUND + 2
        with zipfile.ZipFile(backup, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
            with z.open("Safe 2020-01-01 00.00.00.xml", "w", force_zip64=True) as entry:
                entry.write(b"\xff\xfe")
                chunk = b" \x00" * (1 << 20)
                for _ in range(LOG_BOUND // len(chunk)):
                    entry.write(chunk)
        self.assertLess(os.path.getsize(backup), 4 << 20)
        message = "too large: %d bytes, more than the bound of %d bytes" % (size, LOG_BOUND)
        for args in (["inspect", backup], ["revert", backup, "--temp", self.temp, "--dry-run"]):
            with self.subTest(args[0]):
                result = run(*args)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(message, result.stderr)
                self.assertIn(backup + ":Safe 2020-01-01 00.00.00.xml", result.stderr)
        os.makedirs(self.temp, exist_ok=True)
        log = os.path.join(self.temp, "Safe 2020-01-01 00.00.00.xml")
        with open(log, "wb") as f:
            f.truncate(size)
        [skipped] = self.assess_json()["skipped"]
        self.assertIn(message, skipped["error"]["description"])
        self.assertEqual(skipped["path"], log)

    def test_the_drive_archives_of_a_backup_are_bounded_together(self):
        # Each within its own bound (256 MiB at least), both over what the
        # whole backup may unpack to.
        backup = os.path.join(self.root, "two.zip")
        each = 200 << 20
        with zipfile.ZipFile(backup, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
            z.writestr("Safe 2020-01-01 00.00.00.xml", "\ufeff<RollbackLog/>".encode("utf-16-le"))
            for k in (1, 2):
                with z.open("Safe 2020-01-01 00.00.00-%d.zip" % k, "w") as entry:
                    for _ in range(each >> 20):
                        entry.write(bytes(1 << 20))
        os.makedirs(self.temp, exist_ok=True)
        result = run("revert", backup, "--temp", self.temp, "--dry-run")
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("Drive archive too large: %d bytes, more than the bound of %d bytes" % (each, (256 << 20) - each),
                      result.stderr)
        self.assertEqual(os.listdir(self.temp), [])


class LeftRunningTests(Scratch):
    """What a failed COMMAND leaves running holds its period: protect waits
    for it a bounded time, names it, ends it when told, and never lets the
    period's lock go meanwhile."""

    def start(self, script, *options, runs="sh"):
        """protect over a.txt with a COMMAND that changes it, starts `script`
        in the background and fails once that runs the program `runs`;
        returns it once protect says it waits."""
        proc = subprocess.Popen([cli_support.BRIGHTKEEP, "protect", "--temp", self.temp, "--backup", self.backup,
                                 *options, self.path("a.txt"), "--", "sh", "-c",
                                 'printf changed > "$1"; %s & p=$!; until grep -qx %s /proc/$p/comm; do sleep 0.01; '
                                 'done; echo $p > "$2"; exit 4' % (script, runs), "sh",
                                 self.path("a.txt"), os.path.join(self.root, "pid")],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.addCleanup(proc.wait)
        lines = []
        while not lines or "waiting up to" not in lines[-1]:
            lines.append(proc.stderr.readline())
            self.assertNotEqual(lines[-1], "", "".join(lines))
        with open(os.path.join(self.root, "pid")) as f:
            return proc, int(f.read())

    def test_the_lock_is_held_while_protect_waits(self):
        release = os.path.join(self.root, "release")
        proc, pid = self.start('while [ ! -e "%s" ]; do sleep 0.05; done' % release)
        report = self.assess_json()
        [live] = report["in_progress"]
        self.assertTrue(live["owner_running"])
        self.assertIn(pid, [p["pid"] for p in live["held_by"]])
        self.assertIn(proc.pid, [p["pid"] for p in live["held_by"]])
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 1)
        self.assertIn("Skipped, still in progress", result.stdout)
        self.assertEqual(self.read("a.txt"), b"changed")
        open(release, "w").close()
        self.assertEqual(proc.wait(timeout=60), 4, proc.stderr.read())
        self.assert_files_as_before()
        self.assertEqual(self.temp_files(), [])

    @unittest.skipUnless(os.geteuid() == 0, "needs root to act as another user")
    def test_a_sleeper_of_another_user_is_named_and_left_or_ended(self):
        sleeper = " ".join(AS_NOBODY) + " setsid sleep 300 </dev/null >/dev/null 2>&1"
        proc, pid = self.start(sleeper, "--wait", "1", runs="sleep")
        self.addCleanup(lambda: os.path.exists("/proc/%d" % pid) and os.kill(pid, signal.SIGKILL))
        errors = proc.stderr.read()
        self.assertEqual(proc.wait(timeout=60), 200, errors)
        self.assertIn("pid %d (nobody): sleep 300" % pid, errors)
        self.assertIn("the period stays unfinished", errors)
        self.assertEqual(self.read("a.txt"), b"changed")
        report = self.assess_json()
        [live] = report["in_progress"]
        self.assertFalse(live["owner_running"])
        self.assertEqual([(p["pid"], p["user"], p["command"]) for p in live["held_by"]], [(pid, "nobody", "sleep 300")])
        self.assertIn("held by pid %d (nobody): sleep 300" % pid, run("assess", self.temp).stdout)
        os.kill(pid, signal.SIGKILL)
        self.wait_until_not_live()
        self.assertEqual(run("rollback", self.temp).returncode, 0)
        self.assert_files_as_before()

        proc, pid = self.start("trap '' TERM; " + sleeper, "--wait", "0", "--kill", runs="sleep")
        errors = proc.stderr.read()
        self.assertEqual(proc.wait(timeout=60), 4, errors)
        self.assertIn("ending them", errors)
        self.assertFalse(os.path.exists("/proc/%d/fd" % pid) and os.listdir("/proc/%d/fd" % pid))
        self.assert_files_as_before()
        self.assertEqual(self.temp_files(), [])


if __name__ == "__main__":
    cli_support.main()
