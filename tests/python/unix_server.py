"""A Unix-socket server on a thread of its own, for the stand-in daemons and
devices of the tests: it counts the connections it takes and hands each to
`on_client`, which a stand-in overrides (by default it closes at once)."""

import os
import socket
import threading


class UnixServer:
    def __init__(self, path, kind=socket.SOCK_STREAM, backlog=16):
        self.path = str(path)
        self.accepts = 0
        self._server = socket.socket(socket.AF_UNIX, kind)
        # Listening before the socket is visible: bound under a temporary name, then renamed.
        self._server.bind(self.path + ".new")
        self._server.listen(backlog)
        os.rename(self.path + ".new", self.path)
        self._server.settimeout(0.05)
        self._stop = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def on_client(self, client):
        client.close()

    def _serve(self):
        while not self._stop:
            try:
                client, _ = self._server.accept()
            except (socket.timeout, OSError):
                continue
            self.accepts += 1
            self.on_client(client)

    def stop(self):
        self._stop = True
        self._thread.join(5)
        self._server.close()
