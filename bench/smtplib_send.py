#!/usr/bin/env python3
"""Python's smtplib doing what pelorin_send_bench does, for comparison.

Carries N messages of a given size through one SMTP conversation (HELO, then MAIL FROM,
RCPT TO and DATA for each message, then QUIT) and prints the same figures as
pelorin_send_bench: messages per second, the median and 95th-percentile time per message
(the first one includes connecting and HELO, as in pelorin_send_bench) and the time until
the first message was accepted.

    smtplib_send.py [--host H] [--port P] [--messages N] [--size BYTES]
                    [--line-length L] [--runs R] [--security none|starttls|tls]
                    [--user U --password P] [--extended]
    smtplib_send.py --write DIR [--messages N] [--size BYTES] [--line-length L]

--security starttls says EHLO, starttls() and EHLO again, tls speaks TLS from the first
byte; either checks the certificate against the system's trust store (SSL_CERT_FILE works)
and the name given with --host. --user signs in with login(). --extended (and either
--security) says EHLO instead of HELO. smtplib never pipelines its commands.

--write stores the same messages as files DIR/message-I.eml instead (for curl's
--upload-file and msmtp), and sends nothing.
"""

import argparse
import os
import smtplib
import socket
import ssl
import sys
import time

SENDER = "me@example.com"
RECIPIENT = "bench@example.org"


def composed_message(index, size, line_length):
    """The message pelorin_send_bench composes: its header lines, then lines of 'x'."""
    text = (
        "Subject: bench %d\r\nTo:  <%s>\r\nFrom: %s\r\n"
        "X-Mailer: Pelorin 1.06\r\n\r\n\r\n" % (index, RECIPIENT, SENDER)
    )
    parts = [text]
    length = len(text)
    line = "x" * max(line_length, 1)
    while length < size:
        chunk = line[: min(len(line), size - length)] + "\r\n"
        parts.append(chunk)
        length += len(chunk)
    return "".join(parts).encode("ascii")


def percentile(values, fraction):
    """Nearest rank, rounded as pelorin_send_bench rounds it."""
    if not values:
        return 0.0
    ordered = sorted(values)
    return ordered[int(fraction * (len(ordered) - 1) + 0.5)]


def connected(options):
    """The connection, greeted, secured and signed in as the options ask."""
    # The host's own name, as the program's HELO gives it: getfqdn() could wait for DNS.
    name = socket.gethostname()
    if options.security == "tls":
        context = ssl.create_default_context()
        return smtplib.SMTP_SSL(options.host, options.port, local_hostname=name, context=context)
    return smtplib.SMTP(options.host, options.port, local_hostname=name)


def greet(smtp, options):
    if options.security == "none" and not options.extended and not options.user:
        smtp.helo()
        return
    smtp.ehlo()
    if options.security == "starttls":
        smtp.starttls(context=ssl.create_default_context())
        smtp.ehlo()
    if options.user:
        smtp.login(options.user, options.password)


def run_conversation(options, messages):
    """One connection carrying every message; the time per accepted message in ms."""
    per_message_ms = []
    start = last = time.perf_counter()
    with connected(options) as smtp:
        greet(smtp, options)
        for message in messages:
            smtp.sendmail(SENDER, [RECIPIENT], message)
            now = time.perf_counter()
            per_message_ms.append((now - last) * 1000.0)
            last = now
        smtp.quit()
    return time.perf_counter() - start, per_message_ms


def write_messages(options):
    os.makedirs(options.write, exist_ok=True)
    for index in range(options.messages):
        path = os.path.join(options.write, "message-%d.eml" % index)
        with open(path, "wb") as file:
            file.write(composed_message(index, options.size, options.line_length))


def parse_options():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--messages", type=int, default=1)
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--line-length", type=int, default=72)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--security", choices=("none", "starttls", "tls"), default="none")
    parser.add_argument("--user")
    parser.add_argument("--password", default="")
    parser.add_argument("--extended", action="store_true")
    parser.add_argument("--write", metavar="DIR")
    return parser.parse_args()


def main():
    options = parse_options()
    if options.write:
        write_messages(options)
        return 0
    messages = [
        composed_message(i, options.size, options.line_length) for i in range(options.messages)
    ]
    seconds = 0.0
    per_message_ms = []
    first_ms = []
    for _ in range(options.runs):
        try:
            run_seconds, run_ms = run_conversation(options, messages)
        except (OSError, smtplib.SMTPException) as error:
            print("the conversation did not deliver every message: %s" % error, file=sys.stderr)
            return 1
        seconds += run_seconds
        per_message_ms += run_ms
        first_ms += run_ms[:1]
    total = options.messages * options.runs
    print(
        "messages=%d size=%d runs=%d msgs_per_sec=%.1f median_ms=%.3f p95_ms=%.3f first_ms=%.3f"
        % (
            options.messages,
            options.size,
            options.runs,
            total / seconds,
            percentile(per_message_ms, 0.5),
            percentile(per_message_ms, 0.95),
            percentile(first_ms, 0.5),
        )
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
