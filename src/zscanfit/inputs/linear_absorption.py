"""The sample's linear absorption spectrum as the model's inputs: the
ground-state population from a concentration, and sigma_0 from the
decadic absorbance of the cell or from the molar extinction coefficient.

N0 = c N_A / 1000 (c in mol/L, N0 in cm^-3: a litre is 1000 cm^3);
sigma_0 = ln 10 A / (N0 L) (A decadic over the sample's path L = sample
width, cm) or sigma_0 = 1000 ln 10 eps / N_A (eps in L mol^-1 cm^-1).

When a fit frees sigma_0, the linear data stay true through a tie: with
an absorbance the sample's alpha0 = sigma_0 N0 = ln 10 A / L is what the
spectrometer measured, so the populations follow sigma_0 (N0 = alpha0 /
sigma_0, the concentration becomes the fitted quantity); with an
extinction coefficient, a property of the molecule like sigma_0 itself,
freeing sigma_0 frees eps and the populations stay. The tie is shown as
an lmfit expression of the derived parameter ('concentration' or
'extinction') in sigma_0. Relies on nothing but math and re.
"""
import math
import re
from typing import Any, Optional, Tuple

__all__ = ["AVOGADRO", "PER_LITRE", "LN10", "ground_population", "concentration_of",
           "sigma_from_absorbance", "sigma_from_extinction", "extinction_of", "linear_sigma_0",
           "effective", "tie_expression", "is_tie", "TIED_NAMES"]

AVOGADRO = 6.02214076e23      # mol^-1 (exact, SI 2019)
PER_LITRE = AVOGADRO / 1000.0  # molecules per cm^3 at 1 mol/L
LN10 = math.log(10.0)

# The parameters a tie derives from sigma_0: the concentration (mol/L)
# when an absorbance holds alpha0, the extinction coefficient (L mol^-1
# cm^-1) when it was given.
TIED_NAMES = ("concentration", "extinction")


def ground_population(concentration: float) -> float:
    """N0 in cm^-3 of a concentration in mol/L."""
    return concentration * AVOGADRO / 1000.0


def concentration_of(n0: float) -> float:
    """The concentration in mol/L of a population N0 in cm^-3."""
    return n0 / PER_LITRE


def sigma_from_absorbance(absorbance: float, n0: float, path_cm: float) -> float:
    """sigma_0 (cm^2) = ln 10 A / (N0 L)."""
    return LN10 * absorbance / (n0 * path_cm)


def sigma_from_extinction(extinction: float) -> float:
    """sigma_0 (cm^2) = 1000 ln 10 eps / N_A."""
    return 1000.0 * LN10 * extinction / AVOGADRO


def extinction_of(sigma_0: float) -> float:
    """eps (L mol^-1 cm^-1) of a cross-section sigma_0 (cm^2)."""
    return sigma_0 * AVOGADRO / (1000.0 * LN10)


def linear_sigma_0(settings: Any) -> Optional[float]:
    """sigma_0 from the linear data of ``settings`` (an Experiment or the
    settings of one evaluation: absorbance, extinction, populations,
    sample_width), None without any."""
    absorbance = getattr(settings, "absorbance", None)
    if absorbance is not None:
        return sigma_from_absorbance(absorbance, settings.populations[0], settings.sample_width)
    extinction = getattr(settings, "extinction", None)
    if extinction is not None:
        return sigma_from_extinction(extinction)
    return None


def effective(settings: Any, spec_pars: Any, sigma_0_free: bool
              ) -> Tuple[Any, Optional[float]]:
    """What the model evaluates for ``settings`` at ``spec_pars``: (the
    populations' factor, the sigma_0 to use), each None when unchanged.

    sigma_0 fixed: the linear data's sigma_0. sigma_0 free with an
    absorbance: the populations scaled so that sigma_0 N0 stays ln 10 A / L.
    """
    sigma = linear_sigma_0(settings)
    if sigma is None:
        return None, None
    if not sigma_0_free:
        return None, sigma
    if getattr(settings, "absorbance", None) is not None:
        return sigma / float(spec_pars[0]), None
    return None, None


def tie_expression(name: str, constant: float) -> str:
    """The lmfit expression of a tied parameter in sigma_0: concentration =
    constant / sigma_0 (constant = alpha0 / PER_LITRE), extinction =
    constant * sigma_0."""
    return f"{constant!r} / sigma_0" if name == "concentration" else f"{constant!r} * sigma_0"


_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?"
_TIES = {"concentration": re.compile(rf"^\s*({_NUMBER})\s*/\s*sigma_0\s*$"),
         "extinction": re.compile(rf"^\s*({_NUMBER})\s*\*\s*sigma_0\s*$")}


def is_tie(name: str, expr: Optional[str]) -> bool:
    """True when ``expr`` is the tie of ``name`` (tie_expression's form)."""
    pattern = _TIES.get(name)
    return bool(expr) and pattern is not None and pattern.match(str(expr)) is not None
