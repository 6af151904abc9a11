"""How the text of a data file is cut into fields and numbers.

``decode`` makes text of the file's bytes: UTF-8 (a byte-order mark, as
Excel's "CSV UTF-8" writes it, is dropped), UTF-16 with its byte-order
mark, else Windows-1252 (only names and comments hold more than ASCII).
``read_rows`` finds the file's one delimiter (tab, semicolon, comma, or
runs of blanks; an Excel 'sep=;' first line says it outright), splits the
data lines, tells a header line from numbers, and finds the file's one
number format (decimal point or decimal comma). ``read_table`` reads the
numbers of the columns asked for, scaled exactly by a power of ten (a
unit), with an empty field, 'nan', 'NA' or 'N/A' for a missing value.

Numbers are never guessed: a file mixing decimal points and commas, a
thousands separator, and a decimal comma in a comma-separated file (where
it cannot be told from a column break; ``check_comma_split`` looks for the
traces such a split leaves) are refused, naming the file, line and column.
Relies on texts.py and the standard library (csv, decimal).
"""
import codecs
import csv
import dataclasses
import math
import re
from decimal import Decimal
from typing import List, Optional, Sequence, Tuple

import numpy as np

from .. import texts

__all__ = ["FileFormat", "FieldError", "Row", "decode", "read_rows", "header_names", "data_width",
           "check_widths", "read_table", "check_comma_split", "to_float", "column_label", "is_number_like"]

BLANKS = " "                           # the delimiter of columns separated by blanks
_DELIMITERS = ("\t", ";", ",")          # tried in this order, before blanks
_NUMBER = re.compile(r"[+-]?(?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eEdD][+-]?\d+)?\Z")
_SPECIAL = {"nan": math.nan, "+nan": math.nan, "-nan": math.nan, "inf": math.inf,
            "+inf": math.inf, "-inf": -math.inf, "infinity": math.inf,
            "+infinity": math.inf, "-infinity": -math.inf}
_MISSING = ("", "na", "n/a")
_GROUPED = re.compile(r"[+-]?\d{1,3}(?:[.,'\u00a0\u202f_ ]\d{3})+(?:[.,]\d+)?"
                      r"(?:[eE][+-]?\d+)?\Z")
_LETTER = re.compile(r"[^\W\d_]")
_LEADING_ZERO = re.compile(r"[+-]?0\d+\Z")
_WHOLE = re.compile(r"[+-]?\d+\Z")
_BLANK_RUN = re.compile(r"[ \t]+")
_WIDE_GAP = re.compile(r"\t|  +")
_TOKEN = re.compile(r'"([^"]*)"|([^ \t]+)')
_SEP_LINE = re.compile(r'\s*"?sep=(.)"?\s*\Z', re.IGNORECASE)

Row = Tuple[int, List[str], str]       # line number, fields, the line as written


@dataclasses.dataclass(frozen=True)
class FileFormat:
    """The delimiter ("\\t", ";", "," or BLANKS) and the decimal separator
    ("." or ",") of a file."""

    delimiter: str
    decimal: str

    def split(self, text: str) -> List[str]:
        """The fields of one line, stripped, surrounding quotes removed."""
        return _split(text, self.delimiter)


def decode(data: bytes) -> str:
    """The text of a file's bytes; ValueError (the reason) for binary data."""
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return data.decode("utf-16")
    if b"\x00" in data:
        raise ValueError(texts.NOT_TEXT)
    if data.startswith(codecs.BOM_UTF8):
        data = data[len(codecs.BOM_UTF8):]
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        try:
            return data.decode("cp1252")
        except UnicodeDecodeError:
            return data.decode("latin-1")


class FieldError(ValueError):
    """A line the csv module cannot cut into fields (a field beyond its size
    limit, for one); ``reason`` says why, without the file and line."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


def _split(text: str, delimiter: str) -> List[str]:
    if delimiter == BLANKS:
        return [(quoted or bare).strip() for quoted, bare in _TOKEN.findall(text)] or [""]
    try:
        fields = next(csv.reader([text], delimiter=delimiter, skipinitialspace=True))
    except csv.Error as exc:
        raise FieldError(str(exc)) from None
    return [field.strip() for field in fields] or [""]


def is_number_like(field: str) -> bool:
    """Whether a field reads as a number in some format, or a missing value."""
    low = field.strip().lower()
    return low in _MISSING or low in _SPECIAL or bool(_NUMBER.match(low))


def _holds_text(field: str) -> bool:
    return bool(_LETTER.search(field)) and not is_number_like(field)


def column_label(index: int, names: Optional[Sequence[str]]) -> str:
    """'3', or '3 (sigma)' where a header names the column (index from 0)."""
    if names is not None and index < len(names) and names[index]:
        return texts.COLUMN_LABEL.format(number=index + 1, name=names[index])
    return str(index + 1)


def _fields(path: str, number: int, text: str, delimiter: str) -> List[str]:
    """The fields of line ``number``; ValueError naming the file and line
    where the line cannot be cut into fields."""
    try:
        return _split(text, delimiter)
    except FieldError as exc:
        raise ValueError(texts.UNREADABLE_LINE.format(path=path, line=number,
                                                      reason=exc.reason)) from None


def _numbers_split_by_blanks(path: str, rows: Sequence[Tuple[int, str]],
                             delimiter: str) -> bool:
    """Whether splitting at ``delimiter`` leaves fields holding several
    numbers between blanks: then blanks separate the columns."""
    for number, text in rows:
        for field in _fields(path, number, text, delimiter):
            tokens = _BLANK_RUN.split(field.strip())
            if len(tokens) > 1 and all(_NUMBER.match(t) for t in tokens):
                return True
    return False


def _delimiter(path: str, rows: Sequence[Tuple[int, str]]) -> str:
    numeric = rows[1:] if _LETTER.search(rows[0][1]) else rows
    for delimiter in _DELIMITERS:
        if all(delimiter in text for _, text in rows):
            return BLANKS if _numbers_split_by_blanks(path, numeric, delimiter) else delimiter
    return BLANKS


def read_rows(path: str, lines: Sequence[Tuple[int, str]]
              ) -> Tuple[FileFormat, Optional[Row], List[Row]]:
    """The format of the data lines (numbered, non-empty, comments left
    out), the header line if the first line is one, and the other lines."""
    lines = list(lines)
    forced = _SEP_LINE.match(lines[0][1]) if lines else None
    if forced and forced.group(1) in _DELIMITERS:
        lines = lines[1:]
    delimiter = forced.group(1) if forced and forced.group(1) in _DELIMITERS else None
    if not lines:
        return FileFormat(delimiter or ",", "."), None, []
    delimiter = delimiter or _delimiter(path, lines)
    rows = [(number, _fields(path, number, text, delimiter), text) for number, text in lines]
    header = rows[0] if any(_holds_text(f) for f in rows[0][1]) else None
    body = rows[1:] if header is not None else rows
    names = header[1] if header is not None else None
    return FileFormat(delimiter, _decimal(path, body, names)), header, body


def _decimal(path: str, body: Sequence[Row], names: Optional[Sequence[str]]) -> str:
    """The decimal separator of the numbers of ``body``: one for the file."""
    first = None
    for number, fields, _ in body:
        for index, field in enumerate(fields):
            if not _NUMBER.match(field):
                continue
            separator = "." if "." in field else "," if "," in field else None
            if separator is None:
                continue
            if first is None:
                first = (separator, number, index, field)
            elif separator != first[0]:
                word = {".": texts.DECIMAL_POINT, ",": texts.DECIMAL_COMMA}
                raise ValueError(texts.MIXED_DECIMALS.format(
                    path=path, line=number, column=column_label(index, names), field=field,
                    this=word[separator], first_line=first[1],
                    first_column=column_label(first[2], names), first=first[3],
                    other=word[first[0]]))
    return first[0] if first is not None else "."


def header_names(header: Row, fmt: FileFormat, width: int) -> List[str]:
    """The names of a header line (trailing empty ones left out). Where
    blanks separate the columns, names holding blanks ('z (mm)', 'T @ 0.4
    uJ') are kept whole: split at tabs or wide gaps if that gives the
    ``width`` of the data, else with units and energies joined to their
    names."""
    number, fields, text = header
    if fmt.delimiter != BLANKS:
        while fields and not fields[-1]:
            fields = fields[:-1]
        return fields
    if len(fields) == width:
        return fields
    wide = [f.strip() for f in _WIDE_GAP.split(text.strip()) if f.strip()]
    if len(wide) == width:
        return wide
    merged: List[str] = []
    for token in fields:
        if merged and _continues(merged[-1], token):
            merged[-1] = f"{merged[-1]} {token}"
        else:
            merged.append(token)
    return merged


def _continues(previous: str, token: str) -> bool:
    """Whether ``token`` belongs to the name before it: a unit in brackets
    or after '/', or a pulse energy after '@'."""
    if previous.count("(") > previous.count(")") or previous.count("[") > previous.count("]"):
        return True
    if token[0] in "([/@" or previous[-1] in "/@":
        return True
    return bool(re.search(r"@\s*[\d.,eE+-]+\Z", previous)) and token.isalpha()


def data_width(body: Sequence[Row]) -> Tuple[int, int]:
    """The number of columns of the data lines and the first line that has
    them: the widest line, trailing empty fields left out."""
    width, line = 0, body[0][0]
    for number, fields, _ in body:
        used = len(fields)
        while used and not fields[used - 1]:
            used -= 1
        if used > width:
            width, line = used, number
    return width, line


def to_float(text: str, decimal: str, exponent: int = 0) -> Optional[float]:
    """The number ``text`` written with the decimal separator ``decimal``,
    times 10**exponent (rounded once, exactly); None if it is not one."""
    field = text.strip()
    special = _SPECIAL.get(field.lower())
    if special is not None:
        return special
    other = "," if decimal == "." else "."
    if not _NUMBER.match(field) or other in field:
        return None
    field = field.replace(",", ".").replace("d", "e").replace("D", "e")
    if exponent == 0:
        return float(field)
    return float(Decimal(field).scaleb(exponent))


def _not_a_number(path: str, number: int, index: int, field: str,
                  names: Optional[Sequence[str]], hint: str = "") -> ValueError:
    column = column_label(index, names)
    if _GROUPED.match(field) or ("." in field and "," in field and
                                 _NUMBER.match(field.replace(".", "").replace(",", "."))):
        return ValueError(texts.THOUSANDS.format(path=path, line=number, column=column,
                                                 field=field))
    return ValueError(texts.NOT_A_NUMBER.format(path=path, line=number, column=column,
                                                field=field, hint=hint))


def check_widths(path: str, body: Sequence[Row], fmt: FileFormat, width: int,
                 why: str) -> None:
    """Refuses a data line without ``width`` fields (more only if empty);
    ``why`` says where the width comes from, for the message."""
    hint = texts.HINT_COMMA_COLUMNS if fmt.delimiter == "," else ""
    for number, fields, text in body:
        used = len(fields)
        while used > width and not fields[used - 1]:
            used -= 1
        if used != width:
            raise ValueError(texts.BAD_ROW.format(path=path, line=number, got=used,
                                                  expected=width, why=why, hint=hint, text=text))


def read_table(path: str, body: Sequence[Row], fmt: FileFormat, columns: Sequence[int],
               exponents: Sequence[int], names: Optional[Sequence[str]]) -> np.ndarray:
    """The numbers of ``columns`` (indices) of every data line, each column
    times 10**exponent, shape (lines, len(columns)); NaN for a missing
    value. The lines have been checked by ``check_widths``."""
    table = np.empty((len(body), len(columns)), dtype=np.float64)
    for row, (number, fields, text) in enumerate(body):
        for k, (index, exponent) in enumerate(zip(columns, exponents)):
            field = fields[index]
            if field.lower() in _MISSING:
                table[row, k] = math.nan
                continue
            value = to_float(field, fmt.decimal, exponent)
            if value is None:
                units_row = (row == 0 and names is not None and
                             not any(is_number_like(f) and f for f in fields))
                raise _not_a_number(path, number, index, field, names,
                                    texts.HINT_UNITS_ROW if units_row else "")
            table[row, k] = value
    return table


def check_comma_split(path: str, body: Sequence[Row], columns: Sequence[int],
                      transmittance: Sequence[int], names: Optional[Sequence[str]]) -> None:
    """In a comma-separated file: refuses the traces of numbers split at a
    decimal comma among ``columns`` -- a field with a leading zero ('-25,1,006'
    makes '006') -- and among the ``transmittance`` columns of a file without
    a header, where the split fits a layout, a column of whole numbers only
    ('-25,1,25' reads as T = 1, sigma = 25)."""
    for number, fields, _ in body:
        for index in columns:
            if index < len(fields) and _LEADING_ZERO.match(fields[index]):
                raise ValueError(texts.COMMA_AMBIGUOUS.format(
                    path=path, line=number, column=column_label(index, names),
                    evidence=texts.EVIDENCE_LEADING_ZERO.format(field=fields[index])))
    for index in transmittance:
        written = [(n, f[index]) for n, f, _ in body
                   if index < len(f) and f[index].lower() not in _MISSING]
        if written and all(_WHOLE.match(field) for _, field in written):
            raise ValueError(texts.COMMA_AMBIGUOUS.format(
                path=path, line=written[0][0], column=column_label(index, names),
                evidence=texts.EVIDENCE_WHOLE_NUMBERS))
