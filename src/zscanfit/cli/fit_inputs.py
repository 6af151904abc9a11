"""A data file and the command line's settings made into the inputs of one
fit, the same way for ``fit`` and for every file of ``fit-many``: the
file's scans and settings, the --set settings over them (those for every
file, then the file's own FILE:NAME=VALUE items, then a manifest row's),
the start values from the file's spec_pars with --set values over them,
and the focus position (--set center_mm=...) as the job's option
"center_mm". An error about a setting names where the user wrote it (the
file's line, the --set or --uncertainty item, the manifest's line), and an
uncertainty as large as its setting is refused before any fitting.
Relies on the inputs (loading, experiment, parameters, sources), the
shared options and the executor's FitJob.
"""
from typing import Any, Dict, List, Mapping, Optional, Sequence

from .. import texts
from ..inputs.experiment import EXPERIMENT_SETTINGS, Experiment
from ..inputs.loading import SOURCE_CLI, experiment_uncertainties, file_sources, load_scans
from ..inputs.parameters import OPTICAL_NAMES, PARAMETER_NAMES, make_params
from ..inputs.sources import UNCERTAINTY, check_uncertainties, name_source
from ..many.executor import FitJob
from .options import Assignments, UncertaintyItems, UsageError

__all__ = ["fit_inputs"]


def fit_inputs(path: str, free: Sequence[str], pulse_energy: Any, given: Assignments,
               overrides: Optional[Mapping[str, List[float]]] = None,
               uncertainties: Optional[UncertaintyItems] = None,
               overrides_source: str = "", aperture: Optional[float] = None,
               divided: bool = False) -> FitJob:
    """The FitJob of one data file (labelled with its path).

    ``pulse_energy`` is the file's --energy (a value, a list of one per
    column, or None); ``given`` the --set items of this file
    (``Assignments.for_file``); ``overrides`` a manifest row's settings,
    start values and pulse_energy, which take precedence, written where
    ``overrides_source`` says; ``uncertainties`` the --uncertainty items,
    over the file's; ``aperture`` (--aperture, over the file's '# aperture')
    and ``divided`` (--divided) the scans' kind. The job's options hold
    "center_mm" when the focus is given. ValueError naming where the offending value was written (a
    UsageError when no start values are to be had) when the inputs cannot
    be made.
    """
    overrides = dict(overrides or {})
    energy, energy_source = ([pulse_energy] if pulse_energy is not None else None), SOURCE_CLI
    if "pulse_energy" in overrides:
        energy = overrides["pulse_energy"]
        energy_source = texts.MANIFEST_COLUMN.format(where=overrides_source, name="pulse_energy")
    if energy is not None:
        energy = energy[0] if len(energy) == 1 else list(energy)  # one per column
    data = load_scans(path, pulse_energy=energy, energy_source=energy_source)
    sources = _sources(path, data, given, overrides, overrides_source, uncertainties)
    merged: Dict[str, object] = dict(data.settings)
    merged.update(given.settings)
    merged.update({k: v for k, v in overrides.items() if k in EXPERIMENT_SETTINGS})
    merged["uncertainties"] = dict(experiment_uncertainties(data.uncertainties),
                                   **(uncertainties.values if uncertainties else {}))
    try:
        experiment = Experiment.from_settings(merged)
    except ValueError as exc:
        raise name_source(exc, sources) from None
    check_uncertainties(experiment, data.scans, sources,
                        uncertainties.written if uncertainties else None)
    named = dict(given.values)
    named.update({k: v[0] for k, v in overrides.items()
                  if k in PARAMETER_NAMES or k in OPTICAL_NAMES})
    if data.spec_pars is None and any(name not in named for name in PARAMETER_NAMES):
        raise UsageError(texts.CLI_NO_START)
    try:
        params = make_params(data.spec_pars, free=free, **named)
    except ValueError as exc:
        raise name_source(exc, sources) from None
    scans = data.scans
    if aperture is not None or divided:
        try:
            scans = [s.with_aperture(aperture if aperture is not None else s.aperture,
                                     divided or s.divided) for s in scans]
        except ValueError as exc:
            raise UsageError(texts.GIVEN_AS.format(source="--aperture", message=exc)) from None
    return FitJob(scans, experiment, params, options=dict(given.options), label=path)


def _sources(path: str, data: Any, given: Assignments, overrides: Mapping[str, Any],
             overrides_source: str, uncertainties: Optional[UncertaintyItems]
             ) -> Dict[str, str]:
    """Where each setting, start value and uncertainty was written, the
    later sources over the earlier as their values are."""
    sources = file_sources(path, data)
    sources.update(given.typed)
    sources.update({name: texts.MANIFEST_COLUMN.format(where=overrides_source, name=name)
                    for name in overrides})
    if uncertainties is not None:
        sources.update({UNCERTAINTY.format(name=name): typed
                        for name, typed in uncertainties.typed.items()})
    return sources
