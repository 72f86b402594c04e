#!/usr/bin/env python3
"""Checks that the manual page brightkeep(1) and the command's --help texts
list the same commands and, per command, the same options. Both lists are
read: the commands from "brightkeep --help", their options from
"brightkeep COMMAND --help", and from the page the options of each COMMANDS
subsection (and of "General options" for the command itself).

    man_page_test.py BRIGHTKEEP MAN_PAGE
"""

import re
import subprocess
import sys
import unittest

BRIGHTKEEP = MAN_PAGE = None
GENERAL = "General options"


def help_text(*command):
    result = subprocess.run([BRIGHTKEEP, *command, "--help"], capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        raise AssertionError("%s --help failed (%d): %s" % (" ".join(command), result.returncode, result.stderr))
    return result.stdout


def section(text, title):
    """The lines of TEXT after the line TITLE, up to the first empty line."""
    lines = text.splitlines()
    start = lines.index(title) + 1
    end = lines.index("", start) if "" in lines[start:] else len(lines)
    return lines[start:end]


def help_options(text):
    """The option names an "Options:" block lists: "  -h, --help  ..." gives -h and --help."""
    options = set()
    for line in section(text, "Options:"):
        match = re.match(r"  (-[^\s,]+)(?:, (--\S+))?", line)
        if match:
            options.update(name for name in match.groups() if name)
    return options


def help_commands(text):
    return {m.group(1) for line in section(text, "Commands:") if (m := re.match(r"  ([a-z][a-z-]*)\s", line))}


def man_page_options(roff):
    """Per subsection of the page (.SS), the options its terms name: a term is
    the line before an indented block (.RS) and starts with a bold option."""
    by_section = {}
    current = None
    lines = roff.splitlines()
    for i, line in enumerate(lines):
        if line.startswith(".SH "):
            current = None
        elif line.startswith(".SS "):
            current = line[4:].strip().strip('"')
            by_section[current] = set()
        elif current and line.startswith(".RS") and i > 0 and lines[i - 1].startswith("\\fB-"):
            by_section[current].update(re.findall(r"\\fB(-[^\\\s,]+)\\fR", lines[i - 1]))
    return by_section


class ManPageTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(MAN_PAGE, encoding="utf-8") as f:
            cls.page = man_page_options(f.read())
        cls.general_help = help_text()

    def test_the_page_describes_every_command_and_no_other(self):
        commands = help_commands(self.general_help)
        self.assertTrue(commands)
        self.assertEqual(set(self.page) - {GENERAL}, commands)

    def test_each_command_has_the_same_options_in_both(self):
        cases = [(GENERAL, ())] + [(c, (c,)) for c in sorted(help_commands(self.general_help))]
        for title, command in cases:
            with self.subTest(command=title):
                from_help = help_options(help_text(*command))
                self.assertIn("--help", from_help)
                self.assertEqual(self.page.get(title), from_help)


if __name__ == "__main__":
    BRIGHTKEEP, MAN_PAGE = sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=2)
