"""The warning categories of zscanfit.

All derive from ZScanWarning (a UserWarning), so one filter can silence or
raise every warning of the package. Relies on nothing.
"""

__all__ = ["ZScanWarning", "UnitWarning", "DataWarning", "FitWarning",
           "IntegratorWarning"]


class ZScanWarning(UserWarning):
    """Base class of every warning zscanfit issues."""


class UnitWarning(ZScanWarning):
    """A setting or scan looks like it was given in the wrong unit."""


class DataWarning(ZScanWarning):
    """Something about the measured data needs attention (missing points, order)."""


class FitWarning(ZScanWarning):
    """The fit ended but the data do not determine a parameter, or it sits on a bound."""


class IntegratorWarning(ZScanWarning):
    """The ODE integrator of the model reported messages during a call."""
