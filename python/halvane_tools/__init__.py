"""Companions of the halvane engine: the bundled star catalogue, its builder
and the command line. Imports :mod:`halvane`; the engine never imports this."""
