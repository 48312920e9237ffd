"""A small stand-in for PySpark's SparkSession and for the Java discovery, enough
to drive session management without a JVM. Bind a fresh class per test
(`FakeSparkSession.fresh()`) so the class-level knobs and records never leak
between tests.

Shared by the tests, the leak check (which runs it under a debug interpreter
without pytest or PySpark, and imports the extension only after its own
failing-import cases) and the benchmark: import nothing heavy at the top."""

import hashlib
import os
import select
import sys
import tempfile
import threading
import time
import types
from pathlib import Path

from ruk.compute.java_compat import parse_java_major


class FakeSparkContext:
    def __init__(self, gateway=None):
        self._jsc = object()  # PySpark sets this to None once the context is stopped
        if gateway is not None:  # else the class's, which a test may set as PySpark's is
            self._gateway, self._jvm = gateway, gateway.jvm
        self.log_levels = []
        self.get_conf_error = None
        self.set_log_level_error = None

    def getConf(self):
        if self.get_conf_error is not None:
            raise self.get_conf_error
        return {"spark.app.name": "fake"}

    def setLogLevel(self, level):
        self.log_levels.append(level)
        if self.set_log_level_error is not None:
            raise self.set_log_level_error


class FakeBuilder:
    def __init__(self, session_class):
        self.session_class = session_class
        self.calls = []

    def appName(self, name):
        self.calls.append(("appName", name))
        return self

    def master(self, master):
        self.calls.append(("master", master))
        return self

    def config(self, key, value):
        self.calls.append(("config", key, value))
        if self.session_class.config_hook is not None:
            self.session_class.config_hook(key, value)
        return self

    def getOrCreate(self):
        self.calls.append(("getOrCreate",))
        return self.session_class._get_or_create(self)


class _NewBuilder:
    """`SparkSession.builder` hands out a new builder on every access, as PySpark does."""

    def __get__(self, instance, owner):
        builder = FakeBuilder(owner)
        owner.builders.append(builder)
        return builder


class FakeSparkSession:
    builder = _NewBuilder()

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        cls.builders = []  # every builder handed out
        cls.created = []  # sessions returned by getOrCreate
        cls.active = None  # what getActiveSession reports
        cls.active_session_error = None
        cls.active_session_calls = 0
        cls.stderr_text = ""  # written to sys.stderr by getOrCreate
        cls.config_hook = None  # called with key and value by builder.config
        cls.get_or_create_hook = None  # called with the builder inside getOrCreate
        cls.get_or_create_error = None
        cls.set_log_level_error = None  # given to the contexts of new sessions

    @classmethod
    def fresh(cls):
        return type("FakeSparkSession", (cls,), {})

    def __init__(self, name="session", stop_log=None, stop_error=None, sql_error=None, gateway=None):
        self.name = name
        self.sparkContext = FakeSparkContext(gateway)
        self.stop_calls = 0
        self.stopped = False
        self.stop_error = stop_error
        self.stop_hook = None
        self.stop_log = stop_log
        self.queries = []  # what sql() was given
        self.collected = 0  # collect() calls on its results
        self.sql_error = sql_error

    def __repr__(self):
        return f"<FakeSparkSession {self.name}>"

    def stop(self):
        self.stop_calls += 1
        if self.stop_log is not None:
            self.stop_log.append(self.name)
        if self.stop_hook is not None:
            self.stop_hook(self)
        if self.stop_error is not None:
            raise self.stop_error
        self.stopped = True
        self.sparkContext._jsc = None

    def sql(self, query):
        self.queries.append(query)
        if self.sql_error is not None:
            raise self.sql_error
        return FakeDataFrame(self)

    @classmethod
    def getActiveSession(cls):
        cls.active_session_calls += 1
        if cls.active_session_error is not None:
            raise cls.active_session_error
        return cls.active

    @classmethod
    def _get_or_create(cls, builder):
        if cls.stderr_text:
            sys.stderr.write(cls.stderr_text)
        if cls.get_or_create_hook is not None:
            cls.get_or_create_hook(builder)
        if cls.get_or_create_error is not None:
            raise cls.get_or_create_error
        session = cls(name=f"created-{len(cls.created)}")
        session.sparkContext.set_log_level_error = cls.set_log_level_error
        cls.created.append(session)
        return session


class ReusingSparkSession(FakeSparkSession):
    """Reuses as PySpark's builder does: getOrCreate hands out its default
    session while that runs (the new settings applied at run time only); a
    new one has the builder's `master` and settings (`started_with`). The
    active session is per thread. `start_delay` widens races."""

    _instantiatedSession = None
    start_delay = 0.0

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        cls.local = threading.local()

    @classmethod
    def getActiveSession(cls):
        active = getattr(cls.local, "active", None)
        return None if active is None or active.stopped else active

    @classmethod
    def _get_or_create(cls, builder):
        time.sleep(cls.start_delay)
        if cls._instantiatedSession is None:
            session = cls._instantiatedSession = super()._get_or_create(builder)
            session.master = dict(call for call in builder.calls if len(call) == 2)["master"]
            session.started_with = {call[1]: call[2] for call in builder.calls if call[0] == "config"}
        cls.local.active = cls._instantiatedSession
        return cls._instantiatedSession

    def stop(self):
        super().stop()
        type(self)._instantiatedSession = None


class FakeDataFrame:
    def __init__(self, session):
        self.session = session

    def collect(self):
        self.session.collected += 1
        return [(1,)]


class FakeGateway:
    """A stand-in for py4j's gateway to the JVM. `.jvm` answers any attribute
    path; a call records its path in `calls` and answers with a further path,
    except `java.lang.System.getProperty`, answered from `properties`.
    `fails`: every call raises; `interrupt`: the next call is a Ctrl-C."""

    def __init__(self, properties=None, fails=False, interrupt=False):
        self.calls, self.properties, self.fails, self.interrupt = [], dict(properties or {}), fails, interrupt
        self.jvm = _JvmPath(self, "")


class _JvmPath:
    def __init__(self, gateway, path):
        self.gateway, self.path = gateway, path

    def __getattr__(self, name):
        return _JvmPath(self.gateway, f"{self.path}.{name}" if self.path else name)

    def __call__(self, *args):
        gateway = self.gateway
        if gateway.interrupt:
            gateway.interrupt = False
            raise KeyboardInterrupt
        if gateway.fails:
            raise RuntimeError("no answer")
        gateway.calls.append(self.path)
        if self.path == "java.lang.System.getProperty":
            return gateway.properties.get(*args)
        return _JvmPath(gateway, self.path + "()")


def pyspark_dist(site, version):
    """An installed PySpark of this version in the folder `site`, in place of any other."""
    site = Path(site)
    for old in site.glob("pyspark-*.dist-info"):
        for f in old.iterdir():
            f.unlink()
        old.rmdir()
    dist = site / f"pyspark-{version}.dist-info"
    dist.mkdir(parents=True)
    (dist / "METADATA").write_text(f"Metadata-Version: 2.1\nName: pyspark\nVersion: {version}\n")


# --- the Java discovery ------------------------------------------------------------

FAKE_JDK = "/opt/fake-jdk"


def pyspark_info(java_supported=(17, 21), version="4.0.1", major_minor="4.0"):
    """What java_compat.get_pyspark_info() answers."""
    return types.SimpleNamespace(java_supported=list(java_supported), version=version, major_minor=major_minor)


class FakeJavaCompat(types.ModuleType):
    """A stand-in `ruk.compute.java_compat` whose discovery answers at once.

    Each function records its call and arguments in `calls` and answers from a
    field (`info`, `installations`, `best`), or raises the field's value when
    it is an exception. A function can be deleted from the module."""

    def __init__(self, info=None, installations=("jdk",), best=None):
        super().__init__("ruk.compute.java_compat")
        self.info = pyspark_info() if info is None else info
        self.installations = list(installations)
        self.best = types.SimpleNamespace(path=FAKE_JDK) if best is None else best
        self.calls = []

        def answer(name, field):
            def fn(*args):
                self.calls.append((name, *args))
                value = getattr(self, field)
                if isinstance(value, BaseException):
                    raise value
                return value

            fn.__name__ = name
            return fn

        self.get_pyspark_info = answer("get_pyspark_info", "info")
        self.find_all_java_installations = answer("find_all_java_installations", "installations")
        self.select_best_java = answer("select_best_java", "best")
        self.parse_java_major = parse_java_major  # the real helper: other modules import it by name


class FakeJarProvisioning(types.ModuleType):
    """A stand-in `ruk.compute.jar_provisioning`: its LocalJARProvisioning
    records each call in `calls`, raises `init_error` when set, and answers
    `result`."""

    def __init__(self, result=None, init_error=None):
        super().__init__("ruk.compute.jar_provisioning")
        self.calls, self.result, self.init_error = [], result, init_error
        module = self

        class LocalJARProvisioning:
            def __init__(self, *args, **kwargs):
                module.calls.append(("init", args, kwargs))
                if module.init_error is not None:
                    raise module.init_error

            def get_spark_config(self, *args, **kwargs):
                module.calls.append(("get_spark_config", args, kwargs))
                return module.result

        self.LocalJARProvisioning = LocalJARProvisioning


class StderrPipe:
    """For the block, fd 2 of this process is a pipe. text() puts fd 2 back
    and returns everything that reached the pipe once every writer has closed
    it (a process started meanwhile holds it as long as it lives)."""

    def __init__(self, timeout=60):
        self.timeout = timeout

    def __enter__(self):
        self.read_end, write_end = os.pipe()
        self.saved = os.dup(2)
        os.dup2(write_end, 2)
        os.close(write_end)
        return self

    def _restore(self):
        if self.saved is not None:
            os.dup2(self.saved, 2)
            os.close(self.saved)
            self.saved = None

    def text(self):
        self._restore()
        chunks = []
        while True:
            ready, _, _ = select.select([self.read_end], [], [], self.timeout)
            assert ready, "fd 2 still has a writer"
            chunk = os.read(self.read_end, 65536)
            if not chunk:
                return b"".join(chunks).decode()
            chunks.append(chunk)

    def __exit__(self, *exc):
        self._restore()
        os.close(self.read_end)


# --- expectations shared by the unit, reliability and fuzz tests -------------------

# The flags every session request adds to _JAVA_OPTIONS.
JAVA_FLAGS = "-XX:-UseVectorCmov -XX:-UseSIMDForMemoryOps -XX:+IgnoreUnrecognizedVMOptions"
NO_PYSPARK_INFO = (
    "PySpark is not installed. Install it with: pip install pyspark\n"
    "Or run 'mur spark set-version' to select a specific version."
)
# What follows the supported versions in the no-compatible-Java message.
NO_JAVA_TAIL = (
    ".\n\nRun 'mur java search' to find Java installations.\n"
    "Run 'mur java set' to select a compatible version.\n"
    "Run 'mur java install' for installation guide."
)


# Subclasses of the built-in types the argument checks refuse.
class SetSub(set):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


class CollidingKey:
    """A dict key hashed like `name`: its first comparison runs `action`."""

    def __init__(self, name, action=None):
        self.name, self.action = name, action

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        action, self.action = self.action, None
        if action is not None:
            action()
        return NotImplemented


def key_of(config):
    """The cache key of a configuration."""
    return hashlib.md5(str(sorted(config.items())).encode(), usedforsecurity=False).hexdigest()


def lock_is_free():
    import ruk.compute.strategies.local as local

    lock = local._SPARK_SESSION_LOCK
    if not lock.acquire(blocking=False):
        return False
    lock.release()
    return True


def isolate_files(tmp_path, monkeypatch):
    """HOME, the temporary directory and the working directory (a project
    folder) inside tmp_path, and no _JAVA_OPTIONS or keep-alive from outside."""
    ns = types.SimpleNamespace(
        home=tmp_path / "home", tmp=tmp_path / "tmp", project=tmp_path / "project", root=tmp_path
    )
    for d in (ns.home, ns.tmp, ns.project):
        d.mkdir()
    monkeypatch.setenv("HOME", str(ns.home))
    monkeypatch.setenv("TMPDIR", str(ns.tmp))
    monkeypatch.setattr(tempfile, "tempdir", str(ns.tmp))  # gettempdir() caches its answer
    monkeypatch.chdir(ns.project)
    for name in ("_JAVA_OPTIONS", "MUR_SPARK_KEEP_ALIVE"):
        monkeypatch.delenv(name, raising=False)
    ns.log4j = str(ns.tmp / "mur_log4j2.properties")
    return ns


def jar_dir(project, *names):
    """The project's JDBC JAR folder, created, holding the named JARs."""
    d = Path(project, ".mur", "jdbc_jars")
    d.mkdir(parents=True)
    for name in names:
        (d / name).write_bytes(b"PK")
    return d
