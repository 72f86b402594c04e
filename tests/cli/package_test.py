#!/usr/bin/env python3
"""Installs the build tree into a temporary prefix and builds a user's program
against it, with find_package(Brightkeep CONFIG) and with pkg-config, under
the compiler's default language standard and with headers of its own named
as the library's folders are (tests/cli/consumer/own).

    package_test.py BUILD_DIR
"""

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = None


def check(*args, env=None):
    result = subprocess.run(args, capture_output=True, text=True, env=env)
    if result.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(args), result.returncode, result.stdout,
                                                        result.stderr))
    return result.stdout


class PackageTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="bk-package-")
        cls.prefix = os.path.join(cls.root, "prefix")
        check("cmake", "--install", BUILD, "--prefix", cls.prefix)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, True)

    def run_consumer(self, program):
        work = tempfile.mkdtemp(dir=self.root)
        self.assertEqual(check(program, work), "restored\n")

    def test_installed_tree(self):
        for part in ("include/brightkeep/safemode/file_rollback_create.h",
                     "include/brightkeep/recovery/rollback_manager.h",
                     "include/brightkeep/component/fs/file_system.h",
                     "include/brightkeep/version.h",
                     "etc/brightkeep.conf",
                     "share/zsh/vendor-completions/_brightkeep",
                     "share/fish/vendor_completions.d/brightkeep.fish",
                     "share/doc/brightkeep/README.md"):
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, part)), part)
        targets = "".join(open(p).read() for p in glob.glob(os.path.join(self.prefix, "lib*", "cmake", "Brightkeep",
                                                                            "BrightkeepTargets*.cmake")))
        self.assertIn('INTERFACE_INCLUDE_DIRECTORIES "${_IMPORT_PREFIX}/include"', targets)
        for internal in ("bk_options", "BK_VERSION"):
            self.assertNotIn(internal, targets)
        version = check(os.path.join(self.prefix, "bin", "brightkeep"), "--version")
        self.assertRegex(version, r"^brightkeep \d+\.\d+\.\d+\n$")

    def test_find_package_static_and_shared(self):
        build = os.path.join(self.root, "cmake-consumer")
        check("cmake", "-S", os.path.join(HERE, "consumer"), "-B", build, "-G", "Ninja",
              "-DCMAKE_PREFIX_PATH=" + self.prefix, "-DCMAKE_CXX_FLAGS=-Werror")
        check("cmake", "--build", build)
        self.run_consumer(os.path.join(build, "consumer_static"))
        self.run_consumer(os.path.join(build, "consumer_shared"))
        linked = check("ldd", os.path.join(build, "consumer_shared"))
        self.assertIn(os.path.join(self.prefix, "lib"), linked)

    def test_pkg_config(self):
        libdirs = [d for d in ("lib", "lib64") if os.path.isdir(os.path.join(self.prefix, d, "pkgconfig"))]
        self.assertEqual(len(libdirs), 1)
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(self.prefix, libdirs[0], "pkgconfig"))
        flags = check("pkg-config", "--cflags", "--libs", "brightkeep", env=env).split()
        real_prefix = os.path.realpath(self.prefix)
        self.assertEqual(flags, ["-std=c++20", "-I" + os.path.join(real_prefix, "include"),
                                 "-L" + os.path.join(real_prefix, libdirs[0]), "-lbrightkeep"])
        program = os.path.join(self.root, "pc-consumer")
        check("c++", "-I" + os.path.join(HERE, "consumer", "own"), os.path.join(HERE, "consumer", "consumer.cc"),
              "-o", program, *flags, "-Wl,-rpath," + flags[2][2:])
        self.run_consumer(program)


if __name__ == "__main__":
    BUILD = sys.argv.pop(1)
    unittest.main(verbosity=2)
