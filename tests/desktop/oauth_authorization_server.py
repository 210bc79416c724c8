#!/usr/bin/python3
"""A local OAuth2 authorization server for the sign-in tests, on 127.0.0.1.

  oauth_authorization_server.py CLIENT_ID [TOKENFILE]

GET /authorize redirects at once to the redirect_uri with a code (or with the error it was told
to give); POST /token takes the authorization_code grant, whose PKCE verifier must match the
S256 challenge, and the refresh_token grant; with TOKENFILE, each access token given is written
there in place of the one before, for a mail server that takes only the current one. Prints the port on the first line of its output,
then obeys one command a line on its input and answers each with one line:
  refuse          the next authorizations are refused (access_denied)
  wrong-state     the next authorizations come back with another state
  lifetime N      tokens given from now on live N seconds
  revoke          every token given so far is revoked
  last            prints the last access token given
  count           prints "authorization_code=N refresh_token=M", the grants given
  tokens          prints every access and refresh token given so far, separated by spaces
Ends when its input is closed.
"""
import base64
import hashlib
import http.server
import json
import os
import secrets
import sys
import threading
import urllib.parse

CLIENT_ID = sys.argv[1]
TOKEN_FILE = sys.argv[2] if len(sys.argv) > 2 else None
lock = threading.Lock()
state = {"mode": "grant", "lifetime": 3600, "last": "", "codes": {}, "refresh": set(), "given": [],
         "count": {"authorization_code": 0, "refresh_token": 0}}


def challenge(verifier):
    digest = hashlib.sha256(verifier.encode()).digest()
    return base64.urlsafe_b64encode(digest).rstrip(b"=").decode()


def grant(refresh_token=None):
    access = "at-" + secrets.token_urlsafe(24)
    refresh = refresh_token or "rt-" + secrets.token_urlsafe(24)
    state["refresh"].add(refresh)
    state["last"] = access
    state["given"] += [access, refresh]
    if TOKEN_FILE:
        with open(TOKEN_FILE + ".tmp", "w") as f:
            f.write(access)
        os.replace(TOKEN_FILE + ".tmp", TOKEN_FILE)
    return {"access_token": access, "token_type": "Bearer", "expires_in": state["lifetime"],
            "refresh_token": refresh}


def exchange(form):
    kind = form.get("grant_type")
    if form.get("client_id") != CLIENT_ID:
        return 401, {"error": "invalid_client"}
    if kind == "authorization_code":
        asked = state["codes"].pop(form.get("code"), None)
        if (asked is None or asked["redirect_uri"] != form.get("redirect_uri")
                or asked["code_challenge"] != challenge(form.get("code_verifier", ""))):
            return 400, {"error": "invalid_grant", "error_description": "code or verifier wrong"}
        state["count"][kind] += 1
        return 200, grant()
    if kind == "refresh_token":
        if form.get("refresh_token") not in state["refresh"]:
            return 400, {"error": "invalid_grant", "error_description": "Token has been revoked."}
        state["count"][kind] += 1
        return 200, grant(form["refresh_token"])
    return 400, {"error": "unsupported_grant_type"}


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        if url.path != "/authorize" or query.get("code_challenge_method") != "S256":
            return self.answer(400, "text/plain", b"not an authorization request with S256")
        with lock:
            answer = {"state": query.get("state", "")}
            if state["mode"] == "refuse":
                answer.update(error="access_denied", error_description="The user said no.")
            else:
                code = secrets.token_urlsafe(16)
                state["codes"][code] = query
                answer["code"] = code
                if state["mode"] == "wrong-state":
                    answer["state"] = "x" + answer["state"]
        location = query["redirect_uri"] + "?" + urllib.parse.urlencode(answer)
        self.send_response(302)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode()
        form = dict(urllib.parse.parse_qsl(body, keep_blank_values=True))
        with lock:
            status, answer = exchange(form)
        self.answer(status, "application/json", json.dumps(answer).encode())

    def answer(self, status, kind, body):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def obey(line):
    words = line.split()
    with lock:
        if words[0] in ("refuse", "wrong-state"):
            state["mode"] = words[0]
        elif words[0] == "lifetime":
            state["lifetime"] = int(words[1])
        elif words[0] == "revoke":
            state["refresh"].clear()
        elif words[0] == "last":
            return state["last"]
        elif words[0] == "tokens":
            return " ".join(sorted(set(state["given"])))
        elif words[0] == "count":
            return " ".join("%s=%d" % item for item in sorted(state["count"].items()))
        else:
            return "unknown command " + words[0]
    return "ok"


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
print(server.server_address[1], flush=True)
for line in sys.stdin:
    if line.strip():
        print(obey(line), flush=True)
