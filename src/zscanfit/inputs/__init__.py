"""What a fit is given, checked: the experiment's settings (experiment),
measured scans (scans), the eight spectroscopic parameters by name
(parameters), data files (loading) and the conversion of user input
(convert). The lowest layer: imports only the base modules (texts,
warning_types)."""
