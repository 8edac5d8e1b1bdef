"""The command line: one sub-command per job, their options and help texts."""
from __future__ import annotations

import argparse

from .. import recordings as formats
from ..recordings.bounded_input import DEFAULT_MAX_INPUT
from .workers import default_jobs
from ..settings import (CODERS, CUTOFFS, DEFAULT_CUTOFF, DEFAULT_EFFORT, DEFAULT_METHOD, DEFAULT_SCALE,
                        EFFORTS, METHODS, SCALES)
from .argument_types import (absolute_or_percent, byte_size, comma_separated_choices, finite_float,
                             multiplier, non_negative_int, positive_float, positive_int, positive_int_list,
                             sample_position, sample_rate)
from .decompress_command import MAX_EXPANSION
from .info_command import INFO_CHANNELS
from .messages import PROG


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("quillmere")
    except PackageNotFoundError:
        return "(not installed)"


def add_codec_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("compression options")
    group.add_argument("--method", choices=METHODS, default=DEFAULT_METHOD,
                       help=f"wavelet (default: {DEFAULT_METHOD})")
    group.add_argument("--scale", type=int, choices=SCALES, default=DEFAULT_SCALE,
                       metavar=f"{{{SCALES[0]}..{SCALES[-1]}}}",
                       help="quantisation scale: multiplier 2**scale and dead-zone row "
                            f"(default: {DEFAULT_SCALE})")
    group.add_argument("--cutoff", choices=CUTOFFS, default=DEFAULT_CUTOFF,
                       help=f"dead-zone strength (default: {DEFAULT_CUTOFF})")
    group.add_argument("--coder", choices=("auto",) + CODERS, default="auto",
                       help="entropy coder (default: auto, i.e. cmodel)")
    group.add_argument("--quant-multiplier", type=multiplier, metavar="M",
                       help="explicit quantisation multiplier (overrides 2**scale); must stay a "
                            "normal float32 number, or 0 for a constant output")
    targets = parser.add_argument_group(
        "error bounds (the cheapest setting meeting all given bounds, verified by decoding)")
    targets.add_argument("--max-error", type=absolute_or_percent, metavar="E",
                         help="maximum absolute error; with a trailing %% a percentage of each "
                              "channel's range, e.g. 0.1%%")
    targets.add_argument("--rmse", type=absolute_or_percent, metavar="R",
                         help="maximum RMSE; with a trailing %% a percentage of each channel's "
                              "range")
    targets.add_argument("--prd", type=positive_float, metavar="P",
                         help="maximum PRD in percent, 100*||x-y||/||x||")
    targets.add_argument("--psnr", type=finite_float, metavar="DB",
                         help="minimum PSNR in dB, the channel's range as the peak")
    targets.add_argument("--bits-per-sample", type=positive_float, metavar="B",
                         help="at most this many stored bits per sample")
    targets.add_argument("--effort", choices=EFFORTS, default=DEFAULT_EFFORT,
                         help="how hard the search for the bounds works: thorough (the default) "
                              "for the smallest file, fast for one several times sooner and a "
                              "few per cent larger; both meet the bounds exactly")
    targets.add_argument("--search-methods", action="store_true",
                         help="also try every wavelet and keep the smallest result")
    targets.add_argument("--search-coders", action="store_true",
                         help="also try every coder and keep the smallest result")


def _add_file_batch_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--output-dir", help="write outputs into this existing folder")
    parser.add_argument("-j", "--jobs", type=positive_int, default=default_jobs(), metavar="N",
                        help="files and channels coded in parallel (default: the number of "
                             f"cores, {default_jobs()} here); the output bytes do not depend on it")


def add_max_input(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--max-input", type=byte_size, default=DEFAULT_MAX_INPUT, metavar="SIZE",
                        help="most bytes read from a pipe, FIFO or device, e.g. 8G (default: "
                             f"{DEFAULT_MAX_INPUT // 10**9}G); regular files are not limited")


def build_parser() -> argparse.ArgumentParser:
    from .compress_command import run_compress
    from .decompress_command import run_decompress
    from .info_command import run_info
    from .measure_commands import run_bench, run_demo

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Lossy wavelet compression of sampled signals: .npy, .csv, WAV, FLAC, OGG, "
                    "AIFF, EDF/BDF and WFDB recordings.")
    parser.add_argument("--debug", action="store_true", help="show tracebacks for unexpected errors")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    compress = sub.add_parser("compress", help="compress signal files to .qlm",
                              description="Compress signal files (every channel, each with "
                                          "its own rate, label, unit and range); each input X "
                                          "is written to X.qlm. '-' reads standard input and "
                                          "writes standard output.")
    compress.add_argument("inputs", nargs="+", metavar="FILE")
    compress.add_argument("-o", "--output", help="output file (one input only)")
    _add_file_batch_options(compress)
    compress.add_argument("-f", "--force", action="store_true",
                          help="overwrite existing outputs (a symbolic link is written through "
                               "to its file; a device or FIFO is written in place)")
    add_max_input(compress)
    compress.add_argument("-q", "--quiet", action="store_true",
                          help="only errors and the summary line")
    reading = compress.add_argument_group("reading the input")
    reading.add_argument("--layout", choices=("columns", "rows"), default="columns",
                         help="channels of a 2-D .npy array are its columns (default) or its rows")
    reading.add_argument("--time-column", metavar="NAME", default="auto",
                         help="CSV column holding time (stored as the sampling step): a header "
                              "name, 'auto' (default: a first column named like time) or 'none'")
    reading.add_argument("--input-format", choices=formats.NAMES,
                         help="format of standard input (default: recognised from its first bytes)")
    add_codec_options(compress)
    compress.add_argument("--block-length", type=positive_int, metavar="N",
                          help="code a channel longer than N samples as independent blocks of N "
                               "(default 1048576; at least 4096), decoded on every core and "
                               "readable one part at a time (decompress --start/--stop)")
    compress.set_defaults(func=run_compress)

    decompress = sub.add_parser("decompress", help="restore .qlm files",
                                description="Decompress .qlm files back to the format they came "
                                            "from (X.edf.qlm -> X.edf, with its metadata), or to "
                                            "--format. '-' reads standard input and writes "
                                            "standard output.")
    decompress.add_argument("inputs", nargs="+", metavar="FILE")
    decompress.add_argument("-o", "--output",
                            help="output file (one input only); its suffix picks the format")
    _add_file_batch_options(decompress)
    decompress.add_argument("--format", choices=formats.NAMES,
                            help="output format (default: the source's)")
    decompress.add_argument("--samplerate", type=sample_rate, metavar="HZ",
                            help="sample rate for audio or EDF output (default: the source's)")
    decompress.add_argument("-f", "--force", action="store_true",
                            help="overwrite existing outputs named by -o or --output-dir (a "
                                 "default name next to the input is never replaced), and lift "
                                 "the output size limit")
    add_max_input(decompress)
    decompress.add_argument("--max-output", type=byte_size, metavar="SIZE",
                            help="largest decoded signal allowed, e.g. 2G (default: "
                                 f"{MAX_EXPANSION:,} times the input; see --force)")
    decompress.add_argument("--bare", action="store_true",
                            help="also read bare containers (no index), as the module alone "
                                 "writes them; a .qlm file cut short looks the same")
    decompress.add_argument("-q", "--quiet", action="store_true",
                            help="only errors and the summary line")
    decompress.add_argument("--start", type=sample_position, metavar="POS",
                            help="first sample to restore: a sample index (12000) or a time in "
                                 "seconds from the start (30s, needs the file's sample rate); "
                                 "only the blocks that hold the range are decoded")
    decompress.add_argument("--stop", type=sample_position, metavar="POS",
                            help="where to stop (excluded), as --start; default: the end")
    decompress.set_defaults(func=run_decompress)

    info = sub.add_parser("info", help="show container headers",
                          description="Show the header fields of each container in a file.")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--json", action="store_true", help="machine-readable output")
    info.add_argument("--all", action="store_true",
                      help=f"list every channel, not only the first {INFO_CHANNELS}, and "
                           "every metadata field, personal ones (patient name, birth date) "
                           "included")
    add_max_input(info)
    info.set_defaults(func=run_info)

    bench = sub.add_parser("bench", help="rate-distortion and speed table",
                           description="Compress one signal with every wavelet x coder x scale "
                                       "and tabulate ratio, error and speed.")
    bench.add_argument("input", nargs="?", help="signal file (default: the built-in ECG)")
    bench.add_argument("--channel", type=non_negative_int, default=0,
                       help="channel of a multi-channel file")
    bench.add_argument("--methods", type=comma_separated_choices(METHODS), default=list(METHODS),
                       help="comma-separated wavelets (default: all)")
    bench.add_argument("--coders", type=comma_separated_choices(CODERS), default=list(CODERS),
                       help="comma-separated coders (default: all)")
    bench.add_argument("--scales", type=comma_separated_choices(SCALES, int), default=list(SCALES),
                       help=f"comma-separated scales (default: {SCALES[0]}..{SCALES[-1]})")
    bench.add_argument("--cutoff", choices=CUTOFFS, default=DEFAULT_CUTOFF)
    bench.add_argument("--repeat", type=positive_int, default=3,
                       help="timing runs per setting (best counts)")
    bench.add_argument("--plot", metavar="FILE.png", help="draw rate-distortion curves")
    bench.add_argument("-f", "--force", action="store_true", help="overwrite an existing plot")
    bench.add_argument("--json", action="store_true", help="machine-readable output")
    bench.add_argument("-j", "--jobs", type=positive_int, default=default_jobs(), metavar="N",
                       help="the batch of files is also run with N workers (default: the "
                            "number of cores) besides one")
    bench.add_argument("--batch-files", type=positive_int, default=8,
                       help="files in the -j batch measurement (default 8)")
    bench.add_argument("--batch-samples", type=positive_int, default=500_000,
                       help="samples per file there (the input repeated; default 500,000)")
    bench.add_argument("--workers", type=positive_int_list, metavar="N[,N...]",
                       help="also measure Dask scale-out throughput with these worker counts, "
                            "e.g. 1,2")
    bench.add_argument("--dask-samples", type=positive_int, default=10_000_000,
                       help="signal length for the Dask measurement (input repeated; default 10^7)")
    bench.add_argument("--dask-chunk", type=positive_int, default=1_000_000,
                       help="chunk length for Dask")
    bench.set_defaults(func=run_bench)

    demo = sub.add_parser("demo", help="compress a built-in ECG three ways and plot it",
                          description="Compress the built-in synthetic ECG with the default and "
                                      "two other settings, print a table and draw a figure.")
    demo.add_argument("--out", default="quillmere-demo.png",
                      help="figure to write (default: quillmere-demo.png, replaced on each run)")
    demo.add_argument("--input", help="use this signal file instead of the built-in ECG")
    demo.set_defaults(func=run_demo)
    return parser
