#!/usr/bin/env python3
"""Backups a user can rely on: never replaced by surprise, a change that
succeeded never undone later, a revert as complete as a rollback, and the
commands that show what a period changed and manage its backups.

    backups_test.py --brightkeep PATH [unittest arguments]
"""

import json
import os
import stat
import time
import zipfile

import cli_support
from cli_support import Scratch, run


def stamp(t):
    return time.strftime("%Y%m%d-%H%M%S", time.localtime(t))


class BackupTests(Scratch):
    """A scratch folder with a tree (data/) and stamped backups in bk/."""

    def setUp(self):
        super().setUp()
        self.bk = os.path.join(self.root, "bk")
        os.mkdir(self.bk, 0o700)
        self.pattern = os.path.join(self.bk, "b-%t.zip")

    def protect_tree(self, script, *extra, backup=None):
        return run("protect", "--temp", self.temp, "--backup", backup or self.pattern, *extra,
                   "--tree", self.path(""), "--", "sh", "-c", script, cwd=self.path(""))

    def backups(self):
        return sorted(os.path.join(self.bk, n) for n in os.listdir(self.bk))

    def ok(self, result, status=0):
        self.assertEqual(result.returncode, status, result.stdout + result.stderr)
        return result


class NamesTests(BackupTests):
    def test_a_taken_stamped_name_is_numbered_and_nothing_is_replaced(self):
        now = time.time()
        planted = {os.path.join(self.bk, "b-%s.zip" % stamp(now + d)) for d in range(-1, 4)}
        for name in planted:
            with open(name, "wb") as f:
                f.write(b"earlier")
        self.ok(self.protect("true", backup=self.pattern))
        made, = set(self.backups()) - planted
        self.assertRegex(os.path.basename(made), r"^b-\d{8}-\d{6}-2\.zip$")
        self.assertIn(made, self.ok(run("inspect", made)).stdout)  # its log names it
        for name in planted:
            with open(name, "rb") as f:
                self.assertEqual(f.read(), b"earlier")

    def test_an_existing_fixed_name_is_refused_before_the_command_unless_replace(self):
        fixed = os.path.join(self.bk, "fixed.zip")
        with open(fixed, "wb") as f:
            f.write(b"mine")
        result = self.ok(self.protect("touch %s/ran" % self.root, backup=fixed), 125)
        self.assertIn("--replace", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.root, "ran")))
        with open(fixed, "rb") as f:
            self.assertEqual(f.read(), b"mine")
        self.ok(self.protect("true", "--replace", backup=fixed))
        self.assertTrue(zipfile.is_zipfile(fixed))
        # Only the empty file a killed run left holding the name (the caller's, 0600) is taken over.
        for owner, mode, status in ((65534, 0o600, 125), (os.getuid(), 0o644, 125), (os.getuid(), 0o600, 0)):
            os.remove(fixed)
            os.close(os.open(fixed, os.O_CREAT | os.O_EXCL | os.O_WRONLY, mode))
            os.chmod(fixed, mode)
            os.chown(fixed, owner, -1)
            self.ok(self.protect("true", backup=fixed), status)
        self.assertTrue(zipfile.is_zipfile(fixed))

    def test_a_backup_folder_gone_during_the_command_keeps_the_change_and_the_backup(self):
        gone = os.path.join(self.root, "gone")
        os.mkdir(gone)
        result = self.ok(self.protect("printf new > %s && rm -r %s" % (self.path("a.txt"), gone),
                                      backup=os.path.join(gone, "b.zip")), 201)
        kept = os.path.join(self.temp, "b.zip")
        self.assertIn("kept in %s " % kept, result.stderr)
        self.assertNotIn(".tmp", result.stderr)
        self.assertEqual(self.assess_json()["unfinished"], [])
        self.assertEqual(self.read("a.txt"), b"new")
        self.assertIn("completed: yes", self.ok(run("inspect", kept)).stdout)


class RevertTests(BackupTests):
    def test_a_tree_period_comes_back_whole_and_the_revert_is_reverted_in_turn(self):
        os.chmod(self.path("sub"), 0o755)
        self.ok(self.protect_tree("echo added > new.txt && chmod 700 sub && printf x > a.txt && rm c.txt",
                                  "--label", "upgrade"))
        backup, = self.backups()
        with zipfile.ZipFile(backup) as z:
            self.assertEqual(sorted(n.rsplit(".", 1)[1] for n in z.namelist()), ["record", "xml", "zip"])
        result = self.ok(run("revert", backup, "--temp", self.temp, "--backup", os.path.join(self.bk, "r-%t.zip")))
        self.assertIn("removed: %s\n" % self.path("new.txt"), result.stdout)
        self.assertFalse(os.path.exists(self.path("new.txt")))
        self.assertEqual(stat.S_IMODE(os.stat(self.path("sub")).st_mode), 0o755)
        self.assert_files_as_before()
        revert_backup, = [b for b in self.backups() if "/r-" in b]
        self.ok(run("revert", revert_backup, "--temp", self.temp, "--backup", self.pattern))
        self.assertEqual(self.read("a.txt"), b"x")
        self.assertTrue(os.path.exists(self.path("new.txt")))

    def test_a_revert_that_fails_after_creating_a_file_is_undone_whole(self):
        self.ok(self.protect("rm %s %s" % (self.path("a.txt"), self.path("c.txt")),
                             files=["a.txt", "c.txt"], backup=self.pattern))
        os.mkdir(self.path("c.txt"))  # the revert cannot put this one back
        result = run("revert", self.backups()[0], "--temp", self.temp, "--backup", os.path.join(self.bk, "r-%t.zip"))
        self.ok(result, 1)
        self.assertIn("restored: %s\n" % self.path("a.txt"), result.stdout)
        self.assertFalse(os.path.exists(self.path("a.txt")), "created by the revert, then undone")
        self.assertEqual(len(self.backups()), 1, "no backup of a revert that failed, no name held")


class ShowTests(BackupTests):
    def test_inspect_diff_and_list_of_a_backup(self):
        os.chmod(self.path("sub"), 0o755)
        self.write("text.txt", b"".join(b"line %d\n" % i for i in range(10)))
        self.ok(self.protect_tree("sed -i s/line.5/five/ text.txt && printf x >> sub/b.bin && chmod 700 sub && "
                                  "echo n > new && rm c.txt", "--label", "nightly"))
        backup, = self.backups()
        shown = self.ok(run("inspect", backup)).stdout
        for line in ("completed: yes", "label: nightly", "ended: ", "trees: %s/data\n" % self.root):
            self.assertIn(line, shown)
        doc = json.loads(self.ok(run("inspect", backup, "--json")).stdout)
        self.assertEqual((doc["completed"], doc["label"], doc["trees"]), (True, "nightly", [self.root + "/data"]))

        diff = run("diff", backup)
        self.ok(diff, 1)
        self.assertIn("-line 5\n+five\n", diff.stdout)
        for line in ("binary files differ: " + self.path("sub/b.bin"), "mode: %s: 0755 -> 0700" % self.path("sub"),
                     "created: " + self.path("new"), "deleted: " + self.path("c.txt")):
            self.assertIn(line + "\n", diff.stdout)
        doc = json.loads(self.ok(run("diff", backup, "--json"), 1).stdout)
        self.assertEqual(doc["label"], "nightly")
        changes = doc["changes"]
        self.assertEqual(sorted((c["change"], os.path.basename(c["path"])) for c in changes),
                         [("binary", "b.bin"), ("created", "new"), ("deleted", "c.txt"), ("mode", "sub"),
                          ("modified", "text.txt")])
        self.ok(run("diff", backup, self.path("a.txt")), 0)
        self.assertEqual(self.ok(run("diff", backup, "--stat", self.path("text.txt")), 1).stdout.splitlines()[-1],
                         " modified: %s (+1 -1)" % self.path("text.txt"))

    def test_diff_of_an_unfinished_period_is_what_a_rollback_undoes(self):
        self.killed_period()
        log = self.assess_json()["unfinished"][0]["log"]
        diff = self.ok(run("diff", log, self.path("a.txt")), 1)
        self.assertIn("-first file\n+changed\n\\ No newline at end of file\n", diff.stdout)
        self.ok(run("rollback", self.temp))
        self.ok(run("diff", log), 2)  # the log is gone: trouble

    def test_list_and_prune_touch_only_real_backups(self):
        now = time.time()
        for age, label in ((3 * 86400, "old\r\x1b[2Kfake\n"), (0, "new")):  # a label can steer no terminal
            self.ok(self.protect_tree("true", "--label", label, backup=os.path.join(self.bk, "b-%s.zip" % stamp(now - age))))
        names = self.backups()
        fake = os.path.join(self.bk, "b-%s.zip" % stamp(now - 5 * 86400))
        with open(fake, "wb") as f:
            f.write(b"not a backup")
        listed = json.loads(self.ok(run("list", self.pattern, "--json")).stdout)["backups"]
        self.assertEqual([(b["label"], b["path"]) for b in listed], [("new", names[1]), ("old\r\x1b[2Kfake\n", names[0])])
        lines = self.ok(run("list", self.bk)).stdout.splitlines()
        self.assertEqual([line.rsplit("  ", 1)[1] for line in lines], ["[new]", "[old%0D%1B[2Kfake%0A]"])

        self.ok(run("prune", self.pattern, "--keep", "1", "--keep-days", "4", "--dry-run"))
        self.assertEqual(self.ok(run("prune", self.pattern, "--keep", "1", "--dry-run")).stdout,
                         "would remove: %s\n" % names[0])
        self.assertEqual(len(os.listdir(self.bk)), 3)
        self.assertEqual(self.ok(run("prune", self.pattern, "--keep", "1")).stdout, "removed: %s\n" % names[0])
        self.assertEqual(sorted(os.listdir(self.bk)), sorted([os.path.basename(names[1]), os.path.basename(fake)]))


if __name__ == "__main__":
    cli_support.main()
