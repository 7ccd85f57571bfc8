"""The halvane command line.

    halvane demo             solve a synthesized night sky with the bundled catalogue
    halvane solve IMAGE ...  solve a photograph (.npy, 8/16-bit .pgm, or any
                             format Pillow reads when it is installed)

Run ``halvane demo --help`` or ``halvane solve --help`` for the options.
"""
from __future__ import annotations

import argparse
import dataclasses
import datetime
import math
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


def read_image(path: Path):
    import numpy as np

    suffix = path.suffix.lower()
    if suffix == ".npy":
        return np.load(path, allow_pickle=False)
    if suffix in (".pgm", ".pnm"):
        return read_pgm(path.read_bytes())
    try:
        from PIL import Image
    except ImportError:
        raise SystemExit(f"halvane: cannot read {path.name}: use .npy or .pgm, or install Pillow for other formats")
    with Image.open(path) as image:
        array = np.asarray(image)
    if array.ndim == 3:  # colour: the mean of the channels, kept in its bit depth
        array = array[..., :3].mean(axis=2).round().astype(array.dtype)
    return np.ascontiguousarray(array)


def read_pgm(data: bytes):
    """Binary PGM (P5), 8- or 16-bit (16-bit samples are big-endian)."""
    import numpy as np

    fields, position = [], 0
    try:
        while len(fields) < 4:
            while data[position : position + 1].isspace():
                position += 1
            if data[position : position + 1] == b"#":
                position = data.index(b"\n", position) + 1
                continue
            end = position
            while end < len(data) and not data[end : end + 1].isspace():
                end += 1
            if end == position:
                raise ValueError("header ends early")
            fields.append(data[position:end])
            position = end
        if fields[0] != b"P5":
            raise ValueError("not P5")
        width, height, maxval = (int(f) for f in fields[1:])
        if width <= 0 or height <= 0 or not (0 < maxval < 65536):
            raise ValueError(f"bad size or maximum value: {width} x {height}, {maxval}")
        dtype = ">u2" if maxval > 255 else "u1"
        pixels = np.frombuffer(data, dtype=dtype, count=width * height, offset=position + 1)
    except ValueError as e:
        raise SystemExit(f"halvane: not a binary PGM (P5) image: {e}") from None
    return pixels.reshape(height, width).astype(np.uint16 if maxval > 255 else np.uint8)


def run_solve(args: argparse.Namespace) -> int:
    import halvane

    from . import default_catalog

    image = read_image(Path(args.image))
    height, width = image.shape[:2]
    cx = args.cx if args.cx is not None else width / 2
    cy = args.cy if args.cy is not None else height / 2
    when = parse_utc(args.utc)
    start = time.perf_counter()
    try:
        fix = halvane.resolve_fix(
            image, args.focal, cx, cy, tuple(args.up), when, default_catalog(),
            sigma_arcmin=args.sigma, fisheye_fov_deg=args.fisheye_fov, use_sun=args.use_sun,
        )
    except halvane.HalvaneError as e:
        print(f"halvane: no fix: {e}", file=sys.stderr)
        return 1
    print(f"halvane: {Path(args.image).name}, {width} x {height} px, {when:%Y-%m-%d %H:%M:%S} UTC")
    for line in describe_fix(fix, time.perf_counter() - start):
        print(line)
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="halvane", description="Celestial navigation from a photograph of the night sky.")
    commands = parser.add_subparsers(dest="command", required=True)

    demo = commands.add_parser("demo", help="solve a synthesized night sky with the bundled catalogue")
    demo.add_argument("--camera", choices=("fisheye", "pinhole"), default="fisheye")
    demo.add_argument("--lat", type=float, help="latitude of the camera, degrees north (default: random)")
    demo.add_argument("--lon", type=float, help="longitude of the camera, degrees east (default: random)")
    demo.add_argument("--utc", help="time of the exposure, ISO 8601 (default: random)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the place, time and noise (default 7)")
    demo.add_argument("--pixel-noise", type=float, default=0.5, help="star position noise, arcminutes (0.5)")
    demo.add_argument("--up-noise", type=float, default=1.0, help="noise of the vertical, arcminutes (1.0)")
    demo.set_defaults(run=run_demo)

    solve = commands.add_parser("solve", help="solve a photograph")
    solve.add_argument("image", help=".npy, binary .pgm, or any format Pillow reads")
    solve.add_argument("--utc", required=True, help="time of the exposure, ISO 8601; no offset means UTC")
    solve.add_argument("--up", type=float, nargs=3, required=True, metavar=("X", "Y", "Z"),
                       help="the local vertical in the camera frame (x right, y down, z forward)")
    solve.add_argument("--focal", type=float, help="focal length in pixels (omit for the ideal fisheye)")
    solve.add_argument("--fisheye-fov", type=float, help="full field of view of a fisheye, degrees")
    solve.add_argument("--cx", type=float, help="principal point x, pixels (default: image centre)")
    solve.add_argument("--cy", type=float, help="principal point y, pixels (default: image centre)")
    solve.add_argument("--sigma", type=float, help="star position sigma, arcminutes (default: half a pixel)")
    solve.add_argument("--use-sun", action="store_true", help="also use the Sun's disc as a sight")
    solve.set_defaults(run=run_solve)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
