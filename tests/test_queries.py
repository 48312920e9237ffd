"""The strategy's queries that need no Spark of their own: configuration check,
platform name, JDBC JAR discovery and provisioning, and the connectivity test
(with the session call replaced)."""

import os
import sys
import types
from collections import OrderedDict, defaultdict

import pytest

import ruk.compute.strategies.local as mod
from ruk.compute.jar_provisioning import LocalJARProvisioning
from ruk_common.exceptions import RukRuntimeError
from fake_spark import DictSub, FakeJarProvisioning, FakeSparkSession, jar_dir

LocalStrategy = mod.LocalStrategy


# --- validate_config / get_platform_name --------------------------------------------


@pytest.mark.parametrize("config", [{}, {"master": "local[1]"}, OrderedDict(a=1), defaultdict(list)],
                         ids=["empty", "plain", "ordered", "default"])
def test_validate_config_accepts_dicts(config):
    assert LocalStrategy(config).validate_config() is None


@pytest.mark.parametrize("config, type_text", [
    ([], "<class 'list'>"),
    (None, "<class 'NoneType'>"),
    (types.MappingProxyType({}), "<class 'mappingproxy'>"),
    ("master=local", "<class 'str'>"),
])
def test_validate_config_refuses_non_dicts(config, type_text):
    with pytest.raises(RukRuntimeError) as ei:
        LocalStrategy(config).validate_config()
    assert ei.value.args == (f"Local Spark config must be a dictionary, got {type_text}",)


def test_validate_config_without_config_attribute():
    with pytest.raises(AttributeError, match="config"):
        LocalStrategy.__new__(LocalStrategy).validate_config()


def test_platform_name_is_one_shared_string():
    names = [LocalStrategy({}).get_platform_name(), LocalStrategy([]).get_platform_name()]
    assert names == ["local", "local"] and names[0] is names[1]


# --- _get_jdbc_jars ------------------------------------------------------------------


def test_no_jar_directory_gives_empty_list_and_creates_nothing(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    assert LocalStrategy({})._get_jdbc_jars(str(tmp_path / "cache")) == []
    assert list(tmp_path.iterdir()) == []


def test_jar_discovery_filters_and_order(monkeypatch, tmp_path):
    d = jar_dir(tmp_path, "b.jar", "A.jar", "c.JAR", ".hidden.jar", "notes.txt")
    (d / "sub").mkdir()
    (d / "sub" / "x.jar").write_bytes(b"PK")
    (d / "d.jar").mkdir()  # skipped: not a regular file
    other = tmp_path / "other"  # a cache_dir full of JARs elsewhere is not searched
    other.mkdir()
    (other / "z.jar").write_bytes(b"PK")
    monkeypatch.chdir(tmp_path)
    with pytest.warns(RuntimeWarning, match=r"d\.jar \(a directory\)"):
        result = LocalStrategy({})._get_jdbc_jars(str(other))
    assert result == [str(d / "A.jar"), str(d / "b.jar")]
    assert all(os.path.isabs(p) for p in result)
    with pytest.warns(RuntimeWarning):
        assert LocalStrategy({})._get_jdbc_jars("") == result


@pytest.mark.parametrize("folder, decoy", [("proj[1]", "proj1"), ("a*b", "a-long-b"), ("what?", "whats")])
def test_glob_characters_in_project_path_are_literal(monkeypatch, tmp_path, folder, decoy):
    d = jar_dir(tmp_path / folder, "driver.jar")
    jar_dir(tmp_path / decoy, "decoy.jar")  # a sibling the path, read as a pattern, would match as well
    monkeypatch.chdir(tmp_path / folder)
    assert LocalStrategy({})._get_jdbc_jars("x") == [str(d / "driver.jar")]


def test_deleted_working_directory(monkeypatch, tmp_path):
    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()
    with pytest.raises(FileNotFoundError):
        LocalStrategy({})._get_jdbc_jars("x")


# --- get_jar_provisioning_config ----------------------------------------------------


@pytest.mark.parametrize("with_jars", [False, True])
def test_provisioning_matches_the_provisioning_class(monkeypatch, tmp_path, with_jars):
    if with_jars:
        jar_dir(tmp_path, "pg.jar")
    monkeypatch.chdir(tmp_path)
    expected = LocalJARProvisioning(project_dir=os.getcwd()).get_spark_config(set())
    assert LocalStrategy({}).get_jar_provisioning_config(set()) == expected
    assert bool(expected) is with_jars


@pytest.fixture
def fake_provisioning(monkeypatch):
    fake = FakeJarProvisioning({})
    monkeypatch.setitem(sys.modules, "ruk.compute.jar_provisioning", fake)
    return fake


def test_provisioning_call_shape(fake_provisioning, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    fake_provisioning.result = result = {"spark.jars": "a.jar"}
    adapters = {"postgres"}
    assert LocalStrategy({}).get_jar_provisioning_config(adapters) is result
    assert fake_provisioning.calls == [
        ("init", (), {"project_dir": os.getcwd()}),
        ("get_spark_config", (adapters,), {}),
    ]
    assert fake_provisioning.calls[1][1][0] is adapters


def test_provisioning_none_result_passes(fake_provisioning):
    fake_provisioning.result = None
    assert LocalStrategy({}).get_jar_provisioning_config(set()) is None


@pytest.mark.parametrize("result, type_name", [
    (["a.jar"], "list"),
    (DictSub(), "DictSub"),
    (type("R" * 300, (), {})(), "R" * 200),
])
def test_provisioning_result_must_be_exactly_dict(fake_provisioning, result, type_name):
    fake_provisioning.result = result
    with pytest.raises(TypeError) as ei:
        LocalStrategy({}).get_jar_provisioning_config(set())
    assert str(ei.value) == f"Expected dict, got {type_name}"


@pytest.mark.parametrize("value", [frozenset(), None])
def test_provisioning_argument_refused_before_import(monkeypatch, value):
    # an import attempt would raise ImportError instead of the argument's TypeError
    monkeypatch.setitem(sys.modules, "ruk.compute.jar_provisioning", None)
    with pytest.raises(TypeError, match="^Argument 'adapter_types' has incorrect type"):
        LocalStrategy({}).get_jar_provisioning_config(value)


# --- test_connectivity ----------------------------------------------------------------


class ScriptedStrategy(LocalStrategy):
    """get_spark_session is looked up on self, so a subclass can stand in for Spark."""

    def __init__(self, outcome):
        super().__init__({})
        self.outcome, self.calls = outcome, []

    def get_spark_session(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


def test_connectivity_success_runs_the_query_each_time():
    spark = FakeSparkSession()
    s = ScriptedStrategy(spark)
    first, second = s.test_connectivity(), s.test_connectivity()
    assert first == second == (True, "Local Spark session created and SQL test passed")
    assert s.calls == [((), {}), ((), {})]
    assert spark.queries == ["SELECT 1 AS test"] * 2 and spark.collected == 2


MULTI_LINE = "No compatible Java found for PySpark 4.3.0\n\n  mur java search\n  mur java install 21"


@pytest.mark.parametrize("outcome, message", [
    (RuntimeError(), "Local Spark failed: "),
    (RukRuntimeError(MULTI_LINE), "Local Spark failed: " + MULTI_LINE),
    (FakeSparkSession(sql_error=ValueError("bad query")), "Local Spark failed: bad query"),
], ids=["no-args", "multi-line", "sql-error"])
def test_connectivity_failures_become_messages(outcome, message):
    assert ScriptedStrategy(outcome).test_connectivity() == (False, message)


def test_connectivity_lets_non_exceptions_through():
    with pytest.raises(KeyboardInterrupt):
        ScriptedStrategy(KeyboardInterrupt()).test_connectivity()

    class Unprintable(Exception):
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):  # building the message is not guarded
        ScriptedStrategy(Unprintable()).test_connectivity()


def test_connectivity_without_importable_pyspark(monkeypatch):
    monkeypatch.setitem(sys.modules, "pyspark.sql", None)
    s = ScriptedStrategy(FakeSparkSession())
    assert s.test_connectivity() == (False, "PySpark not installed")
    assert s.calls == []
