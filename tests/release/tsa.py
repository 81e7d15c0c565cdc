"""tsa.py CONFIG PORT_FILE

An RFC 3161 time-stamp authority on 127.0.0.1 for the release tests: `openssl ts -reply`
with the configuration CONFIG answers each query POSTed to /. It writes the port it listens
on to PORT_FILE and serves until it is stopped. Other paths answer as a broken authority
does: /garbage with bytes that are no reply, /error with HTTP 500, /silent never.
"""

import http.server
import os
import subprocess
import sys
import tempfile
import threading
import time

config, port_file = sys.argv[1:3]
replies = threading.Lock()


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if self.path == "/silent":
            time.sleep(3600)
        if self.path == "/error":
            self.send_error(500)
            return
        reply = b"\x30\x03\x02\x01\x00 not a time-stamp reply"
        if self.path == "/":
            with replies, tempfile.TemporaryDirectory() as work:
                with open(os.path.join(work, "query"), "wb") as f:
                    f.write(query)
                subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile",
                                os.path.join(work, "query"), "-out", os.path.join(work, "reply")],
                               check=True, capture_output=True)
                with open(os.path.join(work, "reply"), "rb") as f:
                    reply = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Authority)
server.daemon_threads = True
with open(port_file + ".new", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + ".new", port_file)
server.serve_forever()
