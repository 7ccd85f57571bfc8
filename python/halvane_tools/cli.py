"""The halvane command line.

    halvane demo                 solve a synthesized night sky with the bundled catalogue
    halvane solve PHOTO ...      solve a photograph (JPEG, PNG, TIFF, FITS, .npy)
    halvane calibrate PHOTO ...  fit the lens and the vertical to the stars of one or more photographs
    halvane batch INPUT ...      solve many photographs, one JSON line each
    halvane watch DIR ...        solve each photo landing in a folder; NMEA, MAVLink, JSON lines
    halvane export RESULTS ...   fixes and ellipses as GeoJSON, GPX, KML or CSV

Run ``halvane COMMAND --help`` for the options.
"""
from __future__ import annotations

import argparse
import dataclasses
import datetime
import json
import os
import re
import signal
import sys
import time
from pathlib import Path

import halvane

from . import __version__, annotate, batch, default_catalog, scenarios, uncertainty
from .calibrate import DEFAULT_MIN_ALTITUDE_DEG as CALIBRATION_MIN_ALTITUDE_DEG
from .calibrate import PROJECTIONS, CalibrationError, calibrate_photos, write_residual_plot
from .files import check_output
from .lens import LensError
from .narrow import catalog_for, lens_field_deg
from .options import (PhotoOptions, add_command, add_exposure_options, add_photo_options, add_time_sources,
                      altitude_argument, lens_from_args, positive_int)
from .photo import PhotoError, prepare_photo
from .readers import recorded_time
from .report import (Summary, UtcRangeError, counted, describe_calibration, describe_fix, describe_photo,
                     failure_hint, failure_text, fix_record, outputs, parse_utc)
from .times import TimeError, exposure_time
from .cli_watch import add_export_command, add_watch_command


def run_demo(args: argparse.Namespace) -> int:
    camera = scenarios.CAMERAS[args.camera]
    noise = scenarios.Noise(args.pixel_noise, args.up_noise, scenarios.NOISY.background)
    scenario = scenarios.seeded_scenarios(1, camera, seed=args.seed, noise=noise)[0]
    scenario = dataclasses.replace(
        scenario,
        lat_deg=scenario.lat_deg if args.lat is None else args.lat,
        lon_deg=scenario.lon_deg if args.lon is None else args.lon,
        when=scenario.when if args.utc is None else parse_utc(args.utc),
    )
    catalog = default_catalog()
    scene = scenarios.render(scenario, catalog)
    scene.pixels  # the first NumPy array of the process imports NumPy: keep that out of the timing

    print("halvane demo: a synthesized night sky, solved with the bundled catalogue")
    print()
    print(f"  camera      {camera.label}, {camera.width} x {camera.height} px,"
          f" pointing az {scene.boresight_az_deg:.0f}° alt {scene.boresight_alt_deg:.0f}°")
    print(f"  taken       {scenario.when:%Y-%m-%d %H:%M:%S} UTC (seed {args.seed})")
    print(f"  sky         {len(scene.rendered_hr_ids)} stars to magnitude {camera.mag_limit} stamped;"
          f" noise {noise.pixel_arcmin}' on star positions, {noise.up_arcmin}' on the vertical")
    print()
    start = time.perf_counter()
    try:
        fix = scenarios.solve(scenario, scene, catalog)
    except halvane.HalvaneError as e:
        print(f"  no fix      {e}")
        return 1
    elapsed_s = time.perf_counter() - start
    c = scenario.camera
    assumed = halvane.Camera(c.focal_px, c.cx, c.cy, c.width, c.height, c.fisheye_fov_deg).default_sigma_arcmin
    # The renderer tilts the vertical by a normal angle in a random direction: sigma / sqrt(2) per axis.
    total = uncertainty.total_uncertainty(fix, sigma_arcmin=assumed, up_sigma_arcmin=noise.up_arcmin / 2**0.5,
                                          up_source="the demo's noise", time_source="the demo's time is exact")
    for line in describe_fix(fix, elapsed_s, truth=(scenario.lat_deg, scenario.lon_deg), total=total):
        print(line)
    return 0


def _print_lines(lines) -> None:
    for line in lines:
        print(line)


def _check_outputs(*paths) -> None:
    """Refuse, before any work, an output that would hang (a FIFO nothing
    reads) or cannot be a file: OSError naming it."""
    for path in paths:
        if path:
            try:
                check_output(path)
            except OSError as e:
                raise OSError(e.errno, f"cannot write {path}: {e.strerror}") from None
def _progress(args: argparse.Namespace):
    """With -v, a callable printing each stage with the seconds since the start to stderr."""
    if not getattr(args, "verbose", False):
        return None
    start = time.perf_counter()

    def say(text: str) -> None:
        print(f"halvane: {time.perf_counter() - start:6.1f} s  {text}", file=sys.stderr, flush=True)

    return say


def run_solve(args: argparse.Namespace) -> int:
    def fail(message: str, hint: str | None = None) -> int:
        if args.json:
            print(json.dumps({"error": message, **({"hint": hint} if hint else {})}))
        else:
            print(f"halvane: {message}" + (f"; {hint}" if hint else ""), file=sys.stderr)
        return 1

    say = _progress(args) or (lambda text: None)
    start = time.perf_counter()
    say(f"reading {args.image}, leaving out what is not sky, detecting stars")
    try:
        _check_outputs(args.annotate)
        options = PhotoOptions.from_args(args)
        utc, _, warnings = exposure_time(None if args.time_from_exif else args.utc, recorded_time(args.image, options.hdu),
                                         exposure_s=args.exposure, time_is=args.time_is)
        for warning in warnings:
            print(f"halvane: warning: {warning}", file=sys.stderr)
        prepared = prepare_photo(args.image, args.up, lens_from_args(args), options=options)
    except OSError as e:
        return fail(e.strerror or str(e))
    # PhotoError, LensError and TimeError are ValueErrors; OverflowError: the module's bounds on an option.
    except (ValueError, OverflowError, halvane.HalvaneError) as e:
        return fail(str(e))
    say(f"{counted(len(prepared.detections), 'detection')}; identifying the stars and solving")
    try:
        catalog = catalog_for(args.catalog, lens_field_deg(prepared.lens, prepared.width, prepared.height))
    except (ValueError, halvane.HalvaneError) as e:
        return fail(str(e))
    fix, failure, hint, total = None, None, None, None
    try:
        fix = prepared.solve(utc, catalog)
        total = uncertainty.photo_uncertainty(fix, prepared, utc, catalog)
    except halvane.HalvaneError as e:
        failure, hint = failure_text(e), failure_hint(prepared, e)
    except (ValueError, OverflowError) as e:  # an option beyond what the solve takes, named by the module
        return fail(str(e))
    elapsed_s = time.perf_counter() - start
    if args.annotate:
        say(f"drawing {args.annotate}")
        try:
            annotate.save(annotate.overlay(prepared, fix, utc, catalog, failure=failure and f"{failure}; {hint}",
                                           hr_numbers=args.hr_numbers, total=total), args.annotate)
        except (OSError, ValueError) as e:
            return fail(f"cannot write {args.annotate}: {e}")
    if failure:
        return fail(failure, hint)
    if args.json:
        print(json.dumps(fix_record(fix, prepared, elapsed_s, file=args.image, utc=utc, catalog=catalog, total=total)))
        return 0
    _print_lines(describe_photo(Path(args.image).name, prepared, utc, fix, elapsed_s, catalog=catalog, total=total))
    _print_lines(outputs(("overlay", args.annotate)))
    return 0




def _calibration_frames(args: argparse.Namespace) -> list[tuple[str, datetime.datetime]]:
    """The (photo, UTC) pairs of a calibration: one photo at --utc, or the
    photos the inputs name with their times from names, a CSV or EXIF, as
    for batch. A photo without a time is refused by name, not left out."""
    if args.utc is not None:
        if len(args.images) > 1:
            raise CalibrationError(f"--utc gives one time for {len(args.images)} photos: give each its own with"
                                   " --time-from-name, --times or --time-from-exif")
        if args.clock_offset is not None:
            raise CalibrationError("--clock-offset goes with --time-from-exif")
        return [(args.images[0], args.utc)]
    time_from = batch.choose_time_source(name_pattern=args.time_from_name, times_csv=args.times,
                                         from_exif=args.time_from_exif, clock_offset_s=args.clock_offset)
    frames = batch.plan_frames(args.images, time_from, "all")
    for frame in frames:
        if frame.error is not None:
            raise CalibrationError(f"{frame.file}: {frame.error}")
    return [(frame.file, frame.utc) for frame in frames]


def run_calibrate(args: argparse.Namespace) -> int:
    start = time.perf_counter()
    try:
        _check_outputs(args.out, args.annotate)
    except OSError as e:
        print(f"halvane: {e.strerror}", file=sys.stderr)
        return 1
    try:
        frames = _calibration_frames(args)
    except (batch.BatchError, CalibrationError) as e:
        print(f"halvane: {e}", file=sys.stderr)
        return 1
    try:
        result = calibrate_photos(frames, args.lat, args.lon, height_m=args.height,
                                 fisheye_fov_deg=args.fisheye_fov_deg, focal_px=args.focal_px, cx=args.cx, cy=args.cy,
                                 up_cam=args.up, fit_k3_k4=args.k3_k4, mask=args.mask,
                                 min_altitude_deg=args.min_altitude, projection=args.projection,
                                 progress=_progress(args))
        if args.annotate:
            write_residual_plot(result, args.annotate)
    except CalibrationError as e:
        print(f"halvane: {e}", file=sys.stderr)
        return 1
    if args.out:
        result.write(args.out)
    name = Path(frames[0][0]).name + (f" and {counted(len(frames) - 1, 'more photo')}" if len(frames) > 1 else "")
    _print_lines(describe_calibration(name, result, args.lat, args.lon,
                                      time.perf_counter() - start))
    _print_lines(outputs(("lens file", args.out), ("residuals", args.annotate)))
    return 0


def run_batch(args: argparse.Namespace) -> int:
    try:
        time_from = batch.choose_time_source(name_pattern=args.time_from_name, times_csv=args.times,
                                             from_exif=args.time_from_exif, clock_offset_s=args.clock_offset)
        batch.check_exposure(args.exposure)
        frames = batch.plan_frames(args.inputs, time_from, args.camera_from if args.tracked else "folder",
                                   args.time_is)
        if args.time_from_name and frames and all(frame.utc is None for frame in frames):
            raise batch.BatchError(f"--time-from-name {args.time_from_name!r} matches the name of none of the"
                                   f" {counted(len(frames), 'photo')} (such as {Path(frames[0].file).stem!r}):"
                                   " give a pattern for the whole name without its suffix")
        tracking = batch.Tracking(args.max_reference_age, args.max_distance,
                                  tuple(args.known_position) if args.known_position else None)
        lens = lens_from_args(args)
        if args.up is None and lens.up_cam is None:
            raise batch.BatchError("give the vertical (--up X Y Z) or a lens file with up_cam")
        results_file = batch.ResultsFile(args.out, resume=args.resume, overwrite=args.overwrite)
        _check_outputs(args.plot)
        if args.plot and annotate.missing_matplotlib():
            raise batch.BatchError(annotate.missing_matplotlib())
    except (ValueError, halvane.HalvaneError) as e:  # BatchError, LensError and the tracker's bounds among them
        print(f"halvane: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"halvane: {e.strerror}", file=sys.stderr)
        return 1
    out = results_file.path
    todo = results_file.todo(frames)
    summary = Summary()
    bar = batch.progress_bar(len(todo), sys.stderr)
    try:
        with batch.solve_batch(todo, args.up, lens, jobs=args.jobs, tracked=args.tracked, tracking=tracking,
                               scheduler=args.scheduler, catalog_files=args.catalog,
                               options=PhotoOptions.from_args(args), exposure_s=args.exposure) as results:
            for record in results_file.write(results):
                summary.add(record)
                if bar is not None:
                    bar.set_postfix(solved=summary.solved, failed=summary.failed, refresh=False)
                    bar.update()
    except batch.BatchError as e:
        print(f"halvane: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"halvane: interrupted; {out} holds {summary.solved + summary.failed} new lines,"
              " --resume goes on from there", file=sys.stderr)
        return 130
    finally:
        if bar is not None:
            bar.close()
    print(f"halvane batch: {len(frames)} photos, {len(frames) - len(todo)} already in {out}")
    _print_lines(summary.lines())
    if args.plot:
        plotted = annotate.plot_track(batch.read_records(out), args.plot)
        print(f"  plot        {args.plot} ({counted(plotted, 'fix', 'fixes')})")
    # Frames were tried and none gave a fix: a script must see that as failure.
    return 1 if summary.failed and not summary.solved else 0


class _Parser(argparse.ArgumentParser):
    """Refuses bad options in one line, without the usage block."""

    def error(self, message: str):
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


# A negative number in any form float() reads, exponent included (argparse
# itself knows only -6 and -6.5): an up vector's -6.5e-05, a k1 of -2e-2.
_NEGATIVE_NUMBER = re.compile(r"^-(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$")


def _numbers_as_values(argv: list[str]) -> list[str]:
    """argv with every negative number marked as a value rather than an
    option: a leading space, which argparse never reads as an option and
    float() and int() ignore. No option of this command looks like a number."""
    marked, rest = [], iter(argv)
    for arg in rest:
        if arg == "--":  # what follows is positional already
            return marked + [arg, *rest]
        marked.append(f" {arg}" if _NEGATIVE_NUMBER.match(arg) else arg)
    return marked


def _utc_argument(text: str) -> datetime.datetime:
    try:
        return parse_utc(text)
    except UtcRangeError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO 8601 time: {text!r}") from None


# The commands' descriptions, as --help shows them.
SOLVE_TEXT = ("Position fix from a photograph of the night sky: JPEG, PNG, TIFF (8 or 16 bit), FITS or .npy."
              " Colour becomes Rec. 709 luma. The sky below --min-altitude, outside a fisheye's field,"
              " under the mask and around saturated glare is left out; light wider than a star is removed.")
CALIBRATE_TEXT = ("Fits focal length, principal point, fisheye distortion k1, k2 (--k3-k4: also k3, k4) and the"
                  " camera's rotation to the stars of one clear night photo taken at a known place and time,"
                  " or of several photos of one fixed camera, from a rough lens. Writes a lens file for halvane"
                  " solve --lens, with the vertical up_cam.")
BATCH_TEXT = ("Solve every photo that the inputs name (files, directories searched below, glob patterns)"
              " with one lens and vertical, writing one JSON line per frame to --out: file, utc and the"
              " fields of `solve --json`, or error.")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="halvane", description="Celestial navigation from a photograph of the night sky.")
    parser.add_argument("--version", action="version", version=f"halvane {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    demo = add_command(commands, "demo", run_demo, "solve a synthesized night sky with the bundled catalogue")
    demo.add_argument("--camera", choices=("fisheye", "pinhole"), default="fisheye")
    demo.add_argument("--lat", type=float, help="latitude of the camera, degrees north (default: random)")
    demo.add_argument("--lon", type=float, help="longitude of the camera, degrees east (default: random)")
    demo.add_argument("--utc", help="time of the exposure, ISO 8601 (default: random)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the place, time and noise (default 7)")
    demo.add_argument("--pixel-noise", type=float, default=0.5, help="star position noise, arcminutes (0.5)")
    demo.add_argument("--up-noise", type=float, default=1.0, help="noise of the vertical, arcminutes (1.0)")

    solve = add_command(commands, "solve", run_solve, "solve a photograph", SOLVE_TEXT)
    solve.add_argument("image", metavar="PHOTO", help="the photograph")
    when = solve.add_argument_group("time (give --utc or --time-from-exif; shown and solved in UTC, at mid-exposure)")
    source = when.add_mutually_exclusive_group(required=True)
    source.add_argument("--utc", type=_utc_argument,
                        help="time of the exposure, ISO 8601 with its offset or Z; no offset means UTC, refused when"
                             " the photo says its clock was local")
    source.add_argument("--time-from-exif", action="store_true",
                        help="the photo's own time: EXIF DateTimeOriginal (with its offset; none means UTC) or the"
                             " FITS header's DATE-OBS, taken as the exposure's start")
    add_exposure_options(when, "--utc")
    solve.add_argument("--up", type=float, nargs=3, metavar=("X", "Y", "Z"),
                       help="the local vertical in the camera frame (x right, y down, z forward);"
                            " default: the lens file's up_cam")
    add_photo_options(solve)
    solve.add_argument("--catalog", nargs="+", metavar="NAME | STARS PAIRS",
                       help="bundled catalogue (wide, deep) or catalogue and pair index files "
                            "(default: deep for fields up to 15 degrees, else wide)")
    output = solve.add_argument_group("output")
    output.add_argument("--json", action="store_true", help="print one JSON object (or {\"error\": ...})")
    output.add_argument("--annotate", metavar="OUT.png",
                        help="write the photo with what was found drawn on it (JPEG for .jpg/.jpeg, else PNG)")
    output.add_argument("--hr-numbers", action="store_true", help="label the overlay's stars with HR numbers too")
    output.add_argument("-v", "--verbose", action="store_true", help="say each stage on stderr as it starts")

    calibrate = add_command(commands, "calibrate", run_calibrate,
                            "fit the lens and the vertical to the stars of a photograph", CALIBRATE_TEXT)
    calibrate.add_argument("images", nargs="+", metavar="PHOTO",
                           help="the photograph; several (files, folders or glob patterns) of one fixed camera"
                                " are fitted together, each with its own time")
    when = calibrate.add_argument_group("time (give --utc for one photo, or where each photo's time is)")
    source = when.add_mutually_exclusive_group(required=True)
    source.add_argument("--utc", type=_utc_argument, help="time of the exposure, ISO 8601; no offset means UTC")
    add_time_sources(source, when)
    calibrate.add_argument("--lat", required=True, type=float, help="latitude of the camera, degrees north")
    calibrate.add_argument("--lon", required=True, type=float, help="longitude of the camera, degrees east")
    calibrate.add_argument("--height", type=float, default=0.0, metavar="M", help="height above sea level, m (0)")
    start = calibrate.add_argument_group("rough start (give --fisheye-fov or --focal)")
    kind = start.add_mutually_exclusive_group(required=True)
    kind.add_argument("--fisheye-fov", dest="fisheye_fov_deg", type=float, metavar="DEG",
                      help="a fisheye: its full field of view, degrees (start: the ideal fisheye)")
    kind.add_argument("--focal", dest="focal_px", type=float, metavar="PX", help="a pinhole: its focal length, px")
    start.add_argument("--projection", choices=tuple(PROJECTIONS),
                       help="the lens's projection, fitted with distortion (default: equidistant for --fisheye-fov,"
                            " the undistorted pinhole for --focal)")
    start.add_argument("--cx", type=float, help="principal point x, pixels (default: image centre)")
    start.add_argument("--cy", type=float, help="principal point y, pixels (default: image centre)")
    start.add_argument("--up", type=float, nargs=3, metavar=("X", "Y", "Z"),
                       help="rough vertical in the camera frame (default: along the optical axis for a fisheye;"
                            " found from the stars for a pinhole)")
    fit = calibrate.add_argument_group("fit")
    fit.add_argument("--k3-k4", action="store_true", help="also fit the fisheye's k3 and k4")
    fit.add_argument("--mask", metavar="FILE", help="image or .npy of the photo's size; non-zero = not sky")
    fit.add_argument("--min-altitude", type=altitude_argument, default=CALIBRATION_MIN_ALTITUDE_DEG, metavar="DEG",
                     help="leave out stars below this altitude (default %(default)g)")
    output = calibrate.add_argument_group("output")
    output.add_argument("--out", metavar="LENS.json", help="write the lens file")
    output.add_argument("--annotate", metavar="OUT.png", help="write the residual picture and plot")
    output.add_argument("-v", "--verbose", action="store_true", help="say each stage on stderr as it starts")

    batch_command = add_command(commands, "batch", run_batch,
                                "solve many photographs on every core (or a Dask cluster), one JSON line each",
                                BATCH_TEXT)
    batch_command.add_argument("inputs", nargs="+", metavar="INPUT", help="photo, directory or glob pattern")
    batch_command.add_argument("--out", required=True, metavar="RESULTS.jsonl", help="the results, one JSON line per frame")
    batch_command.add_argument("--up", type=float, nargs=3, metavar=("X", "Y", "Z"),
                       help="the local vertical in the camera frame (x right, y down, z forward);"
                            " default: the lens file's up_cam")
    times = batch_command.add_argument_group("time of each frame (give one source; solved at mid-exposure)")
    add_exposure_options(times, "a name's or CSV's time")
    add_time_sources(times.add_mutually_exclusive_group(required=True), times)
    add_photo_options(batch_command)
    batch_command.add_argument("--catalog", nargs=2, metavar=("STARS", "PAIRS"),
                       help="catalogue and pair index files (default: the bundled one for the lens's field)")
    run = batch_command.add_argument_group("running")
    run.add_argument("--jobs", type=positive_int, metavar="N", help="processes (default: one per core)")
    run.add_argument("--scheduler", metavar="ADDRESS", help="send the work to this Dask scheduler instead")
    run.add_argument("--resume", action="store_true", help="skip the frames that already have a line in --out")
    run.add_argument("--overwrite", action="store_true", help="replace an existing --out")
    track = batch_command.add_argument_group("tracked solving")
    track.add_argument("--tracked", action="store_true",
                       help="solve each camera's frames in time order through one FixTracker")
    track.add_argument("--camera-from", default="folder", metavar="RULE",
                       help="what makes a camera: 'folder' (the default), 'all', or a regular expression whose first"
                            " group in the file name names it")
    track.add_argument("--known-position", type=float, nargs=2, metavar=("LAT", "LON"),
                       help="where the cameras stood at their first frames: the first reference that breaks a tie")
    batch.add_tracker_bounds(track)
    batch_command.add_argument("--plot", metavar="TRACK.png", help="draw the fixes of --out (latitude against longitude)")
    add_watch_command(commands)
    add_export_command(commands)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(_numbers_as_values(sys.argv[1:] if argv is None else list(argv)))
    try:
        return args.run(args)
    except BrokenPipeError:
        return _reader_went_away()
    except KeyboardInterrupt:
        print("halvane: interrupted", file=sys.stderr)
        return 130
    except MemoryError as e:
        print(f"halvane: out of memory{f': {e}' if str(e) else ''}; a smaller photo or fewer --jobs may fit",
              file=sys.stderr)
        return 1
    except OSError as e:
        print(f"halvane: {type(e).__name__}: {e}", file=sys.stderr)
        return 1


def _reader_went_away() -> int:
    """The reader of stdout (`| head`) has closed the pipe: stop quietly, as
    a command killed by SIGPIPE does. Python would flush stdout again at exit
    and complain, so stdout is pointed at /dev/null first."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):  # stdout is no file here (a test's capture)
        pass
    return 128 + getattr(signal, "SIGPIPE", 13)


if __name__ == "__main__":
    sys.exit(main())
