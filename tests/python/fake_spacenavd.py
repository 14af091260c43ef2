"""A stand-in for the spacenavd daemon on a socket of the test's own.

libspnav (found through SPNAV_SOCKET) connects and sends a four-byte protocol
version request; libspnav 1.0 waits up to 300 ms for the answer. We answer 0,
the first protocol, in which the daemon only sends events: eight 32-bit
integers each, type (0 motion, 1 press, 2 release), x, y, z, rx, ry, rz and
the period in ms; for a button the second integer is its number.
"""

import os
import socket
import struct
import threading
import time

from unix_server import UnixServer

MOTION, PRESS, RELEASE = 0, 1, 2


class FakeSpacenavd(UnixServer):
    def __init__(self, path):
        self.requests = []  # what clients sent, as bytes
        self._clients = []
        self._lock = threading.Lock()
        self._connected = threading.Condition(self._lock)
        super().__init__(path, backlog=4)

    def on_client(self, client):
        client.settimeout(1.0)
        try:
            request = client.recv(4)
        except socket.timeout:
            request = b""
        if len(request) == 4:
            client.sendall(struct.pack("<i", 0))
        with self._lock:
            self.requests.append(request)
            self._clients.append(client)
            self._connected.notify_all()

    def wait_for_client(self, timeout=5.0):
        with self._lock:
            return self._connected.wait_for(lambda: self._clients, timeout)

    def clients(self):
        with self._lock:
            return len(self._clients)

    def _send(self, *numbers):
        with self._lock:
            clients = list(self._clients)
        for c in clients:
            c.sendall(struct.pack("<8i", *numbers))

    def motion(self, x=0, y=0, z=0, rx=0, ry=0, rz=0, period=8):
        self._send(MOTION, x, y, z, rx, ry, rz, period)

    def press(self, number):
        self._send(PRESS, number, 0, 0, 0, 0, 0, 0)

    def release(self, number):
        self._send(RELEASE, number, 0, 0, 0, 0, 0, 0)

    def hold(self, seconds, rate_hz=125, **axes):
        """A deflected cap: motion events at the device's rate."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.motion(**axes)
            time.sleep(1.0 / rate_hz)

    def drop_clients(self):
        with self._lock:
            clients, self._clients = self._clients, []
        for c in clients:
            c.close()

    def stop(self):
        super().stop()
        self.drop_clients()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
