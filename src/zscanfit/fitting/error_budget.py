"""The experimentalist's error budget: what the uncertainties of the
experiment's settings do to the fitted values, beside their statistical
errors.

A setting s moved by its standard uncertainty u moves the optimum: at the
optimum the gradient J'r of the weighted residuals r vanishes, and by the
implicit-function theorem du/ds = (J'J)^-1 J' sqrt(W) dm/ds (J = dr/du in
the fit coordinates, m the model), so each free value moves by
dv/ds = (dv/du) du/ds. dm/ds is taken by a central difference over
s +- u (two model evaluations per setting, two per scan for the pulse
energies), so that the contribution u dv/ds is what refits at s +- u give
when the model is close to linear over that range. The contributions of
the settings, taken as independent, and the statistical error add in
quadrature to the combined standard uncertainty (as the GUM does).
Settings the fit frees (w0, M2) contribute nothing: the fit determines them.
The two sides are also taken one by one, s + u and s - u against the
optimum: where their effects differ by more than a third (the fitted value
depends on the setting in a curved way over its uncertainty) and the
larger is a tenth of the combined uncertainty or more, the budget shows
them as +a/-b and the fit warns with both. The linear data of the
experiment (concentration, absorbance, extinction) move sigma_0 and the
populations together, as the problem evaluates them (an absorbance's
uncertainty moves a fixed sigma_0, a concentration's the populations and,
through an absorbance, sigma_0 inversely). The refractive index enters
the beam-propagation model only: for the thin models its uncertainty is
named as not entering instead of a contribution of zero.
In a global fit a setting several files share (one beam, one energy meter,
one stock solution) is one contribution that moves every file at once; a
setting each file has on its own is one contribution per file. Relies on
NumPy, the fit problem (evaluation), _json.py and texts.py.
"""
import dataclasses
import math
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from .. import texts
from .._json import number
from ..evaluation.problem import Change, FitProblem
from ..inputs.experiment import UNCERTAIN_SETTINGS
from ..inputs.parameters import is_focus_name
from ..warning_types import FitWarning, WarningRecord

__all__ = ["Contribution", "ErrorBudget", "error_budget"]


@dataclasses.dataclass(frozen=True)
class Contribution:
    """One setting's part of the budget: its name (with the scan or the
    data set it belongs to), its standard uncertainty (absolute, in its
    unit) and the signed change of every free parameter when the setting
    moves up by that uncertainty (``effects``, from the central
    difference); ``up`` and ``down`` the changes when it moves to s + u and
    to s - u, each against the optimum."""

    setting: str
    uncertainty: float
    effects: Dict[str, float]
    up: Dict[str, float] = dataclasses.field(default_factory=dict)
    down: Dict[str, float] = dataclasses.field(default_factory=dict)

    def asymmetric(self, name: str, relevant: float = 0.0) -> bool:
        """The two sides' effects on ``name`` differ by more than a third
        of the larger (or move it the same way), the larger above
        ``relevant``."""
        if name not in self.up or name not in self.down:
            return False
        up, down = self.up[name], self.down[name]
        if not (math.isfinite(up) and math.isfinite(down)):
            return False
        larger = max(abs(up), abs(down))
        same_way = up * down > 0.0
        return larger > relevant and (same_way or abs(abs(up) - abs(down)) > ASYMMETRY * larger)

    def spread(self, name: str) -> Tuple[float, float]:
        """How far the two sides move ``name`` above and below its value (a, b >= 0)."""
        sides = (self.up[name], self.down[name])
        return max(max(sides), 0.0), max(-min(sides), 0.0)


@dataclasses.dataclass(frozen=True)
class ErrorBudget:
    """Statistical errors, each setting's contribution and the combined
    standard uncertainty of every free parameter."""

    free: Tuple[str, ...]
    statistical: Dict[str, float]
    contributions: Tuple[Contribution, ...]
    # Settings with an uncertainty that the fitted model does not depend
    # on, with the line that says so.
    not_entering: Tuple[Tuple[str, str], ...] = ()

    @property
    def systematic(self) -> Dict[str, float]:
        """The settings' contributions together (root sum of squares)."""
        return {name: math.sqrt(sum(c.effects[name] ** 2 for c in self.contributions))
                for name in self.free}

    @property
    def combined(self) -> Dict[str, float]:
        """sqrt(statistical^2 + sum of the settings' contributions^2)."""
        systematic = self.systematic
        return {name: math.hypot(self.statistical[name], systematic[name]) for name in self.free}

    def dominant(self, name: str) -> str:
        """The largest part of a parameter's budget: 'statistical' or a setting."""
        parts = [("statistical", abs(self.statistical[name]))]
        parts += [(c.setting, abs(c.effects[name])) for c in self.contributions]
        return max(parts, key=lambda part: part[1] if math.isfinite(part[1]) else -1.0)[0]

    def lopsided(self, c: Contribution, name: str) -> bool:
        """A contribution whose two sides move ``name`` differently, and
        enough to matter: the larger side above RELEVANT of its combined
        standard uncertainty."""
        combined = self.combined[name]
        return c.asymmetric(name, RELEVANT * combined if math.isfinite(combined) else 0.0)

    def warning_records(self, values: Mapping[str, float]) -> List[WarningRecord]:
        """A FitWarning per setting whose two sides move a parameter
        differently (see lopsided), naming both."""
        found = []
        for c in self.contributions:
            for name in self.free:
                if self.lopsided(c, name):
                    found.append(WarningRecord.of(FitWarning, texts.BUDGET_ASYMMETRIC.format(
                        setting=c.setting, name=name, uncertainty=c.uncertainty,
                        up=_signed(c.up[name], values[name], name),
                        down=_signed(c.down[name], values[name], name))))
        return found

    def report_lines(self, values: Mapping[str, float]) -> List[str]:
        """The report's section: per parameter its value, statistical error,
        each setting's contribution and the combined standard uncertainty."""
        lines = [texts.BUDGET_HEAD]
        for name in self.free:
            value = values[name]
            lines.append(texts.BUDGET_PARAMETER.format(
                name=name, value=value, combined=self.combined[name],
                percent=_percent(self.combined[name], value, name),
                dominant=self.dominant(name)))
            lines.append(texts.BUDGET_PART.format(
                part="statistical", error=self.statistical[name],
                percent=_percent(self.statistical[name], value, name)))
            for c in self.contributions:
                if self.lopsided(c, name):
                    above, below = c.spread(name)
                    lines.append(texts.BUDGET_SETTING_ASYMMETRIC.format(
                        part=c.setting, uncertainty=c.uncertainty, above=above, below=below,
                        percent=_sides_percent(above, below, value, name)))
                    continue
                lines.append(texts.BUDGET_SETTING.format(
                    part=c.setting, uncertainty=c.uncertainty, error=abs(c.effects[name]),
                    percent=_percent(c.effects[name], value, name)))
        lines += [line for _, line in self.not_entering]
        return lines

    def to_dict(self) -> Dict[str, Any]:
        """JSON-ready plain data."""
        return {
            "free": list(self.free),
            "statistical": {k: number(v) for k, v in self.statistical.items()},
            "contributions": [{"setting": c.setting, "uncertainty": number(c.uncertainty),
                               "effects": {k: number(v) for k, v in c.effects.items()},
                               "up": {k: number(v) for k, v in c.up.items()},
                               "down": {k: number(v) for k, v in c.down.items()},
                               "asymmetric": [k for k in self.free if self.lopsided(c, k)]}
                              for c in self.contributions],
            "systematic": {k: number(v) for k, v in self.systematic.items()},
            "combined": {k: number(v) for k, v in self.combined.items()},
            "not_entering": [{"setting": setting, "note": line.strip()}
                             for setting, line in self.not_entering],
        }

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> "ErrorBudget":
        def value(v: Any) -> float:
            return math.nan if v is None else float(v)

        return cls(free=tuple(data["free"]),
                   statistical={k: value(v) for k, v in data["statistical"].items()},
                   contributions=tuple(Contribution(
                       c["setting"], value(c["uncertainty"]),
                       {k: value(v) for k, v in c["effects"].items()},
                       {k: value(v) for k, v in c.get("up", {}).items()},
                       {k: value(v) for k, v in c.get("down", {}).items()})
                       for c in data["contributions"]),
                   not_entering=tuple((entry["setting"], "    " + entry["note"])
                                      for entry in data.get("not_entering", ())))


# The two sides of a setting's effect differ by more than this share of
# the larger: the linear propagation misleads and both are shown, where
# the larger is above RELEVANT of the parameter's combined uncertainty (a
# side of a negligible contribution is the model's noise).
ASYMMETRY = 1.0 / 3.0
RELEVANT = 0.1


def _percent(error: float, value: float, name: str) -> str:
    """The error relative to the value, for a report; not for a focus
    position, whose value may be anything."""
    if is_focus_name(name) or value == 0.0:
        return ""
    return texts.BUDGET_PERCENT.format(percent=100.0 * abs(error) / abs(value))


def _sides_percent(above: float, below: float, value: float, name: str) -> str:
    """+a/-b relative to the value, for a report ('' for a focus)."""
    if is_focus_name(name) or value == 0.0:
        return ""
    return texts.BUDGET_SIDES_PERCENT.format(above=100.0 * above / abs(value),
                                             below=100.0 * below / abs(value))


def _signed(effect: float, value: float, name: str) -> str:
    """A side's effect, in per cent of the value (mm for a focus)."""
    if is_focus_name(name) or value == 0.0:
        return texts.BUDGET_SIDE_ABSOLUTE.format(effect=effect)
    return texts.BUDGET_SIDE_PERCENT.format(percent=100.0 * effect / abs(value))




def _groups(problem: FitProblem, name: str, shared: Optional[Sequence[str]]
            ) -> List[List[int]]:
    """The data sets whose setting ``name`` moves together: all that share
    it (``shared`` names it), each alone (``shared`` given without it), or,
    by default, those measured with equal experiments; only data sets with
    an uncertainty of ``name`` count."""
    members = [k for k, d in enumerate(problem.data_sets)
               if name in d.experiment.uncertain_settings]
    if shared is not None:
        return [members] if name in shared and members else [[k] for k in members]
    groups: List[List[int]] = []
    for k in members:
        for group in groups:
            if problem.data_sets[group[0]].experiment == problem.data_sets[k].experiment:
                group.append(k)
                break
        else:
            groups.append([k])
    return groups


def _label(problem: FitProblem, name: str, group: Sequence[int], groups: int) -> str:
    """The setting's name, with the data sets it belongs to when others
    have their own."""
    if groups == 1:
        return name
    labels = [problem.data_sets[k].label or f"data set {k + 1}" for k in group]
    return f"{name} ({', '.join(labels)})"


def _determined_by_fit(problem: FitProblem, name: str) -> bool:
    """A linear setting a free sigma_0 determines: the extinction
    coefficient (freed with it), the concentration and populations where
    every file's absorbance ties them to it."""
    if not problem.sigma_0_free:
        return False
    if name == "extinction":
        return True
    return name in ("concentration", "populations") and all(
        d.experiment.absorbance is not None for d in problem.data_sets)


def _amount(experiment: Any, name: str) -> float:
    """What the uncertainty of the populations (their total, cm^-3) or of
    the concentration (mol/L) is relative to."""
    if name == "concentration":
        return float(experiment.concentration)
    return float(sum(experiment.populations))


def _moved(problem: FitProblem, name: str, group: Sequence[int], sign: float) -> Change:
    """The change that moves setting ``name`` of every data set of
    ``group`` by ``sign`` times its own uncertainty."""
    if name == "pulse_energy_scale":
        factors = []
        for k in problem.scan_sets:
            u = problem.data_sets[k].experiment.uncertainty(name, 1.0)
            factors.append(1.0 + sign * u if k in group else 1.0)
        return Change(energy_factors=tuple(factors))
    moved: Dict[int, Dict[str, float]] = {}
    for k in group:
        experiment = problem.data_sets[k].experiment
        if name in ("populations", "concentration"):
            total = _amount(experiment, name)
            if not total > 0.0:
                continue
            u = experiment.uncertainty(name, total)
            moved[k] = {"populations_scale": 1.0 + sign * u / total}
        else:
            value = getattr(experiment, name)
            moved[k] = {name: value + sign * experiment.uncertainty(name, value)}
    return Change(set_settings=moved)


def _not_entering(problem: FitProblem) -> Tuple[str, ...]:
    """The settings the fitted model does not depend on: the refractive
    index, but for the beam-propagation model."""
    return () if problem.model.beam_propagation else ("refractive_index",)


def _not_entering_lines(problem: FitProblem) -> Tuple[Tuple[str, str], ...]:
    """A line for each uncertain setting the model does not depend on."""
    found = []
    for name in _not_entering(problem):
        for k, d in enumerate(problem.data_sets):
            if name in d.experiment.uncertain_settings:
                value = getattr(d.experiment, name)
                found.append((name, texts.BUDGET_NOT_ENTERING.format(
                    part=_label(problem, name, [k], len(problem.data_sets)),
                    uncertainty=d.experiment.uncertainty(name, value), model=problem.model.name)))
    return tuple(found)


def _changes(problem: FitProblem, free: Sequence[str], shared: Optional[Sequence[str]]
             ) -> List[Tuple[str, float, Change, Change]]:
    """Every uncertain setting as (label, uncertainty, change up, change
    down): once for the data sets that share it, once per data set for
    each its own; the pulse energies once per scan (independent readings)."""
    found = []
    many = len(problem.data_sets) > 1
    for name in UNCERTAIN_SETTINGS:
        if name in free or _determined_by_fit(problem, name) or name in _not_entering(problem):
            continue
        if name == "pulse_energy":
            for i, scan in enumerate(problem.scans):
                k = problem.scan_sets[i]
                experiment = problem.data_sets[k].experiment
                u = experiment.uncertainty(name, scan.pulse_energy)
                if name not in experiment.uncertain_settings:
                    continue
                where = f" ({problem.data_sets[k].label or f'data set {k + 1}'})" if many else ""
                up = tuple(1.0 + u / scan.pulse_energy if j == i else 1.0
                           for j in range(len(problem.scans)))
                down = tuple(1.0 - u / scan.pulse_energy if j == i else 1.0
                             for j in range(len(problem.scans)))
                found.append((f"pulse_energy ({scan.label})" + where, u,
                              Change(energy_factors=up), Change(energy_factors=down)))
            continue
        groups = _groups(problem, name, shared)
        for group in groups:
            if name in ("populations", "concentration") and not any(
                    _amount(problem.data_sets[k].experiment, name) > 0.0 for k in group):
                continue
            first = problem.data_sets[group[0]].experiment
            reference = (_amount(first, name) if name in ("populations", "concentration") else
                         1.0 if name == "pulse_energy_scale" else getattr(first, name))
            found.append((_label(problem, name, group, len(groups)),
                          first.uncertainty(name, reference),
                          _moved(problem, name, group, +1.0),
                          _moved(problem, name, group, -1.0)))
    return found


def error_budget(problem: FitProblem, point: Tuple[np.ndarray, Dict[str, float]],
                 free: Sequence[str], jacobian: np.ndarray, dv_du: np.ndarray,
                 statistical: Mapping[str, float],
                 shared: Optional[Sequence[str]] = None,
                 models: Optional[Sequence[np.ndarray]] = None) -> ErrorBudget:
    """The budget of a fit at its optimum ``point`` (see the module's
    description); ``jacobian`` is d(weighted residuals)/du there. With
    several data sets, ``shared`` names the settings whose uncertainty they
    share (one contribution, every data set moved by its own uncertainty
    at once) and the others are each data set's own; None: data sets with
    equal experiments share theirs. ``models``: the model at the optimum
    (every position of every scan), for the one-sided effects; without
    it they are not taken."""
    jac = np.asarray(jacobian, dtype=np.float64)
    centre = None if models is None else problem.valid_values(models)
    contributions = []
    for label, u, up, down in _changes(problem, free, shared):
        if not u > 0.0:
            continue
        m_up = problem.valid_values(problem.evaluate_at(point, counted=False, change=up).values)
        m_down = problem.valid_values(problem.evaluate_at(point, counted=False,
                                                          change=down).values)
        # sqrt(W) dm/ds times u: the weighted model's change per uncertainty.
        g = problem.root_weights * (m_up - m_down) / 2.0
        du, *_ = np.linalg.lstsq(jac, g, rcond=None)
        effects = {name: float(dv_du[j] * du[j]) for j, name in enumerate(free)}
        sides: List[Dict[str, float]] = [{}, {}]
        if centre is not None:
            for side, moved in zip(sides, (m_up, m_down)):
                d_side, *_ = np.linalg.lstsq(jac, problem.root_weights * (moved - centre),
                                             rcond=None)
                side.update({name: float(dv_du[j] * d_side[j]) for j, name in enumerate(free)})
        contributions.append(Contribution(label, float(u), effects, sides[0], sides[1]))
    return ErrorBudget(tuple(free), {name: float(statistical[name]) for name in free},
                       tuple(contributions), _not_entering_lines(problem))
