"""Termination requests turned into exceptions, so that SIGTERM and SIGHUP
unwind like Ctrl-C does: every ``finally`` runs, temporary files go."""
from __future__ import annotations

import signal

from .. import stop_request


class Terminated(BaseException):
    """Raised in the main thread when a termination signal arrives.  A
    BaseException, like KeyboardInterrupt, so no ``except Exception`` on the
    way out can swallow it."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _stop_writers() -> None:
    # Worker threads (-j) cannot be interrupted inside the codec; they finish
    # the file in hand, and this keeps them from giving it a name.
    stop_request.requested.set()


def _raise_terminated(signum, _frame):
    _stop_writers()
    raise Terminated(signum)


def _raise_interrupt(signum, frame):
    _stop_writers()
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
