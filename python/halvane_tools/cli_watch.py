"""The watch and export commands of the halvane command line: their options
and what they run (solving a folder as photos land, sending the fixes on;
writing a results file's fixes as map files)."""
from __future__ import annotations

import argparse
import signal
import sys
from pathlib import Path

import halvane

from . import batch, export, nmea, watch
from .options import PhotoOptions, add_command, add_photo_options, add_time_sources, lens_from_args
from .report import outputs


def _watch_outputs(args: argparse.Namespace) -> list:
    made = []
    try:
        for given in args.nmea_tcp or ():
            made.append(nmea.NmeaOutput(nmea.NmeaTcpServer(*nmea.parse_endpoint(given, default_host="0.0.0.0")),
                                        args.talker))
        for given in args.nmea_udp or ():
            made.append(nmea.NmeaOutput(nmea.NmeaUdpSender(*nmea.parse_endpoint(given, default_host=None)),
                                        args.talker))
        for given in args.serial or ():
            made.append(nmea.NmeaOutput(nmea.NmeaSerial(given), args.talker))
        for url in args.mavlink or ():
            made.append(nmea.MavlinkOutput(url))
    except nmea.OutputError:
        for output in made:
            output.close()
        raise
    return made


def run_watch(args: argparse.Namespace) -> int:
    sinks, jsonl = [], None
    try:
        lens = lens_from_args(args)
        level_up = args.up or lens.up_cam or (0.0, 0.0, 1.0)
        attitude = watch.AttitudeLog(args.attitude, level_up) if args.attitude else None
        if not (args.time_from_name or args.times or args.time_from_exif):
            time_from = watch.TimeFromArrival()
        else:
            time_from = batch.choose_time_source(name_pattern=args.time_from_name, times_csv=args.times,
                                                 from_exif=args.time_from_exif, clock_offset_s=args.clock_offset)
        settings = watch.WatchSettings(lens, tuple(args.up) if args.up else None, attitude,
                                       PhotoOptions.from_args(args), time_from, args.exposure,
                                       args.max_reference_age, args.max_distance)
        sinks = _watch_outputs(args)
        jsonl = watch.JsonLines(args.jsonl) if args.jsonl else None
        watcher = watch.Watcher(args.folder, settings, outputs=sinks, include_existing=args.existing,
                                give_up_s=args.give_up)
    except (ValueError, halvane.HalvaneError) as e:  # WatchError, OutputError, LensError, BatchError
        for sink in sinks:
            sink.close()
        if jsonl is not None:
            jsonl.close()
        print(f"halvane: {e}", file=sys.stderr)
        return 1
    health = watch.Health()

    def on_record(record):
        if jsonl is not None:
            jsonl.write(record)
        print(health.line(record), flush=True)

    watcher.on_record = on_record
    print(f"halvane watch: {args.folder}" + ("" if args.existing else ", new photos only"), flush=True)
    for line in [f"  output      {sink}" for sink in sinks] + outputs(("jsonl", args.jsonl)):
        print(line)
    def interrupt(signum, frame):
        # The first Ctrl-C lets the frame in hand reach every output; a second one cuts it short.
        if watcher.stopping:
            raise KeyboardInterrupt
        watcher.stop()

    previous = signal.signal(signal.SIGINT, interrupt)
    try:
        watcher.run()
    except KeyboardInterrupt:
        pass
    finally:
        signal.signal(signal.SIGINT, previous)
        watcher.close()
        if jsonl is not None:
            jsonl.close()
    print(f"halvane watch: stopped; {health.solved} fixes, {health.refused} refused", flush=True)
    return 0


def run_export(args: argparse.Namespace) -> int:
    try:
        text = export.export(batch.read_records(args.results), args.to)
    except (OSError, ValueError) as e:
        print(f"halvane: {e}", file=sys.stderr)
        return 1
    if args.out:
        Path(args.out).write_text(text, encoding="utf-8")
        print(f"halvane export: {len(export.fixes(batch.read_records(args.results)))} fixes to {args.out}")
    else:
        sys.stdout.write(text)
    return 0


# The commands' descriptions, as --help shows them.
WATCH_TEXT = ("Solves every photo written into FOLDER, in the order they land and once each is whole,"
              " through one FixTracker; sends each fix to the outputs and prints a line per frame."
              " Ctrl-C stops it.")
EXPORT_TEXT = ("Writes the fixes of a results file (halvane batch --out, halvane watch --jsonl) with their"
               " 2-sigma ellipses.")


def add_watch_command(commands) -> None:
    command = add_command(commands, "watch", run_watch,
                          "solve each photo that lands in a folder; send the fixes as NMEA, MAVLink, JSON lines",
                          WATCH_TEXT)
    command.add_argument("folder", metavar="FOLDER", help="the folder the camera writes into")
    command.add_argument("--existing", action="store_true", help="also solve the photos already there")
    command.add_argument("--give-up", type=float, default=watch.DEFAULT_GIVE_UP_S, metavar="S",
                       help="refuse a file that does not read after standing still this long (default %(default)g)")
    vertical = command.add_argument_group("vertical (give --up, a lens file with up_cam, or --attitude)")
    vertical.add_argument("--up", type=float, nargs=3, metavar=("X", "Y", "Z"),
                          help="the local vertical in the camera frame; with --attitude, the level mounting's")
    vertical.add_argument("--attitude", metavar="CSV", help="attitude log: utc (or time) with pitch_deg, roll_deg"
                          " or up_x, up_y, up_z; interpolated at each frame's mid-exposure")
    when = command.add_argument_group("time of each frame (default: the file's arrival)")
    sources = when.add_mutually_exclusive_group()
    sources.add_argument("--time-from-arrival", action="store_true",
                         help="the file's modification time, the end of the exposure")
    add_time_sources(sources, when)
    when.add_argument("--exposure", type=float, default=0.0, metavar="S",
                      help="exposure time: the fix is made at mid-exposure (default 0)")
    add_photo_options(command)
    track = command.add_argument_group("tracking")
    batch.add_tracker_bounds(track)
    out = command.add_argument_group("outputs (any combination; each may be given more than once)")
    out.add_argument("--nmea-tcp", action="append", metavar="[HOST:]PORT",
                     help=f"serve NMEA 0183 over TCP (customary port {nmea.DEFAULT_TCP_PORT}; all interfaces unless HOST)")
    out.add_argument("--nmea-udp", action="append", metavar="HOST:PORT", help="send NMEA 0183 datagrams")
    out.add_argument("--serial", action="append", metavar="DEVICE[:BAUD]", help="NMEA 0183 on a serial port (4800)")
    out.add_argument("--mavlink", action="append", metavar="URL", help="MAVLink GPS_INPUT on a pymavlink connection")
    out.add_argument("--jsonl", metavar="FILE", help="append each frame's record as a JSON line")
    out.add_argument("--talker", default=nmea.TALKER, metavar="ID", help="NMEA talker ID (default %(default)s)")


def add_export_command(commands) -> None:
    command = add_command(commands, "export", run_export, "fixes and their ellipses as GeoJSON, GPX, KML or CSV",
                          EXPORT_TEXT)
    command.add_argument("results", metavar="RESULTS.jsonl", help="one JSON record per line")
    command.add_argument("--to", required=True, choices=export.FORMATS, help="the format")
    command.add_argument("--out", metavar="FILE", help="write here (default: standard output)")
