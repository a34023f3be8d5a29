#!/usr/bin/env python3
"""HTTP test server for the network tests: listens on 127.0.0.1 with an ephemeral port,
writes that port to PORT_FILE and one line per request to LOG_FILE:
    <path> host=<Host header> auth=<Authorization or -> cookie=<Cookie or ->

Paths:
  /page?title=T         a page titled T
  /setcookies           sets a persistent, a session and an already expired cookie
  /echo                 a page titled with the Cookie header it received ("none" without)
  /protected/...        Basic authentication as kel / secret: titled "secret", else a 401 page
                        titled "refused"
  /mixed?other=H:P      a page pulling /protected images from this host and from H:P
  /redirect?to=U        a redirect to U
  /cached               a page cacheable for an hour
  /iconpage?color=RRGGBB a page titled "icon" whose <link rel=icon> is /icon.png?color=RRGGBB
  /icon.png?color=RRGGBB a 16 x 16 PNG of that colour
  /pages/NAME           the file NAME in the folder "pages" beside PORT_FILE
  /worker.js            a worker script that stays alive
  /register.js          a worker script that registers /sw.js as a service worker and posts
                        "registered", "refused" or "none" (no service workers at all)
  /sw.js                a service worker script
  /ws                   a WebSocket that stays open until the client closes it; each opening
                        logs "ws open=<number open now>"
"""
import base64
import hashlib
import os
import struct
import sys
import threading
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

PORT_FILE, LOG_FILE = sys.argv[1], sys.argv[2]
LOG_LOCK = threading.Lock()
GOOD_AUTH = "Basic " + base64.b64encode(b"kel:secret").decode()
WS_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
WS_OPEN = [0]


def page(title, body=""):
    return ("<html><head><title>%s</title></head><body>%s%s</body></html>"
            % (title, title, body)).encode()


def png(rgb, side=16):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    rows = b"".join(b"\0" + rgb * side for _ in range(side))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self):
        with LOG_LOCK, open(LOG_FILE, "a") as log:
            log.write("%s host=%s auth=%s cookie=%s\n" % (
                self.path, self.headers.get("Host", "-"),
                self.headers.get("Authorization", "-"), self.headers.get("Cookie", "-")))

    def reply(self, status, body, headers=(), kind="text/html; charset=utf-8"):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def websocket(self):
        accept = base64.b64encode(hashlib.sha1(
            (self.headers.get("Sec-WebSocket-Key", "") + WS_GUID).encode()).digest()).decode()
        self.send_response(101)
        self.send_header("Upgrade", "websocket")
        self.send_header("Connection", "Upgrade")
        self.send_header("Sec-WebSocket-Accept", accept)
        self.end_headers()
        self.wfile.flush()
        with LOG_LOCK, open(LOG_FILE, "a") as log:
            WS_OPEN[0] += 1
            log.write("ws open=%d\n" % WS_OPEN[0])
        try:
            while True:  # frames are read and dropped; a close frame is answered and ends it
                head = self.rfile.read(2)
                if len(head) < 2:
                    break
                length = head[1] & 0x7F
                if length == 126:
                    length = struct.unpack(">H", self.rfile.read(2))[0]
                elif length == 127:
                    length = struct.unpack(">Q", self.rfile.read(8))[0]
                self.rfile.read(length + (4 if head[1] & 0x80 else 0))
                if head[0] & 0x0F == 8:
                    self.wfile.write(b"\x88\x00")
                    self.wfile.flush()
                    break
        except OSError:
            pass
        with LOG_LOCK:
            WS_OPEN[0] -= 1
        self.close_connection = True

    def do_GET(self):
        if self.headers.get("Upgrade", "").lower() == "websocket":
            return self.websocket()
        self.record()
        url = urlsplit(self.path)
        query = parse_qs(url.query)
        if url.path == "/page":
            self.reply(200, page(query.get("title", ["page"])[0]), [("Cache-Control", "no-store")])
        elif url.path == "/setcookies":
            self.reply(200, page("set"), [
                ("Set-Cookie", "persist=1; Max-Age=86400; Path=/"),
                ("Set-Cookie", "session=1; Path=/"),
                ("Set-Cookie", "gone=1; Expires=Thu, 01 Jan 1970 00:00:10 GMT; Path=/"),
                ("Cache-Control", "no-store")])
        elif url.path == "/echo":
            self.reply(200, page(self.headers.get("Cookie", "none")), [("Cache-Control", "no-store")])
        elif url.path.startswith("/protected/"):
            if self.headers.get("Authorization") == GOOD_AUTH:
                self.reply(200, page("secret"), [("Cache-Control", "no-store")])
            else:
                self.reply(401, page("refused"), [("WWW-Authenticate", 'Basic realm="kel"')])
        elif url.path == "/mixed":
            other = query.get("other", [""])[0]
            self.reply(200, page("mixed", '<img src="/protected/same.png">'
                                 '<img src="http://%s/protected/other.png">' % other),
                       [("Cache-Control", "no-store")])
        elif url.path == "/redirect":
            self.reply(302, page("moved"), [("Location", query.get("to", ["/"])[0])])
        elif url.path == "/cached":
            self.reply(200, page("cached"), [("Cache-Control", "public, max-age=3600")])
        elif url.path == "/iconpage":
            color = query.get("color", ["000000"])[0]
            self.reply(200, ('<html><head><title>icon</title><link rel="icon" type="image/png" '
                             'href="/icon.png?color=%s"></head><body>icon</body></html>'
                             % color).encode(), [("Cache-Control", "no-store")])
        elif url.path == "/icon.png":
            color = bytes.fromhex(query.get("color", ["000000"])[0])
            self.reply(200, png(color), [("Cache-Control", "no-store")], "image/png")
        elif url.path.startswith("/pages/") and "/" not in url.path[7:]:
            try:
                with open(os.path.join(os.path.dirname(PORT_FILE), "pages", url.path[7:]), "rb") as f:
                    self.reply(200, f.read(), [("Cache-Control", "no-store")])
            except OSError:
                self.reply(404, page("missing"))
        elif url.path == "/worker.js":
            self.reply(200, b"setInterval(function () {}, 1000);", [("Cache-Control", "no-store")],
                       "application/javascript")
        elif url.path == "/register.js":
            self.reply(200, b"try { navigator.serviceWorker.register('/sw.js', {scope: '/'}).then("
                            b"function () { postMessage('registered'); },"
                            b"function () { postMessage('refused'); });"
                            b"} catch (e) { postMessage('none'); }",
                       [("Cache-Control", "no-store")], "application/javascript")
        elif url.path == "/sw.js":
            self.reply(200, b"self.addEventListener('fetch', function () {});",
                       [("Cache-Control", "no-store")], "application/javascript")
        else:
            self.reply(404, page("missing"))


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
with open(PORT_FILE + ".tmp", "w") as out:
    out.write(str(server.server_address[1]))
os.rename(PORT_FILE + ".tmp", PORT_FILE)
server.serve_forever()
