"""The Python surface held against the committed stub (`make stub` after a reviewed change)."""

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def run(*command, **env):
    return subprocess.run(command, capture_output=True, text=True, cwd=ROOT, env={**os.environ, **env})


def test_the_stub_is_what_the_generator_writes_from_this_module():
    written = run(sys.executable, "stubs/make_stub.py")
    assert written.returncode == 0, written.stderr
    assert written.stdout == (ROOT / "stubs/halvane.pyi").read_text(), "run `make stub`"


def test_stubtest_finds_the_stub_consistent_with_the_module(tmp_path):
    checked = run(sys.executable, "-m", "mypy.stubtest", "halvane", "--mypy-config-file", os.devnull,
                  MYPYPATH=str(ROOT / "stubs"), MYPY_CACHE_DIR=str(tmp_path))
    assert checked.returncode == 0, checked.stdout + checked.stderr
