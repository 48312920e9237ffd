"""Where the driver's archive stands, for ``mur spark archive`` and
``mur spark check``: the current set-up's archive (there, being built,
waiting, failed), the other archives, the last unexpected error, clearing
them; and whether a running driver JVM mapped its archive."""

from __future__ import annotations

import os
import re
import time
from typing import Any, Dict, List, Optional, Tuple

from ruk.compute.archive import spawn as archive_builder
from ruk.compute.archive import files

__all__ = ["state", "summary", "archives", "last_error", "clear", "requested_cache", "cache_in_use"]


def _when(at: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M", time.localtime(at))


def who(holder: Dict[str, Any]) -> str:
    """A builder (a status file's or the lock file's holder) as "pid N[ on
    HOST] since TIME"."""
    where = "" if holder.get("host") in (None, files.host_name()) else f" on {holder['host']}"
    since = _when(holder["since"]) if isinstance(holder.get("since"), (int, float)) else "?"
    return f"pid {holder.get('pid', '?')}{where} since {since}"


def state(asked: Dict[str, Any]) -> Dict[str, Any]:
    """Where the archive of a start's request (driver_archive.request)
    stands: "status" (there, building, waiting, abandoned, failed, blocked,
    unusable, none) and a one-line "text" that says why and what comes next."""
    directory, key = asked["directory"], asked["key"]
    if asked["archive"] is not None:
        return {"status": "there", "text": f"there: {asked['archive']}"}
    if asked["unusable"] is not None:
        return {"status": "unusable", "text": f"none, and none can be built: {asked['unusable']}"}
    found = archive_builder.builders(directory)
    at_work = [builder for builder in found if not builder["abandoned"]]
    for builder in at_work:
        if builder["key"] == key:
            phase = "waiting for a spare core" if builder.get("phase", "").startswith("waiting") else "being built"
            return {"status": "building", "text": f"{phase} by {who(builder)}"}
    holder = archive_builder.lock_holder()
    if holder is not None and (holder.get("directory"), holder.get("key")) == (directory, key):
        return {"status": "building", "text": f"being built by {who(holder)}"}  # its status file still to come
    record = files.failure(directory, key)
    if record is not None:
        why = str(record.get("why", "")).splitlines()[0] if record.get("why") else "unknown"
        at = record.get("at", 0)
        if record["retry_at"] > time.time():  # whoever else builds meanwhile
            return {"status": "blocked", "text": f"the JVM refused the build at {_when(at)} ({why}); "
                                                 f"tried again after {_when(record['retry_at'])} "
                                                 "or by 'mur spark archive build'"}
    if at_work:
        return {"status": "waiting", "text": f"waiting: {who(at_work[0])} builds another set-up's archive; "
                                             "the next start after it builds this one"}
    if holder is not None:
        what = f" (building in {holder['directory']})" if isinstance(holder.get("directory"), str) else ""
        return {"status": "waiting", "text": f"waiting: another builder of yours is at work, {who(holder)}{what}; "
                                             "the next start after it builds this one"}
    for builder in found:
        if builder["key"] == key:
            return {"status": "abandoned", "text": f"abandoned: the build by {who(builder)} was last heard of at "
                                                   f"{_when(builder['touched'])}; 'mur spark archive clear' removes "
                                                   "its work files, the next start builds it"}
    if record is not None:
        return {"status": "failed", "text": f"the last build stopped at {_when(at)} ({why}); "
                                            "tried again at the next start"}
    return {"status": "none", "text": "none yet; the next start builds it in the background"}


def archives(directory: str) -> List[Tuple[str, int, float]]:
    """(name, size, last use) of the archives in `directory`, last used first."""
    found = []
    suffixes = tuple(kind["suffix"] for kind in files.KINDS.values())
    for name, path, info in files.own_files(directory):
        if not name.endswith(suffixes):
            continue
        stem = name.rsplit(".", 1)[0]
        try:
            used = max(info.st_mtime, os.lstat(os.path.join(directory, stem + ".json")).st_mtime)
        except OSError:
            used = info.st_mtime
        found.append((name, info.st_size, used))
    return sorted(found, key=lambda entry: -entry[2])


def last_error(directory: str) -> Optional[str]:
    """The last unexpected error in the build log: its time and exception line."""
    try:
        with open(os.path.join(directory, files.LOG_NAME), "rb") as f:
            f.seek(max(0, os.fstat(f.fileno()).st_size - (256 << 10)))
            lines = f.read().decode("utf-8", "replace").splitlines()
    except OSError:
        return None
    for index in range(len(lines) - 1, -1, -1):
        if files.ERROR_MARK in lines[index]:
            block = [lines[index]]
            for line in lines[index + 1:]:
                if re.match(r"\d{4}-\d\d-\d\d ", line):
                    break
                block.append(line)
            exception = next((line for line in reversed(block) if line and not line.startswith(" ")), "")
            return f"{lines[index][:19]} {lines[index].split(files.ERROR_MARK, 1)[1].rstrip(':')}: {exception}"
    return None


def summary(directory: str) -> List[str]:
    """Lines on the directory as a whole: its archives and the last error."""
    lines = [f"{name}  {size / 2**20:.0f} MB  last used {_when(used)}" for name, size, used in archives(directory)]
    error = last_error(directory)
    if error:
        lines.append(f"last unexpected error ({files.LOG_NAME}): {error}")
    return lines


def clear(directory: str, key: Optional[str] = None) -> Tuple[int, int, List[str]]:
    """Removes the archives, their records and the failure marks (`key`'s
    only, given one), and the work files of abandoned builds: (files removed,
    bytes freed, the names of the directory's other files, which stay). A
    builder of this host at work is left alone: RuntimeError names it."""
    lock_fd = archive_builder.user_lock(clearing=directory)
    found = archive_builder.builders(directory)
    running = [b for b in found if b["host"] == files.host_name() and not b["abandoned"]]
    if lock_fd is None or running:
        if lock_fd is not None:
            os.close(lock_fd)
        holder = running[0] if running else archive_builder.lock_holder()
        text = who(holder) if holder else "another process of yours"
        raise RuntimeError(f"a builder ({text}) is at work; try again when it has ended")
    try:
        removed, freed = 0, 0
        for name, path, info in files.own_files(directory):
            if key is None or name.startswith(key + "."):
                files.unlink(path)
                removed, freed = removed + 1, freed + info.st_size
        files.remove_leftovers(directory, gone=[(b["host"], b["pid"]) for b in found if b["abandoned"]])
        ours = {name for name, _, _ in files.own_files(directory)} | {files.LOG_NAME}
        try:
            names = os.listdir(directory)
        except OSError:
            names = []
        return removed, freed, sorted(n for n in names if n not in ours and files.parse_work_name(n) is None)
    finally:
        os.close(lock_fd)


# ---------------------------------------------------------------------------
# Whether a running driver JVM mapped an archive.
# ---------------------------------------------------------------------------


_USE_FLAGS = {kind["use_flag"]: name for name, kind in files.KINDS.items()}


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
