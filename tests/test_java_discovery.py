"""Java discovery: the installations found in JAVA_HOME, on PATH and in the
install folders, their versions, and the per-process cache of that answer."""

import os
import shutil

import pytest

from ruk.compute import java_compat as jc
from ruk.compute.java_compat import JavaInstallation


# --- finding installations ---------------------------------------------------------


def _summary(installations):
    return [(os.path.basename(i.path.rstrip("/")), i.major, i.version, i.source) for i in installations]


@pytest.mark.parametrize(
    "kwargs, major, version",
    [
        ({"version": "17.0.15"}, 17, "17.0.15"),
        ({"version": "1.8.0_442"}, 8, "1.8.0_442"),
        # the release file wins over what the binary says
        ({"version": "21.0.4", "printed_version": "11.0.1"}, 21, "21.0.4"),
        # no release file: the version comes from `java -version`
        ({"version": "21.0.2", "release": False}, 21, "21.0.2"),
        ({"version": "1.8.0_392", "release": False}, 8, "1.8.0_392"),
    ],
)
def test_version_of_a_home(isolated_java_env, make_fake_java_home, kwargs, major, version):
    make_fake_java_home(isolated_java_env.jvm_root / "jdk", **kwargs)
    assert _summary(jc.find_all_java_installations()) == [("jdk", major, version, "/usr/lib/jvm")]


def test_release_without_java_version_falls_back_to_the_binary(isolated_java_env, make_fake_java_home):
    home = make_fake_java_home(isolated_java_env.jvm_root / "jdk", "25.0.1", release=False)
    (home / "release").write_text('IMPLEMENTOR="Fake"\n')
    assert _summary(jc.find_all_java_installations()) == [("jdk", 25, "25.0.1", "/usr/lib/jvm")]


def test_rescans_do_not_run_a_known_java_binary_again(isolated_java_env, make_fake_java_home, monkeypatch, tmp_path):
    home = make_fake_java_home(isolated_java_env.jvm_root / "jdk", release=False)
    runs = tmp_path / "runs.log"
    java = home / "bin" / "java"
    java.write_text(f"#!/bin/sh\necho run >> '{runs}'\necho 'openjdk version \"21.0.2\"' >&2\n")
    assert [i.version for i in jc.find_all_java_installations()] == ["21.0.2"]
    monkeypatch.setenv("JAVA_HOME", str(tmp_path / "elsewhere"))
    assert [i.version for i in jc.find_all_java_installations()] == ["21.0.2"]
    assert runs.read_text() == "run\n"
    # a replaced binary is asked again
    java.write_text(f"#!/bin/sh\necho run >> '{runs}'\necho 'openjdk version \"21.0.10\"' >&2\n")
    monkeypatch.setenv("JAVA_HOME", str(tmp_path / "elsewhere-again"))
    assert [i.version for i in jc.find_all_java_installations()] == ["21.0.10"]
    assert runs.read_text() == "run\nrun\n"


def test_homes_without_a_usable_java_are_skipped(isolated_java_env, make_fake_java_home):
    root = isolated_java_env.jvm_root
    make_fake_java_home(root / "not-executable", executable=False)
    make_fake_java_home(root / "unreadable-version", "garbage", release=False)
    (root / "sources-only").mkdir()
    (root / "sources-only" / "src.zip").write_text("")
    (root / "a-file").write_text("")
    make_fake_java_home(root / ".hidden")
    make_fake_java_home(root / "good", "21.0.3")
    assert _summary(jc.find_all_java_installations()) == [("good", 21, "21.0.3", "/usr/lib/jvm")]


def test_order_is_java_home_then_path_then_roots_by_name(isolated_java_env, make_fake_java_home, monkeypatch, tmp_path):
    env = isolated_java_env
    for name in ("zulu-11", "b-21", "a-17"):
        make_fake_java_home(env.jvm_root / name, {"zulu-11": "11.0.2", "b-21": "21.0.1", "a-17": "17.0.3"}[name])
    java_home = make_fake_java_home(tmp_path / "opt" / "jdk25", "25.0.1")
    on_path = make_fake_java_home(tmp_path / "other" / "jdk8", "1.8.0_400")
    monkeypatch.setenv("JAVA_HOME", str(java_home))
    monkeypatch.setenv("PATH", os.pathsep.join([str(env.path_dir), str(on_path / "bin")]))
    assert _summary(jc.find_all_java_installations()) == [
        ("jdk25", 25, "25.0.1", "JAVA_HOME"),
        ("jdk8", 8, "1.8.0_400", "PATH"),
        ("a-17", 17, "17.0.3", "/usr/lib/jvm"),
        ("b-21", 21, "21.0.1", "/usr/lib/jvm"),
        ("zulu-11", 11, "11.0.2", "/usr/lib/jvm"),
    ]


def test_symlinked_homes_are_listed_once(isolated_java_env, make_fake_java_home, monkeypatch):
    root = isolated_java_env.jvm_root
    real = make_fake_java_home(root / "java-17-openjdk")
    (root / "java-1.17.0-openjdk").symlink_to(real)
    (root / "default-java").symlink_to(real)
    found = jc.find_all_java_installations()
    assert [i.path for i in found] == [str(real)]

    # JAVA_HOME through a link: kept as the user wrote it, the root's copy dropped
    jc.clear_cache()
    monkeypatch.setenv("JAVA_HOME", str(root / "default-java"))
    found = jc.find_all_java_installations()
    assert [(i.path, i.source) for i in found] == [(str(root / "default-java"), "JAVA_HOME")]


def test_java_on_path_through_a_symlink_names_the_home(isolated_java_env, make_fake_java_home, tmp_path):
    home = make_fake_java_home(tmp_path / "vendor" / "jdk-21", "21.0.5")
    (isolated_java_env.path_dir / "java").symlink_to(home / "bin" / "java")
    (found,) = jc.find_all_java_installations()
    assert found == JavaInstallation(str(home), 21, "21.0.5", "PATH")


def test_java_on_path_inside_a_jdk8_jre_names_the_jdk(isolated_java_env, make_fake_java_home, tmp_path):
    jdk = make_fake_java_home(tmp_path / "jdk8", "1.8.0_400")
    make_fake_java_home(jdk / "jre", "1.8.0_400", release=False)
    (isolated_java_env.path_dir / "java").symlink_to(jdk / "jre" / "bin" / "java")
    assert [(i.path, i.major) for i in jc.find_all_java_installations()] == [(str(jdk), 8)]


def test_first_java_on_path_counts(isolated_java_env, make_fake_java_home, monkeypatch, tmp_path):
    first = make_fake_java_home(tmp_path / "first", "17.0.1")
    second = make_fake_java_home(tmp_path / "second", "21.0.1")
    monkeypatch.setenv("PATH", os.pathsep.join(["", str(first / "bin"), str(second / "bin")]))
    assert _summary(jc.find_all_java_installations()) == [("first", 17, "17.0.1", "PATH")]


def test_invalid_java_home_is_ignored(isolated_java_env, make_fake_java_home, monkeypatch, tmp_path):
    make_fake_java_home(isolated_java_env.jvm_root / "jdk", "21.0.1")
    monkeypatch.setenv("JAVA_HOME", str(tmp_path / "nowhere"))
    assert _summary(jc.find_all_java_installations()) == [("jdk", 21, "21.0.1", "/usr/lib/jvm")]


def test_plain_string_roots_are_accepted(isolated_java_env, make_fake_java_home, monkeypatch, tmp_path):
    root = tmp_path / "jdks"
    make_fake_java_home(root / "jdk", "21.0.1")
    monkeypatch.setattr(jc, "JVM_ROOTS", (str(root),))
    assert _summary(jc.find_all_java_installations()) == [("jdk", 21, "21.0.1", str(root))]


def test_macos_style_root(isolated_java_env, make_fake_java_home, monkeypatch, tmp_path):
    root = tmp_path / "JavaVirtualMachines"
    home = make_fake_java_home(root / "temurin-21.jdk" / "Contents" / "Home", "21.0.1")
    monkeypatch.setattr(jc, "JVM_ROOTS", ((str(root), "Contents/Home", "macOS"),))
    assert [(i.path, i.source) for i in jc.find_all_java_installations()] == [(str(home), "macOS")]


# --- the installations cache -------------------------------------------------------


def test_repeat_call_answers_from_the_cache(isolated_java_env, make_fake_java_home):
    home = make_fake_java_home(isolated_java_env.jvm_root / "jdk")
    first = jc.find_all_java_installations()
    shutil.rmtree(home)
    assert jc.find_all_java_installations() is first
    jc.clear_cache()
    assert jc.find_all_java_installations() == ()


@pytest.mark.parametrize("variable", ["JAVA_HOME", "PATH"])
def test_cache_is_dropped_when_the_environment_changes(isolated_java_env, make_fake_java_home, monkeypatch, tmp_path, variable):
    make_fake_java_home(isolated_java_env.jvm_root / "jdk17")
    first = jc.find_all_java_installations()
    make_fake_java_home(isolated_java_env.jvm_root / "jdk21", "21.0.1")
    assert jc.find_all_java_installations() is first
    other = tmp_path / "elsewhere"
    other.mkdir()
    monkeypatch.setenv(variable, str(other))
    assert [i.major for i in jc.find_all_java_installations()] == [17, 21]


def test_cache_is_dropped_when_the_roots_change(isolated_java_env, make_fake_java_home, monkeypatch, tmp_path):
    make_fake_java_home(isolated_java_env.jvm_root / "jdk17")
    other_root = tmp_path / "other-root"
    make_fake_java_home(other_root / "jdk21", "21.0.1")
    assert [i.major for i in jc.find_all_java_installations()] == [17]
    monkeypatch.setattr(jc, "JVM_ROOTS", (str(other_root),))
    assert [i.major for i in jc.find_all_java_installations()] == [21]


def test_java_bin_put_before_path_keeps_the_cache(isolated_java_env, make_fake_java_home, monkeypatch, tmp_path):
    # What the strategy does on every request: JAVA_HOME set, its bin put first on PATH.
    make_fake_java_home(isolated_java_env.jvm_root / "jdk17")
    chosen = make_fake_java_home(tmp_path / "jdk21", "21.0.1")
    monkeypatch.setenv("JAVA_HOME", str(chosen))
    monkeypatch.setenv("PATH", str(chosen / "bin") + os.pathsep + os.environ["PATH"])
    first = jc.find_all_java_installations()
    assert [(i.major, i.source) for i in first] == [(21, "JAVA_HOME"), (17, "/usr/lib/jvm")]
    make_fake_java_home(isolated_java_env.jvm_root / "jdk25", "25.0.1")
    for _ in range(3):
        monkeypatch.setenv("PATH", str(chosen / "bin") + os.pathsep + os.environ["PATH"])
        assert jc.find_all_java_installations() is first

    # a different java first on PATH is noticed
    (isolated_java_env.path_dir / "java").symlink_to(isolated_java_env.jvm_root / "jdk25" / "bin" / "java")
    monkeypatch.setenv("PATH", str(isolated_java_env.path_dir) + os.pathsep + os.environ["PATH"])
    assert [(i.major, i.source) for i in jc.find_all_java_installations()] == [
        (21, "JAVA_HOME"),
        (25, "PATH"),
        (17, "/usr/lib/jvm"),
    ]
