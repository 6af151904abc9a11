"""The warning categories of zscanfit, and a warning as data.

All derive from ZScanWarning (a UserWarning), so one filter can silence or
raise every warning of the package. A WarningRecord is one warning kept
as data, so that a fit's result can carry every warning of the fit in its
report and its JSON. Relies on the standard library.
"""
import warnings
from typing import Iterable, NamedTuple, Type

__all__ = ["ZScanWarning", "UnitWarning", "DataWarning", "FitWarning",
           "IntegratorWarning", "WarningRecord", "CATEGORIES"]


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


CATEGORIES = {cls.__name__: cls for cls in (ZScanWarning, UnitWarning, DataWarning,
                                            FitWarning, IntegratorWarning)}


class WarningRecord(NamedTuple):
    """One warning as data: its category's name and its text."""

    category: str
    message: str

    @classmethod
    def of(cls, category: Type[Warning], message: str) -> "WarningRecord":
        return cls(category.__name__, str(message))

    def warn(self, stacklevel: int = 2) -> None:
        """Issue the warning (stacklevel counted from the caller)."""
        warnings.warn(self.message, CATEGORIES.get(self.category, ZScanWarning),
                      stacklevel=stacklevel + 1)


def issue(records: Iterable[WarningRecord], stacklevel: int = 2) -> None:
    """Issue every record, in order."""
    for record in records:
        record.warn(stacklevel + 1)
