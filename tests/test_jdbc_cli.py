"""`mur jdbc` run as a user runs it, in a subprocess, with downloads from a
Maven repository served on 127.0.0.1 that holds Debian's PostgreSQL driver."""

import functools
import hashlib
import io
import os
import subprocess
import sys
import threading
import zipfile
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from real_deps import require
from ruk.compute.jdbc_drivers import KNOWN_DRIVERS

DRIVER = Path("/usr/share/java/postgresql.jar")
_SCRIPT = Path(sys.executable).with_name("mur")
MUR = [str(_SCRIPT)] if _SCRIPT.exists() else [sys.executable, "-m", "ruk.cli"]
PG_GROUP, PG_ARTIFACT, PG_VERSION = KNOWN_DRIVERS["postgresql"]
PG_FILE = f"{PG_ARTIFACT}-{PG_VERSION}.jar"


def _not_a_driver() -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as jar:
        jar.writestr("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n")
    return buffer.getvalue()


class _QuietHandler(SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def repository(tmp_path_factory):
    """URL of a Maven layout: the driver under its known name, and test:* artifacts."""
    require([] if DRIVER.exists() else [f"the PostgreSQL JDBC driver ({DRIVER})"])
    root = tmp_path_factory.mktemp("maven")
    jar, other = DRIVER.read_bytes(), _not_a_driver()

    def publish(group, artifact, version, content, **sums):
        folder = root / group.replace(".", "/") / artifact / version
        folder.mkdir(parents=True)
        (folder / f"{artifact}-{version}.jar").write_bytes(content)
        for algorithm, digest in sums.items():
            (folder / f"{artifact}-{version}.jar.{algorithm}").write_text(f"{digest}  {artifact}-{version}.jar\n")

    publish(PG_GROUP, PG_ARTIFACT, PG_VERSION, jar, sha256=hashlib.sha256(jar).hexdigest())
    publish("test", "sha1only", "1", jar, sha1=hashlib.sha1(jar).hexdigest())
    publish("test", "badsum", "1", jar, sha256="0" * 64, sha1=hashlib.sha1(jar).hexdigest())
    publish("test", "nosum", "1", jar)
    publish("test", "notdriver", "1", other, sha256=hashlib.sha256(other).hexdigest())
    server = ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(_QuietHandler, directory=str(root)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()
    thread.join(timeout=30)


def mur(project, *args, **env):
    return subprocess.run([*MUR, "jdbc", *args], cwd=project, capture_output=True, text=True, timeout=120,
                          env={k: v for k, v in {**os.environ, **env}.items() if v is not None})


def folder_entries(project):
    folder = project / ".mur" / "jdbc_jars"
    return sorted(os.listdir(folder)) if folder.exists() else None


def assert_one_line_error(result, *words):
    assert result.returncode == 1, result
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("mur: "), result.stderr
    for word in words:
        assert word in lines[0]


def _closed_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# source, how the repository is named ("option", "env" or a fixed URL), error words (None: added)
ADD_CASES = {
    "known name, sha256": ("postgresql", "option", None),
    "coordinate, sha1 only, from the environment": ("test:sha1only:1", "env", None),
    "bad checksum": ("test:badsum:1", "option", ("sha256 checksum", "does not match")),
    "missing checksum": ("test:nosum:1", "option", ("no checksum", ".sha256 or .sha1")),
    "404": ("test:absent:1", "option", ("HTTP 404", "absent-1.jar")),
    "not a driver": ("test:notdriver:1", "option", ("declares no JDBC driver", "java.sql.Driver")),
    "unreachable repository": ("postgresql", "closed", ("can't reach the repository",)),
    "unknown name": ("postgres", "option", ("postgresql, mysql, mariadb, sqlite, sqlserver",)),
}


@pytest.mark.parametrize("case", list(ADD_CASES))
def test_add_from_a_repository(repository, tmp_path, case):
    source, where, error = ADD_CASES[case]
    url = f"http://127.0.0.1:{_closed_port()}" if where == "closed" else repository
    args = ["add", source] + (["--repository", url] if where != "env" else [])
    result = mur(tmp_path, *args, MUR_MAVEN_REPOSITORY=url if where == "env" else None)
    if error is not None:
        assert_one_line_error(result, *error)
        # Refused before or after the download: nothing is left in the folder.
        assert folder_entries(tmp_path) in (None, [])
        return
    assert result.returncode == 0, result.stderr
    name = PG_FILE if source == "postgresql" else "sha1only-1.jar"
    assert f"Added {name} (org.postgresql.Driver)." in result.stdout
    assert folder_entries(tmp_path) == [name]
    assert (tmp_path / ".mur" / "jdbc_jars" / name).read_bytes() == DRIVER.read_bytes()


def test_add_list_remove(repository, tmp_path):
    missing = mur(tmp_path, "list")
    assert_one_line_error(missing, "no .mur project folder", str(tmp_path / ".mur" / "jdbc_jars"), "mur jdbc add")
    assert_one_line_error(mur(tmp_path, "remove", "x.jar"), "no .mur project folder")

    added = mur(tmp_path, "add", str(DRIVER))
    assert added.returncode == 0, added.stderr
    assert added.stdout.splitlines() == [f"Created {tmp_path / '.mur' / 'jdbc_jars'}.",
                                         "Added postgresql.jar (org.postgresql.Driver)."]
    again = mur(tmp_path, "add", str(DRIVER))
    assert again.returncode == 0 and "already present" in again.stdout
    assert mur(tmp_path, "add", "postgresql", "--repository", repository).returncode == 0

    other = tmp_path / "elsewhere" / "postgresql.jar"
    other.parent.mkdir()
    other.write_bytes(_not_a_driver())
    assert_one_line_error(mur(tmp_path, "add", str(other)), "another file named postgresql.jar")
    (tmp_path / "notes.jar").write_text("not a zip")
    assert_one_line_error(mur(tmp_path, "add", str(tmp_path / "notes.jar")), "is not a JAR")

    jars = tmp_path / ".mur" / "jdbc_jars"
    os.mkfifo(jars / "pipe.jar")
    (jars / "a,b.jar").write_bytes(b"PK")
    pipe_source = tmp_path / "pipe.jar"
    pipe_source.write_bytes(b"")
    assert_one_line_error(mur(tmp_path, "add", str(pipe_source)), "is not a regular file")
    listed = mur(tmp_path, "list")
    assert listed.returncode == 0, listed.stderr
    assert listed.stdout.splitlines() == [
        f"{PG_FILE}  org.postgresql.Driver",
        "postgresql.jar  org.postgresql.Driver",
        "skipped: a,b.jar (its name contains ',')",
        "skipped: pipe.jar (a FIFO)",
    ]

    removed = mur(tmp_path, "remove", "postgresql")  # the known name
    assert removed.returncode == 0 and f"Removed {PG_FILE}." in removed.stdout
    assert mur(tmp_path, "remove", "pipe.jar").returncode == 0
    assert_one_line_error(mur(tmp_path, "remove", "mysql"), "no JAR named 'mysql'", "postgresql.jar")
    assert folder_entries(tmp_path) == ["a,b.jar", "postgresql.jar"]
