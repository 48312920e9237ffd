"""Session management of the local strategy against a fake PySpark: no JVM is started."""

import hashlib
import importlib
import io
import json
import logging
import multiprocessing
import os
import re
import pwd
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import types
import warnings
from pathlib import Path

import pytest

import ruk.compute.strategies.local as local
from real_deps import missing_pyspark_and_java, require
from fake_spark import (
    JAVA_FLAGS, NO_JAVA_TAIL, NO_PYSPARK_INFO, FakeJavaCompat, FakeSparkSession, StderrPipe,
    jar_dir, key_of, lock_is_free, pyspark_info,
)
from ruk.compute.start import pyspark_internals
from ruk.compute.start.extensions import SEARCH_SETTING as SEARCH

LOG4J_TEXT = (
    "\nstatus = error\nappender.console.type = Console\nappender.console.name = console\n"
    "appender.console.target = SYSTEM_ERR\n"
    "appender.console.layout.type = PatternLayout\nappender.console.layout.pattern = %msg%n\n"
    "rootLogger.level = error\nrootLogger.appenderRef.console.ref = console\n"
    "logger.spark.name = org.apache.spark\nlogger.spark.level = error\n"
    "logger.hadoop.name = org.apache.hadoop\nlogger.hadoop.level = error\n"
)
@pytest.fixture
def env(fake_module, monkeypatch):
    ns = fake_module
    ns.calls = []
    monkeypatch.setattr(local, "_ensure_java_available", lambda: ns.calls.append("java"))
    monkeypatch.setattr(local, "_disable_multiprocessing_resource_tracker", lambda: ns.calls.append("tracker"))
    return ns


def session(name="cached", **kw):
    return FakeSparkSession(name, **kw)


# --- creation: builder calls, launch settings, files --------------------------------

# Packages the driver JVM opens to Spark, in the order of its options.
OPENED = [
    "java.base/java.lang", "java.base/java.lang.invoke", "java.base/java.lang.reflect",
    "java.base/java.io", "java.base/java.net", "java.base/java.nio", "java.base/java.util",
    "java.base/java.util.concurrent", "java.base/java.util.concurrent.atomic",
    "java.base/sun.nio.ch", "java.base/sun.nio.cs", "java.base/sun.security.action",
    "java.base/sun.util.calendar", "java.security.jgss/sun.security.krb5",
]


def fast_defaults(log4j_file):
    """The fast-start settings, in the order the builder receives them (no
    JARs: no JAR list nor class path, which Spark would read as the working
    directory)."""
    options = [f"-Dlog4j2.configurationFile=file:{log4j_file}", "-Djava.util.logging.level=SEVERE"]
    options += [f"--add-opens={p}=ALL-UNNAMED" for p in OPENED]
    options.append("-XX:+IgnoreUnrecognizedVMOptions")
    return [
        ("spark.driver.memory", "1g"),
        ("spark.executor.memory", "1g"),
        ("spark.driver.extraJavaOptions", " ".join(options)),
        ("spark.ui.enabled", "false"),
        ("spark.ui.showConsoleProgress", "false"),
        ("spark.eventLog.enabled", "false"),
        ("spark.driver.bindAddress", "127.0.0.1"),
        ("spark.driver.host", "localhost"),
        ("spark.sql.shuffle.partitions", "8"),
        ("spark.sql.execution.arrow.pyspark.enabled", "false"),
        ("spark.sql.execution.arrow.pyspark.fallback.enabled", "true"),
        ("spark.sql.execution.arrow.enabled", "false"),
        ("spark.sql.adaptive.enabled", "false"),
        ("spark.sql.adaptive.coalescePartitions.enabled", "false"),
        ("spark.sql.extensions.test.loadFromCp", "false"),
    ]


def test_empty_config_builder_sequence(env):
    spark = env.strategy(app_name="my app").get_spark_session()
    (builder,) = env.Spark.builders
    expected = [("appName", "my app"), ("master", "local[2]")]
    expected += [("config", k, v) for k, v in fast_defaults(env.log4j)]
    assert builder.calls == expected + [("getOrCreate",)]
    assert spark is env.Spark.created[0]
    assert spark.sparkContext.log_levels == ["ERROR"]
    assert env.cache == {key_of({}): spark}


def test_configured_keys_replace_defaults_and_follow_them(env):
    config = {"spark.extra.b": 5, "master": "local[4]", "spark.driver.memory": "4g", "spark.extra.a": "x"}
    env.strategy(config).get_spark_session()
    calls = env.Spark.builders[0].calls
    defaults = [("config", k, v) for k, v in fast_defaults(env.log4j) if k != "spark.driver.memory"]
    user = [("config", "spark.extra.b", 5), ("config", "spark.driver.memory", "4g"), ("config", "spark.extra.a", "x")]
    assert calls == [("appName", "app"), ("master", "local[4]")] + defaults + user + [("getOrCreate",)]


# An internal the stand-in PySpark lacks, what the warning names, the plain behaviour (the start's settings).
WITHOUT_INTERNAL = [
    ("SparkContext._gateway", "SparkContext._gateway", lambda settings: settings[SEARCH] == "true"),
    ("pyspark.__version__", SEARCH, lambda settings: settings[SEARCH] == "true"),
]


@pytest.mark.parametrize("lacking, named, plain", WITHOUT_INTERNAL)
def test_without_a_pyspark_internal_the_strategy_does_as_plain_pyspark_and_says_so_once(
        env, monkeypatch, lacking, named, plain):
    pyspark, context = types.ModuleType("pyspark"), types.ModuleType("pyspark.core.context")  # no JVM running
    pyspark.__version__, context.SparkContext = "4.3.0", type("SparkContext", (), {"_gateway": None})
    monkeypatch.setitem(sys.modules, "pyspark", pyspark)
    monkeypatch.setitem(sys.modules, "pyspark.core.context", context)
    owners = {"pyspark": pyspark, "SparkContext": context.SparkContext, "SparkSession": env.Spark}
    monkeypatch.delattr(owners[lacking.rsplit(".", 1)[0]], lacking.rsplit(".", 1)[1])
    monkeypatch.setattr(pyspark_internals, "_warned", set())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(2):
            env.cache.clear()
            env.strategy().get_spark_session()
    assert plain(dict(call[1:] for call in env.Spark.builders[-1].calls if call[0] == "config"))
    said = [str(w.message) for w in caught if str(w.message).startswith("PySpark")]
    assert len(said) == 1 and said[0].startswith(f"PySpark {getattr(pyspark, '__version__', 'unknown')} has no {named}: ")


QUIET = dict(fast_defaults("LOG4J"))["spark.driver.extraJavaOptions"]
ARCHIVE = " -XX:SharedArchiveFile=/a.jsa -Xlog:cds=off"


@pytest.mark.parametrize(
    "config, quiet_as_default_options",
    [
        ({"spark.driver.extraJavaOptions": "-Dfoo=bar"}, True),
        ({"spark.driver.extraJavaOptions": 7}, True),  # taken as text, as PySpark's builder does
        ({"spark.driver.extraJavaOptions": "-Dfoo=bar", "spark.driver.defaultJavaOptions": "-Dmine=1"}, False),
        ({"spark.driver.extraJavaOptions": "-Dlog4j2.configurationFile=file:/mine.properties"}, False),
        ({"spark.driver.defaultJavaOptions": "-Dmine=1"}, False),
        ({}, False),
    ],
    ids=["user options", "not a string", "user defaults too", "own logging file", "only user defaults", "none"],
)
def test_quiet_options_go_beside_the_users_extra_java_options(env, monkeypatch, config, quiet_as_default_options):
    from ruk.compute.archive import request as driver_archive
    from ruk.compute.start import plan

    seen, settings = [], []
    monkeypatch.setattr(plan, "running_gateway", lambda: None)  # the suite's JVM may run: a start that launches one
    monkeypatch.setattr(driver_archive, "start_request", lambda options, jars, conf: seen.append(options) or
                        settings.append(conf) or {"options": ARCHIVE, "archive": "/a.jsa"})
    env.strategy(dict(config)).get_spark_session()
    calls = [c[1:] for c in env.Spark.builders[0].calls if c[0] == "config"]
    quiet = QUIET.replace("LOG4J", env.log4j)
    # The archive's key and builder see what the builder is given, the archive's own options aside.
    for conf in settings:
        given = {k: v for k, v in calls if k != "spark.driver.defaultJavaOptions" or k in config}
        if "spark.driver.extraJavaOptions" not in config:
            given["spark.driver.extraJavaOptions"] = quiet
        assert conf == given
    user_extra = "spark.driver.extraJavaOptions" in config
    if quiet_as_default_options:
        # After the fast defaults, before the user's own entries, which pass unchanged.
        position = calls.index(("spark.driver.defaultJavaOptions", quiet + ARCHIVE))
        assert calls[position + 1:] == list(config.items())
        assert seen == [f"{quiet} {config['spark.driver.extraJavaOptions']}"]  # what the driver gets, in order
    else:
        assert ("spark.driver.defaultJavaOptions", quiet + ARCHIVE) not in calls
        assert seen == ([] if user_extra else [quiet])
    assert dict(calls).get("spark.driver.extraJavaOptions") == (
        config["spark.driver.extraJavaOptions"] if user_extra else quiet + ARCHIVE)


def _link_to(target):
    return lambda path: path.symlink_to(target)


# entry name -> how it is made (None: a small regular file), and why it is skipped (None: used)
JAR_ENTRIES = {
    "plain": ({"b.jar": None, "a.jar": None}, {}),
    "FIFO": ({"pipe.jar": os.mkfifo, "ok.jar": None}, {"pipe.jar": "a FIFO"}),
    "dangling link": ({"gone.jar": _link_to("/nonexistent/x.jar")}, {"gone.jar": "a dangling symbolic link"}),
    "link to a file": ({"linked.jar": _link_to("/etc/passwd")}, {}),
    "link to a directory": ({"linked.jar": _link_to("/etc")}, {"linked.jar": "a directory"}),
    "directory": ({"dir.jar": Path.mkdir, "ok.jar": None}, {"dir.jar": "a directory"}),
    "comma": ({"a,b.jar": None, "ok.jar": None}, {"a,b.jar": "its name contains ','"}),
    "colon": ({"a:b.jar": None}, {"a:b.jar": "its name contains ':'"}),
    "ignored names": ({".hidden.jar": os.mkfifo, "c.JAR": None, "notes.txt": None}, {}),
}


@pytest.mark.parametrize("case", list(JAR_ENTRIES))
def test_project_jars_reach_the_builder_and_odd_entries_are_skipped(env, case):
    """Only regular files (after links) whose names hold no list separator reach
    Spark; the strategy, the provisioning answer and the listing agree."""
    from ruk.compute.jar_provisioning import list_project_jars

    entries, skipped = JAR_ENTRIES[case]
    folder = jar_dir(env.project)
    for name, make in entries.items():
        (make or (lambda p: p.write_bytes(b"PK")))(folder / name)
    used = sorted(str(folder / n) for n in entries if n.endswith(".jar") and n[0] != "." and n not in skipped)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        env.strategy().get_spark_session()
        assert env.strategy()._get_jdbc_jars("/ignored") == used
        provisioned = env.strategy().get_jar_provisioning_config(set())
    configs = {c[1]: c[2] for c in env.Spark.builders[0].calls if c[0] == "config"}
    # No JARs: none of the three is passed (Spark reads "" as the working directory).
    given = [configs.get(k) for k in ("spark.jars", "spark.driver.extraClassPath", "spark.executor.extraClassPath")]
    assert given == ([",".join(used)] + [":".join(used)] * 2 if used else [None] * 3)
    assert provisioned == ({k: configs[k] for k in provisioned} if used else {})
    assert list_project_jars(str(env.project)) == (used, [(str(folder / n), r) for n, r in sorted(skipped.items())])
    # One warning per listing, naming every skipped entry.
    assert len(caught) == (3 if skipped else 0)
    for warning in caught:
        assert warning.category is RuntimeWarning
        assert all(f"{n} ({r})" in str(warning.message) for n, r in skipped.items())


LOG4J_OPTION = "-Dlog4j2.configurationFile=file:"
PRIVATE_DIR = f"mur-{os.geteuid()}"


def driver_log4j(builder):
    """The logging file in the driver's JVM options, as Spark's splitter reads
    them (shlex agrees with it on this quoting); None without that option."""
    configs = {c[1]: c[2] for c in builder.calls if c[0] == "config"}
    first = shlex.split(configs["spark.driver.extraJavaOptions"])[0]
    return first[len(LOG4J_OPTION):] if first.startswith(LOG4J_OPTION) else None


def _link_at_name(env, monkeypatch=None):
    os.symlink(env.root / "victim.txt", env.log4j)  # dangling: following it would create the victim


def _other_users_file(env, monkeypatch):
    Path(env.log4j).write_text("theirs")
    os.chown(env.log4j, 65534, 65534)


def _link_at_private_dir_too(env, monkeypatch):
    _link_at_name(env)
    (env.root / "elsewhere").mkdir()
    os.symlink(env.root / "elsewhere", env.tmp / PRIVATE_DIR)


def _private_dir_open_to_others(env, monkeypatch):
    _link_at_name(env)
    (env.tmp / PRIVATE_DIR).mkdir(mode=0o755)
    os.chmod(env.tmp / PRIVATE_DIR, 0o755)


def _no_temp_dir(env, monkeypatch):
    monkeypatch.setattr(tempfile, "tempdir", str(env.root / "gone"))


def _nowhere(env, monkeypatch):
    _no_temp_dir(env, monkeypatch)
    (env.root / "home-file").write_text("x")
    monkeypatch.setenv("HOME", str(env.root / "home-file"))


def snapshot(path):
    info = os.lstat(path)
    if os.path.islink(path):
        content = os.readlink(path)
    else:
        content = Path(path).read_bytes() if os.path.isfile(path) else None
    return info.st_ino, info.st_mode, info.st_uid, content


# What is at the shared name (or around it) -> where the logging file goes.
LOG4J_PLACES = {
    "free name": (None, "shared"),
    "our file, same text": (lambda env, mp: Path(env.log4j).write_text(LOG4J_TEXT), "shared"),
    "our file, old text": (lambda env, mp: Path(env.log4j).write_text("old"), "shared"),
    "a dangling link": (_link_at_name, "private"),
    "a directory": (lambda env, mp: os.mkdir(env.log4j), "private"),
    "another user's file": (_other_users_file, "private"),
    "temp dir writable by all, not sticky": (lambda env, mp: os.chmod(env.tmp, 0o777), "private"),
    "a link at the private name too": (_link_at_private_dir_too, "home"),
    "private dir open to others": (_private_dir_open_to_others, "home"),
    "no temp dir": (_no_temp_dir, "home"),
    "no temp dir, HOME a file": (_nowhere, None),
}


@pytest.mark.parametrize("layout", list(LOG4J_PLACES))
def test_log4j_file_only_where_no_one_else_can_change_it(env, monkeypatch, layout):
    plant, place = LOG4J_PLACES[layout]
    if layout == "another user's file" and os.geteuid() != 0:
        pytest.skip("needs root to give the file away")
    if plant is not None:
        plant(env, monkeypatch)
    planted = {p: snapshot(p) for p in env.root.rglob("*")}
    env.strategy().get_spark_session()
    env.strategy({"spark.again": "1"}).get_spark_session()  # a second start finds its own file

    expected = {
        "shared": env.log4j,
        "private": str(env.tmp / PRIVATE_DIR / "mur_log4j2.properties"),
        "home": str(env.home / ".mur" / "mur_log4j2.properties"),
        None: None,
    }[place]
    assert [driver_log4j(b) for b in env.Spark.builders] == [expected, expected]
    if expected is None:  # nowhere to write it: Spark's own logging, and the start goes on
        configs = dict(c[1:] for c in env.Spark.builders[0].calls if c[0] == "config")
        assert configs["spark.driver.extraJavaOptions"] == dict(fast_defaults(""))["spark.driver.extraJavaOptions"].split(" ", 1)[1]
    else:
        info = os.lstat(expected)
        assert info.st_uid == os.geteuid() and Path(expected).read_text() == LOG4J_TEXT
        assert oct(info.st_mode) == oct(0o100644)
    assert (env.home / ".mur" / "jdbc_jars").is_dir() is (place is not None)
    assert not (env.root / "victim.txt").exists()
    # whatever was there is left as it was
    assert {p: snapshot(p) for p in planted if str(p) != expected} == {
        p: v for p, v in planted.items() if str(p) != expected}
    assert list(env.root.rglob(".mur_log4j2.properties.*")) == []  # no temporary file left behind


def start_as(user, sticky, env):
    """One session start by `user` in a child of this (root) process, with the
    sticky directory as its temporary directory; the child's report comes back
    through a pipe: the logging file's path, owner and kind."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: never return into pytest
        status = 1
        try:
            os.close(read_end)
            os.setgroups([])
            os.setgid(user.pw_gid)
            os.setuid(user.pw_uid)
            home = os.path.join(sticky, "home-" + user.pw_name)
            os.environ.update(HOME=home, TMPDIR=sticky)
            tempfile.tempdir = sticky
            os.chdir(home)
            env.Spark.builders.clear()
            env.strategy().get_spark_session()
            path = driver_log4j(env.Spark.builders[0])
            info = os.lstat(path)
            report = {"path": path, "uid": info.st_uid, "mode": info.st_mode, "text": Path(path).read_text()}
            status = 0
        except BaseException as e:  # reported to the parent
            report = {"error": repr(e)}
        os.write(write_end, json.dumps(report).encode())
        os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        report = json.loads(pipe.read() or "{}")
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, report
    return report


@pytest.fixture
def two_users():
    if os.geteuid() != 0 or not shutil.which("useradd"):
        message = "needs root and useradd to make two users"
        if os.environ.get("CI") == "true":
            pytest.fail(message)
        pytest.skip(message)
    names = [f"murt{os.getpid() % 100000}{letter}" for letter in "ab"]
    made = []
    try:
        for name in names:
            subprocess.run(["useradd", "--no-create-home", "--user-group", "--shell", "/usr/sbin/nologin", name],
                           check=True, capture_output=True)
            made.append(name)
        yield [pwd.getpwnam(name) for name in names]
    finally:
        for name in made:
            subprocess.run(["userdel", name], capture_output=True)


def test_two_users_share_a_sticky_temp_dir_with_a_planted_link(env, two_users):
    sticky = tempfile.mkdtemp(prefix="mur-sticky-", dir="/tmp")
    try:
        os.chmod(sticky, 0o1777)
        for user in two_users:
            home = os.path.join(sticky, "home-" + user.pw_name)
            os.mkdir(home, 0o700)
            os.chown(home, user.pw_uid, user.pw_gid)
        shared = os.path.join(sticky, "mur_log4j2.properties")
        victim = os.path.join(sticky, "victim")
        os.symlink(victim, shared)  # root's, dangling

        def check(report, user):
            assert report["uid"] == user.pw_uid and report["text"] == LOG4J_TEXT
            assert report["mode"] == 0o100644  # a regular file, not a link

        first = [start_as(user, sticky, env) for user in two_users]
        for report, user in zip(first, two_users):
            check(report, user)
            assert report["path"] == os.path.join(sticky, f"mur-{user.pw_uid}", "mur_log4j2.properties")
        assert os.readlink(shared) == victim and not os.path.lexists(victim)

        os.unlink(shared)  # the name is free again: the first user to start takes it
        a, b = (start_as(user, sticky, env) for user in two_users)
        check(a, two_users[0])
        check(b, two_users[1])
        assert a["path"] == shared and b["path"] == first[1]["path"]
    finally:
        shutil.rmtree(sticky)


@pytest.mark.parametrize("name", ["plain", "with space", "it's", 'say "hi"', "back\\slash", "tab\there"])
def test_log4j_option_quoted_only_when_needed(env, monkeypatch, name):
    tmp = env.root / name
    tmp.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp))
    env.strategy().get_spark_session()
    (builder,) = env.Spark.builders
    assert driver_log4j(builder) == str(tmp / "mur_log4j2.properties")
    options = dict(c[1:] for c in builder.calls if c[0] == "config")["spark.driver.extraJavaOptions"]
    assert options.startswith("'") is (name != "plain")


BAD_INPUT = [
    ({}, None, "Spark application name (app_name) must be a string, got NoneType: None"),
    ({}, b"app", "Spark application name (app_name) must be a string, got bytes: b'app'"),
    ({1: "a", "b": "c"}, "app", "Spark setting names must be strings, got int: 1"),
    ({"a": 1, ("k",): 2}, "app", "Spark setting names must be strings, got tuple: ('k',)"),
    ({"master": 4}, "app", "Spark setting 'master' must be a string such as 'local[2]', got int: 4"),
    ({"master": None}, "app", "Spark setting 'master' must be a string such as 'local[2]', got NoneType: None"),
    ("spark.x=1", "app", "Local Spark config must be a dictionary, got <class 'str'>"),
    ([("a", 1)], "app", "Local Spark config must be a dictionary, got <class 'list'>"),
]


@pytest.mark.parametrize("entry", ["get_spark_session", "validate_config"])
@pytest.mark.parametrize("config, app_name, message", BAD_INPUT)
def test_bad_input_is_refused_before_anything_changes(env, config, app_name, message, entry):
    with pytest.raises(local.RukRuntimeError) as info:
        getattr(env.strategy(config, app_name), entry)()
    assert str(info.value) == message
    assert env.calls == [] and "_JAVA_OPTIONS" not in os.environ
    assert env.Spark.builders == [] and env.cache == {}
    assert os.listdir(env.tmp) == [] and os.listdir(env.home) == []


@pytest.mark.parametrize(
    "before, after",
    [
        (None, JAVA_FLAGS),
        ("-Xmx2g", "-Xmx2g " + JAVA_FLAGS),
        ("   ", JAVA_FLAGS),
        ("-Dx=1 -XX:-UseVectorCmov", "-Dx=1 -XX:-UseVectorCmov"),
        ("-XX:-UseVectorCmovLonger", "-XX:-UseVectorCmovLonger"),
    ],
)
def test_java_options(env, monkeypatch, before, after):
    if before is not None:
        monkeypatch.setenv("_JAVA_OPTIONS", before)
    strategy = env.strategy()
    strategy.get_spark_session()
    strategy.get_spark_session()  # a second request adds nothing
    assert os.environ["_JAVA_OPTIONS"] == after


# --- cache key and reuse --------------------------------------------------------------


def test_cache_key_rules(env, monkeypatch):
    md5 = hashlib.md5

    def fips_md5(data=b"", *, usedforsecurity=True):  # as on a host whose OpenSSL is in FIPS mode
        if usedforsecurity:
            raise ValueError("[digital envelope routines] unsupported")
        return md5(data, usedforsecurity=False)

    monkeypatch.setattr(hashlib, "md5", fips_md5)
    first = env.strategy({"a": "1", "b": "2"}).get_spark_session()
    assert list(env.cache) == [key_of({"a": "1", "b": "2"})]
    assert env.strategy({"b": "2", "a": "1"}, app_name="other").get_spark_session() is first
    assert len(env.Spark.builders) == 1  # the second app name never reached a builder
    assert env.strategy({"n": "8"}).get_spark_session() is not env.strategy({"n": 8}).get_spark_session()
    assert len(env.cache) == 3


@pytest.mark.parametrize(
    "damage, reused",
    [
        (None, True),
        ("probe raises", False),
        ("jsc is None", False),  # stopped behind the cache's back: getConf still answers
        ("no jsc attribute", True),
        ("PySpark's own context without jsc", True),
    ],
)
def test_reuse_check(env, monkeypatch, damage, reused):
    cached = session()
    if damage == "probe raises":
        cached.sparkContext.get_conf_error = RuntimeError("dead")
    elif damage == "jsc is None":
        cached.sparkContext._jsc = None
    elif damage in ("no jsc attribute", "PySpark's own context without jsc"):
        del cached.sparkContext._jsc
    if damage == "PySpark's own context without jsc":  # the stand-in's class taken for PySpark's own
        monkeypatch.setitem(sys.modules, "pyspark.core.context",
                            types.SimpleNamespace(SparkContext=type(cached.sparkContext)))
        monkeypatch.setattr(pyspark_internals, "_warned", set())
    env.cache[key_of({})] = cached
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = env.strategy().get_spark_session()
    assert [str(w.message).split(":")[0] for w in caught if "_jsc" in str(w.message)] == (
        [f"PySpark {pyspark_internals.pyspark_version()} has no SparkContext._jsc"]
        if damage == "PySpark's own context without jsc" else [])
    if reused:
        assert got is cached and env.Spark.active_session_calls == 0 and env.Spark.builders == []
    else:
        assert got is env.Spark.created[0] and env.Spark.active_session_calls == 1
        assert cached.stop_calls == 0  # evicted, not stopped
    assert env.cache == {key_of({}): got}


@pytest.mark.parametrize("stop_fails", [False, True])
def test_active_session_stopped_before_creation(env, capsys, stop_fails):
    one, two = env.cache["k1"], env.cache["k2"] = session("one"), session("two")
    env.Spark.active = active = session("active")
    active.stop_error = RuntimeError("no") if stop_fails else None
    new = env.strategy().get_spark_session()
    assert active.stop_calls == 1 and one.stop_calls == two.stop_calls == 0
    # a failed stop leaves every entry in place; a successful one forgets them all
    assert env.cache == ({"k1": one, "k2": two} if stop_fails else {}) | {key_of({}): new}
    assert capsys.readouterr().err == ""


def test_cache_hit_runs_the_preparation_but_touches_no_files(env, monkeypatch):
    cached = env.cache[key_of({})] = session()
    seen = {}

    def java_check():
        env.calls.append("java")
        seen["java_options"] = os.environ.get("_JAVA_OPTIONS")
        seen["lock_free"] = lock_is_free()

    monkeypatch.setattr(local, "_ensure_java_available", java_check)
    assert env.strategy().get_spark_session() is cached
    assert env.calls == ["tracker", "java"]
    assert seen == {"java_options": JAVA_FLAGS, "lock_free": True}
    assert os.listdir(env.tmp) == [] and os.listdir(env.home) == []


def test_pyspark_unavailable(env, monkeypatch):
    monkeypatch.setattr(local, "PYSPARK_AVAILABLE", False)
    with pytest.raises(local.RukRuntimeError) as info:
        env.strategy().get_spark_session()
    assert str(info.value) == "PySpark is not available. Install it with: pip install pyspark"
    assert "_JAVA_OPTIONS" not in os.environ and env.calls == []


@pytest.mark.parametrize("module, name, replacement, message", [
    ("start.plan", "start_plan", lambda strategy, cache_key: None,
     "ruk.compute.start.plan.start_plan must take 5 positional argument(s)"),
    ("start.jvm_settings", "stop_reused_session", lambda *, session_class: None,
     "ruk.compute.start.jvm_settings.stop_reused_session must take 1 positional argument(s)"),
    ("host.home", "jar_cache_directory", "not a function",
     "ruk.compute.host.home.jar_cache_directory is not callable"),
])
def test_a_sibling_that_does_not_fit_the_call_is_named_before_anything_starts(env, module, name, replacement,
                                                                               message):
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(importlib.import_module(f"ruk.compute.{module}"), name, replacement)
        with pytest.raises(TypeError, match=re.escape(message)):
            env.strategy().get_spark_session()
    assert env.Spark.created == [] and env.cache == {}
    env.strategy().get_spark_session()  # the real one passes again
    assert len(env.Spark.created) == 1


@pytest.mark.parametrize("where", ["probe", "getActiveSession"])
def test_keyboard_interrupt_in_lookup_frees_the_lock(env, where):
    if where == "probe":
        cached = env.cache[key_of({})] = session()
        cached.sparkContext.get_conf_error = KeyboardInterrupt()
    else:
        env.Spark.active_session_error = KeyboardInterrupt()
    before = dict(env.cache)
    with pytest.raises(KeyboardInterrupt):
        env.strategy().get_spark_session()
    assert lock_is_free() and env.cache == before and env.Spark.builders == []


# --- start-up console capture -----------------------------------------------------------


@pytest.mark.parametrize(
    "captured, shown",
    [
        ("WARNING: x\n\nreal line\n", "real line\n"),
        ("  SLF4J: x\n", ""),
        ("a log4j: b\n", ""),
        ("Picked up _JAVA_OPTIONS: -Xmx1g\n", ""),
        ("NOTE: Picked up JAVA_TOOL_OPTIONS: -Dx\n", ""),
        ("Using incubator modules: jdk.incubator.vector\n", ""),
        ("warning: x\n", "warning: x\n"),
        ("  keep me  \n", "keep me\n"),
        ("first\r\n\tlast line", "first\nlast line\n"),
        ("", ""),
    ],
)
def test_console_filter(env, capsys, captured, shown):
    env.Spark.stderr_text = captured
    original = sys.stderr
    env.strategy().get_spark_session()
    assert sys.stderr is original
    assert capsys.readouterr().err == shown


@pytest.mark.parametrize("failing", ["getOrCreate", "setLogLevel"])
def test_failed_start_restores_console_and_caches_nothing(env, capsys, failing):
    env.Spark.stderr_text = "WARNING: noise\nwhy it failed\n"
    if failing == "getOrCreate":
        env.Spark.get_or_create_error = RuntimeError("boom")
    else:
        env.Spark.set_log_level_error = RuntimeError("boom")
    original = sys.stderr
    with pytest.raises(RuntimeError, match="boom"):
        env.strategy().get_spark_session()
    assert sys.stderr is original
    assert capsys.readouterr().err == "why it failed\n"
    assert env.cache == {}


def test_capture_reads_its_own_buffer_when_stderr_is_replaced(env, capsys):
    def replace_stderr(builder):
        sys.stderr = io.StringIO()
        print("written elsewhere", file=sys.stderr)

    env.Spark.stderr_text = "from the start\n"
    env.Spark.get_or_create_hook = replace_stderr
    original = sys.stderr
    env.strategy().get_spark_session()
    assert sys.stderr is original
    assert capsys.readouterr().err == "from the start\n"


def test_stderr_restored_when_reading_the_capture_fails(env, monkeypatch):
    class Unreadable(io.StringIO):
        def getvalue(self):
            raise OSError("unreadable")

    monkeypatch.setitem(sys.modules, "io", types.SimpleNamespace(StringIO=Unreadable))
    original = sys.stderr
    with pytest.raises(OSError, match="unreadable"):
        env.strategy().get_spark_session()
    assert sys.stderr is original and env.cache == {}


# --- close -----------------------------------------------------------------------------


@pytest.mark.parametrize("value, keeps", [("1", True), (None, False), ("0", False), ("true", False),
                                          ("01", False), (" 1", False), ("1 ", False)])
def test_close_keep_alive(env, monkeypatch, value, keeps):
    if value is not None:
        monkeypatch.setenv("MUR_SPARK_KEEP_ALIVE", value)
    spark = env.cache["k"] = session()
    assert env.strategy().close(spark) is None
    assert (env.cache == {"k": spark}) is keeps
    assert spark.stop_calls == (0 if keeps else 1)


def test_close_none_leaves_cache(env):
    cached = env.cache["k"] = session()
    assert env.strategy().close(None) is None and env.cache == {"k": cached}


def test_close_stops_uncached_session_after_releasing_the_lock(env):
    other = env.cache["k"] = session("other")
    spark = session("spark")
    spark.stop_hook = lambda s: s.__dict__.update(lock_free_at_stop=lock_is_free())
    env.strategy().close(spark)
    assert env.cache == {"k": other}
    assert spark.stop_calls == 1 and spark.lock_free_at_stop


def test_close_removes_only_the_first_identical_entry(env):
    class EqualToAll(FakeSparkSession):
        def __eq__(self, other):
            return True

        __hash__ = object.__hash__

    spark, lookalike = session(), EqualToAll("lookalike")
    env.cache.update({"look": lookalike, "k1": spark, "k2": spark})
    env.strategy().close(spark)
    assert env.cache == {"look": lookalike, "k2": spark}
    assert list(env.cache) == ["look", "k2"] and env.cache["look"] is lookalike
    assert spark.stop_calls == 1 and lookalike.stop_calls == 0


# --- cleanup_all_spark_sessions -----------------------------------------------------------


def test_cleanup_stops_all_in_order_under_the_lock(env, monkeypatch):
    monkeypatch.setenv("MUR_SPARK_KEEP_ALIVE", "1")  # cleanup ignores keep-alive
    log, locked = [], []
    one, two = session("one", stop_log=log), session("two", stop_log=log)
    one.stop_error = RuntimeError("first fails")
    two.stop_hook = lambda s: locked.append(local._SPARK_SESSION_LOCK.locked())
    env.cache.update({"k1": one, "k2": two, "k3": one})
    assert local.cleanup_all_spark_sessions() is None
    assert log == ["one", "two", "one"]  # the same object cached twice is stopped twice
    assert locked == [True] and env.cache == {}
    assert local._SPARK_SESSION_CACHE is env.cache  # emptied in place


def test_cleanup_keyboard_interrupt_frees_lock_and_keeps_cache(env):
    one, two = session("one"), session("two")
    one.stop_error = KeyboardInterrupt()
    env.cache.update({"k1": one, "k2": two})
    with pytest.raises(KeyboardInterrupt):
        local.cleanup_all_spark_sessions()
    assert lock_is_free() and env.cache == {"k1": one, "k2": two} and two.stop_calls == 0


# --- _ensure_java_available ----------------------------------------------------------------


@pytest.fixture
def java(monkeypatch):
    fake = FakeJavaCompat(pyspark_info([8, 11, 17]), installations=["jdk-a", "jdk-b"])
    fake.best = None
    monkeypatch.setitem(sys.modules, "ruk.compute.java_compat", fake)
    monkeypatch.setenv("JAVA_HOME", "/previous/jdk")
    monkeypatch.setenv("PATH", "/usr/bin")
    return fake


def test_java_pyspark_missing(java):
    java.info = None
    with pytest.raises(local.RukRuntimeError) as info:
        local._ensure_java_available()
    assert str(info.value) == NO_PYSPARK_INFO
    assert java.calls == [("get_pyspark_info",)]
    assert (os.environ["JAVA_HOME"], os.environ["PATH"]) == ("/previous/jdk", "/usr/bin")


@pytest.mark.parametrize("supported, text", [([8, 11, 17], "8, 11, 17"), (("8", "11", "17"), "8, 11, 17"), ([], "")])
def test_java_none_compatible(java, supported, text):
    java.info.java_supported = supported
    with pytest.raises(local.RukRuntimeError) as info:
        local._ensure_java_available()
    assert str(info.value) == f"No compatible Java found for PySpark 4.0.1.\nPySpark 4.0 requires Java {text}" + NO_JAVA_TAIL
    assert java.calls[-1] == ("select_best_java", java.installations, supported)
    assert java.calls[-1][1] is java.installations and java.calls[-1][2] is supported
    assert (os.environ["JAVA_HOME"], os.environ["PATH"]) == ("/previous/jdk", "/usr/bin")


@pytest.mark.parametrize(
    "home, path_before, path_after",
    [
        ("/opt/jdk", "/usr/bin", "/opt/jdk/bin{s}/usr/bin"),
        # no empty entry (the working directory) for an unset or empty PATH
        ("/opt/jdk", None, "/opt/jdk/bin"),
        ("/opt/jdk", "", "/opt/jdk/bin"),
        ("/opt/jdk/", "/usr/bin", "/opt/jdk/bin{s}/usr/bin"),
        ("/opt/jdk", "/opt/jdk/bin{s}/usr/bin", "/opt/jdk/bin{s}/usr/bin"),
        ("/opt/jdk", "/usr/bin{s}/opt/jdk/bin", "/opt/jdk/bin{s}/usr/bin{s}/opt/jdk/bin"),
        ("/opt/jdk", "/opt/jdk/bin-old{s}/usr/bin", "/opt/jdk/bin{s}/opt/jdk/bin-old{s}/usr/bin"),
    ],
)
def test_java_exported(java, monkeypatch, home, path_before, path_after):
    java.best = types.SimpleNamespace(path=home)
    if path_before is None:
        monkeypatch.delenv("PATH")
    else:
        monkeypatch.setenv("PATH", path_before.format(s=os.pathsep))
    for _ in range(2):  # a later request rewrites JAVA_HOME but must not grow PATH
        assert local._ensure_java_available() is None
        assert os.environ["JAVA_HOME"] == home
        assert os.environ["PATH"] == path_after.format(s=os.pathsep)
        os.environ["JAVA_HOME"] = "/changed/meanwhile"


def test_java_path_not_a_string(java):
    java.best = types.SimpleNamespace(path=Path("/opt/jdk"))
    with pytest.raises(TypeError):
        local._ensure_java_available()
    assert (os.environ["JAVA_HOME"], os.environ["PATH"]) == ("/previous/jdk", "/usr/bin")


# --- _disable_multiprocessing_resource_tracker ----------------------------------------------


def test_resource_tracker_disabled(monkeypatch):
    from multiprocessing import resource_tracker

    # Registered so that teardown restores both attributes, whether or not _fd existed.
    monkeypatch.setattr(resource_tracker, "_resource_tracker", object())
    monkeypatch.setattr(resource_tracker, "_fd", 7, raising=False)
    monkeypatch.delattr(resource_tracker, "_fd")
    assert local._disable_multiprocessing_resource_tracker() is None
    assert resource_tracker._resource_tracker is None and resource_tracker._fd is None


def test_resource_tracker_refusing_second_assignment(monkeypatch):
    class Refusing:
        def __setattr__(self, name, value):
            if name == "_fd":
                raise RuntimeError("read-only")
            object.__setattr__(self, name, value)

    refusing = Refusing()
    refusing._resource_tracker = "running"
    monkeypatch.setitem(sys.modules, "multiprocessing.resource_tracker", refusing)
    monkeypatch.setattr(multiprocessing, "resource_tracker", refusing, raising=False)
    assert local._disable_multiprocessing_resource_tracker() is None
    assert refusing._resource_tracker is None and not hasattr(refusing, "_fd")


def test_other_threads_stderr_passes_during_the_start(env, monkeypatch):
    """Another thread's stderr is never captured nor filtered during a start,
    whether it writes through sys.stderr, a logging handler or fd 2 itself."""
    stderr = open(2, "w", buffering=1, closefd=False)  # what sys.stderr is in a plain process
    monkeypatch.setattr(sys, "stderr", stderr)
    logger = logging.getLogger("other")
    monkeypatch.setattr(logger, "propagate", False)
    handlers = []

    def other_thread():
        handler = logging.StreamHandler()  # bound to the sys.stderr of the moment: the start's
        handler.setFormatter(logging.Formatter(logging.BASIC_FORMAT))
        logger.addHandler(handler)
        handlers.append(handler)
        logger.warning("logged by another thread")
        print("WARNING: printed by another thread", file=sys.stderr)
        os.write(2, b"SLF4J: written to fd 2 by another thread\n")

    def start(builder):
        thread = threading.Thread(target=other_thread)
        thread.start()
        thread.join()
        print("WARNING: start-up noise\nstart line", file=sys.stderr)

    env.Spark.get_or_create_hook = start
    with StderrPipe() as console:
        try:
            spark = env.strategy().get_spark_session()
            assert sys.stderr is stderr
            logger.warning("logged after the start")
        finally:
            for handler in handlers:
                logger.removeHandler(handler)
        shown = console.text()
    assert shown == (
        "WARNING:other:logged by another thread\n"
        "WARNING: printed by another thread\n"
        "SLF4J: written to fd 2 by another thread\n"
        "start line\n"
        "WARNING:other:logged after the start\n"
    )


# Whether a start launches the JVM itself, against the installed PySpark, and
# the missing internal it names.
OWNS_LAUNCH = {
    "PySpark's own class": ({}, {}, None, True, None),
    "a stand-in class": ({}, {}, "stand-in", False, None),
    "a JVM started elsewhere": ({}, {"PYSPARK_GATEWAY_PORT": "1"}, None, False, None),
    "Spark Connect": ({"spark.remote": "sc://localhost"}, {}, None, False, None),
    "a JVM runs already": ({}, {}, "running", False, None),
    "PySpark without _ensure_initialized": ({}, {}, "no _ensure_initialized", False,
                                            "SparkContext._ensure_initialized"),
    "PySpark 4 without the API mode's default": ({}, {}, "no default_api_mode", False,
                                                 "pyspark.util.default_api_mode"),
    "PySpark 3.5, which has no API mode": ({}, {}, "3.5", True, None),
}


@pytest.mark.parametrize("case", list(OWNS_LAUNCH))
def test_owns_launch(monkeypatch, case):
    require(missing_pyspark_and_java())
    import pyspark
    import pyspark.util
    from pyspark.core.context import SparkContext
    from pyspark.sql import SparkSession
    from ruk.compute.start import launch as driver_launch
    from ruk.compute.start import pyspark_internals

    settings, environ, change, expected, named = OWNS_LAUNCH[case]
    for name, value in environ.items():
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(SparkContext, "_gateway", object() if change == "running" else None)
    monkeypatch.setattr(pyspark_internals, "_warned", set())
    if change == "no _ensure_initialized":
        monkeypatch.delattr(SparkContext, "_ensure_initialized")
    if change in ("no default_api_mode", "3.5"):
        monkeypatch.delattr(pyspark.util, "default_api_mode")
    if change == "3.5":
        monkeypatch.setattr(pyspark, "__version__", "3.5.9")
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        owned = driver_launch.owns_launch(FakeSparkSession if change == "stand-in" else SparkSession, settings)
    assert owned is expected
    assert [str(w.message).split(":")[0] for w in warned] == (
        [f"PySpark {pyspark_internals.pyspark_version()} has no {named}"] if named else [])


def test_a_gateway_without_its_process_is_left_to_pyspark_and_said_once(monkeypatch):
    require(missing_pyspark_and_java())  # py4j
    from py4j.java_gateway import JavaGateway
    from ruk.compute.start import launch as driver_launch
    from ruk.compute.start import pyspark_internals

    monkeypatch.setattr(pyspark_internals, "_warned", set())
    gateway = JavaGateway.__new__(JavaGateway)  # never connected: PySpark set no proc on it
    with pytest.warns(RuntimeWarning, match="has no JavaGateway.proc: the local strategy leaves a failed start"):
        assert driver_launch._launched(gateway, None) == (None, gateway)


def test_failed_launch_ends_its_process_group_found_in_the_traceback(monkeypatch):
    """Interrupted inside the launch, before it returned: the Popen its frame
    holds is ended with its group, a member that ignores SIGTERM included."""
    require(missing_pyspark_and_java())  # py4j
    from ruk.compute.start import launch as driver_launch

    monkeypatch.setattr(driver_launch, "TERMINATE_WAIT", 0.1)
    stubborn = ("import signal, subprocess, sys, time; signal.signal(signal.SIGTERM, signal.SIG_IGN); "
                "print(subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(600)']).pid, flush=True); "
                "time.sleep(600)")
    launched = {}

    def launch_gateway():
        proc = subprocess.Popen([sys.executable, "-c", stubborn], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                process_group=0)
        launched.update(proc=proc, member=int(proc.stdout.readline()))
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as info:
        launch_gateway()
    driver_launch.end_launch(None, info.value)
    launched["proc"].stdout.close()
    assert launched["proc"].returncode == -9
    member = f"/proc/{launched['member']}/stat"

    def ended():  # reaped, or a zombie; SIGKILL is delivered asynchronously
        try:
            return Path(member).read_text().rsplit(")", 1)[1].split()[0] in "ZX"
        except OSError:
            return True

    deadline = time.monotonic() + 30
    while not ended() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert ended()
