"""Whether the process has been asked to stop (Ctrl-C, SIGTERM, SIGHUP).

Set from a signal handler, so this module imports nothing that could be
half-imported when the signal lands; read by writers in worker threads,
which cannot be interrupted inside the codec but must not give a finished
file its name once the user has asked to stop."""
import threading

requested = threading.Event()
