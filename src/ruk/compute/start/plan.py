"""What a new local session start hands Spark's builder, after its application
name and master: the fast-start defaults the configuration lacks, the quiet
logging options (with the class-data-sharing archive's), then the
configuration's own entries. The one table of fast defaults lives here; the
start (the extension) walks the result, and the running-JVM warnings read it.

The configuration is read here in a fixed order: where the driver's quiet
options go, the extension search, then one membership test per default in
table order, then its items once. What comes after (the archive's key and
its builder) reads the settings made from them.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple

from ruk.compute.jar_provisioning import jar_spark_settings
from ruk.compute.start.jvm_settings import quote_java_option
from ruk.compute.start.extensions import SEARCH_SETTING, class_path_search, search_may_be_off

__all__ = ["FAST_DEFAULTS", "effective_settings", "archive_inputs", "driver_java_options", "quiet_route"]


class _Computed:
    """How a fast default's value is found when it is not a fixed text."""

    def __init__(self, how: str) -> None:
        self.how = how

    def __repr__(self) -> str:
        return f"<{self.how}>"


PROJECT_JARS = _Computed("the provisioning module's setting under the same key")
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


def _with_archive(java_options: str, route: str, settings: Settings, jar_paths: Sequence[str],
                  jvm_running: bool) -> str:
    """`java_options` and the options that map a class-data-sharing archive,
    when those reach the driver. Best effort: any Exception leaves the
    options as they are."""
    try:
        view = _archive_view(java_options, route, settings)
        if view is None:
            return java_options  # the user's own options stand as they are
        from ruk.compute.archive.request import driver_options

        extra = driver_options(view[0], jar_paths, view[1], jvm_running)
        if isinstance(extra, str) and extra:
            return "".join((java_options, extra))
    except Exception:
        pass  # the start goes on as it would without an archive
    return java_options


def _plan(config: Any, log4j_file: Optional[str], jar_paths: Sequence[str]) -> Tuple[str, Dict[str, Any], Settings,
                                                                                   Settings]:
    """Where the quiet options go, the fast defaults' values, the defaults
    `config` lacks and its own entries but "master"."""
    route = quiet_route(config)
    jar_settings = jar_spark_settings(jar_paths)
    values: Dict[str, Any] = {}
    for key, source in FAST_DEFAULTS:
        if source is PROJECT_JARS:
            values[key] = jar_settings[key]
        elif source is DRIVER_JAVA_OPTIONS:
            values[key] = driver_java_options(log4j_file)
        elif source is EXTENSION_SEARCH:
            values[key] = class_path_search(jar_paths, config) if search_may_be_off() else "true"
        else:
            values[key] = source
    defaults = [(key, values[key]) for key, _ in FAST_DEFAULTS if key not in config]
    own = [(key, value) for key, value in config.items() if key != "master"]
    return route, values, defaults, own


def archive_inputs(config: Any, log4j_file: Optional[str],
                   jar_paths: Sequence[str]) -> Optional[Tuple[str, Dict[Any, Any]]]:
    """What a start with these arguments hands the archive's choice: the
    driver's JVM options as it sees them and the start's settings; None
    when the user's options replace ours."""
    route, values, defaults, own = _plan(config, log4j_file, jar_paths)
    return _archive_view(values[EXTRA_JAVA_OPTIONS], route, defaults + own)


def effective_settings(config: Any, log4j_file: Optional[str], jar_paths: Sequence[str],
                       jvm_running: bool) -> List[Tuple[Any, Any]]:
    """The (key, value) pairs a start hands builder.config, in order: the
    fast defaults whose key `config` lacks, the quiet options as
    defaultJavaOptions when the user's extraJavaOptions replace ours, then
    every entry of `config` but "master", as given.

    `log4j_file` is the quiet logging file (None when there is none),
    `jar_paths` the project's JARs, `jvm_running` whether the process's JVM
    runs already."""
    route, values, defaults, own = _plan(config, log4j_file, jar_paths)
    quiet = _with_archive(values[EXTRA_JAVA_OPTIONS], route, defaults + own, jar_paths, jvm_running)
    defaults = [(key, quiet if key == EXTRA_JAVA_OPTIONS else value) for key, value in defaults]
    if route == AS_DEFAULT_OPTIONS:
        defaults.append((DEFAULT_JAVA_OPTIONS, quiet))
    return defaults + own
