"""Entry point: parse, run one command, turn every failure into one line.

Only the standard library is imported before the handlers are in place;
NumPy and the rest load inside the guarded region, so an interrupt at any
point after start-up ends with status 130 and one line, not a traceback.
"""
from __future__ import annotations

import os
import signal
import sys
from typing import Optional, Sequence

from .. import stop_request
from .messages import report_error


def _silence_stdout() -> None:
    # Whatever is still buffered would fail again at exit; point the
    # descriptor at /dev/null so the interpreter's final flush succeeds.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def _interrupt_behind(exc: BaseException):
    """The KeyboardInterrupt or Terminated an exception was raised from, if any."""
    seen = set()
    while exc is not None and id(exc) not in seen:
        if isinstance(exc, (KeyboardInterrupt, Terminated)):
            return exc
        seen.add(id(exc))
        exc = exc.__cause__ or exc.__context__
    return None


def main(argv: Optional[Sequence[str]] = None) -> int:
    debug = False
    try:
        install_handlers()
        from .._core import ToolError
        from .parser import build_parser

        args = build_parser().parse_args(argv)
        debug = args.debug
        # A command that runs others (bench measuring compress and decompress)
        # calls back through here rather than importing this module.
        args.run_command = main
        try:
            status = args.func(args)
            sys.stdout.flush()
            return status
        except MemoryError:
            report_error("out of memory")
            return 1
        except BrokenPipeError:
            raise
        except (ToolError, ValueError, OSError) as exc:
            if debug:
                raise
            report_error(str(exc) if not isinstance(exc, OSError) or not exc.strerror
                         else f"{exc.filename or ''}: {exc.strerror.lower()}".lstrip(": "))
            return 1
    except BrokenPipeError:
        # The reader went away (``quillmere info f | head``): nothing left to say.
        _silence_stdout()
        return exit_status(signal.SIGPIPE)
    except KeyboardInterrupt:
        report_error("interrupted")
        return 130
    except Terminated as stop:
        report_error(f"terminated by {signal.Signals(stop.signum).name}")
        return exit_status(stop.signum)
    except SystemExit:
        raise
    except Exception as exc:  # last resort: one line, never a traceback
        stop = _interrupt_behind(exc)
        # A library may turn the interrupt into its own error (NumPy's import
        # does when Ctrl-C lands inside it), sometimes without chaining it:
        # then the signal the handlers saw is the only trace left.
        signum = (signal.SIGINT if isinstance(stop, KeyboardInterrupt)
                  else stop.signum if stop is not None else _received_signal)
        if signum is not None:
            report_error("interrupted" if signum == signal.SIGINT
                         else f"terminated by {signal.Signals(signum).name}")
            return 130 if signum == signal.SIGINT else exit_status(signum)
        if debug:
            raise
        report_error(f"unexpected {type(exc).__name__}: {exc} (rerun with --debug for details)")
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())


class Terminated(BaseException):
    """Raised in the main thread when a termination signal arrives.  A
    BaseException, like KeyboardInterrupt, so no ``except Exception`` on the
    way out can swallow it."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


_received_signal: Optional[int] = None


def _stop_writers(signum: int) -> None:
    global _received_signal
    _received_signal = signum
    # Worker threads (-j) cannot be interrupted inside the codec; they finish
    # the file in hand, and this keeps them from giving it a name.
    stop_request.requested.set()


def _raise_terminated(signum, _frame):
    _stop_writers(signum)
    raise Terminated(signum)


def _raise_interrupt(signum, frame):
    _stop_writers(signum)
    signal.default_int_handler(signum, frame)


def install_handlers() -> None:
    for name in ("SIGTERM", "SIGHUP"):
        number = getattr(signal, name, None)
        # A signal the caller chose to ignore (nohup) stays ignored.
        if number is not None and signal.getsignal(number) == signal.SIG_DFL:
            signal.signal(number, _raise_terminated)
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, _raise_interrupt)


def exit_status(signum: int) -> int:
    """The status a shell reports for a process ended by ``signum``."""
    return 128 + signum
