"""The `gyrant` command line: info, voxelize, sample, orient and reconstruct on one's own files.

Exit status 0 on success, 2 on bad input (a missing or unreadable file, an unsupported format, a
bad argument), 1 when the computation fails; either way one line on standard error and no
output file. Several inputs go to a folder, one output each; `--workers N` or `--scheduler
ADDRESS` runs the work on a Dask cluster (gyrant.dask).
"""
import signal
import sys
import time

from gyrant import winding
from gyrant.commands import COMMANDS, InProcess, UsageError, _say, build_parser, cmd_info, file_tasks, several
from gyrant.surface import InputError

# Names kept for callers of the earlier layout.
__all__ = ["main", "entry_point", "build_parser", "COMMANDS", "file_tasks"]


class Terminated(BaseException):
    """SIGTERM, raised in the main thread so that staged outputs are removed as on Ctrl-C."""


def _on_sigterm(signum, frame):
    raise Terminated()


def _several(args, run):
    """Several inputs: each to its own output in the folder; one line per input."""
    tasks = file_tasks(args)
    refused = 0
    for result in run.files(tasks):
        if result["error"]:
            refused += 1
            print(f"gyrant {args.command}: error: {result['error']}", file=sys.stderr)
        else:
            _say(f"wrote {result['output']}")
    return 2 if refused else 0


def _runner(args):
    if args.scheduler or args.workers:
        try:
            from gyrant import dask as gyrant_dask
        except ImportError:
            raise InputError("--scheduler and --workers need Dask: python3 -m pip install 'dask[array]' "
                             "distributed") from None
        return gyrant_dask.CommandRunner(args)
    if args.surface_shards != 1:
        raise InputError("--surface-shards needs a Dask cluster (--workers or --scheduler)")
    return InProcess(args)


def main(argv=None):
    """Runs one command; returns its exit status."""
    try:
        args = build_parser().parse_args(argv)
    except UsageError as error:
        print(error, file=sys.stderr)
        return 2
    previous = None
    try:
        previous = signal.signal(signal.SIGTERM, _on_sigterm)
    except ValueError:  # not the main thread: the caller owns the signals
        pass
    try:
        if args.command == "info":
            return cmd_info(args)
        start = time.perf_counter()
        many = several(args)
        if many:
            file_tasks(args)  # refuses bad inputs and existing outputs before any cluster starts
        else:
            args.input = args.input[0]
        run = _runner(args)
        try:
            if many:
                return _several(args, run)
            done = COMMANDS[args.command](args, run)
        finally:
            run.close()
        _say(f"wrote {args.output}: {done} in {time.perf_counter() - start:.2f} s")
        return 0
    except InputError as error:
        print(f"gyrant {args.command}: error: {error}", file=sys.stderr)
        return 2
    except (winding.GyrantError, RuntimeError, MemoryError, OSError) as error:
        text = str(error).strip().splitlines()
        print(f"gyrant {args.command}: error: {text[0] if text else type(error).__name__}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"gyrant {args.command}: interrupted; nothing written", file=sys.stderr)
        return 130
    except Terminated:
        print(f"gyrant {args.command}: terminated; nothing written", file=sys.stderr)
        return 143
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def entry_point():
    sys.exit(main())


if __name__ == "__main__":
    entry_point()
