"""A fit result in a notebook: one table row per parameter (value,
standard error, relative error, combined uncertainty, bounds, free) as a
pandas DataFrame, and the HTML a notebook shows for a result (the table,
the error budget, the warnings and the figure embedded as a PNG).

Relative errors are left out for focus positions, whose value is a
distance from an arbitrary origin. pandas is an optional extra; without it
to_dataframe raises an ImportError naming the extra. Relies on the
parameters' names and units, texts.py, and on the result's own report and
plot (duck-typed).
"""
import base64
import html
import io
import math
from typing import Any, Dict, List

from .. import texts
from ..inputs.parameters import is_focus_name, names_of, parameter_bounds, unit_of

__all__ = ["parameter_rows", "result_dataframe", "result_html", "COLUMNS"]

COLUMNS = ("value", "stderr", "relative_error", "combined_uncertainty", "min", "max", "free",
           "unit")
# Resolution of the figure embedded in a notebook (the paper's is plot()'s).
NOTEBOOK_DPI = 100


def _combined(result: Any, name: str, value: float, stderr: float) -> float:
    """The combined standard uncertainty of a parameter: the budget's where
    it has one (a tied parameter's in proportion to sigma_0's), else the
    standard error."""
    budget = result.error_budget
    if budget is None:
        return stderr
    if name in budget.free:
        return float(budget.combined[name])
    param = result.params[name]
    if param.expr and "sigma_0" in budget.free:
        sigma = float(result.params["sigma_0"].value)
        return abs(value) * float(budget.combined["sigma_0"]) / abs(sigma)
    return stderr


def parameter_rows(result: Any) -> List[Dict[str, Any]]:
    """One dict per parameter of ``result``, with the keys of COLUMNS and
    'name'; NaN where a value does not apply (fixed parameters have no
    error, positions no relative error)."""
    rows = []
    for name in names_of(result.params):
        param = result.params[name]
        value = float(param.value)
        stderr = float(param.stderr) if param.stderr is not None else math.nan
        fitted = name in result.free or bool(param.expr)
        if not fitted:
            stderr = math.nan
        relative = (math.nan if is_focus_name(name) or value == 0.0
                    else stderr / abs(value))
        low, high = parameter_bounds(param)
        rows.append({"name": name, "value": value, "stderr": stderr,
                     "relative_error": relative,
                     "combined_uncertainty": (_combined(result, name, value, stderr)
                                              if fitted else math.nan),
                     "min": low, "max": high, "free": name in result.free,
                     "unit": unit_of(name)})
    return rows


def result_dataframe(result: Any) -> Any:
    """The parameter rows as a pandas DataFrame indexed by name."""
    try:
        import pandas
    except ImportError:
        raise ImportError(texts.PANDAS_MISSING) from None
    rows = parameter_rows(result)
    frame = pandas.DataFrame([[row[c] for c in COLUMNS] for row in rows],
                             index=pandas.Index([row["name"] for row in rows], name="parameter"),
                             columns=list(COLUMNS))
    return frame


def _number(value: float, digits: int) -> str:
    return "" if not math.isfinite(value) else f"{value:.{digits}g}"


def _table(result: Any) -> str:
    head = "".join(f"<th>{html.escape(h)}</th>" for h in texts.HTML_COLUMNS)
    body = []
    for row in parameter_rows(result):
        if not (row["free"] or math.isfinite(row["stderr"])):
            continue
        relative = ("" if not math.isfinite(row["relative_error"])
                    else f"{100.0 * row['relative_error']:.2g} %")
        cells = (row["name"], _number(row["value"], 6), _number(row["stderr"], 3), relative,
                 _number(row["combined_uncertainty"], 3), row["unit"],
                 texts.HTML_FREE if row["free"] else texts.HTML_TIED)
        body.append("<tr>" + "".join(f"<td>{html.escape(str(c))}</td>" for c in cells)
                    + "</tr>")
    fixed = [f"{name} = {result.params[name].value:.4g}" for name in names_of(result.params)
             if name not in result.free and not result.params[name].expr]
    caption = html.escape(texts.HTML_FIXED.format(fixed=", ".join(fixed))) if fixed else ""
    return (f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"
            + (f"<p>{caption}</p>" if caption else ""))


def _figure(result: Any) -> str:
    """The figure as an embedded PNG; a line saying why where it cannot be drawn."""
    try:
        figure = result.plot()
        buffer = io.BytesIO()
        figure.savefig(buffer, format="png", dpi=NOTEBOOK_DPI)
    except Exception as exc:   # the rest of the result is worth showing anyway
        return f"<p>{html.escape(texts.HTML_NO_FIGURE.format(reason=exc))}</p>"
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img alt="fit" src="data:image/png;base64,{data}"/>'


def result_html(result: Any, figure: bool = True) -> str:
    """The HTML of a result for a notebook."""
    success = "not reported" if result.success is None else str(result.success)
    head = texts.HTML_HEAD.format(method=result.method, model=result.model.name,
                                  chisqr=result.chisqr, redchi=result.redchi,
                                  ndata=result.ndata, success=success)
    parts = [f"<div class=\"zscanfit-result\"><p><b>{html.escape(head)}</b></p>",
             _table(result)]
    if result.error_budget is not None:
        lines = result.error_budget.report_lines(result.values)
        parts.append(f"<h4>{html.escape(texts.HTML_BUDGET)}</h4>"
                     f"<pre>{html.escape(chr(10).join(lines[1:]))}</pre>")
    if result.warning_records:
        items = "".join(f"<li>{html.escape(r.category)}: {html.escape(r.message)}</li>"
                        for r in result.warning_records)
        parts.append(f"<h4>{html.escape(texts.HTML_WARNINGS)}</h4><ul>{items}</ul>")
    if figure:
        parts.append(_figure(result))
    parts.append("</div>")
    return "".join(parts)
