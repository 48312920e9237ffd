"""The driver JVM's class-data-sharing archive: its key, its validation and
pruning without a JVM, then the real thing in fresh processes (one build)."""

import glob
import json
import os
import shutil
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from ruk.compute import class_data_sharing as cds
from real_deps import missing_pyspark_and_java, require

SOME_OPTIONS = "-Dlog4j2.configurationFile=file:/tmp/x --add-opens=java.base/java.lang=ALL-UNNAMED"


# --- the key ---------------------------------------------------------------------------


@pytest.fixture
def setup_env(tmp_path, monkeypatch, make_fake_java_home):
    """A fake Java home and Spark home, one project JAR: the inputs of a key."""
    require([m for m in missing_pyspark_and_java() if m == "PySpark"])
    java_home = make_fake_java_home(tmp_path / "jdk", "17.0.15")
    spark_home = tmp_path / "spark"
    (spark_home / "jars").mkdir(parents=True)
    (spark_home / "jars" / "spark-core.jar").write_bytes(b"core")
    project_jar = tmp_path / "driver.jar"
    project_jar.write_bytes(b"jdbc")
    for name in cds._SETUP_ENV:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("JAVA_HOME", str(java_home))
    monkeypatch.setenv("SPARK_HOME", str(spark_home))
    return tmp_path


def _key(options=SOME_OPTIONS, jars=None, config=None):
    setup = cds.driver_setup(options, jars if jars is not None else [], config or {})
    return None if setup is None else cds.setup_key(setup)


@pytest.mark.parametrize(
    "change, same",
    [
        (lambda t, mp: None, True),
        (lambda t, mp: {"options": SOME_OPTIONS + " -Xlog:class+load=info:file=/tmp/l -Dx=y"}, True),
        (lambda t, mp: {"config": {"spark.driver.memory": "4g", "spark.sql.shuffle.partitions": "3"}}, True),
        (lambda t, mp: {"config": {"spark.driver.memory": "64g"}}, False),
        (lambda t, mp: {"options": SOME_OPTIONS + " -XX:-UseCompressedOops"}, False),
        (lambda t, mp: {"config": {"spark.driver.defaultJavaOptions": "-XX:+UseZGC"}}, False),
        (lambda t, mp: mp.setenv("_JAVA_OPTIONS", "-XX:+UseSerialGC"), False),
        (lambda t, mp: (t / "driver.jar").write_bytes(b"jdbc driver, new release"), False),
        (lambda t, mp: {"jars": []}, False),
        (lambda t, mp: (t / "spark" / "jars" / "extra.jar").write_bytes(b"x"), False),
        (lambda t, mp: (t / "jdk" / "release").write_text('JAVA_VERSION="17.0.16"\n'), False),
    ],
    ids=["unchanged", "logging-options", "small-heap-and-settings", "large-heap", "vm-option",
         "default-java-options", "java-options-env", "project-jar-changed", "project-jar-gone",
         "spark-jar-added", "java-updated"],
)
def test_key_follows_what_sharing_depends_on(setup_env, monkeypatch, change, same):
    jars = [str(setup_env / "driver.jar")]
    before = _key(jars=jars)
    args = dict(jars=jars)
    changed = change(setup_env, monkeypatch)
    args.update(changed if isinstance(changed, dict) else {})
    after = _key(**args)
    assert before is not None and after is not None
    assert (after == before) is same


@pytest.mark.parametrize(
    "env, config",
    [({"_JAVA_OPTIONS": "-Xshare:off"}, {}),
     ({}, {"spark.driver.defaultJavaOptions": "-XX:SharedArchiveFile=/mine.jsa"}),
     ({"JAVA_HOME": None}, {})],
    ids=["sharing-off-by-user", "own-archive", "no-java-home"],
)
def test_no_archive_where_the_user_manages_sharing(setup_env, monkeypatch, env, config):
    for name, value in env.items():
        if value is None:
            monkeypatch.delenv(name)
        else:
            monkeypatch.setenv(name, value)
    assert cds.driver_setup(SOME_OPTIONS, [], config) is None
    assert cds.driver_options(SOME_OPTIONS, [], config) == ""


# --- validation and pruning -------------------------------------------------------------


def _plant(directory: Path, key: str, mtime=None):
    directory.mkdir(mode=0o700, exist_ok=True)
    archive = directory / f"{key}.jsa"
    with open(archive, "wb") as f:
        f.write(cds.DYNAMIC_MAGIC)
        f.truncate(cds.MIN_ARCHIVE_SIZE)
    archive.chmod(0o600)
    if mtime is not None:
        os.utime(archive, (mtime, mtime))
    cds.write_meta(str(directory), key)
    return archive


def _tamper(kind, directory, archive):
    if kind == "truncated":
        with open(archive, "r+b") as f:
            f.truncate(cds.MIN_ARCHIVE_SIZE - 4096)
    elif kind == "size-differs":
        with open(archive, "ab") as f:
            f.write(b"\0" * 8)
    elif kind == "written-times-reset":
        info = archive.stat()
        with open(archive, "r+b") as f:
            f.seek(cds.MIN_ARCHIVE_SIZE // 2)
            f.write(b"damage")
        os.utime(archive, ns=(info.st_atime_ns, info.st_mtime_ns))
    elif kind == "replaced-by-a-copy":
        shutil.copy2(archive, directory / "copy")
        os.replace(directory / "copy", archive)
    elif kind == "not-an-archive":
        with open(archive, "r+b") as f:
            f.write(b"\0\0\0\0")
    elif kind == "world-writable":
        archive.chmod(0o666)
    elif kind == "directory-group-writable":
        directory.chmod(0o770)
    elif kind == "other-owner":
        if os.geteuid() != 0:
            pytest.skip("changing a file's owner needs root")
        os.chown(archive, 65534, 65534)
    elif kind == "symlink":
        real = directory / "elsewhere.bin"
        archive.rename(real)
        archive.symlink_to(real)
    elif kind == "meta-for-another-key":
        meta = directory / (archive.stem + ".json")
        meta.write_text(meta.read_text().replace(archive.stem, "0" * 32))
    elif kind == "meta-missing":
        (directory / (archive.stem + ".json")).unlink()


@pytest.mark.parametrize("kind", ["none", "truncated", "size-differs", "written-times-reset", "replaced-by-a-copy",
                                  "not-an-archive", "world-writable",
                                  "directory-group-writable", "other-owner", "symlink", "meta-for-another-key",
                                  "meta-missing"])
def test_only_an_intact_archive_of_our_own_is_used(tmp_path, kind):
    directory = tmp_path / "cds"
    key = "a" * 32
    archive = _plant(directory, key)
    _tamper(kind, directory, archive)
    found = cds.valid_archive(str(directory), key)
    assert found == (str(archive) if kind == "none" else None)


def test_an_archive_path_that_options_would_split_is_not_used(tmp_path):
    directory = tmp_path / "a b:c"
    _plant(directory, "b" * 32)
    assert cds.valid_archive(str(directory), "b" * 32) is None


def test_prune_keeps_the_newest_archives_and_live_temporaries(tmp_path):
    directory = tmp_path / "cds"
    now = time.time()
    keys = [c * 32 for c in "abcde"]
    for age, key in enumerate(keys):
        _plant(directory, key, mtime=now - 100 * age)
    stale = directory / f".{'f' * 32}.1.tmp"
    fresh = directory / f".{'f' * 32}.2.tmp"
    for path, age in ((stale, cds.STALE_TEMP_AFTER + 60), (fresh, 0)):
        path.write_bytes(b"partial")
        os.utime(path, (now - age, now - age))
    cds.prune(str(directory), keep=3)
    left = sorted(p.name for p in directory.iterdir())
    expected = sorted([f"{k}.{ext}" for k in keys[:3] for ext in ("jsa", "json")] + [fresh.name])
    assert left == expected


def test_a_missing_archive_starts_one_detached_builder(setup_env, monkeypatch):
    directory = setup_env / "home" / "cds"
    monkeypatch.setenv(cds.DIRECTORY_ENV, str(directory))
    monkeypatch.delenv(cds.SWITCH_ENV)
    started = []
    stand_in = subprocess.Popen(["sleep", "60"], start_new_session=True)  # takes the builder's place
    outside = subprocess.Popen(["sleep", "60"])  # a process of this session, as a builder started by hand

    class Recorder:
        def __init__(self, args, **kwargs):
            started.append((args, kwargs))
            self.pid = stand_in.pid

    monkeypatch.setattr(cds.subprocess, "Popen", Recorder)
    try:
        assert cds.driver_options(SOME_OPTIONS, [], {}) == ""
        # Idle priority from the moment it exists, not once its interpreter is up.
        fields = open(f"/proc/{stand_in.pid}/stat").read().rsplit(")", 1)[1].split()
        assert (int(fields[16]), int(fields[38])) == (19, os.SCHED_IDLE)  # nice, policy
        if os.path.exists("/proc/self/autogroup"):  # a kernel that groups by session
            assert open(f"/proc/{stand_in.pid}/autogroup").read().endswith(" nice 19\n")
            # The group of a process that leads no session is its whole
            # session's: lowering that process leaves the group alone.
            ours = open("/proc/self/autogroup").read()
            cds._lowest_priority(outside.pid)
            assert open("/proc/self/autogroup").read() == ours
    finally:
        for process in (stand_in, outside):
            process.kill()
            process.wait()
    (args, kwargs), = started
    assert kwargs["start_new_session"] and kwargs["stdin"] == subprocess.DEVNULL
    assert isinstance(kwargs["stdout"], int) and kwargs["stdout"] == kwargs["stderr"]  # the build log, not ours
    assert kwargs["env"][cds.SWITCH_ENV] == "0"
    assert json.loads(args[-1])["config"]["master"] == "local[1]"
    assert oct(directory.stat().st_mode & 0o777) == "0o700"

    # A builder that holds the lock, or one that failed lately: no second one.
    key = cds.setup_key(cds.driver_setup(SOME_OPTIONS, [], {}))
    import fcntl
    with open(directory / f"{key}.lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        assert cds.driver_options(SOME_OPTIONS, [], {}) == ""
    (directory / f"{key}.failed").write_text("boom")
    assert cds.driver_options(SOME_OPTIONS, [], {}) == ""
    assert len(started) == 1

    # The switch: nothing looked up, nothing started.
    monkeypatch.setenv(cds.SWITCH_ENV, "0")
    (directory / f"{key}.failed").unlink()
    assert cds.driver_options(SOME_OPTIONS, [], {}) == ""
    assert len(started) == 1

    monkeypatch.delenv(cds.SWITCH_ENV)
    archive = _plant(directory, key)
    options = cds.driver_options(SOME_OPTIONS, [], {})
    assert options == f" -XX:SharedArchiveFile={archive} {cds.SILENT_OPTIONS}"
    assert len(started) == 1

    # Later starts on the JVM that start launched: the same options, so its
    # default matches what the JVM was given, and no lookup.
    monkeypatch.setattr(cds, "_jvm_running", lambda: True)
    monkeypatch.setattr(cds, "valid_archive", None)
    assert cds.driver_options(SOME_OPTIONS, [], {}) == options


@pytest.mark.parametrize("busy, waited", [
    ([0.9, 0.3], 2.0),  # the start's CPU use ends: go
    ([0.9] * 10, 5.0),  # busy throughout: go at the limit anyway
    ([], 0.0),          # no /proc/stat: go at once
])
def test_builder_waits_for_a_spare_core_within_a_limit(monkeypatch, busy, waited):
    clock = [0.0]
    readings = [(0, 0)]
    for fraction in busy:
        readings.append((readings[-1][0] + int(fraction * 100), readings[-1][1] + 100))
    readings = iter(readings if busy else [None])
    monkeypatch.setattr(cds, "_cpu_times", lambda: next(readings))
    monkeypatch.setattr(cds.time, "sleep", lambda seconds: clock.__setitem__(0, clock[0] + seconds))
    monkeypatch.setattr(cds.time, "monotonic", lambda: clock[0])
    monkeypatch.setattr(cds.os, "cpu_count", lambda: 2)
    assert cds._wait_for_spare_core(limit=5.0, interval=1.0) == waited


# --- real PySpark and Java: one build, then fresh processes -----------------------------

_FIRST_START = textwrap.dedent("""
    import json, os, subprocess, sys
    from ruk.compute import class_data_sharing as cds
    from ruk.compute.strategies.local import LocalStrategy

    strategy = LocalStrategy({"spark.driver.defaultJavaOptions": sys.argv[1]}, app_name="first")
    spark = strategy.get_spark_session()
    spark.sql("SELECT 1").collect()
    first = cds.last_builder
    # A second builder for the same key, while the first one runs.
    log = open(os.path.join(cds.archive_directory(), "build.log"), "ab")
    second = subprocess.Popen(first.args, env=dict(os.environ, MUR_SPARK_CDS="0"), start_new_session=True,
                              stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    statuses = [first.wait(timeout=1200), second.wait(timeout=1200)]
    print("RESULT " + json.dumps(statuses))
""")


def _class_log_option(path: Path) -> str:
    return f"-Xlog:class+load=info:file={path}"


def _from_archive(class_log: Path) -> bool:
    """The JVM's own word: Spark's context class came from the top-layer archive."""
    text = class_log.read_text()
    assert "org.apache.spark.SparkContext source:" in text
    return "org.apache.spark.SparkContext source: shared objects file (top)" in text


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """A first start in a fresh process, with a second builder racing the first."""
    require(missing_pyspark_and_java())
    root = tmp_path_factory.mktemp("cds")
    env = dict(os.environ, HOME=str(root), **{cds.DIRECTORY_ENV: str(root / "archives")})
    env.pop(cds.SWITCH_ENV, None)
    for name in ("_JAVA_OPTIONS", "PYSPARK_SUBMIT_ARGS", "MUR_SPARK_KEEP_ALIVE"):
        env.pop(name, None)
    class_log = root / "first.log"
    result = subprocess.run([sys.executable, "-c", _FIRST_START, _class_log_option(class_log)],
                            env=env, cwd=root, capture_output=True, text=True, timeout=1800)
    assert result.returncode == 0, result.stdout + result.stderr
    yield root, env, result, class_log
    shutil.rmtree(root)  # two archives of about 150 MB: gone with the module, not at the end of the run


def _check(root, env, name, **extra):
    class_log = root / f"{name}.log"
    command = [sys.executable, "-m", "ruk.cli", "spark", "check",
               "--conf", f"spark.driver.defaultJavaOptions={_class_log_option(class_log)}"]
    process = subprocess.Popen(command, env=dict(env, **extra), cwd=root, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return process, class_log


def test_archive_is_built_once_then_used_corrupt_falls_back_and_switch_turns_it_off(built):
    root, env, first, first_log = built
    directory = root / "archives"
    statuses = json.loads(first.stdout.split("RESULT ", 1)[1])
    assert statuses == [0, 0]
    archives = sorted(p.name for p in directory.iterdir() if not p.name.endswith((".lock", ".log")))
    assert len(archives) == 2 and archives[0].endswith(".jsa") and archives[1].endswith(".json"), archives
    log = (directory / "build.log").read_text()
    assert log.count("building") == 1 and ("another builder is at work" in log or "already there" in log), log
    assert not _from_archive(first_log)

    # A copy recorded as valid, then damaged in the middle (right size and
    # magic, which the JVM would map and fail on); no builder to replace it.
    damaged = root / "damaged"
    shutil.copytree(directory, damaged)
    archive = next(damaged.glob("*.jsa"))
    cds.write_meta(str(damaged), archive.stem)
    with open(archive, "r+b") as f:
        f.seek(archive.stat().st_size // 2)
        f.write(os.urandom(1 << 20))
    (damaged / f"{archive.stem}.failed").write_text("")

    # Three fresh processes at once: archive present, switched off, damaged.
    runs = {
        "used": _check(root, env, "used"),
        "off": _check(root, env, "off", **{cds.SWITCH_ENV: "0"}),
        "damaged": _check(root, env, "damaged", **{cds.DIRECTORY_ENV: str(damaged)}),
    }
    outputs = {}
    for name, (process, class_log) in runs.items():
        out, err = process.communicate(timeout=900)
        assert process.returncode == 0, out + err
        archive_line = next(line for line in out.splitlines() if line.startswith("Archive:"))
        outputs[name] = (out, err, archive_line, _from_archive(class_log))

    assert outputs["used"][3] and "archive used" in outputs["used"][2]
    assert not outputs["off"][3] and "turned off by MUR_SPARK_CDS=0" in outputs["off"][2]
    assert not outputs["damaged"][3] and outputs["damaged"][2] == "Archive: none used"
    # Nothing extra on either stream, whatever happened to the archive.
    counts = {name: (len(out.splitlines()), len(err.splitlines())) for name, (out, err, _, _) in outputs.items()}
    assert len(set(counts.values())) == 1, counts
    assert len(first.stderr.splitlines()) == counts["off"][1], first.stderr


@pytest.mark.parametrize("java_home", sorted(glob.glob("/usr/lib/jvm/*/bin/java")) or ["none"])
def test_the_jvm_rejects_an_archive_silently(tmp_path, java_home):
    """Should an archive still not fit (another JVM build, a class path that
    moved), the JVM drops it and says nothing on either stream."""
    if java_home == "none":
        require(["Java"])
    bogus = tmp_path / "bogus.jsa"
    with open(bogus, "wb") as f:
        f.write(cds.DYNAMIC_MAGIC + b"\x13\0\0\0")
        f.truncate(cds.MIN_ARCHIVE_SIZE)
    env = {k: v for k, v in os.environ.items() if k not in ("_JAVA_OPTIONS", "JAVA_TOOL_OPTIONS", "JDK_JAVA_OPTIONS")}
    plain = subprocess.run([java_home, "-version"], capture_output=True, text=True, env=env)
    options = f"-XX:SharedArchiveFile={bogus} {cds.SILENT_OPTIONS}".split()
    rejected = subprocess.run([java_home, *options, "-version"], capture_output=True, text=True, env=env)
    assert rejected.returncode == plain.returncode == 0
    assert ", sharing" not in rejected.stderr  # rejected: the JVM then runs without any archive
    assert rejected.stdout == plain.stdout == ""
    assert len(rejected.stderr.splitlines()) == len(plain.stderr.splitlines())
