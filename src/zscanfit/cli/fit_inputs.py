"""A data file and the command line's settings made into the inputs of one
fit, the same way for ``fit`` and for every file of ``fit-many``: the
file's scans and settings, the --set settings over them (and a manifest
row's over those), the start values from the file's spec_pars with --set
values over them. Relies on the inputs (loading, experiment, parameters)
and the executor's FitJob.
"""
from typing import Any, Dict, List, Mapping, Optional, Sequence

from .. import texts
from ..inputs.experiment import EXPERIMENT_SETTINGS, Experiment
from ..inputs.loading import experiment_uncertainties, load_scans
from ..inputs.parameters import PARAMETER_NAMES, make_params
from ..many.executor import FitJob
from .options import UsageError

__all__ = ["fit_inputs"]


def fit_inputs(path: str, free: Sequence[str], pulse_energy: Optional[float],
               settings: Mapping[str, List[float]], values: Mapping[str, float],
               overrides: Optional[Mapping[str, List[float]]] = None,
               uncertainties: Optional[Mapping[str, Any]] = None) -> FitJob:
    """The FitJob of one data file (labelled with its path).

    ``settings`` and ``values`` are the --set items (assignments);
    ``overrides`` a manifest row's settings, start values and pulse_energy,
    which take precedence; ``uncertainties`` the --uncertainty items, over
    the file's. ValueError (a UsageError when no start values
    are to be had) when the inputs cannot be made.
    """
    overrides = dict(overrides or {})
    energy = overrides.get("pulse_energy", [pulse_energy] if pulse_energy is not None else None)
    if energy is not None:
        energy = energy[0] if len(energy) == 1 else list(energy)  # one per column
    data = load_scans(path, pulse_energy=energy)
    merged: Dict[str, object] = dict(data.settings)
    merged.update(settings)
    merged.update({k: v for k, v in overrides.items() if k in EXPERIMENT_SETTINGS})
    merged["uncertainties"] = dict(experiment_uncertainties(data.uncertainties),
                                   **dict(uncertainties or {}))
    experiment = Experiment.from_settings(merged)
    named = dict(values)
    named.update({k: v[0] for k, v in overrides.items() if k in PARAMETER_NAMES})
    if data.spec_pars is None and any(name not in named for name in PARAMETER_NAMES):
        raise UsageError(texts.CLI_NO_START)
    params = make_params(data.spec_pars, free=free, **named)
    return FitJob(data.scans, experiment, params, label=path)
