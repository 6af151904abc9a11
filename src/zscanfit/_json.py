"""JSON-ready numbers: finite floats as they are, NaN and infinities as
None (JSON has no such numbers). Relies on nothing."""
import math
from typing import Any, Optional

__all__ = ["number"]


def number(value: Any) -> Optional[float]:
    """``value`` as a float, or None when it is not finite."""
    value = float(value)
    return value if math.isfinite(value) else None
