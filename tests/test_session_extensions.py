import importlib.util
import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from real_deps import require
from ruk.compute.start.extensions import PROVIDER_SERVICE, class_path_search


def _jar(path, *names):
    with zipfile.ZipFile(path, "w") as jar:
        for name in names:
            jar.writestr(name, "x")
    return str(path)


@pytest.mark.parametrize("entries, config, environment, expected", [
    ([], {}, {}, "false"),
    ([["org/sqlite/JDBC.class"]], {"spark.driver.memory": "2g"}, {}, "false"),
    ([["org/sqlite/JDBC.class"], [PROVIDER_SERVICE]], {}, {}, "true"),
    ([None], {}, {}, "true"),  # not a zip: can't tell
    ([], {"spark.jars": "/elsewhere/x.jar"}, {}, "true"),
    ([], {"spark.jars.packages": "g:a:1"}, {}, "true"),
    ([], {}, {"SPARK_DIST_CLASSPATH": "/opt/hadoop/*"}, "true"),
])
def test_search_stays_on_when_an_added_jar_may_bring_an_extension(tmp_path, monkeypatch, entries, config,
                                                                    environment, expected):
    for name in ("PYSPARK_SUBMIT_ARGS", "SPARK_CLASSPATH", "SPARK_DIST_CLASSPATH", "SPARK_CONF_DIR"):
        monkeypatch.delenv(name, raising=False)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    jars = []
    for i, names in enumerate(entries):
        path = tmp_path / f"{i}.jar"
        if names is None:
            path.write_bytes(b"not a zip")
            jars.append(str(path))
        else:
            jars.append(_jar(path, *names))
    assert class_path_search(jars, config) == expected


PROBE = Path(__file__).with_name("ml_hook_probe.py")
CASES = ["later", "imported", "no-jvm", "fails", "finder-ahead", "failed-import", "interrupted", "thread",
         "by-hand", "fork"]
REGISTER = ["org.apache.spark.sql.ml.InternalFunctionRegistration",
            "org.apache.spark.sql.SparkSessionExtensions",
            "org.apache.spark.sql.ml.InternalFunctionRegistration().apply"]


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    """The probe's cases, run in sequence in one fresh process; the -W error one in another."""
    require([name for name in ("pyspark", "numpy") if importlib.util.find_spec(name) is None])
    home, tmp = tmp_path_factory.mktemp("home"), tmp_path_factory.mktemp("tmp")
    env = {**os.environ, "HOME": str(home), "TMPDIR": str(tmp)}
    report = {}
    for flags, cases in (([], CASES), (["-W", "error"], ["warnings-as-errors"])):
        result = subprocess.run([sys.executable, *flags, str(PROBE), *cases], capture_output=True, text=True,
                                timeout=300, env=env, cwd=tmp)
        assert result.returncode == 0, result.stderr
        report.update(json.loads(result.stdout.strip().splitlines()[-1]))
    assert [[p.name for p in d.iterdir()] for d in (home, tmp)] == [[".mur"], ["mur_log4j2.properties"]]
    return report


def test_ml_functions_come_with_the_first_import_and_once_per_jvm(probe):
    later = probe["later"]
    assert later["at_start"] == [] and later["on_import"] == later["after"] == REGISTER
    # Nothing of the import system or of the pyspark module changes.
    assert later["unchanged"] == [True, True, True]
    assert probe["imported"]["at_start"] == REGISTER
    assert probe["no-jvm"]["warnings"] == []


@pytest.mark.parametrize("case", ["finder-ahead", "failed-import", "thread"])
def test_whatever_route_pyspark_ml_takes_the_first_successful_import_registers(probe, case):
    """Another finder answering for pyspark.*, a first import that failed, an
    import in another thread during the start."""
    outcome = probe[case]
    assert outcome["calls"] == REGISTER
    assert outcome.get("answered", True)
    assert outcome.get("error", "ModuleNotFoundError") == "ModuleNotFoundError"


def test_after_a_ctrl_c_in_the_first_import_or_its_registration_the_next_import_registers(probe):
    assert probe["interrupted"] == {"import": REGISTER, "registration": REGISTER}


def test_a_cached_session_registers_for_a_pyspark_ml_no_import_saw(probe):
    by_hand = probe["by-hand"]
    assert by_hand["before"] == [] and by_hand["calls"] == REGISTER and by_hand["handed_out"]


def test_a_failed_registration_warns_once_never_raises_and_is_retried(probe):
    assert probe["fails"]["warnings"] == ["Spark ML's SQL functions (vector_to_array, array_to_vector) could not "
                                          "be registered: no answer"]
    assert probe["fails"]["calls"] == REGISTER
    assert probe["warnings-as-errors"]["imported"] is True


def test_a_forked_child_leaves_the_parents_jvm_alone(probe):
    fork = probe["fork"]
    assert fork["after a start"] == fork["gateway unseen"] == []
    assert fork["parent"] == REGISTER
