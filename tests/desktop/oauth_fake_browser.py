#!/usr/bin/python3
"""A browser for the sign-in tests, started as xdg-open is: it appends its arguments to the file
PELORIN_FAKE_BROWSER_LOG, then follows the address it was given and the redirect, and appends
the page it got at the end (or the error) to that file.
"""
import os
import sys
import urllib.error
import urllib.request

with open(os.environ["PELORIN_FAKE_BROWSER_LOG"], "a") as log:
    log.write("arguments: %r\n" % sys.argv[1:])
    try:
        with urllib.request.urlopen(sys.argv[1], timeout=60) as page:
            log.write("page: %s\n" % page.read().decode())
    except urllib.error.HTTPError as error:
        log.write("page: %d %s\n" % (error.code, error.read().decode()))
