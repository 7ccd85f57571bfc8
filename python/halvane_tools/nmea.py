"""Fixes on the wire: NMEA 0183 sentences (GGA, RMC, GST) over TCP, UDP or a
serial port, and MAVLink ``GPS_INPUT`` for autopilots.

A fix goes out as a :class:`Position`: its time, place, star count and the
2x2 covariance (radians squared, axes north and east) the navigator should
trust, the total one when the record has it. A frame without a fix sends
nothing: receivers read silence as "no fix", and a GGA with quality 0 would
only be noise on a plotter.

Choices a receiver cares about:

- Talker ``GP``: every receiver and gpsd take it; a talker they do not know
  may be dropped silently.
- Minutes with five decimals (1.7e-7 degree): finer than any fix, so the
  wire never rounds the position; rounded once, as a whole number of
  hundred-thousandths of a minute, so 59.999999' becomes the next degree
  and never "60.00000".
- GGA quality 1 and RMC status A with mode A: a fix that consumers use. The
  altitude is not known and is left empty, so gpsd reports a 2-D fix.
- HDOP stands for the ellipse: the horizontal rms error in metres over
  :data:`HDOP_METRES`. GST carries the ellipse itself at one sigma.
"""
from __future__ import annotations

import dataclasses
import datetime
import math
import socket
import threading

from .uncertainty import NM_PER_RAD

METRES_PER_NM = 1852.0
METRES_PER_RAD = NM_PER_RAD * METRES_PER_NM
TALKER = "GP"
MINUTE_DECIMALS = 5
# The user range error a receiver multiplies HDOP by, roughly, to get metres.
HDOP_METRES = 5.0
DEFAULT_TCP_PORT = 10110


class OutputError(ValueError):
    """An output that cannot be opened or is named wrongly; one line."""


@dataclasses.dataclass(frozen=True)
class Position:
    """A fix as the wire carries it. covariance: ((nn, ne), (en, ee)) in
    radians squared, north and east (as ``halvane.Fix.covariance``)."""

    utc: datetime.datetime
    latitude_deg: float
    longitude_deg: float
    stars: int
    covariance: tuple
    residual_rms_arcmin: float = math.nan

    @classmethod
    def from_record(cls, record: dict) -> "Position | None":
        """The position of a fix record (a batch or watch line); None for a
        line without a fix. Its covariance is the total one where the record
        was made with it."""
        if "error" in record or "latitude_deg" not in record or not record.get("utc"):
            return None
        covariance = record["covariance"]
        utc = datetime.datetime.fromisoformat(record["utc"])
        return cls(utc, float(record["latitude_deg"]), float(record["longitude_deg"]),
                   len(record.get("matched_hr_ids", ())), tuple(tuple(row) for row in covariance),
                   float(record.get("residual_rms_arcmin", math.nan)))

    def sigmas_m(self) -> tuple[float, float, float, float, float]:
        """(semi_major, semi_minor, orientation_deg, north, east) at one
        sigma, metres; the orientation of the major axis from true north
        towards east, in [0, 180)."""
        (a, b), (_, c) = self.covariance
        mean = (a + c) / 2.0
        spread = math.sqrt(b * b + (a - c) * (a - c) / 4.0)
        major = math.sqrt(max(mean + spread, 0.0)) * METRES_PER_RAD
        minor = math.sqrt(max(mean - spread, 0.0)) * METRES_PER_RAD
        orientation = math.degrees(math.atan2(2.0 * b, a - c) / 2.0) % 180.0
        return (major, minor, orientation, math.sqrt(max(a, 0.0)) * METRES_PER_RAD,
                math.sqrt(max(c, 0.0)) * METRES_PER_RAD)

    def horizontal_rms_m(self) -> float:
        (a, _), (_, c) = self.covariance
        return math.sqrt(max(a + c, 0.0)) * METRES_PER_RAD


def checksum(body: str) -> str:
    """The two hex digits of the XOR of every character between $ and *."""
    value = 0
    for byte in body.encode("ascii"):
        value ^= byte
    return f"{value:02X}"


def sentence(body: str) -> str:
    """'$' body '*' checksum CR LF."""
    return f"${body}*{checksum(body)}\r\n"


def _angle(value_deg: float, degree_digits: int, positive: str, negative: str) -> tuple[str, str]:
    """('4807.03800', 'N'): degrees and minutes, rounded once as a whole
    number of the last minute digit so that the minutes never read 60."""
    scale = 10**MINUTE_DECIMALS
    units = round(abs(value_deg) * 60.0 * scale)
    degrees, rest = divmod(units, 60 * scale)
    minutes, fraction = divmod(rest, scale)
    hemisphere = negative if value_deg < 0 and units else positive
    return f"{degrees:0{degree_digits}d}{minutes:02d}.{fraction:0{MINUTE_DECIMALS}d}", hemisphere


def latitude_fields(lat_deg: float) -> tuple[str, str]:
    return _angle(lat_deg, 2, "N", "S")


def longitude_fields(lon_deg: float) -> tuple[str, str]:
    # One meridian has two names: 180 W is written as 180 E.
    lon = -((180.0 - lon_deg) % 360.0 - 180.0)
    return _angle(lon, 3, "E", "W")


def _time_field(utc: datetime.datetime) -> str:
    u = utc.astimezone(datetime.timezone.utc)
    hundredths = round(u.microsecond / 10000)
    if hundredths == 100:  # 59.995 s and above: the next second, whole
        u, hundredths = u + datetime.timedelta(seconds=1), 0
    return f"{u:%H%M%S}.{hundredths:02d}"


def _date_field(utc: datetime.datetime) -> str:
    u = utc.astimezone(datetime.timezone.utc)
    if u.microsecond >= 995000:  # as the time field rounds
        u += datetime.timedelta(seconds=1)
    return f"{u:%d%m%y}"


def _metres(value: float) -> str:
    return f"{value:.1f}" if math.isfinite(value) else ""


def gga(position: Position, talker: str = TALKER) -> str:
    lat, ns = latitude_fields(position.latitude_deg)
    lon, ew = longitude_fields(position.longitude_deg)
    hdop = min(position.horizontal_rms_m() / HDOP_METRES, 99.9)
    satellites = min(position.stars, 99)
    return sentence(f"{talker}GGA,{_time_field(position.utc)},{lat},{ns},{lon},{ew},1,{satellites:02d},"
                    f"{hdop:.1f},,M,,M,,")


def rmc(position: Position, talker: str = TALKER) -> str:
    lat, ns = latitude_fields(position.latitude_deg)
    lon, ew = longitude_fields(position.longitude_deg)
    # Speed and course are not measured: left empty rather than a made-up zero.
    return sentence(f"{talker}RMC,{_time_field(position.utc)},A,{lat},{ns},{lon},{ew},,,"
                    f"{_date_field(position.utc)},,,A")


def gst(position: Position, talker: str = TALKER) -> str:
    major, minor, orientation, north, east = position.sigmas_m()
    # The first field is the rms of the range inputs: here the sights' residual, as a distance.
    rms = position.residual_rms_arcmin * METRES_PER_NM
    return sentence(f"{talker}GST,{_time_field(position.utc)},{_metres(rms)},{major:.1f},{minor:.1f},"
                    f"{orientation:.1f},{north:.1f},{east:.1f},")


def sentences(position: Position, talker: str = TALKER) -> list[str]:
    """GGA, RMC and GST of one fix, in the order receivers expect a cycle."""
    return [gga(position, talker), rmc(position, talker), gst(position, talker)]


# --- Where sentences go ---------------------------------------------------------------


def parse_endpoint(text: str, *, default_host: str | None) -> tuple[str, int]:
    """(host, port) of 'HOST:PORT', '[::1]:PORT' or (with a default host)
    'PORT'."""
    text = text.strip()
    host, sep, port = text.rpartition(":")
    if not sep:
        host, port = "", text
    host = host.strip("[]")
    if not host:
        if default_host is None:
            raise OutputError(f"give HOST:PORT (got {text!r})")
        host = default_host
    try:
        number = int(port)
    except ValueError:
        number = -1
    if not 0 <= number <= 65535:
        raise OutputError(f"not a port: {port!r} in {text!r}")
    return host, number


class NmeaTcpServer:
    """A TCP server that sends every sentence to each connected client.
    Clients come and go at any time; one that cannot keep up (its buffer
    full) or has gone is dropped, never waited for."""

    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_TCP_PORT):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.socket(family, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self._listener.bind((host, port))
        except OSError as e:
            self._listener.close()
            raise OutputError(f"cannot listen on {host}:{port}: {e.strerror or e}") from None
        self._listener.listen(8)
        self._listener.settimeout(0.2)
        self.address = self._listener.getsockname()[:2]
        self._clients: list[socket.socket] = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._accept, name="nmea-tcp", daemon=True)
        self._thread.start()

    def __str__(self) -> str:
        return f"NMEA over TCP on {self.address[0]}:{self.address[1]}"

    def _accept(self):
        while not self._stop.is_set():
            try:
                client, _ = self._listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            client.setblocking(False)
            with self._lock:
                self._clients.append(client)

    @property
    def client_count(self) -> int:
        with self._lock:
            return len(self._clients)

    def send_bytes(self, data: bytes) -> None:
        with self._lock:
            kept = []
            for client in self._clients:
                try:
                    sent = client.send(data)
                except OSError:
                    sent = -1
                if sent == len(data):
                    kept.append(client)
                else:
                    client.close()
            self._clients = kept

    def close(self):
        self._stop.set()
        self._listener.close()
        self._thread.join(1.0)
        with self._lock:
            for client in self._clients:
                client.close()
            self._clients = []


class NmeaUdpSender:
    """Sentences as UDP datagrams to one address (one datagram per fix)."""

    def __init__(self, host: str, port: int):
        try:
            info = socket.getaddrinfo(host, port, type=socket.SOCK_DGRAM)[0]
        except OSError as e:
            raise OutputError(f"cannot send to {host}:{port}: {e.strerror or e}") from None
        self._socket = socket.socket(info[0], socket.SOCK_DGRAM)
        self._target = info[4]
        self.address = (host, port)

    def __str__(self) -> str:
        return f"NMEA over UDP to {self.address[0]}:{self.address[1]}"

    def send_bytes(self, data: bytes) -> None:
        try:
            self._socket.sendto(data, self._target)
        except OSError:
            pass  # nobody listening is not a reason to stop solving

    def close(self):
        self._socket.close()


class NmeaSerial:
    """Sentences on a serial port (pyserial), 'DEVICE' or 'DEVICE:BAUD'
    (default 4800, the NMEA 0183 rate)."""

    def __init__(self, port_text: str):
        try:
            import serial
        except ImportError:
            raise OutputError("--serial needs pyserial: pip install 'halvane[watch]'") from None
        device, sep, baud = port_text.rpartition(":")
        if not sep or not baud.isdigit():
            device, baud = port_text, "4800"
        try:
            self._port = serial.serial_for_url(device, baudrate=int(baud), write_timeout=1.0)
        except (serial.SerialException, ValueError) as e:
            raise OutputError(f"cannot open {device}: {e}") from None
        self.name = f"NMEA on {device} at {baud} baud"

    def __str__(self) -> str:
        return self.name

    def send_bytes(self, data: bytes) -> None:
        import serial

        try:
            self._port.write(data)
        except serial.SerialException:
            pass

    def close(self):
        self._port.close()


class NmeaOutput:
    """A byte sink (TCP server, UDP sender, serial port) fed the sentences
    of each fix."""

    def __init__(self, sink, talker: str = TALKER):
        self.sink, self.talker = sink, talker

    def __str__(self) -> str:
        return str(self.sink)

    def send(self, position: Position) -> None:
        self.sink.send_bytes("".join(sentences(position, self.talker)).encode("ascii"))

    def close(self):
        self.sink.close()


# --- MAVLink ---------------------------------------------------------------------------

GPS_EPOCH = datetime.datetime(1980, 1, 6, tzinfo=datetime.timezone.utc)
# GPS time runs ahead of UTC by the leap seconds since 1980: 18 since 2017.
GPS_LEAP_SECONDS = 18
# GPS_INPUT ignore flags: altitude, VDOP, both velocities, speed and vertical accuracy.
IGNORE_ALT, IGNORE_VDOP, IGNORE_VEL_HORIZ, IGNORE_VEL_VERT = 1, 4, 8, 16
IGNORE_SPEED_ACCURACY, IGNORE_VERTICAL_ACCURACY = 32, 128
GPS_INPUT_IGNORE = (IGNORE_ALT | IGNORE_VDOP | IGNORE_VEL_HORIZ | IGNORE_VEL_VERT | IGNORE_SPEED_ACCURACY
                    | IGNORE_VERTICAL_ACCURACY)
FIX_TYPE_2D = 2


def gps_week(utc: datetime.datetime) -> tuple[int, int]:
    """(week, milliseconds into the week) of GPS time at utc."""
    elapsed = utc - GPS_EPOCH + datetime.timedelta(seconds=GPS_LEAP_SECONDS)
    ms = elapsed // datetime.timedelta(milliseconds=1)
    week, into = divmod(ms, 7 * 86400 * 1000)
    return int(week), int(into)


def gps_input_fields(position: Position, gps_id: int = 0) -> dict:
    """The fields of a MAVLink GPS_INPUT message for a fix: a 2-D fix whose
    horizontal accuracy is the ellipse's one-sigma semi-major axis."""
    week, week_ms = gps_week(position.utc)
    major = position.sigmas_m()[0]
    return {
        "time_usec": int(round(position.utc.timestamp() * 1e6)),
        "gps_id": gps_id,
        "ignore_flags": GPS_INPUT_IGNORE,
        "time_week_ms": week_ms,
        "time_week": week,
        "fix_type": FIX_TYPE_2D,
        "lat": int(round(position.latitude_deg * 1e7)),
        "lon": int(round(-((180.0 - position.longitude_deg) % 360.0 - 180.0) * 1e7)),
        "alt": 0.0,
        "hdop": min(position.horizontal_rms_m() / HDOP_METRES, 99.9),
        "vdop": 0.0,
        "vn": 0.0, "ve": 0.0, "vd": 0.0,
        "speed_accuracy": 0.0,
        "horiz_accuracy": float(major),
        "vert_accuracy": 0.0,
        "satellites_visible": min(position.stars, 255),
    }


class MavlinkOutput:
    """GPS_INPUT messages on a pymavlink connection ('udpout:127.0.0.1:14550',
    'tcp:HOST:PORT', a serial device...)."""

    def __init__(self, url: str, source_system: int = 1, source_component: int = 220):
        try:
            from pymavlink import mavutil
        except ImportError:
            raise OutputError("--mavlink needs pymavlink: pip install 'halvane[watch]'") from None
        try:
            self._connection = mavutil.mavlink_connection(url, source_system=source_system,
                                                          source_component=source_component)
        except Exception as e:  # pymavlink raises whatever its transport raises
            raise OutputError(f"cannot open the MAVLink connection {url}: {e}") from None
        self.url = url

    def __str__(self) -> str:
        return f"MAVLink GPS_INPUT on {self.url}"

    def send(self, position: Position) -> None:
        try:
            self._connection.mav.gps_input_send(**gps_input_fields(position))
        except OSError:
            pass

    def close(self):
        self._connection.close()
