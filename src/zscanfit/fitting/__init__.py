"""One fit: the methods (robust, exact), each handing on one MethodOutcome,
the fit coordinates, the standard errors (covariance), the warnings about
what the data leave open (diagnostics), the result with its report and
figure, and the whole of one fit without a bootstrap (single). Imports the
evaluation layer, the inputs and the base modules."""
