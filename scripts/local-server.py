#!/usr/bin/env python3
"""A small local usage-collection server for trying the agent out on loopback.

It answers every POST to /api/usage/collect with "success" and prints each record it received,
decoded, one JSON line per request.

    scripts/local-server.py [--port N] [--port-file FILE] [--quiet]

--port 0 (the default) takes a free port; --port-file writes the chosen port there once the
server listens. It serves 127.0.0.1 only.
"""
import argparse
import base64
import json
import sys
from http.server import BaseHTTPRequestHandler, HTTPServer
from urllib.parse import parse_qs, urlsplit

ENDPOINT = "/api/usage/collect"


class CollectHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    quiet = False

    def do_POST(self):
        target = urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            self.rfile.read(length)
        if target.path != ENDPOINT:
            self.answer(404, "not found")
            return
        # The record's Base64 arrives unescaped, so "+" must not turn into a blank.
        query = parse_qs(target.query.replace("+", "%2B"))
        info = query.get("info", [""])[0]
        try:
            record = json.loads(base64.b64decode(info, validate=True).decode("utf-8", "replace"))
        except ValueError:
            self.answer(400, "bad record")
            return
        if not self.quiet:
            print(json.dumps({"encode": query.get("encode", [""])[0], "record": record}),
                  flush=True)
        self.answer(200, "success")

    def answer(self, status, text):
        body = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--quiet", action="store_true")
    options = parser.parse_args()
    CollectHandler.quiet = options.quiet
    # One request at a time is plenty for a demo, and answers sooner than a thread per request.
    server = HTTPServer(("127.0.0.1", options.port), CollectHandler)
    if options.port_file:
        with open(options.port_file, "w") as f:
            f.write(str(server.server_address[1]))
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
