"""The command line, ``zscanfit`` or ``python -m zscanfit``: the top layer.

main.py (the parser, exit statuses, errors and warnings as one line each),
options.py (the options every fitting command shares), fit_inputs.py (a
data file and the command line's settings made into a fit's inputs, once),
fit.py and fit_many.py (the commands). May import every other part of the
package; nothing imports it but ``__main__``.
"""
