#!/usr/bin/env python3
"""A whole folder tree protected, and every kind of change a command can make
to it undone: when the command fails, after 'protect' is killed and
'rollback' runs, and through the library's own undo. A command that turns
parts of the tree into links to outside it changes nothing outside.

    tree_test.py --brightkeep PATH --tree-undo PATH [unittest arguments]
"""

import argparse
import errno
import os
import resource
import signal
import stat
import struct
import subprocess
import sys
import time
import unittest

import cli_support
from cli_support import Scratch, run

TREE_UNDO = None  # the library's undo of a tree, from --tree-undo
OTHER_USER = 12345  # a user id nobody on the test machine has
ACL = "system.posix_acl_access"

# The change, run as COMMAND: tree outside marker scenario end.
CHANGE = r"""
import os, shutil, sys, time
tree, outside, marker, scenario, end = sys.argv[1:]
root = os.geteuid() == 0
os.chdir(tree)
def write(name, data):
    with open(name, "wb") as f:
        f.write(data)
if scenario == "every_change":
    write("settings.ini", b"changed\n")
    os.remove("notes.txt")
    write("conf.d/new.conf", b"added\n")
    os.chmod("run.sh", 0o600)
    os.chmod("conf.d", 0o700)
    os.setxattr("plain.txt", "user.added", b"new")
    os.removexattr("tagged.txt", "user.tag")
    os.setxattr("conf.d", "user.role", b"changed")
    os.removexattr("acl.txt", "system.posix_acl_access")
    os.remove("to-link.txt")
    os.symlink("settings.ini", "to-link.txt")
    os.remove("link")
    write("link", b"was a link\n")
    shutil.rmtree("dir-to-file")
    write("dir-to-file", b"was a folder\n")
    os.makedirs("added/deep")
    write("added/deep/file.txt", b"added\n")
    shutil.rmtree("gone")
    os.rename("old-name", "new-name")
    write("atomic.conf.new", b"replaced\n")
    os.rename("atomic.conf.new", "atomic.conf")
    if root:
        os.chown("owned.txt", 12345, 12345)
        os.chown("private", 0, 0)
        os.chmod("private", 0o755)
        write("private/secret.txt", b"exposed\n")
else:  # pointing_outside: links where the undo has to write
    shutil.rmtree("conf.d")
    os.symlink(os.path.join(outside, "folder"), "conf.d")
    shutil.rmtree("gone")
    os.symlink(os.path.join(outside, "folder"), "gone")
    os.remove("settings.ini")
    os.symlink(os.path.join(outside, "victim.txt"), "settings.ini")
    os.symlink(os.path.join(outside, "victim.txt"), "evil")
open(marker, "w").close()
if end == "sleep":
    time.sleep(60)
sys.exit(1)
"""


def acl_granting_read_to(uid):
    """The extended attribute of an access ACL: owner rw, `uid` r, the rest r."""
    entries = [(0x01, 6, 0xFFFFFFFF), (0x02, 4, uid), (0x04, 4, 0xFFFFFFFF), (0x10, 4, 0xFFFFFFFF),
               (0x20, 4, 0xFFFFFFFF)]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


def describe(path):
    st = os.lstat(path)
    names = os.listxattr(path, follow_symlinks=False)
    entry = {"type": stat.S_IFMT(st.st_mode), "owner": st.st_uid, "group": st.st_gid,
             "mode": stat.S_IMODE(st.st_mode),
             "xattrs": sorted((n, os.getxattr(path, n, follow_symlinks=False))
                              for n in names if n.startswith("user.") or n == ACL)}
    if stat.S_ISLNK(st.st_mode):
        entry["target"] = os.readlink(path)
    else:
        entry["mtime_ns"] = st.st_mtime_ns
    if stat.S_ISREG(st.st_mode):
        with open(path, "rb") as f:
            entry["bytes"] = f.read()
    return entry


def listing(top):
    """Every entry under `top`, and top itself as ".", by relative path;
    links are described, never followed."""
    entries = {".": describe(top)}
    for folder, folders, files in os.walk(top):
        for name in folders + files:
            path = os.path.join(folder, name)
            entries[os.path.relpath(path, top)] = describe(path)
    return entries


class TreeTests(Scratch):
    FILES = {"settings.ini": b"[main]\nmode = safe\n", "notes.txt": b"notes\n" * 500,
             "run.sh": b"#!/bin/sh\necho run\n", "owned.txt": b"owned\n", "plain.txt": b"plain\n",
             "tagged.txt": b"tagged\n", "acl.txt": b"acl\n", "to-link.txt": b"to become a link\n",
             "atomic.conf": b"atomic = 1\n", "conf.d/base.conf": b"base\n",
             "dir-to-file/inner.txt": b"inner\n", "gone/x.txt": b"x\n", "gone/sub/deep.bin": bytes(range(256)),
             "old-name/y.txt": b"y\n"}

    def setUp(self):
        super().setUp()
        self.tree = os.path.join(self.root, "data")
        try:
            os.setxattr(self.path("tagged.txt"), "user.tag", b"kept")
            os.setxattr(self.path("acl.txt"), ACL, acl_granting_read_to(OTHER_USER))
        except OSError as e:
            if e.errno != errno.ENOTSUP:
                raise
            self.skipTest("the file system of %s keeps no user.* attributes or ACLs" % self.root)
        os.setxattr(self.path("notes.txt"), "user.comment", b"deleted with its attribute")
        os.setxattr(self.path("conf.d"), "user.role", b"configuration")
        os.chmod(self.path("run.sh"), 0o755)
        os.symlink("notes.txt", self.path("link"))
        os.mkdir(self.path("empty"))
        if os.geteuid() == 0:  # a folder only another user may enter
            self.write("private/secret.txt", b"secret\n")
            os.chown(self.path("private/secret.txt"), OTHER_USER, OTHER_USER)
            os.chown(self.path("private"), OTHER_USER, OTHER_USER)
            os.chmod(self.path("private"), 0o700)
        self.outside = os.path.join(self.root, "outside")
        os.makedirs(os.path.join(self.outside, "folder"))
        for name, data in {"victim.txt": b"victim\n", "folder/base.conf": b"not base\n"}.items():
            with open(os.path.join(self.outside, name), "wb") as f:
                f.write(data)
        self.marker = os.path.join(self.root, "changed")

    def change(self, scenario, end):
        return [sys.executable, "-c", CHANGE, self.tree, self.outside, self.marker, scenario, end]

    def failed_command(self, scenario):
        # The tree holds a folder of another user's, so it is trusted by name.
        result = run("protect", "--tree", self.tree, "--trust-tree", "--temp", self.temp, "--backup", self.backup,
                     "--files", "--", *self.change(scenario, "exit"))
        self.assertEqual(result.returncode, 1, result.stderr)
        output = result.stdout + result.stderr
        lines = [line.strip() for line in output.splitlines()]
        self.assertFalse([l for l in lines if l.startswith(("not restored: ", "not removed: "))], output)
        self.assertTrue([l for l in lines if l.startswith(("restored: ", "removed: "))], output)

    def killed_protect(self, scenario):
        proc = subprocess.Popen([cli_support.BRIGHTKEEP, "protect", "--tree", self.tree, "--trust-tree", "--temp", self.temp,
                                 "--backup", self.backup, "--", *self.change(scenario, "sleep")],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 60
        while not os.path.exists(self.marker):
            if proc.poll() is not None:
                self.fail("protect ended before the change was done: " + proc.stderr.read().decode())
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.02)
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()
        proc.stderr.close()
        self.wait_until_not_live()
        dry = run("rollback", self.temp, "--dry-run", "--files")
        result = run("rollback", self.temp, "--files")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        # The dry run told exactly what the rollback removed.
        told = lambda out, word: sorted(l.split(": ", 1)[1] for l in out.splitlines()
                                        if l.strip().startswith(word + " " + self.tree))
        self.assertEqual(told(dry.stdout, "would remove:"), told(result.stdout, "removed:"))
        self.assertTrue(told(result.stdout, "removed:"))

    def library_undo(self, scenario):
        result = subprocess.run([TREE_UNDO, self.temp, self.tree, "--", *self.change(scenario, "exit")],
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)

    def check(self, way, scenario):
        before, outside = listing(self.tree), listing(self.outside)
        getattr(self, way)(scenario)
        self.assertTrue(os.path.exists(self.marker), "the change never ran")
        self.assert_same(listing(self.outside), outside, "outside the tree")
        self.assert_same(listing(self.tree), before, "in the tree")

    def assert_same(self, after, before, where):
        differ = sorted(k for k in before.keys() | after.keys() if before.get(k) != after.get(k))
        self.assertEqual(differ, [], "changed %s:\n" % where + "\n".join(
            "%s: %.300s\n  now %.300s" % (k, before.get(k), after.get(k)) for k in differ))


# The change to files named one by one, run as COMMAND: marker.
CHANGE_LISTED = r"""
import os, shutil, sys, time
with open("replaced.conf.new", "wb") as f:
    f.write(b"replaced\n")
os.rename("replaced.conf.new", "replaced.conf")
os.setxattr("attrs.txt", "user.changed", b"new")
os.setxattr("attrs.txt", "user.added", b"added")
os.removexattr("attrs.txt", "user.kept")
shutil.rmtree("nest")
open(sys.argv[1], "w").close()
time.sleep(60)
"""


class ListedFileTests(Scratch):
    """Files named one by one come back as they were made safe: with their
    attributes, into folders made again with their owner and mode, and as a
    new file renamed over one that a program still uses."""

    FILES = {"replaced.conf": b"original\n", "attrs.txt": b"attrs\n", "nest/deep.txt": b"deep\n"}

    def test_files_come_back_whole_without_disturbing_their_users(self):
        try:
            os.setxattr(self.path("attrs.txt"), "user.kept", b"1")
        except OSError as e:
            if e.errno != errno.ENOTSUP:
                raise
            self.skipTest("the file system of %s keeps no user.* attributes" % self.root)
        os.setxattr(self.path("attrs.txt"), "user.changed", b"old")
        os.chmod(self.path("nest"), 0o750)
        if os.geteuid() == 0:
            os.chown(self.path("nest"), OTHER_USER, OTHER_USER)
        nest = os.stat(self.path("nest"))
        program = self.path("program")  # a running program's file is "busy" to writers
        with open("/bin/sleep", "rb") as src, open(program, "wb") as dst:
            dst.write(src.read())
        os.chmod(program, 0o755)
        marker = os.path.join(self.root, "changed")
        proc = subprocess.Popen([cli_support.BRIGHTKEEP, "protect", "--temp", self.temp, "--backup", self.backup,
                                 *[self.path(n) for n in (*self.FILES, "program")], "--",
                                 sys.executable, "-c", CHANGE_LISTED, marker],
                                cwd=os.path.join(self.root, "data"), stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not os.path.exists(marker):
            self.assertIsNone(proc.poll(), "protect ended before the change was done")
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.02)
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()
        self.wait_until_not_live()
        running = subprocess.Popen([program, "60"])
        self.addCleanup(running.wait)
        self.addCleanup(running.kill)
        with open(self.path("replaced.conf"), "rb") as held:
            result = run("rollback", self.temp)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertEqual(held.read(), b"replaced\n")  # the new file was left to its user
        self.assert_files_as_before()
        self.assertIsNone(running.poll(), "the running program was disturbed")
        attrs = {n: os.getxattr(self.path("attrs.txt"), n) for n in os.listxattr(self.path("attrs.txt"))}
        self.assertEqual(attrs, {"user.kept": b"1", "user.changed": b"old"})
        now = os.stat(self.path("nest"))
        self.assertEqual((now.st_mode, now.st_uid, now.st_gid), (nest.st_mode, nest.st_uid, nest.st_gid))


class SharedFolderTests(Scratch):
    """A tree holding a folder other users can write is refused before
    anything runs, unless it is trusted by name."""

    def test_a_folder_others_can_write_refuses_the_tree(self):
        os.mkdir(self.path("drop"))
        os.chmod(self.path("drop"), 0o1777)  # sticky: others still move folders in
        marker = os.path.join(self.root, "ran")
        refused = run("protect", "--tree", os.path.join(self.root, "data"), "--temp", self.temp,
                      "--backup", self.backup, "--", "touch", marker)
        self.assertEqual(refused.returncode, 125, refused.stderr)
        self.assertIn("Not trusted: a folder inside the tree that another user can write (70): %s"
                      % self.path("drop"), refused.stderr)
        self.assertFalse(os.path.exists(marker))
        trusted = run("protect", "--tree", os.path.join(self.root, "data"), "--trust-tree", "--temp", self.temp,
                      "--backup", self.backup, "--", "touch", marker)
        self.assertEqual(trusted.returncode, 0, trusted.stderr)
        self.assertTrue(os.path.exists(marker))


class MountTests(Scratch):
    """A file system mounted inside the tree since is reported and left as it
    is, with what it holds; the rest of the tree comes back."""

    def test_a_mount_point_made_since_is_left_and_not_entered(self):
        if os.geteuid() != 0:
            self.skipTest("mounting needs root")
        mount = self.path("mnt")
        script = "mkdir %s && mount -t tmpfs none %s && echo inside > %s/x && echo changed > %s; exit 1" % (
            mount, mount, mount, self.path("a.txt"))
        self.addCleanup(subprocess.run, ["umount", mount], capture_output=True)
        result = run("protect", "--tree", os.path.join(self.root, "data"), "--temp", self.temp,
                     "--backup", self.backup, "--", "sh", "-c", script)
        if not os.path.ismount(mount):
            self.skipTest("this machine refuses to mount a tmpfs: " + result.stderr)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("not removed: %s: a mount point made since" % mount, result.stderr)
        self.assert_files_as_before()
        with open(os.path.join(mount, "x")) as f:
            self.assertEqual(f.read(), "inside\n")
        self.assertEqual(self.temp_files(), [])


# Run as nobody: a chain of folders "d", one in the other, from the current
# folder down: depth.
CHAIN = r"""
import os, sys
for _ in range(int(sys.argv[1])):
    os.mkdir("d")
    os.chdir("d")
with open("bottom.txt", "w") as f:
    f.write("deep\n")
"""


class DeepTreeTests(Scratch):
    """Trees deeper than the files a process may hold open are protected, and
    a chain as deep that another user made in the period is removed whole."""

    FILES = {"top.txt": b"top\n"}
    DEPTH = 2000
    NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", sys.executable, "-c", CHAIN]

    def test_a_chain_deeper_than_the_open_file_limit_is_protected_and_removed(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to act as nobody")
        sys.setrecursionlimit(10 * self.DEPTH)  # os.walk and shutil.rmtree recurse per level
        tree = os.path.join(self.root, "data")
        os.mkdir(os.path.join(tree, "old"))
        os.chown(tree, 65534, 65534)
        os.chown(os.path.join(tree, "old"), 65534, 65534)
        subprocess.run([*self.NOBODY, str(self.DEPTH)], cwd=os.path.join(tree, "old"), check=True)
        before = listing(tree)
        change = "%s && printf changed > top.txt; exit 1" % " ".join("'%s'" % a for a in [*self.NOBODY, str(self.DEPTH)])
        limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))
        result = subprocess.run([cli_support.BRIGHTKEEP, "protect", "--tree", tree, "--trust-tree", "--temp", self.temp, "--backup",
                                 self.backup, "--files", "--", "sh", "-c", change], cwd=tree, preexec_fn=limit,
                                capture_output=True, text=True, timeout=600)
        self.assertEqual(result.returncode, 1, result.stderr[-2000:])
        self.assertIn("removed: %s/d\n" % tree, result.stdout + result.stderr)
        self.assertNotIn("not re", result.stdout + result.stderr)
        self.assert_same(listing(tree), before, "in the tree")

    assert_same = TreeTests.assert_same


for _way in ("failed_command", "killed_protect", "library_undo"):
    for _scenario in ("every_change", "pointing_outside"):
        setattr(TreeTests, "test_%s_%s" % (_way, _scenario),
                lambda self, w=_way, s=_scenario: self.check(w, s))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--tree-undo", required=True)
    args, sys.argv[1:] = parser.parse_known_args()
    TREE_UNDO = os.path.abspath(args.tree_undo)
    cli_support.main()
