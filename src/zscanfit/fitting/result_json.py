"""A fit result as JSON-ready plain data, and back.

The plain form carries the package version, the inputs (data file,
experiment, start values, bounds, starts, method, focus), the data, the
fitted parameters with errors and correlations, residuals, the fitted
curves (at the data points and on a grid), warnings, the integrator's
messages and the bootstrap's intervals: everything a report and a plot
need, so that a result read back gives the same report. NaN and the
infinite bounds are None (JSON has no such numbers). Relies on lmfit,
NumPy, the inputs, the messages' summary and bootstrap_result.py; the
result class is handed in, so this module does not import result.py.
"""
import math
import warnings
from typing import Any, Dict, List, Mapping, Optional, Sequence

import lmfit
import numpy as np

from .._json import number
from ..evaluation.integrator_messages import MessageSummary
from ..evaluation.models import ModelSpec
from ..evaluation.problem import DataSet
from ..inputs.experiment import Experiment
from ..inputs.parameters import (PARAMETER_UNITS, add_parameter, names_of, parameter_bounds,
                                 unit_of)
from ..inputs.scans import Scan
from ..warning_types import WarningRecord, ZScanWarning
from .bootstrap_result import BootstrapResult
from .error_budget import ErrorBudget
from .experiment_summary import experiment_summaries
from .profile import ProfileIntervals

__all__ = ["FORMAT", "result_to_dict", "result_from_dict"]

FORMAT = "zscanfit fit result"


def _numbers(values: Any) -> List[Optional[float]]:
    return [number(v) for v in np.asarray(values, dtype=np.float64).ravel()]


def _array(values: Optional[Sequence[Optional[float]]]) -> np.ndarray:
    return np.array([math.nan if v is None else float(v) for v in (values or [])],
                    dtype=np.float64)


def _value(v: Any, missing: float = math.nan) -> float:
    return missing if v is None else float(v)


def _version() -> str:
    try:
        from .._version import __version__
    except ImportError:  # a source tree without its build
        return "unknown"
    return __version__


def _parameters(params: lmfit.Parameters) -> Dict[str, Any]:
    out = {}
    for name in names_of(params):
        p = params[name]
        low, high = parameter_bounds(p)
        out[name] = {"value": number(p.value), "vary": bool(p.vary), "min": number(low),
                     "max": number(high), "init_value": number(p.init_value),
                     "stderr": None if p.stderr is None else number(p.stderr),
                     "correl": {k: number(v) for k, v in (p.correl or {}).items()},
                     "expr": p.expr or None}
    return out


def result_to_dict(result: Any, curve_points: int = 200) -> Dict[str, Any]:
    """The plain form of ``result`` (see the module's description)."""
    curves = []
    for k, scan in enumerate(result.scans):
        grid = np.linspace(float(np.min(scan.x_mm)), float(np.max(scan.x_mm)), curve_points)
        curves.append({"x_mm": _numbers(grid), "transmittance": _numbers(result.curve(k, grid))})
    params = result.params
    return {
        "format": FORMAT,
        "zscanfit_version": _version(),
        "method": result.method,
        "is_sa": result.is_sa,
        "values": {name: number(v) for name, v in result.values.items()},
        "units": dict(PARAMETER_UNITS, **{name: unit_of(name) for name in names_of(params)}),
        "free": list(result.free),
        "stderr": {name: number(v) for name, v in result.stderr.items()},
        "correlation": [[number(v) for v in row] for row in result.correlation],
        "covariance": [[number(v) for v in row] for row in result.covariance],
        "chisqr": number(result.chisqr),
        "redchi": number(result.redchi),
        "ndata": result.ndata,
        "nvarys": result.nvarys,
        "nfev": result.nfev,
        "success": result.success,
        "message": result.message,
        "n_starts": result.n_starts,
        "best_start": result.best_start,
        "start_chisqr": [number(v) for v in result.start_chisqr],
        "center_mm": result.center_mm,
        "center_given": result.center_given,
        "noise": number(result.noise),
        "uses_sigma": result.uses_sigma,
        "weighting": result.weighting,
        "focus_score": number(result.focus_score),
        "model": result.model.to_dict(),
        "model_error": number(result.model_error),
        "warnings": list(result.warnings),
        "warning_records": [{"category": r.category, "message": r.message}
                            for r in result.warning_records],
        "integrator_messages": {"total": result.messages.total,
                                "counts": result.messages.counts_dict(),
                                "first": list(result.messages.first)},
        "experiment": result.experiment.as_settings(),
        "experiments": [summary.to_dict() for summary in experiment_summaries(result)],
        "bootstrap": None if result.bootstrap is None else result.bootstrap.to_dict(),
        "error_budget": None if result.error_budget is None else result.error_budget.to_dict(),
        "profile": None if result.profile is None else result.profile.to_dict(),
        "data_sets": None if not result.data_sets else [
            {"label": d.label, "experiment": d.experiment.as_settings(),
             "center_mm": d.center_mm, "center_stderr": number(d.center_stderr),
             "focus": d.focus, "n_scans": len(d.scans)} for d in result.data_sets],
        "inputs": {
            "file": result.source,
            "experiment": (result.given_experiment or result.experiment).as_settings(),
            "method": result.method,
            "model": result.model.to_dict(),
            "n_starts": result.n_starts,
            "is_sa": result.is_sa,
            "center_mm": result.center_mm if result.center_given else None,
            "start_values": {name: number(params[name].init_value) for name in names_of(params)},
            "free": list(result.free),
            "bounds": {name: [number(v) for v in parameter_bounds(params[name])]
                       for name in names_of(params)},
        },
        "parameters": _parameters(params),
        "data": [{"label": scan.label, "pulse_energy": scan.pulse_energy,
                  "x_mm": _numbers(scan.x_mm), "transmittance": _numbers(scan.transmittance),
                  "sigma": None if scan.sigma is None else _numbers(scan.sigma)}
                 for scan in result.scans],
        "residuals": [_numbers(r) for r in result.residuals],
        "models": [_numbers(m) for m in result.models],
        "curves": curves,
    }


def _params_from(data: Mapping[str, Any]) -> lmfit.Parameters:
    params = lmfit.Parameters()
    for name in names_of(data):
        p = data[name]
        add_parameter(params, name, _value(p["value"]), bool(p["vary"]),
                      _value(p["min"], -np.inf), _value(p["max"], np.inf))
        if p.get("expr"):
            params[name].expr = p["expr"]
        params[name].init_value = _value(p["init_value"])
        params[name].stderr = None if p["stderr"] is None and not p["vary"] else \
            _value(p["stderr"])
        params[name].correl = ({k: _value(v) for k, v in p["correl"].items()}
                               if p["vary"] else None)
    return params


def _matrix(rows: Sequence[Sequence[Optional[float]]]) -> np.ndarray:
    return np.array([[_value(v) for v in row] for row in rows], dtype=np.float64).reshape(
        len(rows), len(rows))


def _experiment(settings: Mapping[str, Any]) -> Experiment:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ZScanWarning)  # they are in the warning records
        return Experiment.from_settings(settings)


def result_from_dict(cls: Any, data: Mapping[str, Any]) -> Any:
    """A ``cls`` (FitResult) from the plain form of result_to_dict."""
    if data.get("format") != FORMAT:
        raise ValueError(f"not a zscanfit fit result (format {data.get('format')!r})")
    experiment = _experiment(data["experiment"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ZScanWarning)  # they are in the warning records
        scans = [Scan(_array(s["x_mm"]), _array(s["transmittance"]), float(s["pulse_energy"]),
                      None if s["sigma"] is None else _array(s["sigma"]), s["label"])
                 for s in data["data"]]
    data_sets = None
    if data.get("data_sets"):
        data_sets, start = [], 0
        for entry in data["data_sets"]:
            count = int(entry["n_scans"])
            data_sets.append(DataSet(tuple(scans[start:start + count]),
                                     _experiment(entry["experiment"]), entry["center_mm"],
                                     entry["label"], _value(entry.get("center_stderr")),
                                     entry.get("focus", "")))
            start += count
    messages = data["integrator_messages"]
    summary = MessageSummary(total=int(messages["total"]),
                             counts=tuple(sorted((str(k), int(v))
                                                 for k, v in messages["counts"].items())),
                             first=tuple(messages["first"]))
    bootstrap = data.get("bootstrap")
    return cls(
        params=_params_from(data["parameters"]), free=tuple(data["free"]),
        covariance=_matrix(data["covariance"]), correlation=_matrix(data["correlation"]),
        chisqr=_value(data["chisqr"]), redchi=_value(data["redchi"]), ndata=int(data["ndata"]),
        nvarys=int(data["nvarys"]), nfev=int(data["nfev"]), success=data["success"],
        message=data["message"], method=data["method"], n_starts=int(data["n_starts"]),
        best_start=int(data["best_start"]),
        start_chisqr=tuple(_value(v) for v in data["start_chisqr"]),
        center_mm=float(data["center_mm"]), noise=_value(data["noise"]),
        uses_sigma=bool(data["uses_sigma"]), residuals=[_array(r) for r in data["residuals"]],
        models=[_array(m) for m in data["models"]], messages=summary,
        warning_records=tuple(WarningRecord(r["category"], r["message"])
                              for r in data["warning_records"]),
        minimizer_result=None, scans=scans, experiment=experiment, is_sa=bool(data["is_sa"]),
        weighting=data["weighting"], focus_score=_value(data["focus_score"]),
        center_given=bool(data["center_given"]),
        bootstrap=None if bootstrap is None else BootstrapResult.from_dict(bootstrap),
        source=data["inputs"]["file"],
        model=ModelSpec(data["model"]["name"], float(data["model"]["tolerance"])),
        model_error=_value(data["model_error"]),
        given_experiment=(None if data["inputs"]["experiment"] == data["experiment"] else
                          _experiment(data["inputs"]["experiment"])),
        error_budget=(None if data.get("error_budget") is None else
                      ErrorBudget.from_dict(data["error_budget"])),
        profile=None if data.get("profile") is None else ProfileIntervals.from_dict(
            data["profile"]),
        data_sets=data_sets)
