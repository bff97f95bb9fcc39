"""The ``korvel`` command: tempo and beats of audio files from the shell.

    korvel beats [AUDIO] [--plot OUT.png] [--clicks OUT.wav] [--json OUT.json]
    korvel tempo AUDIO... [--tempo-level auto|raw]
    korvel batch INPUT... --out RESULTS.parquet

Audio is read with soundfile and plots are drawn with matplotlib; both are
optional extras (``pip install 'korvel[cli]'``) and imported only when needed,
so the core package keeps NumPy as its only dependency.

Every failure ends in one line on stderr and a non-zero exit status (2 for
bad options, 1 for everything else).  Output files are written to a temporary
file beside their destination and renamed into place only once all of them
are complete, so a failed run leaves nothing behind; symlinks are followed,
FIFOs and devices written into, and ``--json -`` goes to stdout (see
:class:`korvel.audio_io.OutputSet`).

This module is the parser and the dispatch; each subcommand registers its own
options, and the library errors it raises become the one-line messages here.
"""

from __future__ import annotations

import argparse
import sys
from typing import NoReturn, Sequence

from .. import __version__
from .._errors import KorvelError
from ..batch import command as batch_command
from ..options import PROG
from . import commands
from .commands import CliError, print_error, silence_stdout

__all__ = ["CliError", "PROG", "build_parser", "main"]


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage block before its error; one line with a
    # pointer to --help is easier to read in a terminal and in logs.
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Tempo and beat tracking for audio files.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    commands.register(sub)
    batch_command.register(sub)  # cheap: Dask and pyarrow load only when a batch runs
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        code: int = args.run(args, args.parser)
        sys.stdout.flush()
        return code
    except KorvelError as exc:
        print_error(str(exc))
        return exc.code
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `korvel beats | head`); nothing to report.
        silence_stdout()
        return 1
    except OSError as exc:
        print_error(f"{exc.filename or ''}{': ' if exc.filename else ''}{exc.strerror or exc}",
                    flush_stdout=False)
        return 1
    except Exception as exc:  # a bug of ours: still one line, but say what it was
        print_error(f"unexpected {type(exc).__name__}: {exc}", flush_stdout=False)
        return 1
