"""The `mur` command line: the Java and PySpark that the local Spark engine runs on.

Expected failures (no PySpark, no Java, a refused choice) print one line on
standard error and exit non-zero; a traceback means a bug.
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import shlex
import subprocess
import sys
import threading
import time
import warnings
from typing import Dict, List, Optional, Sequence, TextIO

from ruk.compute import java_compat as jc
from ruk.compute.mur_home import JAVA_CHOICE_NAME, MUR_NAME

PIP_COMMAND_ENV = "MUR_PIP_COMMAND"

# What pip accepts after "==", without letting an option or a second
# requirement through.
_VERSION_RE = re.compile(r"[0-9][0-9A-Za-z.!+_-]*")


class CliError(Exception):
    """An expected failure: its message is printed as one line, exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        # One line instead of usage plus message; --help has the usage.
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _majors_text(majors: Sequence[int]) -> str:
    return ", ".join(str(m) for m in majors) if majors else "none known"


def _require_pyspark(purpose: str) -> jc.PySparkInfo:
    info = jc.get_pyspark_info()
    if info is None:
        raise CliError(f"PySpark is not installed, so {purpose}; run 'mur spark set-version VERSION' first")
    return info


# --- mur java search ------------------------------------------------------------------


def _installations_with_choice() -> List[jc.JavaInstallation]:
    """What discovery finds, plus a recorded home that discovery does not reach."""
    found = list(jc.find_all_java_installations())
    choice = jc.read_java_choice()
    if choice is not None and choice.home is not None:
        chosen = jc.probe_java_home(choice.home, jc.SOURCE_USER_CHOICE)
        if chosen is not None:
            real = os.path.realpath(chosen.path)
            if all(os.path.realpath(i.path) != real for i in found):
                found.append(chosen)
    return found


def _select_java(installations: Sequence[jc.JavaInstallation], supported: Sequence[int]) -> Optional[jc.JavaInstallation]:
    """select_best_java, with a skipped JAVA_HOME or choice reported as a "mur: warning:" line."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        selected = jc.select_best_java(tuple(installations), supported)
    for warning in caught:
        print(f"mur: warning: {warning.message}", file=sys.stderr)
    return selected


def _describe_choice(choice: jc.JavaChoice) -> str:
    return f"Java {choice.major}" if choice.major is not None else f"the Java home {choice.home}"


def _cmd_java_search(args: argparse.Namespace) -> int:
    info = jc.get_pyspark_info()
    installations = _installations_with_choice()
    choice = jc.read_java_choice()
    selected = _select_java(installations, info.java_supported) if info else None

    if info is not None:
        print(f"PySpark {info.version} runs on Java {_majors_text(info.java_supported)}.")
    if choice is not None:
        used = selected is not None and (
            (choice.major is not None and selected.major == choice.major)
            or (choice.home is not None and os.path.realpath(selected.path) == os.path.realpath(choice.home))
        )
        state = "in use" if used else "ignored: not installed or not supported by this PySpark"
        print(f"Recorded choice ('mur java set'): {_describe_choice(choice)} ({state}).")

    if installations:
        # A recorded home is probed on its own, so compare by where it is.
        selected_real = os.path.realpath(selected.path) if selected is not None else None
        rows = [("", "HOME", "MAJOR", "VERSION", "FOUND IN", "PYSPARK")]
        for inst in installations:
            if info is None:
                fits = "?"
            else:
                fits = "supported" if inst.major in info.java_supported else "not supported"
            mark = "*" if selected_real is not None and os.path.realpath(inst.path) == selected_real else ""
            rows.append((mark, inst.path, str(inst.major), inst.version, inst.source, fits))
        widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
        print()
        for row in rows:
            print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
        if selected is not None:
            print("\n* the Java that mur uses")

    if not installations:
        raise CliError("no Java installation found; run 'mur java install' for how to install one")
    _require_pyspark("Java compatibility can't be checked")
    if selected is None:
        raise CliError(
            f"no installed Java is supported by PySpark {info.version}, which needs Java "
            f"{_majors_text(info.java_supported)}; run 'mur java install' for how to install one"
        )
    return 0


# --- mur java set ------------------------------------------------------------------------


def _home_from_argument(value: str) -> str:
    """A Java home from what the user typed: the home, its bin, or bin/java."""
    path = os.path.abspath(os.path.expanduser(value))
    if os.path.basename(path) in ("java", "java.exe") and os.path.basename(os.path.dirname(path)) == "bin":
        return os.path.dirname(os.path.dirname(path))
    if os.path.basename(path) == "bin" and os.path.isfile(os.path.join(path, "java")):
        return os.path.dirname(path)
    return path


def _cmd_java_set(args: argparse.Namespace) -> int:
    if args.clear:
        if jc.clear_java_choice():
            print("Forgot the recorded Java choice; mur picks a Java by itself again.")
        else:
            print("No Java choice was recorded.")
        return 0

    value = args.choice
    info = _require_pyspark("a Java choice can't be checked")
    if value.isdigit():
        major = int(value)
        if major not in info.java_supported:
            raise CliError(
                f"Java {major} is not supported by PySpark {info.version} "
                f"(it runs on Java {_majors_text(info.java_supported)}); nothing recorded"
            )
        if not any(i.major == major for i in _installations_with_choice()):
            raise CliError(
                f"no Java {major} installation found ('mur java search' lists them, "
                "'mur java install' tells how to add one); nothing recorded"
            )
        choice = jc.JavaChoice(major=major)
        described = f"Java {major}"
    else:
        home = _home_from_argument(value)
        inst = jc.probe_java_home(home, jc.SOURCE_USER_CHOICE)
        if inst is None:
            raise CliError(f"{value} is not a Java home (no executable bin/java reporting a version); nothing recorded")
        if inst.major not in info.java_supported:
            raise CliError(
                f"{value} is Java {inst.major}, which PySpark {info.version} does not support "
                f"(it runs on Java {_majors_text(info.java_supported)}); nothing recorded"
            )
        choice = jc.JavaChoice(home=os.path.realpath(home))
        described = f"Java {inst.major} at {choice.home}"
    try:
        path = jc.save_java_choice(choice)
    except OSError as e:
        raise CliError(f"could not record the choice: {e}") from None
    print(f"Recorded {described} in {path}.")
    print("It applies to Spark sessions started by processes from now on.")
    return 0


# --- mur java install -----------------------------------------------------------------------


def _platform_family() -> Optional[str]:
    if sys.platform == "darwin":
        return "macos"
    if not sys.platform.startswith("linux"):
        return None
    try:
        release = platform.freedesktop_os_release()
    except OSError:
        return None
    ids = {release.get("ID", "")} | set(release.get("ID_LIKE", "").split())
    if ids & {"debian", "ubuntu"}:
        return "debian"
    if ids & {"fedora", "rhel", "centos"}:
        return "fedora"
    return None


def _install_sections(majors: Sequence[int], example: int) -> Dict[str, List[str]]:
    fedora = lambda m: "java-1.8.0-openjdk-devel" if m == 8 else f"java-{m}-openjdk-devel"  # noqa: E731
    return {
        "debian": [
            "Debian / Ubuntu:",
            f"  sudo apt-get update && sudo apt-get install openjdk-{example}-jdk-headless",
            "  (or " + ", ".join(f"openjdk-{m}-jdk-headless" for m in majors if m != example)
            + ", where your release ships them)" if len(majors) > 1 else "",
        ],
        "fedora": [
            "Fedora / RHEL:",
            f"  sudo dnf install {fedora(example)}",
            "  (or " + ", ".join(fedora(m) for m in majors if m != example) + ")" if len(majors) > 1 else "",
        ],
        "macos": [
            "macOS (Homebrew):",
            f"  brew install --cask temurin@{example}",
            "  (installs into /Library/Java/JavaVirtualMachines, where mur looks)",
        ],
        "sdkman": [
            "SDKMAN (any platform):",
            f"  sdk list java                  # pick a Java {example} identifier, e.g. one ending in -tem",
            "  sdk install java IDENTIFIER",
            "  mur java set ~/.sdkman/candidates/java/IDENTIFIER",
        ],
    }


def _cmd_java_install(args: argparse.Namespace) -> int:
    info = jc.get_pyspark_info()
    if info is not None:
        majors = info.java_supported or (17,)
        print(f"PySpark {info.version} runs on Java {_majors_text(info.java_supported)}.")
    else:
        majors = jc.java_majors_for_pyspark("99.0")
        print(
            "PySpark is not installed ('mur spark set-version VERSION' installs it); "
            f"current releases run on Java {_majors_text(majors)}."
        )
    example = 17 if 17 in majors else max(majors)
    sections = _install_sections(majors, example)
    here = _platform_family()
    order = ([here] if here else []) + [k for k in ("debian", "fedora", "macos", "sdkman") if k != here]
    for key in order:
        lines = [line for line in sections[key] if line]
        if key == here:
            lines[0] = lines[0].rstrip(":") + " (this machine):"
        print()
        print("\n".join(lines))
    print()
    print(f"Then 'mur java search' shows what mur finds, and 'mur java set {example}' makes it the one used.")
    return 0


# --- mur spark set-version ----------------------------------------------------------------------


def _pip_command() -> List[str]:
    configured = os.environ.get(PIP_COMMAND_ENV, "").strip()
    if configured:
        return shlex.split(configured)
    return [sys.executable, "-m", "pip"]


def _cmd_spark_set_version(args: argparse.Namespace) -> int:
    version = args.version.strip()
    if not _VERSION_RE.fullmatch(version):
        raise CliError(f"{args.version!r} is not a PySpark version (for example 4.0.1)")
    command = _pip_command() + ["install", f"pyspark=={version}"]
    print(f"Running: {shlex.join(command)}", flush=True)
    try:
        status = subprocess.run(command, stdin=subprocess.DEVNULL).returncode
    except OSError as e:
        raise CliError(f"could not run {command[0]}: {e.strerror or e}") from None
    if status != 0:
        raise CliError(f"installing pyspark=={version} failed (pip exit status {status})")

    # An earlier answer in this process names the release pip just replaced.
    jc.clear_cache()
    info = jc.get_pyspark_info()
    if info is None:
        raise CliError(f"pip finished, but PySpark is still not installed for {sys.executable}")
    print(f"PySpark {info.version} is installed; it runs on Java {_majors_text(info.java_supported)}.")
    best = _select_java(jc.find_all_java_installations(), info.java_supported)
    if best is not None:
        print(f"Java {best.major} at {best.path} will be used.")
    else:
        print(
            f"No supported Java is installed: 'mur java install' tells how to add Java "
            f"{_majors_text(info.java_supported)}."
        )
    return 0


# --- mur spark check -----------------------------------------------------------------------------


class Spinner:
    """A live indicator on a terminal while something slow runs; silent otherwise.

    The stream is bound at creation: the strategy swaps sys.stderr for a
    buffer while Spark starts, and the indicator must not end up in it.
    """

    FRAMES = "|/-\\"

    def __init__(self, label: str, stream: Optional[TextIO] = None, interval: float = 0.1) -> None:
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self.interval = interval
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._started = 0.0

    def _active(self) -> bool:
        try:
            return bool(self.stream.isatty())
        except (AttributeError, ValueError, OSError):
            return False

    def _draw(self, frame: int) -> None:
        elapsed = time.monotonic() - self._started
        # Cursor back at the start afterwards: what the JVM prints meanwhile
        # overwrites the indicator instead of running on after it.
        self.stream.write(f"\r\x1b[K{self.FRAMES[frame % len(self.FRAMES)]} {self.label} {elapsed:.0f}s\r")
        self.stream.flush()

    def _run(self) -> None:
        frame = 1
        while not self._stop.wait(self.interval):
            self._draw(frame)
            frame += 1

    def __enter__(self) -> "Spinner":
        if self._active():
            self._started = time.monotonic()
            self._draw(0)
            self._thread = threading.Thread(target=self._run, name="mur-spinner", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        if self._thread is not None:
            self._stop.set()
            self._thread.join()
            self._thread = None
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def _parse_conf(items: Sequence[str], parser: argparse.ArgumentParser) -> Dict[str, str]:
    config: Dict[str, str] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key.strip():
            parser.error(f"--conf takes KEY=VALUE, got {item!r}")
        config[key.strip()] = value
    return config


def _archive_text(config: Dict[str, str]) -> str:
    """Whether the driver JVM used an archive (an ahead-of-time cache or a
    class-data-sharing archive), as the JVM itself reports it."""
    from ruk.compute import class_data_sharing as cds
    from ruk.compute import launch_plan
    from ruk.compute.jvm_settings import running_gateway

    if os.environ.get(cds.SWITCH_ENV) == "0":
        return f"none used (turned off by {cds.SWITCH_ENV}=0)"
    if launch_plan.quiet_route(config) == launch_plan.NOT_AT_ALL:
        return "none used (the driver's JVM options are all your own)"
    try:
        gateway = running_gateway()
        requested = cds.requested_cache(gateway)
        if requested is not None:
            kind, path = requested
            if cds.cache_in_use(gateway) == kind:
                name = "ahead-of-time cache" if kind == "aot" else "class-data-sharing archive"
                return f"{name} used ({path})"
            return f"none used: the JVM rejected {path}"
    except Exception:
        return "unknown (the JVM did not say)"
    if cds.last_builder is not None:
        log = os.path.join(cds.archive_directory(), "build.log")
        return f"none used yet; one is being built in the background (log: {log})"
    return "none used"


def _cmd_spark_check(args: argparse.Namespace) -> int:
    config = _parse_conf(args.conf, args.parser)
    try:
        from ruk.compute.strategies.local import LocalStrategy, cleanup_all_spark_sessions
    except ImportError as e:
        raise CliError(f"the local Spark engine can't be loaded: {e}") from None

    strategy = LocalStrategy(config, app_name="mur")
    started = time.perf_counter()
    with Spinner("Starting Spark..."):
        ok, message = strategy.test_connectivity()
    elapsed = time.perf_counter() - started

    info = jc.get_pyspark_info()
    java_home = os.environ.get("JAVA_HOME")
    java_text = "none"
    if java_home:
        real = os.path.realpath(java_home)
        major = next((i.major for i in jc.find_all_java_installations() if os.path.realpath(i.path) == real), None)
        java_text = f"{java_home} (Java {major})" if major is not None else java_home
    print(f"PySpark: {info.version if info else 'not installed'}")
    print(f"Java:    {java_text}")
    if ok:
        print(f"Spark:   {message} in {elapsed:.1f} s")
        print(f"Archive: {_archive_text(config)}")
    try:
        cleanup_all_spark_sessions()
    except Exception:
        # The check has its answer; a session that won't stop ends with the process.
        pass
    if not ok:
        raise CliError(f"Spark check failed: {message}")
    return 0


# --- mur jdbc --------------------------------------------------------------------------------------


def _jdbc_folder_or_error() -> str:
    from ruk.compute.jar_provisioning import jar_folder, project_mur_folder

    project = os.getcwd()
    if not os.path.isdir(project_mur_folder(project)):
        raise CliError(f"no .mur project folder in {project} (JDBC drivers would go to {jar_folder(project)}; "
                       "'mur jdbc add' creates it)")
    return project


def _warning(message: str) -> None:
    print(f"mur: warning: {message}", file=sys.stderr, flush=True)


def _cmd_jdbc_add(args: argparse.Namespace) -> int:
    from ruk.compute import jdbc_drivers
    from ruk.compute.jar_provisioning import jar_folder

    project = os.getcwd()
    try:
        result = jdbc_drivers.add_driver(args.source, project, args.repository, progress_stream=sys.stderr,
                                         timeout=args.timeout, max_size=int(args.max_size * 1e6),
                                         force=args.force, warn=_warning)
    except jdbc_drivers.DriverError as e:
        raise CliError(str(e)) from None
    if result.created_folder:
        print(f"Created {jar_folder(project)}.")
    drivers = ", ".join(result.drivers) or "no driver class declared"
    if result.added:
        print(f"Added {result.name} ({drivers}).")
    elif result.same == "content":
        print(f"{result.name} is already present as {result.present_as} (same content, {drivers}); "
              "nothing changed (--force adds it anyway).")
    elif result.same == "driver":
        print(f"{drivers} is already provided by {result.present_as}; nothing changed "
              f"(--force adds {result.name} anyway).")
    else:
        print(f"{result.name} is already present ({drivers}); nothing changed.")
    return 0


def _cmd_jdbc_list(args: argparse.Namespace) -> int:
    from ruk.compute.jar_provisioning import jar_folder, list_project_jars
    from ruk.compute.jdbc_drivers import clear_leftovers, describe_drivers

    project = _jdbc_folder_or_error()
    clear_leftovers(jar_folder(project))
    listing = list_project_jars(project)
    if not listing.jars and not listing.skipped:
        print(f"No JDBC driver JARs in {jar_folder(project)}; add one with 'mur jdbc add NAME'.")
    first_with: Dict[str, str] = {}  # driver class -> the first JAR listed with it
    for path in listing.jars:
        name = os.path.basename(path)
        classes, text = describe_drivers(path)
        earlier = sorted({first_with[c] for c in classes if c in first_with})
        for c in classes:
            first_with.setdefault(c, name)
        # Only the first JAR of a class is the one Java's driver lookup finds.
        note = f" (also in {', '.join(earlier)})" if earlier else ""
        print(f"{name}  {text}{note}")
    for path, reason in listing.skipped:
        print(f"skipped: {os.path.basename(path)} ({reason})")
    return 0


def _cmd_jdbc_remove(args: argparse.Namespace) -> int:
    from ruk.compute import jdbc_drivers

    project = _jdbc_folder_or_error()
    try:
        removed = jdbc_drivers.remove_driver(args.name, project)
    except jdbc_drivers.DriverError as e:
        raise CliError(str(e)) from None
    print(f"Removed {', '.join(removed)}.")
    return 0


def _positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"not a positive number: {text!r}")
    return value


def _add_jdbc_commands(commands: argparse._SubParsersAction) -> None:
    from ruk.compute.jar_provisioning import jar_folder
    from ruk.compute.jdbc_drivers import (DEFAULT_MAX_SIZE, DEFAULT_REPOSITORY, DEFAULT_TIMEOUT, KNOWN_DRIVERS,
                                          REPOSITORY_ENV)

    project_jars = jar_folder("")  # as the help names it: relative to the project

    jdbc = commands.add_parser("jdbc", help="add, list and remove the project's JDBC drivers",
                               description=f"Manage the JDBC driver JARs in the project's {project_jars}, "
                                           "which local Spark sessions put on their class path.")
    jdbc_commands = jdbc.add_subparsers(title="commands", dest="jdbc_command", metavar="COMMAND", required=True)

    add = jdbc_commands.add_parser(
        "add", help="add a JDBC driver to the project",
        description="Add a JDBC driver: a known name (" + ", ".join(KNOWN_DRIVERS) + "), a Maven "
                    "coordinate group:artifact:version, or a path to a .jar file. Downloads are checked "
                    "against the checksum the repository publishes. A JAR whose content or driver class "
                    "is there already is not added again.",
        epilog=f"The repository is {DEFAULT_REPOSITORY} unless --repository or {REPOSITORY_ENV} names another.")
    add.add_argument("source", metavar="SOURCE", help="known name, group:artifact:version, or JAR path")
    add.add_argument("--repository", metavar="URL", help="the Maven repository to download from")
    add.add_argument("--timeout", type=_positive_number, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                     help=f"give up a download that takes longer (default {DEFAULT_TIMEOUT:g})")
    add.add_argument("--max-size", type=_positive_number, default=DEFAULT_MAX_SIZE / 1e6, metavar="MB",
                     help=f"refuse a download larger than this (default {DEFAULT_MAX_SIZE / 1e6:g})")
    add.add_argument("--force", action="store_true",
                     help="add the JAR even when its content or its driver class is there already, "
                          "replacing a file of the same name")
    add.set_defaults(handler=_cmd_jdbc_add)

    listing = jdbc_commands.add_parser(
        "list", help="show the JARs the next session uses",
        description="Show each JAR the next local session uses, with the driver classes it declares, "
                    "then the entries it skips and why.")
    listing.set_defaults(handler=_cmd_jdbc_list)

    remove = jdbc_commands.add_parser(
        "remove", help="remove a JDBC driver from the project",
        description=f"Remove a JAR from the project's {project_jars}, by file name, or by known name: "
                    "then every JAR that provides its driver class.")
    remove.add_argument("name", metavar="NAME", help="a file name shown by 'mur jdbc list', or a known name")
    remove.set_defaults(handler=_cmd_jdbc_remove)


# --- mur --version ----------------------------------------------------------------------------


def _java_origin(inst: jc.JavaInstallation) -> str:
    if inst.source == jc.SOURCE_USER_CHOICE:
        return "chosen with 'mur java set'"
    if inst.source in (jc.SOURCE_JAVA_HOME, jc.SOURCE_PATH):
        return f"from {inst.source}"
    return f"found in {inst.source}"


def _print_versions() -> None:
    """This package, PySpark and the Java a session would run on: discovery only, no JVM started."""
    from importlib import metadata

    try:
        own = metadata.version("ruk")
    except metadata.PackageNotFoundError:
        own = "unknown (not installed)"
    info = jc.get_pyspark_info()
    print(f"mur:     {own}")
    if info is None:
        print("PySpark: not installed")
        print("Java:    none chosen without PySpark ('mur spark set-version VERSION' installs it)")
        return
    print(f"PySpark: {info.version} (runs on Java {_majors_text(info.java_supported)})")
    selected = _select_java(_installations_with_choice(), info.java_supported)
    if selected is None:
        print("Java:    none of those found; 'mur java install' says how to install one")
    else:
        print(f"Java:    {selected.path} (Java {selected.version}, {_java_origin(selected)})")


class _VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None) -> None:  # type: ignore[override]
        _print_versions()
        parser.exit(0)


# --- the parser ------------------------------------------------------------------------------------


def _build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="mur", description="Set up and check the local Spark engine of mur.")
    parser.add_argument("--version", action=_VersionAction,
                        help="show the versions of mur and PySpark and the Java a session would use, then exit")
    commands = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND", required=True)

    java = commands.add_parser("java", help="find and choose the Java that Spark runs on",
                               description="Find and choose the Java that Spark runs on.")
    java_commands = java.add_subparsers(title="commands", dest="java_command", metavar="COMMAND", required=True)

    search = java_commands.add_parser(
        "search", help="list the Java installations found",
        description="List every Java installation found (JAVA_HOME, PATH, the usual install folders), "
                    "whether the installed PySpark supports it, and mark the one mur uses. "
                    "Exit status 0 when a supported one exists, 1 otherwise.")
    search.set_defaults(handler=_cmd_java_search)

    choose = java_commands.add_parser(
        "set", help="record which Java to use",
        description="Record the Java that Spark sessions use from now on: a Java home, or a major "
                    "version among those installed (write ./17 for a folder named 17). "
                    "It must be supported by the installed PySpark. "
                    f"Stored in {os.path.join('~', MUR_NAME, JAVA_CHOICE_NAME)}.")
    which = choose.add_mutually_exclusive_group(required=True)
    which.add_argument("choice", nargs="?", metavar="PATH_OR_MAJOR", help="a Java home, or a major version such as 17")
    which.add_argument("--clear", action="store_true", help="forget the recorded choice")
    choose.set_defaults(handler=_cmd_java_set)

    install = java_commands.add_parser(
        "install", help="how to install a supported Java",
        description="Show how to install a Java that the installed PySpark supports on this platform. "
                    "Installs nothing.")
    install.set_defaults(handler=_cmd_java_install)

    spark = commands.add_parser("spark", help="install and check PySpark",
                                description="Install and check PySpark.")
    spark_commands = spark.add_subparsers(title="commands", dest="spark_command", metavar="COMMAND", required=True)

    set_version = spark_commands.add_parser(
        "set-version", help="install a PySpark release",
        description="Install a PySpark release into this Python environment with pip, then report the "
                    "Java versions it needs and whether one is installed.",
        epilog=f"{PIP_COMMAND_ENV}, when set, replaces 'python -m pip' (for example 'uv pip').")
    set_version.add_argument("version", metavar="VERSION", help="the PySpark release, for example 4.0.1")
    set_version.set_defaults(handler=_cmd_spark_set_version)

    check = spark_commands.add_parser(
        "check", help="start a local Spark session and run a query",
        description="Start a local Spark session with the given settings, run a test query and report "
                    "the outcome, the PySpark version, the Java used, the time taken and whether the driver "
                    "used an archive of its classes (Java 25 and later: an ahead-of-time cache; MUR_SPARK_CDS=0 "
                    "turns them off). "
                    "Exit status 0 on success, 1 on failure.")
    check.add_argument("--conf", action="append", default=[], metavar="KEY=VALUE",
                       help="a Spark setting, repeatable; 'master' selects the master (default local[2])")
    check.set_defaults(handler=_cmd_spark_check, parser=check)

    _add_jdbc_commands(commands)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else (0 if e.code is None else 2)
    try:
        return args.handler(args)
    except CliError as e:
        sys.stdout.flush()
        print(f"mur: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("mur: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
