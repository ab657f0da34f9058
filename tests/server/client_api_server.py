#!/usr/bin/env python3
"""Test server of the client-login API on loopback.

Encrypted request bodies are decoded here with Python's own libraries (Base64, AES-128-CBC from
python3-cryptography, zlib, json), so a fault in the client's encoding is not mirrored here. Each
request is recorded as one JSON line in --log: {"method", "path", "query", "content_type", "body"}
where "body" is the decoded dictionary (null when the body did not decode, "raw" then holds the text).

Start:
  client_api_server.py [--port N] [--script FILE] [--log FILE] [--tls DIR [--demand-client-cert]]
    The port is printed as "PORT <n>" on the first line. With --tls the server speaks HTTPS with a
    certificate for 127.0.0.1 and localhost issued by a new CA, whose certificate it writes to
    DIR/ca.pem (the server's own key and certificate go beside it). With --demand-client-cert the
    handshake requires a client certificate issued by a second CA; that identity is written to
    DIR/client.p12 (passphrase "804517") and its subject's common name is recorded as "client_cert".

Paths:
  POST /api/public/clientlogin/account_login, logout, resetpass, retrieve_password, ticket_auth,
       ad_auth                          encrypted bodies
  POST /api/public/clientlogin/scan_status   plain JSON
  GET  /api/public/client/start_config       "data" encrypted
  GET  /zem/qznpolicy?ostype=mac             "data" and "office_data" encrypted
  GET  /zem/ping
  POST /api/tovik/ca/getcert                 the admission server: an encrypted body; the default
       reply (encrypted whole, as body entries are) issues a certificate for the body's "userid":
       {"ret": 0, "data": {"cert": Base64 PKCS#12, "ca": PEM intermediate then root, "pwd": ...}}
  GET  /api/public/clientlogin/scan_login?v=<QR text>&user=<id>
       the scanner: decodes the QR text and marks its device signed in as <id> (default "qruser"),
       so the device's next scan_status answers state 0 with a ticket.

Script (read again for every request, and its lists start afresh whenever it changes):
  {"replies": {"<path without query>": [entry, ...]}}   used in order, then the default reply
An entry:
  {"status": 500}          that HTTP status with a short text body
  {"sleep": 2.5}           wait before answering (combines with the others)
  {"raw": "text"}          this body as it is (200)
  {"json": {...}}          this reply object (200)
  {"encrypt": ["data"]}    encrypt these top-level fields of "json" as the server's replies do
  {"body": {...}}          this reply object encoded whole as request bodies are (JSON, zlib, AES, Base64)
  {"repeat": true}         this entry answers every later request of its path as well
"""
import argparse
import base64
import http.server
import json
import os
import sys
import threading
import time
import urllib.parse
import zlib

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

KEY = b"Qm8#tR2vLx6@Nw4k"
IV = b"Hp3$Zc7&Wd1^Kf9y"
MAX_BODY = 1 << 20
MAX_INFLATED = 4 << 20

ENCRYPTED_PATHS = {
    "/api/public/clientlogin/account_login",
    "/api/public/clientlogin/logout",
    "/api/public/clientlogin/resetpass",
    "/api/public/clientlogin/retrieve_password",
    "/api/public/clientlogin/ticket_auth",
    "/api/public/clientlogin/ad_auth",
    "/api/tovik/ca/getcert",
}
CLIENT_P12_PASSPHRASE = b"804517"


def aes_encrypt(raw):
    padder = padding.PKCS7(128).padder()
    data = padder.update(raw) + padder.finalize()
    enc = Cipher(algorithms.AES(KEY), modes.CBC(IV)).encryptor()
    text = base64.b64encode(enc.update(data) + enc.finalize()).decode()
    return "\r\n".join(text[i:i + 64] for i in range(0, len(text), 64))


def aes_decrypt(text):
    raw = base64.b64decode("".join(text.split()), validate=True)
    dec = Cipher(algorithms.AES(KEY), modes.CBC(IV)).decryptor()
    data = dec.update(raw) + dec.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    return unpadder.update(data) + unpadder.finalize()


def decode_body(text):
    """Base64, AES, zlib (a zlib stream, not gzip), JSON."""
    packed = aes_decrypt(text)
    inflater = zlib.decompressobj(15)
    raw = inflater.decompress(packed, MAX_INFLATED)
    if inflater.unconsumed_tail or not inflater.eof:
        raise ValueError("not one whole zlib stream")
    return json.loads(raw.decode("utf-8"))


def encode_field(value):
    """A reply field: JSON, AES, Base64 (no compression)."""
    return aes_encrypt(json.dumps(value).encode())


def encode_body(value):
    return aes_encrypt(zlib.compress(json.dumps(value, indent=2).encode()))


class ClientApiServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port, script, log):
        super().__init__(("127.0.0.1", port), Handler)
        self.script_path = script
        self.log_path = log
        self.lock = threading.Lock()
        self.used = {}
        self.last_script = None
        self.scanned = {}  # deviceid -> user id
        self.issuer = None  # (root key, root cert, sub key, sub cert) of issued admission certificates

    def script_text(self):
        try:
            with open(self.script_path) as f:
                return f.read()
        except OSError:
            return ""

    def next_entry(self, path):
        text = self.script_text() if self.script_path else ""
        try:
            script = json.loads(text) if text else {}
        except ValueError:
            script = {}
        entries = script.get("replies", {}).get(path, [])
        with self.lock:
            if text != self.last_script:
                # A changed script starts its lists afresh.
                self.last_script = text
                self.used = {}
            index = self.used.get(path, 0)
            if index < len(entries):
                self.used[path] = index + 1
                return entries[index]
            if entries and entries[-1].get("repeat"):
                return entries[-1]
        return None

    def record(self, item):
        line = json.dumps(item)
        if self.log_path:
            with self.lock, open(self.log_path, "a") as f:
                f.write(line + "\n")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def answer(self, status, body, content_type="application/json"):
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
        elif isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.handle_request(b"")

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length > MAX_BODY:
            self.answer(413, "too large", "text/plain")
            return
        self.handle_request(self.rfile.read(length))

    def handle_request(self, raw):
        url = urllib.parse.urlsplit(self.path)
        path, query = url.path, urllib.parse.parse_qs(url.query)
        item = {"method": self.command, "path": path, "query": url.query,
                "content_type": self.headers.get("Content-Type"), "body": None}
        text = raw.decode("utf-8", "replace")
        if path in ENCRYPTED_PATHS:
            try:
                item["body"] = decode_body(text)
            except Exception as e:  # recorded: the test says what it expected
                item["raw"] = text
                item["error"] = str(e)
        elif raw:
            try:
                item["body"] = json.loads(text)
            except ValueError:
                item["raw"] = text
        if path.endswith("/scan_login"):
            item["body"] = self.scan(query)
        peer = getattr(self.connection, "getpeercert", None)
        if peer and peer():
            subject = dict(x[0] for x in peer().get("subject", ()))
            item["client_cert"] = subject.get("commonName")
        self.server.record(item)

        entry = self.server.next_entry(path)
        if entry is not None:
            if entry.get("sleep"):
                time.sleep(float(entry["sleep"]))
            status = entry.get("status", 200)
            if status != 200:
                self.answer(status, "scripted failure", "text/plain")
                return
            if "raw" in entry:
                self.answer(200, entry["raw"])
                return
            if "body" in entry:
                self.answer(200, encode_body(entry["body"]), "text/plain")
                return
            if "json" in entry:
                reply = json.loads(json.dumps(entry["json"]))
                if isinstance(reply, dict):
                    for key in entry.get("encrypt", []):
                        if key in reply:
                            reply[key] = encode_field(reply[key])
                self.answer(200, reply)
                return
        if path == "/api/tovik/ca/getcert":
            self.answer(200, encode_body(self.issue(item.get("body"))), "text/plain")
            return
        self.answer(200, self.default_reply(path, item.get("body")))

    def issue(self, body):
        """The admission server's certificate for the request's user, under a two-level chain."""
        from cryptography.hazmat.primitives import serialization
        from cryptography.hazmat.primitives.serialization import pkcs12
        user = (body or {}).get("userid", "") or "unknown"
        with self.server.lock:
            if self.server.issuer is None:
                root_key, root = make_ca("Admission Root CA")
                sub_key, sub = make_ca("Admission Issuing CA", root_key, root.subject)
                self.server.issuer = (root_key, root, sub_key, sub)
            _, root, sub_key, sub = self.server.issuer
        key, cert = make_leaf(user, sub_key, sub.subject, client=True)
        pwd = "pw-" + user
        p12 = pkcs12.serialize_key_and_certificates(
            user.encode(), key, cert, [sub, root], serialization.BestAvailableEncryption(pwd.encode()))
        pem = serialization.Encoding.PEM
        ca = (sub.public_bytes(pem) + root.public_bytes(pem)).decode()
        return {"ret": 0, "msg": "success", "data": {"cert": base64.encodebytes(p12).decode(), "ca": ca, "pwd": pwd}}

    def scan(self, query):
        """The phone's side of a QR sign-in: the text must decode to the device's fields."""
        try:
            fields = decode_body(query["v"][0])
        except Exception as e:
            return {"error": str(e)}
        user = query.get("user", ["qruser"])[0]
        with self.server.lock:
            self.server.scanned[fields.get("deviceid", "")] = user
        return fields

    def default_reply(self, path, body):
        body = body if isinstance(body, dict) else {}
        name = path.rsplit("/", 1)[-1]
        if name in ("account_login", "resetpass"):
            user = body.get("userid", "")
            return {"ret": 0, "data": {"state": 0, "ticket": "TGT-%s-1" % user, "username": "User " + user,
                                       "userid": user}}
        if name == "ticket_auth":
            return {"ret": 0, "data": {"state": 0, "ticket": body.get("ticket", ""),
                                       "username": "User", "userid": body.get("userid", "")}}
        if name == "scan_status":
            with self.server.lock:
                user = self.server.scanned.pop(body.get("deviceid", ""), None)
            if user is None:
                return {"ret": 0, "data": {"state": 1}}
            return {"ret": 0, "data": {"state": 0, "ticket": "QR-%s-1" % user, "username": "User " + user,
                                       "userid": user}}
        if name == "ad_auth":
            return {"ret": 0, "data": {"user_name": body.get("uid", "")}}
        if name == "start_config":
            return {"ret": 0, "data": encode_field({"domain": {"auth_method": "1", "tovik_addr": ""},
                                                    "wifisettings": {"ssidlist": []}})}
        if name == "qznpolicy":
            return {"code": 0, "data": encode_field({"policy": [{"id": 1}]}),
                    "office_data": encode_field({"office": "on"})}
        return {"ret": 0}


def make_ca(name, issuer_key=None, issuer_name=None):
    """A CA key and certificate, self-signed or issued by the given CA."""
    import datetime
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = datetime.datetime.utcnow()
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer_name or subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=2))
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False), critical=True)
            .sign(issuer_key or key, hashes.SHA256()))
    return key, cert


def make_leaf(name, ca_key, ca_name, client=False):
    """An end-entity key and certificate for name issued by the CA."""
    import datetime
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    now = datetime.datetime.utcnow()
    key = ec.generate_private_key(ec.SECP256R1())
    usage = ExtendedKeyUsageOID.CLIENT_AUTH if client else ExtendedKeyUsageOID.SERVER_AUTH
    cert = (x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)]))
            .issuer_name(ca_name).public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=2))
            .add_extension(x509.ExtendedKeyUsage([usage]), critical=False)
            .sign(ca_key, hashes.SHA256()))
    return key, cert


def demand_client_cert(context, folder):
    """Requires a client certificate from a new client CA; writes its identity to folder/client.p12."""
    import ssl
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.serialization import pkcs12

    ca_key, ca = make_ca("Test Client CA")
    key, cert = make_leaf("Hux client", ca_key, ca.subject, client=True)
    with open(os.path.join(folder, "client-ca.pem"), "wb") as f:
        f.write(ca.public_bytes(serialization.Encoding.PEM))
    with open(os.path.join(folder, "client.p12"), "wb") as f:
        f.write(pkcs12.serialize_key_and_certificates(
            b"Hux client", key, cert, None, serialization.BestAvailableEncryption(CLIENT_P12_PASSPHRASE)))
    context.verify_mode = ssl.CERT_REQUIRED
    context.load_verify_locations(os.path.join(folder, "client-ca.pem"))


def make_tls(folder):
    """A CA and a server certificate for 127.0.0.1 signed by it; returns an SSL context."""
    import datetime
    import ipaddress
    import ssl
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = datetime.datetime.utcnow()
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Test Organisation CA")])
    ca = (x509.CertificateBuilder().subject_name(ca_name).issuer_name(ca_name)
          .public_key(ca_key.public_key()).serial_number(x509.random_serial_number())
          .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=2))
          .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
          .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False), critical=True)
          .sign(ca_key, hashes.SHA256()))
    key = ec.generate_private_key(ec.SECP256R1())
    cert = (x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")]))
            .issuer_name(ca_name).public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=2))
            .add_extension(x509.SubjectAlternativeName([x509.DNSName("localhost"),
                                                        x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
                           critical=False)
            .sign(ca_key, hashes.SHA256()))
    pem = serialization.Encoding.PEM
    with open(os.path.join(folder, "server.pem"), "wb") as f:
        f.write(cert.public_bytes(pem))
    with open(os.path.join(folder, "server.key"), "wb") as f:
        f.write(key.private_bytes(pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    with open(os.path.join(folder, "ca.pem"), "wb") as f:
        f.write(ca.public_bytes(pem))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(folder, "server.pem"), os.path.join(folder, "server.key"))
    return context


def self_test():
    value = {"userid": "a", "n": 1}
    assert decode_body(encode_body(value)) == value
    assert json.loads(aes_decrypt(encode_field(value))) == value
    print("ok")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--script", default="")
    parser.add_argument("--log", default="")
    parser.add_argument("--tls", default="", metavar="DIR")
    parser.add_argument("--demand-client-cert", action="store_true")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if args.self_test:
        return self_test()
    server = ClientApiServer(args.port, args.script, args.log)
    if args.tls:
        context = make_tls(args.tls)
        if args.demand_client_cert:
            demand_client_cert(context, args.tls)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT", server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
