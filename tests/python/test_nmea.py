"""NMEA 0183 and MAVLink GPS_INPUT of a fix, read back by independent parsers; the TCP and UDP outputs."""
import datetime
import math
import re
import socket
import time

import pytest

from conftest import wait_for
from halvane_tools import nmea

UTC = datetime.timezone.utc
NM = 1.0 / 3437.746770784939  # one nautical mile in radians


def position(lat=48.1173, lon=11.5166666667, when=datetime.datetime(2026, 1, 15, 21, 0, 5, 250000, tzinfo=UTC),
             stars=8, covariance=((4 * NM * NM, 0.0), (0.0, NM * NM)), rms=0.5):
    return nmea.Position(when, lat, lon, stars, covariance, rms)


@pytest.mark.parametrize("lat, lon, lat_fields, lon_fields", [
    (48.1173, 11.5166666667, ("4807.03800", "N"), ("01131.00000", "E")),
    (0.0, -0.5, ("0000.00000", "N"), ("00030.00000", "W")),
    # 59.9999999' must carry into the degree, never print 60 minutes.
    (-33.99999999999, -9.999999999999, ("3400.00000", "S"), ("01000.00000", "W")),
    (89.9999999999, 179.9999999999, ("9000.00000", "N"), ("18000.00000", "E")),
    # A value that rounds to zero has no hemisphere to speak of.
    (-1e-12, -1e-12, ("0000.00000", "N"), ("00000.00000", "E")),
    (10.0, -180.0, ("1000.00000", "N"), ("18000.00000", "E")),
    (10.0, 190.25, ("1000.00000", "N"), ("16945.00000", "W")),
])
def test_degrees_and_minutes(lat, lon, lat_fields, lon_fields):
    assert nmea.latitude_fields(lat) == lat_fields
    assert nmea.longitude_fields(lon) == lon_fields


def test_gga_rmc_gst_fields_and_checksums():
    # The GGA example printed in receiver manuals, with its checksum 47.
    assert nmea.checksum("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") == "47"
    p = position()
    gga, rmc, gst = nmea.sentences(p)
    assert gga.startswith("$GPGGA,210005.25,4807.03800,N,01131.00000,E,1,08,")
    # 2 nm north and 1 nm east at one sigma: far beyond what HDOP can say; a tenth of that fits.
    assert gga.split(",")[8] == "99.9"
    small = position(covariance=((0.04 * NM * NM, 0.0), (0.0, 0.01 * NM * NM)))
    assert float(nmea.gga(small).split(",")[8]) == pytest.approx(0.1 * math.sqrt(5) * 1852 / nmea.HDOP_METRES, abs=0.05)
    assert gga.split("*")[0].endswith(",,M,,M,,")  # no altitude, no geoid, no differential
    assert rmc == nmea.sentence("GPRMC,210005.25,A,4807.03800,N,01131.00000,E,,,150126,,,A")
    assert gst == nmea.sentence("GPGST,210005.25,926.0,3704.0,1852.0,0.0,3704.0,1852.0,")
    for s in (gga, rmc, gst):
        body, _, tail = s[1:].partition("*")
        assert tail == nmea.checksum(body) + "\r\n" and len(s) <= 82


@pytest.mark.parametrize("covariance, axes", [
    # Major axis toward the north-east: orientation 45 degrees.
    (((2.5, 1.5), (1.5, 2.5)), (2.0, 1.0, 45.0)),
    # Toward the north-west: 135 degrees, never negative on the wire.
    (((2.5, -1.5), (-1.5, 2.5)), (2.0, 1.0, 135.0)),
    (((1.0, 0.0), (0.0, 4.0)), (2.0, 1.0, 90.0)),
])
def test_gst_ellipse_at_one_sigma(covariance, axes):
    scaled = tuple(tuple(v * NM * NM for v in row) for row in covariance)
    major, minor, orientation, north, east = position(covariance=scaled).sigmas_m()
    assert (major / 1852, minor / 1852, orientation) == pytest.approx(axes, abs=1e-9)
    assert (north / 1852, east / 1852) == pytest.approx((math.sqrt(covariance[0][0]), math.sqrt(covariance[1][1])))


def test_time_rounding_carries_into_the_date():
    p = position(when=datetime.datetime(2025, 12, 31, 23, 59, 59, 996000, tzinfo=UTC))
    gga, rmc, _ = nmea.sentences(p)
    assert gga.split(",")[1] == "000000.00"
    assert rmc.split(",")[1] == "000000.00" and rmc.split(",")[9] == "010126"
    # A time given in another zone goes out in UTC.
    local = datetime.datetime(2026, 1, 15, 23, 0, 5, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
    assert nmea.gga(position(when=local)).split(",")[1] == "210005.00"


def test_a_record_without_a_fix_has_no_position():
    assert nmea.Position.from_record({"file": "a.png", "utc": "2026-01-15T21:00:00+00:00", "error": "no fix"}) is None
    record = {"file": "a.png", "utc": "2026-01-15T21:00:00+00:00", "latitude_deg": 1.0, "longitude_deg": 2.0,
              "covariance": [[4e-8, 0], [0, 1e-8]], "stars_covariance": [[1e-8, 0], [0, 1e-8]],
              "matched_hr_ids": [1, 2, 3], "residual_rms_arcmin": 0.4}
    p = nmea.Position.from_record(record)
    assert p.covariance == ((4e-8, 0), (0, 1e-8)) and p.stars == 3


@pytest.mark.parametrize("text, default, expected", [
    ("10110", "0.0.0.0", ("0.0.0.0", 10110)),
    ("127.0.0.1:5000", None, ("127.0.0.1", 5000)),
    ("[::1]:5000", None, ("::1", 5000)),
    (":0", "127.0.0.1", ("127.0.0.1", 0)),
    ("5000", None, "give HOST:PORT (got '5000')"),
    ("host:http", None, "not a port: 'http' in 'host:http'"),
    ("host:70000", None, "not a port: '70000' in 'host:70000'"),
])
def test_endpoints(text, default, expected):
    if isinstance(expected, str):
        with pytest.raises(nmea.OutputError, match=f"^{re.escape(expected)}$"):
            nmea.parse_endpoint(text, default_host=default)
    else:
        assert nmea.parse_endpoint(text, default_host=default) == expected


def _read_lines(client, count, deadline_s=5.0):
    data, end = b"", time.monotonic() + deadline_s
    while data.count(b"\r\n") < count and time.monotonic() < end:
        try:
            chunk = client.recv(4096)
        except TimeoutError:
            continue
        if not chunk:
            break
        data += chunk
    return data.decode("ascii").splitlines()


def test_tcp_server_feeds_every_client_and_drops_the_gone():
    server = nmea.NmeaOutput(nmea.NmeaTcpServer("127.0.0.1", 0))
    try:
        clients = [socket.create_connection(server.sink.address, timeout=0.5) for _ in range(3)]
        assert wait_for(lambda: server.sink.client_count == 3)
        clients.pop().close()
        server.send(position())
        server.send(position(lat=-10.0))
        for client in clients:
            lines = _read_lines(client, 6)
            assert [line[3:6] for line in lines] == ["GGA", "RMC", "GST"] * 2
            assert lines[3].split(",")[2:4] == ["1000.00000", "S"]
        assert wait_for(lambda: server.sink.client_count == 2)
        for client in clients:
            client.close()
    finally:
        server.close()


def test_udp_sends_one_datagram_per_fix():
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind(("127.0.0.1", 0))
    receiver.settimeout(5.0)
    sender = nmea.NmeaOutput(nmea.NmeaUdpSender(*receiver.getsockname()))
    try:
        sender.send(position())
        lines = receiver.recv(2048).decode("ascii").splitlines()
        assert [line[:6] for line in lines] == ["$GPGGA", "$GPRMC", "$GPGST"]
    finally:
        sender.close()
        receiver.close()


def test_gps_week():
    # The GPS epoch itself, and 2026-01-15 21:00:05 UTC (GPS week 2401, Thursday).
    assert nmea.gps_week(nmea.GPS_EPOCH - datetime.timedelta(seconds=nmea.GPS_LEAP_SECONDS)) == (0, 0)
    week, ms = nmea.gps_week(datetime.datetime(2026, 1, 15, 21, 0, 5, tzinfo=UTC))
    assert (week, ms) == (2401, ((4 * 24 + 21) * 3600 + 5 + 18) * 1000)


def test_mavlink_gps_input_decodes_with_the_right_fields():
    pytest.importorskip("pymavlink")
    from pymavlink.dialects.v20 import common as mavlink

    buffer = []

    class Sink:
        def write(self, data):
            buffer.append(bytes(data))

    sender = mavlink.MAVLink(Sink(), srcSystem=1, srcComponent=220)
    sender.gps_input_send(**nmea.gps_input_fields(position(lat=-33.8688, lon=-151.2093)))
    receiver = mavlink.MAVLink(None)
    messages = receiver.parse_buffer(b"".join(buffer))
    assert len(messages) == 1 and messages[0].get_type() == "GPS_INPUT"
    m = messages[0]
    assert (m.lat, m.lon, m.fix_type, m.satellites_visible) == (-338688000, -1512093000, 2, 8)
    assert m.horiz_accuracy == pytest.approx(2 * 1852, rel=1e-6)
    assert m.ignore_flags & 1 and not m.ignore_flags & 64  # altitude ignored, horizontal accuracy used
    assert m.time_week == 2401
