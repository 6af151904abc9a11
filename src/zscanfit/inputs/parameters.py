"""The eight spectroscopic parameters by name, as lmfit Parameters, and
the beam's parameters a fit may free beside them.

make_params builds them from values with free/fixed flags and bounds
(default: positive; the focus position unbounded); read_params turns
whatever the user hands to fit or model (Parameters, a mapping, eight
values) into checked Parameters. The beam's parameters (center_mm, the
focus position in the scans' frame; w0; M2) are optional: given, they
override the experiment's (or the focus found in the data). A global
fit's files each have their own focus, center_mm_1, center_mm_2, ...; a
fit with linear data may hold the parameter it derives from sigma_0
('concentration' or 'extinction', an lmfit expression: the only
expressions read_params accepts). Relies on lmfit, convert.py,
linear_absorption.py and texts.py.
"""
import math
import re
from typing import Any, Dict, Iterable, Mapping, Optional, Sequence, Tuple

import lmfit
import numpy as np

from .. import texts
from .convert import float_scalar, float_vector
from .linear_absorption import TIED_NAMES, is_tie

__all__ = ["PARAMETER_NAMES", "BEAM_NAMES", "ALL_NAMES", "PARAMETER_UNITS", "make_params",
           "read_params", "spec_pars_of", "beam_values", "names_of", "start_factors",
           "add_parameter", "parameter_bounds", "TIED_NAMES", "focus_name", "is_focus_name",
           "focus_index", "unit_of"]

#: The eight spectroscopic parameters, in the order of spec_pars.
PARAMETER_NAMES: Tuple[str, ...] = (
    "sigma_0",  # cross-section of level 0 (0 -> 1), cm^2
    "sigma_1",  # cross-section of level 1 (1 -> 2), cm^2
    "sigma_2",  # cross-section of level 3 (3 -> 4), cm^2
    "tau_10",   # lifetime of the transition 1 -> 0, s
    "tau_13",   # lifetime of the transition 1 -> 3, s
    "tau_21",   # lifetime of the transition 2 -> 1, s
    "tau_30",   # lifetime of the transition 3 -> 0, s
    "tau_43",   # lifetime of the transition 4 -> 3, s
)
# The beam's parameters a fit may free: the focus position (mm, in the
# scans' frame), the beam waist radius (m) and the beam quality factor.
BEAM_NAMES: Tuple[str, ...] = ("center_mm", "w0", "M2")
ALL_NAMES: Tuple[str, ...] = PARAMETER_NAMES + BEAM_NAMES
#: The unit of every parameter a fit may free, by name.
PARAMETER_UNITS: Dict[str, str] = dict(
    {name: ("cm^2" if name.startswith("sigma") else "s") for name in PARAMETER_NAMES},
    center_mm="mm", w0="m", M2="", concentration="mol/L", extinction="L/(mol cm)")

# A global fit's focus of its k-th file (from 1).
_FOCUS_OF_FILE = re.compile(r"^center_mm_([1-9][0-9]*)$")


def focus_name(index: int) -> str:
    """The name of the focus of a global fit's file ``index`` (from 0)."""
    return f"center_mm_{index + 1}"


def focus_index(name: str) -> Optional[int]:
    """The file (from 0) of a per-file focus name, None for other names."""
    match = _FOCUS_OF_FILE.match(name)
    return int(match.group(1)) - 1 if match else None


def is_focus_name(name: str) -> bool:
    """center_mm, or a global fit's focus of one file."""
    return name == "center_mm" or focus_index(name) is not None


def unit_of(name: str) -> str:
    """The unit of a parameter ('' for M2)."""
    return "mm" if is_focus_name(name) else PARAMETER_UNITS[name]


def start_factors(n_starts: int, method: str = "exact") -> Tuple[float, ...]:
    """The factors by which the starts multiply the free start values.

    fit_zscan's (method='exact', the default): 10**(1.04 i / max(n-1, 1) -
    0.52), evaluated in the same order of operations, so they are
    bit-identical: from 0.302 to 3.311 times the start values; with an odd
    count of 3 or more the middle one is exactly 1.0, and a single start
    uses 0.302. The robust method's are the same, except that a single
    start is the start values themselves (1.0).
    """
    if method == "robust" and n_starts == 1:
        return (1.0,)
    denominator = float(max(n_starts - 1, 1))
    return tuple(10.0 ** ((float(i) * 1.04) / denominator - 0.52) for i in range(n_starts))


# lmfit refuses a parameter whose min and max lie within 1e-13 of each other
# (an absolute test), which every finite pair of bounds on a cross-section
# near 1e-17 cm^2 or a nanosecond lifetime does. Such bounds are kept in the
# parameter's user_data under this key, lmfit's own min and max left open;
# parameter_bounds reads either.
BOUNDS_KEY = "zscanfit_bounds"


def _lmfit_takes(low: float, high: float) -> bool:
    return not math.isclose(low, high, abs_tol=1e-13, rel_tol=1e-13)


def add_parameter(params: lmfit.Parameters, name: str, value: float, vary: bool,
                  low: float, high: float) -> lmfit.Parameter:
    """Adds a parameter with bounds [low, high] (infinite: none), also
    bounds lmfit itself would refuse as too close; returns it."""
    if _lmfit_takes(low, high):
        params.add(name, value=value, vary=vary, min=low, max=high)
    else:
        params.add(name, value=value, vary=vary, min=-np.inf, max=np.inf)
        params[name].user_data = {BOUNDS_KEY: (float(low), float(high))}
    return params[name]


def parameter_bounds(param: lmfit.Parameter) -> Tuple[float, float]:
    """(low, high) of a parameter, infinite where open."""
    data = param.user_data
    if isinstance(data, dict) and BOUNDS_KEY in data:
        low, high = data[BOUNDS_KEY]
        return float(low), float(high)
    return (-np.inf if param.min is None else float(param.min),
            np.inf if param.max is None else float(param.max))


def _check_name(name: str, strict: bool = True) -> None:
    """ValueError for an unknown name; ``strict``: one of ALL_NAMES (the
    names make_params takes), else also a file's focus or a tied name."""
    if name not in ALL_NAMES and (strict or (focus_index(name) is None
                                             and name not in TIED_NAMES)):
        raise ValueError(texts.UNKNOWN_PARAMETER.format(
            name=name, names=", ".join(ALL_NAMES)))


def _default_bounds(name: str) -> Tuple[Optional[float], Optional[float]]:
    return (None, None) if is_focus_name(name) else (0.0, None)


def names_of(params: Any) -> Tuple[str, ...]:
    """The names of ``params`` (or of any collection of names), in the
    order of ALL_NAMES, then the files' foci, then the tied parameters."""
    files = sorted((focus_index(name), name) for name in params
                   if focus_index(name) is not None)
    return (tuple(name for name in ALL_NAMES if name in params)
            + tuple(name for _, name in files)
            + tuple(name for name in TIED_NAMES if name in params))


def make_params(values: Optional[Sequence[float]] = None, *,
                free: Iterable[str] = (),
                bounds: Optional[Mapping[str, Tuple[Optional[float], Optional[float]]]] = None,
                **named: float) -> lmfit.Parameters:
    """The eight spectroscopic parameters as lmfit Parameters, and the
    beam's parameters when they are named.

    Parameters
    ----------
    values : sequence of 8 floats, optional
        sigma_0, sigma_1, sigma_2 (cm^2), tau_10, tau_13, tau_21, tau_30,
        tau_43 (s) in this order, e.g. a file's spec_pars. Keywords override.
    free : str or iterable of str
        Names of the parameters to fit (one name may be given alone); the
        others stay fixed. The beam's parameters center_mm (mm, the focus in
        the scans' frame), w0 (m) and M2 may be among them: without a value
        they start from the focus found in the data and the experiment's
        w0 and M2.
    bounds : mapping name -> (min, max), optional
        Bounds of the named parameters; None for no bound on that side.
        Default: (0, inf), that is positive; center_mm unbounded.
    **named : float
        Values by name, e.g. ``sigma_0=1.5e-17``, ``center_mm=0.4``; a beam
        parameter given a value overrides the experiment's (or the focus
        found in the data) also when fixed.

    Returns
    -------
    lmfit.Parameters
        All eight in the order above, then the beam's parameters named; free
        ones have ``vary=True``.

    Raises
    ------
    ValueError
        An unknown name, a value missing for any of the eight, or bounds
        that exclude the value.

    Examples
    --------
    >>> p = make_params([1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12],
    ...                 free=["sigma_0", "sigma_1"], sigma_0=1.5e-17)
    >>> p["sigma_0"].value, p["sigma_0"].vary, p["tau_10"].vary
    (1.5e-17, True, False)
    """
    given: Dict[str, float] = {}
    if values is not None:
        vector = float_vector(values, "values", length=len(PARAMETER_NAMES),
                              fix="give the eight parameters in the order " +
                              ", ".join(PARAMETER_NAMES))
        given.update(zip(PARAMETER_NAMES, vector.tolist()))
    for name, value in named.items():
        _check_name(name)
        given[name] = value
    missing = [name for name in PARAMETER_NAMES if name not in given]
    if missing:
        raise ValueError(texts.MISSING_PARAMETERS.format(names=", ".join(missing)))
    free_set = set()
    for name in ((free,) if isinstance(free, str) else free):
        _check_name(name)
        free_set.add(name)
    bounds = dict(bounds or {})
    for name in bounds:
        _check_name(name)
    params = lmfit.Parameters()
    for name in ALL_NAMES:
        if name in BEAM_NAMES and name not in given:
            if name not in free_set:
                continue
            given[name] = math.nan  # from the experiment, or the data's focus
        low, high = _bound_pair(name, bounds.get(name, _default_bounds(name)))
        if not low < high:
            raise ValueError(texts.BAD_BOUNDS.format(name=name, low=low, high=high))
        value = _start_value(given[name], name)
        if not low <= value <= high and not math.isnan(value):  # lmfit would clip it
            raise ValueError(texts.START_OUTSIDE.format(name=name, value=value,
                                                        low=low, high=high))
        add_parameter(params, name, value, name in free_set, low, high)
    return read_params(params)


def _bound_pair(name: str, given: Any) -> Tuple[float, float]:
    """(min, max) of a parameter as floats, None standing for no bound."""
    try:
        low, high = given
        return (-np.inf if low is None else float(low),
                np.inf if high is None else float(high))
    except (TypeError, ValueError):
        raise ValueError(texts.BOUNDS_NOT_PAIR.format(name=name, given=given)) from None


def read_params(params: Any) -> lmfit.Parameters:
    """A checked copy of ``params`` as lmfit Parameters of the eight names.

    Accepts lmfit Parameters, a mapping of name to value (all fixed,
    bounds (0, inf)) or eight values in order. Checks the names, finite
    values, bounds that hold the value, and no expressions but the tie of
    a parameter derived from sigma_0 by linear data ('concentration',
    'extinction'), which is left out: a fit derives it again from its
    experiment.
    """
    if isinstance(params, lmfit.Parameters):
        for name in params:
            _check_name(name, strict=False)
        missing = [name for name in PARAMETER_NAMES if name not in params]
        if missing:
            raise ValueError(texts.MISSING_PARAMETERS.format(names=", ".join(missing)))
        result = lmfit.Parameters()
        for name in names_of(params):
            source = params[name]
            if name in TIED_NAMES:
                if not is_tie(name, source.expr):
                    raise ValueError(texts.TIED_NOT_EXPRESSION.format(name=name,
                                                                      expr=source.expr))
                continue
            if source.expr:
                raise ValueError(texts.EXPRESSION.format(name=name, expr=source.expr))
            low, high = parameter_bounds(source)
            value = _start_value(source.value, name)
            if not low <= value <= high and not math.isnan(value):
                raise ValueError(texts.START_OUTSIDE.format(name=name, value=value,
                                                            low=low, high=high))
            add_parameter(result, name, value, bool(source.vary), low, high)
        return result
    if isinstance(params, Mapping):
        return make_params(**params)
    if isinstance(params, (str, bytes)):
        raise ValueError(texts.PARAMETERS_TYPE.format(kind=type(params).__name__))
    try:
        return make_params(params)
    except ValueError as exc:
        if "must be numbers" in str(exc) or "one-dimensional" in str(exc):
            raise ValueError(texts.PARAMETERS_TYPE.format(kind=type(params).__name__)) from None
        raise


def _finite(value: Any, name: str) -> float:
    return float_scalar(value, name, fix="give a finite start value")


# No physical parameter comes near this in size (cross-sections in cm^2,
# lifetimes in s, w0 in m, the focus in mm); lmfit cannot hold values near
# 1e154 at all.
LARGEST_VALUE = 1e100


def _start_value(value: Any, name: str) -> float:
    """A finite start value; for a beam parameter also NaN (start from the
    experiment, or the focus found in the data), for a lifetime also +inf
    (no decay). A lifetime must be positive; no value may exceed
    LARGEST_VALUE in size."""
    if (name in BEAM_NAMES or focus_index(name) is not None) and isinstance(value, float) \
            and math.isnan(value):
        return value
    if name.startswith("tau_") and isinstance(value, (int, float, np.floating)) \
            and value == math.inf:
        return math.inf
    number = _finite(value, name)
    if abs(number) > LARGEST_VALUE:
        raise ValueError(texts.VALUE_TOO_LARGE.format(name=name, value=number,
                                                      largest=LARGEST_VALUE,
                                                      unit=unit_of(name) or "1"))
    if name.startswith("tau_") and not number > 0.0:
        raise ValueError(texts.LIFETIME_NOT_POSITIVE.format(name=name, value=number))
    return number


def beam_values(params: lmfit.Parameters) -> Dict[str, float]:
    """The beam's parameters ``params`` holds, by name (NaN: not yet
    known), the files' foci of a global fit included."""
    return {name: float(params[name].value) for name in names_of(params)
            if name in BEAM_NAMES or focus_index(name) is not None}


def spec_pars_of(params: lmfit.Parameters) -> np.ndarray:
    """The eight values as a float64 vector in fit_zscan's order."""
    return np.array([params[name].value for name in PARAMETER_NAMES], dtype=np.float64)


def free_names(params: lmfit.Parameters) -> Tuple[str, ...]:
    """Names of the free parameters, in the order of ALL_NAMES."""
    return tuple(name for name in names_of(params) if params[name].vary)


def has_positive_bound(params: lmfit.Parameters, name: str) -> bool:
    """True when the parameter's lower bound is 0 or above (fitted in log)."""
    low = parameter_bounds(params[name])[0]
    return math.isfinite(low) and low >= 0.0
