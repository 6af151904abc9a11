"""The model evaluated for a fit: a curve on any grid (curve), the fit
problem with its residual function (problem), point weights (weights), the
model's integration noise (noise) and the collection of the integrator's
messages (integrator_messages). Imports the inputs and the base modules,
reaching the compiled code only through _native."""
