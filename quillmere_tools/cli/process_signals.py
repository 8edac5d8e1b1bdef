"""Termination requests turned into exceptions, so that SIGTERM and SIGHUP
unwind like Ctrl-C does: every ``finally`` runs, temporary files go."""
from __future__ import annotations

import signal


class Terminated(BaseException):
    """Raised in the main thread when a termination signal arrives.  A
    BaseException, like KeyboardInterrupt, so no ``except Exception`` on the
    way out can swallow it."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _raise_terminated(signum, _frame):
    raise Terminated(signum)


def install_handlers() -> None:
    for name in ("SIGTERM", "SIGHUP"):
        number = getattr(signal, name, None)
        # A signal the caller chose to ignore (nohup) stays ignored.
        if number is not None and signal.getsignal(number) == signal.SIG_DFL:
            signal.signal(number, _raise_terminated)


def exit_status(signum: int) -> int:
    """The status a shell reports for a process ended by ``signum``."""
    return 128 + signum
