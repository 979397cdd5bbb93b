#!/usr/bin/python3
"""Stand-in for the NAS login service, run by the web server as a CGI program.

Reads a form POST with the fields "sid" and "service", and confirms the
session ids listed in the session table (one "SID<TAB>NAME" per line) with an
XML answer whose <username> holds the name as a CDATA section; any other
request gets an answer without a user name. A body may end with one line feed
(the plain-HTTP caller sends one, the HTTPS one does not).

Every request is logged for the tests: its raw body in body.N and one line in
requests.log: "N SCHEME METHOD" and each field as key=[value], decoded, with
bytes outside printable ASCII written as \\xHH (\\n for a line feed).
Nothing of the request is ever run or evaluated.

A test can make the service misbehave with one word in the file "misbehave":
  no-cdata-end  the name's CDATA section has no "]]>", and none follows it
  pad-before    1 MiB of XML comment in front of the answer's elements
  pad-after     1 MiB of XML comment behind them
  empty         status 200 with an empty body
  fail          ends with status 1 and writes nothing (the web server's 500)
  stall         answers only after 3 seconds
  silent        answers only after 40 seconds, far past any caller's patience
Three answers that refuse even a listed session, each in its own way:
  empty-name         a confirmed-looking answer whose name is empty
  name-after-refusal an empty <username></username>, then authPassed 0
  refused-with-name  authPassed 0 beside the session's name
"""
import os
import sys
import time
import urllib.parse

LOGIN_DIR = "/tmp/nas/login"
SESSIONS = os.path.join(LOGIN_DIR, "sessions")
BODY_LIMIT = 65536
MISBEHAVE = os.path.join(LOGIN_DIR, "misbehave")
PADDING = b"<!--" + b"p" * (1024 * 1024) + b"-->\n"


def visible(data):
    out = []
    for b in data:
        if b == 0x0A:
            out.append("\\n")
        elif b == 0x5C:
            out.append("\\\\")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("\\x%02x" % b)
    return "".join(out)


def read_body():
    try:
        length = int(os.environ.get("CONTENT_LENGTH", "0"))
    except ValueError:
        length = 0
    length = max(0, min(length, BODY_LIMIT))
    data = b""
    while len(data) < length:
        piece = sys.stdin.buffer.read(length - len(data))
        if not piece:
            break
        data += piece
    return data


def next_number():
    """The request's number: the first free body.N, claimed atomically."""
    n = 1
    while True:
        try:
            fd = os.open(os.path.join(LOGIN_DIR, "body.%d" % n), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            return n, fd
        except FileExistsError:
            n += 1


def load_sessions():
    table = {}
    try:
        with open(SESSIONS, "rb") as f:
            for line in f:
                line = line.rstrip(b"\n")
                sid, sep, name = line.partition(b"\t")
                if sep:
                    table[sid] = name
    except FileNotFoundError:
        pass
    return table


def misbehaviour():
    try:
        with open(MISBEHAVE, "rb") as f:
            return f.read().strip().decode("ascii", "replace")
    except FileNotFoundError:
        return ""


def answer_document(name, mode):
    """The XML answer: confirmed when name is not None."""
    head = b'<?xml version="1.0" encoding="UTF-8"?>\n'
    if mode == "empty-name":
        elements = b"<authResult>\n<authPassed><![CDATA[1]]></authPassed>\n<username><![CDATA[]]></username>\n</authResult>\n"
    elif mode == "name-after-refusal":
        elements = b"<authResult>\n<username></username>\n<authPassed><![CDATA[0]]></authPassed>\n</authResult>\n"
    elif mode == "refused-with-name":
        elements = (b"<authResult>\n<authPassed><![CDATA[0]]></authPassed>\n"
                    b"<username><![CDATA[" + (name or b"admin") + b"]]></username>\n</authResult>\n")
    elif name is None:
        elements = b"<authResult>\n<authPassed><![CDATA[0]]></authPassed>\n</authResult>\n"
    elif mode == "no-cdata-end":
        elements = (b"<authResult>\n<authPassed><![CDATA[1]]></authPassed>\n"
                    b"<username><![CDATA[" + name + b"</username>\n</authResult>\n")
    else:
        elements = (b"<authResult>\n<authPassed><![CDATA[1]]></authPassed>\n"
                    b"<username><![CDATA[" + name + b"]]></username>\n"
                    b"<isAdmin><![CDATA[1]]></isAdmin>\n</authResult>\n")
    if mode == "pad-before":
        return head + PADDING + elements
    if mode == "pad-after":
        return head + elements + PADDING
    if mode == "empty":
        return b""
    return head + elements


def main():
    body = read_body()
    n, fd = next_number()
    with os.fdopen(fd, "wb") as f:
        f.write(body)

    form = body[:-1] if body.endswith(b"\n") else body
    # Latin-1 maps every byte to one character and back, so decoded fields keep
    # bytes that are no UTF-8 (parse_qsl on bytes would refuse them).
    fields = [(k.encode("latin-1"), v.encode("latin-1"))
              for k, v in urllib.parse.parse_qsl(form.decode("latin-1"), keep_blank_values=True,
                                                 encoding="latin-1")]
    scheme = "https" if os.environ.get("HTTPS") == "on" else "http"
    method = os.environ.get("REQUEST_METHOD", "-")
    line = "%d %s %s" % (n, scheme, method)
    for key, value in fields:
        line += " %s=[%s]" % (visible(key), visible(value))
    with open(os.path.join(LOGIN_DIR, "requests.log"), "a") as log:
        log.write(line + "\n")

    sids = [v for k, v in fields if k == b"sid"]
    services = [v for k, v in fields if k == b"service"]
    name = None
    if method == "POST" and len(sids) == 1 and services == [b"100"]:
        name = load_sessions().get(sids[0])

    mode = misbehaviour()
    if mode == "fail":
        sys.exit(1)
    if mode == "stall":
        time.sleep(3)
    if mode == "silent":
        time.sleep(40)
    doc = answer_document(name, mode)
    # A length of our own keeps the web server from chunking the answer.
    head = b"Content-Type: text/xml\r\nContent-Length: %d\r\n\r\n" % len(doc)
    sys.stdout.buffer.write(head + doc)
    sys.stdout.buffer.flush()


main()
