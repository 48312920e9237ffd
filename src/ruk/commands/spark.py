"""`mur spark`: install a PySpark release, check that a local session runs."""

from __future__ import annotations

import argparse
import os
import re
import shlex
import subprocess
import sys
import time
from typing import Dict, List, Sequence

from ruk.commands import archive, spare
from ruk.commands.common import CliError, Spinner, majors_text, select_java
from ruk.compute import java_compat as jc

PIP_COMMAND_ENV = "MUR_PIP_COMMAND"

# What pip accepts after "==", without letting an option or a second
# requirement through.
_VERSION_RE = re.compile(r"[0-9][0-9A-Za-z.!+_-]*")


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
    print(f"PySpark {info.version} is installed; it runs on Java {majors_text(info.java_supported)}.")
    best = select_java(jc.find_all_java_installations(), info.java_supported)
    if best is not None:
        print(f"Java {best.major} at {best.path} will be used.")
    else:
        print(
            f"No supported Java is installed: 'mur java install' tells how to add Java "
            f"{majors_text(info.java_supported)}."
        )
    return 0


# --- mur spark check -----------------------------------------------------------------------------


def _parse_conf(items: Sequence[str], parser: argparse.ArgumentParser) -> Dict[str, str]:
    config: Dict[str, str] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key.strip():
            parser.error(f"--conf takes KEY=VALUE, got {item!r}")
        config[key.strip()] = value
    return config


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
        print(f"Archive: {archive.check_text(config)}")
    try:
        cleanup_all_spark_sessions()
    except Exception:
        # The check has its answer; a session that won't stop ends with the process.
        pass
    if not ok:
        raise CliError(f"Spark check failed: {message}")
    return 0


# --- the parser ------------------------------------------------------------------------------------


def add_commands(commands: argparse._SubParsersAction) -> None:
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
                    "used an archive of its classes (Java 25 and later: an ahead-of-time cache), or where that "
                    "archive stands ('mur spark archive' tells more). "
                    "Exit status 0 on success, 1 on failure.")
    check.add_argument("--conf", action="append", default=[], metavar="KEY=VALUE",
                       help="a Spark setting, repeatable; 'master' selects the master (default local[2])")
    check.set_defaults(handler=_cmd_spark_check, parser=check)

    archive.add_commands(spark_commands, _parse_conf)
    spare.add_commands(spark_commands)
