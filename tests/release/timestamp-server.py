#!/usr/bin/env python3
"""A throwaway RFC 3161 timestamp server on 127.0.0.1, for the signing tests.

    timestamp-server.py TSA_CNF SECONDS [silent]

Answers each POSTed timestamp query with `openssl ts -reply`, set up by
TSA_CNF (see throwaway-keys.sh). With "silent" it takes the connections
and never answers, like a server that has hung. It prints the port it
listens on, then serves until SECONDS have passed, and stops by itself.
"""
import http.server
import socket
import subprocess
import sys
import tempfile
import time


class TimestampHandler(http.server.BaseHTTPRequestHandler):
    tsa_cnf = ""

    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with tempfile.TemporaryDirectory() as work:
            with open(f"{work}/query", "wb") as file:
                file.write(query)
            made = subprocess.run(
                ["openssl", "ts", "-reply", "-config", self.tsa_cnf,
                 "-queryfile", f"{work}/query", "-out", f"{work}/reply"],
                capture_output=True, text=True, check=False)
            if made.returncode != 0:
                sys.stderr.write(f"timestamp-server: openssl ts -reply failed: {made.stderr}")
                self.send_error(500)
                return
            with open(f"{work}/reply", "rb") as file:
                reply = file.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, format, *args):  # pylint: disable=redefined-builtin
        pass  # one request per signature; the test checks the outcome


def main():
    if len(sys.argv) not in (3, 4) or sys.argv[3:] not in ([], ["silent"]):
        sys.exit("usage: timestamp-server.py TSA_CNF SECONDS [silent]")
    deadline = time.monotonic() + float(sys.argv[2])
    if sys.argv[3:] == ["silent"]:
        listener = socket.create_server(("127.0.0.1", 0))
        print(listener.getsockname()[1], flush=True)
        held = []
        listener.settimeout(0.2)
        while time.monotonic() < deadline:
            try:
                held.append(listener.accept()[0])
            except socket.timeout:
                pass
        return
    TimestampHandler.tsa_cnf = sys.argv[1]
    server = http.server.HTTPServer(("127.0.0.1", 0), TimestampHandler)
    server.timeout = 0.2
    print(server.server_address[1], flush=True)
    while time.monotonic() < deadline:
        server.handle_request()


if __name__ == "__main__":
    main()
