# The compiled whole-beam entry through the package's door
# (zscanfit._native.whole_beam_values): derivatives beside the values (the
# values the same bits; parameters by name or position; the focus's
# derivative antisymmetric about it, as the scan is symmetric), the pulse
# shape from the experiment or the argument, and the refusals the engine
# names: unknown, repeated or infinite parameters, an unknown pulse shape,
# initial populations that cannot be kept stationary, a sample too thick to
# resolve. The accuracy of the derivatives is tested in C++
# (tests/cpp/zscan_whole_beam_derivatives_test.cpp). Relies on the installed
# zscanfit.
import re
import types

import numpy as np
import pytest

import zscanfit
from zscanfit import _native

SPEC = np.array([1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12])
X = np.array([-6.0, -2.0, -0.5, 0.0, 0.5, 2.0, 6.0])


def demo(**changes):
    settings = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9, sample_width=0.1,
                    populations=[3e17, 0.0, 0.0, 0.0, 0.0])
    settings.update(changes)
    return zscanfit.Experiment(**settings)


def evaluate(experiment=None, spec=SPEC, **options):
    return _native.whole_beam_values(np.concatenate([X, X]), [X.size, X.size], [0.5e-6, 1.5e-6],
                                     spec, experiment or demo(), 1e-5, **options)


def test_derivatives_come_beside_the_same_values_by_name_or_position():
    values, errors, stats = evaluate()
    names = ["tau_10", "center_mm", "sigma_1", "M2"]
    with_names = evaluate(derivatives=names)
    with_positions = evaluate(derivatives=[_native.DERIVATIVE_PARAMETERS.index(n) for n in names])
    assert len(with_names) == 4
    slopes = with_names[2]
    assert slopes.shape == (4, 2 * X.size) and slopes.dtype == np.float64
    for result in (with_names, with_positions):
        assert np.array_equal(result[0], values) and np.array_equal(result[1], errors)
    assert np.array_equal(with_positions[2], slopes)
    assert with_names[3]["table_nodes"] == stats["table_nodes"]
    # Rows in the order asked for: a larger excited-state cross-section
    # absorbs more; a larger M2 spreads the beam away from the focus and
    # leaves its waist alone.
    assert np.all(slopes[2] < 0.0)
    at_focus = np.concatenate([X, X]) == 0.0
    assert np.all(slopes[3][~at_focus] > 0.0) and np.all(slopes[3][at_focus] == 0.0)
    # The scan is symmetric about the focus: the values are, the derivative
    # with respect to the focus's position is antisymmetric, bit for bit.
    centre = slopes[1][:X.size]
    assert np.array_equal(centre, -centre[::-1])
    assert np.array_equal(values[:X.size], values[:X.size][::-1])


def test_no_derivatives_asked_for_is_an_empty_array():
    values, errors, slopes, stats = evaluate(derivatives=[])
    assert slopes.shape == (0, 2 * X.size)


@pytest.mark.parametrize("derivatives, words", [
    (["sigma_3"], "no derivative with respect to 'sigma_3'"),
    ([11], "no derivative with respect to 11"),
    (["w0", "w0"], "the derivative with respect to w0 is asked for twice"),
    ([1.5], "derivatives must be parameter names or ids; entry 0 is neither"),
], ids=["name", "position", "twice", "kind"])
def test_a_derivative_that_cannot_be_taken_is_refused(derivatives, words):
    with pytest.raises(ValueError, match=re.escape(words)):
        evaluate(derivatives=derivatives)


def test_an_infinite_lifetime_has_no_derivative_and_the_others_do():
    fixed = SPEC.copy()
    fixed[6] = np.inf
    with pytest.raises(ValueError, match=re.escape("tau_30 is infinite (no decay)")):
        evaluate(spec=fixed, derivatives=["tau_30"])
    assert np.all(np.isfinite(evaluate(spec=fixed, derivatives=["tau_10"])[2]))


def test_the_pulse_shape_comes_from_the_experiment_or_the_argument():
    # Experiments are duck-typed: any object with the settings (and, here,
    # a pulse shape).
    settings = {name: getattr(demo(), name) for name in (
        "wavelength", "w0", "M2", "tau", "sample_width", "populations", "t_slices", "z_slices")}
    with_shape = types.SimpleNamespace(pulse_shape="sech2", **settings)
    gaussian = evaluate()[0]
    sech2 = evaluate(pulse_shape="sech2")[0]
    assert np.array_equal(evaluate(with_shape)[0], sech2)
    assert np.array_equal(evaluate(with_shape, pulse_shape="gaussian")[0], gaussian)
    # The same energy and FWHM: the sech^2 pulse's peak is lower and its
    # wings longer; both bleach the sample less than nothing at all.
    assert not np.array_equal(sech2, gaussian)
    assert np.all(sech2 < 1.0) and np.all(gaussian < 1.0)
    with pytest.raises(ValueError, match=re.escape("pulse_shape must be 'gaussian' or 'sech2', got 'square'")):
        evaluate(pulse_shape="square")


def test_initial_populations_that_cannot_be_kept_stationary_are_refused_naming_them():
    # Level 3 populated, level 0 empty: tau_30 would feed level 0 in the
    # dark, and the compensation would have to drain a level holding nothing.
    with pytest.raises(ValueError, match=re.escape(
            "level 0 holds no population but the stationarity of the populated levels would "
            "drain it (tau_30)")):
        evaluate(demo(populations=[0.0, 0.0, 0.0, 3e17, 0.0]))
    fixed = SPEC.copy()
    fixed[6] = np.inf
    assert np.all(np.isfinite(evaluate(demo(populations=[0.0, 0.0, 0.0, 3e17, 0.0]), fixed)[0]))


def test_a_sample_too_thick_to_resolve_is_refused_with_its_optical_depth():
    with pytest.raises(ValueError, match=r"linear optical depth .* is 1e\+12, beyond 1e\+06"):
        evaluate(demo(populations=[1e30, 0.0, 0.0, 0.0, 0.0]))
    values, errors, stats = evaluate(demo(populations=[1e21, 0.0, 0.0, 0.0, 0.0]))
    assert stats["optical_depth"] == pytest.approx(1000.0)
    assert np.all(errors <= 1e-5) and np.all(values < 1.0)
