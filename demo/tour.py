#!/usr/bin/python3
"""The demo NAS's tour: real requests through the web server to tunerbay and
epg, each shown as a curl command line to copy and the answer it got (JSON
pretty-printed and cut short, a transport stream as its size and first
packet), each checked against what it should be.

    tour.py --url http://127.0.0.1:PORT --sid SID --data DIR
            [--stream-expected FILE] [--watchdog-log FILE]

DIR is the directory made by make_data.py (its tour.json names the event to
record and so on). --stream-expected holds the stream the backend sends, to
compare the relayed one with byte for byte. --watchdog-log is the dongle
watchdog's log: the tour ends by showing its first check cycle. Exits 0 when
every answer was as it should be, 1 otherwise.
"""
import argparse
import json
import os
import shlex
import signal
import subprocess
import sys
import time

TS_PACKET = 188
SHOWN_LINES = 24
LINE_WIDTH = 110
LIST_ITEMS = 3
JSON_TYPE = "application/json; charset=UTF-8"


def scheduled(entries):
    """one recording, scheduled: its programme has not begun"""
    return isinstance(entries, list) and len(entries) == 1 and entries[0].get("status") == "scheduled"


def steps(sid, hints):
    """(title, what it shows, program, method, query, expected) for each request.
    expected: a dict of members the JSON answer must have (a value, or a test
    of it), or "stream"."""
    s = "sid=" + sid
    success = {"result": "success"}
    ev = hints["record_event"]
    add_uhf_54 = ("subfunc=network&todo=add&id=net-1&fr=738000000&bw=8000000&cs=QAM64&tm=8k"
                  "&gi=1%2F4&hi=NONE&fh=2%2F3&fl=AUTO")
    return [
        ("Adapter options", "the DVR service switch and idle scanning of each tuner",
         "tunerbay", "GET", "subfunc=option&todo=get", success),
        ("Tuner adapters", "the two USB tuners the backend works with",
         "tunerbay", "GET", "subfunc=info&todo=list", success),
        ("Network and multiplexes", "the DVB-T network: four multiplexes on UHF 21, 27, 35 and 43",
         "tunerbay", "GET", "subfunc=network&todo=list", success),
        ("Add a multiplex", "UHF 54 (738 MHz); a POST, forwarded with the query as its form body",
         "tunerbay", "POST", add_uhf_54, success),
        ("Add it again", "the backend refuses a multiplex the network has already: its failure answer, relayed",
         "tunerbay", "POST", add_uhf_54, {"result": "failure"}),
        ("Scan progress", "the added multiplex is being scanned",
         "tunerbay", "GET", "subfunc=scan&todo=get", success),
        ("Guide: now and next", "what is on every channel now, and next; epg checks the session id "
         "with the NAS login service first", "epg", "GET", "subfunc=info&todo=list&%s&up=0&down=20" % s, success),
        ("Guide: one channel", "every programme of Channel One HD in the guide, over the days around today",
         "epg", "GET", "subfunc=info&todo=list_more&channel=%s&%s&up=0&down=100" % (hints["guide_channel"], s),
         success),
        ("Record a programme", "\"%s\" (event %d), yet to begin: scheduled; a POST" % (hints["record_title"], ev),
         "epg", "POST", "subfunc=record&todo=add&%s&channel=%s&id=%d" % (s, hints["record_channel"], ev),
         dict(success, entries=scheduled)),
        ("Live view", "channel %s for the web interface's preview player: the backend answers with an MPEG "
         "transport stream, relayed byte for byte" % hints["stream_channel"],
         "epg", "GET", "subfunc=info&todo=list_more&stream=1&channel=%s&%s" % (hints["stream_channel"], s),
         "stream"),
        ("Without a session", "the guide asked for without a session id: refused",
         "epg", "GET", "subfunc=info&todo=list", {"result": "failure", "errcode": -5}),
    ]


def curl_command(url, method, query):
    argv = ["curl", "-si"]
    if method == "POST":
        # A browser's form POST: the fields in the body as well.
        argv += ["-d", query]
    return argv + [url]


def shorten(value):
    """The value with long texts cut, for showing."""
    if isinstance(value, list):
        return [shorten(v) for v in value]
    if isinstance(value, dict):
        return {k: shorten(v) for k, v in value.items()}
    if isinstance(value, str) and len(value) > 60:
        return value[:57] + "..."
    return value


def compact(value):
    return json.dumps(shorten(value), ensure_ascii=False)


def small(value):
    return not isinstance(value, (dict, list)) or len(compact(value)) <= LINE_WIDTH // 2


def packed(tokens, col, open_):
    """The tokens (each with its comma) filled into lines that end before
    LINE_WIDTH when they start at column col."""
    lines = [open_]
    for token in tokens:
        line = lines[-1]
        if line.strip() not in ("", open_) and col + len(line) + 1 + len(token) > LINE_WIDTH:
            lines.append(" " * len(open_) + token)
        else:
            lines[-1] = line + ("" if line == open_ else " ") + token
    return lines


def render(value, col=0):
    """Lines showing value; the first goes where the caller puts it, the others
    are indented from the start of that line, which is at column col. An
    object's short members are filled into lines and its big ones follow one
    a line; a list shows its first few items (a list of one object, the object
    whole)."""
    if isinstance(value, dict) and value:
        items = list(value.items())
        lines = []
        pending = []

        def flush():
            if pending:
                lines.extend(packed(pending, col, "{" if not lines else " "))
                pending.clear()

        for i, (key, member) in enumerate(items):
            comma = "," if i < len(items) - 1 else ""
            if small(member):
                pending.append("%s: %s%s" % (json.dumps(key), compact(member), comma))
                continue
            flush()
            sub = render(member, col + 1)
            lines.append(("{" if not lines else " ") + "%s: %s" % (json.dumps(key), sub[0]))
            lines += [" " + line for line in sub[1:]]
            lines[-1] += comma
        flush()
        lines[-1] += "}"
        return lines
    if isinstance(value, list) and value:
        shown = value[:1] if len(value) == 1 else value[:LIST_ITEMS]
        lines = ["["]
        for i, item in enumerate(shown):
            comma = "," if i < len(shown) - 1 or len(value) > len(shown) else ""
            sub = render(item, col + 2)
            lines += ["  " + line for line in sub]
            lines[-1] += comma
        if len(value) > len(shown):
            lines.append("  ... %d more" % (len(value) - len(shown)))
        return lines + ["]"]
    return [compact(value)]


def indent(text):
    return "\n".join("    " + line for line in text.splitlines())


def split_answer(raw):
    head, sep, body = raw.partition(b"\r\n\r\n")
    if not sep:
        return None, {}, b""
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.setdefault(name.strip().lower(), value.strip())
    return lines[0], headers, body


def check_json(headers, body, expected):
    problems = []
    if headers.get("content-type") != JSON_TYPE:
        problems.append("Content-Type is %r" % headers.get("content-type"))
    if headers.get("content-length") != str(len(body)):
        problems.append("Content-Length %r for %d bytes" % (headers.get("content-length"), len(body)))
    try:
        doc = json.loads(body)
    except ValueError:
        return None, problems + ["the body is no JSON"]
    for key, want in expected.items():
        got = doc.get(key) if isinstance(doc, dict) else None
        if not (want(got) if callable(want) else got == want):
            problems.append("%s is %s, not %s" % (key, compact(got), want.__doc__ if callable(want) else repr(want)))
    return doc, problems


def show_json(doc, headers):
    print("    Content-Type: %s, Content-Length: %s" % (headers.get("content-type"), headers.get("content-length")))
    lines = render(doc)
    if len(lines) > SHOWN_LINES:
        lines = lines[:SHOWN_LINES - 1] + ["  ... (%d more lines)" % (len(lines) - SHOWN_LINES + 1)]
    print(indent("\n".join(lines)))


def check_stream(headers, body, expected_file):
    problems = []
    if headers.get("content-type") != "video/mp2t":
        problems.append("Content-Type is %r" % headers.get("content-type"))
    if "content-length" in headers:
        # Counted by a web server that held the stream: a live view would never arrive.
        problems.append("the web server held the stream back until its end (Content-Length %s)"
                        % headers["content-length"])
    if len(body) == 0 or len(body) % TS_PACKET:
        problems.append("%d bytes are no whole number of packets" % len(body))
    elif any(body[i] != 0x47 for i in range(0, len(body), TS_PACKET)):
        problems.append("a packet does not start with the sync byte 0x47")
    if expected_file:
        with open(expected_file, "rb") as f:
            want = f.read()
        if body != want:
            problems.append("the stream differs from the backend's (%d bytes relayed, %d sent)" % (len(body), len(want)))
    return problems


def show_stream(headers, body):
    # The relay sends no Content-Length, since a stream runs until the backend
    # ends it; the web server passes it on as it comes, chunked over HTTP/1.1.
    print("    Content-Type: %s, Transfer-Encoding: %s, %s" % (
        headers.get("content-type"), headers.get("transfer-encoding", "none"),
        "no Content-Length: passed on as it came, until the backend ended it" if "content-length" not in headers
        else "Content-Length: %s: the web server held the whole stream before it answered"
        % headers["content-length"]))
    print("    %d bytes: %d transport stream packets of %d bytes; the first one:"
          % (len(body), len(body) // TS_PACKET, TS_PACKET))
    first = body[:TS_PACKET]
    for i in range(0, len(first), 24):
        print("      " + " ".join("%02x" % b for b in first[i:i + 24]))


def run_step(n, step, base, stream_expected):
    title, what, program, method, query, expected = step
    url = "%s/cgi-bin/%s?%s" % (base, program, query)
    argv = curl_command(url, method, query)
    print("\n%d. %s: %s" % (n, title, what))
    print("  $ " + shlex.join(argv))
    try:
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    except subprocess.TimeoutExpired:
        print("  FAILED: no answer within 60 s")
        return False
    status, headers, body = split_answer(done.stdout)
    if done.returncode != 0 or status is None:
        print("  FAILED: curl status %d %s" % (done.returncode, done.stderr.decode(errors="replace").strip()))
        return False
    print("    " + status)
    problems = [] if status.endswith(" 200 OK") else ["status %r" % status]
    if expected == "stream":
        problems += check_stream(headers, body, stream_expected)
        show_stream(headers, body)
    else:
        doc, found = check_json(headers, body, expected)
        problems += found
        if doc is not None:
            show_json(doc, headers)
        else:
            print(indent(body[:400].decode(errors="replace")))
    for p in problems:
        print("  FAILED: " + p)
    return not problems


def watchdog_step(n, log):
    """The watchdog's first check cycle: tuners 0-9 once, 10 s after its start."""
    print("\n%d. The dongle watchdog: every 10 s it looks at tuners 0-9; tuners 0 and 1 are plugged in"
          % n)
    print("  $ tail %s" % log)
    lines = []
    deadline = time.time() + 25
    while time.time() < deadline:
        try:
            with open(log, errors="replace") as f:
                lines = f.read().splitlines()
        except OSError:
            lines = []
        if sum(1 for line in lines if line.startswith("Check usb dongle")) >= 10:
            break
        time.sleep(0.25)
    checks = [line for line in lines if line.startswith("Check usb dongle")]
    for line in lines[:12]:
        print("    " + line)
    problems = []
    if len(checks) < 10:
        problems.append("no whole check cycle within 25 s")
    if any("is removed" in line for line in lines):
        problems.append("a tuner was taken for removed")
    for p in problems:
        print("  FAILED: " + p)
    return not problems


def main():
    # A closed output ends the tour quietly, as it ends any command line tool.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", required=True)
    parser.add_argument("--sid", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--stream-expected")
    parser.add_argument("--watchdog-log")
    args = parser.parse_args()
    with open(os.path.join(args.data, "tour.json")) as f:
        hints = json.load(f)
    base = args.url.rstrip("/")
    results = [run_step(n, step, base, args.stream_expected) for n, step in enumerate(steps(args.sid, hints), 1)]
    if args.watchdog_log:
        results.append(watchdog_step(len(results) + 1, args.watchdog_log))
    failed = results.count(False)
    print()
    if failed:
        print("Tour: %d of %d steps FAILED" % (failed, len(results)))
        return 1
    print("Tour: all %d steps answered as they should" % len(results))
    return 0


try:
    sys.exit(main())
except KeyboardInterrupt:
    sys.exit(130)
