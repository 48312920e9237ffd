"""The mur command run as a user runs it: a subprocess with its own HOME and fake Java homes."""

import io
import json
import os
import re
import shlex
import subprocess
import sys
import textwrap

import pytest

from fake_spark import pyspark_dist
from real_deps import require

# Runs the command line with the Java scan roots pointed at fake folders, and
# optionally with PySpark's metadata hidden; nothing else is changed.
_LAUNCHER = textwrap.dedent(
    """
    import json, sys
    from importlib import metadata
    import ruk.compute.java_compat as jc
    options = json.loads(sys.argv[1])
    jc.JVM_ROOTS = tuple(options["roots"])
    if options["hide_pyspark"]:
        real_version = metadata.version
        def version(name):
            if name == "pyspark":
                raise metadata.PackageNotFoundError(name)
            return real_version(name)
        metadata.version = version
    from ruk.cli import main
    sys.exit(main(sys.argv[2:]))
    """
)


class Machine:
    """A HOME, an empty PATH folder, a scan root and a site folder for a fake PySpark."""

    def __init__(self, tmp_path, make_fake_java_home):
        self.tmp = tmp_path
        self.make_home = make_fake_java_home
        self.home = tmp_path / "home"
        self.jvm_root = tmp_path / "jvm"
        self.path_dir = tmp_path / "pathbin"
        self.site = tmp_path / "site"
        for d in (self.home, self.jvm_root, self.path_dir, self.site):
            d.mkdir()
        self.java_home = None

    def java(self, name, version, **kwargs):
        return self.make_home(self.jvm_root / name, version, **kwargs)

    def pyspark(self, version):
        pyspark_dist(self.site, version)

    @property
    def choice_file(self):
        return self.home / ".mur" / "java.json"

    def env(self, **extra):
        env = dict(os.environ)
        env.pop("JAVA_HOME", None)
        env.pop("MUR_PIP_COMMAND", None)
        env["HOME"] = str(self.home)
        env["PATH"] = str(self.path_dir)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (str(self.site), os.environ.get("PYTHONPATH")) if p)
        if self.java_home is not None:
            env["JAVA_HOME"] = str(self.java_home)
        env.update(extra)
        return env

    def mur(self, *args, hide_pyspark=False, **env_extra):
        options = json.dumps({"roots": [[str(self.jvm_root), "", "/usr/lib/jvm"]], "hide_pyspark": hide_pyspark})
        return subprocess.run(
            [sys.executable, "-c", _LAUNCHER, options, *args],
            env=self.env(**env_extra),
            cwd=self.tmp,
            capture_output=True,
            text=True,
            timeout=120,
        )


@pytest.fixture
def machine(tmp_path, make_fake_java_home):
    return Machine(tmp_path, make_fake_java_home)


def assert_refused(result, *words, status=1):
    assert result.returncode == status, result
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    for word in words:
        assert word in lines[0]


def table(stdout):
    """The rows of `mur java search`: {home: (marked, major, version, found in, pyspark)}."""
    rows, inside = {}, False
    for line in stdout.splitlines():
        if "HOME" in line and "MAJOR" in line:
            inside = True
        elif inside and not line.strip():
            break
        elif inside:
            cells = re.split(r"\s{2,}", line.strip())
            marked = line.startswith("*")
            if marked:
                cells = cells[1:]
            rows[cells[0]] = (marked, *cells[1:])
    return rows


def marked_rows(stdout):
    return [home for home, row in table(stdout).items() if row[0]]


# --- the command frame ----------------------------------------------------------------


@pytest.mark.parametrize(
    "args",
    [[], ["java"], ["java", "search"], ["java", "set"], ["java", "install"], ["spark"], ["spark", "set-version"], ["spark", "check"],
     ["spark", "archive"], ["spark", "archive", "build"], ["spark", "archive", "clear"], ["spark", "spare"],
     ["spark", "spare", "stop"]],
)
def test_help_on_every_command(args):
    result = subprocess.run([sys.executable, "-m", "ruk.cli", *args, "--help"], capture_output=True, text=True)
    assert result.returncode == 0
    assert result.stdout.startswith("usage: " + " ".join(["mur", *args]))


@pytest.mark.parametrize("args, config", [
    (["archive", "--conf", "a=1", "build"], {"a": "1"}),
    (["archive", "--conf", "a=1", "build", "--conf", "b=2"], {"a": "1", "b": "2"}),
    (["archive", "clear", "--conf", "b=2"], {"b": "2"}),
    (["archive", "--conf", "a=1", "clear"], {"a": "1"}),
    (["archive", "--conf", "a=1"], {"a": "1"}),
])
def test_archive_commands_take_conf_before_and_after_the_command(args, config):
    from ruk.cli import _build_parser
    from ruk.commands import archive

    assert archive._config(_build_parser().parse_args(["spark", *args])) == config


@pytest.mark.parametrize(
    "args, words",
    [
        ([], ["required"]),
        (["java"], ["required"]),
        (["teleport"], ["teleport"]),
        (["java", "set"], ["PATH_OR_MAJOR", "--clear"]),
        (["java", "set", "17", "--clear"], ["not allowed"]),
        (["spark", "set-version"], ["VERSION"]),
        (["spark", "check", "--conf", "spark.driver.memory"], ["KEY=VALUE"]),
        (["spark", "check", "--conf", "=2g"], ["KEY=VALUE"]),
    ],
)
def test_usage_errors_are_one_line(machine, args, words):
    assert_refused(machine.mur(*args), *words, status=2)


@pytest.mark.parametrize(
    "javas, hide_pyspark, pyspark_line, java_line",
    [
        ([("jdk-17", "17.0.9"), ("jdk-21", "21.0.4")], False, "4.0.1 (runs on Java 17, 21)",
         "{jvm}/jdk-21 (Java 21.0.4, found in /usr/lib/jvm)"),
        ([("jdk-11", "11.0.2")], False, "4.0.1 (runs on Java 17, 21)", "none of those found; 'mur java install'"),
        ([("jdk-17", "17.0.9")], True, "not installed", "none chosen without PySpark"),
    ],
)
def test_version_names_package_pyspark_and_java(machine, javas, hide_pyspark, pyspark_line, java_line):
    from importlib import metadata

    machine.pyspark("4.0.1")
    for name, version in javas:
        machine.java(name, version)
    result = machine.mur("--version", hide_pyspark=hide_pyspark)
    assert result.returncode == 0 and result.stderr == "", result
    fields = dict((k, v.strip()) for k, v in (line.split(":", 1) for line in result.stdout.splitlines()))
    assert list(fields) == ["mur", "PySpark", "Java"]
    assert fields["mur"] == metadata.version("ruk")
    assert fields["PySpark"] == pyspark_line
    assert fields["Java"].startswith(java_line.format(jvm=machine.jvm_root)), fields["Java"]


# --- mur java search ------------------------------------------------------------------


def test_search_lists_and_marks_the_selected_java(machine):
    machine.pyspark("4.0.1")
    machine.java("jdk-17", "17.0.9")
    machine.java("jdk-21", "21.0.4")
    machine.java("jdk-8", "1.8.0_400")
    on_path = machine.make_home(machine.tmp / "opt" / "jdk-17-path", "17.0.2")
    (machine.path_dir / "java").symlink_to(on_path / "bin" / "java")
    machine.java_home = machine.make_home(machine.tmp / "opt" / "jdk-11", "11.0.2")
    result = machine.mur("java", "search")
    assert result.returncode == 0, result.stderr
    assert "PySpark 4.0.1 runs on Java 17, 21." in result.stdout
    jvm = machine.jvm_root
    assert table(result.stdout) == {
        str(machine.java_home): (False, "11", "11.0.2", "JAVA_HOME", "not supported"),
        # JAVA_HOME is not supported, so the java on PATH is used, not the highest
        str(on_path): (True, "17", "17.0.2", "PATH", "supported"),
        str(jvm / "jdk-17"): (False, "17", "17.0.9", "/usr/lib/jvm", "supported"),
        str(jvm / "jdk-21"): (False, "21", "21.0.4", "/usr/lib/jvm", "supported"),
        str(jvm / "jdk-8"): (False, "8", "1.8.0_400", "/usr/lib/jvm", "not supported"),
    }
    assert result.stderr == (
        f"mur: warning: Skipping JAVA_HOME ({machine.java_home}): Java 11 is not supported by the installed "
        f"PySpark (it runs on Java 17, 21); using Java 17 at {on_path} instead.\n"
    )


@pytest.mark.parametrize(
    "javas, hide_pyspark, words",
    [
        ([("jdk-11", "11.0.2")], False, ["no installed Java is supported by PySpark 4.0.1", "17, 21", "mur java install"]),
        ([], False, ["no Java installation found", "mur java install"]),
        ([("jdk-17", "17.0.2")], True, ["PySpark is not installed", "mur spark set-version"]),
    ],
)
def test_search_fails_without_a_usable_java(machine, javas, hide_pyspark, words):
    machine.pyspark("4.0.1")
    for name, version in javas:
        machine.java(name, version)
    result = machine.mur("java", "search", hide_pyspark=hide_pyspark)
    assert_refused(result, *words)
    assert marked_rows(result.stdout) == []
    assert [name in result.stdout for name, _ in javas] == [True] * len(javas)


# --- mur java set --------------------------------------------------------------------


@pytest.fixture
def three_javas(machine):
    machine.pyspark("4.2.0")
    machine.java("jdk-11", "11.0.2")
    machine.java("jdk-17", "17.0.9")
    machine.java("jdk-21", "21.0.4")
    return machine


def test_set_major_then_search_uses_it(three_javas):
    m = three_javas
    assert marked_rows(m.mur("java", "search").stdout) == [str(m.jvm_root / "jdk-21")]
    result = m.mur("java", "set", "17")
    assert result.returncode == 0, result.stderr
    assert json.loads(m.choice_file.read_text()) == {"major": 17}
    search = m.mur("java", "search")
    assert "Java 17 (in use)" in search.stdout
    assert marked_rows(search.stdout) == [str(m.jvm_root / "jdk-17")]


@pytest.mark.parametrize("form", ["home", "bin", "bin/java", "link"])
def test_set_home_outside_the_usual_places(three_javas, form):
    m = three_javas
    home = m.make_home(m.tmp / "custom jdks" / "jdk-17", "17.0.11")
    link = m.tmp / "current-java"
    link.symlink_to(home)
    argument = {"home": home, "bin": home / "bin", "bin/java": home / "bin" / "java", "link": link}[form]
    result = m.mur("java", "set", str(argument))
    assert result.returncode == 0, result.stderr
    assert json.loads(m.choice_file.read_text()) == {"java_home": str(home)}
    search = m.mur("java", "search")
    assert marked_rows(search.stdout) == [str(home)]
    assert table(search.stdout)[str(home)] == (True, "17", "17.0.11", "user choice", "supported")


def test_set_recorded_java_found_elsewhere_too_is_listed_once(three_javas):
    m = three_javas
    assert m.mur("java", "set", str(m.jvm_root / "jdk-17")).returncode == 0
    search = m.mur("java", "search")
    assert search.stdout.count("jdk-17") == 2  # the choice line and one row
    assert marked_rows(search.stdout) == [str(m.jvm_root / "jdk-17")]


@pytest.mark.parametrize(
    "argument, hide_pyspark, words",
    [
        ("11", False, ["Java 11 is not supported by PySpark 4.2.0", "17, 21, 25"]),
        ("25", False, ["no Java 25 installation found"]),
        ("{jvm}/jdk-11", False, ["is Java 11", "PySpark 4.2.0 does not support"]),
        ("{tmp}", False, ["is not a Java home"]),
        ("{tmp}/missing", False, ["is not a Java home"]),
        ("17", True, ["PySpark is not installed"]),
    ],
)
def test_set_refusals_write_nothing(three_javas, argument, hide_pyspark, words):
    m = three_javas
    assert m.mur("java", "set", "21").returncode == 0
    before = m.choice_file.read_bytes()
    result = m.mur("java", "set", argument.format(jvm=m.jvm_root, tmp=m.tmp), hide_pyspark=hide_pyspark)
    assert_refused(result, *words)
    assert "nothing recorded" in result.stderr or "PySpark is not installed" in result.stderr
    assert m.choice_file.read_bytes() == before
    assert os.listdir(m.choice_file.parent) == ["java.json"]


def test_set_clear_forgets_the_choice(three_javas):
    m = three_javas
    assert m.mur("java", "set", "17").returncode == 0
    cleared = m.mur("java", "set", "--clear")
    assert cleared.returncode == 0 and "Forgot" in cleared.stdout
    assert not m.choice_file.exists()
    assert marked_rows(m.mur("java", "search").stdout) == [str(m.jvm_root / "jdk-21")]
    again = m.mur("java", "set", "--clear")
    assert again.returncode == 0 and "No Java choice was recorded" in again.stdout


def test_unsupported_recorded_choice_is_reported_as_ignored(three_javas):
    m = three_javas
    assert m.mur("java", "set", "17").returncode == 0
    m.pyspark("3.5.1")  # 8, 11, 17: still fine
    assert "(in use)" in m.mur("java", "search").stdout
    assert m.mur("java", "set", str(m.jvm_root / "jdk-11")).returncode == 0
    m.pyspark("4.0.1")  # 17, 21: the recorded Java 11 no longer fits
    search = m.mur("java", "search")
    assert "(ignored" in search.stdout
    assert marked_rows(search.stdout) == [str(m.jvm_root / "jdk-21")]


# --- mur java install ----------------------------------------------------------------


@pytest.mark.parametrize(
    "pyspark, hide, expected",
    [("3.5.1", False, "PySpark 3.5.1 runs on Java 8, 11, 17."), ("4.0.1", True, "PySpark is not installed")],
)
def test_install_instructions_name_the_supported_majors(machine, pyspark, hide, expected):
    machine.pyspark(pyspark)
    result = machine.mur("java", "install", hide_pyspark=hide)
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout
    for platform_name in ("Debian / Ubuntu", "Fedora / RHEL", "macOS", "SDKMAN"):
        assert platform_name in result.stdout
    assert "openjdk-17-jdk-headless" in result.stdout
    assert "mur java set 17" in result.stdout


# --- mur spark set-version -----------------------------------------------------------

_FAKE_PIP = textwrap.dedent(
    """
    import json, os, pathlib, sys
    sys.path.insert(0, os.environ["FAKE_PIP_TESTS"])
    from fake_spark import pyspark_dist
    log = pathlib.Path(os.environ["FAKE_PIP_LOG"])
    log.write_text(json.dumps(sys.argv[1:]))
    status = int(os.environ.get("FAKE_PIP_STATUS", "0"))
    if status == 0:
        pyspark_dist(os.environ["FAKE_PIP_SITE"], sys.argv[-1].split("==")[1])
    sys.exit(status)
    """
)


@pytest.fixture
def fake_pip(machine):
    script = machine.tmp / "fake pip.py"
    script.write_text(_FAKE_PIP)
    log = machine.tmp / "pip.log"

    def run(*args, status=0, command=None):
        return machine.mur(
            "spark", "set-version", *args,
            MUR_PIP_COMMAND=command or shlex.join([sys.executable, str(script)]),
            FAKE_PIP_LOG=str(log),
            FAKE_PIP_SITE=str(machine.site),
            FAKE_PIP_TESTS=os.path.dirname(__file__),
            FAKE_PIP_STATUS=str(status),
        )

    run.log = log
    return run


@pytest.mark.parametrize(
    "version, javas, report",
    [
        ("3.5.1", [("jdk-17", "17.0.9")], ["PySpark 3.5.1 is installed; it runs on Java 8, 11, 17.", "Java 17 at {jvm}/jdk-17 will be used."]),
        ("4.2.0", [("jdk-11", "11.0.2")], ["PySpark 4.2.0 is installed; it runs on Java 17, 21, 25.", "No supported Java is installed", "mur java install"]),
    ],
)
def test_set_version_installs_and_reports_java(machine, fake_pip, version, javas, report):
    machine.pyspark("4.0.1")
    for name, java_version in javas:
        machine.java(name, java_version)
    result = fake_pip(version)
    assert result.returncode == 0, result.stderr
    assert json.loads(fake_pip.log.read_text()) == ["install", f"pyspark=={version}"]
    for line in report:
        assert line.format(jvm=machine.jvm_root) in result.stdout


def test_set_version_uses_the_pip_of_this_python_by_default(monkeypatch):
    from ruk.commands import spark

    monkeypatch.delenv("MUR_PIP_COMMAND", raising=False)
    assert spark._pip_command() == [sys.executable, "-m", "pip"]


@pytest.mark.parametrize("version", ["4.0; rm -rf /", "4.0.1 --pre", "==4.0", "", "latest"])
def test_set_version_refuses_what_is_not_a_version(machine, fake_pip, version):
    assert_refused(fake_pip(version), "is not a PySpark version")
    assert not fake_pip.log.exists()


def test_set_version_reports_a_failed_pip(machine, fake_pip):
    machine.pyspark("4.0.1")
    result = fake_pip("9.9.9", status=3)
    assert_refused(result, "pyspark==9.9.9", "exit status 3")
    assert (machine.site / "pyspark-4.0.1.dist-info").is_dir()


def test_set_version_reports_a_missing_pip(machine, fake_pip):
    assert_refused(fake_pip("4.0.1", command=str(machine.tmp / "no-such-pip")), "could not run")


# --- mur spark check -----------------------------------------------------------------


def _spark_or_skip():
    from ruk.compute import java_compat as jc

    jc.clear_cache()
    info = jc.get_pyspark_info()
    if info is None:
        require(["PySpark"])
    elif jc.select_best_java(jc.find_all_java_installations(), info.java_supported) is None:
        require([f"a Java supported by PySpark {info.version}"])
    return info


def test_spark_check_starts_a_real_session(tmp_path):
    info = _spark_or_skip()
    env = dict(os.environ, HOME=str(tmp_path))
    result = subprocess.run(
        [sys.executable, "-m", "ruk.cli", "spark", "check", "--conf", "master=local[1]", "--conf", "spark.driver.memory=1g"],
        env=env, cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    lines = dict(line.split(":", 1) for line in result.stdout.splitlines() if ":" in line)
    assert lines["PySpark"].strip() == info.version
    java = lines["Java"].strip()
    assert os.path.isfile(os.path.join(java.split(" (Java ")[0], "bin", "java")), java
    assert "SQL test passed in" in lines["Spark"]
    # no spinner when standard error is not a terminal
    assert "Starting Spark" not in result.stderr


def test_spark_check_without_a_supported_java_fails_cleanly(machine):
    _spark_or_skip()
    machine.site.rmdir()  # the real PySpark's metadata
    machine.java_home = machine.java("jdk-8", "1.8.0_400")
    result = machine.mur("spark", "check")
    assert result.returncode == 1
    assert "Traceback" not in result.stderr
    assert result.stderr.startswith("mur: Spark check failed: Local Spark failed: No compatible Java found for PySpark")
    assert "mur java install" in result.stderr


# --- the live indicator --------------------------------------------------------------


class _Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream_type, shown", [(_Terminal, True), (io.StringIO, False)])
def test_spinner_only_on_a_terminal(stream_type, shown):
    from ruk.commands.common import Spinner

    stream = stream_type()
    with Spinner("Starting Spark...", stream=stream, interval=60):
        pass
    text = stream.getvalue()
    assert ("Starting Spark..." in text) is shown
    if shown:
        assert text.endswith("\r\x1b[K")


def test_spinner_writes_to_the_stream_it_started_with(monkeypatch):
    from ruk.commands.common import Spinner

    terminal = _Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    with Spinner("Starting Spark...", interval=60):
        monkeypatch.setattr(sys, "stderr", io.StringIO())  # as the strategy does while Spark starts
    assert terminal.getvalue().endswith("\r\x1b[K")
    assert sys.stderr.getvalue() == ""
