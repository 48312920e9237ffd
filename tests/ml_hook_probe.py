"""Run in a fresh process: when Spark ML's functions get registered, against a
stand-in gateway that records what is asked of the JVM. Each case gets a gateway
of its own (a new JVM, as far as the module can tell) and a first import of
`pyspark.ml` of its own, after starts of the strategy on a stand-in session.
Prints one JSON object, case name to outcome.

usage: ml_hook_probe.py CASE...
"""

import importlib
import importlib.abc
import importlib.machinery
import json
import sys
import threading
import types
import warnings

import pyspark
import pyspark.core.context as context
import ruk.compute.strategies.local as local
from fake_spark import FakeGateway, FakeSparkSession, key_of
from jvm_reuse_probe import in_forked_child
from ruk.compute.start import extensions as session_extensions


def new_jvm(**kwargs):
    context.SparkContext._gateway = gateway = FakeGateway(**kwargs)
    return gateway


def start():
    """A new session of the strategy, on whatever JVM the gateway stands for."""
    local._SPARK_SESSION_CACHE.clear()
    local.LocalStrategy({}, "probe").get_spark_session()


def forget_ml():
    for name in [n for n in sys.modules if n == "pyspark.ml" or n.startswith("pyspark.ml.")]:
        del sys.modules[name]
    vars(pyspark).pop("ml", None)


class Finder(importlib.abc.MetaPathFinder):
    """Put ahead of every other finder. `answer`: finds pyspark.* itself (an
    instrumentation hook). `interrupt`: Ctrl-C while that name is looked for.
    `slow`: pyspark.ml found only once another thread has started a session (up
    to a deadline)."""

    def __init__(self, answer=False, interrupt=None, slow=False):
        self.answer, self.interrupt, self.slow = answer, interrupt, slow
        self.answered, self.finding, self.started = [], threading.Event(), threading.Event()
        sys.meta_path.insert(0, self)

    def find_spec(self, name, path, target=None):
        if name == self.interrupt:
            self.interrupt = None
            raise KeyboardInterrupt
        if self.slow and name == "pyspark.ml":
            self.finding.set()
            self.started.wait(60)
            return importlib.machinery.PathFinder.find_spec(name, path, target)
        if self.answer and name.startswith("pyspark."):
            self.answered.append(name)
            return importlib.machinery.PathFinder.find_spec(name, path, target)
        return None


def case_later():
    import _xxsubinterpreters as interpreters

    jvm = new_jvm()
    import_system = (list(sys.meta_path), list(sys.path_hooks))
    start()
    other = interpreters.create()  # another interpreter imports it first: not found (no sys.path), but an event
    interpreters.run_string(other, "import sys\nsys.path[:] = []\ntry: import pyspark.ml\nexcept ImportError: pass")
    interpreters.destroy(other)
    at_start = list(jvm.calls)
    import pyspark.ml  # noqa: F401
    on_import = list(jvm.calls)
    start()  # a second start on the same JVM
    session_extensions.on_reuse()
    return {"at_start": at_start, "on_import": on_import, "after": jvm.calls,
            "unchanged": [import_system == (sys.meta_path, sys.path_hooks), type(pyspark) is types.ModuleType,
                          len(pyspark.cloudpickle.dumps(lambda: pyspark.TaskContext.get())) > 0]}


def case_imported():
    context.SparkContext._gateway = None
    import pyspark.ml  # noqa: F401
    jvm = new_jvm()
    start()
    return {"at_start": jvm.calls}


def case_no_jvm():
    context.SparkContext._gateway = None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start()
        import pyspark.ml  # noqa: F401
        session_extensions.on_reuse()
    return {"warnings": [str(w.message) for w in caught]}


def case_fails():
    jvm = new_jvm(fails=True)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start()
        import pyspark.ml  # noqa: F401
        session_extensions.on_reuse()  # fails again: no second warning
        jvm.fails = False
        session_extensions.on_reuse()
    return {"warnings": [str(w.message) for w in caught], "calls": jvm.calls}


def case_warnings_as_errors():  # run under -W error
    new_jvm(fails=True)
    start()
    import pyspark.ml  # noqa: F401
    session_extensions.on_reuse()
    return {"imported": "pyspark.ml" in sys.modules}


def case_finder_ahead():
    jvm = new_jvm()
    start()
    finder = Finder(answer=True)
    import pyspark.ml  # noqa: F401
    sys.meta_path.remove(finder)
    return {"calls": jvm.calls, "answered": "pyspark.ml" in finder.answered}


def case_failed_import():
    jvm = new_jvm()
    start()
    numpy = sys.modules.get("numpy")
    sys.modules["numpy"] = None  # as if numpy were missing
    try:
        import pyspark.ml  # noqa: F401
        error = None
    except ImportError as failure:
        error = type(failure).__name__
    del sys.modules["numpy"]
    if numpy is not None:
        sys.modules["numpy"] = numpy
    import pyspark.ml  # noqa: F401,F811
    return {"error": error, "calls": jvm.calls}


def case_interrupted():
    """Ctrl-C while pyspark.ml runs, then while it registers."""
    outcome = {}
    for how in ("import", "registration"):
        forget_ml()
        jvm = new_jvm(interrupt=how == "registration")
        start()
        finder = Finder(interrupt="pyspark.ml.linalg" if how == "import" else None)
        try:
            import pyspark.ml  # noqa: F401
            outcome[how] = "not interrupted"
        except KeyboardInterrupt:
            sys.meta_path.remove(finder)
            import pyspark.ml  # noqa: F401,F811
            outcome[how] = jvm.calls
    return outcome


def case_thread():
    jvm = new_jvm()
    finder = Finder(slow=True)
    other = threading.Thread(target=importlib.import_module, args=("pyspark.ml",))
    other.start()
    finder.finding.wait(60)
    start()
    finder.started.set()
    other.join()
    sys.meta_path.remove(finder)
    return {"calls": jvm.calls}


def case_by_hand():
    """pyspark.ml put in sys.modules by hand, bound to no package: the next
    request for a cached session registers."""
    jvm = new_jvm()
    start()
    cached = local._SPARK_SESSION_CACHE[key_of({})] = FakeSparkSession("cached")
    strategy = local.LocalStrategy({}, "probe")
    strategy.get_spark_session()
    before = list(jvm.calls)
    sys.modules["pyspark.ml"] = types.ModuleType("pyspark.ml")
    return {"before": before, "calls": jvm.calls, "handed_out": strategy.get_spark_session() is cached}


def case_fork():
    """Whether the parent's start or only PySpark saw the gateway before the fork."""

    def child_imports():
        start()
        import pyspark.ml  # noqa: F401
        session_extensions.on_reuse()
        return jvm.calls

    outcome = {}
    for how in ("after a start", "gateway unseen"):
        jvm = new_jvm()
        if how == "after a start":
            start()
        outcome[how] = in_forked_child(child_imports)
    start()
    import pyspark.ml  # noqa: F401
    outcome["parent"] = jvm.calls
    return outcome


if __name__ == "__main__":
    local.SparkSession, local._ensure_java_available = FakeSparkSession.fresh(), lambda: None
    report = {}
    for name in sys.argv[1:]:
        forget_ml()
        report[name] = globals()["case_" + name.replace("-", "_")]()
    print(json.dumps(report))
