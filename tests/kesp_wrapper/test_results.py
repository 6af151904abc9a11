# What fit_zscan returns: views of its per-call tables, inputs left as they
# were, the centring of the scan, and end-to-end fits of saturable and
# reverse saturable absorbers against reference figures and against data made
# by the model itself. Relies on the installed module and the reference file.
import gc

import numpy as np
import pytest

import kesp_wrapper
from conftest import (IDLE, RSA_SETUP, RSA_PARS, SA_SETUP, SA_PARS, START_FACTORS, X11,
                      call_args, f64, fit, i32, model)

ARRAY_NAMES = ("x_data", "y_data", "populations", "pulse_energy", "spec_pars", "fit_indices")


@pytest.mark.parametrize("n_starts", [1, 3])
def test_results_are_writable_views_that_keep_their_tables(n_starts):
    args = call_args(n_starts=n_starts)
    before = {name: np.array(args[name], copy=True) for name in ARRAY_NAMES}
    residuals, error, pars = kesp_wrapper.fit_zscan(**args)

    # The caller's arrays are never written, spec_pars included.
    for name in ARRAY_NAMES:
        assert np.array_equal(args[name], before[name]) and args[name].dtype == before[name].dtype
    assert type(error) is float

    for result, length in ((residuals, 11), (pars, 8)):
        assert type(result) is np.ndarray and result.dtype == np.float64
        assert result.shape == (length,) and result.flags.c_contiguous
        assert result.flags.writeable and not result.flags.owndata
        # The memory is that of the table of all starts, held by the view.
        assert result.base.size == n_starts * length and np.shares_memory(result, result.base)
    # Every start's row is in the table; equal errors: row 0 is returned.
    table = pars.base.reshape(n_starts, 8)
    factors = np.array(START_FACTORS[n_starts])
    assert np.array_equal(table[:, IDLE], factors * RSA_PARS[IDLE])
    assert np.array_equal(table[0], pars)

    del args, before, table
    gc.collect()
    pars[0] = 5.0
    assert pars.base.reshape(n_starts, 8)[0, 0] == 5.0 and pars[1] == RSA_PARS[1]
    assert np.array_equal(residuals, fit(n_starts=n_starts)[0])


@pytest.mark.parametrize("is_sa", [True, False])
def test_scan_is_centred_on_the_first_extremum(is_sa):
    sign = 1.0 if is_sa else -1.0
    y = np.ones(11)
    y[[2, 6]] = 1.0 + sign * 0.05       # two equal extremes; the first is the centre
    base = fit(y_data=y, is_sa=is_sa)

    # Only positions relative to the centre count.
    shifted = fit(y_data=y, is_sa=is_sa, x_data=X11 + 7.0)
    assert np.array_equal(shifted[0], base[0]) and shifted[1] == base[1]

    # Weakening the second extreme leaves the centre: only its own residual moves.
    second = y.copy()
    second[6] -= sign * 0.01
    moved = base[0] - fit(y_data=second, is_sa=is_sa)[0]
    assert np.allclose(moved[6], sign * 0.01, rtol=1e-12)
    assert np.array_equal(np.delete(moved, 6), np.zeros(10))

    # Weakening the first moves the centre to the second: the model changes.
    first = y.copy()
    first[2] -= sign * 0.01
    moved = base[0] - fit(y_data=first, is_sa=is_sa)[0]
    assert np.abs(np.delete(moved, 2)).max() > 1e-3


@pytest.mark.parametrize("name, index", [("rsa_n11_T4_Z3", 1), ("sa_n13_T3_Z5", 0)])
def test_reference_scans_are_reproduced_and_their_parameters_recovered(
        reference_cases, name, index):
    # Data and parameters of an independent implementation. The scan is moved
    # by 3 mm: the fit centres it again on the extremum. The middle start
    # begins at the parameters the data were made with, the others 0.302 and
    # 3.311 times away from them.
    case = reference_cases[name]
    truth = f64(case["spec_pars"])
    x = f64(case["centered_x_mm"]) + 3.0
    residuals, error, pars = kesp_wrapper.fit_zscan(
        x, f64(case["model"]), f64(case["populations"]), case["t_slices"], case["z_slices"],
        case["sample_width"], case["tau"], case["wavelength"], case["w0"], case["M2"],
        f64([case["pulse_energy"]]), truth, i32([index]), len(x), 1, name.startswith("sa"), 3)
    assert error < 1e-6 and np.abs(residuals).max() < 1e-6
    assert pars[index] == pytest.approx(truth[index], rel=1e-3)
    assert np.array_equal(np.delete(pars, index), np.delete(truth, index))


@pytest.mark.parametrize("setup, pars, index", [(RSA_SETUP, RSA_PARS, 1),
                                                (SA_SETUP, SA_PARS, 0)])
def test_two_data_sets_made_by_the_model_are_fitted(setup, pars, index):
    energies = (setup["pulse_energy"][0], 3.0 * setup["pulse_energy"][0])
    two = dict(setup, pulse_energy=energies)
    y = model(pars, num_datasets=2, **two)
    # Data sets are independent: the second is the model at its own energy.
    assert np.array_equal(y[11:], model(pars, **dict(setup, pulse_energy=energies[1:])))
    assert not np.array_equal(y[:11], y[11:])

    residuals, error, fitted = fit(**two, x_data=np.tile(X11, 2), y_data=y, num_x_pts=11,
                                   num_datasets=2, spec_pars=pars, fit_indices=(index,))
    assert error == 0.0 and not residuals.any() and residuals.shape == (22,)
    assert tuple(fitted) == pars


X31 = np.linspace(-30.0, 30.0, 31)


@pytest.mark.parametrize("num_datasets", [1, 2])
@pytest.mark.parametrize("setup, pars, index", [(RSA_SETUP, RSA_PARS, 1),
                                                (SA_SETUP, SA_PARS, 0)],
                         ids=["rsa", "sa"])
def test_fit_started_away_recovers_the_parameters_the_data_were_made_with(
        setup, pars, index, num_datasets):
    # Data made by the model at `pars` (one or two pulse energies); the given
    # start is 1.4 times the true value, so the three starts begin 0.42, 1.4
    # and 4.6 times away. The best of them comes back to the truth.
    energies = (setup["pulse_energy"][0], 3.0 * setup["pulse_energy"][0])[:num_datasets]
    scan = dict(setup, pulse_energy=energies, t_slices=10, z_slices=5)
    y = model(pars, x=X31, num_datasets=num_datasets, extremum_at=15, **scan)
    start = list(pars)
    start[index] *= 1.4
    residuals, error, fitted = fit(**scan, x_data=np.tile(X31, num_datasets), y_data=y,
                                   num_x_pts=31, num_datasets=num_datasets,
                                   spec_pars=tuple(start), fit_indices=(index,))
    assert fitted[index] == pytest.approx(pars[index], rel=1e-3)
    assert np.array_equal(np.delete(fitted, index), np.delete(f64(pars), index))
    assert error < 1e-3 and np.abs(residuals).max() < 1e-3
