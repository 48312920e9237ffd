"""Class-data-sharing archives of the Spark driver JVM's classes.

On Java 25 and later the archive is the JDK's ahead-of-time cache (classes
loaded and linked, resolved lambdas, method profiles of a training run); on
earlier Javas a dynamic archive. Both are made, checked and kept alike.

A JVM that maps an archive of the classes a Spark start loads skips most of
their loading and linking: a fresh process reaches its first query in about
half the time. An archive only fits one driver set-up (Java build, PySpark,
class path, sharing-related JVM options), so each set-up has a key; a start
that finds a valid archive under its key adds the options that map it. A
start that finds none goes on unchanged and, once it has really launched a
driver JVM, hands a detached, low-priority builder the job of making one for
the next start.

The builder is bounded: one per user on the machine at a time, only when a
core is idle, at most BUILD_DEADLINE seconds of wall time after which its
whole process group (the JVM included) is killed, run isolated (``-I``, its
own working and temporary directory inside the archive directory, its job in
a private file).

Archives live in ``~/.mur/cds`` (``MUR_CDS_DIR`` overrides it). That
directory and every parent up to the home (or ``/``) must be safe from other
users, or no archive is used or built. ``MUR_SPARK_CDS=0`` turns the feature
off. Nothing here may fail or slow a start: the entry points swallow every
``Exception``.
"""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

from ruk.compute import mur_home
from ruk.compute.java_compat import parse_java_major
from ruk.compute.jar_provisioning import jar_spark_settings
from ruk.compute.jvm_settings import memory_bytes, running_gateway
from ruk.compute.launch_plan import FAST_DEFAULTS

__all__ = ["driver_options", "after_start", "archive_directory", "cache_in_use", "SWITCH_ENV", "DIRECTORY_ENV"]

SWITCH_ENV = "MUR_SPARK_CDS"
DIRECTORY_ENV = "MUR_CDS_DIR"

# About 150 MB each: those used most recently, within both bounds.
KEEP_ARCHIVES = 3
KEEP_BYTES = 600 << 20
# A build that failed or ran out of time is not tried again for this long (seconds).
RETRY_AFTER = 6 * 3600
# Wall time of a builder from its start to its end, its wait for a core
# included (seconds): a build takes about half a minute on an idle machine.
BUILD_DEADLINE = 300.0
# Between asking the builder's process group to end and killing it: a JVM
# whose py4j server waits for a connection ignores SIGTERM.
TERM_GRACE = 5.0
# A builder waits until the machine has about a core to spare before it starts
# its JVM, so that the start that asked for it and that start's first queries
# come first; if none frees up in this time it gives up until a later start.
SPARE_CORE_WAIT_LIMIT = 60.0
# The JVM writes the whole archive before it exits; anything smaller is not one.
MIN_ARCHIVE_SIZE = 1 << 20

# First bytes of a dynamic (top-layer) archive: the magic 0xf00baba8, little-endian;
# an ahead-of-time cache is a static archive: 0xf00baba2.
DYNAMIC_MAGIC = b"\xa8\xab\x0b\xf0"
STATIC_MAGIC = b"\xa2\xab\x0b\xf0"

# A rejected archive is reported on standard output unless these tag sets are
# off. The JVM checks an archive's header, not its contents (unless
# -XX:+VerifySharedSpaces, which costs about a tenth of a start): a damaged
# archive of the right size would be mapped and break the JVM, so an archive
# is only used while its inode, size and times are those its builder recorded.
SILENT_OPTIONS = "-Xlog:cds=off -Xlog:cds+dynamic=off"
# The same for the ahead-of-time cache. Never -XX:AOTMode=on: it makes a
# rejected cache fatal. Not -XX:+VerifySharedSpaces either: its checksum of
# the 150 MB cache costs about 0.08 s of CPU at every start, and the record
# of the file (its inode and change time) already refuses any write to it.
AOT_SILENT_OPTIONS = "-Xlog:aot=off -Xlog:cds=off"

# What a builder can make, by kind: the driver options of the run that writes
# one into a file, those of a start that uses it, and its first bytes. A
# kind's files are named <key><suffix>.
KINDS = {
    "cds": {"suffix": ".jsa", "magic": DYNAMIC_MAGIC, "min_java": 0,
            "dump_options": "-XX:ArchiveClassesAtExit={path} " + SILENT_OPTIONS,
            "use_options": "-XX:SharedArchiveFile={path} " + SILENT_OPTIONS},
    # The JVM writes <path>.config at exit, then a second JVM assembles the
    # cache from it and removes it.
    "aot": {"suffix": ".aot", "magic": STATIC_MAGIC, "min_java": 25,
            "dump_options": "-XX:AOTCacheOutput={path} " + AOT_SILENT_OPTIONS,
            "use_options": "-XX:AOTCache={path} " + AOT_SILENT_OPTIONS},
}

# The path must stay one option through Spark's splitting of
# extraJavaOptions, and ':' separates a base and a top archive for the JVM.
_SAFE_PATH = re.compile(r"[A-Za-z0-9_./+@=~-]+\Z")

# Settings that already manage sharing: left to the user, nothing added.
# ("AOTCache" also stands for AOTCacheOutput.) The JVM refuses to start with
# an ahead-of-time cache and any of the others together.
_SHARING_OWNED = ("SharedArchiveFile", "ArchiveClassesAtExit", "AutoCreateSharedArchive", "-Xshare",
                  "AOTCache", "AOTMode", "AOTConfiguration", "SharedClassListFile", "DumpLoadedClassList")

# Environment that shapes the driver JVM's command line or class path.
_SETUP_ENV = ("_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "JAVA_TOOL_OPTIONS", "SPARK_HOME", "SPARK_CONF_DIR",
              "SPARK_DIST_CLASSPATH", "SPARK_CLASSPATH", "HADOOP_CONF_DIR", "YARN_CONF_DIR",
              "SPARK_SUBMIT_OPTS", "PYSPARK_SUBMIT_ARGS", "SPARK_PREPEND_CLASSES", "SPARK_DRIVER_MEMORY")


def archive_directory() -> Optional[str]:
    """Where archives go: MUR_CDS_DIR when absolute, else ~/.mur/cds; None
    when neither is usable (a relative MUR_CDS_DIR, no usable home)."""
    configured = os.environ.get(DIRECTORY_ENV)
    if configured:
        return configured if os.path.isabs(configured) else None
    return mur_home.mur_entry(mur_home.CDS_DIR_NAME)


def trusted_directory(directory: str, create: bool = False) -> Optional[str]:
    """`directory` as the JVM will be given it, when no other user can change
    it or any of its parents; made private first when `create` asks."""
    from_home = not os.environ.get(DIRECTORY_ENV)
    if create:
        try:
            if from_home:
                mur_home.mur_directory(create=True)
            mur_home.make_private_directory(directory)
        except OSError:
            return None
    return mur_home.trusted_path(directory, stop_at_home=from_home)


def driver_options(java_options: str, jar_paths: Sequence[str], config: Dict[Any, Any],
                   jvm_running: bool = False) -> str:
    """Options to append to the driver's default JVM options: those that map
    the archive for this set-up when a valid one exists (with a leading
    blank), else "". Without one, a build is noted for after_start.

    `java_options` is the driver's JVM options for this start (ours, then the
    user's extraJavaOptions when ours go in defaultJavaOptions), `jar_paths`
    the project's JARs, `config` the settings the start hands the builder
    (launch_plan.effective_settings: the fast defaults the strategy's
    configuration lacks, then its entries; the caller skips this when the
    user's options replace ours), `jvm_running` whether the
    process's JVM runs already (jvm_settings.running_gateway, asked by the
    start before it may launch one).
    """
    global _launch_options, _pending
    _pending = None
    try:
        if os.environ.get(SWITCH_ENV) == "0" or os.environ.get("PYSPARK_GATEWAY_PORT"):
            return ""  # off, or PySpark attaches to a JVM started elsewhere
        if jvm_running:
            # No JVM is launched by this start; the same options as the launch
            # keep the default equal to what the running JVM was given.
            return _launch_options
        _launch_options = ""
        setup = driver_setup(java_options, jar_paths, config)
        directory = archive_directory() if setup is not None else None
        if directory is None:
            return ""
        key = setup_key(setup)
        kind = setup["kind"]
        real = trusted_directory(directory)
        if real is not None:
            archive = valid_archive(real, key, kind)
            if archive is not None:
                _note_use(real, key)
                _launch_options = " " + KINDS[kind]["use_options"].format(path=archive)
                return _launch_options
        elif os.path.lexists(directory):
            return ""  # a directory others could change: neither used nor built
        _pending = (directory, key, builder_spec(java_options, jar_paths, config, kind))
    except Exception:
        pass
    return ""


# What driver_options gave the start that launched this process's JVM.
_launch_options = ""
# The build the last start asked for: (directory, key, job), until after_start.
_pending: Optional[Tuple[str, str, Dict[str, Any]]] = None


def after_start(spark: Any) -> None:
    """After a start that succeeded: the build it asked for, when it really
    launched PySpark's driver JVM (not for a stand-in session)."""
    global _pending
    pending, _pending = _pending, None
    if pending is None:
        return
    try:
        gateway = running_gateway()
        context = getattr(spark, "sparkContext", None)
        if gateway is not None and getattr(context, "_gateway", None) is gateway:
            start_builder(*pending)
    except Exception:
        pass


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


def cache_kind(release: Optional[str]) -> str:
    """The kind of archive for a Java home's `release` file: the ahead-of-time
    cache from Java 25 on, else the dynamic archive."""
    match = re.search(r'^JAVA_VERSION\s*=\s*"?([^"\s]+)', release or "", re.MULTILINE)
    major = parse_java_major(match.group(1)) if match else None
    return "aot" if major is not None and major >= KINDS["aot"]["min_java"] else "cds"


# A caller that hands no settings (a builder started by hand, a test) gets
# the start's own default heap.
_MEMORY_KEY = "spark.driver.memory"
_DEFAULT_MEMORY = dict(FAST_DEFAULTS)[_MEMORY_KEY]


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
    class_path_key = "spark.driver.extraClassPath"
    class_path = str(config.get(class_path_key, jar_spark_settings(jar_paths)[class_path_key]))
    return {
        "kind": cache_kind(release),
        "java": [java_home, release, _file_identity(libjvm)],
        "pyspark": [pyspark.__version__, spark_home, spark_jars],
        "class_path": [_file_identity(entry) for entry in class_path.split(":") if entry],
        "options": _sharing_options(java_options) + _sharing_options(defaults),
        "large_heap": _heap_needs_own_archive(str(config.get(_MEMORY_KEY, _DEFAULT_MEMORY))),
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


def _archive_file_ok(path: str, record: Optional[Dict[str, Any]], kind: str = "cds") -> Optional[os.stat_result]:
    """The file's status when `path` is our own regular file with the magic
    of a `kind` archive and, given a `record`, unchanged since then; else None."""
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
        magic = KINDS[kind]["magic"]
        if os.pread(fd, len(magic), 0) != magic:
            return None
        return info
    finally:
        os.close(fd)


def valid_archive(directory: str, key: str, kind: str = "cds") -> Optional[str]:
    """The path of the `kind` archive for `key` when it can be used, else None."""
    path = os.path.join(directory, key + KINDS[kind]["suffix"])
    if not _SAFE_PATH.match(path) or not private_directory(directory):
        return None
    meta = _read_meta(directory, key)
    if meta is None or not isinstance(meta.get("file"), dict):
        return None
    if meta.get("kind", "cds") != kind:
        return None
    return path if _archive_file_ok(path, meta["file"], kind) is not None else None


def write_meta(directory: str, key: str, kind: str = "cds", **extra: Any) -> None:
    """Records the archive now in place for `key` (its side file, replaced atomically)."""
    info = os.lstat(os.path.join(directory, key + KINDS[kind]["suffix"]))
    meta = dict(extra, key=key, kind=kind, file=file_record(info))
    temp = os.path.join(directory, f".{key}.{os.getpid()}.tmp.json")
    with open(os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600), "w") as f:
        json.dump(meta, f)
    os.rename(temp, os.path.join(directory, key + ".json"))


# ---------------------------------------------------------------------------
# Use and eviction.
# ---------------------------------------------------------------------------


def _note_use(directory: str, key: str) -> None:
    """The archive's side file's time is its last use: eviction keeps the
    archives in use, not the newest builds."""
    try:
        os.utime(os.path.join(directory, key + ".json"), follow_symlinks=False)
    except OSError:
        pass


def prune(directory: str, keep_key: Optional[str] = None, keep: int = KEEP_ARCHIVES,
          keep_bytes: int = KEEP_BYTES) -> None:
    """Keeps the archives used most recently (`keep_key`'s first) within
    `keep` files and `keep_bytes`; removes the others with their side files,
    and failure records older than RETRY_AFTER."""
    now = time.time()
    try:
        names = os.listdir(directory)
    except OSError:
        return
    archives = []
    for name in names:
        stem, dot, suffix = name.rpartition(".")
        if name.startswith(".") or not dot:
            continue
        path = os.path.join(directory, name)
        try:
            info = os.lstat(path)
        except OSError:
            continue
        if suffix == "lock":
            _unlink(path)  # per-set-up locks of earlier versions
        elif suffix == "failed" and now - info.st_mtime > RETRY_AFTER:
            _unlink(path)
        elif "." + suffix in [kind["suffix"] for kind in KINDS.values()]:
            try:
                used = max(info.st_mtime, os.lstat(os.path.join(directory, stem + ".json")).st_mtime)
            except OSError:
                used = info.st_mtime
            archives.append((stem == keep_key, used, info.st_size, stem, name))
    archives.sort(reverse=True)
    kept, total = set(), 0
    for _, _, size, stem, _ in archives:
        if len(kept) < keep and (not kept or total + size <= keep_bytes):
            kept.add(stem)
            total += size
    for _, _, _, stem, name in archives:
        if stem not in kept:
            for leftover in (name, stem + ".json"):
                _unlink(os.path.join(directory, leftover))


def _remove_leftovers(directory: str) -> None:
    """What builders that died left: only called with the user's builder lock
    held, so no builder of this user on this machine is at work."""
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        path = os.path.join(directory, name)
        if name.startswith(".work."):
            shutil.rmtree(path, ignore_errors=True)
        elif name.startswith(".") and (".tmp" in name or name.startswith(".job.")):
            _unlink(path)


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


# ---------------------------------------------------------------------------
# Starting a builder.
# ---------------------------------------------------------------------------

# The starting process's child lowers its priority, forks and ends: started
# without the site packages it is gone in milliseconds, and the starting
# process reaps it at once, so nothing of it outlives a start nor warns at
# exit. The builder itself leads a session of its own.
_BOOTSTRAP = """\
import os, sys
try:
    os.nice(19)
    os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0))
except OSError:
    pass
if os.fork():
    os._exit(0)
os.setsid()
import json, site
site.main()
with open(sys.argv[1], "rb") as f:
    job = json.loads(f.read())
os.unlink(sys.argv[1])
sys.path.extend(p for p in job["import_roots"] if p not in sys.path)
from ruk.compute.class_data_sharing import build_main
sys.exit(build_main(job))
"""

# The starting process's child (the builder's short-lived parent) of the last
# builder this process started.
last_builder: Optional[subprocess.Popen] = None


def _user_lock_directory() -> str:
    # Not below HOME or TMPDIR: one lock per user whatever they are set to.
    return f"/tmp/mur-cds-{os.geteuid()}"


def user_lock() -> Optional[int]:
    """The user's builder lock (a file descriptor holding it), or None when
    another builder of the user holds it or the lock's directory is not the
    user's own."""
    path = _user_lock_directory()
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        pass
    except OSError:
        return None
    try:
        dir_fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        info = os.fstat(dir_fd)
        if info.st_uid != os.geteuid() or info.st_mode & 0o077:
            return None  # made by someone else: never a lock they could hold or swap
        fd = os.open("builder.lock", os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600, dir_fd=dir_fd)
    except OSError:
        return None
    finally:
        os.close(dir_fd)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        return None
    return fd


def _failed_recently(directory: str, key: str) -> bool:
    try:
        return time.time() - os.lstat(os.path.join(directory, key + ".failed")).st_mtime < RETRY_AFTER
    except OSError:
        return False


def _record_failure(directory: str, key: str, reason: str) -> None:
    try:
        fd = os.open(os.path.join(directory, key + ".failed"),
                     os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(reason[:2000])
    except OSError:
        pass


def builder_spec(java_options: str, jar_paths: Sequence[str], config: Dict[Any, Any],
                 kind: str = "cds") -> Dict[str, Any]:
    """What the builder needs to start the same driver set-up."""
    settings = {str(k): (v if isinstance(v, (str, int, float, bool)) else str(v)) for k, v in config.items()}
    jar_settings = jar_spark_settings(jar_paths)
    for key in ("spark.driver.extraClassPath", "spark.jars"):
        settings.setdefault(key, jar_settings[key])
    settings["master"] = "local[1]"  # only the driver's classes matter, never a cluster
    defaults = settings.get("spark.driver.defaultJavaOptions")
    if isinstance(defaults, str):  # the builder's JVM writes no logs of the user's
        settings["spark.driver.defaultJavaOptions"] = " ".join(
            option for option in defaults.split() if not option.startswith("-Xlog"))
    return {"kind": kind, "java_options": java_options, "config": settings}


def start_builder(directory: str, key: str, spec: Dict[str, Any]) -> Optional[subprocess.Popen]:
    """Starts a detached builder unless the directory is not safe, a build
    for `key` failed lately or a builder of this user is at work."""
    real = trusted_directory(directory, create=True)
    suffix = KINDS[spec.get("kind", "cds")]["suffix"]
    if real is None or not _SAFE_PATH.match(os.path.join(real, key + suffix)) or _failed_recently(real, key):
        return None
    # Taken here and handed down: no second builder can slip in between this
    # check and the builder's start.
    lock_fd = user_lock()
    if lock_fd is None:
        return None
    try:
        return _spawn(real, key, lock_fd, spec)
    finally:
        os.close(lock_fd)  # the builder's copy keeps the lock


def _import_roots() -> List[str]:
    """Where this process imported the package, PySpark and py4j from: the
    builder needs no other path (never the working directory)."""
    roots = [os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))]
    for name in ("pyspark", "py4j"):
        module = sys.modules.get(name)
        file = getattr(module, "__file__", None)
        if file:
            roots.append(os.path.dirname(os.path.dirname(os.path.abspath(file))))
    return roots


def _spawn(directory: str, key: str, lock_fd: int, spec: Dict[str, Any]) -> subprocess.Popen:
    global last_builder
    job = dict(spec, directory=directory, key=key, lock_fd=lock_fd, import_roots=_import_roots(),
               stop_at_home=not os.environ.get(DIRECTORY_ENV))
    # The job, the user's settings among them, in a private file: a command
    # line is open to every user of the machine.
    fd, job_path = tempfile.mkstemp(prefix=".job.", suffix=".json", dir=directory)
    with os.fdopen(fd, "w") as f:
        json.dump(job, f)
    env = dict(os.environ)
    for name in ("PYSPARK_GATEWAY_PORT", "PYSPARK_GATEWAY_SECRET"):
        env.pop(name, None)
    env[SWITCH_ENV] = "0"
    log_fd = os.open(os.path.join(directory, "build.log"),
                     os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        if os.fstat(log_fd).st_size > 1 << 20:
            os.ftruncate(log_fd, 0)
        # -I: neither the working directory nor user site paths reach sys.path.
        last_builder = subprocess.Popen(
            [sys.executable, "-I", "-S", "-u", "-c", _BOOTSTRAP, job_path],
            cwd=directory, env=env, stdin=subprocess.DEVNULL, stdout=log_fd, stderr=log_fd,
            start_new_session=True, close_fds=True, pass_fds=(lock_fd,))
    except BaseException:
        _unlink(job_path)
        raise
    finally:
        os.close(log_fd)
    try:
        last_builder.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass  # reaped when the Popen goes
    return last_builder


# ---------------------------------------------------------------------------
# The builder.
# ---------------------------------------------------------------------------


def _log(message: str) -> None:
    print(f"{time.strftime('%Y-%m-%d %H:%M:%S')} [{os.getpid()}] {message}", flush=True)


def _lowest_priority() -> None:
    """CPU time only when nothing else wants it (the JVM a builder starts
    inherits it): the start that asked for the archive must not slow down."""
    try:
        os.setpriority(os.PRIO_PROCESS, 0, 19)
        os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0))
    except (AttributeError, OSError):
        pass
    # A new session is a scheduling group of its own where the kernel groups
    # by session (autogroup): the group's weight, not the process's, decides
    # its share against the user's start. The builder leads its session, so
    # the group is its alone.
    try:
        if os.getsid(0) == os.getpid():
            with open("/proc/self/autogroup", "w") as f:
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


def _wait_for_spare_core(limit: float = SPARE_CORE_WAIT_LIMIT, interval: float = 1.0) -> bool:
    """True once the CPUs were busy at most (cores - 1) / cores of an
    `interval`, False when that did not happen within `limit` seconds. Idle
    priority alone still takes every gap in a start's CPU use."""
    started = time.monotonic()
    spare = 1 - 1 / (os.cpu_count() or 1)
    before = _cpu_times()
    if before is None:
        return True  # no way to tell: idle priority has to do
    while time.monotonic() - started < limit:
        time.sleep(interval)
        now = _cpu_times()
        if now is None:
            return True
        busy, total = now[0] - before[0], now[1] - before[1]
        if total > 0 and busy <= spare * total:
            return True
        before = now
    return False


def _holds_lock(fd: Any) -> bool:
    """Whether `fd` is the user's builder lock file, locked."""
    if not isinstance(fd, int):
        return False
    try:
        mine = os.fstat(fd)
        theirs = os.lstat(os.path.join(_user_lock_directory(), "builder.lock"))
        if (mine.st_dev, mine.st_ino) != (theirs.st_dev, theirs.st_ino):
            return False
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # a no-op on the lock the starter handed down
        return True
    except OSError:
        return False


def build_main(job: Dict[str, Any]) -> int:
    """The builder process: one file of one kind for one key, within
    BUILD_DEADLINE. Its output goes to the build log."""
    started = time.monotonic()
    _lowest_priority()
    directory, key = job["directory"], job["key"]
    lock_fd = job.get("lock_fd")
    if not _holds_lock(lock_fd):  # a builder started by hand
        lock_fd = user_lock()
        if lock_fd is None:
            _log(f"{key}: another builder of this user is at work")
            return 0
    os.set_inheritable(lock_fd, False)  # the lock ends with the builder, not with its JVM
    if mur_home.trusted_path(directory, job.get("stop_at_home", True)) != directory:
        _log(f"{directory} or a parent of it is open to other users; nothing built")
        return 1
    _remove_leftovers(directory)
    try:
        if valid_archive(directory, key, job.get("kind", "cds")) is not None:
            _log(f"{key}: already there")
            return 0
        if not _wait_for_spare_core(min(SPARE_CORE_WAIT_LIMIT, BUILD_DEADLINE / 2)):
            _log(f"{key}: no core to spare within {SPARE_CORE_WAIT_LIMIT:.0f} s; not built this time")
            return 0
        suffix = KINDS[job.get("kind", "cds")]["suffix"]
        return _supervise(job, directory, key, suffix, started + BUILD_DEADLINE)
    finally:
        prune(directory, keep_key=key)


def _supervise(job: Dict[str, Any], directory: str, key: str, suffix: str, deadline: float) -> int:
    """Runs the build in a child that leads a process group of its own (its
    JVM joins it), and ends that whole group at the deadline."""
    work = tempfile.mkdtemp(prefix=f".work.{os.getpid()}.", dir=directory)
    temp = os.path.join(directory, f".{key}.{os.getpid()}.tmp{suffix}")
    sys.stdout.flush()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.setpgid(0, 0)
            # Its own working and temporary directory: the JVM's connection
            # file and logging file go there, whatever happens to the
            # starter's TMPDIR.
            os.chdir(work)
            os.environ["TMPDIR"] = work
            tempfile.tempdir = None
            status = _build(job, directory, key, temp, deadline)
        finally:
            sys.stdout.flush()
            os._exit(status)
    try:
        os.setpgid(pid, pid)  # also here: the group exists before any kill
    except OSError:
        pass
    status = _wait_until(pid, deadline)
    if status is None:
        _end_group(pid)
        _log(f"{key}: no archive within {BUILD_DEADLINE:.0f} s; the build was ended")
        _record_failure(directory, key, "deadline")
        status = 1
    for leftover in (temp, temp + ".config"):  # .config: an AOT training run's, when killed
        _unlink(leftover)
    shutil.rmtree(work, ignore_errors=True)
    return status


def _wait_until(pid: int, deadline: float) -> Optional[int]:
    """The child's exit code, or None when it still runs at `deadline`."""
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        time.sleep(min(0.5, left))


def _group_alive(pgid: int) -> bool:
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        pass
    return True


def _end_group(pgid: int) -> None:
    """SIGTERM to the build's process group, SIGKILL after TERM_GRACE to
    whatever ignored it; the group's leader (our child) reaped."""
    try:
        os.killpg(pgid, signal.SIGTERM)
    except OSError:
        pass
    reaped = False
    limit = time.monotonic() + TERM_GRACE
    while time.monotonic() < limit:
        reaped = reaped or os.waitpid(pgid, os.WNOHANG)[0] != 0
        if reaped and not _group_alive(pgid):
            return
        time.sleep(0.1)
    try:
        os.killpg(pgid, signal.SIGKILL)
    except OSError:
        pass
    if not reaped:
        os.waitpid(pgid, 0)


def _build(job: Dict[str, Any], directory: str, key: str, temp: str, deadline: float) -> int:
    kind = job.get("kind", "cds")
    archive = os.path.join(directory, key + KINDS[kind]["suffix"])
    started = time.monotonic()
    _log(f"{key}: building {archive}")
    try:
        _dump(job, temp, deadline)
        os.chmod(temp, 0o600)
        info = _archive_file_ok(temp, None, kind)
        if info is None:
            raise RuntimeError("the JVM wrote no usable archive")
        seconds = round(time.monotonic() - started, 1)
        # The archive first, then its record: a reader never pairs the new
        # record with the old file.
        os.rename(temp, archive)
        write_meta(directory, key, kind, built=time.time(), build_seconds=seconds)
        _log(f"{key}: {info.st_size / 2**20:.0f} MB in {seconds} s")
        return 0
    except Exception as error:
        _log(f"{key}: build failed: {error!r}")
        _unlink(temp)
        _record_failure(directory, key, repr(error))
        return 1


def _dump(job: Dict[str, Any], temp: str, deadline: float) -> None:
    """Starts the driver with the kind's dump options, runs the training
    queries and lets the JVM exit, which writes the file."""
    from pyspark import SparkContext

    from ruk.compute.strategies.local import LocalStrategy

    config = dict(job["config"])
    dump_options = KINDS[job.get("kind", "cds")]["dump_options"].format(path=temp)
    config["spark.driver.extraJavaOptions"] = job["java_options"] + " " + dump_options
    strategy = LocalStrategy(config, app_name="mur-cds-build")
    spark = strategy.get_spark_session()
    # What a session's first queries run: a start, an aggregation and a join,
    # so that their classes and (for the AOT cache) profiles are in the file.
    spark.sql("SELECT 1").collect()
    spark.range(1000).selectExpr("id % 7 AS k", "id").groupBy("k").sum("id").collect()
    left = spark.range(1000).selectExpr("id % 500 AS k")
    left.join(spark.range(500).withColumnRenamed("id", "k"), "k").count()
    spark.stop()
    process = SparkContext._gateway.proc
    process.stdin.close()  # the gateway JVM exits when its stdin closes
    status = process.wait(timeout=max(1.0, deadline - time.monotonic()))
    if status != 0:
        raise RuntimeError(f"the driver JVM exited with status {status}")

# ---------------------------------------------------------------------------
# Whether a running driver JVM mapped an archive.
# ---------------------------------------------------------------------------


_USE_FLAGS = {"-XX:SharedArchiveFile=": "cds", "-XX:AOTCache=": "aot"}


def requested_cache(gateway: Any) -> Optional[Tuple[str, str]]:
    """The kind and path of the archive the driver JVM was asked to use,
    from its own arguments."""
    jvm = gateway.jvm
    arguments = jvm.java.lang.management.ManagementFactory.getRuntimeMXBean().getInputArguments()
    found = None
    for argument in arguments:
        text = str(argument)
        for flag, kind in _USE_FLAGS.items():
            if text.startswith(flag):
                found = (kind, text[len(flag):])
    return found


def cache_in_use(gateway: Any) -> Optional[str]:
    """The kind of archive ("aot" or "cds") the driver JVM uses, as the JVM
    itself reports it, or None."""
    requested = requested_cache(gateway)
    if requested is None:
        return None
    if requested[0] == "aot":
        # A JVM given a cache says "sharing" in its info iff it mapped it.
        info = str(gateway.jvm.java.lang.System.getProperty("java.vm.info"))
        return "aot" if "sharing" in info else None
    return "cds" if archive_in_use(gateway) else None


def archive_in_use(gateway: Any) -> bool:
    """Whether the driver JVM mapped a top-layer archive, from its own report
    (the VM.info diagnostic command): a mapped dynamic archive ends above the
    JDK's base archive."""
    text = vm_info(gateway)
    match = re.search(r"CDS archive\(s\) mapped at: \[(0x[0-9a-f]+)-(0x[0-9a-f]+)-(0x[0-9a-f]+)\)", text)
    return bool(match) and int(match.group(2), 16) != int(match.group(3), 16)


def vm_info(gateway: Any) -> str:
    """The driver JVM's own report of itself (the VM.info diagnostic command)."""
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
    return str(invoke.invoke(server, arguments))
