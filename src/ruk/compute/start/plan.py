"""One plan per local session start: what the start does, computed once,
inside the window that serialises starts, as a frozen record (StartPlan).
The extension executes it (the builder's calls, the launch of the driver
JVM, the cache entry) and hands the same record to what runs after the start
(the archive's build, the running-JVM warnings); nothing of a start is kept
here between calls. The one table of fast defaults lives here.

The strategy is read here in a fixed order: its app_name, the
configuration's "master", where the driver's quiet options go, the extension
search, then one membership test per default in table order, then its items
once. What comes after (the archive's key and its builder) reads the
settings made from them.
"""

from __future__ import annotations

import os
import types
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from ruk.compute.start.launch import owns_launch
from ruk.compute.jar_provisioning import jar_spark_settings
from ruk.compute.start.jvm_settings import quote_java_option, running_gateway
from ruk.compute.start.extensions import SEARCH_SETTING, class_path_search, search_may_be_off

__all__ = ["FAST_DEFAULTS", "StartPlan", "start_plan", "archive_request", "add_java_flags", "driver_java_options",
           "quiet_route"]

DEFAULT_MASTER = "local[2]"

# Added to _JAVA_OPTIONS by every session request (and by `mur spark archive`,
# whose key reads the variable) unless the first is there already.
JAVA_FLAGS = "-XX:-UseVectorCmov -XX:-UseSIMDForMemoryOps -XX:+IgnoreUnrecognizedVMOptions"


class _Computed:
    """How a fast default's value is found when it is not a fixed text."""

    def __init__(self, how: str) -> None:
        self.how = how

    def __repr__(self) -> str:
        return f"<{self.how}>"


PROJECT_JARS = _Computed("the provisioning module's setting under the same key; not passed without JARs")
DRIVER_JAVA_OPTIONS = _Computed("the logging file's option, then DRIVER_OPTIONS")
EXTENSION_SEARCH = _Computed("session_extensions.class_path_search for the JARs, where PySpark lets it off")

EXTRA_JAVA_OPTIONS = "spark.driver.extraJavaOptions"
DEFAULT_JAVA_OPTIONS = "spark.driver.defaultJavaOptions"

# The fast-start defaults, in the order they are applied: key, then its
# fixed text or where its value comes from.
FAST_DEFAULTS: Tuple[Tuple[str, Any], ...] = (
    ("spark.driver.memory", "1g"),
    ("spark.executor.memory", "1g"),
    ("spark.jars", PROJECT_JARS),
    ("spark.driver.extraClassPath", PROJECT_JARS),
    ("spark.executor.extraClassPath", PROJECT_JARS),
    (EXTRA_JAVA_OPTIONS, DRIVER_JAVA_OPTIONS),
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
    # Off unless a JAR we add may bring an extension: PySpark's only one is
    # Spark ML's functions, registered where ML is used (session_extensions.py).
    (SEARCH_SETTING, EXTENSION_SEARCH),
)

# The driver's JVM options: the one naming the logging file, then these.
LOG4J_OPTION_PREFIX = "-Dlog4j2.configurationFile=file:"
LOG4J_OPTION_NAME = "log4j2.configurationFile"  # a user's option naming their own logging file holds it
DRIVER_OPTIONS = (
    "-Djava.util.logging.level=SEVERE",
    "--add-opens=java.base/java.lang=ALL-UNNAMED",
    "--add-opens=java.base/java.lang.invoke=ALL-UNNAMED",
    "--add-opens=java.base/java.lang.reflect=ALL-UNNAMED",
    "--add-opens=java.base/java.io=ALL-UNNAMED",
    "--add-opens=java.base/java.net=ALL-UNNAMED",
    "--add-opens=java.base/java.nio=ALL-UNNAMED",
    "--add-opens=java.base/java.util=ALL-UNNAMED",
    "--add-opens=java.base/java.util.concurrent=ALL-UNNAMED",
    "--add-opens=java.base/java.util.concurrent.atomic=ALL-UNNAMED",
    "--add-opens=java.base/sun.nio.ch=ALL-UNNAMED",
    "--add-opens=java.base/sun.nio.cs=ALL-UNNAMED",
    "--add-opens=java.base/sun.security.action=ALL-UNNAMED",
    "--add-opens=java.base/sun.util.calendar=ALL-UNNAMED",
    "--add-opens=java.security.jgss/sun.security.krb5=ALL-UNNAMED",
    "-XX:+IgnoreUnrecognizedVMOptions",
)

# Where the driver's quiet options go for a configuration.
AS_EXTRA_DEFAULT = "extraJavaOptions default"  # the user sets no extraJavaOptions: the default applies
AS_DEFAULT_OPTIONS = "defaultJavaOptions"  # the user's extraJavaOptions stand; ours go beside them
NOT_AT_ALL = "not at all"  # the user sets defaultJavaOptions too, or names their own logging file


def driver_java_options(log4j_file: Optional[str]) -> str:
    """The driver's JVM options: the logging file's, when there is one, then the fixed rest."""
    fixed = " ".join(DRIVER_OPTIONS)
    if log4j_file is None:
        return fixed
    return quote_java_option(LOG4J_OPTION_PREFIX + str(log4j_file)) + " " + fixed


def quiet_route(config: Any) -> str:
    """Where the driver's quiet options (and an archive's) go for `config`."""
    if EXTRA_JAVA_OPTIONS not in config:
        return AS_EXTRA_DEFAULT
    # Spark puts defaultJavaOptions first on the driver's command line, so the
    # user's options still win wherever both set the same thing.
    if DEFAULT_JAVA_OPTIONS in config:
        return NOT_AT_ALL
    if LOG4J_OPTION_NAME in str(config[EXTRA_JAVA_OPTIONS]):  # as PySpark's builder takes the value
        return NOT_AT_ALL
    return AS_DEFAULT_OPTIONS


Settings = List[Tuple[Any, Any]]


@dataclass(frozen=True)
class StartPlan:
    """What one session start does, computed by start_plan."""

    cache_key: str  # where the new session is cached
    app_name: Any  # builder.appName
    master: Any  # builder.master
    settings: Tuple[Tuple[Any, Any], ...]  # builder.config, in this order
    log4j_file: Optional[str]  # the quiet logging file, None when there is none
    jar_paths: Tuple[str, ...]  # the project's JARs
    gateway_before: Any  # the running JVM's gateway, None when no JVM runs yet
    owns_launch: bool  # the start launches the driver JVM itself (driver_launch.launch)
    # What the start asked of the archive directory (archive.request.request,
    # with the driver "options" that map the archive found, else ""); None
    # when it asked nothing (a JVM runs already, the feature is off, or the
    # user's options replace ours).
    archive: Optional[Mapping[str, Any]]


def add_java_flags() -> None:
    """JAVA_FLAGS go into _JAVA_OPTIONS, for every JVM the process or its
    children start, unless the first of them is there already."""
    options = os.environ.get("_JAVA_OPTIONS", "")
    if JAVA_FLAGS.split()[0] not in options:
        os.environ["_JAVA_OPTIONS"] = (options + " " + JAVA_FLAGS).strip()


def _archive_view(java_options: str, route: str, settings: Settings) -> Optional[Tuple[str, Dict[Any, Any]]]:
    """The driver's JVM options as the archive sees them (ours, then the
    user's extraJavaOptions when they go beside ours) and the start's own
    settings, which the archive's key and builder read; None when the
    user's options replace ours."""
    if route == NOT_AT_ALL:
        return None
    given = dict(settings)
    if route == AS_DEFAULT_OPTIONS:
        return java_options + " " + str(given[EXTRA_JAVA_OPTIONS]), given
    return java_options, given


def _plan(config: Any, log4j_file: Optional[str], jar_paths: Sequence[str]) -> Tuple[str, Dict[str, Any], Settings,
                                                                                   Settings]:
    """Where the quiet options go, the fast defaults' values, the defaults
    `config` lacks and its own entries but "master"."""
    route = quiet_route(config)
    jar_settings = jar_spark_settings(jar_paths)
    values: Dict[str, Any] = {}
    for key, source in FAST_DEFAULTS:
        if source is PROJECT_JARS:
            # Spark reads an empty class path as the working directory (at
            # "/" the executor's class loader fails): no JARs, no setting.
            if jar_paths:
                values[key] = jar_settings[key]
        elif source is DRIVER_JAVA_OPTIONS:
            values[key] = driver_java_options(log4j_file)
        elif source is EXTENSION_SEARCH:
            values[key] = class_path_search(jar_paths, config) if search_may_be_off() else "true"
        else:
            values[key] = source
    defaults = [(key, values[key]) for key, _ in FAST_DEFAULTS if key in values and key not in config]
    own = [(key, value) for key, value in config.items() if key != "master"]
    return route, values, defaults, own


def _asked(ask: Any, route: str, java_options: str, settings: Settings,
           jar_paths: Sequence[str]) -> Optional[Dict[str, Any]]:
    view = _archive_view(java_options, route, settings)
    return None if view is None else ask(view[0], jar_paths, view[1])


def archive_request(config: Any, log4j_file: Optional[str], jar_paths: Sequence[str]) -> Optional[Dict[str, Any]]:
    """What a start with `config` that launches its driver JVM asks of the
    archive directory (archive.request.request), None when it asks nothing.
    `mur spark archive` asks through here, so that it names the key a start
    uses."""
    from ruk.compute.archive import request as driver_archive

    route, values, defaults, own = _plan(config, log4j_file, jar_paths)
    return _asked(driver_archive.request, route, values[EXTRA_JAVA_OPTIONS], defaults + own, jar_paths)


def start_plan(strategy: Any, cache_key: str, session_class: Any, log4j_file: Optional[str],
               jar_paths: Sequence[str]) -> StartPlan:
    """The plan of a start of `strategy` (its app_name and config) cached
    under `cache_key`, with `session_class` (the strategy's SparkSession),
    the quiet logging file (None when there is none) and the project's JARs.
    Asked inside the start window: whether a JVM runs, and so whether this
    start launches one, can't change before the start."""
    app_name = strategy.app_name
    config = strategy.config
    master = config.get("master", DEFAULT_MASTER)
    gateway = running_gateway()
    route, values, defaults, own = _plan(config, log4j_file, jar_paths)
    quiet = values[EXTRA_JAVA_OPTIONS]
    archive = None
    if gateway is None:  # a start on a running JVM launches nothing: no archive to map
        from ruk.compute.archive import request as driver_archive

        asked = _asked(driver_archive.start_request, route, quiet, defaults + own, jar_paths)
        if asked is not None:
            archive = types.MappingProxyType(asked)
            quiet += asked["options"]
    settings = [(key, quiet if key == EXTRA_JAVA_OPTIONS else value) for key, value in defaults]
    if route == AS_DEFAULT_OPTIONS:
        settings.append((DEFAULT_JAVA_OPTIONS, quiet))
    settings += own
    return StartPlan(
        cache_key=cache_key, app_name=app_name, master=master, settings=tuple(settings), log4j_file=log4j_file,
        jar_paths=tuple(jar_paths), gateway_before=gateway,
        owns_launch=gateway is None and owns_launch(session_class, settings), archive=archive)
