"""Starting the archive builder (archive_build), one per user on a machine.

A start that found no archive hands the builder its job: the builder runs
detached, at a considerate priority, and holds the user's builder lock for
its whole life, so that a second start (of any home or archive directory)
starts none beside it. ``mur spark archive build`` runs the same program in
the foreground. While it works a builder keeps a status file in the archive
directory (``.build~<host>~<pid>~<key>.json``) that says since when it works
and whether it still waits for a spare core, and touches it while it
builds: one its host has not touched for longer than a build may take is
abandoned (the host went down while its build ran).

The lock lives in ``/tmp/mur-cds-<uid>`` whatever HOME or TMPDIR are;
``MUR_CDS_LOCK_DIR`` points it elsewhere (the test suite does, so that it
neither waits for nor blocks the user's own builder). The lock file says who
holds it (pid, host, since, and for a builder what it builds).
"""

from __future__ import annotations

import fcntl
import json
import os
import stat
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Optional

from ruk.compute.archive import files
from ruk.compute.host import home as mur_home
from ruk.compute.host.processes import pid_alive

__all__ = ["LOCK_DIR_ENV", "start_builder", "spawn", "user_lock", "lock_holder", "note_holder", "build_problem",
           "builders"]

LOCK_DIR_ENV = "MUR_CDS_LOCK_DIR"
SWITCH_ENV = files.SWITCH_ENV
# The niceness of a background builder, chosen by measurement under one busy
# loop per core: at 19 (or SCHED_IDLE) a build is starved for hours; at 10 it
# takes about a tenth of a core from the other work and is done in minutes.
BUILDER_NICE = 10

# The starting process's child lowers its priority, forks and ends: started
# without the site packages it is gone in milliseconds, and the starting
# process reaps it at once, so nothing of it outlives a start nor warns at
# exit. The builder itself leads a session of its own. In the foreground
# (argument "here") it runs at the caller's priority as the caller's child.
_BOOTSTRAP = f"""\
import os, sys
if sys.argv[2] != "here":
    try:
        os.setpriority(os.PRIO_PROCESS, 0, {BUILDER_NICE})
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
from ruk.compute.archive.build import build_main
sys.exit(build_main(job))
"""

# The starting process's child (the builder's short-lived parent) of the last
# builder this process started in the background.
last_builder: Optional[subprocess.Popen] = None


def lock_directory() -> str:
    # Not below HOME or TMPDIR: one lock per user whatever they are set to.
    configured = os.environ.get(LOCK_DIR_ENV)
    return configured if configured and os.path.isabs(configured) else f"/tmp/mur-cds-{os.geteuid()}"


def lock_problem() -> Optional[str]:
    """Why the user's builder lock can't be taken whoever holds it, or None:
    its folder (made when missing) must be a private folder of the user's."""
    path = lock_directory()
    problem = mur_home.private_folder(path)
    return None if problem is None else f"the builders' lock folder {path} {problem}"


def build_problem(directory: str, kind: str) -> Optional[str]:
    """Why no `kind` archive can ever be built in `directory` as things stand, or None."""
    return files.directory_problem(directory, kind) or lock_problem()


def _open_lock(flags: int) -> Optional[int]:
    """The lock file in the user's own lock folder, opened with `flags`."""
    path = lock_directory()
    if mur_home.private_folder(path) is not None:
        return None
    try:
        dir_fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        # The folder opened is the one checked: never a lock another user could hold or swap.
        if mur_home.folder_problem(path, info=os.fstat(dir_fd)) is not None:
            return None
        fd = os.open("builder.lock", flags | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK, 0o600, dir_fd=dir_fd)
    except OSError:
        return None
    finally:
        os.close(dir_fd)
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid():
        os.close(fd)
        return None
    return fd


def user_lock(**holder: Any) -> Optional[int]:
    """The user's builder lock (a file descriptor holding it, the lock file
    saying so with `holder`'s fields), or None when another process of the
    user holds it or the lock's folder is not the user's own (lock_problem)."""
    fd = _open_lock(os.O_RDWR | os.O_CREAT)
    if fd is None:
        return None
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        return None
    note_holder(fd, **holder)
    return fd


def note_holder(fd: int, **holder: Any) -> None:
    """The lock file `fd` (held) names this process as its holder."""
    text = json.dumps(dict(holder, pid=os.getpid(), host=files.host_name(), since=time.time())).encode()
    try:
        os.ftruncate(fd, 0)
        os.pwrite(fd, text, 0)
    except OSError:
        pass


def lock_holder() -> Optional[Dict[str, Any]]:
    """Who holds the user's builder lock, as its lock file says ("pid",
    "host", "since", a builder's "directory" and "key"; {} when it says
    nothing), or None when nobody holds it."""
    fd = _open_lock(os.O_RDONLY)
    if fd is None:
        return None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
            return None  # free
        except OSError:
            pass
        try:
            holder = json.loads(os.pread(fd, 4096, 0))
        except ValueError:
            return {}
        return holder if isinstance(holder, dict) else {}
    finally:
        os.close(fd)


def holds_lock(fd: Any) -> bool:
    """Whether `fd` is the user's builder lock file, locked."""
    if not isinstance(fd, int):
        return False
    try:
        mine = os.fstat(fd)
        theirs = os.lstat(os.path.join(lock_directory(), "builder.lock"))
        if (mine.st_dev, mine.st_ino) != (theirs.st_dev, theirs.st_ino):
            return False
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # a no-op on the lock the starter handed down
        return True
    except OSError:
        return False


def start_builder(directory: str, key: str, spec: Dict[str, Any]) -> Optional[subprocess.Popen]:
    """Starts a detached builder unless the directory is not safe, the JVM
    refused a build for `key` lately or a builder of this user is at work."""
    global last_builder
    real = files.trusted_directory(directory, create=True)
    if real is None or files.blocked(real, key):
        return None
    # Taken here and handed down: no second builder can slip in between this
    # check and the builder's start.
    lock_fd = user_lock(directory=real, key=key)
    if lock_fd is None:
        return None
    try:
        last_builder = spawn(real, key, lock_fd, spec, detach=True)
    finally:
        os.close(lock_fd)  # the builder's copy keeps the lock
    try:
        last_builder.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass  # reaped when the Popen goes
    return last_builder


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


def spawn(directory: str, key: str, lock_fd: int, spec: Dict[str, Any], detach: bool) -> subprocess.Popen:
    """The builder process for `key` in the trusted `directory`, holding the
    lock `lock_fd`: detached and considerate, or the caller's child in a
    process group of its own, at the caller's priority."""
    job = dict(spec, directory=directory, key=key, lock_fd=lock_fd, import_roots=_import_roots(),
               stop_at_home=not os.environ.get(files.DIRECTORY_ENV), foreground=not detach)
    # The job, the user's settings among them, in a private file: a command
    # line is open to every user of the machine.
    fd, job_path = tempfile.mkstemp(prefix=files.work_name("job"), suffix=".json", dir=directory)
    with os.fdopen(fd, "w") as f:
        json.dump(job, f)
    env = dict(os.environ)
    for name in ("PYSPARK_GATEWAY_PORT", "PYSPARK_GATEWAY_SECRET"):
        env.pop(name, None)
    env[SWITCH_ENV] = "0"
    env["MUR_SPARK_SPARE"] = "0"  # its start is a throwaway: nobody claims a spare of it
    log_fd = os.open(os.path.join(directory, files.LOG_NAME),
                     os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        if os.fstat(log_fd).st_size > files.LOG_LIMIT:
            os.ftruncate(log_fd, 0)
        # -I: neither the working directory nor user site paths reach sys.path.
        return subprocess.Popen(
            [sys.executable, "-I", "-S", "-u", "-c", _BOOTSTRAP, job_path, "away" if detach else "here"],
            cwd=directory, env=env, stdin=subprocess.DEVNULL, stdout=log_fd, stderr=log_fd,
            start_new_session=True, close_fds=True, pass_fds=(lock_fd,))
    except BaseException:
        files.unlink(job_path)
        raise
    finally:
        os.close(log_fd)


def builders(directory: str) -> List[Dict[str, Any]]:
    """The builders at work in `directory` by their status files: those of
    this host whose process lives, and those of other hosts (a shared home);
    "abandoned" when the status file is older than a build may take, with
    "touched", its time."""
    found = []
    try:
        names = sorted(os.listdir(directory))
    except OSError:
        return found
    host = files.host_name()
    for name in names:
        parts = files.parse_work_name(name)
        if parts is None or parts[0] != "build" or (parts[1] == host and not pid_alive(int(parts[2]))):
            continue
        path = os.path.join(directory, name)
        status = files.read_json(path)
        try:
            touched = os.lstat(path).st_mtime
        except OSError:
            continue
        if status is not None:
            found.append(dict(status, host=parts[1], pid=int(parts[2]), key=parts[3].rsplit(".", 1)[0],
                              touched=touched, abandoned=time.time() - touched > files.WALL_LIMIT))
    return found
