"""run_tests.sh's Debian package step, against fake dpkg-query, apt-get and sudo on PATH."""

import os
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parent.parent / "run_tests.sh"

FAKES = {
    # dpkg-query -W -f=FORMAT PACKAGE: "installed" for the packages in $FAKE_INSTALLED
    "dpkg-query": 'for a; do p=$a; done\n'
                  'case " $FAKE_INSTALLED " in *" $p "*) printf installed;; *) exit 1;; esac\n',
    "apt-get": 'echo "$*" >>"$FAKE_LOG"\ncase " $* " in *" -s "*) printf "%s" "$FAKE_SIMULATION";; esac\n',
    "sudo": 'echo sudo >>"$FAKE_LOG"\nexec "$@"\n',
    "id": 'echo "$FAKE_UID"\n',
}


@pytest.mark.parametrize(
    "uid, installed, simulation, status, apt_calls, said",
    [
        (1000, "jdk sqlite pg", "", 0, [], ""),
        (0, "jdk pg", "Inst sqlite (1.0 Debian:12 [all])\n", 0,
         ["update -qq", "install -s --no-upgrade sqlite", "install -y -qq --no-upgrade sqlite"], "installing sqlite"),
        (1000, "jdk pg", "Inst sqlite (1.0 Debian:12 [all])\n", 0,
         ["sudo", "update -qq", "sudo", "install -s --no-upgrade sqlite", "sudo", "install -y -qq --no-upgrade sqlite"],
         "installing sqlite"),
        # the missing driver would pull a newer JDK: nothing is installed
        (0, "jdk", "Inst jdk [17.0.15] (17.0.21 Debian:12 [amd64])\nInst sqlite (1.0 Debian:12 [all])\n", 1,
         ["update -qq", "install -s --no-upgrade sqlite pg"], "jdk 17.0.15 -> 17.0.21"),
    ],
)
def test_only_missing_packages_are_installed_and_nothing_upgraded(tmp_path, uid, installed, simulation, status,
                                                                  apt_calls, said):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, body in FAKES.items():
        (bin_dir / name).write_text("#!/bin/sh\n" + body)
        (bin_dir / name).chmod(0o755)
    log = tmp_path / "apt.log"
    log.touch()
    env = dict(os.environ, PATH=f"{bin_dir}:/usr/bin:/bin", FAKE_INSTALLED=installed,
               FAKE_SIMULATION=simulation, FAKE_LOG=str(log), FAKE_UID=str(uid))
    result = subprocess.run(["bash", "-c", f'source "{SCRIPT}" && install_packages jdk sqlite pg'],
                            env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == status, result.stderr
    assert log.read_text().splitlines() == apt_calls
    assert said in result.stderr
