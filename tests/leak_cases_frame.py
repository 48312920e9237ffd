"""Leak-check cases of the module's frame: signatures and attributes of the
function objects, pickling and copying them, and the module's import (again
after `del sys.modules[...]`, and failing before the first success)."""

import copy
import importlib
import importlib.abc
import inspect
import pickle
import sys
from typing import List

from fake_spark import CollidingKey
from hostile import Boom, boom
from leak_harness import BASE_NAME, H, MODULE_NAME, Case, case, check, raises


SIGNATURES = {
    "validate_config": "(self) -> 'None'",
    "get_spark_session": "(self, adapter_types: 'Optional[Set[str]]' = None) -> 'SparkSession'",
    "_get_jdbc_jars": "(self, cache_dir: 'str') -> 'list'",
    "close": "(self, spark: 'Optional[SparkSession]') -> 'None'",
    "estimate_cost": "(self, duration_minutes: 'float') -> 'float'",
    "get_platform_name": "(self) -> 'str'",
    "get_jar_provisioning_config": "(self, adapter_types: 'Set[str]') -> 'Dict[str, str]'",
    "test_connectivity": "(self) -> 'Tuple[bool, str]'",
}
MODULE_FUNCTIONS = ("cleanup_all_spark_sessions", "_disable_multiprocessing_resource_tracker",
                    "_ensure_java_available")


@case("inspect.signature", "every method and module function")
def _():
    for name, text in SIGNATURES.items():
        function = getattr(H.local.LocalStrategy, name)
        check(str(inspect.signature(function)) == text, name)
        check(str(inspect.signature(getattr(H.strategy, name))) == text.replace("(self, ", "(").replace("(self)", "()"), name)
    for name in MODULE_FUNCTIONS:
        check(str(inspect.signature(getattr(H.local, name))) == "()", name)


@case("function attributes", "read, write, bind", weight=4)
def _():
    f = H.local.LocalStrategy.estimate_cost
    check(f.__name__ == "estimate_cost" and f.__qualname__ == "LocalStrategy.estimate_cost", "names")
    check(f.__module__ == MODULE_NAME and f.__doc__ and f.__globals__ is vars(H.local), "attributes")
    check(f.__annotations__ == {"duration_minutes": "float", "return": "float"}, "annotations")
    check(repr(f).startswith("<function LocalStrategy.estimate_cost at "), "repr")
    check(f.__get__(H.strategy, None).__self__ is H.strategy and f.__get__(None, int) is f, "bind")
    f.__defaults__ = (1.0,)
    try:
        check(H.strategy.estimate_cost() == 0.0, "default")
        check(str(inspect.signature(f)).endswith("= 1.0) -> 'float'"), "signature with default")
    finally:
        f.__defaults__ = None
    f.__signature__ = inspect.Signature()
    check(str(inspect.signature(f)) == "()", "assigned signature")
    del f.__signature__
    raises(AttributeError, delattr, f, "__signature__")
    f.marker = 1
    del f.marker
    raises(TypeError, setattr, f, "__name__", 1)
    raises(TypeError, setattr, f, "__annotations__", [])


@case("inspect.signature", "keys that rebind the function or raise", weight=4)
def _():
    f = H.local.LocalStrategy.get_spark_session
    defaults, annotations = f.__defaults__, f.__annotations__
    try:
        f.__annotations__ = {CollidingKey("self", lambda: setattr(f, "__defaults__", None)): 1, **annotations}
        check(list(inspect.signature(f).parameters) == ["self", "adapter_types"], "defaults dropped")
        f.__defaults__ = defaults
        f.__annotations__ = {CollidingKey("return", lambda: setattr(f, "__annotations__", {})): 1, **annotations}
        inspect.signature(f)
        f.__annotations__ = {CollidingKey("self", boom): 1, **annotations}
        raises(Boom, inspect.signature, f, match="hostile")
        f.__annotations__ = annotations
        f.__dict__ = {CollidingKey("__signature__", lambda: setattr(f, "__dict__", {})): 1}
        inspect.signature(f)
    finally:
        f.__defaults__, f.__annotations__, f.__dict__ = defaults, annotations, {}


@case("function objects", "pickle and copy by reference", weight=4)
def _():
    for f in (H.local.LocalStrategy.close, H.local.cleanup_all_spark_sessions):
        for protocol in (0, 2, 5):
            check(pickle.loads(pickle.dumps(f, protocol)) is f, f"pickle {protocol}")
        check(copy.copy(f) is f and copy.deepcopy([f])[0] is f, "copy")


@case("module import", "re-import after del sys.modules", weight=4)
def _():
    module = sys.modules.pop(MODULE_NAME)
    again = importlib.import_module(MODULE_NAME)
    check(again is module, "a new module object")


# --- the import before the first success (its own cases) ---------------------------------

class ImportBlocker(importlib.abc.MetaPathFinder):
    def __init__(self, name, error):
        self.name = name
        self.error = error

    def find_spec(self, name, path=None, target=None):
        if name == self.name or name.startswith(self.name + "."):
            raise self.error(f"blocked: {name}")
        return None





def failing_import_cases() -> List[Case]:
    """Imports that fail while the module has never been imported: their
    objects must go with the dropped module."""

    def failing(blocked, error):
        def run():
            blocker = ImportBlocker(blocked, error)
            sys.meta_path.insert(0, blocker)
            saved = {name: sys.modules.pop(name) for name in list(sys.modules)
                     if name == blocked or name.startswith(blocked + ".")}
            try:
                raises(error, importlib.import_module, MODULE_NAME, match="blocked")
                check(MODULE_NAME not in sys.modules, "module left in sys.modules")
            finally:
                sys.meta_path.remove(blocker)
                sys.modules.update(saved)

        return run

    return [
        Case("module import", "fails: base module missing", failing(BASE_NAME, ModuleNotFoundError)),
        Case("module import", "fails: pyspark raises on import", failing("pyspark", RuntimeError)),
    ]
