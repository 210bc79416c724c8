#!/usr/bin/python3
"""SMTP servers over TLS for the tests, on 127.0.0.1.

  tls_smtp_server.py real MODE CERT KEY OUTDIR [USER PASSWORD]
      aiosmtpd: MODE "starttls" (STARTTLS required) or "tls" (TLS from the first byte); with a
      user, sign-in is required and only that user and password are taken. Each message is
      written to OUTDIR as N.eml.
  tls_smtp_server.py oauth MODE CERT KEY OUTDIR MECHANISMS TOKENFILE
      aiosmtpd as "real" does, signing in only with OAuth2: MECHANISMS (comma-separated
      XOAUTH2, OAUTHBEARER) are announced, and only the token that TOKENFILE holds when AUTH
      comes is taken; any other is refused with the error challenge of RFC 7628 and 535. Each
      AUTH is appended to OUTDIR/auth.log as "MECHANISM USER TOKEN".
  tls_smtp_server.py scripted MODE CERT KEY OUTDIR
      a scripted peer that misbehaves: "no-starttls", "inject", "cram-only", or that is quick:
      "tls12-greeting" (TLS 1.2 from the first byte, its greeting sent with its handshake's last
      flight in one segment). Every line the
      client sends (in plain text or inside TLS) is appended to OUTDIR/wire.log, prefixed
      "plain: " or "tls: ".

Prints the port on the first line of its output, then serves until its input is closed.
With ANNOUNCE_PIPELINING=1 in the environment the real server announces PIPELINING (aiosmtpd
reads the commands in order, so it takes them pipelined); the benchmarks use it.
"""
import asyncio
import base64
import os
import socket
import ssl
import sys
import threading


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def server_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def serve_real(mode, cert, key, outdir, user=None, password=None, store=None, **kwargs):
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult

    class Store:
        count = 0

        async def handle_EHLO(self, server, session, envelope, hostname, responses):
            session.host_name = hostname
            if os.environ.get("ANNOUNCE_PIPELINING") == "1":
                responses.insert(len(responses) - 1, "250-PIPELINING")
            return responses

        async def handle_DATA(self, server, session, envelope):
            Store.count += 1
            path = os.path.join(outdir, "%d.eml" % Store.count)
            with open(path + ".tmp", "wb") as f:
                f.write(envelope.original_content)
            os.rename(path + ".tmp", path)
            return "250 OK"

    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = auth_data.login == user.encode() and auth_data.password == password.encode()
        return AuthResult(success=ok, handled=False)  # a refusal answers 535

    if user:
        # With TLS from the first byte aiosmtpd does not count the connection as secured.
        kwargs.update(authenticator=authenticate, auth_required=True,
                      auth_require_tls=(mode == "starttls"))
    handler = (store or Store)()
    context = server_context(cert, key)
    port = free_port()
    if mode == "starttls":
        controller = Controller(handler, hostname="127.0.0.1", port=port, tls_context=context,
                                require_starttls=True, **kwargs)
    else:
        controller = Controller(handler, hostname="127.0.0.1", port=port, ssl_context=context,
                                **kwargs)
    controller.start()
    print(port, flush=True)
    sys.stdin.read()
    controller.stop()


def serve_oauth(mode, cert, key, outdir, mechanisms, token_file):
    from aiosmtpd.smtp import AuthResult, MISSING
    offered = mechanisms.split(",")

    def bearer_fields(data, first):
        fields = data.split(b"\x01")
        user = fields[0][len(first):].rstrip(b",")
        token = next((f[len(b"auth=Bearer "):] for f in fields if f.startswith(b"auth=Bearer ")), b"")
        return user.decode(), token.decode()

    async def sign_in(server, args, mechanism, first):
        if len(args) < 2:
            return AuthResult(success=False, handled=False)
        user, token = bearer_fields(base64.b64decode(args[1]), first)
        with open(token_file) as f:
            current = f.read().strip()
        with open(os.path.join(outdir, "auth.log"), "a") as f:
            f.write("%s %s %s\n" % (mechanism, user, token))
        if token == current:
            return AuthResult(success=True, handled=False)
        error = '{"status":"invalid_token","scope":"https://mail.example/smtp"}'
        if await server.challenge_auth(error) is MISSING:
            return AuthResult(success=False, handled=True)
        return AuthResult(success=False, handled=False)  # 535

    class Store:
        count = 0

        async def handle_DATA(self, server, session, envelope):
            Store.count += 1
            with open(os.path.join(outdir, "%d.eml" % Store.count), "wb") as f:
                f.write(envelope.original_content)
            return "250 OK"

        async def auth_XOAUTH2(self, server, args):
            return await sign_in(server, args, "XOAUTH2", b"user=")

        async def auth_OAUTHBEARER(self, server, args):
            return await sign_in(server, args, "OAUTHBEARER", b"n,a=")

    excluded = [m for m in ("LOGIN", "PLAIN", "XOAUTH2", "OAUTHBEARER") if m not in offered]
    serve_real(mode, cert, key, outdir, store=Store, auth_required=True,
               auth_require_tls=(mode == "starttls"), auth_exclude_mechanism=excluded)


class Scripted:
    def __init__(self, mode, context, outdir):
        self.mode, self.context, self.outdir = mode, context, outdir

    def log(self, where, line):
        with open(os.path.join(self.outdir, "wire.log"), "ab") as f:
            f.write(where.encode() + b": " + line + b"\n")

    def lines(self, conn, where):
        buffer = b""
        while True:
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                line = line.rstrip(b"\r")
                self.log(where, line)
                yield line
            chunk = conn.recv(65536)
            if not chunk:
                return
            buffer += chunk

    def converse(self, conn, where, extensions):
        data = False
        for line in self.lines(conn, where):
            if data:
                if line == b".":
                    data = False
                    conn.sendall(b"250 queued\r\n")
                continue
            verb = line.split(b" ")[0].upper()
            if verb == b"EHLO":
                reply = [b"250-pelorin.test"] + [b"250-" + e for e in extensions[:-1]]
                reply.append(b"250 " + extensions[-1])
                conn.sendall(b"\r\n".join(reply) + b"\r\n")
            elif verb == b"STARTTLS" and where == "plain" and self.mode == "inject":
                # The 220 and a forged reply in one segment: the forged one must be dropped.
                conn.sendall(b"220 go ahead\r\n250 forged in plain text\r\n")
                return "starttls"
            elif verb == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return "quit"
            elif verb == b"AUTH":
                conn.sendall(b"235 welcome\r\n")
            elif verb == b"DATA":
                data = True
                conn.sendall(b"354 go ahead\r\n")
            else:
                conn.sendall(b"250 ok\r\n")
        return "closed"

    def handle(self, conn):
        if self.mode == "tls12-greeting":
            secured = QuickTls(conn, self.context)
            if secured.handshake(b"220 pelorin.test ESMTP\r\n"):
                self.converse(secured, "tls", [b"8BITMIME"])
            conn.close()
            return
        if self.mode == "cram-only":
            # TLS from the first byte; the greeting comes inside it.
            secured = self.context.wrap_socket(conn, server_side=True)
            secured.sendall(b"220 pelorin.test ESMTP\r\n")
            self.converse(secured, "tls", [b"AUTH CRAM-MD5"])
            secured.close()
            return
        conn.sendall(b"220 pelorin.test ESMTP\r\n")
        if self.mode == "no-starttls":
            self.converse(conn, "plain", [b"AUTH PLAIN", b"8BITMIME"])
        elif self.mode == "inject":
            if self.converse(conn, "plain", [b"STARTTLS"]) == "starttls":
                secured = self.context.wrap_socket(conn, server_side=True)
                self.converse(secured, "tls", [b"AUTH PLAIN LOGIN", b"8BITMIME"])
        conn.close()


class QuickTls:
    """TLS 1.2 over memory buffers, so that the server cuts its records into segments: its
    Finished and what follows it go out in one send."""

    def __init__(self, conn, context):
        context.maximum_version = ssl.TLSVersion.TLSv1_2
        self.conn, self.incoming, self.outgoing = conn, ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)

    def until_read(self, step):
        while True:
            try:
                return step()
            except ssl.SSLWantReadError:
                self.conn.sendall(self.outgoing.read())
                data = self.conn.recv(65536)
                if not data:
                    return None
                self.incoming.write(data)

    def handshake(self, greeting):
        if self.until_read(lambda: self.tls.do_handshake() or True) is None:
            return False
        self.sendall(greeting)
        return True

    def sendall(self, data):
        self.tls.write(data)
        self.conn.sendall(self.outgoing.read())

    def recv(self, size):
        return self.until_read(lambda: self.tls.read(size)) or b""


def serve_scripted(mode, cert, key, outdir):
    context = server_context(cert, key)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    script = Scripted(mode, context, outdir)

    def accept():
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=guarded, args=(conn,), daemon=True).start()

    def guarded(conn):
        try:
            script.handle(conn)
        except (OSError, ssl.SSLError):
            conn.close()

    threading.Thread(target=accept, daemon=True).start()
    print(listener.getsockname()[1], flush=True)
    sys.stdin.read()
    listener.close()


if __name__ == "__main__":
    kind, mode, cert, key, outdir = sys.argv[1:6]
    if kind == "real":
        serve_real(mode, cert, key, outdir, *sys.argv[6:8])
    elif kind == "oauth":
        serve_oauth(mode, cert, key, outdir, *sys.argv[6:8])
    else:
        serve_scripted(mode, cert, key, outdir)
