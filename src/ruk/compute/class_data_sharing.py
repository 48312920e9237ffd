"""Class-data-sharing archives of the Spark driver JVM's classes.

A JVM that maps an archive of the classes a Spark start loads skips most of
their loading and linking: a fresh process reaches its first query in about
half the time. An archive only fits one driver set-up (Java build, PySpark,
class path, sharing-related JVM options), so each set-up has a key; a start
that finds a valid archive under its key adds the options that map it, and a
start that finds none goes on unchanged while a detached, low-priority process
makes one for the next start.

Archives live in ``~/.mur/cds`` (``MUR_CDS_DIR`` overrides it), a directory
private to the user. ``MUR_SPARK_CDS=0`` turns the feature off. Nothing here
may fail or slow a start: the entry point swallows every ``Exception``.
"""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import re
import stat
import subprocess
import sys
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ruk.compute.jvm_settings import memory_bytes

__all__ = ["driver_options", "archive_directory", "archive_in_use", "SWITCH_ENV", "DIRECTORY_ENV"]

SWITCH_ENV = "MUR_SPARK_CDS"
DIRECTORY_ENV = "MUR_CDS_DIR"

# At about 150 MB each, a few set-ups' worth; the oldest builds go first.
KEEP_ARCHIVES = 3
# A build that failed is not tried again for this long (seconds).
RETRY_AFTER = 6 * 3600
# Leftovers of a builder that died mid-dump (seconds).
STALE_TEMP_AFTER = 3600
# A builder waits until the machine has about a core to spare before it starts
# its JVM, so that the start that asked for it and that start's first queries
# come first; but no longer than this (seconds).
SPARE_CORE_WAIT_LIMIT = 60.0
# The JVM writes the whole archive before it exits; anything smaller is not one.
MIN_ARCHIVE_SIZE = 1 << 20

# First bytes of a dynamic (top-layer) archive: the magic 0xf00baba8, little-endian.
DYNAMIC_MAGIC = b"\xa8\xab\x0b\xf0"

# A rejected archive is reported on standard output unless these tag sets are
# off. The JVM checks an archive's header, not its contents (unless
# -XX:+VerifySharedSpaces, which costs about a tenth of a start): a damaged
# archive of the right size would be mapped and break the JVM, so an archive
# is only used while its inode, size and times are those its builder recorded.
SILENT_OPTIONS = "-Xlog:cds=off -Xlog:cds+dynamic=off"

# The path must stay one option through Spark's splitting of
# extraJavaOptions, and ':' separates a base and a top archive for the JVM.
_SAFE_PATH = re.compile(r"[A-Za-z0-9_./+@=~-]+\Z")

# Settings that already manage sharing: left to the user, nothing added.
_SHARING_OWNED = ("SharedArchiveFile", "ArchiveClassesAtExit", "AutoCreateSharedArchive", "-Xshare",
                  "AOTCache", "AOTMode", "SharedClassListFile", "DumpLoadedClassList")

# Environment that shapes the driver JVM's command line or class path.
_SETUP_ENV = ("_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "JAVA_TOOL_OPTIONS", "SPARK_HOME", "SPARK_CONF_DIR",
              "SPARK_DIST_CLASSPATH", "SPARK_CLASSPATH", "HADOOP_CONF_DIR", "YARN_CONF_DIR",
              "SPARK_SUBMIT_OPTS", "PYSPARK_SUBMIT_ARGS", "SPARK_PREPEND_CLASSES", "SPARK_DRIVER_MEMORY")



def archive_directory() -> str:
    return os.environ.get(DIRECTORY_ENV) or os.path.join(os.path.expanduser("~"), ".mur", "cds")


def driver_options(java_options: str, jar_paths: Sequence[str], config: Dict[Any, Any]) -> str:
    """Options to append to the driver's default JVM options: those that map
    the archive for this set-up when a valid one exists (with a leading
    blank), else "". Without one, starts a background build.

    `java_options` is the driver's JVM options for this start (ours, then the
    user's extraJavaOptions when ours go in defaultJavaOptions), `jar_paths`
    the project's JARs, `config` the strategy's own settings (the caller skips
    this when the user's options replace ours).
    """
    global _launch_options
    try:
        if os.environ.get(SWITCH_ENV) == "0" or os.environ.get("PYSPARK_GATEWAY_PORT"):
            return ""  # off, or PySpark attaches to a JVM started elsewhere
        if _jvm_running():
            # No JVM is launched by this start; the same options as the launch
            # keep the default equal to what the running JVM was given.
            return _launch_options
        _launch_options = ""
        setup = driver_setup(java_options, jar_paths, config)
        if setup is None:
            return ""
        directory = archive_directory()
        key = setup_key(setup)
        archive = valid_archive(directory, key)
        if archive is not None:
            _launch_options = " -XX:SharedArchiveFile=" + archive + " " + SILENT_OPTIONS
            return _launch_options
        start_builder(directory, key, java_options, jar_paths, config)
    except Exception:
        pass
    return ""


# What driver_options gave the start that launched this process's JVM.
_launch_options = ""


def _jvm_running() -> bool:
    """PySpark launches one JVM per process: later starts reuse it as it is."""
    for name in ("pyspark.core.context", "pyspark.context"):
        module = sys.modules.get(name)
        context = getattr(module, "SparkContext", None)
        if context is not None and getattr(context, "_gateway", None) is not None:
            return True
    return False


# ---------------------------------------------------------------------------
# The key: what an archive is valid for.
# ---------------------------------------------------------------------------


def _file_identity(path: str) -> List[Any]:
    try:
        info = os.stat(path)
    except OSError:
        return [path, None]
    return [path, info.st_size, info.st_mtime_ns, stat.S_ISDIR(info.st_mode)]


def _heap_needs_own_archive(memory: str) -> Any:
    """Beyond about 32 GB the JVM drops compressed object pointers, which an
    archive depends on; below, the heap size does not matter."""
    size = memory_bytes(memory)
    return memory if size is None else size >= 31 << 30


def _sharing_options(text: str) -> List[str]:
    # Logging options change nothing that sharing depends on.
    return [option for option in text.split() if not option.startswith(("-Xlog", "-D"))]


def driver_setup(java_options: str, jar_paths: Sequence[str], config: Dict[Any, Any]) -> Optional[Dict[str, Any]]:
    """Everything an archive's validity depends on, or None when this start
    must not use one (no Java home, or the user manages sharing)."""
    java_home = os.environ.get("JAVA_HOME")
    if not java_home:
        return None
    defaults = str(config.get("spark.driver.defaultJavaOptions", ""))
    environment = {name: os.environ.get(name) for name in _SETUP_ENV}
    owned = [java_options, defaults] + [value for value in environment.values() if value]
    if any(marker in text for text in owned for marker in _SHARING_OWNED):
        return None

    java_home = os.path.realpath(java_home)
    try:
        with open(os.path.join(java_home, "release"), "rb") as f:
            release = f.read(1 << 16).decode("utf-8", "replace")
    except OSError:
        release = None
    libjvm = os.path.join(java_home, "lib", "server", "libjvm.so")

    from pyspark.find_spark_home import _find_spark_home
    import pyspark

    spark_home = os.path.realpath(_find_spark_home())
    jars_dir = os.path.join(spark_home, "jars")
    # Names and the directory's own times: a file's stat each would cost a
    # millisecond or more per start; the JVM still checks every JAR it uses.
    spark_jars = [_file_identity(jars_dir), sorted(os.listdir(jars_dir))]
    class_path = str(config.get("spark.driver.extraClassPath", ":".join(jar_paths)))
    return {
        "java": [java_home, release, _file_identity(libjvm)],
        "pyspark": [pyspark.__version__, spark_home, spark_jars],
        "class_path": [_file_identity(entry) for entry in class_path.split(":") if entry],
        "options": _sharing_options(java_options) + _sharing_options(defaults),
        "large_heap": _heap_needs_own_archive(str(config.get("spark.driver.memory", "1g"))),
        "environment": environment,
    }


def setup_key(setup: Dict[str, Any]) -> str:
    text = json.dumps(setup, sort_keys=True, default=str)
    return hashlib.sha256(text.encode("utf-8", "surrogateescape")).hexdigest()[:32]


# ---------------------------------------------------------------------------
# Validation and lookup.
# ---------------------------------------------------------------------------


def _ours(info: os.stat_result) -> bool:
    """Owned by this user and writable by nobody else: nobody else can plant it."""
    return info.st_uid == os.geteuid() and not info.st_mode & 0o022


def private_directory(directory: str) -> bool:
    try:
        info = os.lstat(directory)
    except OSError:
        return False
    return stat.S_ISDIR(info.st_mode) and _ours(info)


def _read_meta(directory: str, key: str) -> Optional[Dict[str, Any]]:
    try:
        fd = os.open(os.path.join(directory, key + ".json"), os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    with os.fdopen(fd, "rb") as f:
        info = os.fstat(f.fileno())
        if not stat.S_ISREG(info.st_mode) or not _ours(info):
            return None
        try:
            meta = json.loads(f.read(1 << 16))
        except ValueError:
            return None
    return meta if isinstance(meta, dict) and meta.get("key") == key else None


def file_record(info: os.stat_result) -> Dict[str, int]:
    """What changes whenever a file is written, replaced or copied: a write
    moves the change time, which no user can set back."""
    return {"ino": info.st_ino, "size": info.st_size, "mtime_ns": info.st_mtime_ns, "ctime_ns": info.st_ctime_ns}


def _archive_file_ok(path: str, record: Optional[Dict[str, Any]]) -> Optional[os.stat_result]:
    """The file's status when `path` is our own regular file with a dynamic
    archive's magic and, given a `record`, unchanged since then; else None."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        return None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or not _ours(info) or info.st_size < MIN_ARCHIVE_SIZE:
            return None
        if record is not None and any(record.get(k) != v for k, v in file_record(info).items()):
            return None
        if os.pread(fd, len(DYNAMIC_MAGIC), 0) != DYNAMIC_MAGIC:
            return None
        return info
    finally:
        os.close(fd)


def valid_archive(directory: str, key: str) -> Optional[str]:
    """The path of the archive for `key` when it can be used, else None."""
    path = os.path.join(directory, key + ".jsa")
    if not _SAFE_PATH.match(path) or not private_directory(directory):
        return None
    meta = _read_meta(directory, key)
    if meta is None or not isinstance(meta.get("file"), dict):
        return None
    return path if _archive_file_ok(path, meta["file"]) is not None else None


def write_meta(directory: str, key: str, **extra: Any) -> None:
    """Records the archive now in place for `key` (its side file, replaced atomically)."""
    info = os.lstat(os.path.join(directory, key + ".jsa"))
    meta = dict(extra, key=key, file=file_record(info))
    temp = os.path.join(directory, f".{key}.{os.getpid()}.tmp.json")
    with open(os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600), "w") as f:
        json.dump(meta, f)
    os.rename(temp, os.path.join(directory, key + ".json"))


# ---------------------------------------------------------------------------
# The background build.
# ---------------------------------------------------------------------------

_BOOTSTRAP = ("import sys; sys.path.insert(0, sys.argv[1]); "
              "from ruk.compute.class_data_sharing import build_main; sys.exit(build_main(sys.argv[2]))")

# The builder of the last start in this process that needed one (its Popen).
last_builder: Optional[subprocess.Popen] = None


def _ensure_private_directory(directory: str) -> bool:
    try:
        os.makedirs(os.path.dirname(directory) or ".", exist_ok=True)
        os.mkdir(directory, 0o700)
    except FileExistsError:
        pass
    return private_directory(directory)


def _open_lock(directory: str, key: str) -> int:
    return os.open(os.path.join(directory, key + ".lock"),
                   os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)


def _lock_busy(directory: str, key: str) -> bool:
    fd = _open_lock(directory, key)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    finally:
        os.close(fd)  # also releases the lock if it was taken
    return False


def _failed_recently(directory: str, key: str) -> bool:
    try:
        return time.time() - os.lstat(os.path.join(directory, key + ".failed")).st_mtime < RETRY_AFTER
    except OSError:
        return False


def builder_spec(directory: str, key: str, java_options: str, jar_paths: Sequence[str],
                 config: Dict[Any, Any]) -> Dict[str, Any]:
    """What the builder needs to start the same driver set-up."""
    settings = {str(k): (v if isinstance(v, (str, int, float, bool)) else str(v)) for k, v in config.items()}
    settings.setdefault("spark.driver.extraClassPath", ":".join(jar_paths))
    settings.setdefault("spark.jars", ",".join(jar_paths))
    settings["master"] = "local[1]"  # only the driver's classes matter, never a cluster
    defaults = settings.get("spark.driver.defaultJavaOptions")
    if isinstance(defaults, str):  # the builder's JVM writes no logs of the user's
        settings["spark.driver.defaultJavaOptions"] = " ".join(
            option for option in defaults.split() if not option.startswith("-Xlog"))
    return {"directory": directory, "key": key, "java_options": java_options, "config": settings}


def start_builder(directory: str, key: str, java_options: str, jar_paths: Sequence[str],
                  config: Dict[Any, Any]) -> Optional[subprocess.Popen]:
    """Starts a detached builder unless one runs or one failed lately."""
    if not _SAFE_PATH.match(os.path.join(directory, key + ".jsa")) or not _ensure_private_directory(directory):
        return None
    if _failed_recently(directory, key):
        return None
    # The lock is taken here and handed down: no second builder can slip in
    # between this check and the builder's start.
    lock_fd = _open_lock(directory, key)
    try:
        fcntl.flock(lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(lock_fd)
        return None
    try:
        return _spawn(directory, key, lock_fd, java_options, jar_paths, config)
    finally:
        os.close(lock_fd)  # the builder's copy keeps the lock


def _spawn(directory: str, key: str, lock_fd: int, java_options: str, jar_paths: Sequence[str],
           config: Dict[Any, Any]) -> subprocess.Popen:
    global last_builder
    spec = builder_spec(directory, key, java_options, jar_paths, config)
    spec["lock_fd"] = lock_fd
    env = dict(os.environ)
    for name in ("PYSPARK_GATEWAY_PORT", "PYSPARK_GATEWAY_SECRET"):
        env.pop(name, None)
    env[SWITCH_ENV] = "0"
    env["PYTHONUNBUFFERED"] = "1"
    package_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    log_path = os.path.join(directory, "build.log")
    log_fd = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        if os.fstat(log_fd).st_size > 1 << 20:
            os.ftruncate(log_fd, 0)
        last_builder = subprocess.Popen(
            [sys.executable, "-c", _BOOTSTRAP, package_root, json.dumps(spec)],
            cwd=os.getcwd(), env=env, stdin=subprocess.DEVNULL, stdout=log_fd, stderr=log_fd,
            start_new_session=True, close_fds=True, pass_fds=(lock_fd,))
    finally:
        os.close(log_fd)
    # At once, not only when the builder's interpreter gets to it: its start-up
    # would otherwise compete with this one at full weight.
    _lowest_priority(last_builder.pid)
    return last_builder


def _log(message: str) -> None:
    print(f"{time.strftime('%Y-%m-%d %H:%M:%S')} [{os.getpid()}] {message}", flush=True)


def _lowest_priority(pid: int = 0) -> None:
    """CPU time only when nothing else wants it, for process `pid` (0: this
    one; the JVM a builder starts inherits it): the start that asked for the
    archive must not slow down."""
    try:
        os.setpriority(os.PRIO_PROCESS, pid, 19)
    except OSError:
        pass
    try:
        os.sched_setscheduler(pid, os.SCHED_IDLE, os.sched_param(0))
    except (AttributeError, OSError):
        pass
    # A new session is a scheduling group of its own where the kernel groups
    # by session (autogroup): the group's weight, not the process's, decides
    # its share against the user's start. Only a session leader's group is
    # the builder's alone; any other would be the user's whole session.
    try:
        if os.getsid(pid) == (pid or os.getpid()):
            with open(f"/proc/{pid or 'self'}/autogroup", "w") as f:
                f.write("19")
    except OSError:
        pass


def _cpu_times() -> Optional[Tuple[int, int]]:
    """(busy, total) time of all CPUs since boot, in ticks, from /proc/stat."""
    try:
        with open("/proc/stat") as f:
            ticks = [int(value) for value in f.readline().split()[1:9]]
    except (OSError, ValueError):
        return None
    if len(ticks) < 5:
        return None
    idle = ticks[3] + ticks[4]  # idle, iowait
    return sum(ticks) - idle, sum(ticks)


def _wait_for_spare_core(limit: float = SPARE_CORE_WAIT_LIMIT, interval: float = 1.0) -> float:
    """Returns once the CPUs were busy at most (cores - 1) / cores of an
    `interval`, or after `limit` seconds; how long it waited. Idle priority
    alone still takes every gap in a start's CPU use."""
    started = time.monotonic()
    spare = 1 - 1 / (os.cpu_count() or 1)
    before = _cpu_times()
    while before is not None and time.monotonic() - started < limit:
        time.sleep(interval)
        now = _cpu_times()
        if now is None:
            break
        busy, total = now[0] - before[0], now[1] - before[1]
        if total > 0 and busy <= spare * total:
            break
        before = now
    return time.monotonic() - started


def build_main(spec_text: str) -> int:
    """The builder process: one archive for one key, at most one builder per
    key at a time. Its output goes to the build log."""
    _lowest_priority()
    spec = json.loads(spec_text)
    directory, key = spec["directory"], spec["key"]
    if not _ensure_private_directory(directory):
        _log(f"{directory} is not a private directory of this user; no archive built")
        return 1
    lock_fd = _inherited_lock(directory, key, spec.get("lock_fd"))
    try:
        fcntl.flock(lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # a no-op on the starter's lock
    except BlockingIOError:
        _log(f"{key}: another builder is at work")
        os.close(lock_fd)
        return 0
    try:
        if valid_archive(directory, key) is not None:
            _log(f"{key}: archive already there")
            return 0
        waited = _wait_for_spare_core()
        if waited >= 2:
            _log(f"{key}: waited {waited:.0f} s for a spare core")
        return _build(spec, directory, key)
    finally:
        prune(directory)
        os.close(lock_fd)


def _inherited_lock(directory: str, key: str, fd: Any) -> int:
    """The lock file descriptor the starting process handed down, or a new
    one when there is none (a builder started by hand)."""
    path = os.path.join(directory, key + ".lock")
    if isinstance(fd, int):
        try:
            mine, theirs = os.fstat(fd), os.lstat(path)
            if (mine.st_dev, mine.st_ino) == (theirs.st_dev, theirs.st_ino):
                return fd
        except OSError:
            pass
    return _open_lock(directory, key)


def _build(spec: Dict[str, Any], directory: str, key: str) -> int:
    temp = os.path.join(directory, f".{key}.{os.getpid()}.tmp")
    archive = os.path.join(directory, key + ".jsa")
    started = time.monotonic()
    _log(f"{key}: building {archive}")
    try:
        _dump(spec, temp)
        os.chmod(temp, 0o600)
        info = _archive_file_ok(temp, None)
        if info is None:
            raise RuntimeError("the JVM wrote no usable archive")
        seconds = round(time.monotonic() - started, 1)
        # The archive first, then its record: a reader never pairs the new
        # record with the old file.
        os.rename(temp, archive)
        write_meta(directory, key, built=time.time(), build_seconds=seconds)
        _log(f"{key}: {info.st_size / 2**20:.0f} MB in {seconds} s")
        return 0
    except Exception as error:
        _log(f"{key}: build failed: {error!r}")
        for leftover in (temp, temp + ".json"):
            try:
                os.unlink(leftover)
            except OSError:
                pass
        with open(os.path.join(directory, key + ".failed"), "w") as f:
            f.write(repr(error)[:2000])
        return 1


def _dump(spec: Dict[str, Any], temp: str) -> None:
    """Starts the driver with the archive-at-exit option, runs small queries
    and lets the JVM exit, which writes the archive."""
    from pyspark import SparkContext

    from ruk.compute.strategies.local import LocalStrategy

    config = dict(spec["config"])
    config["spark.driver.extraJavaOptions"] = (
        spec["java_options"] + f" -XX:ArchiveClassesAtExit={temp} -Xlog:cds=off -Xlog:cds+dynamic=off")
    strategy = LocalStrategy(config, app_name="mur-cds-build")
    spark = strategy.get_spark_session()
    spark.sql("SELECT 1").collect()
    spark.range(100).selectExpr("id % 3 AS k").groupBy("k").count().collect()
    spark.stop()
    process = SparkContext._gateway.proc
    process.stdin.close()  # the gateway JVM exits when its stdin closes
    status = process.wait(timeout=900)
    if status != 0:
        raise RuntimeError(f"the driver JVM exited with status {status}")


def prune(directory: str, keep: int = KEEP_ARCHIVES) -> None:
    """Keeps the `keep` newest archives; removes older ones, their side files,
    and what dead builders left."""
    now = time.time()
    try:
        names = os.listdir(directory)
    except OSError:
        return
    archives = []
    for name in names:
        path = os.path.join(directory, name)
        try:
            info = os.lstat(path)
        except OSError:
            continue
        if name.endswith(".jsa"):
            archives.append((info.st_mtime, name[:-4]))
        elif name.startswith(".") and ".tmp" in name and now - info.st_mtime > STALE_TEMP_AFTER:
            _unlink(path)
        elif name.endswith(".failed") and now - info.st_mtime > RETRY_AFTER:
            _unlink(path)
    archives.sort(reverse=True)
    kept = {key for _, key in archives[:keep]}
    for name in names:
        stem, dot, suffix = name.rpartition(".")
        if dot and not name.startswith(".") and suffix in ("jsa", "json") and stem not in kept:
            _unlink(os.path.join(directory, name))
        elif (suffix == "lock" and stem not in kept and now - os.lstat(os.path.join(directory, name)).st_mtime
              > RETRY_AFTER and not _lock_busy(directory, stem)):
            _unlink(os.path.join(directory, name))


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


# ---------------------------------------------------------------------------
# Whether a running driver JVM mapped an archive.
# ---------------------------------------------------------------------------


def requested_archive(gateway: Any) -> Optional[str]:
    """The archive the driver JVM was asked to map, from its own arguments."""
    jvm = gateway.jvm
    arguments = jvm.java.lang.management.ManagementFactory.getRuntimeMXBean().getInputArguments()
    found = None
    for argument in arguments:
        if str(argument).startswith("-XX:SharedArchiveFile="):
            found = str(argument).split("=", 1)[1]
    return found


def archive_in_use(gateway: Any) -> bool:
    """Whether the driver JVM mapped a top-layer archive, from its own report
    (the VM.info diagnostic command): a mapped dynamic archive ends above the
    JDK's base archive."""
    jvm = gateway.jvm
    lang = jvm.java.lang
    server = lang.management.ManagementFactory.getPlatformMBeanServer()
    name = jvm.javax.management.ObjectName("com.sun.management:type=DiagnosticCommand")
    types = gateway.new_array(lang.Class, 4)
    for i, type_name in enumerate(("javax.management.ObjectName", "java.lang.String",
                                   "[Ljava.lang.Object;", "[Ljava.lang.String;")):
        types[i] = lang.Class.forName(type_name)
    # Called through the interface: the server's own class is not accessible.
    invoke = lang.Class.forName("javax.management.MBeanServerConnection").getMethod("invoke", types)
    params = gateway.new_array(lang.Object, 1)
    params[0] = gateway.new_array(lang.String, 0)
    signature = gateway.new_array(lang.String, 1)
    signature[0] = "[Ljava.lang.String;"
    arguments = gateway.new_array(lang.Object, 4)
    arguments[0], arguments[1], arguments[2], arguments[3] = name, "vmInfo", params, signature
    text = str(invoke.invoke(server, arguments))
    match = re.search(r"CDS archive\(s\) mapped at: \[(0x[0-9a-f]+)-(0x[0-9a-f]+)-(0x[0-9a-f]+)\)", text)
    return bool(match) and int(match.group(2), 16) != int(match.group(3), 16)
