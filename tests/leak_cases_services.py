"""Leak-check cases of the strategy's services: validate_config, the JDBC JAR
listing and provisioning settings, the cost and platform queries, and the
connectivity test."""

import os
import sys

from fake_spark import FakeJarProvisioning, StrSub
from hostile import Boom, FloatLike, IndexLike, build_hostile
from leak_harness import H, JAR_PROVISIONING_NAME, Spark, case, check, fresh_cache, raises, strategy


@case("validate_config", "dict", weight=4)
def _():
    check(H.strategy.validate_config() is None, "result")


@case("validate_config", "not a dict: RukRuntimeError", weight=4)
def _():
    raises(H.RukRuntimeError, strategy([1]).validate_config, match="must be a dictionary, got <class 'list'>")


@case("validate_config", "no config attribute / unbound call", weight=4)
def _():
    bare = H.local.LocalStrategy.__new__(H.local.LocalStrategy)
    raises(AttributeError, bare.validate_config)
    raises(TypeError, H.local.LocalStrategy.validate_config, match="missing 1 required positional")


@case("_get_jdbc_jars", "success", weight=4)
def _():
    jars = H.strategy._get_jdbc_jars("/ignored")
    check(jars == H.jars, f"jars {jars}")


@case("_get_jdbc_jars", "bad arguments", weight=4)
def _():
    s = H.strategy
    raises(TypeError, s._get_jdbc_jars, 1, match="expected str, got int")
    raises(TypeError, s._get_jdbc_jars, StrSub("x"), match="Subclasses")
    raises(TypeError, s._get_jdbc_jars, match="missing 1 required positional argument: 'cache_dir'")
    raises(TypeError, H.local.LocalStrategy._get_jdbc_jars, match="'self' and 'cache_dir'")


@case("_get_jdbc_jars", "working directory deleted")
def _():
    gone = os.path.join(H.root, "gone")
    os.mkdir(gone)
    os.chdir(gone)
    os.rmdir(gone)
    try:
        raises(FileNotFoundError, H.strategy._get_jdbc_jars, "x")
    finally:
        os.chdir(H.project)



@case("estimate_cost", "numbers", weight=4)
def _():
    s = H.strategy
    for value in (1.5, 2, True, FloatLike(2.5), IndexLike(7)):
        check(s.estimate_cost(value) == 0.0, "cost")
    check(s.estimate_cost(duration_minutes=3) == 0.0, "cost")


@case("estimate_cost", "conversion failures", weight=4)
def _():
    s = H.strategy
    raises(TypeError, s.estimate_cost, "5")
    raises(OverflowError, s.estimate_cost, 10**400)
    raises(Boom, s.estimate_cost, build_hostile("object", ("__float__",), None))
    raises(TypeError, s.estimate_cost)


@case("get_platform_name", "success / bad arguments", weight=4)
def _():
    check(H.strategy.get_platform_name() == "local", "name")
    raises(TypeError, H.strategy.get_platform_name, 1)


@case("get_jar_provisioning_config", "project JARs", weight=4)
def _():
    config = H.strategy.get_jar_provisioning_config({"postgres"})
    check(config["spark.jars"] == ",".join(H.jars), f"config {config}")
    check(H.strategy.get_jar_provisioning_config(adapter_types=set()) == config, "config")


@case("get_jar_provisioning_config", "project without JARs", weight=4)
def _():
    os.chdir(H.empty_project)
    try:
        check(H.strategy.get_jar_provisioning_config(set()) == {}, "config")
    finally:
        os.chdir(H.project)


@case("get_jar_provisioning_config", "bad arguments", weight=4)
def _():
    s = H.strategy
    raises(TypeError, s.get_jar_provisioning_config, None, match="expected set, got NoneType")
    raises(TypeError, s.get_jar_provisioning_config, ["x"], match="expected set, got list")
    raises(TypeError, s.get_jar_provisioning_config, match="missing 1 required")


BROKEN_PROVISIONING = FakeJarProvisioning()


@case("get_jar_provisioning_config", "provisioning answers a list / None / raises", weight=4)
def _():
    real = sys.modules[JAR_PROVISIONING_NAME]
    try:
        fake = sys.modules[JAR_PROVISIONING_NAME] = BROKEN_PROVISIONING
        fake.result = ["spark.jars"]
        raises(TypeError, H.strategy.get_jar_provisioning_config, set(), match="Expected dict, got list")
        fake.result = None
        check(H.strategy.get_jar_provisioning_config(set()) is None, "None passed through")
        fake.init_error = Boom("no provisioning")
        raises(Boom, H.strategy.get_jar_provisioning_config, set())
    finally:
        sys.modules[JAR_PROVISIONING_NAME] = real
        BROKEN_PROVISIONING.init_error = None
        BROKEN_PROVISIONING.calls.clear()


def scripted_strategy(behaviour, sql_error=None):
    s = H.Scripted({})
    s.behaviour, s.sql_error = behaviour, sql_error
    return s


@case("test_connectivity", "subclass session: success", weight=4)
def _():
    result = scripted_strategy(None).test_connectivity()
    check(result == (True, "Local Spark session created and SQL test passed"), repr(result))


@case("test_connectivity", "subclass session request raises", weight=4)
def _():
    result = scripted_strategy(Boom("cluster down")).test_connectivity()
    check(result == (False, "Local Spark failed: cluster down"), repr(result))
    result = scripted_strategy(H.RukRuntimeError("no Java")).test_connectivity()
    check(result == (False, "Local Spark failed: no Java"), repr(result))


@case("test_connectivity", "query fails", weight=4)
def _():
    result = scripted_strategy(None, Boom("query failed")).test_connectivity()
    check(result == (False, "Local Spark failed: query failed"), repr(result))


@case("test_connectivity", "KeyboardInterrupt passes", weight=4)
def _():
    raises(KeyboardInterrupt, scripted_strategy(KeyboardInterrupt()).test_connectivity)


@case("test_connectivity", "through the real session request")
def _():
    fresh_cache()
    result = strategy().test_connectivity()
    check(result[0] is True, repr(result))
    Spark.get_or_create_error = Boom("no start")
    fresh_cache()
    check(strategy().test_connectivity() == (False, "Local Spark failed: no start"), "failure")


@case("test_connectivity", "pyspark.sql missing", weight=4)
def _():
    real = sys.modules["pyspark.sql"]
    sys.modules["pyspark.sql"] = None
    try:
        check(H.strategy.test_connectivity() == (False, "PySpark not installed"), "result")
    finally:
        sys.modules["pyspark.sql"] = real
