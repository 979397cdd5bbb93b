#!/usr/bin/python3
"""Makes the demo NAS's backend answers: a DVB-T tuner setup with two USB
tuners, four multiplexes on real UHF channels, eight made-up channels and a
programme guide that rolls with the clock, as answer scripts for the backend
stand-in's --routes directory (sandbox/standin/tvheadend.cpp): one
NAME.SUBFUNC.TODO[.KEY=VALUE] file per request, most of them "json FILE" with
the JSON body beside it.

    make_data.py --out DIR [--now EPOCH] [--stream-bytes N]
    DIR/make_data.py REQUEST

The demo's clock starts at --now (default: the real time) and runs on at real
speed from when the data was made; without --now it is the real clock. The
guide covers the whole UTC days from 36 hours before the clock's now to 60
hours after, so every channel has a programme on and a next one at any hour,
and a viewer in any time zone (UTC-12 to UTC+14) finds their own whole days
from 12 hours before now to 36 hours after. Each UTC day's programmes, their
ids included, depend on that day alone. The same arguments always give the
same files. DIR/tour.json names a few of the generated things (a programme
yet to start to record, a title for a smart recording) for the tour.

The requests that change something (tuner options, region and scan,
multiplexes, recordings) and those whose answer follows the clock (the guide,
now and next, scan progress) are answered by a copy of this program in DIR:
their route files link to it, and the stand-in runs it with the raw request.
DIR/state.json holds what changed; it is replaced whole under a lock, since
the stand-in may serve several connections at once. DIR/clock.json holds the
moment --now named; its modification time is the real time that moment stood
for.
"""
import argparse
import fcntl
import json
import os
import random
import shutil
import sys
import time
import urllib.parse

OK = {"result": "success", "errcode": 0, "errmsg": "OK"}

# UHF channel N is centred on 306 + 8 N MHz; every multiplex is DVB-T, 8 MHz,
# 64-QAM, 8k carriers, guard interval 1/4, code rate 2/3, no hierarchy.
MUXES = [
    {"uhf": 21, "channels": [(1, "Channel One HD"), (2, "Channel Two HD")]},
    {"uhf": 27, "channels": [(3, "Metro News"), (4, "Kids 24")]},
    {"uhf": 35, "channels": [(5, "Classic Movies"), (6, "Sport Live")]},
    {"uhf": 43, "channels": [(7, "Arts & Culture"), (8, "Regional TV")]},
]

DAY = 86400
# How far the guide reaches from now, before rounding out to whole UTC days:
# 12 and 36 hours, widened by a day for the viewers' zones, UTC-12 to UTC+14.
GUIDE_BEFORE = 36 * 3600
GUIDE_AFTER = 60 * 3600

# Per channel: the programmes that fill the day, as (title, genre, minutes,
# description), and the ones fixed to a time of day (hour, minute, programme).
# Fillers are picked to fit before the next fixed one; a gap too short for any
# of them gets an interlude.
NIGHT = ("Night Programme", "Various", 240, "Repeats from the day's programmes.")
CHANNELS = {
    1: {"fill": [("The Garden Hour", "Leisure", 60, "Planting a winter border and a visit to a rooftop garden."),
                 ("Family Quiz", "Game show", 45, "Three families, twelve rounds and a holiday prize."),
                 ("Saturday Showtime", "Entertainment", 90, "Music, comedy and a live audience."),
                 ("Home Makeover", "Leisure", 30, "A small flat, a tight budget and one weekend.")],
        "fixed": [(1, 0, NIGHT),
                  (6, 0, ("Morning Live", "Magazine", 180, "News, weather and guests to start the day.")),
                  (12, 0, ("Midday News", "News", 30, "The main stories at noon, with the regional weather.")),
                  (19, 0, ("Evening News", "News", 30, "The day's news from home and abroad.")),
                  (20, 15, ("Harbour Street", "Drama", 60,
                            "A stolen ledger puts the harbour police on the trail of an old case.")),
                  (22, 45, ("The Late Show", "Talk", 60, "Conversation and music late into the evening."))]},
    2: {"fill": [("Rivers of the North", "Documentary", 50, "Following a river from its glacier to the sea."),
                 ("Cooking with Anna", "Cooking", 30, "Three dishes from one pot, ready in half an hour."),
                 ("Local Stories", "Magazine", 30, "People and places around the region."),
                 ("Comedy Hour", "Comedy", 60, "Stand-up from a small club with big names."),
                 ("Science Now", "Science", 45, "How batteries are changing the electricity grid.")],
        "fixed": [(1, 0, NIGHT),
                  (20, 15, ("The Lighthouse", "Drama", 60,
                            "A keeper's logbook reveals a secret kept for forty years."))]},
    3: {"fill": [("Business Today", "News", 30, "Markets, companies and the economy."),
                 ("World Report", "News", 30, "Correspondents report from around the world."),
                 ("Weather Outlook", "Weather", 15, "The forecast for the next five days."),
                 ("Sport Headlines", "Sport", 15, "Results and the day's sport in brief.")],
        "fixed": [(h, 0, ("Metro News", "News", 30, "The latest headlines, every hour on the hour."))
                  for h in range(24) if h != 18] +
                 [(18, 0, ("Metro Tonight", "Current affairs", 60,
                           "The day's big story, with interviews and analysis."))]},
    4: {"fill": [("The Little Explorers", "Children", 25, "The explorers build a raft to cross the pond."),
                 ("Robo Pals", "Children", 20, "Bolt learns that sharing tools makes the job faster."),
                 ("Science Squad", "Children", 30, "Why do boats float? The squad finds out."),
                 ("Dino Valley", "Children", 25, "The young dinosaurs go looking for the lost egg.")],
        "fixed": [(0, 0, ("Night Programme", "Various", 360, "Repeats from the day's programmes.")),
                  (19, 45, ("Story Time", "Children", 15, "A bedtime story read aloud.")),
                  (20, 0, ("Night Programme", "Various", 240, "Repeats from the day's programmes."))]},
    5: {"fill": [("The Glass Orchard", "Film", 105,
                  "Drama. A widow keeps her family's orchard going through a hard winter."),
                 ("Harbour Lights", "Film", 95, "Crime. A night watchman witnesses a smuggling deal at the docks."),
                 ("Silver Canyon", "Film", 110, "Western. Two brothers drive cattle across the canyon country."),
                 ("The Quiet Road", "Film", 90,
                  "Comedy. A travelling salesman and a runaway dog share a long drive."),
                 ("Short Film Showcase", "Film", 30, "Three short films by new directors.")],
        "fixed": [(2, 0, NIGHT),
                  (20, 15, ("Northern Signal", "Film", 100,
                            "Thriller. A radio operator picks up a message nobody should have sent."))]},
    6: {"fill": [("Cycling: Mountain Stage", "Sport", 150, "The decisive mountain stage of the tour."),
                 ("Tennis Highlights", "Sport", 60, "The best rallies of the day."),
                 ("Athletics Gala", "Sport", 90, "Sprints, jumps and throws from the indoor gala."),
                 ("Sport Classics", "Sport", 30, "A great match from the archive.")],
        "fixed": [(1, 0, NIGHT),
                  (17, 30, ("Football: City v Rovers", "Sport", 120,
                            "League match, live, with build-up and analysis.")),
                  (20, 0, ("Sport Live Tonight", "Sport", 60, "Results, goals and interviews from the day in sport."))]},
    7: {"fill": [("The Art Desk", "Arts", 30, "New exhibitions and books of the week."),
                 ("Poetry Corner", "Arts", 15, "Poets read from their new collections."),
                 ("Jazz Night", "Music", 60, "A quartet plays live from a jazz cellar."),
                 ("Masters of Painting", "Arts", 45, "Light and shadow in the harbour paintings of the old masters.")],
        "fixed": [(1, 0, NIGHT),
                  (20, 0, ("Concert: Symphony Evening", "Music", 120, "The city orchestra plays two symphonies."))]},
    8: {"fill": [("Farm and Country", "Magazine", 30, "The harvest, the markets and life on the land."),
                 ("Town Hall", "Current affairs", 45, "Council members answer viewers' questions."),
                 ("Regional Weather", "Weather", 15, "The weather for the region."),
                 ("Walks in the Hills", "Leisure", 30, "A circular walk past three lakes.")],
        "fixed": [(1, 0, NIGHT),
                  (18, 0, ("Regional Roundup", "News", 30, "News from the towns and villages of the region."))]},
}
INTERLUDE = ("Interlude", "Various", 0, "Trailers and announcements.")
REGIONS = [{"id": "capital", "name": "Capital Region", "muxes": 4},
           {"id": "coast", "name": "Coast", "muxes": 3},
           {"id": "highlands", "name": "Highlands", "muxes": 5}]
# A scan tunes each multiplex for this long.
SCAN_SECONDS_PER_MUX = 2
# The most rows a guide answer holds, whatever window it asks for (up, down): a client pages through total_count.
# Were the whole guide one answer, a client that reads only its first window would show no fault here.
GUIDE_PAGE = 1000
# The tour records a programme that starts at least this long after the data is made: it has not begun when the
# tour asks for it, a few minutes later at most.
TOUR_LEAD = 15 * 60
# The routes answered by this program rather than by a fixed file.
LIVE_ROUTES = ["tunerbay.option.get", "tunerbay.option.update", "tunerbay.region.get", "tunerbay.region.update",
               "tunerbay.network.list", "tunerbay.network.add", "tunerbay.network.delete", "tunerbay.scan.get",
               "epg.info.list", "epg.info.list_more", "epg.record.add", "epg.smart.add"]




def mux_list():
    muxes = []
    for n, m in enumerate(MUXES):
        muxes.append({
            "id": "mux-%d" % (n + 1),
            "name": "UHF %d" % m["uhf"],
            "fr": (306 + 8 * m["uhf"]) * 1000000,
            "bw": 8000000,
            "cs": "QAM64",
            "tm": "8k",
            "gi": "1/4",
            "hi": "NONE",
            "fh": "2/3",
            "fl": "AUTO",
            "services": len(m["channels"]),
            "status": "OK",
        })
    return muxes


def channel_list():
    channels = []
    for n, m in enumerate(MUXES):
        for number, name in m["channels"]:
            channels.append({"channel": str(number), "number": number, "name": name, "mux": "mux-%d" % (n + 1)})
    return channels


def guide_day(day_start):
    """Every channel's programmes from day_start for 24 hours, back to back.
    The day alone decides them and their ids: a recording keeps its programme
    while the guide rolls on."""
    number_of_day = day_start // DAY
    rnd = random.Random(number_of_day)
    events = {}
    next_id = number_of_day * 1000 + 1
    for ch in channel_list():
        number = ch["number"]
        plan = CHANNELS[number]
        fixed = sorted((day_start + (h * 60 + m) * 60, prog) for h, m, prog in plan["fixed"])
        end = day_start + DAY
        t = day_start
        rows = []
        while t < end:
            at = [prog for start, prog in fixed if start == t]
            later = [start for start, _ in fixed if start > t] + [end]
            room = later[0] - t
            if at:
                prog = at[0]
            else:
                fits = [p for p in plan["fill"] if p[2] * 60 <= room]
                fresh = [p for p in fits if not rows or p[0] != rows[-1]["title"]]
                prog = rnd.choice(fresh or fits) if fits else INTERLUDE
            title, genre, minutes, desc = prog
            stop = min(t + minutes * 60, later[0]) if minutes else t + room
            rows.append({
                "id": next_id,
                "channel": ch["channel"],
                "channel_name": ch["name"],
                "start": t,
                "stop": stop,
                "title": title,
                "genre": genre,
                "description": desc,
            })
            next_id += 1
            t = stop
        events[number] = rows
    return events


def guide(now):
    """Every channel's programmes over the whole UTC days around now, back to back."""
    events = {number: [] for number in CHANNELS}
    for day_start in range((now - GUIDE_BEFORE) // DAY * DAY, (now + GUIDE_AFTER) // DAY * DAY + DAY, DAY):
        for number, rows in guide_day(day_start).items():
            events[number] += rows
    return events


def clock(out):
    """Now by the demo's clock in DIR."""
    path = os.path.join(out, "clock.json")
    with open(path, encoding="utf-8") as f:
        moment = json.load(f)["now"]
    return int(time.time() if moment is None else moment + time.time() - os.stat(path).st_mtime)


def listing(entries):
    doc = dict(OK)
    doc["total_count"] = len(entries)
    doc["entries"] = entries
    return doc


def window(rows, p):
    """The rows of the request's window, from row up to before row down (the whole list when not given), at most
    GUIDE_PAGE of them; total_count counts them all."""
    try:
        up = max(0, int(p.get("up", 0)))
        down = int(p.get("down", len(rows)))
    except ValueError:
        return None
    return dict(listing(rows[up:min(down, up + GUIDE_PAGE)]), total_count=len(rows))


def now_and_next(events, now):
    entries = []
    for number in sorted(events):
        rows = events[number]
        for i, row in enumerate(rows):
            if row["start"] <= now < row["stop"]:
                entries.extend(rows[i:i + 2])
                break
    return entries


def find_title(events, number, title, after):
    """The first programme of that title on channel number that starts after the moment."""
    return next(row for row in events[number] if row["title"] == title and row["start"] > after)


def write(out, name, content):
    """Writes the file whole under a temporary name first: a reader never sees half of it."""
    path = os.path.join(out, name)
    tmp = os.path.join(out, ".%s.%d.tmp" % (name, os.getpid()))
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(content)
    os.replace(tmp, path)


def write_json_route(out, route, body_name, doc):
    write(out, body_name, json.dumps(doc, ensure_ascii=False, separators=(",", ":")))
    write(out, route, "json %s\n" % body_name)


# ---------------------------------------------------------------------------
# The live routes: answers from the state, run by the stand-in per request.

class State:
    """DIR/state.json, read under a lock and, when changed, replaced whole."""

    def __init__(self, out, change):
        self.out = out
        self.change = change

    def __enter__(self):
        self.lock = open(os.path.join(self.out, "state.lock"), "a")
        fcntl.flock(self.lock, fcntl.LOCK_EX if self.change else fcntl.LOCK_SH)
        with open(os.path.join(self.out, "state.json"), encoding="utf-8") as f:
            self.doc = json.load(f)
        return self.doc

    def __exit__(self, kind, value, trace):
        if self.change and kind is None:
            write(self.out, "state.json", json.dumps(self.doc))
        self.lock.close()


def scan_view(state, now):
    """Each multiplex with its status now, and the scan's progress (percent)."""
    scan = state["scan"]
    order = {mux_id: n for n, mux_id in enumerate(scan["muxes"])}
    elapsed = now - scan["start"]
    muxes = []
    for mux in state["muxes"]:
        mux = dict(mux)
        n = order.get(mux["id"])
        if n is not None and elapsed < (n + 1) * SCAN_SECONDS_PER_MUX:
            mux["status"] = "SCANNING" if elapsed >= n * SCAN_SECONDS_PER_MUX else "PENDING"
            mux["services"] = 0
        muxes.append(mux)
    total = len(scan["muxes"]) * SCAN_SECONDS_PER_MUX
    progress = 100 if total == 0 else min(100, int(elapsed * 100 / total))
    return muxes, progress


def start_scan(state, mux_ids, now):
    scan = state["scan"]
    if now - scan["start"] < len(scan["muxes"]) * SCAN_SECONDS_PER_MUX:
        mux_ids = scan["muxes"] + [m for m in mux_ids if m not in scan["muxes"]]
    else:
        scan["start"] = now
    scan["muxes"] = mux_ids


def recording_view(rec, now):
    rec = dict(rec)
    rec["status"] = "scheduled" if now < rec["start"] else "recording" if now < rec["stop"] else "completed"
    return rec


def record(state, event, now):
    """The recording of the event, scheduled now unless there is one."""
    for rec in state["recordings"]:
        if rec["event"] == event["id"]:
            return rec
    rec = {"id": "rec-%04d" % state["next_rec"], "event": event["id"], "channel": event["channel"],
           "channel_name": event["channel_name"], "title": event["title"], "start": event["start"],
           "stop": event["stop"]}
    state["next_rec"] += 1
    state["recordings"].append(rec)
    return rec


def answer(out, raw):
    """The JSON answer to one raw HTTP request of a live route."""
    head, _, body = raw.partition("\r\n\r\n")
    method, _, target = head.split("\r\n")[0].partition(" ")
    target = target.rsplit(" ", 1)[0]
    path, _, query = target.partition("?")
    if method == "POST":
        query = body
    p = dict(urllib.parse.parse_qsl(query))
    name = path.rsplit("/", 1)[-1].split(".")[0]
    route = "%s.%s.%s" % (name, p.get("subfunc"), p.get("todo"))
    now = clock(out)
    failure = {"result": "failure", "errcode": -1, "errmsg": "ERROR", "total_count": 0}
    by_channel = guide(now)
    # In time order, as a guide is read.
    events = sorted((row for rows in by_channel.values() for row in rows),
                    key=lambda row: (row["start"], int(row["channel"])))
    with State(out, route not in ("tunerbay.option.get", "tunerbay.region.get", "tunerbay.network.list",
                                  "tunerbay.scan.get", "epg.info.list", "epg.info.list_more")) as state:
        if route == "tunerbay.option.get":
            entries = [{"index": int(i), "idlescan": v} for i, v in sorted(state["idlescan"].items())]
            return dict(OK, total_count=len(entries), enable_dvr=1, entries=entries)
        if route == "tunerbay.option.update":
            # The program's own query: index=N&entry={"idlescan":0 or 1}
            try:
                wish = json.loads(p.get("entry", ""))["idlescan"]
            except (ValueError, KeyError, TypeError):
                return failure
            if p.get("index") not in state["idlescan"] or wish not in (0, 1):
                return failure
            state["idlescan"][p["index"]] = wish
            return dict(OK, total_count=0, enable_dvr=1)
        if route == "tunerbay.region.get":
            return listing([r for r in REGIONS if r["id"] == state["region"]])
        if route == "tunerbay.region.update":
            if p.get("id") not in [r["id"] for r in REGIONS]:
                return failure
            state["region"] = p["id"]
            start_scan(state, [m["id"] for m in state["muxes"]], now)
            return dict(OK, total_count=0)
        if route == "tunerbay.network.list":
            muxes, _ = scan_view(state, now)
            region = next(r for r in REGIONS if r["id"] == state["region"])
            return listing([{"id": "net-1", "name": "DVB-T " + region["name"], "type": "DVB-T",
                             "region": region["id"], "mux_count": len(muxes),
                             "service_count": sum(m["services"] for m in muxes), "muxes": muxes}])
        if route == "tunerbay.network.add":
            try:
                fr = int(p.get("fr", ""))
            except ValueError:
                return failure
            if any(m["fr"] == fr for m in state["muxes"]):
                return failure  # the network has a multiplex on that frequency
            uhf, rest = divmod(fr // 1000000 - 306, 8)
            mux = {"id": "mux-%d" % state["next_mux"], "fr": fr,
                   "name": "UHF %d" % uhf if rest == 0 and fr % 1000000 == 0 else "%.1f MHz" % (fr / 1e6),
                   "bw": int(p.get("bw", "8000000")), "cs": p.get("cs", "QAM64"), "tm": p.get("tm", "8k"),
                   "gi": p.get("gi", "1/4"), "hi": p.get("hi", "NONE"), "fh": p.get("fh", "2/3"),
                   "fl": p.get("fl", "AUTO"), "services": 0, "status": "NO SIGNAL"}
            state["next_mux"] += 1
            state["muxes"].append(mux)
            start_scan(state, [mux["id"]], now)
            return listing([dict(mux, status="PENDING")])
        if route == "tunerbay.network.delete":
            gone = p.get("entries", "").split(",")
            state["muxes"] = [m for m in state["muxes"] if m["id"] not in gone]
            state["scan"]["muxes"] = [m for m in state["scan"]["muxes"] if m not in gone]
            return dict(OK, total_count=0)
        if route == "tunerbay.scan.get":
            muxes, progress = scan_view(state, now)
            scanned = [{"mux": m["id"], "name": m["name"], "fr": m["fr"], "services": m["services"],
                        "status": {"SCANNING": "scanning", "PENDING": "pending"}.get(m["status"], "done")}
                       for m in muxes if m["id"] in state["scan"]["muxes"]]
            return dict(listing(scanned), progress=progress, active=progress < 100)
        if route == "epg.info.list":
            return window(now_and_next(by_channel, now), p) or failure
        if route == "epg.info.list_more":
            recs = {rec["event"]: recording_view(rec, now) for rec in state["recordings"]}
            rows = [row for row in events if p.get("channel") in (None, row["channel"])]
            return window([dict(row, dvr_id=recs[row["id"]]["id"], dvr_status=recs[row["id"]]["status"])
                           if row["id"] in recs else row for row in rows], p) or failure
        if route == "epg.record.add":
            # id: the programme; cancel=1 takes its recording away again.
            event = next((row for row in events if str(row["id"]) == p.get("id")), None)
            if event is None:
                return failure
            if p.get("cancel") == "1":
                state["recordings"] = [r for r in state["recordings"] if r["event"] != event["id"]]
                return dict(OK, total_count=0)
            return listing([recording_view(record(state, event, now), now)])
        if route == "epg.smart.add":
            # Every programme of that title on that channel, from now on.
            matches = [row for row in events if row["title"] == p.get("title")
                       and row["channel"] == p.get("channel") and row["stop"] > now]
            for row in matches:
                record(state, row, now)
            return listing([{"id": "smart-%04d" % state["next_rec"], "title": p.get("title"),
                             "channel": p.get("channel"), "matches": len(matches),
                             "next": matches[0]["start"] if matches else 0}])
    return failure


def main():
    if len(sys.argv) == 2 and not sys.argv[1].startswith("-"):
        out = os.path.dirname(os.path.abspath(__file__))
        sys.stdout.write(json.dumps(answer(out, sys.argv[1]), ensure_ascii=False, separators=(",", ":")))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--now", type=int)
    parser.add_argument("--stream-bytes", type=int, default=188 * 10000)
    args = parser.parse_args()
    now = int(time.time()) if args.now is None else args.now
    if args.stream_bytes <= 0 or args.stream_bytes % 188:
        sys.exit("make_data.py: --stream-bytes must be a positive multiple of 188")
    out = args.out
    os.makedirs(out, exist_ok=True)

    adapters = [
        {"index": i, "name": "DVB-T/T2 USB tuner #%d" % i, "type": "DVB-T", "frontend": "/dev/dvb/adapter%d/frontend0" % i,
         "enabled": 1, "network": "net-1", "signal": 78 - 6 * i, "snr": 24.5 - 2 * i}
        for i in range(2)]
    muxes = mux_list()
    write_json_route(out, "tunerbay.info.list", "adapters.json", listing(adapters))
    write_json_route(out, "tunerbay.region.list", "regions.json", listing(REGIONS))
    feoptions = [{"index": a["index"], "delsys": ["DVB-T", "DVB-T2"], "fr_min": 174000000, "fr_max": 862000000,
                  "bw": [6000000, 7000000, 8000000], "cs": ["QPSK", "QAM16", "QAM64", "QAM256"],
                  "tm": ["2k", "8k", "32k"], "gi": ["1/4", "1/8", "1/16", "1/32"]} for a in adapters]
    write_json_route(out, "tunerbay.feoption.list", "feoptions.json", listing(feoptions))

    # Written now: its modification time is when the moment --now names was now.
    write(out, "clock.json", json.dumps({"now": args.now}))
    write(out, "state.json", json.dumps({
        "idlescan": {str(a["index"]): 1 - a["index"] for a in adapters}, "region": "capital",
        "muxes": muxes, "next_mux": len(muxes) + 1, "scan": {"start": 0, "muxes": []},
        "recordings": [], "next_rec": 1}))
    shutil.copy(os.path.abspath(__file__), os.path.join(out, "make_data.py"))
    os.chmod(os.path.join(out, "make_data.py"), 0o755)
    for route in LIVE_ROUTES:
        if os.path.lexists(os.path.join(out, route)):
            os.remove(os.path.join(out, route))
        os.symlink("make_data.py", os.path.join(out, route))

    # Live view of a channel (the web interface's preview player): the backend
    # answers with an MPEG transport stream instead of JSON.
    write(out, "epg.info.list_more.stream=1",
          "text HTTP/1.1 200 OK\\r\\nContent-Type: video/mp2t\\r\\nConnection: Close\\r\\n\\r\\n\n"
          "stream %d\nclose\n" % args.stream_bytes)
    # Anything else is no API of the backend.
    write(out, "default", "text HTTP/1.1 404 Not Found\\r\\nContent-Length: 0\\r\\nConnection: Close\\r\\n\\r\\n\n")

    # One that has not started yet, so the tour schedules it rather than records it.
    to_record = find_title(guide(now), 1, "Harbour Street", now + TOUR_LEAD)
    write(out, "tour.json", json.dumps({
        "record_event": to_record["id"], "record_channel": to_record["channel"], "record_title": to_record["title"],
        "smart_title": "Metro Tonight", "guide_channel": 1, "stream_channel": 1, "stream_bytes": args.stream_bytes,
    }, indent=1))


if __name__ == "__main__":
    main()
