import os

import pytest

from ruk.compute.jar_provisioning import LocalJARProvisioning, find_project_jars


def _jar_dir(project):
    d = project / ".mur" / "jdbc_jars"
    d.mkdir(parents=True)
    return d


@pytest.mark.parametrize("make_dir", [False, True])
def test_no_jars_gives_empty_config(tmp_path, make_dir):
    if make_dir:
        _jar_dir(tmp_path)
    assert LocalJARProvisioning(project_dir=str(tmp_path)).get_spark_config({"postgres"}) == {}
    assert (tmp_path / ".mur").exists() is make_dir


def test_only_visible_lower_case_jars_directly_in_the_folder(tmp_path):
    d = _jar_dir(tmp_path)
    for name in ("b.jar", "A.jar", "c.JAR", ".hidden.jar", "notes.txt", "a.jar.bak"):
        (d / name).write_bytes(b"PK")
    (d / "sub").mkdir()
    (d / "sub" / "nested.jar").write_bytes(b"PK")
    assert find_project_jars(str(tmp_path)) == [str(d / "A.jar"), str(d / "b.jar")]


@pytest.mark.parametrize("separator", [",", ":"])
def test_a_separator_in_the_project_path_skips_every_jar(tmp_path, separator):
    project = tmp_path / f"my{separator}project"
    (_jar_dir(project) / "driver.jar").write_bytes(b"PK")
    with pytest.warns(RuntimeWarning, match=r"driver\.jar \(the folder's path contains"):
        assert LocalJARProvisioning(str(project)).get_spark_config(set()) == {}


def test_config_lists_the_jars_for_spark(tmp_path):
    d = _jar_dir(tmp_path)
    for name in ("postgresql.jar", "mysql.jar"):
        (d / name).write_bytes(b"PK")
    mysql, postgres = str(d / "mysql.jar"), str(d / "postgresql.jar")
    assert LocalJARProvisioning(str(tmp_path)).get_spark_config(set()) == {
        "spark.jars": f"{mysql},{postgres}",
        "spark.driver.extraClassPath": f"{mysql}:{postgres}",
        "spark.executor.extraClassPath": f"{mysql}:{postgres}",
    }


@pytest.mark.parametrize(
    "folder, decoy_folder",
    [("proj[1]", "proj1"), ("a*b", "a-long-b"), ("what?", "whats"), ("[x]*?", "x12")],
)
def test_glob_characters_in_the_project_path_are_literal(tmp_path, folder, decoy_folder):
    project = tmp_path / folder
    d = _jar_dir(project)
    (d / "driver.jar").write_bytes(b"PK")
    # a sibling that the path, read as a pattern, would match too
    decoy = _jar_dir(tmp_path / decoy_folder)
    (decoy / "decoy.jar").write_bytes(b"PK")
    assert find_project_jars(str(project)) == [os.path.join(str(d), "driver.jar")]
    assert LocalJARProvisioning(str(project)).get_spark_config(set())["spark.jars"] == str(d / "driver.jar")
