# Property-based fuzz test of fit_zscan: calls built from arguments of every
# kind (arrays of every dtype, byte order, dimension, contiguity and
# writability, other buffer exporters, lists, None, scalars of every type,
# objects whose conversions misbehave, huge and negative counts, NaN and
# infinity in every real, mismatched lengths, bad and duplicate indices, any
# mix of positions and keywords). Every call must return a well-formed result
# or raise one of the allowed exceptions with a message, never crash or hang,
# and never write to its arguments. Relies on Hypothesis and on the interrupt
# check of the module: a time budget raised from a signal handler bounds the
# rare call whose fit is slow.
#
# Sizes that reach the fit are kept tiny (at most 14 points, 2 or 3 time
# slices and slabs, at most 3 starts) so that successful calls stay cheap;
# large counts are only ever drawn huge (2**30 and beyond), where the tables
# or the fit's working storage exceed the machine's memory and the call is
# refused with MemoryError before anything is allocated.
#
# KESP_FUZZ_EXAMPLES sets the number of examples (`make fuzz` raises it);
# KESP_FUZZ_SEED, when set, replaces the fixed derandomised sequence by a
# seeded random one.
import array
import ctypes
import decimal
import faulthandler
import fractions
import os
import signal
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, example, given, note, seed, settings
from hypothesis import strategies as st

import kesp_wrapper
from conftest import MEMORY, PARAM_NAMES, RSA_PARS, SA_PARS, IndexOnly, call_args

EXAMPLES = int(os.environ.get("KESP_FUZZ_EXAMPLES", "1000"))
SEED = os.environ.get("KESP_FUZZ_SEED")
BUDGET_SECONDS = 5.0      # a slower call is stopped through the interrupt check
HANG_SECONDS = 300        # no call may take this long: the process is ended


class Sentinel(Exception):
    """Raised by the test's own argument objects; must come back unchanged."""


class OverBudget(Exception):
    """Raised by the time budget's signal handler."""


# The exceptions a call may raise, and why:
#  TypeError, OverflowError  argument binding and conversion;
#  ValueError                buffer checks, fit_indices, preconditions, and
#                            NumPy's own errors (empty y_data, negative n_starts,
#                            non-contiguous or read-only arrays, dtypes that
#                            cannot be exported);
#  IndexError                the documented out-of-bounds accesses;
#  BufferError               exporters that refuse a writable or contiguous
#                            export (bytes, read-only or strided memoryviews);
#  MemoryError               tables or working storage beyond the machine;
#  Sentinel                  raised by an argument's own conversion method;
#  OverBudget                the time budget stopped a slow fit.
# NameError is documented too, but only for a missing module attribute `np`,
# which this test never removes; SystemError, RuntimeError, AttributeError
# and the rest would all be faults.
ALLOWED = (TypeError, OverflowError, ValueError, IndexError, BufferError, MemoryError,
           Sentinel, OverBudget)


# ---------------------------------------------------------------- odd objects

class RaisesOnConversion:
    def __int__(self):
        raise Sentinel("__int__")

    def __float__(self):
        raise Sentinel("__float__")

    def __index__(self):
        raise Sentinel("__index__")

    def __bool__(self):
        raise Sentinel("__bool__")


class ConvertsToWrongTypes:
    def __int__(self):
        return "3"

    def __float__(self):
        return 3

    def __index__(self):
        return 3.5


class HugeInt:
    def __int__(self):
        return 10 ** 40

    def __float__(self):
        return 1e308


# Counts so large that, with the smallest sizes drawn (5 points), the time
# slices alone would need 40 bytes apiece: more than this machine has.
HUGE_COUNTS = [h for h in (2 ** 30, 2 ** 31 - 1) if 40 * h > MEMORY]
EXTREME_INTS = [-2 ** 31, -2 ** 31 - 1, 2 ** 31, 2 ** 63, -2 ** 63 - 1, 10 ** 30, -1, 0]
SPECIAL_FLOATS = [float("nan"), float("inf"), float("-inf"), 0.0, -0.0, 5e-324, -1.0,
                  1e308, -1e308, 1e-300]

DTYPES = ["?", "i1", "u1", "<i2", ">i2", "<u2", "<i4", ">i4", "<u4", "<i8", ">i8", "<u8",
          "<f2", "<f4", ">f4", "<f8", ">f8", "=f8", "g", "<c8", "<c16", "G", "O", "U3", "S3",
          "V8", "M8[ns]", "m8[s]", [("a", "<f8")], [("a", "<f8"), ("b", "<i4")]]


@st.composite
def pick(draw, *options):
    """One of the strategies, each equally likely. (st.one_of flattens nested
    alternatives into one list, which would let the many kinds of scalars
    crowd out everything else.)"""
    return draw(options[draw(st.integers(0, len(options) - 1))])


def scalars():
    """Scalars and small objects of every type that may stand anywhere."""
    return st.one_of(
        st.none(),
        st.booleans(),
        st.integers(-10, 10),
        st.sampled_from(EXTREME_INTS + HUGE_COUNTS),
        st.floats(),
        st.sampled_from(SPECIAL_FLOATS),
        st.complex_numbers(max_magnitude=1e3),
        st.sampled_from(["", "3", "2.5", "nan", "\u00e9t\u00e9"]),
        st.binary(max_size=9),
        st.sampled_from([np.int8(3), np.uint64(2 ** 64 - 1), np.int64(-5), np.int32(4),
                         np.float32(2.5), np.float64("nan"), np.float64(1e300), np.bool_(True),
                         np.complex128(1 + 2j), np.longdouble(3.0), np.datetime64(1, "s")]),
        st.sampled_from([fractions.Fraction(7, 2), decimal.Decimal("2.5"),
                         decimal.Decimal("NaN"), decimal.Decimal("sNaN"),
                         decimal.Decimal("-Infinity")]),
        st.builds(IndexOnly, st.sampled_from([3, -1, 2 ** 40, 2 ** 31 - 1])),
        st.sampled_from([RaisesOnConversion(), ConvertsToWrongTypes(), HugeInt(), object(),
                         [3], (3,), {"a": 1}, int, np.float64]),
    )


@st.composite
def odd_arrays(draw, length, element):
    """An array that differs from a well-formed one in its dtype or byte
    order, its shape, its layout or writability, or in all of them."""
    right = "<f8" if element == "d" else "<i4"
    vary = draw(st.sampled_from(["dtype", "shape", "layout", "everything"]))
    n, dtype, ndim, layout = length, np.dtype(right), 1, "plain"
    if vary in ("dtype", "everything"):
        dtype = np.dtype(draw(st.sampled_from(DTYPES + [">" + right[1:]])))
    if vary in ("shape", "everything"):
        ndim = draw(st.sampled_from([0, 2, 3]))
    if vary in ("layout", "everything"):
        layout = draw(st.sampled_from(["strided", "reversed", "fortran", "zero-stride",
                                       "read-only", "broadcast"]))
    if vary == "everything":
        n = draw(st.sampled_from([0, 1, max(length - 1, 0), length, length + 1, 12]))
    shape = {0: (), 1: (n,), 2: (1, n), 3: (2, 1, n)}[ndim]
    a = np.zeros(shape, dtype)
    if dtype.kind in "biufc" and a.size:
        a[...] = np.arange(a.size).reshape(shape) % 8
    if layout == "strided" and ndim >= 1:
        a = np.repeat(a, 2, axis=-1)[..., ::2]
    elif layout == "reversed" and ndim >= 1:
        a = a[..., ::-1]
    elif layout == "fortran":
        a = np.asfortranarray(np.zeros((3, n), dtype))
    elif layout == "zero-stride" and ndim == 1 and n > 1:
        a = np.lib.stride_tricks.as_strided(a[:1], shape=(n,), strides=(0,))
    elif layout == "read-only":
        a.flags.writeable = False
    elif layout == "broadcast" and ndim >= 1:
        a = np.broadcast_to(a, (2,) + a.shape)[0]
    return a


@st.composite
def other_exporters(draw, length, element):
    """Buffers that are not NumPy arrays, and sequences that are no buffers."""
    n = draw(st.sampled_from([0, length, length + 2]))
    values = [float(i % 5) + 1.0 for i in range(n)]
    ctype = ctypes.c_double if element == "d" else ctypes.c_int
    kind = draw(st.sampled_from(["array", "array-f", "array-u", "ctypes", "ctypes-struct",
                                 "memoryview", "memoryview-strided", "memoryview-bytes",
                                 "memoryview-read-only", "bytearray", "bytes", "list", "tuple"]))
    if kind == "array":
        return array.array(element, [int(v) if element == "i" else v for v in values])
    if kind == "array-f":
        return array.array("f", values)
    if kind == "array-u":
        return array.array("u", "x" * n)
    if kind == "ctypes":
        return (ctype * max(n, 1))()
    if kind == "ctypes-struct":
        class Pair(ctypes.Structure):
            _fields_ = [("a", ctypes.c_double), ("b", ctypes.c_int)]
        return (Pair * max(n, 1))()
    base = np.array(values, np.float64 if element == "d" else np.int32)
    if kind == "memoryview":
        return memoryview(base)
    if kind == "memoryview-strided":
        return memoryview(np.repeat(base, 2))[::2]
    if kind == "memoryview-bytes":
        return memoryview(base).cast("B")
    if kind == "memoryview-read-only":
        return memoryview(base).toreadonly()
    if kind == "bytearray":
        return bytearray(8 * n)
    if kind == "bytes":
        return bytes(8 * n)
    return values if kind == "list" else tuple(values)


def wrong_lengths(length, element):
    """Arrays of the right type whose length is not the one the call needs."""
    dtype = np.float64 if element == "d" else np.int32
    others = [k for k in range(length + 4) if k != length] + [40]
    return st.sampled_from(others).map(
        lambda k: (np.arange(k) % 8).astype(dtype) if element == "i"
        else np.linspace(-1.0, 1.0, k) ** 2 + 0.5)


def wild_array(length, element):
    return pick(wrong_lengths(length, element), odd_arrays(length, element),
                other_exporters(length, element), scalars())


def with_specials(values):
    """float64 arrays of the given values, some entries replaced by NaN,
    infinities, zeros or any other double."""
    swaps = st.lists(st.tuples(st.integers(0, len(values) - 1),
                               st.sampled_from(SPECIAL_FLOATS) | st.floats()),
                     max_size=2)
    return st.one_of(st.just([]), swaps).map(lambda s: np.array(_swapped(values, s), np.float64))


def _swapped(values, swaps):
    out = list(values)
    for index, value in swaps:
        out[index] = value
    return out


def wild_count():
    return pick(st.integers(-3, 6), st.sampled_from(EXTREME_INTS),
                st.sampled_from(HUGE_COUNTS or EXTREME_INTS), scalars())


def real(valid):
    """A well-typed real: the physical value, sometimes a special one."""
    return st.one_of(st.just(valid), st.just(valid), st.sampled_from(SPECIAL_FLOATS),
                     st.sampled_from([int(valid), np.float64(valid), np.float32(valid)]))


def wild_real():
    return pick(st.floats(), scalars())


@st.composite
def fit_calls(draw):
    """(positional arguments, keyword arguments, the value of every parameter
    given). Most parameters are well-formed and a few are wild, so that every
    check is reached; sizes that can reach the fit stay tiny."""
    nx = draw(st.integers(5, 7))
    nd = draw(st.integers(1, 2))
    n = nx * nd
    is_sa = draw(st.booleans())
    x = np.tile(np.linspace(-20.0, 20.0, nx), nd)
    dip = 1.0 - 0.1 * np.exp(-(x / 8.0) ** 2)
    y = 2.0 - dip if is_sa else dip
    pars = SA_PARS if is_sa else RSA_PARS
    factor = draw(st.sampled_from([1.0, 0.5, 2.0]))
    indices = st.lists(st.integers(0, 7), min_size=1, max_size=3)   # duplicates too
    bad_indices = st.lists(st.integers(0, 7) | st.sampled_from([-1, 8, 2 ** 31 - 1, -2 ** 31]),
                           min_size=1, max_size=3)
    # (well-formed, wild) of every parameter.
    kinds = {
        "x_data": (with_specials(list(x)), wild_array(n, "d")),
        "y_data": (with_specials(list(y)), wild_array(n, "d")),
        "populations": (with_specials([3e17, 0.0, 0.0, 0.0, 0.0, 1e16][:draw(st.integers(5, 6))]),
                        wild_array(5, "d")),
        "t_slices": (st.sampled_from([2, 3]), wild_count()),
        "z_slices": (st.sampled_from([2, 3]), wild_count()),
        "sample_width": (real(0.1), wild_real()),
        "tau": (real(4e-9), wild_real()),
        "wavelength": (real(5.32e-7), wild_real()),
        "w0": (real(2e-5), wild_real()),
        "M2": (real(1.0), wild_real()),
        "pulse_energy": (with_specials([1e-6 * factor] * nd), wild_array(nd, "d")),
        "spec_pars": (with_specials([p * factor for p in pars]), wild_array(8, "d")),
        "fit_indices": (indices.map(lambda v: np.array(v, np.int32)),
                        pick(bad_indices.map(lambda v: np.array(v, np.int32)),
                             wild_array(1, "i"))),
        "num_x_pts": (st.just(nx), wild_count()),
        "num_datasets": (st.just(nd), wild_count()),
        "is_sa": (st.sampled_from([is_sa, int(is_sa), np.bool_(is_sa)]), scalars()),
        "n_starts": (st.sampled_from([1, 2]), wild_count()),
    }
    mode = draw(st.sampled_from(["well-formed"] + ["one wild"] * 6 + ["two wild", "chaos"]))
    if mode == "well-formed":
        wild = set()
    elif mode == "chaos":
        wild = set(draw(st.lists(st.sampled_from(PARAM_NAMES), max_size=17)))
    else:
        wild = {draw(st.sampled_from(PARAM_NAMES)) for _ in range(1 if mode == "one wild" else 2)}
    values = {name: draw(kinds[name][name in wild]) for name in PARAM_NAMES}
    note(f"wild: {sorted(wild)}")

    # Positions for a prefix, keywords for the rest; the two optional
    # parameters may be left out, and the binding may be broken on purpose.
    n_positional = draw(st.integers(0, 17))
    positional = [values[name] for name in PARAM_NAMES[:n_positional]]
    keywords = {name: values[name] for name in PARAM_NAMES[n_positional:]}
    for name in ("is_sa", "n_starts"):
        if name in keywords and draw(st.integers(0, 3)) == 0:
            del keywords[name], values[name]
    binding = draw(st.sampled_from(["plain"] * 30 + ["missing", "extra", "twice", "too-many"]))
    if binding == "missing" and keywords:
        name = draw(st.sampled_from(sorted(keywords)))
        del keywords[name], values[name]
    elif binding == "extra":
        keywords[draw(st.sampled_from(["bogus", "x", "isSA", "N_starts"]))] = 1
    elif binding == "twice" and positional:
        keywords[PARAM_NAMES[draw(st.integers(0, n_positional - 1))]] = 1
    elif binding == "too-many" and n_positional == 17:
        positional.append(0)
    return positional, keywords, values


# ---------------------------------------------------------------- checks

def snapshot(value):
    """What must stay as it is: the bytes of a buffer, a copy of a sequence."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype, value.shape, value.tobytes())
    if isinstance(value, (bytearray, array.array, memoryview, ctypes.Array)):
        return ("buffer", memoryview(value).tobytes())
    if isinstance(value, list):
        return ("list", list(value))
    return ("object", id(value))


def check_result(result, values):
    assert type(result) is tuple and len(result) == 3
    residuals, error, fitted = result
    y = np.asarray(values["y_data"])
    spec_pars = np.asarray(values["spec_pars"])
    for out, length in ((residuals, len(y)), (fitted, len(spec_pars))):
        assert type(out) is np.ndarray and out.dtype == np.float64
        assert out.shape == (length,) and out.flags.c_contiguous
    assert type(error) is float and (error >= 0.0 or error != error)
    fitted_entries = set(np.asarray(values["fit_indices"]).tolist())
    for k in range(len(spec_pars)):
        if k not in fitted_entries:
            assert fitted[k:k + 1].tobytes() == spec_pars[k:k + 1].tobytes(), k


def over_budget(signum, frame):
    raise OverBudget(f"fit took longer than {BUDGET_SECONDS} s")


@pytest.fixture
def time_budget():
    """Stops a call through the interrupt check after BUDGET_SECONDS (the
    timer is set per call); the watchdog, also rearmed per call, ends the
    process with every thread's traceback if a call hangs outright."""
    previous = signal.signal(signal.SIGALRM, over_budget)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        signal.signal(signal.SIGALRM, previous)


def pinned(test):
    """Cases every run tries first, whatever the generator draws: the memory
    limits, the NumPy errors of the tables, odd but valid values, and
    conversions that raise."""
    nan, inf = float("nan"), float("inf")
    cases = [dict(n_starts=-1), dict(n_starts=0), dict(fit_indices=[0, 0, 7], n_starts=1),
             dict(x_data=np.full(11, nan)), dict(y_data=np.full(11, nan), is_sa=True),
             dict(spec_pars=[0.0, -1.0, inf, 0.0, nan, 1e-12, -1e-5, 0.0], n_starts=1),
             dict(populations=[inf, -1.0, 0.0, nan, 0.0], fit_indices=[1, 3], n_starts=1),
             dict(is_sa=RaisesOnConversion()), dict(tau=RaisesOnConversion()),
             dict(t_slices=IndexOnly(3)), dict(M2=ConvertsToWrongTypes())]
    cases += [dict(count) for huge in HUGE_COUNTS
              for count in ({"t_slices": huge}, {"z_slices": huge}, {"n_starts": huge})]
    for overrides in cases:
        values = call_args(**overrides)
        test = example(call=([], dict(values), values))(test)
    return test


def fuzz_settings(test):
    test = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    derandomize=SEED is None, print_blob=True,
                    suppress_health_check=list(HealthCheck))(test)
    return test if SEED is None else seed(int(SEED))(test)


@fuzz_settings
@pinned
@given(call=fit_calls())
def test_fit_zscan_never_crashes_hangs_or_writes_its_inputs(time_budget, call):
    positional, keywords, values = call
    before = {name: snapshot(value) for name, value in values.items()}
    note(f"positional={len(positional)} keywords={sorted(keywords)}")
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    signal.setitimer(signal.ITIMER_REAL, BUDGET_SECONDS)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")   # NumPy's deprecations are not errors
            result = kesp_wrapper.fit_zscan(*positional, **keywords)
    except ALLOWED as error:
        assert str(error), type(error)
        event(type(error).__name__)
    else:
        event("result")
        check_result(result, values)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
    for name, value in values.items():
        assert snapshot(value) == before[name], name
