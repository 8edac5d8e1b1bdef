"""Measurement behind ``quillmere bench`` and the docs' figures: codec sweeps
and their plots (sweep) and the command line's scaling with workers
(worker_scaling). The library itself never imports this package."""
