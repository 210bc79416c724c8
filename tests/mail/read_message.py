#!/usr/bin/env python3
"""Reads mail message files as a mail reader would, with Python's email package, and prints for
each one JSON object on a line of its own: what the reader shows, for the test to compare with
what was typed. For a message with files attached, the typed text is read from its first part
and each file is given with its name, type and bytes (in base64, as JSON holds no bytes).

The display name is decoded from the raw To field with email.header, which follows RFC 2047 in
ignoring the blanks between two encoded words; policy.default's address parser puts a blank
there (its "to_display_name" is given as well)."""
import base64
import email
import email.policy
import json
import re
import sys
from email.header import decode_header, make_header


def unfolded(value):
    return re.sub(r"\r?\n(?=[ \t])", "", value)


def decoded_display_name(raw_to):
    phrase = unfolded(raw_to).rpartition("<")[0]
    if phrase.endswith(" "):
        phrase = phrase[:-1]  # the blank that separates name and address
    return str(make_header(decode_header(phrase))) if phrase.strip() else phrase


def defects_of(message):
    found = [type(d).__name__ for d in message.defects]
    for name in message.keys():
        found += [name + ": " + type(d).__name__ + ": " + str(d) for d in message[name].defects]
    return found


def attachments_of(message):
    return [{"filename": part.get_filename(),
             "name": part.get_param("name"),
             "content_type": part.get_content_type(),
             "data": base64.b64encode(part.get_payload(decode=True)).decode("ascii")}
            for part in message.iter_attachments()]


def read(data):
    message = email.message_from_bytes(data, policy=email.policy.default)
    raw = email.message_from_bytes(data, policy=email.policy.compat32)
    to = message["to"]
    date = message["date"]
    text = message
    if message.is_multipart():
        text = next(message.iter_parts())
    return {
        "subject": str(message["subject"]),
        "to_count": len(to.addresses),
        "to_name": decoded_display_name(raw["to"]),
        "to_display_name": to.addresses[0].display_name if to.addresses else "",
        "to_address": to.addresses[0].addr_spec if to.addresses else "",
        "date": date.datetime.isoformat() if date is not None and date.datetime else "",
        "message_id": str(message["message-id"] or ""),
        "content_type": text.get_content_type(),
        "charset": text.get_content_charset() or "",
        "transfer_encoding": str(text["content-transfer-encoding"] or ""),
        "body": text.get_content(),
        "multipart": message.get_content_type() if message.is_multipart() else "",
        "attachments": attachments_of(message),
        "defects": defects_of(message) + sum((defects_of(p) for p in message.walk()
                                              if p is not message), []),
    }


def main():
    for path in sys.argv[1:]:
        with open(path, "rb") as file:
            print(json.dumps(read(file.read())))


if __name__ == "__main__":
    main()
