"""Many photographs: a night's frames or an archive, solved on every core or
on a cluster, one JSON record per frame.

    from halvane_tools import batch

    times = batch.TimeFromName("cam_%Y%m%d_%H%M%S")
    for record in batch.solve_batch(["night/"], (0, 0, 1), {"fisheye_fov_deg": 180}, time_from=times):
        print(record["file"], record.get("latitude_deg"), record.get("error"))

A record holds the file, the UTC used (ISO 8601) and either the fields of
``halvane solve --json`` or ``error``: a bad, undated or unsolvable file is a
record, never an exception. Records come in the order frames finish.

Where each frame's time comes from: its file name (:class:`TimeFromName`),
its EXIF DateTimeOriginal (:class:`TimeFromExif`) or a CSV of file and UTC
(:class:`TimeFromCsv`); see :mod:`halvane_tools.times`. The results file
(:class:`ResultsFile`) takes one whole, flushed line per record, and a run
cut short is resumed from it.

Work is spread over a process pool (every core by default; each process loads
the catalogue once) or, given a scheduler address, over a Dask cluster. With
``tracked=True`` the frames of one camera go, in time order, through one
halvane.FixTracker, so that a tied star pattern is broken by the camera's
previous fix; cameras run in parallel.
"""
from __future__ import annotations

import datetime
import math
import multiprocessing
import os
import queue
import signal
import time
from pathlib import Path

from .lens import as_lens
from .options import PhotoOptions
# The frames, the EXIF tags, the results file and the time sources are part
# of this module's interface.
from .batch_frames import (DEFAULT_MAX_DISAMBIGUATION_DISTANCE_NM, DEFAULT_MAX_REFERENCE_AGE_S, Frame,  # noqa: F401
                           FrameSettings, Tracking, _one_line, _record, at_mid_exposure, camera_of, find_photos,
                           plan_frames, solve_frame, solve_sequence, worker_catalog)
from .readers import DATE_TIME_ORIGINAL, EXIF_IFD, OFFSET_TIME_ORIGINAL, SUBSEC_TIME_ORIGINAL  # noqa: F401
from .results import ResultsFile, done_files, read_records  # noqa: F401
from .times import (DEFAULT_TIME_IS, TIME_IS, BatchError, FrameError, TimeFromCsv, TimeFromExif,  # noqa: F401
                    TimeFromName, as_utc, choose_time_source, mid_exposure, parse_clock_offset)


def add_tracker_bounds(group) -> None:
    """The tracker's two bounds as command-line options (batch and watch)."""
    group.add_argument("--max-reference-age", type=float, metavar="S", default=DEFAULT_MAX_REFERENCE_AGE_S,
                       help="oldest reference that breaks a tie, seconds (default %(default)g)")
    group.add_argument("--max-distance", type=float, metavar="NM", default=DEFAULT_MAX_DISAMBIGUATION_DISTANCE_NM,
                       help="farthest a tie's pick may lie from the reference, nm (default %(default)g)")


# --- Spreading the work ----------------------------------------------------------------


def _run_task(frames, settings, tracking):
    """One unit of cluster work: its records, all at once."""
    return list(solve_sequence(frames, settings, tracking))


def tasks_of(frames, tracked: bool) -> list[tuple[Frame, ...]]:
    """Units of work: a frame each, or (tracked) each camera's frames in
    time order, undated last; cameras in order of first appearance."""
    if not tracked:
        return [(frame,) for frame in frames]
    cameras: dict[str, list[Frame]] = {}
    for frame in frames:
        cameras.setdefault(frame.camera, []).append(frame)
    far = datetime.datetime.max.replace(tzinfo=datetime.timezone.utc)
    return [tuple(sorted(group, key=lambda f: (f.utc or far, f.file))) for group in cameras.values()]


def _work(settings, tracking, tasks, results, slot):
    """A pool process: load the catalogue, then solve tasks until told to
    stop, saying which task it takes before its records."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent handles Ctrl-C and ends its workers
    worker_catalog(settings.catalog_files)
    for index, task in iter(tasks.get, None):
        results.put(("task", slot, index))
        for record in solve_sequence(task, settings, tracking):
            results.put(("record", slot, record))


# A frame whose worker died under it: the line says so, and --resume tries it again.
LOST_FRAME = "not solved: a worker process ended unexpectedly (exit code {}); --resume retries it"


class _ProcessPool:
    """Worker processes fed from one queue, each streaming a record per
    frame back. A worker that dies costs only the frames of the task it
    held: they get a line marked for retry, and a new worker takes its
    place. They are not tried again in this run, since a frame that kills a
    worker would kill the next one too."""

    def __init__(self, tasks, settings, tracking, jobs):
        method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
        self._context = multiprocessing.get_context(method)
        self._settings, self._tracking, self._all = settings, tracking, tasks
        # Each worker has a task queue and a results queue of its own (the
        # tasks dealt round in turn): a worker killed inside a queue operation
        # holds that queue's lock for ever, which must not stall the others or
        # its replacement. A dead worker's results queue is still read.
        self._results = []
        self._shares = [list(range(slot, len(tasks), jobs)) for slot in range(jobs)]
        self._taken = set()  # task indices a worker has said it took
        self._queues = [None] * jobs
        self.processes = [self._start(slot) for slot in range(jobs)]
        self._held = {}  # slot -> (task index, files of it reported)
        self._working = set()  # slots whose process has taken a task: past its start-up
        self._given_up = set()  # slots whose process failed to start

    def _start(self, slot):
        """A worker for the slot, with a fresh queue of the slot's tasks not yet taken."""
        if self._queues[slot] is not None:
            self._queues[slot].cancel_join_thread()
            self._queues[slot].close()
        tasks = self._queues[slot] = self._context.Queue()
        for index in self._shares[slot]:
            if index not in self._taken:
                tasks.put((index, self._all[index]))
        tasks.put(None)
        results = self._context.Queue()
        self._results.append(results)
        process = self._context.Process(target=_work, daemon=True, args=(
            self._settings, self._tracking, tasks, results, slot))
        process.start()
        return process

    def _lost(self, slot):
        """The records of the frames a dead worker held."""
        index, reported = self._held.pop(slot, (None, ()))
        if index is None:
            return []
        code = self.processes[slot].exitcode
        return [_record(f, LOST_FRAME.format(code), retry=True) for f in self._all[index] if f.file not in reported]

    def _get(self, timeout: float):
        """The next message of any worker; queue.Empty after timeout seconds."""
        end = time.monotonic() + timeout
        while True:
            for results in self._results:
                try:
                    return results.get_nowait()
                except queue.Empty:
                    continue
            if time.monotonic() >= end:
                raise queue.Empty
            time.sleep(0.01)

    def records(self, expected: int):
        got = 0
        while got < expected:
            try:
                kind, slot, payload = self._get(timeout=0.2)
            except queue.Empty:
                dead = [slot for slot, p in enumerate(self.processes)
                        if p.exitcode not in (None, 0) and slot not in self._given_up]
                if dead:
                    try:  # what a worker sent just before it ended comes first
                        kind, slot, payload = self._get(timeout=0.5)
                    except queue.Empty:
                        for slot in dead:
                            for record in self._lost(slot):
                                got += 1
                                yield record
                            # The new worker gets the slot's tasks not yet taken. One
                            # that never took a task failed to start and would again.
                            if slot in self._working:
                                self._working.discard(slot)
                                self.processes[slot] = self._start(slot)
                            else:
                                self._given_up.add(slot)
                        if not any(p.is_alive() for p in self.processes):
                            return
                        continue
                elif any(p.is_alive() for p in self.processes):
                    continue
                else:
                    return
            if kind == "task":
                self._taken.add(payload)
                self._held[slot] = (payload, set())
                self._working.add(slot)
                continue
            if slot in self._held:
                self._held[slot][1].add(payload["file"])
            got += 1
            yield payload

    def exit_codes(self) -> list:
        return [p.exitcode for p in self.processes]

    def close(self):
        for process in self.processes:
            if process.is_alive():
                process.terminate()
        for process in self.processes:
            process.join(5)
        for q in (*self._queues, *self._results):
            if q is not None:
                q.cancel_join_thread()
                q.close()


def _dask_records(tasks, settings, tracking, scheduler):
    try:
        from dask.distributed import Client, as_completed
    except ImportError:
        raise BatchError("--scheduler needs Dask's distributed scheduler: pip install 'dask[distributed]'") from None
    client = Client(scheduler)
    futures = client.map(_run_task, tasks, settings=settings, tracking=tracking, pure=False)
    task_of = dict(zip((f.key for f in futures), tasks))
    try:
        for future in as_completed(futures):
            try:
                records = future.result()
            except Exception as e:  # a lost worker, a task the cluster gave up on
                records = [_record(f, f"not solved: the cluster failed the task: {_one_line(e)}", retry=True)
                           for f in task_of[future.key]]
            yield from records
    finally:
        client.cancel(futures)
        client.close()


class Batch:
    """The records of a batch as they come (an iterator); close() (or the
    end of a with block) ends whatever still runs. worker_pids are the pool
    processes' ids (empty on a cluster)."""

    def __init__(self, frames, settings: FrameSettings, *, jobs: int | None = None,
                 tracking: Tracking | None = None, scheduler=None):
        self.frames = list(frames)
        self._tasks = tasks_of(self.frames, tracking is not None)
        self._pool = None
        if scheduler is not None:
            self._records = _dask_records(self._tasks, settings, tracking, scheduler)
        elif self._tasks:
            jobs = max(1, min(jobs or os.cpu_count() or 1, len(self._tasks)))
            self._pool = _ProcessPool(self._tasks, settings, tracking, jobs)
            self._records = self._pool_records()
        else:
            self._records = iter(())

    @property
    def worker_pids(self) -> list[int]:
        return [p.pid for p in self._pool.processes] if self._pool else []

    def _pool_records(self):
        done = set()
        for record in self._pool.records(len(self.frames)):
            done.add(record["file"])
            yield record
        codes = ", ".join(str(c) for c in self._pool.exit_codes() if c)
        for frame in self.frames:
            if frame.file not in done:
                yield _record(frame, LOST_FRAME.format(codes or "unknown"), retry=True)

    def __iter__(self):
        return self

    def __next__(self) -> dict:
        return next(self._records)

    def close(self):
        if self._pool is not None:
            self._pool.close()
        close = getattr(self._records, "close", None)
        if close:
            close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def check_exposure(exposure_s) -> None:
    """Refuse (BatchError) an exposure that is not None or a finite number of seconds >= 0."""
    if exposure_s is not None and (isinstance(exposure_s, bool) or not isinstance(exposure_s, (int, float))
                                   or not math.isfinite(exposure_s) or exposure_s < 0):
        raise BatchError(f"the exposure must be a finite number of seconds, at least 0 (got {exposure_s!r})")


def solve_batch(inputs, up_cam, lens, *, time_from=None, camera_from: str = "folder", jobs: int | None = None,
                tracked: bool = False, tracking: Tracking | None = None, scheduler=None, catalog_files=None,
                options: PhotoOptions | None = None, exposure_s: float | None = None, time_is: str = DEFAULT_TIME_IS,
                **photo_options) -> Batch:
    """Solve many photos on every core, or on the Dask cluster whose
    scheduler address (or Client) is given: a :class:`Batch` iterating over
    one record per frame.

    inputs: files, directories and glob patterns, whose frames get their
    times from time_from and their cameras by camera_from (see
    :func:`plan_frames`); or the Frames that plan_frames gave. up_cam, lens
    and catalog_files: those of :class:`FrameSettings`; options (a
    :class:`PhotoOptions`, its mask a file) and photo_options (its fields:
    mask, min_altitude_deg, line_px, max_centroids, sigma_arcmin,
    min_matched_stars, max_residual_rms_arcmin, use_sun) set the photo path.
    jobs: pool processes (default: one per core). tracked: one FixTracker per
    camera (settings from tracking, default :class:`Tracking`). Each frame
    is solved at mid-exposure: exposure_s long (default: what the photo
    records, else 0), its time being the exposure's start, mid or end
    (time_is; EXIF times are the start); records carry that time."""
    check_exposure(exposure_s)
    inputs = list(inputs)
    if all(isinstance(entry, Frame) for entry in inputs):
        frames = inputs
    elif time_from is None:
        raise BatchError("say where the frames' times come from: time_from=TimeFromName(...), TimeFromExif() or"
                         " TimeFromCsv(...)")
    else:
        frames = plan_frames(inputs, time_from, camera_from, time_is)
    options = (options or PhotoOptions()).updated(**photo_options)
    if options.mask is not None and not Path(options.mask).is_file():
        raise BatchError(f"{options.mask}: no such mask file")
    up_cam = None if up_cam is None else tuple(float(v) for v in up_cam)  # None: the lens file's up_cam
    settings = FrameSettings(up_cam, as_lens(lens), options,
                             tuple(catalog_files) if catalog_files else None, exposure_s)
    if tracked and tracking is None:
        tracking = Tracking()
    return Batch(frames, settings, jobs=jobs, tracking=tracking if tracked else None, scheduler=scheduler)


def progress_bar(total: int, stream):
    """A tqdm bar on a terminal; None in a pipe or a file, or without tqdm."""
    if not stream.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        print("halvane: no progress bar without tqdm (pip install tqdm)", file=stream)
        return None
    return tqdm(total=total, unit="frame", file=stream, dynamic_ncols=True, smoothing=0.1)
