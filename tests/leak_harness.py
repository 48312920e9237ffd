"""The leak check's harness: the measurements, the cases and how they run,
the stand-ins for PySpark and the Java discovery the cases drive, and the
report. The cases themselves are in the leak_cases_*.py modules; see
leak_check.py, the script, for what is measured and how it is judged."""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import time
import traceback
import types
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

from fake_spark import FakeJavaCompat, FakeSparkSession, lock_is_free, pyspark_info

MODULE_NAME = "ruk.compute.strategies.local"
JAVA_COMPAT_NAME = "ruk.compute.java_compat"
JAR_PROVISIONING_NAME = "ruk.compute.jar_provisioning"
BASE_NAME = "ruk.compute.strategies.base"


# --- measurements -------------------------------------------------------------------


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                     "fsmblks", "uordblks", "fordblks", "keepcost")
    ]


def _heap_reader() -> Optional[Callable[[], int]]:
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def heap_in_use() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return heap_in_use


_heap_in_use = _heap_reader()
_PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def heap_bytes() -> int:
    return _heap_in_use() if _heap_in_use is not None else 0


def heap_measured() -> bool:
    """Whether the heap figures are real (glibc has mallinfo2)."""
    return _heap_in_use is not None


def settle() -> None:
    # The interpreter's attribute-lookup cache keeps the names it last saw
    # alive; which ones depends on what ran last (the fake's class knobs move
    # its entries), so it is emptied before every reading.
    sys._clear_type_cache()
    gc.collect()
    gc.collect()


# --- stand-ins for PySpark and the Java discovery -------------------------------------


class Sink:
    """sys.stderr for the run: the replayed start-up lines go nowhere."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


class RaisingSink(Sink):
    def write(self, text):
        raise OSError("stderr is gone")


# One fresh fake class for the run; reset() clears its records after every call.
Spark = FakeSparkSession.fresh()
INFO = pyspark_info((17, 21, 25), version="4.3.0", major_minor="4.3")
JAVA = FakeJavaCompat(INFO, installations=())


# What reset() gives the fake class back. Assigned only where a case changed
# it: each assignment to a class attribute invalidates the type's entries in
# the interpreter's lookup cache, and the churn shows as heap noise.
PLAIN = dict(active=None, active_session_error=None, config_hook=None, get_or_create_error=None,
             get_or_create_hook=None, set_log_level_error=None, stderr_text="")


def reset() -> None:
    """The stand-ins back to a plain success, their records emptied."""
    for name, value in PLAIN.items():
        if getattr(Spark, name) is not value:
            setattr(Spark, name, value)
    if Spark.builders:
        Spark.builders.clear()
    if Spark.created:
        Spark.created.clear()
    JAVA.info, JAVA.best = INFO, H.best_java
    JAVA.calls.clear()


# --- the harness --------------------------------------------------------------------


class CaseFailure(Exception):
    """A case did not get the outcome it was written for."""


def check(condition, message):
    if not condition:
        raise CaseFailure(message)


def raises(exc_type, fn, *args, match=None, **kwargs):
    try:
        result = fn(*args, **kwargs)
    except exc_type as error:
        if match is not None and match not in str(error):
            raise CaseFailure(f"{exc_type.__name__} without {match!r}: {error!r}") from None
        return
    raise CaseFailure(f"expected {exc_type.__name__}, got the result {result!r}")


@dataclass
class Case:
    entry: str
    label: str
    fn: Callable[[], None]
    weight: int = 1  # cheap cases run this many times more often
    refs: List[int] = field(default_factory=list)
    heap: List[int] = field(default_factory=list)
    rss: List[int] = field(default_factory=list)
    calls: int = 0
    seconds: float = 0.0
    error: Optional[str] = None
    leaked: bool = False


CASES: List[Case] = []


def case(entry, label, weight=1):
    def register(fn):
        CASES.append(Case(entry, label, fn, weight))
        return fn

    return register


class H:
    """Set-up shared by the cases (filled in by leak_check.setup and bind_module)."""

    local: Optional[types.ModuleType] = None
    root: str
    project: str
    home: str
    tmp: str
    java_home: str
    sink: Sink
    base_path: str
    empty_project: str
    home_file: str
    missing_tmp: str
    jars: List[str]
    strategy: object
    Scripted: type  # a LocalStrategy subclass with a scripted session request
    best_java: object = None
    RukRuntimeError: type


def fresh_cache() -> dict:
    cache = {}
    H.local._SPARK_SESSION_CACHE = cache
    return cache


def strategy(config=None, app_name="leak-check"):
    return H.local.LocalStrategy({} if config is None else config, app_name)


# --- running the cases ----------------------------------------------------------------------


def run_calls(c: Case, count: int) -> None:
    fn = c.fn
    for _ in range(count * c.weight):
        try:
            fn()
        finally:
            reset()


def verify_state(c: Case) -> None:
    if H.local is not None and not lock_is_free():
        raise CaseFailure("_SPARK_SESSION_LOCK left held")
    if sys.stderr is not H.sink:
        raise CaseFailure(f"sys.stderr left as {sys.stderr!r}")


def measure(c: Case, count: int) -> None:
    settle()
    refs0, heap0, rss0 = sys.gettotalrefcount(), heap_bytes(), rss_bytes()
    start = time.perf_counter()
    run_calls(c, count)
    c.seconds += time.perf_counter() - start
    settle()
    c.refs.append(sys.gettotalrefcount() - refs0)
    c.heap.append(heap_bytes() - heap0)
    c.rss.append(rss_bytes() - rss0)
    c.calls += count * c.weight


def run_case_phase(cases: List[Case], count: int, measured: bool) -> None:
    for c in cases:
        if c.error:
            continue
        try:
            if measured:
                measure(c, count)
            else:
                run_calls(c, count)
            verify_state(c)
        except BaseException as error:  # a KeyboardInterrupt the case did not expect, too
            sys.stderr = H.sink
            c.error = "".join(traceback.format_exception(type(error), error, error.__traceback__))


def run_rounds(cases: List[Case], args) -> List[int]:
    """Warm-up, then a round of N and a round of 2N calls per case; the
    resident set size after each."""
    run_case_phase(cases, args.warmup, measured=False)
    marks = []
    for count in (args.iterations, 2 * args.iterations):
        run_case_phase(cases, count, measured=True)
        settle()
        marks.append(rss_bytes())
    return marks


def growth(values: List[int]) -> int:
    """What the N extra calls of the second round added: a constant offset
    (state a case leaves behind, say its last session in the cache) appears in
    both rounds and cancels out."""
    return values[1] - values[0] if len(values) == 2 else 0


def judge(c: Case, args) -> None:
    ref_leak = growth(c.refs) > args.ref_noise
    heap_leak = _heap_in_use is not None and growth(c.heap) > args.heap_noise
    c.leaked = ref_leak or heap_leak


def report(cases: List[Case], args, out) -> None:
    n = args.iterations
    width = max(len(f"{c.entry}: {c.label}") for c in cases)
    head = (f"{'entry point: case':<{width}}  {'runs':>6}  {'refs N|2N':>11}  {'heap B N|2N':>15}  "
            f"{'refs/call':>9}  {'heap B/call':>11}  {'rss KiB':>8}  {'µs/call':>8}")
    print(head, file=out)
    print("-" * len(head), file=out)
    for c in cases:
        name = f"{c.entry}: {c.label}"
        if c.error or len(c.refs) != 2:
            print(f"{name:<{width}}  ERROR (see below)", file=out)
            continue
        refs = f"{c.refs[0]:+d}|{c.refs[1]:+d}"
        heap = f"{c.heap[0]:+d}|{c.heap[1]:+d}" if _heap_in_use is not None else "n/a"
        rss = f"{sum(c.rss) // 1024:+d}"
        per_call = 1e6 * c.seconds / c.calls if c.calls else 0.0
        flag = "  <-- LEAK" if c.leaked else ""
        extra = n * c.weight
        print(f"{name:<{width}}  {c.calls:>6}  {refs:>11}  {heap:>15}  {growth(c.refs) / extra:>9.3f}  "
              f"{growth(c.heap) / extra:>11.1f}  {rss:>8}  {per_call:>8.1f}{flag}", file=out)
    totals: Dict[str, List[float]] = {}
    for c in cases:
        entry = totals.setdefault(c.entry, [0, 0.0])
        entry[0] += c.calls
        entry[1] += c.seconds
    print("\nmeasured case runs per entry point (a run may call the entry point more than once):", file=out)
    for entry, (calls, seconds) in totals.items():
        print(f"  {entry:<45} {calls:>8} runs  {seconds:6.1f} s", file=out)



# --- self-test: the detectors find real leaks ------------------------------------------------

_HOARD: list = []
_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.malloc.argtypes = [ctypes.c_size_t]


def self_test_cases() -> List[Case]:
    def leak_reference():
        H.strategy.get_platform_name()
        _HOARD.append(H.strategy.get_platform_name())  # one reference kept per call

    def leak_memory():
        H.strategy.get_platform_name()
        _libc.malloc(256)  # never freed, invisible to the reference total

    return [
        Case("self-test", "keeps a reference per call (must be flagged)", leak_reference),
        Case("self-test", "loses 256 bytes per call (must be flagged)", leak_memory),
        Case("self-test", "clean (must pass)", lambda: H.strategy.get_platform_name()),
    ]


