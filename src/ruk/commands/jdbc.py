"""`mur jdbc`: the JDBC driver JARs of the project in the current directory."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Dict

from ruk.commands.common import CliError, warning


def _jdbc_folder_or_error() -> str:
    from ruk.compute.jar_provisioning import jar_folder, project_mur_folder

    project = os.getcwd()
    if not os.path.isdir(project_mur_folder(project)):
        raise CliError(f"no .mur project folder in {project} (JDBC drivers would go to {jar_folder(project)}; "
                       "'mur jdbc add' creates it)")
    return project


def _cmd_jdbc_add(args: argparse.Namespace) -> int:
    from ruk.compute.jdbc import drivers as jdbc_drivers
    from ruk.compute.jar_provisioning import jar_folder
    from ruk.compute.jdbc.jar import DriverError

    project = os.getcwd()
    try:
        result = jdbc_drivers.add_driver(args.source, project, args.repository, progress_stream=sys.stderr,
                                         timeout=args.timeout, max_size=int(args.max_size * 1e6),
                                         force=args.force, warn=warning)
    except DriverError as e:
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
    from ruk.compute.jdbc.drivers import clear_leftovers
    from ruk.compute.jdbc.jar import describe_drivers

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
    from ruk.compute.jdbc import drivers as jdbc_drivers
    from ruk.compute.jdbc.jar import DriverError

    project = _jdbc_folder_or_error()
    try:
        removed = jdbc_drivers.remove_driver(args.name, project)
    except DriverError as e:
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


def add_commands(commands: argparse._SubParsersAction) -> None:
    from ruk.compute.jar_provisioning import jar_folder
    from ruk.compute.jdbc.download import DEFAULT_MAX_SIZE, DEFAULT_REPOSITORY, DEFAULT_TIMEOUT
    from ruk.compute.jdbc.drivers import KNOWN_DRIVERS, REPOSITORY_ENV

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
