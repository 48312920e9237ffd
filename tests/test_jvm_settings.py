"""The running-JVM comparison, against a stand-in for PySpark's context and JVM."""

import subprocess
import sys
import types
import warnings

import pytest

from fake_spark import FakeGateway, FakeSparkSession
from ruk.compute.start import jvm_settings

KEYS = ("spark.driver.memory", "spark.jars", "spark.driver.extraClassPath", "spark.driver.extraJavaOptions")
FAST = ("1g", "", "", "-Dx=1")


def given(gateway, config):
    """A start's plan as the warnings read it: the JVM that ran before it, and
    what it hands the builder (the fast defaults, the configuration over them)."""
    return types.SimpleNamespace(gateway_before=gateway, settings=tuple({**dict(zip(KEYS, FAST)), **config}.items()))


STARTED = {"spark.driver.memory": "1g", "spark.jars": "file:///p/a%20b.jar", "spark.driver.extraClassPath": "/p/a b.jar",
           "spark.driver.extraJavaOptions": "-Dx=1"}
# what the JVM started with (over STARTED), the new configuration, the keys of each warning
CASES = {
    "identical": ({}, {"spark.jars": "/p/a b.jar", "spark.driver.extraClassPath": "/p/a b.jar"}, []),
    "same memory, other unit": ({}, {"spark.driver.memory": "1024m", "spark.jars": "/p/a b.jar",
                                      "spark.driver.extraClassPath": "/p/a b.jar"}, []),
    "Spark's default memory": ({"spark.driver.memory": None}, {"spark.jars": "/p/a b.jar",
                                                                "spark.driver.extraClassPath": "/p/a b.jar"}, []),
    "memory and a JAR": ({}, {"spark.driver.memory": "2g", "spark.jars": "/p/a b.jar,/p/new.jar",
                              "spark.driver.extraClassPath": "/p/a b.jar:/p/new.jar"},
                         [["spark.driver.memory"], ["spark.jars", "spark.driver.extraClassPath"]]),
    "Java options": ({}, {"spark.driver.extraJavaOptions": "-Dx=2", "spark.jars": "/p/a b.jar",
                          "spark.driver.extraClassPath": "/p/a b.jar"}, [["spark.driver.extraJavaOptions"]]),
    # Only the start that launched the JVM maps an archive.
    "the launch's archive": ({"spark.driver.extraJavaOptions": "-Dx=1 '-XX:AOTCache=/a b.aot' -Xlog:aot=off "
                                                               "-Xlog:cds=off"},
                             {"spark.jars": "/p/a b.jar", "spark.driver.extraClassPath": "/p/a b.jar"}, []),
}


@pytest.mark.parametrize("case", list(CASES))
def test_differences_from_the_running_jvm_warn_once(monkeypatch, case):
    monkeypatch.setattr(jvm_settings, "_warned", set())
    started, config, expected = CASES[case]
    gateway = FakeGateway({**STARTED, **started})
    spark = FakeSparkSession(gateway=gateway)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(2):  # the second start repeats nothing
            jvm_settings.warn_unapplied_settings(spark, given(gateway, config))
        # a JVM launched by this very start, or no JVM before it: nothing to compare
        jvm_settings.warn_unapplied_settings(spark, given(object(), {"spark.driver.memory": "8g"}))
        jvm_settings.warn_unapplied_settings(spark, given(None, {"spark.driver.memory": "8g"}))
    assert [str(w.message).split(":")[0].split(", ") for w in caught] == expected
    assert all(w.category is RuntimeWarning and "a new process is needed" in str(w.message) for w in caught)


def test_running_gateway_never_imports_pyspark():
    # A start must not pay for PySpark's import to learn that no JVM runs.
    script = ("import sys; from ruk.compute.start.jvm_settings import running_gateway; "
              "print(running_gateway(), 'pyspark' in sys.modules)")
    result = subprocess.run([sys.executable, "-I", "-c", script], capture_output=True, text=True, timeout=60)
    assert result.stdout.split() == ["None", "False"], result.stderr
