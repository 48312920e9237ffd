import os

import pytest

from ruk.compute.jar_provisioning import LocalJARProvisioning, find_project_jars
from fake_spark import jar_dir


@pytest.mark.parametrize("make_dir", [False, True])
def test_no_jars_gives_empty_config(tmp_path, make_dir):
    if make_dir:
        jar_dir(tmp_path)
    assert LocalJARProvisioning(project_dir=str(tmp_path)).get_spark_config({"postgres"}) == {}
    assert (tmp_path / ".mur").exists() is make_dir


def test_only_visible_lower_case_jars_directly_in_the_folder(tmp_path):
    d = jar_dir(tmp_path, "b.jar", "A.jar", "c.JAR", ".hidden.jar", "notes.txt", "a.jar.bak")
    (d / "sub").mkdir()
    (d / "sub" / "nested.jar").write_bytes(b"PK")
    assert find_project_jars(str(tmp_path)) == [str(d / "A.jar"), str(d / "b.jar")]


@pytest.mark.parametrize("separator", [",", ":"])
def test_a_separator_in_the_project_path_skips_every_jar(tmp_path, separator):
    project = tmp_path / f"my{separator}project"
    jar_dir(project, "driver.jar")
    with pytest.warns(RuntimeWarning, match=r"driver\.jar \(the folder's path contains"):
        assert LocalJARProvisioning(str(project)).get_spark_config(set()) == {}


def test_config_lists_the_jars_for_spark(tmp_path):
    d = jar_dir(tmp_path, "postgresql.jar", "mysql.jar")
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
    d = jar_dir(project, "driver.jar")
    jar_dir(tmp_path / decoy_folder, "decoy.jar")  # a sibling the path, read as a pattern, would match too
    assert find_project_jars(str(project)) == [os.path.join(str(d), "driver.jar")]
    assert LocalJARProvisioning(str(project)).get_spark_config(set())["spark.jars"] == str(d / "driver.jar")
