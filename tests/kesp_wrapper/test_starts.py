# The starts of fit_zscan: their factors, and which start is returned when
# errors tie or are NaN. Relies on the installed module and on model data
# made by the module itself (conftest.model).
import math

import numpy as np
import pytest

from conftest import IDLE, RSA_SETUP, RSA_PARS, START_FACTORS, fit, model

_data = {}


def data_at(pars):
    """Model transmittance at `pars`, made once per distinct vector."""
    if pars not in _data:
        _data[pars] = model(pars, **RSA_SETUP)
    return _data[pars]


def with_entry(index, value, pars=RSA_PARS):
    changed = list(pars)
    changed[index] = value
    return tuple(changed)


@pytest.mark.parametrize("n_starts", [1, 2, 3, 4, 5])
def test_each_start_begins_at_its_factor(n_starts):
    # Data made at lifetime 1 -> 0 = factor_i * 5e-9: start i begins exactly
    # there, so its residuals and error are 0.0 and it is the best start.
    lifetime = RSA_PARS[3]
    for factor in START_FACTORS[n_starts]:
        truth = with_entry(3, factor * lifetime)
        residuals, error, pars = fit(y_data=data_at(truth), fit_indices=(3,), n_starts=n_starts)
        assert error == 0.0 and not residuals.any(), (n_starts, factor, error)
        assert tuple(pars) == truth


@pytest.mark.parametrize("n_starts", [1, 2, 3, 4, 5])
def test_equal_errors_return_the_first_start(n_starts):
    # Entry 7 has no effect: every start ends where it began, with one error.
    residuals, error, pars = fit(n_starts=n_starts)
    alone = fit(n_starts=1)
    assert error == alone[1] and np.array_equal(residuals, alone[0])
    assert tuple(pars) == with_entry(IDLE, START_FACTORS[n_starts][0] * RSA_PARS[IDLE])


def test_a_nan_error_never_wins():
    # A lifetime 4 -> 3 whose reciprocal overflows makes the rate of an empty
    # level infinity * 0 = NaN, and the start's error NaN. Any finite lifetime
    # has no effect. Starts whose factor times 1e-308 lies below 1/DBL_MAX are
    # NaN; the first of the others is returned, with the error of any finite
    # lifetime.
    pars = with_entry(IDLE, 1e-308)
    finite = fit(n_starts=1)
    for n_starts in (2, 3, 4, 5):
        factors = START_FACTORS[n_starts]
        first = next(i for i, f in enumerate(factors) if math.isfinite(1.0 / (f * 1e-308)))
        assert first > 0
        residuals, error, fitted = fit(spec_pars=pars, n_starts=n_starts)
        assert error == finite[1] and np.array_equal(residuals, finite[0])
        assert tuple(fitted) == with_entry(IDLE, factors[first] * 1e-308)


def test_start_0_is_returned_when_every_error_is_nan():
    pars = with_entry(IDLE, 1e-308)
    residuals, error, fitted = fit(spec_pars=pars, n_starts=1)
    assert math.isnan(error) and np.isnan(residuals).all()
    y = data_at(RSA_PARS).copy()
    y[2] = np.nan
    residuals, error, fitted = fit(y_data=y, n_starts=3)
    assert math.isnan(error) and math.isnan(residuals[2])
    assert tuple(fitted) == with_entry(IDLE, START_FACTORS[3][0] * RSA_PARS[IDLE])
