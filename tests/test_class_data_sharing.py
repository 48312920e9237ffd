"""The driver JVM's class-data-sharing archive: its key, its validation and
pruning without a JVM, then the real thing in fresh processes (one build)."""

import glob
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

from ruk.compute.archive import build
from ruk.compute.archive import spawn as builder
from ruk.compute.archive import files
from ruk.compute.archive import request as driver_archive
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
    for name in driver_archive.SETUP_ENV:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("JAVA_HOME", str(java_home))
    monkeypatch.setenv("SPARK_HOME", str(spark_home))
    return tmp_path


def _asked(options=SOME_OPTIONS, jars=(), config=None):
    """What a start that launches its JVM asks (None: nothing), and the options it adds."""
    asked = driver_archive.start_request(options, list(jars), config or {})
    return asked, asked["options"] if asked else ""


def _key(options=SOME_OPTIONS, jars=None, config=None):
    setup = driver_archive.driver_setup(options, jars if jars is not None else [], config or {})
    return None if setup is None else driver_archive.setup_key(setup)


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
        (lambda t, mp: {"config": {"spark.sql.extensions.test.loadFromCp": "false"}}, False),
    ],
    ids=["unchanged", "logging-options", "small-heap-and-settings", "large-heap", "vm-option",
         "default-java-options", "java-options-env", "project-jar-changed", "project-jar-gone",
         "spark-jar-added", "java-updated", "extension-search"],
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
     ({}, {"spark.driver.defaultJavaOptions": "-XX:AOTCacheOutput=/mine.aot"}),
     ({"JDK_JAVA_OPTIONS": "-XX:AOTConfiguration=/mine.conf"}, {}),
     ({"JAVA_HOME": None}, {})],
    ids=["sharing-off-by-user", "own-archive", "own-aot-training", "own-aot-configuration", "no-java-home"],
)
def test_no_archive_where_the_user_manages_sharing(setup_env, monkeypatch, env, config):
    for name, value in env.items():
        if value is None:
            monkeypatch.delenv(name)
        else:
            monkeypatch.setenv(name, value)
    assert driver_archive.driver_setup(SOME_OPTIONS, [], config) is None
    assert _asked(config=config) == (None, "")


# --- validation and pruning -------------------------------------------------------------


def _plant(directory: Path, key: str, mtime=None, kind="cds", magic=None):
    directory.mkdir(mode=0o700, exist_ok=True)
    archive = directory / f"{key}{files.KINDS[kind]['suffix']}"
    with open(archive, "wb") as f:
        f.write(magic or files.KINDS[kind]["magic"])
        f.truncate(files.MIN_ARCHIVE_SIZE)
    archive.chmod(0o600)
    if mtime is not None:
        os.utime(archive, (mtime, mtime))
    files.write_meta(str(directory), key, kind)
    return archive


def _tamper(kind, directory, archive):
    if kind == "truncated":
        with open(archive, "r+b") as f:
            f.truncate(files.MIN_ARCHIVE_SIZE - 4096)
    elif kind == "size-differs":
        with open(archive, "ab") as f:
            f.write(b"\0" * 8)
    elif kind == "written-times-reset":
        info = archive.stat()
        with open(archive, "r+b") as f:
            f.seek(files.MIN_ARCHIVE_SIZE // 2)
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
    found = files.valid_archive(str(directory), key)
    assert found == (str(archive) if kind == "none" else None)


@pytest.mark.parametrize("name, used", [("José Home", True), ("it's \"quoted\" \\", True), ("a:b", False)])
def test_an_archive_path_is_quoted_for_spark_or_named_where_it_cannot_be_passed(setup_env, monkeypatch, name, used):
    directory = setup_env / name / "cds"
    directory.parent.mkdir()
    monkeypatch.setenv(files.DIRECTORY_ENV, str(directory))
    monkeypatch.delenv(driver_archive.SWITCH_ENV)
    archive = _plant(directory, _key())
    asked, options = _asked()
    # Spark's launcher splits the driver's options as a POSIX shell would.
    assert shlex.split(options)[:1] == ([f"-XX:SharedArchiveFile={archive}"] if used else [])
    assert (asked["unusable"] is None) is used


def test_prune_keeps_the_archives_used_last_within_bounds(tmp_path):
    directory = tmp_path / "cds"
    now = time.time()
    keys = [c * 32 for c in "abcde"]
    for age, key in enumerate(keys):  # "a" built last, "e" first (an ahead-of-time cache)
        _plant(directory, key, mtime=now - 100 * (age + 1), kind="aot" if key[0] == "e" else "cds")
        os.utime(directory / f"{key}.json", (now - 100 * (age + 1),) * 2)
    files.note_use(str(directory), "e" * 32)  # the oldest build, in daily use
    # The user's own files, named like a builder's but not quite: never removed.
    foreign = ["0" * 32 + ".lock", "notes.failed", "package.json", "data.jsa", "F" * 32 + ".jsa"]
    for name in foreign:
        (directory / name).write_bytes(b"mine")
        os.utime(directory / name, (0, 0))
    files.prune(str(directory), keep_key="d" * 32, keep=3)
    assert sorted(p.name for p in directory.iterdir()) == sorted(foreign + [
        f"{k * 32}.{ext}" for k in "ade" for ext in ("aot" if k == "e" else "jsa", "json")])
    # The disk bound: only what fits, the archive just built first.
    files.prune(str(directory), keep_key="d" * 32, keep_bytes=files.MIN_ARCHIVE_SIZE)
    assert sorted(p.name for p in directory.iterdir()) == sorted(foreign + ["d" * 32 + ".jsa", "d" * 32 + ".json"])


@pytest.mark.parametrize("case, status, words", [
    ("nothing", "none", "next start builds it"),
    ("archive", "there", "there: "),
    ("builder here", "building", f"being built by pid {os.getpid()} since"),
    ("builder elsewhere", "building", "by pid 7 on other-host"),
    ("builder of another key", "waiting", "waiting: pid"),
    ("builder of another home", "waiting", f"another builder of yours is at work, pid {os.getpid()} since"),
    ("builder elsewhere, gone", "abandoned", "by pid 7 on other-host since"),
    ("starved", "failed", "tried again at the next start"),
    ("refused", "blocked", "or by 'mur spark archive build'"),
    ("refused, builder of another home", "blocked", "or by 'mur spark archive build'"),
])
def test_status_says_where_the_archive_stands(tmp_path, monkeypatch, case, status, words):
    from ruk.compute.archive import status as archive_status

    directory, key = tmp_path / "cds", "a" * 32
    directory.mkdir(mode=0o700)
    (directory / "package.json").write_text("{}")  # the user's, in a folder shared with the archives
    monkeypatch.setenv(builder.LOCK_DIR_ENV, str(tmp_path / "lock"))
    asked = {"directory": str(directory), "key": key, "archive": None, "unusable": None}
    held = builder.user_lock(directory="/elsewhere", key=key) if "another home" in case else None
    if case == "archive":
        asked["archive"] = str(_plant(directory, key))
    if case.startswith("builder") and not held:
        host, pid = ("other-host", 7) if "elsewhere" in case else (files.host_name(), os.getpid())
        status_file = directory / f".build~{host}~{pid}~{'b' * 32 if 'another' in case else key}.json"
        status_file.write_text('{"since": 0}')
        (directory / f".tmp~{host}~{pid}~{key}.jsa").write_bytes(b"partial")
        if "gone" in case:  # its host went down hours ago
            os.utime(status_file, (time.time() - files.WALL_LIMIT - 60,) * 2)
    elif case == "starved" or case.startswith("refused"):
        files.record_failure(str(directory), key, "bound" if case == "starved" else files.REFUSED, "why\nmore")
    state = archive_status.state(asked)
    assert state["status"] == status and words in state["text"], state
    # Clearing waits for a builder of this host; another host's work is left
    # alone unless abandoned; the user's own files stay and are named.
    if case in ("builder here", "builder of another key") or held:
        with pytest.raises(RuntimeError, match=f"pid {os.getpid()}"):
            archive_status.clear(str(directory))
        os.close(held) if held else None
    else:
        assert archive_status.clear(str(directory))[2] == ["package.json"]
        left = [p.name for p in directory.iterdir() if p.name != "package.json"]
        assert (directory / "package.json").exists() and all("~other-host~" in name for name in left)
        assert len(left) == 2 * (case == "builder elsewhere"), left


def test_an_unexpected_error_is_logged_and_shown_and_the_start_goes_on(setup_env, monkeypatch):
    from ruk.compute.archive import status as archive_status

    directory = setup_env / "cds"
    directory.mkdir(mode=0o700)
    monkeypatch.setenv(files.DIRECTORY_ENV, str(directory))
    monkeypatch.delenv(driver_archive.SWITCH_ENV)
    monkeypatch.setattr(driver_archive, "setup_key", lambda setup: 1 / 0)
    assert _asked() == (None, "")
    assert "Traceback" in (directory / "build.log").read_text()
    assert archive_status.last_error(str(directory)).endswith("choice of a start's archive: ZeroDivisionError: "
                                                              "division by zero")


def test_a_pyspark_without_its_internal_gets_no_archive_and_a_warning(setup_env, monkeypatch):
    import pyspark.find_spark_home

    monkeypatch.delattr(pyspark.find_spark_home, "_find_spark_home")
    with pytest.warns(RuntimeWarning, match="_find_spark_home: the local strategy uses no class-data-sharing"):
        assert driver_archive.driver_setup(SOME_OPTIONS, [], {}) is None


@pytest.mark.parametrize("busy, freed", [
    ([0.9, 0.3], True),   # the start's CPU use ends: build
    ([0.9] * 10, False),  # busy throughout: give up for this time
    ([], True),           # no /proc/stat: nothing to wait for
])
def test_builder_builds_only_once_a_core_is_spare(monkeypatch, busy, freed):
    clock = [0.0]
    readings = [(0, 0)]
    for fraction in busy:
        readings.append((readings[-1][0] + int(fraction * 100), readings[-1][1] + 100))
    readings = iter(readings if busy else [None])
    monkeypatch.setattr(build, "_cpu_times", lambda: next(readings))
    monkeypatch.setattr(build.time, "sleep", lambda seconds: clock.__setitem__(0, clock[0] + seconds))
    monkeypatch.setattr(build.time, "monotonic", lambda: clock[0])
    monkeypatch.setattr(build.os, "cpu_count", lambda: 2)
    assert build._wait_for_spare_core(limit=5.0, interval=1.0) is freed


@pytest.mark.parametrize("tmp", ["/tmp", "/tmp/a b", "/tmp/it's"])
def test_switch_and_found_archive_whatever_the_logging_files_path(setup_env, monkeypatch, tmp):
    from ruk.compute.start.plan import driver_java_options

    directory = setup_env / "cds"
    monkeypatch.setenv(files.DIRECTORY_ENV, str(directory))
    archive = _plant(directory, _key(driver_java_options("/elsewhere/mur_log4j2.properties")))
    options = driver_java_options(f"{tmp}/mur_log4j2.properties")
    assert _asked(options) == (None, "")  # MUR_SPARK_CDS=0, as the suite runs
    monkeypatch.delenv(driver_archive.SWITCH_ENV)
    # The logging file's option, quoted for Spark where its path needs it, is no part of the key.
    assert _asked(options)[1] == f" -XX:SharedArchiveFile={archive} {files.SILENT_OPTIONS}"


@pytest.mark.parametrize("version, kind", [("25.0.1", "aot"), ("26-ea", "aot"), ("21.0.7", "cds"), (None, "cds")])
def test_java_25_and_later_use_an_ahead_of_time_cache_of_their_own(setup_env, monkeypatch, make_fake_java_home,
                                                                   version, kind):
    java_home = make_fake_java_home(setup_env / "jdk-x", version or "17")
    if version is None:
        (java_home / "release").unlink()
    monkeypatch.setenv("JAVA_HOME", str(java_home))
    monkeypatch.delenv(driver_archive.SWITCH_ENV)
    directory = setup_env / "cds"
    monkeypatch.setenv(files.DIRECTORY_ENV, str(directory))
    key = _key()
    other = "cds" if kind == "aot" else "aot"
    # The other kind's file under the same key, and this kind's name with the
    # other kind's magic: neither is handed to the JVM.
    _plant(directory, key, kind=other)
    asked, options = _asked()
    assert options == "" and asked["spec"]["kind"] == kind
    _plant(directory, key, kind=kind, magic=files.KINDS[other]["magic"])
    assert _asked()[1] == ""
    archive = _plant(directory, key, kind=kind)
    flag = {"aot": "-XX:AOTCache=", "cds": "-XX:SharedArchiveFile="}[kind]
    asked, options = _asked()
    assert options.startswith(f" {flag}{archive} -Xlog:") and asked["archive"] == str(archive)


def _modes(root: Path) -> dict:
    return {str(p.relative_to(root)): p.stat().st_mode & 0o7777 for p in sorted(root.rglob("*"))}


# Another user's account for ownership cases; root can give files away.
NOBODY = 65534


@pytest.mark.parametrize("layout, used", [
    ("private", True),
    ("home writable by its group", False),
    ("~/.mur made with umask 002", False),
    ("~/.mur a link to a directory anyone can write", False),
    ("home owned by another user", False),
    ("MUR_CDS_DIR below a directory others can write", False),
    ("MUR_CDS_DIR below a sticky root-owned directory", True),
])
def test_archive_path_is_safe_from_other_users_up_to_home_or_root(setup_env, monkeypatch, layout, used):
    """The JVM opens the path seconds later: every directory on it must be
    one that no other user can change, or the archive is neither used nor
    built. The JVM gets the path without links."""
    if ("another user" in layout or "root-owned" in layout) and os.geteuid() != 0:
        pytest.skip("giving a directory to another user or to root needs root")
    home = setup_env / "home"
    home.mkdir(mode=0o755)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv(files.DIRECTORY_ENV, raising=False)
    monkeypatch.delenv(driver_archive.SWITCH_ENV)
    directory = home / ".mur" / "cds"
    if layout.startswith("MUR_CDS_DIR"):
        parent = setup_env / "shared"
        parent.mkdir()
        parent.chmod(0o1777 if "sticky" in layout else 0o775)
        directory = parent / "cds"
        monkeypatch.setenv(files.DIRECTORY_ENV, str(directory))
    elif "a link" in layout:
        anyone = setup_env / "anyone"
        anyone.mkdir()
        anyone.chmod(0o777)
        (home / ".mur").symlink_to(anyone)
    else:
        (home / ".mur").mkdir(mode=0o700)
    key = _key()
    archive = _plant(directory, key)
    if layout == "home writable by its group":
        home.chmod(0o775)
    elif "umask 002" in layout:
        (home / ".mur").chmod(0o775)
    elif "another user" in layout:
        os.chown(home, NOBODY, NOBODY)
    asked, options = _asked()
    assert options == (f" -XX:SharedArchiveFile={os.path.realpath(archive)} {files.SILENT_OPTIONS}" if used else "")
    assert (asked["unusable"] is None) is used  # nor is a build asked for


# The suite's builder lock is its own (conftest): only the suite's builders hold it.
LOCK_WAIT = 600


def _lock_free_within(seconds: float) -> bool:
    """Whether the user's builder lock is free (a real builder may be at
    work on this machine), polled until `seconds` pass."""
    deadline = time.monotonic() + seconds
    while True:
        fd = builder.user_lock()
        if fd is not None:
            os.close(fd)
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)


def test_one_builder_per_user_whatever_home_or_directory(setup_env, monkeypatch):
    spawned = []
    monkeypatch.setattr(builder, "spawn", lambda directory, key, lock_fd, spec, detach: spawned.append(key) or
                        SimpleNamespace(wait=lambda timeout: 0))
    spec = driver_archive.builder_spec(SOME_OPTIONS, [], {})
    assert _lock_free_within(LOCK_WAIT)
    held = builder.user_lock()
    try:
        for name in ("home-a", "home-b"):
            (setup_env / name).mkdir(mode=0o700)
            monkeypatch.setenv("HOME", str(setup_env / name))
            assert builder.start_builder(str(setup_env / name / ".mur" / "cds"), "a" * 32, spec) is None
        monkeypatch.setenv(files.DIRECTORY_ENV, str(setup_env / "elsewhere"))
        assert builder.start_builder(str(setup_env / "elsewhere"), "b" * 32, spec) is None
    finally:
        os.close(held)
    assert spawned == []
    builder.start_builder(str(setup_env / "elsewhere"), "b" * 32, spec)
    for reason in ("bound", files.REFUSED):  # starved or out of time: again; refused by the JVM: not at once
        files.record_failure(str(setup_env / "elsewhere"), "b" * 32, reason, "why")
        builder.start_builder(str(setup_env / "elsewhere"), "b" * 32, spec)
    assert spawned == ["b" * 32] * 2


_STATE_OF_A_START = """
from ruk.compute.archive import spawn as archive_builder
from ruk.compute.archive import status as archive_status
from ruk.compute.archive import request as driver_archive
print(archive_status.state(driver_archive.request("", [], {}))["text"])
print(archive_builder.user_lock() is None)
"""


@pytest.mark.parametrize("where, hostile, why", [
    (where, hostile, why) for where in (files.DIRECTORY_ENV, builder.LOCK_DIR_ENV) for hostile, why in [
        ("file", "is a file, not a folder"), ("FIFO", "is a FIFO, not a folder"),
        ("another user's", f"belongs to another user (uid {NOBODY})"), ("open", "is open to other users"),
        ("read-only", "can't be written by you")]] + [
    (files.DIRECTORY_ENV, "full", "MB free, a build needs about 200 MB"),
    (builder.LOCK_DIR_ENV, "made under umask 0o277", None)])
def test_a_folder_that_can_never_hold_an_archive_is_named_and_no_lock_is_taken(setup_env, where, hostile, why):
    """In a fresh process: a read-only or full folder as root is a file
    system mounted in a mount namespace of that process's own."""
    path, command = setup_env / "hostile", [sys.executable, "-c", _STATE_OF_A_START]
    if why is None:
        command = ["sh", "-c", 'umask 277 && exec "$@"', "sh", *command]
    mount = {"read-only": "ro", "full": "size=1m"}.get(hostile) if os.geteuid() == 0 else None
    if hostile == "file":
        path.write_text("")
    elif hostile == "FIFO":
        os.mkfifo(path)
    elif why is not None:
        path.mkdir(mode=0o777 if hostile == "open" else 0o700)
        path.chmod(0o777 if hostile == "open" else 0o500 if hostile == "read-only" else 0o700)
    if (hostile == "another user's" or hostile == "full") and os.geteuid() != 0:
        pytest.skip("needs root")
    if hostile == "another user's":
        os.chown(path, NOBODY, NOBODY)
    if mount:
        command = ["unshare", "-m", "sh", "-c", f'mount -t tmpfs -o {mount},mode=0700 tmpfs "$0" && exec "$@"',
                   str(path), *command]
    env = dict(os.environ, **{files.DIRECTORY_ENV: str(setup_env / "cds"), builder.LOCK_DIR_ENV: str(setup_env / "lock")})
    env[where] = str(path)
    env.pop(driver_archive.SWITCH_ENV)
    result = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)
    lock = "the builders' lock folder " if where == builder.LOCK_DIR_ENV else ""
    text, locked = result.stdout.splitlines() or [result.stderr, ""]
    if why is None:  # a usable lock folder
        assert (text, locked, path.stat().st_mode & 0o777) == ("none yet; the next start builds it in the background",
                                                               "False", 0o700)
        return
    assert text.startswith(f"none, and none can be built: {lock}{path} ") and why in text
    assert locked == str(bool(lock))


def test_a_failed_status_write_leaves_the_old_file_and_no_temporary_one(tmp_path):
    files.write_json(str(tmp_path), "s.json", {"phase": "one"})
    with pytest.raises(TypeError):
        files.write_json(str(tmp_path), "s.json", {"phase": object()})
    assert os.listdir(tmp_path) == ["s.json"] and files.read_json(str(tmp_path / "s.json")) == {"phase": "one"}


def test_an_explicit_build_waits_for_another_builder_and_ctrl_c_ends_the_wait(setup_env):
    (setup_env / "home").mkdir()
    env = dict(os.environ, HOME=str(setup_env / "home"), **{files.DIRECTORY_ENV: str(setup_env / "cds")})
    env.pop(driver_archive.SWITCH_ENV)
    assert _lock_free_within(LOCK_WAIT)
    held = builder.user_lock(directory="/elsewhere", key="b" * 32)  # a background build for another home
    try:
        process = subprocess.Popen([sys.executable, "-m", "ruk.cli", "spark", "archive", "build"], env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = process.stdout.readline()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        os.close(held)
    assert line.startswith(f"Waiting for another builder of yours: pid {os.getpid()} since "), line + err
    assert line.endswith(", building in /elsewhere\n") and (process.returncode, err) == (1, "mur: stopped; "
                                                                                           "no archive was built\n")
    assert list((setup_env / "cds").iterdir()) == []  # no builder started


# --- what a start leaves on the machine, each in a fresh process --------------------------

_PRELUDE = f"""
import json, os, signal, subprocess, sys, time
sys.path.insert(0, {str(Path(__file__).parent)!r})
import ruk.compute.strategies.local as local
from ruk.compute.archive import build
from ruk.compute.archive import spawn as builder
from ruk.compute.archive import files
from ruk.compute.archive import request as driver_archive
from fake_spark import FakeSparkContext, FakeSparkSession
Spark = FakeSparkSession.fresh()
local.SparkSession, local.PYSPARK_AVAILABLE = Spark, True
local._ensure_java_available = lambda: None


def emulate_real_jvm():
    # What a start that launched PySpark's JVM leaves: its gateway, also on the session's context.
    gateway = object()
    FakeSparkContext._gateway = gateway
    driver_archive.running_gateway = lambda: gateway
"""


@pytest.fixture
def job(tmp_path, make_fake_java_home):
    """A throwaway HOME, TMPDIR and project, and a fresh `python -W always`
    that runs a script after _PRELUDE there and ends."""
    require([m for m in missing_pyspark_and_java() if m == "PySpark"])
    ns = SimpleNamespace(root=tmp_path, home=tmp_path / "home", tmp=tmp_path / "tmp", project=tmp_path / "project")
    for d in (ns.home, ns.tmp, ns.project):
        d.mkdir()
    drop = set(driver_archive.SETUP_ENV) | {driver_archive.SWITCH_ENV, files.DIRECTORY_ENV, "MUR_SPARK_KEEP_ALIVE"}
    ns.env = {k: v for k, v in os.environ.items() if k not in drop}
    ns.env.update(HOME=str(ns.home), TMPDIR=str(ns.tmp),
                  JAVA_HOME=str(make_fake_java_home(tmp_path / "jdk", "17.0.15")))

    def run(body, env=None):
        result = subprocess.run([sys.executable, "-W", "always", "-c", _PRELUDE + textwrap.dedent(body)],
                                cwd=ns.project, env=env or ns.env, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stdout + result.stderr
        return result

    ns.run = run
    return ns


def _left_running(root: Path) -> list:
    """Processes whose command line or working directory is inside `root`."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or entry.name == str(os.getpid()):
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
            cwd = os.readlink(entry / "cwd")
        except OSError:
            continue
        if str(root) in cmdline or cwd.startswith(str(root)):
            found.append((entry.name, cmdline))
    return found


@pytest.mark.parametrize("case, asked, umask", [
    ("stand-in", False, 0o277), ("real JVM", True, 0o002), ("failed start", False, 0o002)])
def test_a_build_is_asked_for_only_after_a_start_on_a_real_jvm(job, case, asked, umask):
    result = job.run(f"""
        os.umask({umask})
        if {case!r} != "stand-in":
            emulate_real_jvm()
        if {case!r} == "failed start":
            Spark.get_or_create_error = RuntimeError("the JVM did not start")
        asked = []
        builder.start_builder = lambda directory, key, spec: asked.append(key)
        try:
            local.LocalStrategy({{}}, "app").get_spark_session()
        except RuntimeError:
            pass
        print(len(asked))
    """)
    assert result.stdout.split() == [str(int(asked))] and result.stderr == ""
    # ~/.mur and the JAR directory are private whatever the umask; no archive directory yet.
    assert _modes(job.home) == {".mur": 0o700, ".mur/jdbc_jars": 0o700}


def test_mur_spark_archive_names_the_key_a_start_then_uses(job):
    """With a blank in TMPDIR (the start's logging file then goes there,
    quoted for Spark) and a quoted option in _JAVA_OPTIONS."""
    (job.tmp / "a b").mkdir()
    env = dict(job.env, TMPDIR=str(job.tmp / "a b"), _JAVA_OPTIONS="-Dquoted='x y'")
    result = job.run("""
        from ruk.commands.archive import _request
        said = _request({})[0]["key"]  # what `mur spark archive` and `mur spark check` name
        asked, start_request = [], driver_archive.start_request
        driver_archive.start_request = lambda *args: asked.append(start_request(*args)) or asked[-1]
        local.LocalStrategy({}, "app").get_spark_session()
        print(json.dumps([said, asked[-1]["key"]]))
    """, env=env)
    said, used = json.loads(result.stdout)
    assert said == used


@pytest.mark.parametrize("home", ["~", "relative/home", "", None], ids=["tilde", "relative", "empty", "no passwd entry"])
def test_no_usable_home_means_no_archive_and_nothing_in_the_working_directory(job, home):
    env = dict(job.env)
    if home is None:
        del env["HOME"]
    else:
        env["HOME"] = home
        if home.startswith("relative"):
            (job.project / home).mkdir(parents=True)
    before = sorted(job.project.rglob("*"))
    result = job.run("""
        import pwd
        def no_entry(uid):
            raise KeyError(uid)
        pwd.getpwuid = no_entry  # as for an arbitrary uid in a container
        emulate_real_jvm()
        local.LocalStrategy({}, "app").get_spark_session()
        from ruk.compute import java_compat
        try:
            java_compat.save_java_choice(java_compat.JavaChoice(major=17))
            saved = True
        except OSError:
            saved = False
        print(json.dumps([files.archive_directory(), builder.last_builder is None, java_compat.java_choice_path(),
                          java_compat.read_java_choice(), saved]))
    """, env=env)
    assert json.loads(result.stdout) == [None, True, None, None, False], result.stderr
    assert sorted(job.project.rglob("*")) == before
    assert list(job.home.iterdir()) == []


def test_builder_runs_isolated_and_leaves_only_the_archive(job):
    """A real builder process (it finds the archive there and ends before
    any JVM): no code from the working directories, the job not on its
    command line, the leftovers of a dead builder removed, nothing running."""
    assert _lock_free_within(LOCK_WAIT)
    directory = job.home / ".mur" / "cds"
    directory.mkdir(parents=True, mode=0o700)
    (job.home / ".mur").chmod(0o700)
    host = files.host_name()
    dead = {f".tmp~{host}~4242~{'9' * 32}.jsa": "file", f".tmp~{host}~4243~{'9' * 32}.aot.config": "file",
            f".work~{host}~4242~x": "dir", f".job~{host}~4242~x.json": "file"}
    # Work of another host sharing the home, and of a live process here, and the user's own files: kept.
    kept = {f".tmp~other-host~4242~{'9' * 32}.jsa": "file", f".job~{host}~{os.getpid()}~x.json": "file",
            "f.lock": "file", f".cache~{host}~4242~x": "file"}
    for name, kind in {**dead, **kept}.items():
        (directory / name).mkdir() if kind == "dir" else (directory / name).write_bytes(b"partial")
    marker = job.root / "planted-code-ran"
    result = job.run(f"""
        # Planted once this process has its modules: only a builder could run them.
        for where in (os.getcwd(), {str(directory)!r}):
            for name in ("site", "json", "fcntl", "shutil"):
                with open(os.path.join(where, name + ".py"), "w") as f:
                    f.write("open({str(marker)!r}, 'w').close()\\n")
        os.umask(0o002)
        emulate_real_jvm()
        asked, start_request = [], driver_archive.start_request
        driver_archive.start_request = lambda *args: asked.append(start_request(*args)) or asked[-1]
        def archive_appears(builder):  # built meanwhile: the builder finds it and ends
            sys.path.insert(0, {str(Path(__file__).parent)!r})
            from test_class_data_sharing import _plant
            from pathlib import Path
            _plant(Path({str(directory)!r}), asked[-1]["key"])
        Spark.get_or_create_hook = archive_appears
        local.LocalStrategy({{"spark.db.password": "s3cr3t"}}, "app").get_spark_session()
        child = builder.last_builder
        print(json.dumps([child.returncode, "s3cr3t" in " ".join(child.args)]))
    """)
    assert json.loads(result.stdout) == [0, False] and result.stderr == ""
    assert _lock_free_within(60)
    assert not marker.exists()
    assert _left_running(job.root) == []
    left = _modes(job.home)
    assert {name: mode for name, mode in left.items() if not name.endswith(".py")} == {
        ".mur": 0o700, ".mur/cds": 0o700, ".mur/jdbc_jars": 0o700,
        f".mur/cds/{next(directory.glob('[!.]*.jsa')).name}": 0o600,
        f".mur/cds/{next(directory.glob('[!.]*.json')).name}": 0o600,
        ".mur/cds/build.log": 0o600, **{f".mur/cds/{name}": 0o644 for name in kept},
    }, (directory / "build.log").read_text()
    assert "already there" in (directory / "build.log").read_text()


@pytest.mark.parametrize("bound, limits, work, then", [
    ("the wall-clock bound (3 s)", "3.0", "time.sleep(600)", ""),
    # A build slowed by load is no failed build; one that burns CPU is.
    (f"the CPU bound (1 s, {build.CPU_LIMIT_ENV})", "600.0", "while True: pass", ""),
    # As `mur spark archive build` stops it at Ctrl-C (the builder leads the session).
    ("stopped by SIGTERM", "600.0", "time.sleep(600)", "os.kill(os.getsid(0), signal.SIGTERM)"),
])
def test_a_build_past_a_bound_is_ended_with_its_whole_session(job, bound, limits, work, then):
    """A stand-in JVM that ignores SIGTERM, in a process group of its own:
    at a bound or a signal to the builder it is killed, the partial file and
    the working directory go, and a bound's failure is recorded without
    blocking the next start's try."""
    assert _lock_free_within(LOCK_WAIT)
    pid_file = job.root / "jvm.pid"
    result = job.run(f"""
        files.WALL_LIMIT = {limits}
        build.TERM_GRACE = 1.0
        build._wait_for_spare_core = lambda: True

        def stuck(job, temp):
            for partial in (temp, temp + ".config"):  # .config: what an AOT training run writes first
                with open(partial, "wb") as f:
                    f.write(b"partial")
            jvm = subprocess.Popen([sys.executable, "-c", "import os, signal, time; "
                                    "signal.signal(signal.SIGTERM, signal.SIG_IGN); print(flush=True)\\n{work}"],
                                   stdout=subprocess.PIPE, process_group=0)
            jvm.stdout.readline()  # SIGTERM is ignored from here on
            with open({str(pid_file)!r}, "w") as f:
                f.write(str(jvm.pid))
            {then}
            time.sleep(600)

        build._dump = stuck
        directory = files.trusted_directory(files.archive_directory(), create=True)
        job = dict(driver_archive.builder_spec("", [], {{}}), directory=directory, key="d" * 32, lock_fd=None,
                   stop_at_home=True, import_roots=[])
        status = build.build_main(job)
        print(json.dumps([status, (files.failure(directory, "d" * 32) or {{}}).get("reason"),
                          files.blocked(directory, "d" * 32)]))
    """, env=dict(job.env, **{build.CPU_LIMIT_ENV: "1"}))
    bounded = "bound" in bound
    assert json.loads(result.stdout.splitlines()[-1]) == [1, "bound" if bounded else None, False], result.stdout
    assert bound in result.stdout
    jvm = Path("/proc", pid_file.read_text())
    deadline = time.monotonic() + 30
    while jvm.exists() and " Z " not in jvm.joinpath("stat").read_text() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not jvm.exists() or " Z " in jvm.joinpath("stat").read_text()
    assert _left_running(job.root) == []
    assert sorted(_modes(job.home / ".mur" / "cds")) == ["d" * 32 + ".failed"] * bounded

# --- real PySpark and Java: one build, then fresh processes -----------------------------

_FIRST_START = textwrap.dedent("""
    import json, sys
    from ruk.compute.archive import spawn as builder
    from ruk.compute.strategies.local import LocalStrategy

    asked, start_builder = [], builder.start_builder
    def recorded(*job):
        asked.append(job)
        return start_builder(*job)
    builder.start_builder = recorded
    strategy = LocalStrategy({"spark.driver.defaultJavaOptions": sys.argv[1]}, app_name="first")
    spark = strategy.get_spark_session()
    spark.sql("SELECT 1").collect()
    print("RESULT " + json.dumps([asked, builder.last_builder is not None]))
""")

# The same build, at once and at normal priority (as `mur spark archive
# build`): on a machine whose cores are all busy the considerate builder
# takes minutes.
_BUILD_NOW = textwrap.dedent("""
    import json, sys
    from ruk.compute.archive import build

    directory, key, spec = json.loads(sys.argv[1])
    sys.exit(build.build_main(dict(spec, directory=directory, key=key, lock_fd=None, stop_at_home=False,
                                   import_roots=[], foreground=True)))
""")


def _class_log_option(path: Path) -> str:
    return f"-Xlog:class+load=info:file={path}"


def _from_archive(class_log: Path, kind: str = "cds") -> bool:
    """The JVM's own word: Spark's context class came from the top-layer
    archive, or from the ahead-of-time cache (a static archive)."""
    text = class_log.read_text()
    assert "org.apache.spark.SparkContext source:" in text
    return "org.apache.spark.SparkContext source: shared objects file" + (" (top)" if kind == "cds" else "\n") in text


# The user's files in the folder MUR_CDS_DIR names.
_USERS_FILES = ["data.json", "notes.failed", "package.json"]


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """A first start in a fresh process, with a second builder racing the
    first; while its background build runs, `mur spark archive build` for
    another home and set-up waits for it, then builds."""
    require(missing_pyspark_and_java())
    root = tmp_path_factory.mktemp("cds")
    env = dict(os.environ, HOME=str(root), **{files.DIRECTORY_ENV: str(root / "archives")})
    env.pop(driver_archive.SWITCH_ENV, None)
    for name in ("_JAVA_OPTIONS", "PYSPARK_SUBMIT_ARGS", "MUR_SPARK_KEEP_ALIVE"):
        env.pop(name, None)
    directory = root / "archives"
    directory.mkdir(mode=0o700)
    for name in _USERS_FILES:
        (directory / name).write_text("{}")
    class_log = root / "first.log"
    assert _lock_free_within(LOCK_WAIT)
    result = subprocess.run([sys.executable, "-c", _FIRST_START, _class_log_option(class_log)],
                            env=env, cwd=root, capture_output=True, text=True, timeout=1800)
    assert result.returncode == 0, result.stdout + result.stderr
    asked, spawned = json.loads(result.stdout.split("RESULT ", 1)[1])
    assert len(asked) == 1 and spawned, result.stdout
    (root / "other").mkdir()
    other = {k: v for k, v in env.items() if k != files.DIRECTORY_ENV}
    other["HOME"] = str(root / "other")
    waited = subprocess.run([sys.executable, "-m", "ruk.cli", "spark", "archive", "--conf", "spark.driver.memory=3g",
                             "build"], env=other, cwd=root, capture_output=True, text=True, timeout=1800)
    assert waited.returncode == 0, waited.stdout + waited.stderr
    assert _lock_free_within(LOCK_WAIT)  # the builders have ended
    if not list(directory.glob("*.jsa")):
        for failed in directory.glob("*.failed"):
            failed.unlink()
        with open(directory / "build.log", "a") as log:
            subprocess.run([sys.executable, "-c", _BUILD_NOW, json.dumps(asked[0])], env=env, cwd=root,
                           stdout=log, stderr=log, timeout=1500, check=True)
    yield root, env, result, class_log, other, waited
    shutil.rmtree(root)  # three archives of about 150 MB: gone with the module, not at the end of the run


def _check(root, env, name, *conf, **extra):
    class_log = root / f"{name}.log"
    command = [sys.executable, "-m", "ruk.cli", "spark", "check", *conf,
               "--conf", f"spark.driver.defaultJavaOptions={_class_log_option(class_log)}"]
    process = subprocess.Popen(command, env=dict(env, **extra), cwd=root, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return process, class_log


def test_archive_is_built_once_then_used_corrupt_falls_back_switch_turns_it_off_and_bounds_end_the_jvm(built):
    root, env, first, first_log, other, waited = built
    directory = root / "archives"
    log = (directory / "build.log").read_text()
    assert "Waiting for another builder of yours: pid " in waited.stdout, waited.stdout
    assert f", building in {directory}\n" in waited.stdout and "Archive: built " in waited.stdout, waited.stdout
    archives = sorted(p.name for p in directory.iterdir() if p.name not in ["build.log"] + _USERS_FILES)
    assert len(archives) == 2 and archives[0].endswith(".jsa") and archives[1].endswith(".json"), log
    assert log.count(": building ") <= 2 and log.count(" MB in ") == 1, log
    assert not _from_archive(first_log)
    assert _left_running(root) == []

    # A copy recorded as valid, then damaged in the middle (right size and
    # magic, which the JVM would map and fail on); no builder to replace it.
    damaged = root / "damaged"
    shutil.copytree(directory, damaged)
    archive = next(damaged.glob("*.jsa"))
    files.write_meta(str(damaged), archive.stem)
    with open(archive, "r+b") as f:
        f.seek(archive.stat().st_size // 2)
        f.write(os.urandom(1 << 20))
    files.record_failure(str(damaged), archive.stem, files.REFUSED, "refused")

    # Five fresh processes at once: archive present, switched off, damaged,
    # the one `mur spark archive --conf ... build` made, and a first start in
    # a fresh home whose build the CPU bound ends.
    (root / "bounded").mkdir()
    runs = {
        "used": _check(root, env, "used"),
        "off": _check(root, env, "off", **{driver_archive.SWITCH_ENV: "0"}),
        "damaged": _check(root, env, "damaged", **{files.DIRECTORY_ENV: str(damaged)}),
        "3g": _check(root, other, "3g", "--conf", "spark.driver.memory=3g"),
        "bounded": _check(root, other, "bounded", HOME=str(root / "bounded"), **{build.CPU_LIMIT_ENV: "3"}),
    }
    outputs = {}
    for name, (process, class_log) in runs.items():
        out, err = process.communicate(timeout=900)
        assert process.returncode == 0, out + err
        archive_line = next(line for line in out.splitlines() if line.startswith("Archive:"))
        outputs[name] = (out, err, archive_line, _from_archive(class_log))

    assert outputs["used"][3] and "archive used" in outputs["used"][2]
    assert outputs["3g"][3] and "archive used" in outputs["3g"][2]
    assert not outputs["bounded"][3] and outputs["bounded"][2].startswith("Archive: none used; ")
    assert " by pid " in outputs["bounded"][2]  # being built, or waiting for a spare core
    assert not outputs["off"][3] and "turned off by MUR_SPARK_CDS=0" in outputs["off"][2]
    assert not outputs["damaged"][3] and outputs["damaged"][2].startswith("Archive: none used; the JVM refused")
    # Nothing extra on either stream, whatever happened to the archive.
    counts = {name: (len(out.splitlines()), len(err.splitlines())) for name, (out, err, _, _) in outputs.items()}
    assert len(set(counts.values())) == 1, counts
    assert len(first.stderr.splitlines()) == counts["off"][1], first.stderr

    # The bounded build: ended with its JVM, the bound named.
    assert _lock_free_within(LOCK_WAIT)
    assert _left_running(root) == []
    bounded = (root / "bounded" / ".mur" / "cds" / "build.log").read_text()
    assert f"the CPU bound (3 s, {build.CPU_LIMIT_ENV}) ended the build" in bounded, bounded

    # The archive named by `mur spark archive`; `clear` removes it and keeps the user's files.
    mur = [sys.executable, "-m", "ruk.cli", "spark", "archive"]
    status = subprocess.run(mur, env=env, cwd=root, capture_output=True, text=True, timeout=300)
    assert f"Archive:   there: {next(directory.glob('*.jsa'))}\n" in status.stdout, status.stdout + status.stderr
    cleared = subprocess.run(mur + ["clear"], env=env, cwd=root, capture_output=True, text=True, timeout=300)
    assert cleared.returncode == 0 and sorted(p.name for p in directory.iterdir()) == ["build.log"] + _USERS_FILES
    assert f"Kept 3 other files there: {', '.join(_USERS_FILES)}\n" in cleared.stdout, cleared.stdout


def _kind_of(java: str) -> str:
    try:
        release = Path(java).parent.parent.joinpath("release").read_text()
    except OSError:
        release = None
    return driver_archive.cache_kind(release)


@pytest.mark.parametrize("java_home", sorted(glob.glob("/usr/lib/jvm/*/bin/java")) or ["none"])
def test_the_jvm_rejects_an_archive_silently(tmp_path, java_home):
    """Should an archive still not fit (another JVM build, a class path that
    moved), the JVM drops it and says nothing on either stream."""
    if java_home == "none":
        require(["Java"])
    kind = _kind_of(java_home)
    bogus = tmp_path / f"bogus{files.KINDS[kind]['suffix']}"
    with open(bogus, "wb") as f:
        f.write(files.KINDS[kind]["magic"] + b"\x13\0\0\0")
        f.truncate(files.MIN_ARCHIVE_SIZE)
    env = {k: v for k, v in os.environ.items() if k not in ("_JAVA_OPTIONS", "JAVA_TOOL_OPTIONS", "JDK_JAVA_OPTIONS")}
    plain = subprocess.run([java_home, "-version"], capture_output=True, text=True, env=env)
    options = driver_archive.use_options(kind, str(bogus)).split()
    rejected = subprocess.run([java_home, *options, "-version"], capture_output=True, text=True, env=env)
    assert rejected.returncode == plain.returncode == 0
    assert ", sharing" not in rejected.stderr  # rejected: the JVM then runs without any archive
    assert rejected.stdout == plain.stdout == ""
    assert len(rejected.stderr.splitlines()) == len(plain.stderr.splitlines())


# --- Java 25's ahead-of-time cache: one build, then two fresh processes ------------------

_JAVA_25 = sorted(str(Path(java).parent.parent) for java in glob.glob("/usr/lib/jvm/*/bin/java")
                  if _kind_of(java) == "aot")

# A first start that only notes the build it asks for (the build follows at
# once, in the foreground).
_ASK_ONLY = textwrap.dedent("""
    import json
    from ruk.compute.archive import spawn as builder
    from ruk.compute.strategies.local import LocalStrategy

    asked = []
    builder.start_builder = lambda *job: asked.append(job)
    LocalStrategy({}, app_name="first").get_spark_session().sql("SELECT 1").collect()
    print("RESULT " + json.dumps(asked))
""")


def test_java_25_builds_and_uses_an_ahead_of_time_cache_and_a_damaged_one_falls_back_silently(tmp_path):
    """Skipped where no Java 25 or later is installed, also under CI: the
    suite's own install step provides Java 17 only."""
    require(missing_pyspark_and_java())
    if not _JAVA_25:
        pytest.skip("no Java 25 or later in /usr/lib/jvm")
    env = dict(os.environ, HOME=str(tmp_path), JAVA_HOME=_JAVA_25[-1],
               **{files.DIRECTORY_ENV: str(tmp_path / "archives")})
    env.pop(driver_archive.SWITCH_ENV, None)
    for name in ("_JAVA_OPTIONS", "PYSPARK_SUBMIT_ARGS", "MUR_SPARK_KEEP_ALIVE"):
        env.pop(name, None)
    first = subprocess.run([sys.executable, "-c", _ASK_ONLY], env=env, cwd=tmp_path,
                           capture_output=True, text=True, timeout=600)
    assert first.returncode == 0, first.stdout + first.stderr
    (asked,) = json.loads(first.stdout.split("RESULT ", 1)[1])
    assert asked[2]["kind"] == "aot"
    directory = tmp_path / "archives"
    directory.mkdir(mode=0o700)
    assert _lock_free_within(LOCK_WAIT)  # the user's one builder may be another's
    with open(tmp_path / "build.log", "w") as log:
        subprocess.run([sys.executable, "-c", _BUILD_NOW, json.dumps(asked)], env=env, cwd=tmp_path,
                       stdout=log, stderr=log, timeout=1500, check=True)
    built = sorted(p.suffix for p in directory.iterdir())
    assert built == [".aot", ".json"], (tmp_path / "build.log").read_text()[-3000:]  # no .config, no temporary file

    # A copy whose header is damaged after its magic, with a record written
    # for it: it passes every check of ours, and only the JVM can refuse it.
    damaged = tmp_path / "damaged"
    shutil.copytree(directory, damaged)
    cache = next(damaged.glob("*.aot"))
    with open(cache, "r+b") as f:
        f.seek(8)
        f.write(os.urandom(56))
    files.write_meta(str(damaged), cache.stem, "aot")
    (damaged / f"{cache.stem}.failed").write_text("")  # no builder to replace it

    runs = {"used": _check(tmp_path, env, "used"),
            "damaged": _check(tmp_path, env, "damaged", **{files.DIRECTORY_ENV: str(damaged)})}
    outputs = {}
    for name, (process, class_log) in runs.items():
        out, err = process.communicate(timeout=900)
        assert process.returncode == 0, out + err
        archive_line = next(line for line in out.splitlines() if line.startswith("Archive:"))
        outputs[name] = (out, err, archive_line, _from_archive(class_log, "aot"))
    assert outputs["used"][3] and outputs["used"][2] == f"Archive: ahead-of-time cache used ({directory / cache.name})"
    assert not outputs["damaged"][3] and outputs["damaged"][2] == f"Archive: none used: the JVM rejected {cache}"
    assert "SQL test passed" in outputs["damaged"][0]
    # Nothing extra on either stream, whatever happened to the cache.
    assert [len(out.splitlines()) for out, _, _, _ in outputs.values()] == [4, 4]
    assert [err for _, err, _, _ in outputs.values()] == [first.stderr] * 2
    assert _left_running(tmp_path) == []
