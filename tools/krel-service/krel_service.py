#!/usr/bin/env python3
"""Local account, cloud and update service for development and tests.

Serves the account and cloud API below "/api", playable and shared clip
addresses, a small cloud page and an update folder, from a storage folder.
Listens on a loopback address only. Start it with a free port (--port 0); the
first line on standard output is "PORT <number>".

Test switches (--test-switches) add endpoints below "/_test/":
  POST /_test/users   {"email", "password"} or {"email", "authKey"}: add an account
  POST /_test/faults  {"method", "path" (regular expression), "actions": [...]}:
                      each matching request takes the next action: a status
                      number, "drop" (close without reply), "pass", or an
                      object {"status", "body" (JSON), "raw" (text),
                      "bytes" (count), "headers", "delayMs", "noLength"
                      (no Content-Length, the connection closes instead),
                      "claimLength" (announce more bytes than are sent, then close)}
                      "trickleMs" (send the body one byte per that many ms)
  POST /_test/config  {"chunkSize": number or null, "quota": number}
  POST /_test/revoke  {"email"}: every token of that account stops working
                      (as when it expires); later calls get 401
  GET  /_test/log     every API request seen: method, path, status, size, auth
  GET  /_test/state   accounts' clips including unfinished uploads
"""

import argparse
import base64
import datetime
import hashlib
import hmac
import http.server
import ipaddress
import json
import os
import re
import secrets
import shutil
import ssl
import sys
import threading
import time
import urllib.parse

AUTH_KEY_LABEL = b"krel-authkey"          # the client's 12-character label
SALT_PREFIX = b"mova-entry-r4|"
ITERATIONS = 600000
MAX_CLIP_BYTES = 1000 * 1000 * 1000       # "höchstens 1 GB"
DEFAULT_CHUNK = 4194304
LOGIN_FAILURE_LIMIT = 5                   # failures per address and window
LOGIN_WINDOW_S = 60
MAX_BODY_BYTES = 64 * 1024 * 1024 + 65536  # the largest chunk and some room
TLS_HANDSHAKE_S = 10


def derive_auth_key(email, password):
    import unicodedata
    pw = unicodedata.normalize("NFKC", password).encode("utf-8")
    k = hashlib.pbkdf2_hmac("sha256", pw, SALT_PREFIX + email.encode("utf-8"), ITERATIONS, 32)
    prk = hmac.new(b"\0" * 32, k, hashlib.sha256).digest()
    t = hmac.new(prk, AUTH_KEY_LABEL + b"\x01", hashlib.sha256).digest()
    return base64.b64encode(t).decode("ascii")


class Store:
    """Accounts, tokens and clips; clip bytes live in files below root."""

    def __init__(self, root, quota, chunk_size):
        self.root = root
        self.lock = threading.Lock()
        self.accounts = {}      # email -> {"authKey", "id", "devices"}
        self.tokens = {}        # token -> email
        self.clips = {}         # id -> clip record
        self.failures = {}      # email -> [times]
        self.quota = quota
        self.chunk_size = chunk_size
        os.makedirs(os.path.join(root, "clips"), exist_ok=True)

    def clip_dir(self, cid):
        return os.path.join(self.root, "clips", cid)

    def used(self, email):
        return sum(c["size"] for c in self.clips.values() if c["owner"] == email and c["complete"])


class Faults:
    def __init__(self):
        self.lock = threading.Lock()
        self.rules = []

    def take(self, method, path):
        with self.lock:
            for rule in self.rules:
                if rule["actions"] and rule.get("method", method) == method and re.search(rule["path"], path):
                    return rule["actions"].pop(0)
        return None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "krel-service"

    # ---- plumbing -------------------------------------------------------
    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("krel-service: " + (fmt % args) + "\n")

    def read_body(self):
        """The request body, or None when its length is unusable (answered)."""
        text = self.headers.get("Content-Length")
        if text is None:
            return b""
        # ASCII digits only: int() would also take "+5", " 5", "1_0" and
        # other scripts' digits.
        if not re.fullmatch(r"[0-9]{1,12}", text):
            self.close_connection = True
            self.error(400, "bad_length")
            return None
        length = int(text)
        if length > MAX_BODY_BYTES:
            self.close_connection = True
            self.error(413, "too_large")
            return None
        return self.rfile.read(length) if length > 0 else b""

    def send_bytes(self, status, data, content_type="application/json", headers=None, length=True, claim=None):
        # Logged before the reply leaves, so a client that has its answer
        # always finds the request in the log.
        self.record(status)
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if claim is not None:
            self.send_header("Content-Length", str(claim))
            self.close_connection = True
        elif length:
            self.send_header("Content-Length", str(len(data)))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def send_json(self, status, obj):
        self.send_bytes(status, json.dumps(obj).encode("utf-8"))

    def error(self, status, code):
        self.send_json(status, {"error": code})

    def record(self, status):
        if self.path.startswith("/_test/"):
            return
        entry = {"method": self.command, "path": self.path, "status": status,
                 "size": self.body_size, "auth": "Authorization" in self.headers,
                 "contentType": self.headers.get("Content-Type", ""),
                 "userAgent": self.headers.get("User-Agent", "")}
        with self.server.log_lock:
            self.server.requests.append(entry)

    def json_body(self, raw):
        try:
            obj = json.loads(raw.decode("utf-8"))
        except (ValueError, UnicodeDecodeError):
            return None
        return obj if isinstance(obj, dict) else None

    def bearer_email(self):
        auth = self.headers.get("Authorization", "")
        if not auth.startswith("Bearer "):
            return None
        with self.server.store.lock:
            return self.server.store.tokens.get(auth[7:])

    # ---- dispatch ---------------------------------------------------------
    def handle_any(self):
        self.body_size = 0
        raw = self.read_body()
        if raw is None:
            return
        self.body_size = len(raw)
        path = urllib.parse.urlsplit(self.path).path
        if self.server.test_switches and not path.startswith("/_test/"):
            action = self.server.faults.take(self.command, path)
            if action is not None and self.apply_fault(action):
                return
        try:
            self.route(path, raw)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def apply_fault(self, action):
        """Runs one injected action; True when the request is answered by it."""
        if action == "pass":
            return False
        if action == "drop":
            self.record(0)
            self.close_connection = True
            self.connection.shutdown(2)
            return True
        if isinstance(action, int):
            self.error(action, "injected")
            return True
        if isinstance(action, dict):
            if action.get("delayMs"):
                time.sleep(action["delayMs"] / 1000.0)
            if "status" not in action:
                return False
            if "raw" in action:
                data = action["raw"].encode("utf-8")
            elif "bytes" in action:
                data = b"x" * int(action["bytes"])
            else:
                data = json.dumps(action.get("body", {})).encode("utf-8")
            if action.get("trickleMs"):
                self.trickle(action["status"], data, action["trickleMs"] / 1000.0)
                return True
            self.send_bytes(action["status"], data, headers=action.get("headers"), length=not action.get("noLength"),
                            claim=action.get("claimLength"))
            return True
        return False

    def trickle(self, status, data, pause):
        """Sends the reply one byte at a time; stops when the client leaves."""
        self.record(status)
        self.send_response(status)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.flush()
        try:
            for i in range(len(data)):
                time.sleep(pause)
                self.wfile.write(data[i:i + 1])
                self.wfile.flush()
        except OSError:
            self.close_connection = True

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = lambda self: self.handle_any()

    def route(self, path, raw):
        m = self.command
        if path.startswith("/_test/") and self.server.test_switches:
            return self.test_endpoint(path, raw)
        if m == "POST" and path == "/api/browse/v1/login":
            return self.login(raw)
        if m == "POST" and path == "/api/browse/v1/logout":
            return self.logout()
        if path.startswith("/api/play/v1/clips"):
            email = self.bearer_email()
            if email is None:
                return self.error(401, "unauthorized")
            return self.clips(email, path, raw)
        if m in ("GET", "HEAD"):
            if path.startswith("/s/"):
                return self.serve_clip(path[3:], shared=True)
            if path.startswith("/v/"):
                return self.serve_clip(path[3:], shared=False)
            if path.startswith("/downloads/play/"):
                return self.serve_update(path[len("/downloads/play/"):])
            if path == "/app":
                return self.send_bytes(200, b"<!doctype html><title>KREL Play Cloud</title>", "text/html")
        return self.error(404, "not_found")

    # ---- account ----------------------------------------------------------
    def login(self, raw):
        store = self.server.store
        body = self.json_body(raw)
        if body is None or not all(isinstance(body.get(k), str) for k in ("email", "authKey", "name")):
            return self.error(400, "bad_request")
        email = body["email"]
        now = time.monotonic()
        with store.lock:
            recent = [t for t in store.failures.get(email, []) if now - t < LOGIN_WINDOW_S]
            store.failures[email] = recent
            if len(recent) >= LOGIN_FAILURE_LIMIT:
                limited = True
            else:
                limited = False
                account = store.accounts.get(email)
                if account is None or not hmac.compare_digest(account["authKey"], body["authKey"]):
                    recent.append(now)
                    account = None
                else:
                    token = secrets.token_urlsafe(32)
                    store.tokens[token] = email
                    account["devices"].append(body["name"])
        if limited:
            return self.error(429, "too_many_attempts")
        if account is None:
            return self.error(401, "invalid_credentials")
        return self.send_json(200, {"token": token, "accountId": account["id"]})

    def logout(self):
        auth = self.headers.get("Authorization", "")
        with self.server.store.lock:
            self.server.store.tokens.pop(auth[7:] if auth.startswith("Bearer ") else "", None)
        return self.send_json(200, {})

    # ---- clips ------------------------------------------------------------
    def clips(self, email, path, raw):
        store = self.server.store
        parts = path.split("/")[4:]          # after /api/play/v1
        m = self.command
        if parts == ["clips"]:
            if m == "GET":
                return self.list_clips(email)
            if m == "POST":
                return self.announce(email, raw)
            return self.error(405, "method_not_allowed")
        cid = parts[1] if len(parts) > 1 else ""
        with store.lock:
            clip = store.clips.get(cid)
            if clip is None or clip["owner"] != email:
                clip = None
        if clip is None:
            return self.error(404, "clip_not_found")
        rest = parts[2:]
        if m == "DELETE" and not rest:
            with store.lock:
                store.clips.pop(cid, None)
            shutil.rmtree(store.clip_dir(cid), ignore_errors=True)
            return self.send_json(200, {})
        if m == "PUT" and len(rest) == 2 and rest[0] == "chunks":
            return self.put_chunk(clip, rest[1], raw)
        if m == "POST" and rest == ["complete"]:
            return self.complete(clip)
        if m == "POST" and rest == ["share"]:
            body = self.json_body(raw)
            if body is None or not isinstance(body.get("on"), bool):
                return self.error(400, "bad_request")
            if not clip["complete"]:
                return self.error(404, "clip_not_found")
            with store.lock:
                if body["on"]:
                    clip.setdefault("shareId", secrets.token_urlsafe(9))
                else:
                    clip.pop("shareId", None)
            if body["on"]:
                return self.send_json(200, {"shareUrl": self.server.base_url + "/s/" + clip["shareId"]})
            return self.send_json(200, {})
        if m == "POST" and rest == ["link"]:
            if not clip["complete"]:
                return self.error(404, "clip_not_found")
            return self.send_json(200, {"url": "/v/" + clip["linkId"]})
        return self.error(404, "not_found")

    def clip_view(self, c):
        out = {k: c[k] for k in ("id", "name", "game", "createdAt", "size", "durationMs", "views")}
        if "shareId" in c:
            out["shareUrl"] = self.server.base_url + "/s/" + c["shareId"]
        return out

    def list_clips(self, email):
        store = self.server.store
        with store.lock:
            clips = [self.clip_view(c) for c in store.clips.values() if c["owner"] == email and c["complete"]]
            used = store.used(email)
        return self.send_json(200, {"used": used, "quota": store.quota, "clips": clips})

    def announce(self, email, raw):
        store = self.server.store
        body = self.json_body(raw)
        numbers = ("size", "durationMs", "width", "height")
        if (body is None or not isinstance(body.get("name"), str) or not isinstance(body.get("game"), str)
                or not all(isinstance(body.get(k), int) and not isinstance(body.get(k), bool) and body[k] >= 0
                           for k in numbers) or body["size"] <= 0):
            return self.error(400, "bad_request")
        if body["size"] > MAX_CLIP_BYTES:
            return self.error(413, "clip_too_large")
        with store.lock:
            if store.used(email) + body["size"] > store.quota:
                return self.error(403, "quota_exceeded")
            cid = secrets.token_hex(8)
            chunk = store.chunk_size or DEFAULT_CHUNK
            store.clips[cid] = {
                "id": cid, "owner": email, "name": body["name"], "game": body["game"],
                "size": body["size"], "durationMs": body["durationMs"], "width": body["width"],
                "height": body["height"], "chunkSize": chunk, "chunks": {}, "complete": False,
                "createdAt": "", "views": 0, "linkId": secrets.token_urlsafe(12)}
        os.makedirs(store.clip_dir(cid), exist_ok=True)
        reply = {"id": cid}
        if store.chunk_size:
            reply["chunkSize"] = store.chunk_size
        return self.send_json(201, reply)

    def put_chunk(self, clip, index_text, raw):
        if clip["complete"] or not re.fullmatch(r"[0-9]{1,9}", index_text):
            return self.error(400, "bad_chunk")
        index = int(index_text)
        size, chunk = clip["size"], clip["chunkSize"]
        count = (size + chunk - 1) // chunk
        expected = min(chunk, size - index * chunk) if index < count else -1
        if len(raw) != expected:
            return self.error(400, "bad_chunk")
        with open(os.path.join(self.server.store.clip_dir(clip["id"]), "chunk%d" % index), "wb") as f:
            f.write(raw)
        with self.server.store.lock:
            clip["chunks"][index] = len(raw)
        return self.send_json(200, {})

    def complete(self, clip):
        store = self.server.store
        count = (clip["size"] + clip["chunkSize"] - 1) // clip["chunkSize"]
        if clip["complete"] or sorted(clip["chunks"]) != list(range(count)):
            return self.error(400, "incomplete")
        folder = store.clip_dir(clip["id"])
        target = os.path.join(folder, "clip.mp4")
        with open(target, "wb") as out:
            for i in range(count):
                with open(os.path.join(folder, "chunk%d" % i), "rb") as f:
                    shutil.copyfileobj(f, out)
                os.remove(os.path.join(folder, "chunk%d" % i))
        if os.path.getsize(target) != clip["size"]:
            return self.error(400, "size_mismatch")
        with open(target, "rb") as f:
            head = f.read(12)
        if len(head) < 8 or head[4:8] != b"ftyp":
            return self.error(415, "not_mp4")
        with store.lock:
            clip["complete"] = True
            clip["createdAt"] = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
        return self.send_json(200, {"id": clip["id"]})

    # ---- files --------------------------------------------------------------
    def serve_clip(self, key, shared):
        store = self.server.store
        with store.lock:
            found = None
            for c in store.clips.values():
                if c["complete"] and key == (c.get("shareId") if shared else c["linkId"]):
                    found = c
                    if shared and self.command == "GET":
                        c["views"] += 1
        if found is None:
            return self.error(404, "clip_not_found")
        return self.serve_file(os.path.join(store.clip_dir(found["id"]), "clip.mp4"), "video/mp4")

    def serve_update(self, name):
        folder = self.server.update_dir
        name = urllib.parse.unquote(name)
        if not folder or not name or "/" in name or "\\" in name or name.startswith("."):
            return self.error(404, "not_found")
        return self.serve_file(os.path.join(folder, name), "application/octet-stream")

    def serve_file(self, file, content_type):
        try:
            with open(file, "rb") as f:
                data = f.read()
        except OSError:
            return self.error(404, "not_found")
        m = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if m:
            start = int(m.group(1))
            end = int(m.group(2)) if m.group(2) else len(data) - 1
            if start >= len(data) or end < start:
                return self.send_bytes(416, b"", content_type, {"Content-Range": "bytes */%d" % len(data)})
            end = min(end, len(data) - 1)
            return self.send_bytes(206, data[start:end + 1], content_type,
                                   {"Content-Range": "bytes %d-%d/%d" % (start, end, len(data)),
                                    "Accept-Ranges": "bytes"})
        return self.send_bytes(200, data, content_type, {"Accept-Ranges": "bytes"})

    # ---- test switches ------------------------------------------------------
    def test_endpoint(self, path, raw):
        store = self.server.store
        body = self.json_body(raw) if raw else {}
        if self.command == "POST" and path == "/_test/users" and body:
            email = body.get("email", "")
            key = body.get("authKey") or derive_auth_key(email, body.get("password", ""))
            with store.lock:
                store.accounts[email] = {"authKey": key, "id": "acc-" + secrets.token_hex(4), "devices": []}
            return self.send_json(200, {"accountId": store.accounts[email]["id"], "authKey": key})
        if self.command == "POST" and path == "/_test/faults" and body:
            with self.server.faults.lock:
                self.server.faults.rules.append(body)
            return self.send_json(200, {})
        if self.command == "POST" and path == "/_test/config" and body is not None:
            with store.lock:
                if "chunkSize" in body:
                    store.chunk_size = body["chunkSize"]
                if "quota" in body:
                    store.quota = body["quota"]
            return self.send_json(200, {})
        if self.command == "POST" and path == "/_test/revoke" and body:
            with store.lock:
                for token in [t for t, e in store.tokens.items() if e == body.get("email")]:
                    del store.tokens[token]
            return self.send_json(200, {})
        if self.command == "GET" and path == "/_test/log":
            with self.server.log_lock:
                return self.send_json(200, {"requests": list(self.server.requests)})
        if self.command == "GET" and path == "/_test/state":
            with store.lock:
                clips = [{k: v for k, v in c.items() if k != "chunks"} | {"chunks": sorted(c["chunks"].items())}
                         for c in store.clips.values()]
                devices = {e: a["devices"] for e, a in store.accounts.items()}
                tokens = len(store.tokens)
            return self.send_json(200, {"clips": clips, "devices": devices, "tokens": tokens})
        return self.error(404, "not_found")


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    tls_context = None

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the connection's own thread, so a
        # client that never completes it cannot stall the accept loop.
        if self.tls_context is None:
            return super().finish_request(request, client_address)
        try:
            request.settimeout(TLS_HANDSHAKE_S)
            tls = self.tls_context.wrap_socket(request, server_side=True)
            tls.settimeout(None)
        except (OSError, ssl.SSLError) as e:
            if self.verbose:
                sys.stderr.write("krel-service: TLS handshake with %s failed: %s\n" % (client_address, e))
            return
        try:
            super().finish_request(tls, client_address)
        finally:
            tls.close()

    def handle_error(self, request, client_address):
        # A client that gives up (time-out tests, refused certificates) is
        # no fault of the service; one line is enough, and only when asked.
        if self.verbose:
            sys.stderr.write("krel-service: connection from %s ended: %s\n" % (client_address, sys.exc_info()[1]))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--data", required=True, help="storage folder")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--user", action="append", default=[], help="email:password of an account")
    p.add_argument("--quota", type=int, default=5 * 1000 * 1000 * 1000)
    p.add_argument("--chunk-size", type=int, default=DEFAULT_CHUNK, help="0: name no chunk size")
    p.add_argument("--update-dir", default="", help="folder served as /downloads/play/")
    p.add_argument("--tls-cert", default="")
    p.add_argument("--tls-key", default="")
    p.add_argument("--test-switches", action="store_true")
    p.add_argument("--verbose", action="store_true")
    args = p.parse_args()

    host = "127.0.0.1" if args.host == "localhost" else args.host
    if not ipaddress.ip_address(host).is_loopback:
        sys.exit("krel-service: only loopback addresses are served")
    if ":" in host:
        Server.address_family = __import__("socket").AF_INET6

    server = Server((host, args.port), Handler)
    server.store = Store(args.data, args.quota, args.chunk_size)
    server.faults = Faults()
    server.requests = []
    server.log_lock = threading.Lock()
    server.test_switches = args.test_switches
    server.verbose = args.verbose
    server.update_dir = args.update_dir
    scheme = "http"
    if args.tls_cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.tls_cert, args.tls_key)
        server.tls_context = ctx
        scheme = "https"
    port = server.server_address[1]
    shown = "[%s]" % host if ":" in host else host
    server.base_url = "%s://%s:%d" % (scheme, shown, port)
    for entry in args.user:
        email, _, password = entry.partition(":")
        server.store.accounts[email] = {"authKey": derive_auth_key(email, password),
                                        "id": "acc-" + secrets.token_hex(4), "devices": []}
    print("PORT %d" % port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
