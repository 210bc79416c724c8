#!/usr/bin/env python3
"""Serves an autoconfig file over HTTPS on 127.0.0.1:443, under both of its paths, for the
host named in the request: autoconfig.host.test and wellknown.test each name their own server.

    autoconfig_https_server.py CERT KEY
"""
import http.server
import ssl
import sys

CONFIG = """<?xml version="1.0"?>
<clientConfig version="1.1"><emailProvider id="{domain}">
<outgoingServer type="smtp"><hostname>smtp.%EMAILDOMAIN%</hostname><port>{port}</port>
<socketType>{socket}</socketType><authentication>password-cleartext</authentication>
</outgoingServer></emailProvider></clientConfig>
"""
FILES = {
    ("autoconfig.host.test", "/mail/config-v1.1.xml"): ("host.test", 465, "SSL"),
    ("wellknown.test", "/.well-known/autoconfig/mail/config-v1.1.xml"):
        ("wellknown.test", 587, "STARTTLS"),
    ("autoconfig.untrusted.test", "/mail/config-v1.1.xml"): ("untrusted.test", 465, "SSL"),
}


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        host = self.headers.get("Host", "").split(":")[0]
        found = FILES.get((host, self.path))
        if found is None:
            self.send_error(404)
            return
        domain, port, socket = found
        body = CONFIG.format(domain=domain, port=port, socket=socket).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/xml")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[1], sys.argv[2])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 443), Handler)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
