# The robust fit's Jacobian from the whole-beam model's derivatives: each
# column against central differences of the weighted residuals evaluated at
# a tight tolerance (spectroscopic parameters, the focus, w0 and M2, through
# the wing normalisation and the fit coordinates), a global fit's focus of
# one file moving that file's rows only, and the fit using it, with standard
# errors those of the differences. Where the model has no derivatives (the
# on-axis model, sigma_0 tied to an absorbance) the fit keeps its differences.
import numpy as np
import pytest

import zscanfit
from zscanfit.evaluation.models import ModelSpec
from zscanfit.evaluation.problem import DataSet, FitProblem
from zscanfit.fitting.coordinates import Coordinates
from zscanfit.fitting.robust import exact_jacobian

from conftest import RSA_TRUTH, quiet, synthetic_scans

EXP = zscanfit.Experiment(wavelength=532e-9, w0=20e-6, M2=1.2, tau=4e-9, sample_width=0.1,
                          populations=[3e17, 0.0, 0.0, 0.0, 0.0])
POSITIONS = np.linspace(-12.0, 12.0, 13)


def problem_of(scans, tolerance, data_sets=None):
    return FitProblem(scans, EXP, False, model=ModelSpec("whole-beam", tolerance),
                      data_sets=data_sets)


def central_differences(problem, coords, u, step=1e-3):
    columns = []
    for j in range(len(u)):
        up, down = np.array(u, dtype=float), np.array(u, dtype=float)
        up[j] += step
        down[j] -= step
        columns.append((problem.residuals_at(coords.point(coords.to_values(up)))
                        - problem.residuals_at(coords.point(coords.to_values(down))))
                       / (2.0 * step))
    return np.column_stack(columns)


def assert_columns_close(exact, reference, relative=1e-4):
    for j in range(reference.shape[1]):
        scale = np.max(np.abs(reference[:, j]))
        assert scale > 0.0
        assert np.max(np.abs(exact[:, j] - reference[:, j])) <= relative * scale, j


@pytest.fixture(scope="module")
def scans():
    return synthetic_scans(RSA_TRUTH, exp=EXP, positions=POSITIONS, model="whole-beam",
                           noise=1e-3, seed=4)


def test_each_column_is_that_of_tight_central_differences(scans):
    free = ["sigma_1", "tau_10", "center_mm", "w0", "M2"]
    params = zscanfit.make_params(RSA_TRUTH, free=free, center_mm=0.3, w0=20e-6, M2=1.2)
    coords = Coordinates(params, free, scales={"center_mm": EXP.rayleigh_range_mm})
    u = coords.to_internal([4.4e-17, 4e-9, 0.3, 21e-6, 1.2]) + 0.0
    fit_problem = problem_of(scans, 1e-5)
    names = fit_problem.slope_names(free)
    assert names == ("sigma_1", "tau_10", "center_mm", "w0", "M2")
    evaluated, jacobian = exact_jacobian(fit_problem, coords, u, names)
    # The values beside the derivatives are those of a plain evaluation.
    plain = fit_problem.evaluate_at(coords.point(coords.to_values(u)))
    for with_slopes, alone in zip(evaluated.values, plain.values):
        assert np.array_equal(with_slopes, alone)
    tight = problem_of(scans, 3e-10)
    assert_columns_close(jacobian, central_differences(tight, coords, u))


def test_a_files_own_focus_moves_its_rows_only(scans):
    sets = [DataSet(tuple(scans[:1]), EXP, 0.2), DataSet(tuple(scans[1:]), EXP, -0.1)]
    free = ["sigma_1", "center_mm_1", "center_mm_2"]
    params = zscanfit.make_params(RSA_TRUTH, free=["sigma_1"])
    params.add("center_mm_1", value=0.2)
    params.add("center_mm_2", value=-0.1)
    coords = Coordinates(params, free, scales={"center_mm": EXP.rayleigh_range_mm})
    u = coords.to_internal([4.2e-17, 0.25, -0.15])
    fit_problem = problem_of(None, 1e-5, data_sets=sets)
    names = fit_problem.slope_names(free)
    assert names == ("sigma_1", "center_mm", "center_mm")
    _, jacobian = exact_jacobian(fit_problem, coords, u, names)
    first = POSITIONS.size
    assert np.all(jacobian[first:, 1] == 0.0) and np.all(jacobian[:first, 2] == 0.0)
    assert_columns_close(jacobian, central_differences(problem_of(None, 3e-10, sets), coords, u))


def test_the_fit_uses_the_derivatives_and_its_errors_are_those_of_differences(scans):
    free = ["sigma_1", "tau_10"]
    params = zscanfit.make_params(RSA_TRUTH, free=free)
    with quiet():
        result = zscanfit.fit(scans, EXP, params, n_starts=1, fix_focus=True, center_mm=0.0)
    assert result.minimizer_result.call_kws["jac"] == "the model's derivatives"
    fit_problem = problem_of(scans, 3e-10)
    coords = Coordinates(params, free)
    u = coords.to_internal([result.values[n] for n in free])
    reference = central_differences(fit_problem, coords, u)
    covariance = np.linalg.inv(reference.T @ reference) * result.redchi
    dv_du = coords.derivatives(u)
    for j, name in enumerate(free):
        assert result.stderr[name] == pytest.approx(np.sqrt(covariance[j, j]) * dv_du[j],
                                                    rel=1e-3)


def test_without_derivatives_the_fit_keeps_its_differences(scans):
    assert problem_of(scans, 1e-5).slope_names(["sigma_1", "beta"]) is None
    on_axis = FitProblem(scans, EXP, False, model=ModelSpec("on-axis"))
    assert on_axis.slope_names(["sigma_1"]) is None
    absorbance = zscanfit.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9,
                                     sample_width=0.1, concentration=5e-4, absorbance=0.1)
    tied = FitProblem(scans, absorbance, False)
    tied.sigma_0_free = True
    assert tied.slope_names(["sigma_0"]) is None
    assert tied.slope_names(["sigma_1"]) == ("sigma_1",)
