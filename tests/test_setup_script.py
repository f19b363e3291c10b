"""scripts/setup.sh installs the build's Debian packages as root, through sudo, or tells
the user the one command to run: run against stand-in commands that record their calls."""
from __future__ import annotations

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGES = "nlohmann-json3-dev libpcre2-dev libonig-dev libicu-dev g++"


def _stub(bin_dir: pathlib.Path, name: str, body: str) -> None:
    path = bin_dir / name
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)


def run_setup(tmp_path: pathlib.Path, uid: int, with_sudo: bool) -> tuple[subprocess.CompletedProcess, list[str]]:
    """Runs a copy of setup.sh where the packages are missing and no CPython 3.12 exists
    (so it stops right after the package step); returns the run and the logged calls."""
    tree = tmp_path / "tree"
    (tree / "scripts").mkdir(parents=True)
    shutil.copy(ROOT / "scripts" / "setup.sh", tree / "scripts" / "setup.sh")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    log = tmp_path / "calls.log"
    for tool in ("dirname", "env", "cat"):
        os.symlink(shutil.which(tool), bin_dir / tool)
    _stub(bin_dir, "id", f'[ "$1" = -u ] && echo {uid}')
    _stub(bin_dir, "dpkg", "exit 1")  # nothing installed
    _stub(bin_dir, "apt-get", f'echo "apt-get $*" >> {log}')
    if with_sudo:
        _stub(bin_dir, "sudo", f'echo "sudo $1" >> {log}; exec "$@"')
    proc = subprocess.run([shutil.which("bash"), str(tree / "scripts" / "setup.sh")], capture_output=True,
                          text=True, env={"PATH": str(bin_dir), "HOME": str(tmp_path)}, timeout=60)
    calls = log.read_text().splitlines() if log.exists() else []
    return proc, calls


@pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")
@pytest.mark.parametrize("uid, with_sudo, expected", [
    (0, False, ["apt-get update -qq", f"apt-get install -y -qq {PACKAGES}"]),
    (0, True, ["apt-get update -qq", f"apt-get install -y -qq {PACKAGES}"]),
    (1000, True, ["sudo apt-get", "apt-get update -qq", "sudo env", f"apt-get install -y -qq {PACKAGES}"]),
], ids=["root", "root with sudo at hand", "user with sudo"])
def test_packages_installed_as_root_or_through_sudo(tmp_path, uid, with_sudo, expected):
    proc, calls = run_setup(tmp_path, uid, with_sudo)
    assert calls == expected
    # It then goes on to look for CPython 3.12, which this stand-in system lacks.
    assert "CPython 3.12 not found" in proc.stderr
    assert proc.returncode == 1


@pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")
def test_user_without_sudo_gets_the_command_to_run(tmp_path):
    proc, calls = run_setup(tmp_path, 1000, with_sudo=False)
    assert calls == []
    assert proc.returncode == 1
    assert f"\n  apt-get install -y {PACKAGES}\n" in proc.stderr
    assert "CPython" not in proc.stderr
