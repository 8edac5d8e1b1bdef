"""Measurement behind ``quillmere bench`` and the docs' figures: codec sweeps
(sweep), their plots (plotting) and the command line's scaling with workers
(worker_scaling). The library itself never imports this package."""
