#!/usr/bin/env python3
"""A throwaway RFC 3161 timestamp server on 127.0.0.1, for the signing tests.

    timestamp-server.py TSA_CNF SECONDS [MODE]

Answers each POSTed timestamp query with `openssl ts -reply`, set up by
TSA_CNF (see throwaway-keys.sh). MODE makes it a server that cannot be
trusted: "silent" takes the connections and never answers, like a server
that has hung; "other-data" answers every query with a genuine timestamp of
other data; "bad-signature" answers with a genuine reply whose signature
has one byte flipped. It prints the port it listens on, then serves until
SECONDS have passed, and stops by itself.
"""
import http.server
import socket
import subprocess
import sys
import tempfile
import time

MODES = ["silent", "other-data", "bad-signature"]


def openssl_ts(*arguments):
    made = subprocess.run(["openssl", "ts", *arguments], capture_output=True, text=True, timeout=10, check=False)
    if made.returncode != 0:
        sys.stderr.write(f"timestamp-server: openssl ts {arguments[0]} failed: {made.stderr}")
    return made.returncode == 0


class TimestampHandler(http.server.BaseHTTPRequestHandler):
    tsa_cnf = ""
    mode = ""

    def reply(self, query):
        """The reply to QUERY, as the mode makes it, or None."""
        with tempfile.TemporaryDirectory() as work:
            with open(f"{work}/query", "wb") as file:
                file.write(query)
            if self.mode == "other-data":
                with open(f"{work}/other", "wb") as file:
                    file.write(b"not the signature that asked\n")
                if not openssl_ts("-query", "-data", f"{work}/other", "-sha256", "-cert", "-out", f"{work}/query"):
                    return None
            if not openssl_ts("-reply", "-config", self.tsa_cnf, "-queryfile", f"{work}/query",
                              "-out", f"{work}/reply"):
                return None
            with open(f"{work}/reply", "rb") as file:
                reply = file.read()
        if self.mode == "bad-signature":
            # The token's SignerInfo ends the reply, and its signature ends that.
            reply = reply[:-1] + bytes([reply[-1] ^ 1])
        return reply

    def do_POST(self):
        reply = self.reply(self.rfile.read(int(self.headers.get("Content-Length", "0"))))
        if reply is None:
            self.send_error(500)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, format, *args):  # pylint: disable=redefined-builtin
        pass  # one request per signature; the test checks the outcome


def hang(deadline):
    listener = socket.create_server(("127.0.0.1", 0))
    print(listener.getsockname()[1], flush=True)
    held = []
    listener.settimeout(0.2)
    while time.monotonic() < deadline:
        try:
            held.append(listener.accept()[0])
        except socket.timeout:
            pass


def main():
    if len(sys.argv) not in (3, 4) or sys.argv[3:4] not in ([], *([mode] for mode in MODES)):
        sys.exit(f"usage: timestamp-server.py TSA_CNF SECONDS [{'|'.join(MODES)}]")
    deadline = time.monotonic() + float(sys.argv[2])
    if sys.argv[3:] == ["silent"]:
        hang(deadline)
        return
    TimestampHandler.tsa_cnf = sys.argv[1]
    TimestampHandler.mode = sys.argv[3] if len(sys.argv) == 4 else ""
    server = http.server.HTTPServer(("127.0.0.1", 0), TimestampHandler)
    server.timeout = 0.2
    print(server.server_address[1], flush=True)
    while time.monotonic() < deadline:
        server.handle_request()


if __name__ == "__main__":
    main()
