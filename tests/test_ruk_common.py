"""What the packages share in ruk_common: the error root and the warn-once registry."""

import warnings

import pytest

from ruk.commands.common import CliError
from ruk.compute.jdbc.jar import DriverError
from ruk_common.exceptions import RukError, RukRuntimeError
from ruk_common.warn_once import WarnOnce


@pytest.mark.parametrize("error_class", [DriverError, CliError])
def test_the_tools_errors_share_the_root_without_being_the_strategys(error_class):
    # The strategy's callers catch RukRuntimeError: no `mur` failure may join it.
    assert issubclass(error_class, RukError) and not issubclass(error_class, RukRuntimeError)
    assert str(error_class("one line")) == "one line"


@pytest.mark.parametrize("drop_errors", [False, True])
def test_warn_once_per_key_and_again_after_an_error(drop_errors):
    once = WarnOnce(UserWarning, drop_errors=drop_errors)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for key in ("a", "a", "b"):
            once.warn(key, f"about {key}")
    assert [(str(w.message), w.category, w.filename) for w in caught] == [
        ("about a", UserWarning, __file__), ("about b", UserWarning, __file__)]
    once.clear()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for _ in range(2):  # an error is no warning given: each call tries again
            if drop_errors:
                once.warn("a", "again")
            else:
                with pytest.raises(UserWarning, match="again"):
                    once.warn("a", "again")
