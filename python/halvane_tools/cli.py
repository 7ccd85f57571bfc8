"""The halvane command line.

    halvane demo                 solve a synthesized night sky with the bundled catalogue
    halvane solve PHOTO ...      solve a photograph (JPEG, PNG, TIFF, FITS, .npy)
    halvane calibrate PHOTO ...  fit the lens and the vertical to the stars of a photograph
    halvane batch INPUT ...      solve many photographs, one JSON line each

Run ``halvane COMMAND --help`` for the options.
"""
from __future__ import annotations

import argparse
import dataclasses
import datetime
import json
import math
import re
import sys
import time
from pathlib import Path

NM_TO_KM = 1.852


def _dms(value: float, positive: str, negative: str, degree_digits: int) -> str:
    """40.0012 -> 40°00.1'N: degrees and decimal minutes, as charts print them."""
    hemisphere = positive if value >= 0 else negative
    minutes = round(abs(value) * 60.0, 1)
    degrees, minutes = divmod(minutes, 60.0)
    return f"{int(degrees):0{degree_digits}d}°{minutes:04.1f}'{hemisphere}"


def format_position(lat_deg: float, lon_deg: float) -> str:
    return f"{_dms(lat_deg, 'N', 'S', 2)} {_dms(lon_deg, 'E', 'W', 3)}"


def parse_utc(text: str) -> datetime.datetime:
    """ISO 8601; a time without an offset is taken as UTC."""
    when = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    return when if when.tzinfo else when.replace(tzinfo=datetime.timezone.utc)


def describe_fix(fix, elapsed_s: float, truth: tuple[float, float] | None = None) -> list[str]:
    import halvane

    major, minor, orientation = fix.ellipse_2sigma_nm
    lines = [f"  fix         {format_position(fix.latitude_deg, fix.longitude_deg)}"
             f"   ({fix.latitude_deg:.5f}, {fix.longitude_deg:.5f})"]
    if truth is not None:
        error_nm = halvane.great_circle_nm(truth[0], truth[1], fix.latitude_deg, fix.longitude_deg)
        lines.append(f"  truth       {format_position(*truth)}   ({truth[0]:.5f}, {truth[1]:.5f})")
        lines.append(f"  error       {error_nm:.2f} nm ({error_nm * NM_TO_KM:.2f} km)")
    lines += [
        f"  2-sigma     {major:.2f} x {minor:.2f} nm ellipse, major axis {orientation % 180.0:05.1f}° true",
        f"  stars       {len(fix.matched_hr_ids)} identified (HR {', '.join(map(str, fix.matched_hr_ids))}),"
        f" vote margin {fix.match_margin}" + (", Sun used" if fix.used_sun else ""),
        f"  residual    {math.degrees(fix.residual_rms_rad) * 60.0:.2f}' rms after {fix.n_iterations} iterations",
        f"  time        {elapsed_s * 1000.0:.1f} ms to detect, identify and solve",
    ]
    return lines


def run_demo(args: argparse.Namespace) -> int:
    import halvane

    from . import default_catalog, scenarios

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
    for line in describe_fix(fix, time.perf_counter() - start, truth=(scenario.lat_deg, scenario.lon_deg)):
        print(line)
    return 0


def lens_from_args(args: argparse.Namespace):
    """The lens of --lens FILE with any of --focal, --cx, --cy, --fisheye-fov
    and --k1..--k4 given on the command line put over it."""
    from .lens import KEYS, Lens, LensError, read_lens

    # The lens options store into the Lens fields of the same names.
    given = {key: getattr(args, key) for key in KEYS if getattr(args, key) is not None}
    if not args.lens and "focal_px" not in given and "fisheye_fov_deg" not in given:
        raise LensError("give the lens: --fisheye-fov (ideal fisheye), --focal (pinhole), --focal and"
                        " --fisheye-fov with --k1..--k4 (calibrated fisheye), or --lens FILE")
    fields = dataclasses.asdict(read_lens(args.lens)) if args.lens else {}
    fields.update(given)
    return Lens(**fields)


def fix_record(fix, prepared, elapsed_s: float) -> dict:
    """The --json object of a fix."""
    major, minor, orientation = fix.ellipse_2sigma_nm
    return {
        "latitude_deg": fix.latitude_deg,
        "longitude_deg": fix.longitude_deg,
        "ellipse_2sigma_nm": [major, minor, orientation],
        "covariance": fix.covariance,
        "matched_hr_ids": fix.matched_hr_ids,
        "match_margin": fix.match_margin,
        "residual_rms_arcmin": math.degrees(fix.residual_rms_rad) * 60.0,
        "used_sun": fix.used_sun,
        "n_detections": len(prepared.detections),
        "elapsed_s": elapsed_s,
    }


def run_solve(args: argparse.Namespace) -> int:
    import halvane

    from . import annotate, default_catalog
    from .lens import LensError
    from .photo import PhotoError, prepare_photo

    def fail(message: str) -> int:
        if args.json:
            print(json.dumps({"error": message}))
        else:
            print(f"halvane: {message}", file=sys.stderr)
        return 1

    start = time.perf_counter()
    try:
        prepared = prepare_photo(args.image, args.up, lens_from_args(args), mask=args.mask,
                                 min_altitude_deg=args.min_altitude, line_px=args.line_px,
                                 max_centroids=args.max_centroids)
    except (PhotoError, LensError, halvane.HalvaneError) as e:
        return fail(str(e))
    from .narrow import catalog_for, lens_field_deg

    try:
        catalog = catalog_for(args.catalog, lens_field_deg(prepared.lens, prepared.width, prepared.height))
    except (ValueError, halvane.HalvaneError) as e:
        return fail(str(e))
    fix, failure = None, None
    try:
        fix = prepared.solve(args.utc, catalog, sigma_arcmin=args.sigma, min_matched_stars=args.min_stars,
                             max_residual_rms_arcmin=args.max_residual, use_sun=args.use_sun)
    except halvane.HalvaneError as e:
        failure = f"no fix: {e}"
    elapsed_s = time.perf_counter() - start
    if args.annotate:
        message = failure or f"{format_position(fix.latitude_deg, fix.longitude_deg)}  {args.utc:%Y-%m-%d %H:%M:%S} UTC"
        try:
            annotate.overlay(prepared, fix, args.utc, catalog, message).save(args.annotate, format="PNG")
        except (OSError, ValueError) as e:
            return fail(f"cannot write {args.annotate}: {e}")
    if failure:
        return fail(failure)
    if args.json:
        print(json.dumps(fix_record(fix, prepared, elapsed_s)))
        return 0
    excluded = 100.0 * prepared.excluded.mean()
    print(f"halvane: {Path(args.image).name}, {prepared.width} x {prepared.height} px, {args.utc:%Y-%m-%d %H:%M:%S} UTC")
    print(f"  sky         {len(prepared.detections)} detections used; {excluded:.0f} % of the frame left out"
          f" (below {args.min_altitude:g}° or outside the field, mask, glare)")
    for line in describe_fix(fix, elapsed_s):
        print(line)
    if args.annotate:
        print(f"  overlay     {args.annotate}")
    return 0


def run_calibrate(args: argparse.Namespace) -> int:
    from .calibrate import CalibrationError, calibrate_photo, write_residual_plot

    start = time.perf_counter()
    try:
        result = calibrate_photo(args.image, args.utc, args.lat, args.lon, height_m=args.height,
                                 fisheye_fov_deg=args.fisheye_fov_deg, focal_px=args.focal_px, cx=args.cx, cy=args.cy,
                                 up_cam=args.up, fit_k3_k4=args.k3_k4, mask=args.mask,
                                 min_altitude_deg=args.min_altitude)
        if args.annotate:
            write_residual_plot(result, args.annotate)
    except CalibrationError as e:
        print(f"halvane: {e}", file=sys.stderr)
        return 1
    if args.out:
        result.write(args.out)
    lens = result.lens
    print(f"halvane: {Path(args.image).name}, {result.width} x {result.height} px, {args.utc:%Y-%m-%d %H:%M:%S} UTC,"
          f" {format_position(args.lat, args.lon)}")
    print(f"  stars       {result.n_stars} identified; residual median {result.median_residual_px:.3f} px,"
          f" rms {result.rms_residual_px:.3f} px")
    print(f"  focal       {lens.focal_px:.3f} px, centre ({lens.cx:.2f}, {lens.cy:.2f})")
    if lens.fisheye_fov_deg is not None:
        print(f"  distortion  k1 {lens.k1:.6f}, k2 {lens.k2:.6f}, k3 {lens.k3:.6f}, k4 {lens.k4:.6f}")
    tilt = math.degrees(math.acos(max(-1.0, min(1.0, lens.up_cam[2]))))
    print(f"  up_cam      ({lens.up_cam[0]:.6f}, {lens.up_cam[1]:.6f}, {lens.up_cam[2]:.6f}),"
          f" {tilt:.3f}° from the optical axis")
    print(f"  time        {time.perf_counter() - start:.1f} s")
    for label, path in (("lens file", args.out), ("residuals", args.annotate)):
        if path:
            print(f"  {label:<11} {path}")
    return 0


def run_batch(args: argparse.Namespace) -> int:
    import halvane

    from . import annotate, batch

    out = Path(args.out)
    try:
        if args.time_from_name:
            time_from = batch.TimeFromName(args.time_from_name)
        elif args.times:
            time_from = batch.TimeFromCsv(args.times)
        else:
            time_from = batch.TimeFromExif(args.clock_offset)
        if args.clock_offset is not None and not args.time_from_exif:
            raise batch.BatchError("--clock-offset goes with --time-from-exif")
        frames = batch.plan_frames(args.inputs, time_from, args.camera_from if args.tracked else "folder")
        tracking = batch.Tracking(args.max_reference_age, args.max_distance,
                                  tuple(args.known_position) if args.known_position else None)
        lens = lens_from_args(args)
        if args.resume:
            done = batch.done_files(out)
        elif out.exists() and out.stat().st_size > 0 and not args.overwrite:
            raise batch.BatchError(f"{out} exists: give --resume to go on with it or --overwrite to replace it")
        else:
            done = set()
        if args.plot and annotate.missing_matplotlib():
            raise batch.BatchError(annotate.missing_matplotlib())
    except (ValueError, halvane.HalvaneError) as e:  # BatchError, LensError and the tracker's bounds among them
        print(f"halvane: {e}", file=sys.stderr)
        return 1
    todo = [frame for frame in frames if Path(frame.file).resolve() not in done]
    skipped = len(frames) - len(todo)
    summary = batch.Summary()
    bar = batch.progress_bar(len(todo), sys.stderr)
    try:
        with batch.solve_batch(
            todo, args.up, lens, jobs=args.jobs, tracked=args.tracked, tracking=tracking, scheduler=args.scheduler,
            mask=args.mask, min_altitude_deg=args.min_altitude, line_px=args.line_px,
            max_centroids=args.max_centroids, sigma_arcmin=args.sigma, min_matched_stars=args.min_stars,
            max_residual_rms_arcmin=args.max_residual, use_sun=args.use_sun,
            catalog_files=tuple(args.catalog) if args.catalog else None,
        ) as results, out.open("a" if args.resume else "w", encoding="utf-8") as stream:
            for record in results:
                # Whole lines, flushed one by one: an interrupted run leaves a
                # file that --resume continues.
                stream.write(json.dumps(record) + "\n")
                stream.flush()
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
    print(f"halvane batch: {len(frames)} photos, {skipped} already in {out}")
    for line in summary.lines():
        print(line)
    if args.plot:
        plotted = annotate.plot_track(batch.read_records(out), args.plot)
        print(f"  plot        {args.plot} ({plotted} fixes)")
    return 0


class _Parser(argparse.ArgumentParser):
    """Refuses bad options in one line, without the usage block, and reads
    -6.5e-05 as a number (an up vector's component), not as an option."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = re.compile(r"^-(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$")

    def error(self, message: str):
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return value


def _clock_offset_argument(text: str) -> float:
    from .batch import parse_clock_offset

    try:
        return parse_clock_offset(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _utc_argument(text: str) -> datetime.datetime:
    try:
        return parse_utc(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO 8601 time: {text!r}") from None


def add_photo_options(parser: argparse.ArgumentParser) -> None:
    """The lens, photo-path and solve options that solve and batch share."""
    from .photo import DEFAULT_LINE_PX, DEFAULT_MAX_CENTROIDS, DEFAULT_MIN_ALTITUDE_DEG

    lens = parser.add_argument_group("lens (give --fisheye-fov, --focal, both with --k1..--k4, or --lens)")
    lens.add_argument("--lens", metavar="FILE", help="JSON object with focal_px, cx, cy, fisheye_fov_deg, k1..k4;"
                      " options given here override its keys")
    lens.add_argument("--focal", dest="focal_px", type=float, help="focal length (radial scale) in pixels")
    lens.add_argument("--fisheye-fov", dest="fisheye_fov_deg", type=float,
                      help="full field of view of a fisheye, degrees")
    lens.add_argument("--cx", type=float, help="principal point x, pixels (default: image centre)")
    lens.add_argument("--cy", type=float, help="principal point y, pixels (default: image centre)")
    for k in ("k1", "k2", "k3", "k4"):
        lens.add_argument(f"--{k}", type=float, help=f"calibrated fisheye coefficient {k} (default 0)")
    path = parser.add_argument_group("photo path")
    path.add_argument("--mask", metavar="FILE", help="image or .npy of the photo's size; non-zero = not sky")
    path.add_argument("--min-altitude", type=float, default=DEFAULT_MIN_ALTITUDE_DEG, metavar="DEG",
                      help="leave out the sky below this altitude (default %(default)g)")
    path.add_argument("--line-px", type=_positive_int, default=DEFAULT_LINE_PX, metavar="N",
                      help="remove light longer than N px in some direction, odd (default %(default)d)")
    path.add_argument("--max-centroids", type=_positive_int, default=DEFAULT_MAX_CENTROIDS, metavar="N",
                      help="brightest detections to use (default %(default)d)")
    gates = parser.add_argument_group("solve")
    gates.add_argument("--sigma", type=float, metavar="ARCMIN", help="star position sigma (default: half a pixel)")
    gates.add_argument("--min-stars", type=_positive_int, metavar="N", help="refuse a fix with fewer identified stars")
    gates.add_argument("--max-residual", type=float, metavar="ARCMIN", help="refuse a fix with a larger residual")
    gates.add_argument("--use-sun", action="store_true", help="also use the Sun's disc as a sight")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="halvane", description="Celestial navigation from a photograph of the night sky.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    demo = commands.add_parser("demo", help="solve a synthesized night sky with the bundled catalogue")
    demo.add_argument("--camera", choices=("fisheye", "pinhole"), default="fisheye")
    demo.add_argument("--lat", type=float, help="latitude of the camera, degrees north (default: random)")
    demo.add_argument("--lon", type=float, help="longitude of the camera, degrees east (default: random)")
    demo.add_argument("--utc", help="time of the exposure, ISO 8601 (default: random)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the place, time and noise (default 7)")
    demo.add_argument("--pixel-noise", type=float, default=0.5, help="star position noise, arcminutes (0.5)")
    demo.add_argument("--up-noise", type=float, default=1.0, help="noise of the vertical, arcminutes (1.0)")
    demo.set_defaults(run=run_demo)

    solve = commands.add_parser(
        "solve", help="solve a photograph",
        description="Position fix from a photograph of the night sky: JPEG, PNG, TIFF (8 or 16 bit), FITS or .npy."
                    " Colour becomes Rec. 709 luma. The sky below --min-altitude, outside a fisheye's field,"
                    " under the mask and around saturated glare is left out; light wider than a star is removed.")
    solve.add_argument("image", metavar="PHOTO", help="the photograph")
    solve.add_argument("--utc", required=True, type=_utc_argument,
                       help="time of the exposure, ISO 8601; no offset means UTC")
    solve.add_argument("--up", type=float, nargs=3, metavar=("X", "Y", "Z"),
                       help="the local vertical in the camera frame (x right, y down, z forward);"
                            " default: the lens file's up_cam")
    add_photo_options(solve)
    solve.add_argument("--catalog", nargs="+", metavar="NAME | STARS PAIRS",
                       help="bundled catalogue (wide, deep) or catalogue and pair index files "
                            "(default: deep for fields up to 15 degrees, else wide)")
    output = solve.add_argument_group("output")
    output.add_argument("--json", action="store_true", help="print one JSON object (or {\"error\": ...})")
    output.add_argument("--annotate", metavar="OUT.png", help="write the photo with what was found drawn on it")
    solve.set_defaults(run=run_solve)

    from .calibrate import DEFAULT_MIN_ALTITUDE_DEG as CALIBRATION_MIN_ALTITUDE_DEG

    calibrate = commands.add_parser(
        "calibrate", help="fit the lens and the vertical to the stars of a photograph",
        description="Fits focal length, principal point, fisheye distortion k1, k2 (--k3-k4: also k3, k4) and the"
                    " camera's rotation to the stars of one clear night photo taken at a known place and time,"
                    " from a rough lens. Writes a lens file for halvane solve --lens, with the vertical up_cam.")
    calibrate.add_argument("image", metavar="PHOTO", help="the photograph")
    calibrate.add_argument("--utc", required=True, type=_utc_argument,
                           help="time of the exposure, ISO 8601; no offset means UTC")
    calibrate.add_argument("--lat", required=True, type=float, help="latitude of the camera, degrees north")
    calibrate.add_argument("--lon", required=True, type=float, help="longitude of the camera, degrees east")
    calibrate.add_argument("--height", type=float, default=0.0, metavar="M", help="height above sea level, m (0)")
    start = calibrate.add_argument_group("rough start (give --fisheye-fov or --focal)")
    kind = start.add_mutually_exclusive_group(required=True)
    kind.add_argument("--fisheye-fov", dest="fisheye_fov_deg", type=float, metavar="DEG",
                      help="a fisheye: its full field of view, degrees (start: the ideal fisheye)")
    kind.add_argument("--focal", dest="focal_px", type=float, metavar="PX", help="a pinhole: its focal length, px")
    start.add_argument("--cx", type=float, help="principal point x, pixels (default: image centre)")
    start.add_argument("--cy", type=float, help="principal point y, pixels (default: image centre)")
    start.add_argument("--up", type=float, nargs=3, metavar=("X", "Y", "Z"),
                       help="rough vertical in the camera frame (default: along the optical axis for a fisheye;"
                            " found from the stars for a pinhole)")
    fit = calibrate.add_argument_group("fit")
    fit.add_argument("--k3-k4", action="store_true", help="also fit the fisheye's k3 and k4")
    fit.add_argument("--mask", metavar="FILE", help="image or .npy of the photo's size; non-zero = not sky")
    fit.add_argument("--min-altitude", type=float, default=CALIBRATION_MIN_ALTITUDE_DEG, metavar="DEG",
                     help="leave out stars below this altitude (default %(default)g)")
    output = calibrate.add_argument_group("output")
    output.add_argument("--out", metavar="LENS.json", help="write the lens file")
    output.add_argument("--annotate", metavar="OUT.png", help="write the residual picture and plot")
    calibrate.set_defaults(run=run_calibrate)

    from .batch import DEFAULT_MAX_DISAMBIGUATION_DISTANCE_NM, DEFAULT_MAX_REFERENCE_AGE_S

    batch = commands.add_parser(
        "batch", help="solve many photographs on every core (or a Dask cluster), one JSON line each",
        description="Solve every photo that the inputs name (files, directories searched below, glob patterns)"
                    " with one lens and vertical, writing one JSON line per frame to --out: file, utc and the"
                    " fields of `solve --json`, or error.")
    batch.add_argument("inputs", nargs="+", metavar="INPUT", help="photo, directory or glob pattern")
    batch.add_argument("--out", required=True, metavar="RESULTS.jsonl", help="the results, one JSON line per frame")
    batch.add_argument("--up", type=float, nargs=3, required=True, metavar=("X", "Y", "Z"),
                       help="the local vertical in the camera frame (x right, y down, z forward)")
    when = batch.add_argument_group("time of each frame (give one)").add_mutually_exclusive_group(required=True)
    when.add_argument("--time-from-name", metavar="PATTERN",
                      help="strptime pattern matching the whole file name without suffix, e.g. 'cam_%%Y%%m%%d_%%H%%M%%S';"
                           " UTC unless it holds %%z")
    when.add_argument("--time-from-exif", action="store_true",
                      help="EXIF DateTimeOriginal, less --clock-offset (default: the photo's OffsetTimeOriginal, or 0)")
    when.add_argument("--times", metavar="CSV", help="rows of file (path or name) and UTC (ISO 8601)")
    batch.add_argument("--clock-offset", type=_clock_offset_argument, metavar="OFFSET",
                       help="how far the camera's clock is ahead of UTC: seconds, or +HH:MM")
    add_photo_options(batch)
    batch.add_argument("--catalog", nargs=2, metavar=("STARS", "PAIRS"),
                       help="catalogue and pair index files (default: the bundled one for the lens's field)")
    run = batch.add_argument_group("running")
    run.add_argument("--jobs", type=_positive_int, metavar="N", help="processes (default: one per core)")
    run.add_argument("--scheduler", metavar="ADDRESS", help="send the work to this Dask scheduler instead")
    run.add_argument("--resume", action="store_true", help="skip the frames that already have a line in --out")
    run.add_argument("--overwrite", action="store_true", help="replace an existing --out")
    track = batch.add_argument_group("tracked solving")
    track.add_argument("--tracked", action="store_true",
                       help="solve each camera's frames in time order through one FixTracker")
    track.add_argument("--camera-from", default="folder", metavar="RULE",
                       help="what makes a camera: 'folder' (the default), 'all', or a regular expression whose first"
                            " group in the file name names it")
    track.add_argument("--known-position", type=float, nargs=2, metavar=("LAT", "LON"),
                       help="where the cameras stood at their first frames: the first reference that breaks a tie")
    track.add_argument("--max-reference-age", type=float, metavar="S", default=DEFAULT_MAX_REFERENCE_AGE_S,
                       help="oldest reference that breaks a tie, seconds (default %(default)g)")
    track.add_argument("--max-distance", type=float, metavar="NM", default=DEFAULT_MAX_DISAMBIGUATION_DISTANCE_NM,
                       help="farthest a tie's pick may lie from the reference, nm (default %(default)g)")
    batch.add_argument("--plot", metavar="TRACK.png", help="draw the fixes of --out (latitude against longitude)")
    batch.set_defaults(run=run_batch)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except KeyboardInterrupt:
        print("halvane: interrupted", file=sys.stderr)
        return 130
    except (OSError, MemoryError) as e:
        print(f"halvane: {type(e).__name__}: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
