"""The lines of a data file before its numbers, and the rule that no text
lies among the numbers.

Labs write a title, settings ('Energy: 3 uJ'), notes and the column names
before the numbers. ``split_data`` finds the first line of numbers (two
fields or more, none a word) and the data's delimiter, and refuses a line of words after
it, naming that line; a file without a line of numbers is ``NoData``
unless a line names its columns (then it is a data file without rows).
``read_front`` sorts the lines before it (comments with '#' are not among
them): settings the model reads (file_settings.py); the header, the last
line naming a column (or, where none does, the last that splits into as
many fields as the data, at the data's delimiter); lines between the
header and the numbers (a row of units), which are read with the data and
refused there; and the rest, skipped: a title (the first line, free text)
silently, any other line -- 'Operator: Smith', 'Sample 3' -- named in
``skipped`` for a warning. Relies on file_format.py, columns.py,
file_settings.py and texts.py.
"""
import dataclasses
import re
from typing import List, Optional, Sequence, Tuple

from .. import texts
from . import file_format
from .columns import names_a_column
from .file_format import BLANKS, FileFormat, Row
from .file_settings import SettingLine, is_known, setting_line

__all__ = ["Front", "NoData", "split_data", "read_front"]

Line = Tuple[int, str]     # line number, the line as written


@dataclasses.dataclass
class Front:
    """What the lines before the numbers hold: settings, the header (or
    None), lines between it and the numbers, and the lines skipped that
    the reader should hear of."""

    settings: List[SettingLine]
    header: Optional[Row]
    after_header: List[Row]
    skipped: List[Line]


class NoData(ValueError):
    """A text file without a line of numbers or column names (notes, a
    log): not a data file at all, unless it gives a setting."""


def _names_columns(text: str) -> bool:
    """Whether a line names a position and a transmittance column, at any
    delimiter: the header of a data file."""
    fields = [f.strip().strip('"') for f in re.split(r"[\t;,]|\s{2,}", text)] + text.split()
    return names_a_column(fields, ("x_mm", "transmittance"))


def split_data(path: str, lines: Sequence[Line], forced: Optional[str] = None
               ) -> Tuple[List[Line], List[Row], str]:
    """The lines before the first line of numbers, the lines from it on cut
    into fields, and their delimiter (``forced`` when a 'sep=' line gave
    it). ValueError naming the first line of words among the numbers, or a
    line that cannot be cut into fields; without a line of numbers, NoData
    when no line names the columns either, else a ValueError."""
    start = next((k for k, (_, text) in enumerate(lines) if file_format.starts_data(text)),
                 None)
    if start is None:
        header = next((k for k, (_, text) in enumerate(lines) if _names_columns(text)), None)
        if header is None:
            raise NoData(texts.NO_ROWS.format(path=path))
        delimiter = forced or file_format.find_delimiter(path, [lines[header]])
        file_format.split_rows(path, lines[header + 1:], delimiter)
        raise ValueError(texts.NO_ROWS.format(path=path))
    before, data = list(lines[:start]), list(lines[start:])
    numbers = [line for line in data if not file_format.holds_text(line[1])]
    delimiter = forced or file_format.find_delimiter(path, numbers)
    rows = file_format.split_rows(path, data, delimiter)
    for number, _, text in rows:
        if file_format.holds_text(text):
            raise ValueError(texts.TEXT_IN_DATA.format(path=path, line=number, text=text.strip(),
                                                       first=data[0][0]))
    return before, rows, delimiter


def _header_like(row: Row, delimiter: str, width: int) -> Tuple[bool, bool]:
    """Whether a line could be the header, and whether it names a column."""
    number, fields, text = row
    names = file_format.header_names(row, FileFormat(delimiter, "."), width)
    naming = names_a_column(names)
    split = width > 1 and len(names) == width and (delimiter == BLANKS or delimiter in text)
    return naming or split, naming


def read_front(path: str, lines: Sequence[Line], delimiter: str, width: int) -> Front:
    """The lines before the numbers sorted into settings, the header, the
    lines after it, and the lines skipped worth a word (see the module)."""
    settings: List[SettingLine] = []
    rows: List[Tuple[Row, bool, bool]] = []
    for number, text in lines:
        setting = setting_line(number, text)
        if setting is not None and is_known(setting):
            settings.append(setting)
            continue
        row = file_format.split_rows(path, [(number, text)], delimiter)[0]
        possible, naming = _header_like(row, delimiter, width)
        # 'Operator: Smith' is a note, unless it names a column.
        rows.append((row, possible and (setting is None or naming), naming))
    naming_rows = [row for row, possible, naming in rows if possible and naming]
    possible_rows = [row for row, possible, _ in rows if possible]
    header = (naming_rows or possible_rows or [None])[-1]
    after = [row for row, _, _ in rows if header is not None and row[0] > header[0]]
    skipped = [(row[0], row[2]) for row, _, _ in rows if header is None or row[0] < header[0]]
    if skipped and skipped[0][0] == lines[0][0] and setting_line(*lines[0]) is None:
        skipped = skipped[1:]   # the title
    return Front(settings, header, after, skipped)
