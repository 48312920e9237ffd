"""`mur java`: find, choose and install the Java that Spark runs on."""

from __future__ import annotations

import argparse
import os
import platform
import sys
from typing import Dict, List, Optional, Sequence

from ruk.commands.common import CliError, installations_with_choice, majors_text, require_pyspark, select_java
from ruk.compute import java_compat as jc
from ruk.compute.host.home import JAVA_CHOICE_NAME, MUR_NAME


def _describe_choice(choice: jc.JavaChoice) -> str:
    return f"Java {choice.major}" if choice.major is not None else f"the Java home {choice.home}"


def _cmd_java_search(args: argparse.Namespace) -> int:
    info = jc.get_pyspark_info()
    installations = installations_with_choice()
    choice = jc.read_java_choice()
    selected = select_java(installations, info.java_supported) if info else None

    if info is not None:
        print(f"PySpark {info.version} runs on Java {majors_text(info.java_supported)}.")
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
    require_pyspark("Java compatibility can't be checked")
    if selected is None:
        raise CliError(
            f"no installed Java is supported by PySpark {info.version}, which needs Java "
            f"{majors_text(info.java_supported)}; run 'mur java install' for how to install one"
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
    info = require_pyspark("a Java choice can't be checked")
    if value.isdigit():
        major = int(value)
        if major not in info.java_supported:
            raise CliError(
                f"Java {major} is not supported by PySpark {info.version} "
                f"(it runs on Java {majors_text(info.java_supported)}); nothing recorded"
            )
        if not any(i.major == major for i in installations_with_choice()):
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
                f"(it runs on Java {majors_text(info.java_supported)}); nothing recorded"
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
        print(f"PySpark {info.version} runs on Java {majors_text(info.java_supported)}.")
    else:
        majors = jc.java_majors_for_pyspark("99.0")
        print(
            "PySpark is not installed ('mur spark set-version VERSION' installs it); "
            f"current releases run on Java {majors_text(majors)}."
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


# --- the parser ------------------------------------------------------------------------------------


def add_commands(commands: argparse._SubParsersAction) -> None:
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
