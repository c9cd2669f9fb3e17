#!/usr/bin/python3
# An HTTP server for tests: on 127.0.0.1:PORT, answers every POST with 200 and writes it to
# FOLDER as NNNNNN.json: {"path": ..., "headers": {...}, "body": "..."}. Runs until SIGTERM.
import json
import os
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

port, folder = int(sys.argv[1]), sys.argv[2]


class Recorder(BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        number = len([n for n in os.listdir(folder) if n.endswith(".json")]) + 1
        temporary = os.path.join(folder, ".incoming")
        with open(temporary, "w", encoding="utf-8") as out:
            json.dump({"path": self.path, "headers": dict(self.headers.items()),
                       "body": body.decode("utf-8")}, out, ensure_ascii=False)
        os.rename(temporary, os.path.join(folder, "%06d.json" % number))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()


ThreadingHTTPServer(("127.0.0.1", port), Recorder).serve_forever()
