"""The Java versions each PySpark runs on, the installed PySpark, the choice
of a Java for it (`mur java set`, JAVA_HOME, PATH, the highest), and the
choice file."""

import os
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


# --- selection ---------------------------------------------------------------------


@pytest.fixture
def caught():
    """Every warning given meanwhile, repeats included; not the ResourceWarning
    of another test's file that the garbage collector happens to close meanwhile."""
    with warnings.catch_warnings(record=True) as records:
        warnings.simplefilter("always")
        warnings.simplefilter("ignore", ResourceWarning)
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
