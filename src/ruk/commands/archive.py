"""`mur spark archive`: the driver's class-data-sharing archive for the
current set-up: where it stands, building it now, clearing the archives."""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any, Dict, Optional, Tuple

from ruk.commands.common import CliError

# A build stopped by Ctrl-C: its processes get this long after SIGTERM.
STOP_GRACE = 5.0
# How long an explicit build waits for another builder of the user: longer
# than any build may take.
LOCK_WAIT = 2 * 3600.0 + 60.0


def _request(config: Dict[str, str]) -> Tuple[Optional[Dict[str, Any]], str]:
    """What a start with `config` asks of the archive directory (see
    driver_archive.request), or None and why no archive is used at all."""
    from ruk.compute.archive import request as driver_archive
    from ruk.compute.start import plan as launch_plan
    from ruk.compute.host import home as mur_home

    if os.environ.get(driver_archive.SWITCH_ENV) == "0":
        return None, f"turned off by {driver_archive.SWITCH_ENV}=0"
    try:
        from ruk.compute.strategies.local import LocalStrategy, _ensure_java_available

        strategy = LocalStrategy(config, app_name="mur")
        _ensure_java_available()  # JAVA_HOME as a start sets it
        jars = strategy._get_jdbc_jars(mur_home.jar_cache_directory())
    except ImportError as e:
        raise CliError(f"the local Spark engine can't be loaded: {e}") from None
    except Exception as e:
        raise CliError(f"the set-up can't start Spark: {e}") from None
    if launch_plan.quiet_route(config) == launch_plan.NOT_AT_ALL:
        return None, "the driver's JVM options are all your own"
    launch_plan.add_java_flags()  # as a start does: the key reads _JAVA_OPTIONS
    log4j = mur_home.mur_entry("mur_log4j2.properties")
    asked = launch_plan.archive_request(config, log4j if log4j and os.path.isfile(log4j) else None, jars)
    if asked is None:
        return None, "this set-up takes none (no usable home, or JVM options that manage sharing themselves)"
    return asked, ""


def check_text(config: Dict[str, str]) -> str:
    """One line for `mur spark check`, after its start: whether the driver
    JVM used an archive, as the JVM itself reports it, else where it stands."""
    from ruk.compute.archive import spawn as archive_builder
    from ruk.compute.archive import status as archive_status
    from ruk.compute.start.jvm_settings import running_gateway

    try:
        gateway = running_gateway()
        requested = archive_status.requested_cache(gateway) if gateway is not None else None
        if requested is not None:
            kind, path = requested
            if archive_status.cache_in_use(gateway) == kind:
                name = "ahead-of-time cache" if kind == "aot" else "class-data-sharing archive"
                return f"{name} used ({path})"
            return f"none used: the JVM rejected {path}"
    except Exception:
        return "unknown (the JVM did not say)"
    asked, why = _request(config)
    if asked is None:
        return f"none used ({why})"
    state = archive_status.state(asked)
    if state["status"] == "none" and archive_builder.last_builder is not None:
        state["text"] = "being built in the background"  # by this very start; its status file may lag
    log = os.path.join(asked["directory"], "build.log")
    return f"none used; {state['text']} (log: {log})"


def _config(args: argparse.Namespace) -> Dict[str, str]:
    """The settings given before the command and after it."""
    return args.parse_conf(list(args.conf) + list(getattr(args, "command_conf", [])), args.parser)


def _cmd_archive(args: argparse.Namespace) -> int:
    from ruk.compute.archive import files as archive_files
    from ruk.compute.archive import status as archive_status

    asked, why = _request(_config(args))
    directory = asked["directory"] if asked else archive_files.archive_directory()
    if asked is None:
        print(f"Archive:   none for this set-up: {why}")
    else:
        state = archive_status.state(asked)
        print(f"Archive:   {state['text']}")
        if asked["archive"] is not None:
            print(f"Size:      {os.path.getsize(asked['archive']) / 2**20:.0f} MB")
    if directory is None:
        return 0
    real = archive_files.trusted_directory(directory)
    lines = archive_status.summary(real) if real is not None else []
    print(f"Directory: {directory}" + (f" (log: {archive_files.LOG_NAME})" if real is not None else ""))
    for line in lines:
        print(f"  {line}")
    return 0


def _stop(process: Any) -> None:
    """Ends every process of the builder's session (its build and JVM among
    them): SIGTERM, then SIGKILL to what is left after STOP_GRACE."""
    from ruk.compute.host.processes import end_session

    end_session(process.pid, STOP_GRACE, process.poll)
    process.wait()


def _progress(live: bool, text: str) -> None:
    if live:
        sys.stdout.write(f"\r{text}\x1b[K")
        sys.stdout.flush()


def _wait_for_lock(live: bool, **mine: Any) -> int:
    """The user's builder lock, once the builder that holds it has ended:
    which one it is, on a line of its own, with the time waited and its CPU
    on a terminal. CliError when it is not free within LOCK_WAIT."""
    from ruk.compute.archive import spawn as archive_builder
    from ruk.compute.archive import files as archive_files
    from ruk.compute.archive import status as archive_status
    from ruk.compute.host.processes import session_cpu

    started, shown = time.monotonic(), None
    while True:
        lock_fd = archive_builder.user_lock(**mine)
        if lock_fd is not None:
            _progress(live, "")
            return lock_fd
        holder = archive_builder.lock_holder() or {}
        text = archive_status.who(holder) if holder else "another process of yours"
        if isinstance(holder.get("directory"), str):
            text += f", building in {holder['directory']}"
        waited = time.monotonic() - started
        if waited > LOCK_WAIT:
            raise CliError(f"another builder of yours ({text}) is still at work after {waited:.0f} s")
        if text != shown:
            _progress(live, "")
            print(f"Waiting for another builder of yours: {text}", flush=True)
            shown = text
        ours = holder.get("host") == archive_files.host_name() and isinstance(holder.get("pid"), int)
        cpu = f", its CPU {session_cpu(holder['pid']):.0f} s" if ours else ""
        _progress(live, f"Waiting... {waited:.0f} s{cpu}")
        time.sleep(0.5)


def _cmd_archive_build(args: argparse.Namespace) -> int:
    from ruk.compute.archive import spawn as archive_builder
    from ruk.compute.archive import files as archive_files
    from ruk.compute.host.processes import session_cpu

    asked, why = _request(_config(args))
    if asked is None:
        raise CliError(f"no archive for this set-up: {why}")
    if asked["unusable"] is not None:
        raise CliError(f"no archive can be built: {asked['unusable']}")
    if asked["archive"] is not None:
        print(f"Archive: already built: {asked['archive']}")
        return 0
    directory = archive_files.trusted_directory(asked["directory"], create=True)
    if directory is None:
        raise CliError(f"{asked['directory']} can't be made private to you")
    live = sys.stdout.isatty()
    try:
        lock_fd = _wait_for_lock(live, directory=directory, key=asked["key"])
    except KeyboardInterrupt:
        _progress(live, "")
        raise CliError("stopped; no archive was built") from None
    try:
        built = archive_files.valid_archive(directory, asked["key"], asked["kind"])
        if built is not None:  # by the builder waited for
            print(f"Archive: already built: {built}")
            return 0
        archive_files.unlink(os.path.join(directory, asked["key"] + ".failed"))
        process = archive_builder.spawn(directory, asked["key"], lock_fd, asked["spec"], detach=False)
    finally:
        os.close(lock_fd)  # the builder's copy keeps the lock
    started = time.monotonic()
    try:
        while process.poll() is None:
            _progress(live, f"Building the archive... {time.monotonic() - started:.0f} s "
                            f"({session_cpu(process.pid):.0f} s of CPU)")
            time.sleep(0.5)
    except KeyboardInterrupt:
        _stop(process)
        archive_files.remove_leftovers(directory)
        _progress(live, "")
        raise CliError("stopped; no archive was built") from None
    _progress(live, "")
    archive = archive_files.valid_archive(directory, asked["key"], asked["kind"])
    if archive is None:
        record = archive_files.failure(directory, asked["key"]) or {}
        reason = str(record.get("why") or f"the builder exited with status {process.returncode}").splitlines()[0]
        raise CliError(f"the archive was not built: {reason} (log: {directory}/{archive_files.LOG_NAME})")
    print(f"Archive: built {archive} ({os.path.getsize(archive) / 2**20:.0f} MB in "
          f"{time.monotonic() - started:.0f} s)")
    return 0


def _cmd_archive_clear(args: argparse.Namespace) -> int:
    from ruk.compute.archive import files as archive_files
    from ruk.compute.archive import status as archive_status

    config = _config(args)
    key = None
    if config:  # one set-up's
        asked, why = _request(config)
        if asked is None:
            raise CliError(f"no archive for this set-up: {why}")
        key = asked["key"]
    directory = archive_files.archive_directory()
    real = archive_files.trusted_directory(directory) if directory else None
    if real is None:
        print("Nothing to clear" + (f": no archive directory at {directory}" if directory else ""))
        return 0
    try:
        removed, freed, kept = archive_status.clear(real, key)
    except RuntimeError as e:
        raise CliError(f"not cleared: {e}") from None
    whose = " of this set-up" if key else ""
    print(f"Removed {removed} files{whose} ({freed / 2**20:.0f} MB) from {real}")
    if kept:
        shown = ", ".join(kept[:5]) + (f" and {len(kept) - 5} more" if len(kept) > 5 else "")
        print(f"Kept {len(kept)} other files there: {shown}")
    return 0


def add_commands(spark_commands: argparse._SubParsersAction, parse_conf: Any) -> None:
    archive = spark_commands.add_parser(
        "archive", help="the driver's class archive: where it stands, build it, clear it",
        description="Where the archive of the Spark driver's classes for this set-up stands (there, being "
                    "built, waiting, failed and when it is tried again), with the other archives and their "
                    "sizes. A start without one builds it in the background at low priority. MUR_SPARK_CDS=0 "
                    "turns archives off; MUR_CDS_DIR moves them from ~/.mur/cds.")
    # The commands' own --conf adds to the one given before them.
    conf = argparse.ArgumentParser(add_help=False)
    conf.add_argument("--conf", action="append", default=[], dest="command_conf", metavar="KEY=VALUE",
                      help="a Spark setting, repeatable, as for 'mur spark check'")
    archive.add_argument("--conf", action="append", default=[], metavar="KEY=VALUE",
                         help="a Spark setting, repeatable, as for 'mur spark check'")
    archive.set_defaults(handler=_cmd_archive, parser=archive, parse_conf=parse_conf)
    commands = archive.add_subparsers(title="commands", dest="archive_command", metavar="COMMAND")
    build = commands.add_parser("build", parents=[conf], help="build the archive now, in the foreground",
                                description="Build this set-up's archive now, at normal priority, with a "
                                            "progress line; Ctrl-C stops it and keeps nothing.")
    build.set_defaults(handler=_cmd_archive_build, parser=build, parse_conf=parse_conf)
    clear = commands.add_parser("clear", parents=[conf], help="remove the archives and failure marks",
                                description="Remove every archive, its record and the failure marks, or with "
                                            "--conf those of that set-up only, and the work files of abandoned "
                                            "builds (not while a builder of yours runs). Other files stay.")
    clear.set_defaults(handler=_cmd_archive_clear, parser=clear, parse_conf=parse_conf)
