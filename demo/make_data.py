#!/usr/bin/python3
"""Makes the demo NAS's backend answers: a DVB-T tuner setup with two USB
tuners, four multiplexes on real UHF channels, eight made-up channels and a
day of programme guide, as answer scripts for the backend stand-in's --routes
directory (tests/standin/tvheadend.cpp): one NAME.SUBFUNC.TODO[.KEY=VALUE]
file per request, most of them "json FILE" with the JSON body beside it.

    make_data.py --out DIR [--day-start EPOCH] [--now EPOCH] [--stream-bytes N]

The day starts at --day-start (default: today 00:00 UTC); "now" (default: the
current time) decides which programmes the now-and-next listing shows. The
same arguments always give the same files. DIR/tour.json names a few of the
generated things (an event to record, a title for a smart recording) for the
tour.
"""
import argparse
import json
import os
import random
import sys
import time

OK = {"result": "success", "errcode": 0, "errmsg": "OK"}

# UHF channel N is centred on 306 + 8 N MHz; every multiplex is DVB-T, 8 MHz,
# 64-QAM, 8k carriers, guard interval 1/4, code rate 2/3, no hierarchy.
MUXES = [
    {"uhf": 21, "channels": [(1, "Channel One HD"), (2, "Channel Two HD")]},
    {"uhf": 27, "channels": [(3, "Metro News"), (4, "Kids 24")]},
    {"uhf": 35, "channels": [(5, "Classic Movies"), (6, "Sport Live")]},
    {"uhf": 43, "channels": [(7, "Arts & Culture"), (8, "Regional TV")]},
]

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


def guide(day_start):
    """Every channel's programmes from day_start for 24 hours, back to back."""
    rnd = random.Random(20240101)
    events = {}
    next_id = 10001
    for ch in channel_list():
        number = ch["number"]
        plan = CHANNELS[number]
        fixed = sorted((day_start + (h * 60 + m) * 60, prog) for h, m, prog in plan["fixed"])
        end = day_start + 86400
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


def listing(entries):
    doc = dict(OK)
    doc["total_count"] = len(entries)
    doc["entries"] = entries
    return doc


def now_and_next(events, now):
    entries = []
    for number in sorted(events):
        rows = events[number]
        for i, row in enumerate(rows):
            if row["start"] <= now < row["stop"]:
                entries.extend(rows[i:i + 2])
                break
    return listing(entries)


def find_title(events, number, title):
    """The first programme of that title on channel number."""
    return next(row for row in events[number] if row["title"] == title)


def write(out, name, content):
    path = os.path.join(out, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(content)


def write_json_route(out, route, body_name, doc):
    write(out, body_name, json.dumps(doc, ensure_ascii=False, separators=(",", ":")))
    write(out, route, "json %s\n" % body_name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--now", type=int, default=int(time.time()))
    parser.add_argument("--day-start", type=int)
    parser.add_argument("--stream-bytes", type=int, default=188 * 10000)
    args = parser.parse_args()
    day_start = args.day_start if args.day_start is not None else args.now - args.now % 86400
    if not day_start <= args.now < day_start + 86400:
        sys.exit("make_data.py: --now must lie within the day")
    if args.stream_bytes <= 0 or args.stream_bytes % 188:
        sys.exit("make_data.py: --stream-bytes must be a positive multiple of 188")
    out = args.out
    os.makedirs(out, exist_ok=True)

    adapters = [
        {"index": i, "name": "DVB-T/T2 USB tuner #%d" % i, "type": "DVB-T", "frontend": "/dev/dvb/adapter%d/frontend0" % i,
         "enabled": 1, "idlescan": 1 - i, "network": "net-1", "signal": 78 - 6 * i, "snr": 24.5 - 2 * i}
        for i in range(2)]
    muxes = mux_list()
    network = {"id": "net-1", "name": "DVB-T Capital Region", "type": "DVB-T", "region": "capital",
               "mux_count": len(muxes), "service_count": sum(m["services"] for m in muxes), "muxes": muxes}

    write_json_route(out, "tunerbay.option.get", "option.json",
                     dict(OK, total_count=len(adapters), enable_dvr=1,
                          entries=[{"index": a["index"], "idlescan": a["idlescan"]} for a in adapters]))
    write_json_route(out, "tunerbay.option.update", "option_update.json", dict(OK, total_count=0, enable_dvr=1))
    write_json_route(out, "tunerbay.info.list", "adapters.json", listing(adapters))
    regions = [{"id": "capital", "name": "Capital Region", "muxes": 4},
               {"id": "coast", "name": "Coast", "muxes": 3},
               {"id": "highlands", "name": "Highlands", "muxes": 5}]
    write_json_route(out, "tunerbay.region.list", "regions.json", listing(regions))
    write_json_route(out, "tunerbay.region.get", "region.json", listing(regions[:1]))
    write_json_route(out, "tunerbay.region.update", "region_update.json", dict(OK, total_count=0))
    write_json_route(out, "tunerbay.network.list", "networks.json", listing([network]))
    added = {"id": "mux-5", "name": "UHF 55", "fr": 738000000, "bw": 8000000, "cs": "QAM64", "tm": "8k",
             "gi": "1/4", "hi": "NONE", "fh": "2/3", "fl": "AUTO", "services": 0, "status": "PENDING"}
    write_json_route(out, "tunerbay.network.add", "network_add.json", listing([added]))
    write_json_route(out, "tunerbay.network.delete", "network_delete.json", dict(OK, total_count=0))
    feoptions = [{"index": a["index"], "delsys": ["DVB-T", "DVB-T2"], "fr_min": 174000000, "fr_max": 862000000,
                  "bw": [6000000, 7000000, 8000000], "cs": ["QPSK", "QAM16", "QAM64", "QAM256"],
                  "tm": ["2k", "8k", "32k"], "gi": ["1/4", "1/8", "1/16", "1/32"]} for a in adapters]
    write_json_route(out, "tunerbay.feoption.list", "feoptions.json", listing(feoptions))
    scan = [{"mux": m["id"], "fr": m["fr"], "status": "done", "services": m["services"]} for m in muxes]
    write_json_route(out, "tunerbay.scan.get", "scan.json", dict(listing(scan), progress=100))

    events = guide(day_start)
    write_json_route(out, "epg.info.list", "epg_now_next.json", now_and_next(events, args.now))
    everything = [row for number in sorted(events) for row in events[number]]
    write_json_route(out, "epg.info.list_more", "epg_day.json", listing(everything))
    for number, rows in events.items():
        write_json_route(out, "epg.info.list_more.channel=%d" % number, "epg_day_%d.json" % number, listing(rows))

    to_record = find_title(events, 1, "Harbour Street")
    write_json_route(out, "epg.record.add", "record_add.json",
                     listing([{"id": "rec-0001", "event": to_record["id"], "channel": to_record["channel"],
                               "title": to_record["title"], "start": to_record["start"],
                               "stop": to_record["stop"], "status": "scheduled"}]))
    smart_title = "Metro Tonight"
    matches = [row for row in events[3] if row["title"] == smart_title]
    write_json_route(out, "epg.smart.add", "smart_add.json",
                     listing([{"id": "smart-0001", "title": smart_title, "channel": "3",
                               "matches": len(matches), "next": matches[0]["start"] if matches else 0}]))

    # Live view of a channel (the web interface's preview player): the backend
    # answers with an MPEG transport stream instead of JSON.
    write(out, "epg.info.list_more.stream=1",
          "text HTTP/1.1 200 OK\\r\\nContent-Type: video/mp2t\\r\\nConnection: Close\\r\\n\\r\\n\n"
          "stream %d\nclose\n" % args.stream_bytes)
    # Anything else is no API of the backend.
    write(out, "default", "text HTTP/1.1 404 Not Found\\r\\nContent-Length: 0\\r\\nConnection: Close\\r\\n\\r\\n\n")

    write(out, "tour.json", json.dumps({
        "record_event": to_record["id"], "record_channel": to_record["channel"], "record_title": to_record["title"],
        "smart_title": smart_title, "guide_channel": 1, "stream_channel": 1, "stream_bytes": args.stream_bytes,
    }, indent=1))


main()
