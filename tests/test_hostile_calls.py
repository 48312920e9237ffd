"""Hostile calls that Hypothesis need not find: odd keyword names, hundreds of
arguments, rebound defaults, objects that are no strategy as `self`, and
function attributes tampered with under inspect.signature. Each is compared
with the plain-Python model (hostile_model.py) or with a Python function
holding the same attributes."""

import inspect
import types

import pytest

from fake_spark import CollidingKey, DictSub, FakeSparkSession, SetSub, StrSub
from hostile import Boom, ConfigRaises, FloatLike, IndexLike, boom, build_hostile
pytest.register_assert_rewrite("hostile_model")  # its comparisons report as the tests' own do
from hostile_model import (
    METHODS, SIGNATURES, LocalStrategy, RukRuntimeError, assert_matches, assert_shared_state_sound, outcome,
    sandbox,
)

class StrSubRaisingStr(str):
    def __str__(self):
        raise Boom("str")

    def __repr__(self):
        raise Boom("repr")


@pytest.mark.parametrize("name", METHODS)
@pytest.mark.parametrize(
    "keyword",
    [StrSub("self"), StrSub("bogus"), StrSubRaisingStr("bogus"), StrSubRaisingStr("spark"), "\ud800", "x" * 10_000],
    ids=["str subclass naming self", "str subclass unknown", "unprintable unknown", "unprintable known",
         "surrogate", "very long"],
)
def test_odd_keyword_names(sandbox, name, keyword):
    model = sandbox.reset()
    me = LocalStrategy({}, "app")
    expected = outcome(model.call, name, [me], {keyword: None})
    actual = outcome(getattr(LocalStrategy, name), me, **{keyword: None})
    if expected[0] == "raised" and actual[0] == "raised" and isinstance(actual[1], Boom):
        pass  # the unknown name's own __str__ failed while the TypeError text was made
    else:
        assert_matches(expected, actual, name)
    assert_shared_state_sound(sandbox)


@pytest.mark.parametrize("count", [0, 5, 300])
@pytest.mark.parametrize("name", METHODS)
def test_many_arguments(sandbox, name, count):
    sandbox.reset()
    args = [None] * count
    kwargs = {f"k{i}": i for i in range(count)}
    for call in (lambda: getattr(LocalStrategy, name)(*args, **kwargs),
                 lambda: getattr(LocalStrategy({}, "app"), name)(*args, **kwargs)):
        result = outcome(call)
        if count:
            assert result[0] == "raised" and type(result[1]) is TypeError
    assert_shared_state_sound(sandbox)


@pytest.mark.parametrize(
    "defaults, works",
    [((), False), ((1, 2, 3), False), ((1, set()), True), ((SetSub(),), False), (("x",), False), (None, False),
     ((set(),), True)],
    ids=["none left", "too many, last not a set", "too many, last a set", "subclass default",
         "wrong type default", "removed", "a set"],
)
def test_session_request_with_rebound_defaults(sandbox, monkeypatch, defaults, works):
    """Defaults are function attributes anyone may rebind; binding follows them
    (the last ones fill the trailing parameters) and the argument rule still holds."""
    sandbox.reset()
    function = LocalStrategy.__dict__["get_spark_session"]
    monkeypatch.setattr(function, "__defaults__", defaults)
    result = outcome(LocalStrategy({}, "app").get_spark_session)
    if works:
        assert result[0] == "returned" and isinstance(result[1], FakeSparkSession)
    else:
        assert result[0] == "raised" and type(result[1]) is TypeError, result
    assert_shared_state_sound(sandbox)


def test_validate_config_on_objects_that_are_not_strategies():
    assert outcome(LocalStrategy.validate_config, object())[0] == "raised"
    assert type(outcome(LocalStrategy.validate_config, object())[1]) is AttributeError
    assert type(outcome(LocalStrategy.validate_config, None)[1]) is AttributeError
    assert LocalStrategy.validate_config(types.SimpleNamespace(config=DictSub(), app_name="app")) is None
    with pytest.raises(AttributeError, match="app_name"):  # as a start would
        LocalStrategy.validate_config(types.SimpleNamespace(config={}))
    with pytest.raises(RukRuntimeError) as info:
        LocalStrategy.validate_config(types.SimpleNamespace(config=types.MappingProxyType({})))
    assert str(info.value) == "Local Spark config must be a dictionary, got <class 'mappingproxy'>"
    with pytest.raises(Boom):
        LocalStrategy.validate_config(ConfigRaises())
    assert LocalStrategy.get_platform_name(None) == "local"
    assert LocalStrategy.estimate_cost(None, IndexLike(3)) == 0.0
    with pytest.raises(OverflowError):
        LocalStrategy.estimate_cost(None, IndexLike(10**400))
    with pytest.raises(TypeError):
        LocalStrategy.estimate_cost(None, IndexLike("3"))
    with pytest.raises(TypeError):
        LocalStrategy.estimate_cost(None, FloatLike("3"))


@pytest.mark.parametrize("name", METHODS)
@pytest.mark.parametrize(
    "attribute, value",
    [
        ("__defaults__", (1, 2, 3)),
        ("__defaults__", (SetSub(),)),
        ("__defaults__", ()),
        ("__annotations__", {}),
        ("__annotations__", {"self": build_hostile("object", ("__repr__", "__eq__", "__hash__"), None), 1: 2}),
        ("__annotations__", DictSub(return_=1)),
    ],
    ids=["long defaults", "subclass default", "no defaults", "no annotations", "hostile annotations",
         "dict subclass annotations"],
)
def test_signature_of_tampered_functions(monkeypatch, name, attribute, value):
    """inspect.signature reads the function's current attributes, as it does
    those of a Python function holding the same ones (a call takes the
    defaults from the end of a tuple longer than the parameters; so does the
    signature)."""
    function = LocalStrategy.__dict__[name]
    params = SIGNATURES[name][0]
    ns = {}
    exec(f"def {name}({', '.join(params)}): pass", ns)
    twin = ns[name]
    twin.__defaults__, twin.__annotations__ = function.__defaults__, dict(function.__annotations__)
    monkeypatch.setattr(function, attribute, value)
    setattr(twin, attribute, value[-len(params):] if attribute == "__defaults__" else value)
    strategy = LocalStrategy({}, "app")

    def text(f):
        return str(inspect.signature(f))

    for real, model in ((function, twin), (getattr(strategy, name), types.MethodType(twin, strategy))):
        expected, got = outcome(text, model), outcome(text, real)
        assert (got[0], type(got[1])) == (expected[0], type(expected[1]))
        assert got[0] == "raised" or got[1] == expected[1]


# where the key goes, the name it collides with, what its __eq__ does to the function
SIGNATURE_ATTACKS = {
    "annotation key drops __defaults__": ("__annotations__", "self", lambda f: setattr(f, "__defaults__", None)),
    "annotation key replaces __annotations__": ("__annotations__", "self", lambda f: setattr(f, "__annotations__", {})),
    "return key replaces __annotations__": ("__annotations__", "return", lambda f: setattr(f, "__annotations__", {})),
    "annotation key raises": ("__annotations__", "adapter_types", lambda f: boom()),
    "__dict__ key replaces __dict__": ("__dict__", "__signature__", lambda f: setattr(f, "__dict__", {})),
    "__dict__ key drops __defaults__": ("__dict__", "__signature__", lambda f: setattr(f, "__defaults__", None)),
}


@pytest.mark.parametrize("attack", list(SIGNATURE_ATTACKS))
def test_signature_survives_keys_that_rebind_the_function(monkeypatch, attack):
    """inspect.signature with a key whose __eq__ rebinds the very attributes
    being read: an answer or the key's own exception, never freed memory."""
    where, name, action = SIGNATURE_ATTACKS[attack]
    function = LocalStrategy.__dict__["get_spark_session"]
    for attribute in ("__defaults__", "__annotations__", "__dict__"):
        monkeypatch.setattr(function, attribute, getattr(function, attribute))  # put back afterwards
    key = CollidingKey(name)
    # Only the function holds the new dict, so replacing it frees it.
    if where == "__annotations__":
        function.__annotations__ = {key: "hostile", **function.__annotations__}
    else:
        function.__dict__ = {key: "hostile"}
    key.action = lambda: action(function)
    result = outcome(inspect.signature, function)
    if attack == "annotation key raises":
        assert result[0] == "raised" and str(result[1]) == "hostile"
    else:
        assert result[0] == "returned", result
        assert list(result[1].parameters) == ["self", "adapter_types"]
    assert key.action is None  # the attack did run
