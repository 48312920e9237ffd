"""Settings a running JVM can't take: a process has one Spark JVM, and the
driver's memory, Java options and class path (the JDBC drivers among them)
are fixed when it starts. A later session asking for other values gets a
warning instead of a silent difference."""

from __future__ import annotations

import re
import shlex
import sys
import threading
import warnings
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple
from urllib.parse import unquote, urlsplit

from ruk.compute.start.pyspark_internals import MISSING, internal, report_missing

__all__ = ["GATEWAY_FALLBACK", "gateway_readable", "memory_bytes", "quote_java_option", "running_gateway",
           "setting_text", "spark_context_class", "split_java_options", "stop_reused_session",
           "warn_unapplied_settings"]

# Compared together when they belong to one thing a user changes: the JAR list
# moves spark.jars and the class path at once.
GROUPS: Tuple[Tuple[str, ...], ...] = (
    ("spark.driver.memory",),
    ("spark.driver.extraJavaOptions",),
    ("spark.jars", "spark.driver.extraClassPath"),
)
# What Spark uses when the JVM was started without the key.
DEFAULTS = {"spark.driver.memory": "1g"}

_UNITS = {"": 1 << 20, "b": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40, "p": 1 << 50}
_MEMORY = re.compile(r"\s*([0-9]+)\s*([bkmgtp]?)b?\s*", re.IGNORECASE)

_warned: Set[Tuple[Tuple[str, str], ...]] = set()
_warned_lock = threading.Lock()


# What the strategy does when PySpark's SparkContext has no `_gateway`.
GATEWAY_FALLBACK = "sees no running JVM and leaves Spark's extension search on"


def spark_context_class() -> Any:
    """PySpark's SparkContext class, None while PySpark is not imported."""
    for name in ("pyspark.core.context", "pyspark.context"):  # 4.x, 3.x
        context = getattr(sys.modules.get(name), "SparkContext", None)
        if context is not None:
            return context
    return None


def context_without_jsc(context: Any) -> None:
    """A cached session's context has no `_jsc`: when it is PySpark's own,
    says so once (the liveness check then takes getConf()'s answer alone);
    a stand-in's is no news."""
    context_class = spark_context_class()
    if context_class is not None and isinstance(context, context_class):
        report_missing("SparkContext._jsc", "takes a session whose getConf() answers as live, stopped or not")


def running_gateway() -> Any:
    """PySpark's gateway to the process's JVM, None while no JVM runs. PySpark
    launches one JVM per process and later starts reuse it as it is. Never
    imports PySpark: a process that has not imported it runs no JVM of its,
    and a start must not pay for the import."""
    context = spark_context_class()
    if context is None:
        return None
    gateway = internal(context, "_gateway", GATEWAY_FALLBACK)
    return None if gateway is MISSING else gateway


def gateway_readable() -> bool:
    """Whether the imported PySpark shows its JVM's gateway where the
    strategy reads it (says once when not)."""
    context = spark_context_class()
    return context is not None and internal(context, "_gateway", GATEWAY_FALLBACK) is not MISSING


def setting_text(value: Any) -> Any:
    """A setting's value as PySpark's builder stores it: booleans in lower
    case, None as it is, anything else as its str."""
    if isinstance(value, bool):
        return str(value).lower()
    return value if value is None else str(value)


def quote_java_option(option: str) -> str:
    """`option` as one option through Spark's splitting of the driver's JVM
    options, which splits at blanks, honouring quotes and backslashes."""
    # An option holding a blank, a quote or a backslash goes in single
    # quotes, where both take every character literally; a single quote
    # itself is written '"'"' (close, a double-quoted quote, reopen).
    if not any(c in "'\"\\" or c.isspace() for c in option):
        return option
    return "'" + option.replace("'", "'\"'\"'") + "'"


def split_java_options(text: str) -> List[str]:
    """`text` split into options as Spark splits the driver's JVM options."""
    try:
        return shlex.split(text)
    except ValueError:  # an unclosed quote: Spark takes the rest as one option, we split at blanks
        return text.split()


# What the strategy does when PySpark lacks the builder's default session or the running context.
_REUSE_FALLBACK = "may hand out a running session of another configuration"


def stop_reused_session(session_class: Any) -> bool:
    """Stops what `session_class`'s builder would hand out instead of a new
    session: its default session, which getOrCreate returns while it runs
    (with the new settings applied at run time only), and PySpark's running
    SparkContext, which a new session takes with its master and settings.
    True when it stopped something; raises what stop() raises."""
    own = session_class is getattr(sys.modules.get("pyspark.sql.session"), "SparkSession", None)
    stopped = False
    if own:
        session = internal(session_class, "_instantiatedSession", _REUSE_FALLBACK)
    else:  # a stand-in: only when it keeps one as PySpark does
        session = getattr(session_class, "_instantiatedSession", None)
    if session is not None and session is not MISSING:
        session.stop()
        stopped = True
    context_class = spark_context_class() if own else None
    context = internal(context_class, "_active_spark_context", _REUSE_FALLBACK) if context_class else None
    if context is not None and context is not MISSING:  # a context made without a session
        context.stop()
        stopped = True
    return stopped


def memory_bytes(text: str) -> Optional[int]:
    """A Spark memory size in bytes ("1g", "512m", a bare number of MiB); None when unreadable."""
    match = _MEMORY.fullmatch(text)
    return int(match.group(1)) * _UNITS[match.group(2).lower()] if match else None


def _jar_entries(text: str) -> List[str]:
    # spark-submit hands the JVM file: URIs for local paths.
    entries = []
    for entry in text.split(","):
        entry = entry.strip()
        if entry:
            entries.append(unquote(urlsplit(entry).path) if entry.startswith("file:") else entry)
    return entries


def _without_archive(options: str) -> List[str]:
    """The driver's options less those that map a class-data-sharing archive:
    only a start that launches the JVM adds them."""
    from ruk.compute.archive.files import KINDS

    parts = split_java_options(options)
    flags = tuple(kind["use_flag"] for kind in KINDS.values())
    if not any(part.startswith(flags) for part in parts):
        return parts
    quiet = {option for kind in KINDS.values() for option in kind["silent"].split()}
    return [part for part in parts if not part.startswith(flags) and part not in quiet]


def _same(key: str, started: str, wanted: str) -> bool:
    if key == "spark.driver.extraJavaOptions":
        return _without_archive(started) == _without_archive(wanted)
    if key == "spark.driver.memory":
        started_bytes, wanted_bytes = memory_bytes(started), memory_bytes(wanted)
        if started_bytes is not None and wanted_bytes is not None:
            return started_bytes == wanted_bytes
    if key == "spark.jars":
        return _jar_entries(started) == _jar_entries(wanted)
    return started == wanted


def _message(keys: Sequence[str], started: Dict[str, str], wanted: Dict[str, str]) -> str:
    names = ", ".join(keys)
    if keys == ["spark.driver.memory"]:
        detail = f"the running JVM was started with {started[keys[0]]!r}, not {wanted[keys[0]]!r}"
    else:
        detail = "the running JVM was started with other values"
        if "spark.jars" in keys:
            have = set(_jar_entries(started["spark.jars"]))
            lacking = [e.rsplit("/", 1)[-1] for e in _jar_entries(wanted["spark.jars"]) if e not in have]
            if lacking:
                detail += f" (JARs it lacks: {', '.join(lacking)})"
    them = "it" if len(keys) == 1 else "them"
    return f"{names}: {detail}; a new process is needed for {them} to take effect."


def warn_unapplied_settings(spark: Any, plan: Any) -> None:
    """One RuntimeWarning per process for each JVM-level setting of this
    session (the settings its start's plan, start.plan.StartPlan, gave the
    builder) that differs from what the running JVM started with. Only when
    the JVM ran before this session started."""
    gateway_before = plan.gateway_before
    if gateway_before is None:
        return
    context = getattr(spark, "sparkContext", None)
    jvm = getattr(context, "_jvm", None)
    if jvm is None or getattr(context, "_gateway", None) is not gateway_before:
        return  # not PySpark's context, or a JVM launched by this very start
    try:
        system = jvm.java.lang.System
        started = {}
        for group in GROUPS:
            for key in group:
                value = system.getProperty(key)
                started[key] = DEFAULTS.get(key, "") if value is None else value
    except Exception:
        return  # a JVM that can't answer: nothing to compare with
    given = dict(plan.settings)
    wanted = {key: str(setting_text(given.get(key, ""))) for key in started}

    for group in GROUPS:
        differing = [key for key in group if not _same(key, started[key], wanted[key])]
        if not differing:
            continue
        difference = tuple((key, wanted[key]) for key in differing)
        with _warned_lock:
            if difference in _warned:
                continue
            _warned.add(difference)
        warnings.warn(_message(differing, started, wanted), RuntimeWarning, stacklevel=2)
