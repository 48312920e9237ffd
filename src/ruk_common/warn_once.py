"""Warnings given once per process for each thing they are about."""

from __future__ import annotations

import threading
import warnings
from typing import Hashable, Set, Type


class WarnOnce:
    """What a module has warned about: `warn` gives one warning per key and
    process, from any thread.

    A warning the filters turn into an exception (`-W error`) was not given:
    the next call for its key tries again. The exception propagates, unless
    the registry was made with `drop_errors` for callers that must not fail
    for a warning (a session request); an exception outside Exception, such
    as KeyboardInterrupt, always does."""

    def __init__(self, category: Type[Warning] = RuntimeWarning, drop_errors: bool = False) -> None:
        self.category = category
        self.drop_errors = drop_errors
        self._given: Set[Hashable] = set()
        self._lock = threading.Lock()

    def warn(self, key: Hashable, message: str, stacklevel: int = 1) -> None:
        """`warnings.warn(message)` unless one was given for `key`;
        `stacklevel` counts from the caller of this method, as warnings.warn's
        counts from its own."""
        with self._lock:
            if key in self._given:
                return
            self._given.add(key)
        try:
            warnings.warn(message, self.category, stacklevel=stacklevel + 1)
        except BaseException as error:
            with self._lock:
                self._given.discard(key)
            if not (self.drop_errors and isinstance(error, Exception)):
                raise

    def clear(self) -> None:
        """Forget every warning given."""
        with self._lock:
            self._given.clear()
