#!/usr/bin/env python3
"""The brightkeep command as a user meets it: exit statuses, messages on
standard error, files on disk, and JSON read with Python's json module.

    cli_test.py --brightkeep PATH [unittest arguments, e.g. ProtectTests]
"""

import datetime
import fcntl
import glob
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

import cli_support
from cli_support import Scratch, run

ERROR_LINE = re.compile(r"^brightkeep: .+ \((\d+)\)(: .+?)?(?: \[system error (\d+)\])?$", re.M)


class GeneralTests(unittest.TestCase):
    def test_version_and_help(self):
        result = run("--version")
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout, r"^brightkeep \d+\.\d+\.\d+\n$")
        result = run("--help")
        self.assertEqual(result.returncode, 0)
        for command in ("protect", "assess", "rollback", "inspect"):
            self.assertIn(command, result.stdout)
            sub = run(command, "--help")
            self.assertEqual(sub.returncode, 0, command)
            self.assertTrue(sub.stdout.startswith("Usage: brightkeep " + command), sub.stdout)
            self.assertEqual(sub.stderr, "")
            self.assertEqual(run("help", command).stdout, sub.stdout)

    def test_usage_errors_exit_2_with_a_pointer_to_help(self):
        cases = [
            ([], "no command given", "brightkeep --help"),
            (["frobnicate"], "unknown command 'frobnicate'", "brightkeep --help"),
            (["assess", "a", "b"], "assess takes one folder at most", "brightkeep assess --help"),
            (["rollback", "a", "b"], "rollback takes one folder at most", "brightkeep rollback --help"),
            (["assess", "--jsn", "x"], "unknown option '--jsn'", "brightkeep assess --help"),
            (["rollback", "x", "--dry-run", "--dry-run"], "option '--dry-run' given twice", "brightkeep rollback --help"),
            (["inspect", "--json=yes", "x"], "option '--json' takes no value", "brightkeep inspect --help"),
        ]
        # protect's own statuses stay apart from COMMAND's: its usage errors are 125, as env(1)'s.
        protect_cases = [
            (["protect", "--temp", "t", "--backup", "b.zip", "f"], "protect needs '--' followed by"),
            (["protect", "--temp", "t", "--backup"], "option '--backup' needs a value"),
            (["protect", "--temp", "t", "--backup", "b.zip", "--", "true"], "protect needs files to protect"),
            (["protect", "--frobnicate", "f", "--", "true"], "unknown option '--frobnicate'"),
        ]
        cases += [(args, message, "brightkeep protect --help") for args, message in protect_cases]
        for args, message, pointer in cases:
            result = run(*args)
            self.assertEqual(result.returncode, 125 if args[:1] == ["protect"] else 2, args)
            self.assertEqual(result.stdout, "", args)
            self.assertIn("brightkeep: " + message, result.stderr, args)
            self.assertIn("Try '%s'." % pointer, result.stderr, args)


class ProtectTests(Scratch):
    def test_success_ends_safe_mode_with_the_backup_archive(self):
        result = self.protect("printf new > data/a.txt; echo out; echo err >&2")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "out\n")
        self.assertEqual(result.stderr, "err\n")
        self.assertEqual(self.read("a.txt"), b"new")
        self.assertEqual(self.temp_files(), [])
        with zipfile.ZipFile(self.backup) as backup:
            names = sorted(backup.namelist())
            # The drive archive, the period's record and its log.
            self.assertEqual(len(names), 3, names)
            self.assertRegex(names[0], r"^Safe \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d-1\.zip$")
            self.assertEqual(names[1:], [names[0][:-len("-1.zip")] + ext for ext in (".record", ".xml")])
            self.assertIsNone(backup.testzip())

    def test_keep_log_leaves_a_completed_log(self):
        result = self.protect("true", "--keep-log")
        self.assertEqual(result.returncode, 0, result.stderr)
        logs = self.temp_files()
        self.assertEqual(len(logs), 1)
        report = json.loads(run("inspect", "--json", os.path.join(self.temp, logs[0])).stdout)
        self.assertTrue(report["completed"])
        self.assertEqual(self.assess_json()["unfinished"], [])

    def test_failure_or_a_signal_restores_every_file_and_passes_the_status_on(self):
        for script, status in (("printf x > data/a.txt; rm data/sub/b.bin; exit 3", 3),
                               ("printf x > data/c.txt; kill -TERM $$", 128 + 15),
                               ("printf x > data/a.txt; kill -KILL $$", 128 + 9)):
            result = self.protect(script)
            self.assertEqual(result.returncode, status, script)
            self.assertIn("brightkeep: the command failed with status %d" % status, result.stderr)
            self.assert_files_as_before()
            self.assertEqual(self.temp_files(), [], script)
            self.assertFalse(os.path.exists(self.backup))

    def test_sparse_files_come_back_sparse_in_place_or_anew(self):
        size = 256 << 20
        for name in ("kept.img", "gone.img"):
            with open(self.path(name), "wb") as f:
                f.truncate(size)
                f.seek(size // 2)
                f.write(b"mark")
        result = self.protect("printf x > data/kept.img; rm data/gone.img; exit 1",
                              files=["kept.img", "gone.img"])
        self.assertEqual(result.returncode, 1, result.stderr)
        for name in ("kept.img", "gone.img"):
            st = os.stat(self.path(name))
            self.assertEqual(st.st_size, size, name)
            with open(self.path(name), "rb") as f:
                f.seek(size // 2)
                self.assertEqual(f.read(4), b"mark", name)
            self.assertLess(st.st_blocks * 512, size // 16, name + " lost its holes")

    def test_a_command_that_cannot_be_started(self):
        result = run("protect", "--temp", self.temp, "--backup", self.backup, self.path("a.txt"),
                     "--", "no-such-program-here")
        self.assertEqual(result.returncode, 127)
        self.assertRegex(result.stderr, r"brightkeep: no such command \(53\): no-such-program-here")
        self.assertEqual(self.temp_files(), [])

    def test_a_file_that_cannot_be_made_safe_stops_everything_before_the_command(self):
        marker = os.path.join(self.root, "ran")
        result = self.protect("touch '%s'" % marker, files=["a.txt", "missing.txt"])
        self.assertEqual(result.returncode, 125)
        match = ERROR_LINE.search(result.stderr)
        self.assertIsNotNone(match, result.stderr)
        self.assertEqual(match.group(1), "30001")
        self.assertEqual(match.group(2), ": " + self.path("missing.txt"))
        self.assertFalse(os.path.exists(marker))
        self.assertEqual(self.temp_files(), [])
        self.assert_files_as_before()

    def test_a_backup_that_cannot_be_written_is_refused_before_anything_runs(self):
        marker = os.path.join(self.root, "ran")
        self.backup = os.path.join(self.root, "no such folder", "out.zip")
        result = self.protect("touch '%s'" % marker)
        self.assertEqual(result.returncode, 125)
        self.assertEqual(ERROR_LINE.search(result.stderr).group(1), "76", result.stderr)
        self.assertIn("nothing was run", result.stderr)
        self.assertFalse(os.path.exists(marker))
        self.assertEqual(self.temp_files(), [])

    def test_a_file_another_program_is_writing_is_refused(self):
        with open(self.path("c.txt"), "r+b") as held:
            fcntl.lockf(held, fcntl.LOCK_EX)
            result = self.protect("printf x > data/a.txt", files=["a.txt", "c.txt"])
        self.assertEqual(result.returncode, 125)
        self.assertEqual(ERROR_LINE.search(result.stderr).group(1), "30000", result.stderr)
        self.assert_files_as_before()
        self.assertEqual(self.temp_files(), [])

    def test_files_from_a_list_or_standard_input(self):
        listing = os.path.join(self.root, "list.txt")
        with open(listing, "w") as f:
            f.write("data/a.txt\r\n\r\ndata/sub/b.bin\n")
        result = self.protect("printf x > data/a.txt; printf x > data/sub/b.bin; exit 1", "--files-from", listing,
                              files=[])
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assert_files_as_before()
        result = run("protect", "--temp", self.temp, "--backup", self.backup, "--replace", "--files-from", "-",
                     "--keep-log",
                     "--", "true", stdin=self.path("a.txt") + "\n", cwd=self.root)
        self.assertEqual(result.returncode, 0, result.stderr)
        report = json.loads(run("inspect", "--json", glob.glob(os.path.join(self.temp, "Safe*.xml"))[0]).stdout)
        self.assertEqual(report["archives"][0]["files"], [self.path("a.txt")])
        # A pipe, with names ending in NUL as find -print0 writes them.
        result = subprocess.run(["bash", "-c", 'exec "$0" protect --temp "$1" --backup "$2" --replace --null --files-from '
                                 '<(printf "%s\\0" "$3" "$4") -- sh -c "printf x > \\"\\$0\\"; exit 1" "$4"',
                                 cli_support.BRIGHTKEEP, self.temp, self.backup, self.path("a.txt"),
                                 self.path("sub/b.bin")], capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assert_files_as_before()

    def test_a_restore_that_did_not_all_come_back_exits_200(self):
        script = 'printf changed > "$0"; rm -f "$1"; mkdir "$1"; exit 4'
        result = run("protect", "--temp", self.temp, "--backup", self.backup, self.path("a.txt"),
                     self.path("c.txt"), "--", "sh", "-c", script, self.path("a.txt"), self.path("c.txt"))
        self.assertEqual(result.returncode, 200, result.stderr)
        self.assertEqual(self.read("a.txt"), self.FILES["a.txt"])

    def test_a_temporary_folder_in_memory_is_warned_about(self):
        def in_memory(folder):
            kind = subprocess.run(["stat", "-f", "-c", "%T", folder], capture_output=True, text=True).stdout
            return kind.strip() in ("tmpfs", "ramfs")
        if not os.path.isdir("/dev/shm") or not in_memory("/dev/shm"):
            self.skipTest("no tmpfs at /dev/shm")
        shm = tempfile.mkdtemp(dir="/dev/shm", prefix="bk-cli-")
        self.addCleanup(shutil.rmtree, shm, True)
        # A folder not made yet is judged by its nearest existing parent.
        for temp, warned in ((os.path.join(shm, "not", "yet"), True), (self.temp, in_memory(self.root))):
            result = run("protect", "--temp", temp, "--backup", self.backup, "--replace", self.path("a.txt"), "--",
                         "true")
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual("does not survive a reboot" in result.stderr, warned, (temp, result.stderr))


class AssessTests(Scratch):
    def test_a_killed_period_is_listed_with_its_archives_and_files(self):
        self.killed_period()
        with open(os.path.join(self.temp, "Safe broken.xml"), "w") as f:
            f.write("<VELMARFileRollbackLog")
        report = self.assess_json()
        self.assertEqual(report["format"], 3)
        self.assertEqual(report["folder"], self.temp)
        self.assertEqual(len(report["unfinished"]), 1)
        log = report["unfinished"][0]
        self.assertTrue(os.path.isfile(log["log"]))
        self.assertFalse(log["completed"])
        started = datetime.datetime.fromisoformat(log["start_date"])
        self.assertLess(abs((datetime.datetime.now(datetime.timezone.utc) - started).total_seconds()), 600)
        self.assertIsInstance(log["start_date_serial"], float)
        self.assertEqual(log["backup_destination"], self.backup)
        self.assertEqual(len(log["archives"]), 1)
        archive = log["archives"][0]
        self.assertEqual((archive["zip_id"], archive["drive"]), (1, "/"))
        self.assertTrue(os.path.isfile(archive["archive"]))
        self.assertEqual(archive["files"], [self.path(n) for n in self.FILES])
        skipped = report["skipped"]
        self.assertEqual([s["path"] for s in skipped], [os.path.join(self.temp, "Safe broken.xml")])
        self.assertEqual(skipped[0]["error"]["number"], 30100)
        self.assertTrue(skipped[0]["error"]["description"])

        text = run("assess", self.temp)
        self.assertEqual(text.returncode, 3)  # unfinished periods need recovery
        self.assertIn("Unfinished period: " + log["log"], text.stdout)
        self.assertIn("Skipped: " + skipped[0]["path"] + ": ", text.stdout)
        self.assertIn("1 unfinished period in " + self.temp, text.stdout)

    def test_names_that_json_must_escape_survive(self):
        self.FILES = {'quote"back\\slash\ttab.txt': b"x", "caf\u00e9 \u65e5\u672c.txt": b"y"}
        for name, data in self.FILES.items():
            self.write(name, data)
        self.killed_period()
        files = self.assess_json()["unfinished"][0]["archives"][0]["files"]
        self.assertEqual(files, [self.path(n) for n in self.FILES])

    def test_a_missing_folder_is_an_error_with_its_path(self):
        missing = os.path.join(self.root, "nowhere")
        result = run("assess", missing)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.stderr, "brightkeep: no such folder (76): %s [system error 2]\n"
                         "brightkeep: check the folder, or the \"temp\" setting of the configuration file\n" % missing)


class RollbackTests(Scratch):
    def test_rollback_brings_every_file_back_and_reports_each(self):
        self.killed_period()
        dry = run("rollback", self.temp, "--dry-run", "--files")
        self.assertEqual(dry.returncode, 0, dry.stderr)
        self.assertEqual(dry.stdout.count("  would restore: "), len(self.FILES))
        self.assertEqual(self.read("a.txt"), b"changed")

        result = run("rollback", self.temp, "--keep-archives", "--files")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_files_as_before()
        for name in self.FILES:
            self.assertIn("  restored: " + self.path(name) + "\n", result.stdout)
        self.assertEqual(len(self.temp_files()), 3)  # the log, its record and its archive

        self.write("a.txt", b"changed again")
        result = run("rollback", self.temp, "--delete-logs", "--json", "-q")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_files_as_before()
        [period] = json.loads(result.stdout)["periods"]
        self.assertEqual((period["outcome"], sorted(period["restored"]), period["not_restored"]),
                         ("rolled_back", sorted(self.path(n) for n in self.FILES), []))
        self.assertEqual(self.temp_files(), [])
        self.assertIn("No unfinished period", run("rollback", self.temp).stdout)
        self.assertEqual(run("rollback", self.temp, "-q").stdout, "No unfinished periods in %s.\n" % self.temp)

    def test_periods_go_newest_first_and_a_failing_one_does_not_stop_the_rest(self):
        # Two cut-short periods change a.txt from "original" to "v2", then to
        # "changed": undone newest first, it comes back as "original".
        self.killed_period()
        self.write("a.txt", b"v2")
        self.killed_period()
        logs = self.assess_json()["unfinished"]
        self.assertEqual(len(logs), 2)
        self.assertGreater(logs[0]["log"], logs[1]["log"])
        dry = run("rollback", self.temp, "--dry-run")
        self.assertEqual(re.findall(r"^Would roll back: (.+) \(started ", dry.stdout, re.M), [l["log"] for l in logs])
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(re.findall(r"^Rolling back: (.+) \(started ", result.stdout, re.M), [l["log"] for l in logs])
        self.assert_files_as_before()

        # A period that fails (its archive damaged) does not stop the older one.
        self.killed_period()
        self.write("a.txt", b"between the periods")
        self.killed_period()
        newer = self.assess_json()["unfinished"][0]
        with open(newer["archives"][0]["archive"], "wb") as f:
            f.write(b"no longer an archive")
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 1)
        self.assertIn("(30200): " + newer["archives"][0]["archive"], result.stderr)
        self.assertIn("Rolled back 1 of 2 unfinished periods.", result.stdout)
        self.assert_files_as_before()

    def test_a_file_that_cannot_come_back_is_told_and_its_period_kept_for_another_run(self):
        self.killed_period()
        os.remove(self.path("sub/b.bin"))
        os.mkdir(self.path("sub/b.bin"))
        result = run("rollback", self.temp, "--files")
        self.assertEqual(result.returncode, 1)
        self.assertIn("  restored: " + self.path("a.txt") + "\n", result.stdout)
        self.assertIn("  not restored: " + self.path("sub/b.bin") + ": A folder is where the file belongs\n",
                      result.stdout)
        self.assertNotIn("  restored: " + self.path("sub/b.bin"), result.stdout)
        self.assertIn("brightkeep: 1 file could not be restored: " + self.path("sub/b.bin"), result.stderr)
        self.assertEqual(len(self.temp_files()), 3)  # the log, its record and its archive, to run again
        os.rmdir(self.path("sub/b.bin"))
        log = self.assess_json()["unfinished"][0]["log"]
        open(log + ".rad12345.tmp", "w").close()  # a save of the log cut short
        self.assertEqual(self.assess_json()["leftovers"], [])
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_files_as_before()
        self.assertEqual(self.temp_files(), [])

    def test_a_log_without_archives_and_unclaimed_leftovers_are_told_apart(self):
        self.killed_period()
        log = self.assess_json()["unfinished"][0]
        os.remove(log["archives"][0]["archive"])
        leftover = os.path.join(self.temp, "Safe 1999-01-01 00.00.00-backup.tmp")
        open(leftover, "w").close()
        report = self.assess_json()
        self.assertTrue(report["unfinished"][0]["archives_missing"])
        self.assertEqual(report["leftovers"], [leftover])
        self.assertIn("Unfinished period whose archives are all missing", run("assess", self.temp).stdout)
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot roll back: every archive of this period is missing", result.stdout)
        self.assertIn("Removed leftover: " + leftover + "\n", result.stdout)
        self.assertEqual(run("rollback", self.temp, "--delete-logs").returncode, 0)
        self.assertEqual(self.temp_files(), [])

    def test_a_damaged_log_fails_the_rollback_after_the_others_are_done(self):
        self.killed_period()
        with open(os.path.join(self.temp, "Safe 2000-01-01 00.00.00.xml"), "w") as f:
            f.write("not xml")
        result = run("rollback", self.temp)
        self.assertEqual(result.returncode, 1)
        self.assertIn("(30100): " + os.path.join(self.temp, "Safe 2000-01-01 00.00.00.xml"), result.stderr)
        self.assert_files_as_before()


class RevertTests(Scratch):
    def succeeded_change(self):
        result = self.protect("printf changed > data/a.txt; printf changed > data/sub/b.bin",
                              backup=os.path.join(self.root, "bk-%t.zip"))
        self.assertEqual(result.returncode, 0, result.stderr)
        [backup] = glob.glob(os.path.join(self.root, "bk-*.zip"))
        return backup

    def test_a_succeeded_change_comes_back_and_the_revert_can_be_reverted(self):
        backup = self.succeeded_change()
        report = json.loads(run("inspect", backup, "--json").stdout)
        self.assertTrue(report["log"].startswith(backup + ":Safe "), report["log"])
        self.assertEqual([a["missing"] for a in report["archives"]], [False])
        self.assertEqual(sorted(report["archives"][0]["files"]), sorted(self.path(n) for n in self.FILES))
        dry = run("revert", backup, "--temp", self.temp, "--dry-run")
        self.assertEqual((dry.returncode, dry.stdout.count("  would restore: ") + dry.stdout.count("  unchanged: ")),
                         (0, len(self.FILES)), dry.stderr)
        self.assertEqual(self.read("a.txt"), b"changed")

        first = os.path.join(self.root, "r1.zip")
        result = run("revert", backup, "--temp", self.temp, "--backup", first)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_files_as_before()
        result = run("revert", first, "--temp", self.temp, "--backup", os.path.join(self.root, "r2.zip"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual((self.read("a.txt"), self.read("sub/b.bin")), (b"changed", b"changed"))
        self.assertEqual(self.temp_files(), [])

    def test_a_revert_that_cannot_finish_is_undone(self):
        backup = self.succeeded_change()
        os.remove(self.path("sub/b.bin"))
        os.mkdir(self.path("sub/b.bin"))
        result = run("revert", backup, "--temp", self.temp, "--backup", os.path.join(self.root, "r.zip"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("A folder is where the file belongs", result.stderr)
        self.assertEqual(self.read("a.txt"), b"changed")  # written by the revert, then undone
        self.assertFalse(os.path.exists(os.path.join(self.root, "r.zip")))

    def test_keep_removes_the_oldest_stamped_backups(self):
        older = [os.path.join(self.root, "bk-%d0101-000000.zip" % y) for y in (2020, 2021, 2022)]
        other = os.path.join(self.root, "bk-latest.zip")
        for path in older + [other]:
            self.assertEqual(self.protect("true", backup=path).returncode, 0)
        result = self.protect("true", "--keep", "2", backup=os.path.join(self.root, "bk-%t.zip"))
        self.assertEqual(result.returncode, 0, result.stderr)
        kept = sorted(os.path.basename(p) for p in glob.glob(os.path.join(self.root, "bk-*.zip")))
        self.assertEqual(len(kept), 3, kept)
        self.assertEqual(kept[0], "bk-20220101-000000.zip")
        self.assertIn("bk-latest.zip", kept)
        self.assertEqual(run("protect", "--temp", self.temp, "--backup", other, "--keep", "2", self.path("a.txt"), "--",
                             "true").returncode, 125)


class ShowLogTests(Scratch):
    def test_an_unfinished_log_as_text_and_json(self):
        self.killed_period()
        log = glob.glob(os.path.join(self.temp, "Safe*.xml"))[0]
        report = json.loads(run("inspect", log, "--json").stdout)
        self.assertEqual(report["format"], 3)
        self.assertEqual(report["log"], log)
        self.assertFalse(report["completed"])
        self.assertEqual(report["archives"][0]["files"], [self.path(n) for n in self.FILES])
        text = run("inspect", log)
        self.assertEqual(text.returncode, 0)
        self.assertIn("  completed: no\n", text.stdout)
        # Counts by default, every file only when asked.
        self.assertIn("  files: 3; changed: 3, created: 0, removed: 0\n", text.stdout)
        self.assertNotIn(self.path("a.txt"), text.stdout)
        self.assertIn("    " + self.path("a.txt") + "\n", run("inspect", log, "--files").stdout)

    def test_start_dates_as_stored_by_any_writer(self):
        # Before day 0 the fraction counts forwards from the day; a date that
        # cannot be read is shown as such.
        for stored, text in (("37298.5859259259", "2002-02-11 14:03:44"), ("-1.25", "1899-12-29 06:00:00"),
                             ("-657434", "0100-01-01 00:00:00"), ("x", None)):
            log = os.path.join(self.root, "Safe %s.xml" % stored)
            with open(log, "w") as f:
                f.write('<VELMARFileRollbackLog Version="1.0"><StartDate Value="%s"/><TempPath/>'
                        '<BackupDestination Value=""/><ZipFiles/></VELMARFileRollbackLog>' % stored)
            report = json.loads(run("inspect", log, "--json").stdout)
            # Without the period's record the zone it started in is unknown: no offset.
            self.assertEqual(report["start_date"], text and text.replace(" ", "T"), stored)
            self.assertIsNone(report["utc_offset"])
            self.assertIn("  started: %s\n" % (text or "(unreadable)"), run("inspect", log).stdout)

    def test_a_log_that_cannot_be_loaded_or_is_no_log_with_the_system_error_in_json_too(self):
        broken, other = os.path.join(self.root, "broken.xml"), os.path.join(self.root, "other.xml")
        with open(broken, "w") as f:
            f.write("<a>")
        with open(other, "w") as f:
            f.write("<a/>")
        for path, number in ((broken, "30100"), (os.path.join(self.root, "none.xml"), "53"), (other, "30100")):
            result = run("inspect", path, "--json")
            self.assertEqual(result.returncode, 1)
            match = ERROR_LINE.search(result.stderr)
            self.assertEqual((match.group(1), match.group(2)), (number, ": " + path), result.stderr)
            error = json.loads(result.stdout)["error"]  # with --json, the error is JSON too
            self.assertEqual((str(error["number"]), error["path"]), (number, path))
            self.assertEqual(error["system_error"], match.group(3) and int(match.group(3)), result.stderr)
            self.assertEqual(error["system_error"] is None, number != "53")


if __name__ == "__main__":
    cli_support.main()
