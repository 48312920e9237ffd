"""Spare driver JVMs: what makes two launches the same, when there are
none, and real spares claimed by the next start of their launch, passed over
when they should be, and ending leaving nothing. The real ones start JVMs in
fresh processes with a HOME and temporary folder of their own, spares on."""

import glob
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

from real_deps import missing_pyspark_and_java, require
from ruk.compute.spare import registry

DEBIAN_JDKS = sorted(glob.glob("/usr/lib/jvm/java-17-openjdk-*"))
_SCRIPT = Path(sys.executable).with_name("mur")
MUR = [str(_SCRIPT)] if _SCRIPT.exists() else [sys.executable, "-m", "ruk.cli"]


# --- the launch key, and where there are none ---------------------------------------------

# What changes the launch, and what doesn't: (what the test does, whether the key stays).
LAUNCH_CHANGES = {
    "nothing": (lambda project, patch: None, True),
    "another variable": (lambda project, patch: patch.setenv("RUK_TEST_EXTRA", "1"), False),
    "another directory": (lambda project, patch: patch.chdir(project / "sub"), False),
    "another umask": (lambda project, patch: os.umask(0o077), False),
    "a project JAR rewritten": (lambda project, patch: (project / "lib.jar").write_bytes(b"PK other"), False),
    "the logging file rewritten as it was": (lambda project, patch: (project / "log4j2").write_text("quiet"), True),
    "the logging file changed": (lambda project, patch: (project / "log4j2").write_text("loud"), False),
}


@pytest.mark.parametrize("case", list(LAUNCH_CHANGES))
def test_launch_key(tmp_path, monkeypatch, case):
    require(missing_pyspark_and_java())
    from ruk.compute.spare.launch_key import fingerprints, key_of, launch_inputs

    (tmp_path / "sub").mkdir()
    (tmp_path / "lib.jar").write_bytes(b"PK")
    (tmp_path / "log4j2").write_text("quiet")
    monkeypatch.chdir(tmp_path)
    settings = [("spark.jars", str(tmp_path / "lib.jar")),
                ("spark.driver.extraJavaOptions", f"-Dlog4j2.configurationFile=file:{tmp_path / 'log4j2'} -Da=b")]
    before = launch_inputs("mur", "local[2]", settings)
    change, same = LAUNCH_CHANGES[case]
    umask = os.umask(0o022)
    os.umask(umask)
    try:
        change(tmp_path, monkeypatch)
        after = launch_inputs("mur", "local[2]", settings)
    finally:
        os.umask(umask)
    assert (key_of(after) == key_of(before)) is same
    # A waiting spare sees a change of its files the same way.
    assert (fingerprints(before["files"]) == before["fingerprints"]) is (same or case.startswith("another"))


@pytest.mark.parametrize("switch", [{"CI": "true"}, {"MUR_SPARK_SPARE": "0"}, {"folder": 0o755},
                                    {"folder": 0o700, "owner": 65534}])
def test_no_spare_is_claimed_or_started(tmp_path, monkeypatch, switch):
    """Off under CI or MUR_SPARK_SPARE=0: nothing is made; a spare folder
    open to others, or another user's, is never used."""
    require(missing_pyspark_and_java())
    from ruk.compute import spare

    if "owner" in switch and os.geteuid() != 0:
        pytest.skip("only root can give a folder to another user")
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.delenv("CI", raising=False)
    monkeypatch.delenv("MUR_SPARK_SPARE", raising=False)
    for name, value in switch.items():
        if name == "folder":
            (tmp_path / ".mur" / "spare").mkdir(parents=True)
            (tmp_path / ".mur" / "spare").chmod(value)
            os.chown(tmp_path / ".mur" / "spare", switch.get("owner", -1), -1)
        elif name != "owner":
            monkeypatch.setenv(name, value)
    inputs, claimed = spare.claim("mur", "local[2]", [])
    assert claimed is None and (inputs is None) is ("folder" not in switch)
    assert spare.offer(inputs, None) is None
    assert [path.name for path in tmp_path.rglob("*")] == ([".mur", "spare"] if "folder" in switch else [])


# --- real spares ---------------------------------------------------------------------------

# A start in a fresh process: what its session sees, and (argv[1]) what its
# launch depended on, as the start handed it to the spare's claim.
SPARE_START = r"""
import json, os, sys
import ruk.compute.spare as spare
real_claim = spare.claim

def recorded(*args):
    inputs, claimed = real_claim(*args)
    with open(sys.argv[1], "w") as f:
        json.dump(inputs, f)
    return inputs, claimed

spare.claim = recorded
from pyspark import SparkContext
from ruk.compute.strategies.local import LocalStrategy
spark = LocalStrategy({}, app_name="mur").get_spark_session()
spark.sql("SELECT 1").collect()
system = spark.sparkContext._jvm.java.lang.System
system.out.println("JVM stdout line")
system.err.println("JVM stderr line")
extra = spark.sparkContext.parallelize([1], 1).map(lambda _: os.environ.get("RUK_TEST_EXTRA")).collect()[0]
print(json.dumps({"jvm": SparkContext._gateway.proc.pid, "user_dir": system.getProperty("user.dir"),
                  "extra": extra, "master": spark.sparkContext.master}))
"""
# The claim of a start with the launch recorded above, without a start.
SPARE_CLAIM_AGAIN = r"""
import json, os, sys
with open(sys.argv[1]) as f:
    recorded = json.load(f)
os.environ.clear()
os.environ.update(recorded["environment"])
import pyspark
from ruk.compute.spare import claim
conf = recorded["conf"]
inputs, claimed = claim(conf[0][1], conf[1][1], [tuple(pair) for pair in conf[2:]])
print(json.dumps({"same_launch": inputs == recorded, "claimed": claimed is not None}))
"""
SPARE_WAIT = 600


def _spare_env(tmp_path, **extra):
    """A HOME and temporary folder of the test's own (the JVM's too), spares on."""
    home, scratch = tmp_path / "home", tmp_path / "tmp"
    home.mkdir(exist_ok=True)
    scratch.mkdir(exist_ok=True)
    env = {name: value for name, value in os.environ.items()
           if name not in ("CI", "MUR_SPARK_SPARE", "PYTEST_CURRENT_TEST")}
    env.update(HOME=str(home), TMPDIR=str(scratch), SPARK_LOCAL_DIRS=str(scratch),
               _JAVA_OPTIONS=f"-Djava.io.tmpdir={scratch}", RUK_TEST_SPARE=str(tmp_path), **extra)
    if DEBIAN_JDKS:
        env["JAVA_HOME"] = DEBIAN_JDKS[0]
    return env


def _marked(tmp_path):
    """The processes whose environment carries the test's mark: every one of its starts, spares and JVMs."""
    mark = f"\0RUK_TEST_SPARE={tmp_path}\0".encode()
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if mark in b"\0" + f.read():
                    found.append(int(entry))
        except (OSError, ValueError):
            continue
    return found


def _until(check, what, env, limit=SPARE_WAIT):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        found = check()
        if found:
            return found
        time.sleep(0.2)
    log = Path(env["HOME"], ".mur", "spare", "spare.log")
    pytest.fail(f"no {what} within {limit} s; the spares' log:\n{log.read_text() if log.exists() else ''}")


def _spares(env, state=None):
    """The live spares of the test's HOME, by directory."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("HOME", env["HOME"])
        folder = registry.directory()
        records = registry.live_records(folder) if folder else []
    return {record["directory"]: record for record in records if state in (None, record.get("state"))}


def _run(script, env, cwd, *args):
    result = subprocess.run([sys.executable, "-c", script, *args], cwd=cwd, env=env, capture_output=True,
                            text=True, timeout=SPARE_WAIT)
    assert result.returncode == 0, result.stderr
    return result


def _start(env, cwd, record):
    result = _run(SPARE_START, env, cwd, str(record))
    *printed, report = result.stdout.splitlines()
    # Quiet, and what the JVM writes later reaches the caller's stdout and stderr.
    assert (printed, result.stderr) == (["JVM stdout line"], "JVM stderr line\n")
    return json.loads(report)


def _nothing_left(tmp_path, env, *projects):
    try:
        _until(lambda: not _marked(tmp_path), "end of every process of the test", env, 60)
    finally:
        for pid in _marked(tmp_path):
            os.kill(pid, 9)
    assert all(not os.listdir(project) for project in projects)
    assert sorted(os.listdir(env["TMPDIR"])) == ["mur_log4j2.properties"]
    folder = Path(env["HOME"], ".mur", "spare")
    assert not list(folder.glob("*.json")) + list(folder.glob("*.sock"))


def test_a_spare_serves_the_next_start_of_its_launch_and_only_it(tmp_path):
    """After a start, the next start of the same launch in another process
    claims a warm JVM and sees what a cold start sees; another directory or
    another variable starts cold; a spare whose secret was tampered with, or
    that was killed, is passed over silently; `mur spark spare` shows and stops them."""
    require(missing_pyspark_and_java())
    here, there = tmp_path / "here", tmp_path / "there"
    here.mkdir()
    there.mkdir()
    env, records = _spare_env(tmp_path), tmp_path / "records"
    records.mkdir()
    try:
        cold = _start(env, here, records / "cold.json")
        spare = _until(lambda: _spares(env, "ready").get(str(here)), "ready spare", env)
        listed = subprocess.run([*MUR, "spark", "spare"], env=env, capture_output=True, text=True, timeout=60)
        assert spare["key"][:12] in listed.stdout and " ready " in listed.stdout and str(here) in listed.stdout

        warm = _start(env, here, records / "warm.json")
        assert warm["jvm"] == spare["jvm_pid"] != cold["jvm"]
        assert warm == dict(cold, jvm=warm["jvm"]) == {"jvm": warm["jvm"], "user_dir": str(here), "extra": None,
                                                         "master": "local[2]"}
        elsewhere = _start(dict(env, RUK_TEST_EXTRA="1"), there, records / "elsewhere.json")
        assert (elsewhere["user_dir"], elsewhere["extra"]) == (str(there), "1")
        spares = _until(lambda: len(_spares(env, "ready")) == 2 and _spares(env), "two ready spares", env)
        assert elsewhere["jvm"] not in (spare["jvm_pid"], spares[str(there)]["jvm_pid"])

        # Tampered with: passed over, silently.
        record_file = Path(env["HOME"], ".mur", "spare", spares[str(here)]["key"] + ".json")
        record_file.write_text(json.dumps(dict(json.loads(record_file.read_text()), secret="0" * 32)))
        again = _run(SPARE_CLAIM_AGAIN, env, here, str(records / "warm.json"))
        assert (json.loads(again.stdout), again.stderr) == ({"same_launch": True, "claimed": False}, "")
        # Killed: its JVM ends with it, and it is passed over.
        os.kill(spares[str(there)]["pid"], 9)
        _until(lambda: registry.process_start(spares[str(there)]["jvm_pid"]) is None, "end of the killed spare's JVM", env, 60)
        again = _run(SPARE_CLAIM_AGAIN, env, there, str(records / "elsewhere.json"))
        assert (json.loads(again.stdout), again.stderr) == ({"same_launch": True, "claimed": False}, "")

        stopped = subprocess.run([*MUR, "spark", "spare", "stop"], env=env, capture_output=True, text=True,
                                 timeout=120)
        assert stopped.stdout == "Stopped 1 spare.\n"
        assert "No spare runs." in subprocess.run([*MUR, "spark", "spare"], env=env, capture_output=True,
                                                  text=True, timeout=60).stdout
    finally:
        _nothing_left(tmp_path, env, here, there)


def test_a_spare_ends_at_its_idle_limit_leaving_nothing(tmp_path):
    """Counted from its start: 20 s after the limit nothing of it runs."""
    require(missing_pyspark_and_java())
    idle = 20
    project = tmp_path / "project"
    project.mkdir()
    env = _spare_env(tmp_path, MUR_SPARK_SPARE_IDLE=str(idle))
    log = Path(env["HOME"], ".mur", "spare", "spare.log")
    try:
        _start(env, project, tmp_path / "inputs.json")
        started = _until(lambda: log.exists() and re.search(r"^(.{19}) .*: warming", log.read_text(), re.M),
                         "spare", env, 60)
        bound = time.mktime(time.strptime(started.group(1), "%Y-%m-%d %H:%M:%S")) + 1 + idle + 20
        while _marked(tmp_path):
            assert time.time() < bound, log.read_text()
            time.sleep(0.2)
        assert ": ended (" in log.read_text()
    finally:
        _nothing_left(tmp_path, env, project)
