#!/usr/bin/env python3
"""HTTP test server with faults injected per path (standard library only).

Serves --root on a free loopback port (written to --port-file), supports
Range, logs every request as a JSON line to --log (and, with --access-log, in
the combined format web servers write), and reads --faults (a JSON object
keyed by request path) before every request. A fault entry may hold:

  status        answer with this status and a short error page
  redirect      answer 302 with this Location
  cut_after     announce the whole length, send N body bytes, close cleanly
  drop_after    send N body bytes, then reset the connection
  stall_after   send N body bytes, then send nothing for stall_seconds (600)
  delay         seconds to wait before answering at all
  rate          body bytes per second
  no_length     send no Content-Length; the body ends when the connection closes
  ignore_range  answer 200 with the whole file whatever the Range header says
  body          serve this text instead of the file's contents (whether or
                not the file exists: a captive portal answers every URL)
  times         apply the fault to the first N requests of the path only
  endless       200 without a length, then bytes without end (until the
                client goes or endless_limit bytes, default 4 GB)
  drip          announce the file's length, then send one byte every
                drip_seconds (default 3); with drip_after, send that many
                bytes at full speed first
  header_flood  send this many bytes of extra header lines
  chunked       send the body chunked; with chunked_cut, close before the
                last chunk
  gzip          send the body gzip-encoded with Content-Encoding: gzip
  no_validator  send no ETag or Last-Modified
  header_drip   after the status line, send header bytes one every
                drip_seconds (default 3), without end
The fault of the path "*" applies to every path that has none of its own.
A file published under a name of its content ("/r/Velkor.<16 hex>.dll",
"/r/Velkor.<16 hex>.dll.z") takes the fault of its fixed name ("/r/Velkor.dll")
when it has none of its own, and its log line says that name as "as", so
that a fault or a count written for a module holds whichever name is fetched.
Every file is served with a strong ETag and honours If-Range.
"""
import argparse
import gzip
import hashlib
import json
import os
import re
import socket
import struct
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

STOP = threading.Event()
CONTENT_NAME = re.compile(r"\.[0-9a-f]{16}(?=\.(dll|exe)(\.z)?$)")


def fixed_name(path):
    """The fixed name of a file published under a name of its content."""
    folder, _, name = path.rpartition("/")
    return folder + "/" + CONTENT_NAME.sub("", name, count=1)


class State:
    def __init__(self, root, faults_path, log_path, access_log_path=None):
        self.root = os.path.abspath(root)
        self.faults_path = faults_path
        self.log_path = log_path
        self.access_log_path = access_log_path
        self.lock = threading.Lock()
        self.faults_text = None
        self.counts = {}

    def fault_for(self, path):
        try:
            with open(self.faults_path, "r", encoding="utf-8") as f:
                # Every write of a fault set starts counting anew, even of the
                # same set again (a test between two with the same faults may
                # make no request at all).
                stamp = (os.fstat(f.fileno()).st_mtime_ns, f.read())
        except OSError:
            stamp = (0, "{}")
        text = stamp[1]
        with self.lock:
            if stamp != self.faults_text:
                self.faults_text = stamp
                self.counts = {}
            try:
                faults = json.loads(text or "{}")
            except ValueError:
                faults = {}
            key = path if path in faults else fixed_name(path) if fixed_name(path) in faults else "*"
            fault = faults.get(key)
            if not fault:
                return {}
            n = self.counts.get(key, 0) + 1
            self.counts[key] = n
            if "times" in fault and n > int(fault["times"]):
                return {}
            return fault

    def log(self, entry):
        request, agent = entry.pop("request"), entry.pop("agent")
        with self.lock:
            with open(self.log_path, "a", encoding="utf-8") as f:
                f.write(json.dumps(entry) + "\n")
            if self.access_log_path:
                stamp = time.strftime("%d/%b/%Y:%H:%M:%S +0000", time.gmtime(entry["time"]))
                with open(self.access_log_path, "a", encoding="utf-8", errors="replace") as f:
                    f.write('127.0.0.1 - - [%s] "%s" %s %d "-" "%s"\n'
                            % (stamp, request, entry.get("status", 0), entry.get("bytes", 0), agent))


def parse_range(header, size):
    """(first, last) for 'bytes=a-' or 'bytes=a-b'; 'unsatisfiable'; or None."""
    if not header or not header.startswith("bytes="):
        return None
    spec = header[len("bytes="):].split(",")[0].strip()
    first, _, last = spec.partition("-")
    try:
        if first == "":
            n = int(last)
            return (max(0, size - n), size - 1) if n > 0 else "unsatisfiable"
        a = int(first)
        b = int(last) if last else size - 1
    except ValueError:
        return None
    if a >= size:
        return "unsatisfiable"
    return a, min(b, size - 1)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FaultServer/1.0"

    def log_message(self, fmt, *args):
        pass

    def do_HEAD(self):
        self.handle_request(head=True)

    def do_GET(self):
        self.handle_request(head=False)

    def wait(self, seconds):
        STOP.wait(seconds)

    def handle_request(self, head):
        state = self.server.state
        path = self.path.split("?")[0]
        fault = state.fault_for(path)
        entry = {"method": self.command, "path": path, "range": self.headers.get("Range"), "time": time.time(),
                 "request": self.requestline, "agent": self.headers.get("User-Agent", "-")}
        if "?" in self.path:
            entry["query"] = self.path.split("?", 1)[1]
        if fixed_name(path) != path:
            entry["as"] = fixed_name(path)
        if self.headers.get("Cache-Control"):
            entry["cache_control"] = self.headers.get("Cache-Control")
        if fault.get("delay"):
            self.wait(float(fault["delay"]))
        if "status" in fault:
            return self.send_simple(int(fault["status"]), entry, head)
        if "redirect" in fault:
            entry["status"] = 302
            state.log(entry)
            self.send_response(302)
            self.send_header("Location", fault["redirect"])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if fault.get("endless"):
            return self.send_endless(fault, entry)
        if fault.get("header_drip"):
            return self.drip_headers(fault, entry)
        if "body" in fault:
            data = fault["body"].encode()
        else:
            file_path = os.path.normpath(os.path.join(state.root, path.lstrip("/")))
            if not file_path.startswith(state.root) or not os.path.isfile(file_path):
                return self.send_simple(404, entry, head)
            with open(file_path, "rb") as f:
                data = f.read()
        etag = '"%s"' % hashlib.sha256(data).hexdigest()[:24]
        if fault.get("gzip"):
            data = gzip.compress(data)
        size = len(data)
        status, first, last = 200, 0, size - 1
        wanted = None if fault.get("ignore_range") else parse_range(self.headers.get("Range"), size)
        if_range = self.headers.get("If-Range")
        if wanted and if_range is not None and if_range != etag:
            wanted = None  # another entity than the client's partial file: the whole of it
        entry["if_range"] = if_range
        if wanted == "unsatisfiable":
            entry["status"] = 416
            state.log(entry)
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if wanted:
            status, (first, last) = 206, wanted
        body = data[first:last + 1]
        entry["status"] = status
        entry["bytes"] = 0 if head else len(body)
        state.log(entry)
        self.send_response(status)
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Type", "application/octet-stream")
        if not fault.get("no_validator"):
            self.send_header("ETag", etag)
        if fault.get("gzip"):
            self.send_header("Content-Encoding", "gzip")
        if "header_flood" in fault:
            self.flood_headers(int(fault["header_flood"]))
        if fault.get("chunked"):
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            if not head:
                self.send_chunked(body, fault)
            return
        if fault.get("no_length"):
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if head:
            return
        self.send_body(body, fault)

    def flood_headers(self, total):
        line = "X-Flood-%d: " + "a" * 200
        sent, i = 0, 0
        try:
            while sent < total and not STOP.is_set():
                text = line % i
                self.send_header(text.split(":")[0], text.split(": ")[1])
                sent += len(text) + 2
                i += 1
                if i % 1000 == 0:
                    self.flush_headers()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def send_chunked(self, body, fault):
        try:
            for at in range(0, len(body), 4096):
                piece = body[at:at + 4096]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            if not fault.get("chunked_cut"):
                self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            pass
        self.close_connection = True

    def drip_headers(self, fault, entry):
        entry["status"] = 200
        self.server.state.log(entry)
        try:
            self.wfile.write(b"HTTP/1.1 200 OK\r\nX-Drip: ")
            self.wfile.flush()
            while not STOP.is_set():
                self.wait(float(fault.get("drip_seconds", 3)))
                self.wfile.write(b"a")
                self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError, OSError):
            pass
        self.close_connection = True

    def send_endless(self, fault, entry):
        entry["status"] = 200
        self.server.state.log(entry)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        limit = int(fault.get("endless_limit", 4 << 30))
        piece = b"x" * (64 * 1024)
        sent = 0
        try:
            while sent < limit and not STOP.is_set():
                self.wfile.write(piece)
                sent += len(piece)
        except (BrokenPipeError, ConnectionResetError, OSError):
            pass
        self.close_connection = True

    def send_simple(self, status, entry, head):
        page = ("<html><body>error %d</body></html>" % status).encode()
        entry["status"] = status
        entry["bytes"] = 0 if head else len(page)
        self.server.state.log(entry)
        self.send_response(status)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        if not head:
            self.wfile.write(page)

    def send_body(self, body, fault):
        if "drip" in fault:
            try:
                fast = min(len(body), int(fault.get("drip_after", 0)))
                self.wfile.write(body[:fast])
                self.wfile.flush()
                for at in range(fast, len(body)):
                    if STOP.is_set():
                        break
                    self.wfile.write(body[at:at + 1])
                    self.wfile.flush()
                    self.wait(float(fault.get("drip_seconds", 3)))
            except (BrokenPipeError, ConnectionResetError):
                pass
            self.close_connection = True
            return
        limit = len(body)
        for key in ("cut_after", "drop_after", "stall_after"):
            if key in fault:
                limit = min(limit, int(fault[key]))
        rate = float(fault.get("rate", 0))
        sent, started = 0, time.time()
        chunk = 64 * 1024 if not rate else max(1024, int(rate / 20))
        try:
            while sent < limit and not STOP.is_set():
                piece = body[sent:min(limit, sent + chunk)]
                self.wfile.write(piece)
                self.wfile.flush()
                sent += len(piece)
                if rate:
                    ahead = sent / rate - (time.time() - started)
                    if ahead > 0:
                        self.wait(ahead)
            if sent >= len(body):
                return
            if "stall_after" in fault:
                self.wait(float(fault.get("stall_seconds", 600)))
                self.close_connection = True
            elif "drop_after" in fault:
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                self.close_connection = True
            else:
                self.connection.shutdown(socket.SHUT_WR)
                self.close_connection = True
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--faults", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--access-log", help="also log each request in the combined format")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls-cert", help="serve HTTPS with this PEM certificate")
    parser.add_argument("--tls-key", help="the certificate's PEM private key")
    args = parser.parse_args()
    server = Server(("127.0.0.1", args.port), Handler)
    if args.tls_cert:
        import ssl
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    server.state = State(args.root, args.faults, args.log, args.access_log)
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(args.port_file + ".tmp", args.port_file)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        STOP.set()


if __name__ == "__main__":
    main()
