"""Conversion of user input (lists, arrays of any dtype, order or
contiguity, read-only views, NumPy scalars) into the float64 C-contiguous
arrays and Python numbers the model entry needs.

Every failure is a ValueError naming the argument and the fix (texts.py).
Relies on NumPy.
"""
import math
import operator
from typing import Any, Optional

import numpy as np

from .. import texts

__all__ = ["float_vector", "float_scalar", "int_scalar"]


def _kind(value: Any) -> str:
    if isinstance(value, np.ndarray):
        return f"array of dtype {value.dtype}"
    return type(value).__name__


def float_vector(value: Any, name: str, *, length: Optional[int] = None,
                 fix: str = "") -> np.ndarray:
    """A new writable float64 C-contiguous 1-D copy of ``value``.

    Accepts lists, tuples and arrays of booleans, integers or floats in any
    memory layout; refuses strings, complex numbers and shapes other than
    one-dimensional with a ValueError naming ``name``.
    """
    try:
        array = np.asarray(value)
    except (TypeError, ValueError):
        raise ValueError(texts.NOT_NUMBERS.format(name=name, kind=_kind(value))) from None
    if array.dtype.kind == "O":
        try:
            array = array.astype(np.float64)
        except (TypeError, ValueError):
            raise ValueError(texts.NOT_NUMBERS.format(name=name, kind=_kind(value))) from None
    if array.dtype.kind not in "biuf":
        raise ValueError(texts.NOT_NUMBERS.format(name=name, kind=_kind(array)))
    if array.ndim != 1:
        raise ValueError(texts.NOT_1D.format(name=name, shape=array.shape))
    if length is not None and array.shape[0] != length:
        raise ValueError(texts.WRONG_LENGTH.format(
            name=name, expected=length, got=array.shape[0], fix=f"; {fix}" if fix else ""))
    return np.array(array, dtype=np.float64, order="C", copy=True)


def float_scalar(value: Any, name: str, *, positive: bool = False,
                 fix: str = "") -> float:
    """``value`` as a finite Python float (positive if asked).

    Accepts Python and NumPy numbers and one-element arrays; refuses
    strings, sequences and non-finite values with a ValueError naming ``name``.
    """
    if isinstance(value, (str, bytes)) or value is None:
        raise ValueError(texts.NOT_SCALAR.format(name=name, kind=_kind(value), fix=fix))
    if isinstance(value, np.ndarray):
        if value.size != 1 or value.dtype.kind not in "biuf":
            raise ValueError(texts.NOT_SCALAR.format(name=name, kind=_kind(value), fix=fix))
        value = value.reshape(()).item()
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(texts.NOT_SCALAR.format(name=name, kind=_kind(value), fix=fix)) from None
    if not math.isfinite(number):
        raise ValueError(texts.NOT_FINITE.format(name=name, value=number, fix=fix))
    if positive and not number > 0.0:
        raise ValueError(texts.NOT_POSITIVE.format(name=name, value=number, fix=fix))
    return number


def int_scalar(value: Any, name: str, *, minimum: int, fix: str = "",
               maximum: Optional[int] = None) -> int:
    """``value`` as a Python int of at least ``minimum`` (and at most
    ``maximum`` when given).

    Integral floats (10.0) are accepted; 10.5, strings and booleans are not.
    """
    if isinstance(value, bool) or isinstance(value, (str, bytes)) or value is None:
        raise ValueError(texts.NOT_INTEGER.format(name=name, value=value, fix=fix))
    try:
        number = operator.index(value)
    except TypeError:
        try:
            as_float = float(value)
        except (TypeError, ValueError):
            raise ValueError(texts.NOT_INTEGER.format(name=name, value=value, fix=fix)) from None
        if not (math.isfinite(as_float) and as_float == int(as_float)):
            raise ValueError(texts.NOT_INTEGER.format(name=name, value=value, fix=fix)) from None
        number = int(as_float)
    if number < minimum:
        raise ValueError(texts.INTEGER_TOO_SMALL.format(
            name=name, minimum=minimum, value=number, fix=fix))
    if maximum is not None and number > maximum:
        raise ValueError(texts.INTEGER_TOO_LARGE.format(
            name=name, maximum=maximum, value=number, fix=fix))
    return number
