"""`mur spark spare`: the spare driver JVMs waiting for the next start, and ending them."""

from __future__ import annotations

import argparse
import os
import time

from ruk.compute.spare import registry


def _age(seconds: float) -> str:
    minutes, seconds = divmod(int(max(0.0, seconds)), 60)
    return f"{minutes}m{seconds:02d}s" if minutes else f"{seconds}s"


def _switch_text() -> str:
    if registry.enabled():
        return f"on; each waits {registry.idle_limit():.0f} s at most ({registry.IDLE_ENV})"
    return "off (CI is set)" if "CI" in os.environ else f"off ({registry.SWITCH_ENV}=0)"


def _cmd_spare(args: argparse.Namespace) -> int:
    folder = registry.directory()
    records = registry.live_records(folder) if folder else []
    print(f"Spares: {_switch_text()}")
    if not records:
        print("No spare runs.")
        return 0
    rows = [("KEY", "STATE", "AGE", "MEMORY", "DIRECTORY")]
    now = time.time()
    for record in records:
        memory = registry.memory_bytes(record["pid"])
        if registry.is_live(record, "jvm_"):
            memory += registry.memory_bytes(record["jvm_pid"])
        rows.append((record["key"][:12], str(record.get("state")), _age(now - record.get("created", now)),
                     f"{memory / 2**20:.0f} MB", str(record.get("directory"))))
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[4])
    return 0


def _cmd_spare_stop(args: argparse.Namespace) -> int:
    folder = registry.directory()
    stopped = registry.stop_all(folder) if folder else 0
    print(f"Stopped {stopped} spare{'' if stopped == 1 else 's'}." if stopped else "No spare runs.")
    return 0


def add_commands(spark_commands: argparse._SubParsersAction) -> None:
    spare = spark_commands.add_parser(
        "spare", help="the spare driver JVMs: list them, stop them",
        description="The spare driver JVMs of this user: after a local start, a driver JVM with the same "
                    "launch (settings, directory, environment) waits, warmed, for the next start, which takes "
                    "it instead of starting its own. Each shows its key, state (warming or ready), age, memory "
                    f"(the spare and its JVM) and directory. {registry.SWITCH_ENV}=0 or CI turns spares off; "
                    f"{registry.IDLE_ENV} is how long one waits (seconds, default {registry.IDLE_DEFAULT:.0f}).")
    spare.set_defaults(handler=_cmd_spare)
    commands = spare.add_subparsers(title="commands", dest="spare_command", metavar="COMMAND")
    stop = commands.add_parser("stop", help="end every spare", description="End every spare driver JVM of this user.")
    stop.set_defaults(handler=_cmd_spare_stop)
