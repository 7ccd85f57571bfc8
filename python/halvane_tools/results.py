"""The results file of a batch: one whole JSON line per frame, resumed where
an interrupted run stopped, never overwritten unless asked, and read back
for plots and exports."""
from __future__ import annotations

import json
from pathlib import Path

from .files import check_output, is_regular, open_output, open_regular
from .times import BatchError


def done_files(path) -> set[Path]:
    """The files that have a whole line in a results file, resolved, but
    for lines marked for retry (a worker died under the frame). A last
    line cut short (the process killed while writing it) is removed, so
    that the next line appended starts on a line of its own."""
    path = Path(path)
    if not path.exists():
        return set()
    done, whole = set(), 0
    with open_regular(path) as stream:
        for line in stream:
            if not line.endswith(b"\n"):
                break
            whole += len(line)
            record = _line_record(line)
            if isinstance(record, dict) and not record.get("retry"):
                try:
                    done.add(Path(record["file"]).resolve())
                except (KeyError, TypeError, ValueError, OSError):
                    continue
    if whole < path.stat().st_size:
        with path.open("r+b") as stream:
            stream.truncate(whole)
    return done


def _line_record(line):
    """The JSON of one results line; None for a line that is not JSON."""
    try:
        return json.loads(line)
    except (ValueError, RecursionError):  # RecursionError: nested deeper than the parser goes
        return None


class ResultsFile:
    """The results file of a run: with resume, the frames it already holds
    are done and new lines are appended; otherwise an existing, non-empty
    file is refused unless overwrite says to replace it. Nothing is written
    before :meth:`open`. A path that is not a regular file is refused for
    resume; for writing it may be a device or a pipe that something reads."""

    def __init__(self, path, *, resume: bool = False, overwrite: bool = False):
        self.path, self.resume = Path(path), resume
        try:
            check_output(self.path)
            if resume:
                self.done = done_files(self.path)
            elif is_regular(self.path) and self.path.stat().st_size > 0 and not overwrite:
                raise BatchError(f"{self.path} exists: give --resume to go on with it or --overwrite to replace it")
            else:
                self.done = set()
        except OSError as e:
            raise BatchError(f"cannot use {self.path} for the results: {e.strerror or e}") from None

    def todo(self, frames) -> list:
        """The frames without a line yet, in order."""
        return [frame for frame in frames if Path(frame.file).resolve() not in self.done]

    def write(self, records):
        """Each record as a whole line, flushed one by one (an interrupted
        run leaves a file that resume continues); yields each once written."""
        with open_output(self.path, "a" if self.resume else "w") as stream:
            for record in records:
                stream.write(json.dumps(record) + "\n")
                stream.flush()
                yield record


def read_records(path) -> list[dict]:
    """The whole records of a results file."""
    with open_regular(path) as stream:
        return [r for r in map(_line_record, stream) if isinstance(r, dict)]
