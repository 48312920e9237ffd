import os
import shutil
import warnings
from importlib import metadata

import pytest

from fake_spark import pyspark_dist
from ruk.compute import java_compat as jc
from ruk.compute.java_compat import JavaChoice, JavaInstallation


# --- version rules ----------------------------------------------------------------


@pytest.mark.parametrize(
    "text, major",
    [
        ("17.0.15", 17),
        ("1.8.0_442", 8),
        ("1.8", 8),
        ("21", 21),
        ("25-ea", 25),
        ("11.0.2+9", 11),
        ("  21.0.1", 21),
        ("unknown", None),
        ("", None),
    ],
)
def test_parse_java_major(text, major):
    assert jc.parse_java_major(text) == major


@pytest.mark.parametrize(
    "version, majors",
    [
        ("2.4.8", (8,)),
        ("3.3.0", (8, 11, 17)),
        ("3.5.1", (8, 11, 17)),
        ("4.0.0", (17, 21)),
        ("4.1.0rc1", (17, 21)),
        ("4.2.0", (17, 21, 25)),
        ("4.3.0.dev1", (17, 21, 25)),
        ("5.0.0", (17, 21, 25)),
        ("1!4.0.1", (17, 21)),
        ("nightly", ()),
    ],
)
def test_java_majors_for_pyspark(version, majors):
    assert jc.java_majors_for_pyspark(version) == majors


# --- get_pyspark_info ------------------------------------------------------------


@pytest.fixture
def fresh_java_compat():
    jc.clear_cache()
    yield
    jc.clear_cache()


def test_pyspark_info_comes_from_the_first_distribution_on_the_path(tmp_path, monkeypatch, fresh_java_compat):
    pyspark_dist(tmp_path, "3.5.1")
    monkeypatch.syspath_prepend(str(tmp_path))
    info = jc.get_pyspark_info()
    assert info == jc.PySparkInfo("3.5.1", "3.5", (8, 11, 17))


def test_pyspark_info_is_kept_until_the_cache_is_cleared(tmp_path, monkeypatch, fresh_java_compat):
    first_site, second_site = tmp_path / "a", tmp_path / "b"
    pyspark_dist(first_site, "4.0.1")
    pyspark_dist(second_site, "4.2.0")
    monkeypatch.syspath_prepend(str(first_site))
    first = jc.get_pyspark_info()
    monkeypatch.syspath_prepend(str(second_site))
    assert jc.get_pyspark_info() is first
    jc.clear_cache()
    assert jc.get_pyspark_info() == jc.PySparkInfo("4.2.0", "4.2", (17, 21, 25))


def test_pyspark_info_is_none_without_pyspark(monkeypatch, fresh_java_compat):
    def missing(name):
        raise metadata.PackageNotFoundError(name)

    monkeypatch.setattr(metadata, "version", missing)
    assert jc.get_pyspark_info() is None


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


# --- selection ---------------------------------------------------------------------


@pytest.fixture
def caught():
    """Every warning given meanwhile, repeats included."""
    with warnings.catch_warnings(record=True) as records:
        warnings.simplefilter("always")
        yield records


J8 = JavaInstallation("/jvm/8", 8, "1.8.0_400", "/usr/lib/jvm")
J11_HOME = JavaInstallation("/opt/11", 11, "11.0.2", "JAVA_HOME")
J17_HOME = JavaInstallation("/opt/17", 17, "17.0.2", "JAVA_HOME")
J17 = JavaInstallation("/jvm/17", 17, "17.0.9", "/usr/lib/jvm")
J17_PATH = JavaInstallation("/path/17", 17, "17.0.1", "PATH")
J21 = JavaInstallation("/jvm/21", 21, "21.0.1", "/usr/lib/jvm")
J25 = JavaInstallation("/jvm/25", 25, "25.0.1", "/usr/lib/jvm")


@pytest.mark.parametrize(
    "installations, supported, expected",
    [
        ((J17_HOME, J21, J25), (17, 21, 25), J17_HOME),
        ((J21, J25, J17_HOME), (17, 21, 25), J17_HOME),
        ((J11_HOME, J17, J21), (17, 21), J21),
        ((J8, J17, J21), (8, 11, 17), J17),
        ((J17_PATH, J17), (17,), J17_PATH),
        # JAVA_HOME, then the java on PATH, then the highest
        ((J25, J17_PATH, J21), (17, 21, 25), J17_PATH),
        ((J17_PATH, J17_HOME, J25), (17, 21, 25), J17_HOME),
        ((J11_HOME, J17_PATH, J25), (17, 21, 25), J17_PATH),
        ((J8, J11_HOME), (17, 21), None),
        ((), (17, 21), None),
        ((J17, J21), (), None),
        ((J17, J21), ("17",), J17),
        ((J8, J21), ["8", "11", "17"], J8),
        ((J8, J17), ("1.8",), J8),
    ],
)
def test_select_best_java(isolated_java_env, caught, installations, supported, expected):
    assert jc.select_best_java(installations, supported) is expected


def test_select_rereads_a_changed_list(isolated_java_env):
    installations = [J17, J21]
    assert jc.select_best_java(installations, (17, 21)) is J21
    installations.remove(J21)
    assert jc.select_best_java(installations, (17, 21)) is J17


@pytest.mark.parametrize(
    "choice, installations, supported, expected, skipped",
    [
        (JavaChoice(major=17), (J21, J17), (17, 21), J17, None),
        (JavaChoice(major=17), (J17, J21, J17_HOME), (17, 21), J17_HOME, None),
        (JavaChoice(major=17), (J21, J17_PATH, J17), (17, 21), J17_PATH, None),
        # chosen major not supported, or not installed: the usual rules
        (JavaChoice(major=11), (J11_HOME, J17, J21), (17, 21), J21, "Java 11 is not supported"),
        (JavaChoice(major=25), (J17_HOME, J21), (17, 21, 25), J17_HOME, "no Java 25 installation found"),
    ],
)
def test_recorded_major_is_preferred(isolated_java_env, caught, choice, installations, supported, expected, skipped):
    jc.save_java_choice(choice)
    assert jc.select_best_java(installations, supported) is expected
    reasons = [str(w.message).split(": ")[1] for w in caught if "mur java set" in str(w.message)]
    assert [r.startswith(skipped) for r in reasons] == ([True] if skipped else [])


def test_recorded_home_is_preferred_even_when_not_discovered(isolated_java_env, make_fake_java_home, tmp_path):
    home = make_fake_java_home(tmp_path / "custom" / "jdk", "21.0.7")
    jc.save_java_choice(JavaChoice(home=str(home)))
    assert jc.select_best_java((J17_HOME, J25), (17, 21, 25)) == JavaInstallation(str(home), 21, "21.0.7", "user choice")


@pytest.mark.parametrize("usable", [False, True])
def test_unsupported_or_missing_recorded_home_is_ignored(isolated_java_env, make_fake_java_home, tmp_path, caught, usable):
    home = tmp_path / "custom" / "jdk"
    if usable:
        make_fake_java_home(home, "11.0.7")
    jc.save_java_choice(JavaChoice(home=str(home)))
    assert jc.select_best_java((J17, J21), (17, 21)) is J21
    assert [str(w.message).split(":")[0] for w in caught] == [f"Skipping the Java chosen with 'mur java set' (the Java home {home})"]


def test_recorded_choice_is_read_once_per_home_directory(isolated_java_env, monkeypatch, tmp_path):
    jc.save_java_choice(JavaChoice(major=17))
    assert jc.select_best_java((J17, J21), (17, 21)) is J17
    # a later `mur java set` applies to the next process
    jc.save_java_choice(JavaChoice(major=21))
    assert jc.select_best_java((J17, J21), (17, 21)) is J17
    # ... or to another home directory
    other_home = tmp_path / "other-home"
    other_home.mkdir()
    monkeypatch.setenv("HOME", str(other_home))
    assert jc.select_best_java((J17, J21, J17_HOME), (17, 21)) is J17_HOME
    monkeypatch.setenv("HOME", str(isolated_java_env.home))
    jc.clear_cache()
    assert jc.select_best_java((J17, J21), (17, 21)) is J21


@pytest.fixture
def machine_javas(isolated_java_env, make_fake_java_home, tmp_path):
    """Java 21 and 25 in the scan root, 11 and 17 elsewhere, and a path that is no Java home."""
    env = isolated_java_env
    homes = {"jdk21": make_fake_java_home(env.jvm_root / "jdk-21", "21.0.1"),
             "jdk25": make_fake_java_home(env.jvm_root / "jdk-25", "25.0.1"),
             "jdk11": make_fake_java_home(tmp_path / "opt" / "jdk-11", "11.0.2"),
             "jdk17": make_fake_java_home(tmp_path / "opt" / "jdk-17", "17.0.2"),
             "missing": tmp_path / "nonexistent"}
    return {name: str(home) for name, home in homes.items()}


NOT_A_HOME = "not a Java home (no executable bin/java reporting a version)"
NO_11 = "Java 11 is not supported by the installed PySpark (it runs on Java 17, 21, 25)"
CHOSEN = "the Java chosen with 'mur java set'"


@pytest.mark.parametrize(
    "java_home, on_path, choice, expected, skipped",
    [
        (None, "jdk17", None, "jdk17", []),  # the java on PATH, though 25 is higher
        ("jdk21", "jdk17", None, "jdk21", []),
        ("missing", "jdk17", None, "jdk17", [f"JAVA_HOME ({{missing}}): {NOT_A_HOME}"]),
        ("jdk11", "jdk17", None, "jdk17", [f"JAVA_HOME ({{jdk11}}): {NO_11}"]),
        (None, "jdk11", None, "jdk25", []),  # an unsupported java on PATH is passed over quietly
        ("jdk25", "jdk17", JavaChoice(major=21), "jdk21", []),
        (None, "jdk17", JavaChoice(home="{jdk25}"), "jdk25", []),
        (None, "jdk17", JavaChoice(home="{missing}"), "jdk17", [f"{CHOSEN} (the Java home {{missing}}): {NOT_A_HOME}"]),
        ("jdk21", "jdk17", JavaChoice(major=11), "jdk21", [f"{CHOSEN} (Java 11): {NO_11}"]),
        ("jdk11", "jdk11", JavaChoice(home="{jdk11}"), "jdk25", [f"{CHOSEN} (the Java home {{jdk11}}): {NO_11}", f"JAVA_HOME ({{jdk11}}): {NO_11}"]),
    ],
)
def test_selection_order_and_warnings(machine_javas, monkeypatch, caught, java_home, on_path, choice, expected, skipped):
    homes = machine_javas
    if java_home is not None:
        monkeypatch.setenv("JAVA_HOME", homes[java_home])
    monkeypatch.setenv("PATH", os.path.join(homes[on_path], "bin"))
    if choice is not None:
        jc.save_java_choice(JavaChoice(home=choice.home.format(**homes)) if choice.home else choice)
    best = jc.select_best_java(jc.find_all_java_installations(), (17, 21, 25))
    assert best.path == homes[expected]
    assert [w.category for w in caught] == [RuntimeWarning] * len(skipped)
    for warning, text in zip(caught, skipped):
        message = str(warning.message)
        assert message.startswith("Skipping " + text.format(**homes)), message
        assert message.endswith(f"; using Java {best.major} at {best.path} instead."), message


def test_a_skipped_setting_warns_once_per_process(machine_javas, monkeypatch, caught):
    """The strategy selects on every request, and its own export of the chosen
    Java changes JAVA_HOME and PATH, so discovery runs again after the first."""
    import ruk.compute.strategies.local as local

    monkeypatch.setattr(jc, "get_pyspark_info", lambda: jc.PySparkInfo("4.2.0", "4.2", (17, 21, 25)))
    monkeypatch.setenv("JAVA_HOME", machine_javas["missing"])
    monkeypatch.setenv("PATH", os.path.join(machine_javas["jdk17"], "bin"))
    jc.save_java_choice(JavaChoice(home=machine_javas["missing"]))
    for _ in range(3):
        local._ensure_java_available()
        assert os.environ["JAVA_HOME"] == machine_javas["jdk17"]
    assert sorted(str(w.message).split(":")[0] for w in caught) == [
        f"Skipping JAVA_HOME ({machine_javas['missing']})", f"Skipping {CHOSEN} (the Java home {machine_javas['missing']})"]

    # as errors (-W error) they stay errors on every call
    jc.clear_cache()
    monkeypatch.setenv("JAVA_HOME", machine_javas["missing"])
    warnings.simplefilter("error")
    for _ in range(2):
        with pytest.raises(RuntimeWarning, match="Skipping"):
            local._ensure_java_available()


# --- the choice file ------------------------------------------------------------------


@pytest.mark.parametrize("choice", [JavaChoice(major=21), JavaChoice(home="/opt/jdk 21")])
def test_choice_round_trip_leaves_only_the_file(isolated_java_env, choice):
    path = jc.save_java_choice(choice)
    assert path == str(isolated_java_env.home / ".mur" / "java.json")
    assert jc.read_java_choice() == choice
    assert os.listdir(isolated_java_env.home / ".mur") == ["java.json"]
    assert jc.clear_java_choice() is True
    assert jc.read_java_choice() is None
    assert jc.clear_java_choice() is False


@pytest.mark.parametrize("text", ["not json", "[17]", '{"major": "17"}', '{"java_home": ""}', "{}", '{"major": true}'])
def test_unusable_choice_file_means_no_choice(isolated_java_env, text):
    target = isolated_java_env.home / ".mur" / "java.json"
    target.parent.mkdir()
    target.write_text(text)
    assert jc.read_java_choice() is None
    assert jc.select_best_java((J17, J21), (17, 21)) is J21


@pytest.mark.parametrize("choice", [JavaChoice(), JavaChoice(home="/x", major=17)])
def test_choice_must_name_exactly_one_thing(isolated_java_env, choice):
    with pytest.raises(ValueError):
        jc.save_java_choice(choice)
    assert not (isolated_java_env.home / ".mur" / "java.json").exists()
