#!/usr/bin/env python3
"""Drives the generated completions of bash, fish and zsh, each as its shell
does on a Tab, in a scratch folder holding one folder and one file, and
compares what each offers with what each case expects: bash's and fish's
candidates, and the word zsh completes (the candidates' common beginning).

    completion_test.py BRIGHTKEEP COMPLETION_DIR
"""

import os
import pty
import re
import select
import shlex
import subprocess
import sys
import tempfile
import time
import unittest

BRIGHTKEEP = COMPLETIONS = None

# (words before the cursor, the word being completed, the candidates).
CASES = [
    ("", "", "assess diff help inspect list protect prune revert rollback"),
    ("", "--", "--help --version"),
    ("protect", "--", "-- --backup --config --dry-run --files --files-from --help --json --keep --keep-log --kill "
                      "--label --null --progress --quiet --replace --temp --tree --trust-folder --trust-tree --wait"),
    ("protect --temp", "", "rollback"),  # folders only
    ("protect --backup", "", "list.txt rollback"),  # files
    ("protect --files-from", "l", "list.txt"),
    ("assess", "", "rollback"),
    ("assess", "--", "--config --files --help --json --trust-folder"),
    ("rollback rollback", "--d", "--delete-logs --dry-run"),
    ("inspect", "", "list.txt rollback"),
    ("protect --temp rollback --backup b.zip list.txt --", "printf", "printf"),  # the command to run
]


def bash_candidates(words, current):
    script = """source /usr/share/bash-completion/bash_completion
source "$1/brightkeep"
COMP_WORDS=("$2" $3 "$4")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE="${COMP_WORDS[*]}"
COMP_POINT=${#COMP_LINE}
_brightkeep 2>/dev/null
printf '%s\\n' "${COMPREPLY[@]}"
"""
    out = subprocess.run(["bash", "-c", script, "bash", COMPLETIONS, BRIGHTKEEP, words, current],
                         capture_output=True, text=True, timeout=60).stdout
    return {line for line in out.splitlines() if line}


def fish_candidates(words, current):
    line = " ".join(filter(None, ["brightkeep", words, current]))
    if not current:
        line += " "
    out = subprocess.run(["fish", "-c", "source %s; complete -C %s" % (
        shlex.quote(os.path.join(COMPLETIONS, "brightkeep.fish")), shlex.quote(line))],
        capture_output=True, text=True, timeout=60).stdout
    return {entry.split("\t")[0].rstrip("/") for entry in out.splitlines() if entry}


def zsh_completed_word(words, current):
    """The word being completed as an interactive zsh leaves it after a Tab."""
    before = " ".join(filter(None, ["brightkeep", words])) + " "
    pid, fd = pty.fork()
    if pid == 0:
        os.execvpe("zsh", ["zsh", "-f", "-i"], dict(os.environ, TERM="dumb", PS1="> "))
    setup = "fpath=(%s $fpath); autoload -U compinit; compinit -u -D\n" % shlex.quote(COMPLETIONS)
    # Tab, then to the line's start to print the line as completed.
    os.write(fd, (setup + before + current + "\t\x01print -r -- RESULT: \n").encode())
    out = b""
    deadline = time.monotonic() + 60
    try:
        while not re.search(rb"\nRESULT: [^\n]*\n", out):
            if time.monotonic() > deadline:
                raise AssertionError("zsh printed no result: %r" % out)
            if select.select([fd], [], [], 1)[0]:
                out += os.read(fd, 4096)
    finally:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    line = re.search(rb"\nRESULT: ([^\n]*)\n", out).group(1).decode().strip() + " "
    return line[len(before):].strip().rstrip("/")


class CompletionTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        os.chdir(cls.work.name)
        os.mkdir("rollback")
        open("list.txt", "w").close()
        os.environ["PATH"] = os.path.dirname(BRIGHTKEEP) + os.pathsep + os.environ["PATH"]

    @classmethod
    def tearDownClass(cls):
        os.chdir("/")
        cls.work.cleanup()

    def test_bash_and_fish_offer_the_candidates(self):
        for words, current, expected in CASES:
            for shell, candidates in (("bash", bash_candidates), ("fish", fish_candidates)):
                self.assertEqual(sorted(candidates(words, current)), expected.split(), (shell, words, current))

    def test_zsh_completes_their_common_beginning(self):
        for words, current, expected in CASES:
            common = os.path.commonprefix(expected.split())
            self.assertEqual(zsh_completed_word(words, current), common, (words, current))


if __name__ == "__main__":
    BRIGHTKEEP, COMPLETIONS = os.path.abspath(sys.argv.pop(1)), os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
