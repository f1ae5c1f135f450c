#!/usr/bin/python3
"""The remote-access coordinator for tests: HTTPS (or plain HTTP) on 127.0.0.1.

  test_coordinator.py --dir DIR --secret HEX --relay HOST:PORT:REGION ... [--invite CODE=LABEL ...]
                      [--token-ttl SECONDS] [--plain]

Makes a certificate for 127.0.0.1 and localhost in DIR (cert.pem, which clients trust) unless
--plain, prints "port N" once it listens, and serves until SIGTERM:
  POST /v1/enroll  {invite, host_key, ts, host_proof}       -> {"account": label}
  POST /v1/token   {role, host_key, ts, host_proof}         -> {"token", "relays", "expires_at"}
  POST /admin/revoke {host_key}                             the host's next requests: 401 revoked
  POST /admin/fail {status, body, count}                    the next COUNT requests get that reply
  GET  /admin/stats                                         {"token": n, "enroll": n}
Tokens are host key || expiry (8 bytes, big-endian) || HMAC-SHA256 under the secret, which the
test relay checks.
"""

import argparse
import base64
import datetime
import hashlib
import hmac
import http.server
import json
import os
import signal
import ssl
import struct
import sys
import threading
import time

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature
from cryptography.x509.oid import NameOID
import ipaddress


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def b64url_encode(data):
    return base64.urlsafe_b64encode(data).decode().rstrip("=")


def verify(key_bytes, signature, message):
    if len(signature) != 64 or len(key_bytes) != 65:
        return False
    try:
        key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), key_bytes)
        der = encode_dss_signature(int.from_bytes(signature[:32], "big"), int.from_bytes(signature[32:], "big"))
        key.verify(der, message, ec.ECDSA(hashes.SHA256()))
        return True
    except Exception:
        return False


def make_certificate(directory):
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "test coordinator")])
    now = datetime.datetime.utcnow()
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=2))
            .add_extension(x509.SubjectAlternativeName([x509.DNSName("localhost"),
                                                        x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), False)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), True)
            .sign(key, hashes.SHA256()))
    cert_path = os.path.join(directory, "cert.pem")
    key_path = os.path.join(directory, "key.pem")
    with open(key_path, "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    with open(cert_path, "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    return cert_path, key_path


class State:
    def __init__(self, args):
        self.lock = threading.Lock()
        self.secret = bytes.fromhex(args.secret)
        self.relays = []
        for relay in args.relay:
            host, port, region = relay.rsplit(":", 2)
            self.relays.append({"region": region, "host": host, "port": int(port)})
        self.invites = dict(item.split("=", 1) for item in args.invite)
        self.token_ttl = args.token_ttl
        self.enrolled = {}
        self.revoked = set()
        self.failures = []
        self.stats = {"token": 0, "enroll": 0}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body):
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        state = self.server.state
        if self.path == "/admin/stats":
            with state.lock:
                return self.reply(200, dict(state.stats))
        self.reply(404, {"error": "not_found"})

    def do_POST(self):
        state = self.server.state
        length = int(self.headers.get("Content-Length", "0"))
        try:
            body = json.loads(self.rfile.read(length) or b"{}")
        except ValueError:
            return self.reply(400, {"error": "bad_json"})
        if self.path == "/admin/revoke":
            with state.lock:
                state.revoked.add(body["host_key"])
            return self.reply(200, {})
        if self.path == "/admin/fail":
            with state.lock:
                state.failures.extend([(body["status"], body.get("body", "").encode())] * body.get("count", 1))
            return self.reply(200, {})
        endpoint = {"/v1/enroll": "enroll", "/v1/token": "token"}.get(self.path.split("?")[0].rstrip("/").replace("//", "/"))
        if endpoint is None or self.headers.get("Content-Type") != "application/json":
            return self.reply(404, {"error": "not_found"})
        with state.lock:
            state.stats[endpoint] += 1
            if state.failures:
                status, data = state.failures.pop(0)
                return self.reply(status, data)
        try:
            key_text = body["host_key"]
            key = b64url_decode(key_text)
            ts = int(body["ts"])
            proof = b64url_decode(body["host_proof"])
        except (KeyError, ValueError, TypeError):
            return self.reply(400, {"error": "malformed"})
        if abs(ts - time.time()) > 300:
            return self.reply(403, {"error": "bad_proof"})
        stamp = struct.pack(">Q", ts)
        if endpoint == "enroll":
            invite = body.get("invite", "")
            message = b"brindlet-enroll-v1\x00" + stamp + key + invite.encode()
            if not verify(key, proof, message):
                return self.reply(403, {"error": "bad_proof"})
            with state.lock:
                label = state.invites.pop(invite, None)
                if label is None:
                    return self.reply(401, {"error": "invalid_invite"})
                state.enrolled[key_text] = label
                state.revoked.discard(key_text)
            return self.reply(200, {"account": label})
        if body.get("role") != "host":
            return self.reply(400, {"error": "malformed"})
        message = b"brindlet-coordinator-v3\x00" + stamp + key
        if not verify(key, proof, message):
            return self.reply(403, {"error": "bad_proof"})
        with state.lock:
            if key_text in state.revoked:
                return self.reply(401, {"error": "revoked"})
            if key_text not in state.enrolled:
                return self.reply(401, {"error": "not_enrolled"})
            relays = list(state.relays)
            expires = int(time.time()) + state.token_ttl
        token = key + struct.pack(">Q", expires)
        token += hmac.new(state.secret, token, hashlib.sha256).digest()
        self.reply(200, {"token": b64url_encode(token), "relays": relays, "expires_at": expires})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--secret", required=True)
    parser.add_argument("--relay", action="append", default=[])
    parser.add_argument("--invite", action="append", default=[])
    parser.add_argument("--token-ttl", type=int, default=3600)
    parser.add_argument("--enrolled", action="append", default=[], help="HOSTKEY=LABEL enrolled at start")
    parser.add_argument("--plain", action="store_true")
    args = parser.parse_args()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.state = State(args)
    for item in args.enrolled:
        key, label = item.split("=", 1)
        server.state.enrolled[key] = label
    if not args.plain:
        cert, key = make_certificate(args.dir)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    signal.signal(signal.SIGTERM, lambda *a: threading.Thread(target=server.shutdown).start())
    print("port %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
