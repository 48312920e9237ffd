"""`mur jdbc` run as a user runs it, in a subprocess, against a Maven
repository served on 127.0.0.1 that holds Debian's PostgreSQL driver and a
set of hostile answers. Every run has its address space capped, so a JAR or
an answer that made it read without bound fails the run."""

import hashlib
import io
import os
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
import zipfile
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from real_deps import require
from ruk.compute.jdbc.drivers import KNOWN_DRIVERS

DRIVER = Path("/usr/share/java/postgresql.jar")
SQLITE = Path("/usr/share/java/sqlite-jdbc.jar")
PG_GROUP, PG_ARTIFACT, PG_VERSION = KNOWN_DRIVERS["postgresql"]
PG_FILE = f"{PG_ARTIFACT}-{PG_VERSION}.jar"
MEMORY_CAP = 384 << 20  # far below what the zip bombs below expand to
# The command line, run with its address space capped.
MUR = [sys.executable, "-c",
       "import resource, runpy, sys; resource.setrlimit(resource.RLIMIT_AS, (%d, %d)); "
       "sys.argv[0] = 'mur'; runpy.run_module('ruk.cli', run_name='__main__')" % (MEMORY_CAP, MEMORY_CAP)]


# --- JARs ------------------------------------------------------------------------------------------------


def jar(service=None, classes=()):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n")
        if service is not None:
            z.writestr("META-INF/services/java.sql.Driver", service)
        for name in classes:
            z.writestr(name.replace(".", "/") + ".class", b"\xca\xfe\xba\xbe")
    return buffer.getvalue()


def raw_zip(name, data, declared_size, crc=0, method=zipfile.ZIP_DEFLATED):
    """A one-entry zip holding `data` as stored, with the sizes and CRC it is told."""
    encoded = name.encode()
    local = struct.pack("<4s5H3L2H", b"PK\x03\x04", 20, 0, method, 0, 0, crc, len(data), declared_size,
                        len(encoded), 0) + encoded
    central = struct.pack("<4s6H3L5H2L", b"PK\x01\x02", 20, 20, 0, method, 0, 0, crc, len(data), declared_size,
                          len(encoded), 0, 0, 0, 0, 0, 0) + encoded
    end = struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, 1, 1, len(central), len(local) + len(data), 0)
    return local + data + central + end


def deflated_zeros(megabytes):
    """A raw deflate stream of `megabytes` MiB of zeros, about 1 KB per MiB."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = c.compress(bytes(1 << 20)) + c.flush(zlib.Z_FULL_FLUSH)
    return block * megabytes + zlib.compressobj(9, zlib.DEFLATED, -15).flush()


SERVICE = "META-INF/services/java.sql.Driver"
HOSTILE_JARS = {
    # Tells its real size: refused before reading.
    "bomb": raw_zip(SERVICE, deflated_zeros(1024), declared_size=1 << 30),
    # Tells a size within the limit: read up to it, then its CRC fails.
    "lying-bomb": raw_zip(SERVICE, deflated_zeros(1024), declared_size=64 * 1024),
    "corrupt": raw_zip(SERVICE, b"\xff" * 64, declared_size=30),
    "bogus": jar("org.bogus.Driver\n", ["org.bogus.Other"]),
    "notdriver": jar(),
}


# --- the repository ----------------------------------------------------------------------------------------


class Repository(BaseHTTPRequestHandler):
    """Files by path, and a few answers no good server gives."""

    def log_message(self, *args):
        pass

    def do_GET(self):
        answer = self.server.routes.get(self.path)
        if answer is None:
            self.send_error(404)
        elif isinstance(answer, bytes):
            self.send_response(200)
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)
        else:
            try:
                answer(self)
            except OSError:
                pass  # the client went away

    # The hostile answers; each stops when the client goes or the server shuts down.

    def drip(self):
        self.send_response(200)
        self.send_header("Content-Length", "100000")
        self.end_headers()
        while not self.server.stopping.wait(0.2):
            self.wfile.write(b"P")
            self.wfile.flush()

    def endless(self):
        self.send_response(200)
        self.end_headers()
        while not self.server.stopping.is_set():
            self.wfile.write(bytes(1 << 16))

    def huge_length(self):
        self.send_response(200)
        self.send_header("Content-Length", str(10 ** 12))
        self.end_headers()

    def bad_status_line(self):
        self.wfile.write(b"SPDY/9 maybe\r\n\r\n")

    def short_body(self):
        self.send_response(200)
        self.send_header("Content-Length", "100000")
        self.end_headers()
        self.wfile.write(b"PK" * 5)

    def cut_chunk(self):
        self.wfile.write(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n400\r\n" + b"PK" * 5)

    def long_header(self):
        self.send_response(200)
        self.send_header("X-Filler", "x" * 70000)
        self.end_headers()

    def redirect_endless(self):
        self.send_response(302)
        self.send_header("Location", f"/{PG_GROUP.replace('.', '/')}/{PG_ARTIFACT}/{PG_VERSION}/{PG_FILE}")
        self.end_headers()
        self.endless()


def maven_path(group, artifact, version):
    return f"/{group.replace('.', '/')}/{artifact}/{version}/{artifact}-{version}.jar"


@pytest.fixture(scope="module")
def repository(tmp_path_factory):
    """(http URL, file: URL) of the same Maven layout."""
    require([] if DRIVER.exists() and SQLITE.exists() else [f"Debian's JDBC drivers ({DRIVER}, {SQLITE})"])
    driver = DRIVER.read_bytes()
    routes = {}

    def publish(artifact, content, **sums):
        path = maven_path("test", artifact, "1") if artifact != PG_ARTIFACT else maven_path(PG_GROUP, PG_ARTIFACT,
                                                                                            PG_VERSION)
        routes[path] = content
        for algorithm, digest in sums.items():
            routes[f"{path}.{algorithm}"] = f"{digest}  {os.path.basename(path)}\n".encode()

    publish(PG_ARTIFACT, driver, sha256=hashlib.sha256(driver).hexdigest())
    publish("sha1only", driver, sha1=hashlib.sha1(driver).hexdigest())
    publish("badsum", driver, sha256="0" * 64, sha1=hashlib.sha1(driver).hexdigest())
    publish("nosum", driver)
    for name, content in HOSTILE_JARS.items():
        publish(name, content, sha256=hashlib.sha256(content).hexdigest())
    for name in ("drip", "endless", "huge_length", "bad_status_line", "short_body", "cut_chunk", "long_header"):
        publish(name, getattr(Repository, name), sha256="1" * 64)
    publish("redirect_endless", Repository.redirect_endless, sha256=hashlib.sha256(driver).hexdigest())

    file_root = tmp_path_factory.mktemp("maven")
    for path, content in routes.items():
        if isinstance(content, bytes):
            (file_root / path[1:]).parent.mkdir(parents=True, exist_ok=True)
            (file_root / path[1:]).write_bytes(content)

    server = ThreadingHTTPServer(("127.0.0.1", 0), Repository)
    server.routes, server.stopping = routes, threading.Event()
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}", file_root.as_uri()
    server.stopping.set()
    server.shutdown()
    server.server_close()
    thread.join(timeout=30)
    shutil.rmtree(file_root)


@pytest.fixture(autouse=True)
def _empty_tmp_path(tmp_path):
    """Projects hold copies of drivers: none is kept after its test."""
    yield
    shutil.rmtree(tmp_path, ignore_errors=True)


# --- running mur ---------------------------------------------------------------------------------------------


def mur(project, *args, **env):
    return subprocess.run([*MUR, "jdbc", *args], cwd=project, capture_output=True, text=True, timeout=120,
                          env={k: v for k, v in {**os.environ, **env}.items() if v is not None})


def folder_entries(project):
    folder = project / ".mur" / "jdbc_jars"
    return sorted(os.listdir(folder)) if folder.exists() else None


def assert_one_line_error(result, *words, warning=None):
    assert result.returncode == 1, result
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    if warning is not None:
        assert lines and lines[0].startswith("mur: warning: ") and warning in lines[0], result.stderr
        lines = lines[1:]
    assert len(lines) == 1 and lines[0].startswith("mur: "), result.stderr
    for word in words:
        assert word in lines[0]
    return lines[0]


def _closed_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# source, repository ("http", "file", "env" (http through the variable), "closed", "remote"), extra
# arguments, and the words of the error (None: added)
ADD_CASES = {
    "known name, sha256": ("postgresql", "http", (), None),
    "coordinate, sha1 only, from the environment": ("test:sha1only:1", "env", (), None),
    "file: repository": ("postgresql", "file", (), None),
    "redirect with an endless body": ("test:redirect_endless:1", "http", (), None),
    "bad checksum": ("test:badsum:1", "http", (), ("checksum error", "sha256 checksum", "does not match")),
    "missing checksum": ("test:nosum:1", "http", (), ("checksum error", "no checksum", ".sha256 or .sha1")),
    "404": ("test:absent:1", "http", (), ("HTTP 404", "absent-1.jar")),
    "absent from a file: repository": ("test:absent:1", "file", (), ("file: repository", "does not exist")),
    "not a driver": ("test:notdriver:1", "http", (), ("declares no JDBC driver", "java.sql.Driver")),
    "driver class not in the JAR": ("test:bogus:1", "http", (), ("not a JDBC driver", "names org.bogus.Driver",
                                                                  "not in the JAR")),
    "zip bomb": ("test:bomb:1", "http", (), ("not a JDBC driver", "1,073,741,824 bytes", "64 KB")),
    "zip bomb lying about its size": ("test:lying-bomb:1", "http", (), ("not a valid JAR", "CRC")),
    "corrupt deflate data": ("test:corrupt:1", "http", (), ("not a valid JAR", "corrupt compressed data")),
    "slow drip": ("test:drip:1", "http", ("--timeout", "1.5"), ("time limit", "1.5 s", "--timeout")),
    "endless body": ("test:endless:1", "http", ("--max-size", "2"), ("size limit", "2 MB", "--max-size")),
    "announced too large": ("test:huge_length:1", "http", (), ("size limit", "64 MB")),
    "bad status line": ("test:bad_status_line:1", "http", (), ("protocol error", "BadStatusLine")),
    "body shorter than announced": ("test:short_body:1", "http", (), ("network error", "broke off after 10 of")),
    "chunk cut short": ("test:cut_chunk:1", "http", (), ("protocol error", "IncompleteRead")),
    "header line too long": ("test:long_header:1", "http", (), ("protocol error", "LineTooLong")),
    "unreachable repository": ("postgresql", "closed", (), ("network error", "can't reach the repository")),
    "unknown name": ("postgres", "http", (), ("postgresql, mysql, mariadb, sqlite, sqlserver",)),
    # Plain http:// to another host: warned about, then refused one way or another.
    "plain http elsewhere": ("postgresql", "remote", ("--timeout", "1.5"), ("192.0.2.1",)),
}


@pytest.mark.parametrize("case", list(ADD_CASES))
def test_add_from_a_repository(repository, tmp_path, case):
    source, where, extra, error = ADD_CASES[case]
    url = {"http": repository[0], "env": repository[0], "file": repository[1],
           "closed": f"http://127.0.0.1:{_closed_port()}", "remote": "http://192.0.2.1:9"}[where]
    args = ["add", source, *extra] + (["--repository", url] if where != "env" else [])
    result = mur(tmp_path, *args, MUR_MAVEN_REPOSITORY=url if where == "env" else None)
    if error is not None:
        assert_one_line_error(result, *error, warning="plain http://" if where == "remote" else None)
        # Refused before or after the download: the folder is as it was, that is absent.
        assert folder_entries(tmp_path) is None
        return
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    name = f"{source.split(':')[1]}-1.jar" if ":" in source else PG_FILE
    assert f"Added {name} (org.postgresql.Driver)." in result.stdout
    assert folder_entries(tmp_path) == [name]
    assert (tmp_path / ".mur" / "jdbc_jars" / name).read_bytes() == DRIVER.read_bytes()


def test_add_list_remove(repository, tmp_path):
    missing = mur(tmp_path, "list")
    assert_one_line_error(missing, "no .mur project folder", str(tmp_path / ".mur" / "jdbc_jars"), "mur jdbc add")
    assert_one_line_error(mur(tmp_path, "remove", "x.jar"), "no .mur project folder")
    (tmp_path / "README.md").write_text("# hello\n")
    assert_one_line_error(mur(tmp_path, "add", "README.md"), "README.md exists, but it is not a JAR")
    assert folder_entries(tmp_path) is None

    added = mur(tmp_path, "add", str(DRIVER))
    assert added.returncode == 0, added.stderr
    assert added.stdout.splitlines() == [f"Created {tmp_path / '.mur' / 'jdbc_jars'}.",
                                         "Added postgresql.jar (org.postgresql.Driver)."]
    # The same driver again, under its own name, Debian's other names, or its known name.
    again = mur(tmp_path, "add", str(DRIVER))
    assert again.returncode == 0 and "postgresql.jar is already present" in again.stdout
    alias = mur(tmp_path, "add", str(DRIVER.with_name("postgresql-42.5.5.jar")))
    assert alias.returncode == 0, alias.stderr
    assert "already present as postgresql.jar (same content" in alias.stdout
    known = mur(tmp_path, "add", "postgresql", "--repository", repository[0])
    assert known.returncode == 0 and "org.postgresql.Driver is already provided by postgresql.jar" in known.stdout
    # Another JAR with the same driver class is refused, unless forced.
    rival = tmp_path / "pg-fork.jar"
    rival.write_bytes(jar("org.postgresql.Driver\n", ["org.postgresql.Driver"]))
    assert_one_line_error(mur(tmp_path, "add", str(rival)), "provides org.postgresql.Driver",
                          "postgresql.jar", "--force")
    assert folder_entries(tmp_path) == ["postgresql.jar"]
    forced = mur(tmp_path, "add", str(DRIVER.with_name("postgresql-jdbc4.jar")), "--force")
    assert forced.returncode == 0 and "Added postgresql-jdbc4.jar" in forced.stdout
    assert mur(tmp_path, "add", str(SQLITE)).returncode == 0

    other = tmp_path / "elsewhere" / "postgresql.jar"
    other.parent.mkdir()
    other.write_bytes(jar("org.other.Driver\n", ["org.other.Driver"]))
    assert_one_line_error(mur(tmp_path, "add", str(other)), "another file named postgresql.jar", "--force")
    (tmp_path / "notes.jar").write_text("not a zip")
    assert_one_line_error(mur(tmp_path, "add", str(tmp_path / "notes.jar")), "is not a JAR")

    jars = tmp_path / ".mur" / "jdbc_jars"
    os.mkfifo(jars / "pipe.jar")
    (jars / "a,b.jar").write_bytes(b"PK")
    for name in ("bogus", "bomb", "lying-bomb", "corrupt"):
        (jars / f"{name}.jar").write_bytes(HOSTILE_JARS[name])
    pipe_source = tmp_path / "pipe.jar"
    pipe_source.write_bytes(b"")
    assert_one_line_error(mur(tmp_path, "add", str(pipe_source)), "is not a regular file")
    listed = mur(tmp_path, "list")  # bounded: the bombs are read no further than 64 KB
    assert listed.returncode == 0, listed.stderr
    service = "META-INF/services/java.sql.Driver"
    lines = listed.stdout.splitlines()
    assert lines[:3] == [
        f"bogus.jar  (it is not a JDBC driver ({service} names org.bogus.Driver, which is not in the JAR))",
        f"bomb.jar  (it is not a JDBC driver ({service} claims 1,073,741,824 bytes, more than 64 KB))",
        "corrupt.jar  (it is not a valid JAR (corrupt compressed data: Error -3 while decompressing data: "
        "invalid block type))",
    ]
    assert lines[3].startswith("lying-bomb.jar  (it is not a valid JAR (Bad CRC-32")
    assert lines[4:] == [
        "postgresql-jdbc4.jar  org.postgresql.Driver",
        "postgresql.jar  org.postgresql.Driver (also in postgresql-jdbc4.jar)",
        "sqlite-jdbc.jar  org.sqlite.JDBC",
        "skipped: a,b.jar (its name contains ',')",
        "skipped: pipe.jar (a FIFO)",
    ]

    # The known name takes every JAR of its driver class, whatever its name.
    removed = mur(tmp_path, "remove", "postgresql")
    assert removed.returncode == 0 and "Removed postgresql-jdbc4.jar, postgresql.jar." in removed.stdout
    assert mur(tmp_path, "remove", "pipe.jar").returncode == 0
    assert_one_line_error(mur(tmp_path, "remove", "mysql"), "no JAR named 'mysql'", "sqlite-jdbc.jar")
    # A download's own file name holding no driver (cut short, say) is fetched again.
    (jars / PG_FILE).write_bytes(DRIVER.read_bytes()[:1000])
    again = mur(tmp_path, "add", "postgresql", "--repository", repository[0])
    assert again.returncode == 0 and f"Added {PG_FILE} (org.postgresql.Driver)." in again.stdout, again.stderr
    assert (jars / PG_FILE).read_bytes() == DRIVER.read_bytes()
    assert folder_entries(tmp_path) == ["a,b.jar", "bogus.jar", "bomb.jar", "corrupt.jar", "lying-bomb.jar",
                                        PG_FILE, "sqlite-jdbc.jar"]


def _wait_for(condition, what, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.02)


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_a_signal_during_a_download_leaves_nothing(repository, tmp_path, signum):
    folder = tmp_path / ".mur" / "jdbc_jars"
    process = subprocess.Popen([*MUR, "jdbc", "add", "test:drip:1", "--repository", repository[0]], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        _wait_for(lambda: folder.exists() and any(n.endswith(".part") for n in os.listdir(folder)),
                  "the partial download")
        process.send_signal(signum)
        _, err = process.communicate(timeout=30)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == -signum, err  # cleaned up, then ended by the signal as without us
    assert "Traceback" not in err
    assert folder_entries(tmp_path) is None


@pytest.mark.parametrize("command", [["list"], ["remove", "absent.jar"], ["add", str(SQLITE)]])
def test_partial_files_of_dead_processes_are_cleared(tmp_path, command):
    gone = subprocess.Popen(["true"])
    gone.wait()
    folder = tmp_path / ".mur" / "jdbc_jars"
    folder.mkdir(parents=True)
    dead, alive = f".{PG_FILE}.{gone.pid}.part", f".sqlite-jdbc.jar.{os.getpid()}.part"
    for name in (dead, alive, ".notes.part"):
        (folder / name).write_bytes(b"PK")
    mur(tmp_path, *command)
    assert dead not in os.listdir(folder)
    assert {alive, ".notes.part"} <= set(os.listdir(folder))


@pytest.mark.parametrize("source", ["local copy", "download"])
def test_full_disk(repository, tmp_path, source):
    if os.geteuid() != 0:
        pytest.skip("mounting a small tmpfs needs root")
    folder = tmp_path / ".mur" / "jdbc_jars"
    folder.mkdir(parents=True)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", str(folder)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"can't mount a tmpfs: {mounted.stderr.strip()}")
    try:
        args = [str(DRIVER)] if source == "local copy" else ["postgresql", "--repository", repository[0]]
        line = assert_one_line_error(mur(tmp_path, "add", *args), "disk full", "No space left on device")
        assert "can't read" not in line
        assert os.listdir(folder) == []
    finally:
        subprocess.run(["umount", str(folder)], check=True)
