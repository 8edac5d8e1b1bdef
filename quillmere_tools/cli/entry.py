"""Entry point: parse, run one command, turn every failure into one line."""
from __future__ import annotations

import sys
from typing import Optional, Sequence

from .._core import ToolError
from .messages import report_error
from .parser import build_parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except (ToolError, ValueError, OSError) as exc:
        if args.debug:
            raise
        report_error(str(exc) if not isinstance(exc, OSError) or not exc.strerror
                     else f"{exc.filename or ''}: {exc.strerror.lower()}".lstrip(": "))
        return 1
    except KeyboardInterrupt:
        report_error("interrupted")
        return 130
    except Exception as exc:  # last resort: one line, never a traceback
        if args.debug:
            raise
        report_error(f"unexpected {type(exc).__name__}: {exc} (rerun with --debug for details)")
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
