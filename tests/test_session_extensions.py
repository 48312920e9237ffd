import json
import subprocess
import sys
import zipfile

import pytest

from ruk.compute.session_extensions import PROVIDER_SERVICE, class_path_search


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


# In a fresh interpreter: a stand-in gateway records what the module asks of the JVM.
_PROBE = r"""
import json, sys, warnings
warnings.simplefilter("always")
import pyspark.core.context as context
from ruk.compute import session_extensions

calls = []
class Node:
    def __init__(self, path): self.path = path
    def __getattr__(self, name): return Node(self.path + "." + name if self.path else name)
    def __call__(self, *args):
        if mode == "fails" and self.path.endswith("InternalFunctionRegistration"):
            raise RuntimeError("no ML here")
        calls.append(self.path)
        return Node(self.path + "()")
class Gateway:
    jvm = Node("")

mode = sys.argv[1]
if mode == "imported":
    import pyspark.ml
context.SparkContext._gateway = None if mode == "no-jvm" else Gateway()
with warnings.catch_warnings(record=True) as caught:
    session_extensions.after_start()
    at_start = list(calls)
    hooked = any(type(f).__name__ == "_OnFirstImport" for f in sys.meta_path)
    import pyspark.ml
    session_extensions.after_start()  # a second start in the same process
import pyspark.ml.functions
print(json.dumps({
    "at_start": at_start, "calls": calls, "hooked": hooked,
    "hook_left": any(type(f).__name__ == "_OnFirstImport" for f in sys.meta_path),
    "loader": type(pyspark.ml.__loader__).__name__, "spec_loader": type(pyspark.ml.__spec__.loader).__name__,
    "warnings": [str(w.message) for w in caught],
}))
"""

REGISTER = ["org.apache.spark.sql.ml.InternalFunctionRegistration",
            "org.apache.spark.sql.SparkSessionExtensions",
            "org.apache.spark.sql.ml.InternalFunctionRegistration().apply"]


@pytest.mark.parametrize("mode", ["later", "imported", "no-jvm", "fails"])
def test_ml_functions_are_registered_when_pyspark_ml_is_in_use(mode):
    pytest.importorskip("numpy")  # pyspark.ml needs it
    result = subprocess.run([sys.executable, "-c", _PROBE, mode], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.strip().splitlines()[-1])
    # The package keeps its own loader, and the import hook is gone once used.
    assert report["loader"] == report["spec_loader"] == "SourceFileLoader"
    assert report["hook_left"] is False
    if mode == "later":
        assert report["at_start"] == [] and report["hooked"] is True
        assert report["calls"] == REGISTER * 2  # on the import, then (a no-op in the JVM) at the next start
    elif mode == "imported":
        assert report["at_start"] == REGISTER and report["hooked"] is False
    elif mode == "no-jvm":
        assert report["calls"] == [] and report["warnings"] == []
    else:
        assert report["calls"] == []
        assert report["warnings"] == ["Spark ML's SQL functions (vector_to_array, array_to_vector) could not be "
                                      "registered: no ML here"]
