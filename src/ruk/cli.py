"""The `mur` command line: the Java and PySpark that the local Spark engine runs on.

Expected failures (no PySpark, no Java, a refused choice) print one line on
standard error and exit non-zero; a traceback means a bug.
"""

from __future__ import annotations

import argparse
import sys
from typing import Optional, Sequence

from ruk.commands import java, jdbc, spark
from ruk.commands.common import CliError, installations_with_choice, majors_text, select_java
from ruk.compute import java_compat as jc


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        # One line instead of usage plus message; --help has the usage.
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


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
    print(f"PySpark: {info.version} (runs on Java {majors_text(info.java_supported)})")
    selected = select_java(installations_with_choice(), info.java_supported)
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
    java.add_commands(commands)
    spark.add_commands(commands)
    jdbc.add_commands(commands)
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
