"""The Hypothesis strategies of the hostile-argument tests: they draw recipes
(plain tuples, which Hypothesis can always show) that `hostile.make` and
`make_self` turn into arguments, configurations and `self` objects."""

import os
import types

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from ruk.compute.strategies.local import LocalStrategy
from fake_spark import StrSub
from hostile import BASES, CONFIG_KINDS, RAISING, REQUEST_ERRORS, Boom, ConfigRaises, make, make_config

# Random locally, to keep exploring; a fixed sequence in CI, so a run there is repeatable.
FUZZ = settings(
    max_examples=150,
    deadline=None,
    derandomize=os.environ.get("CI") == "true",
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large],
)


# Leaves: plain values with a safe repr, so Hypothesis can always report them.
leaves = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.sampled_from([2**63, -(2**63) - 1, 10**400, -(10**400)]),
    st.floats(),
    st.text(max_size=6),
    st.sampled_from(["", "\ud800", "a\x00b", "master", "spark.driver.memory", "local[4]", "é", "1"]),
    st.binary(max_size=3),
)

hostile = st.tuples(
    st.just("hostile"),
    st.sampled_from(sorted(BASES)),
    st.frozensets(st.sampled_from(RAISING), max_size=3).map(lambda s: tuple(sorted(s))),
    leaves,
)
special = st.tuples(
    st.just("special"),
    st.sampled_from(["setsub", "strsub", "dictsub", "frozenset", "list", "tuple", "set", "mappingproxy",
                     "floatlike", "indexlike", "object", "fake-session", "exception", "type",
                     "too many digits"]),
    leaves,
)
recipes = st.recursive(
    st.one_of(leaves, hostile, special),
    lambda inner: st.one_of(
        st.tuples(st.just("set"), st.lists(inner, max_size=3)),
        st.tuples(st.just("list"), st.lists(inner, max_size=3)),
        st.tuples(st.just("dict"), st.lists(st.tuples(inner, inner), max_size=3)),
    ),
    max_leaves=6,
)


common_keys = st.sampled_from(["master", "spark.driver.memory", "spark.jars", "spark.ui.enabled", "spark.x"])
config_keys = st.one_of(
    # Mostly plain names, so that many requests get as far as the start.
    common_keys, common_keys, common_keys, st.text(max_size=5), st.text(max_size=5),
    st.integers(min_value=-3, max_value=3),
    hostile,
    st.tuples(st.just("special"), st.sampled_from(["strsub"]), st.text(max_size=3)),
)
configs = st.tuples(
    st.just("config"),
    st.sampled_from(sorted(CONFIG_KINDS)),
    st.lists(st.tuples(config_keys, recipes), max_size=4),
)



# Objects to call the methods on.
class Strategy(LocalStrategy):
    """A strategy subclass whose configuration and JAR list come from outside."""

    def __init__(self, config, app_name, jars):
        super().__init__(config, app_name)
        self.jars = jars

    def _get_jdbc_jars(self, cache_dir):
        if self.jars == "boom":
            raise Boom("jars")
        if self.jars == "iterator":  # truthy, and used up by the first join
            return iter(["/j/a.jar", "/j/b.jar"])
        return self.jars


JAR_ANSWERS = {"none": None, "empty": [], "two": ["/j/a.jar", "/j/b.jar"], "not strings": [1, 2],
               "raises": "boom", "iterator": "iterator", "str subclass items": [StrSub("/j/s.jar")],
               "unanswerable truth": ("hostile", "list", ("__bool__",), "/j/a.jar"),
               "unreadable items": ("hostile", "list", ("__iter__",), "/j/a.jar")}


def _raiser(make_error):
    def get_spark_session():
        raise make_error()

    return get_spark_session


strategy_selves = st.tuples(st.just("strategy"), configs, recipes)
# Well-formed strategies with values of every kind: these reach the start.
plain_configs = st.tuples(
    st.just("config"), st.just("plain dict"),
    st.lists(st.tuples(st.one_of(common_keys, st.text(max_size=5)), recipes), max_size=4),
)
well_formed_selves = st.tuples(st.just("strategy"), plain_configs, st.text(max_size=5))
selves = st.one_of(
    well_formed_selves,
    well_formed_selves,
    strategy_selves,
    st.tuples(st.just("subclass"), configs, recipes, st.sampled_from(sorted(JAR_ANSWERS))),
    st.tuples(st.just("namespace"), configs, recipes),
    st.tuples(st.just("no app name"), configs),
    st.tuples(st.just("config attribute raises")),
    st.tuples(st.just("request raises"), st.sampled_from(sorted(REQUEST_ERRORS))),
    recipes,
)



def make_self(recipe):
    if isinstance(recipe, tuple) and recipe and recipe[0] in ("strategy", "subclass", "namespace",
                                                              "no app name", "config attribute raises",
                                                              "request raises"):
        kind = recipe[0]
        if kind == "request raises":
            return types.SimpleNamespace(get_spark_session=_raiser(REQUEST_ERRORS[recipe[1]]), config={})
        if kind == "strategy":
            return LocalStrategy(make_config(recipe[1]), make(recipe[2]))
        if kind == "subclass":
            jars = JAR_ANSWERS[recipe[3]]
            return Strategy(make_config(recipe[1]), make(recipe[2]), make(jars))
        if kind == "namespace":
            return types.SimpleNamespace(config=make_config(recipe[1]), app_name=make(recipe[2]))
        if kind == "no app name":
            return types.SimpleNamespace(config=make_config(recipe[1]))
        return ConfigRaises()
    return make(recipe)


# Arguments of any call.
arguments = st.lists(recipes, max_size=3)
keyword_names = st.one_of(
    st.sampled_from(["self", "adapter_types", "cache_dir", "spark", "duration_minutes", "config", "bogus"]),
    st.text(min_size=1, max_size=4),
)
keywords = st.dictionaries(keyword_names, recipes, max_size=2)

