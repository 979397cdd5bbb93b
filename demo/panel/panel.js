// The DVR panel: talks to /cgi-bin/tunerbay and /cgi-bin/epg the way the NAS
// web interface does, with the session id of the signed-in user.
"use strict";

const $ = (selector) => document.querySelector(selector);
const PX_PER_MIN = 4;
const MESSAGES = {
  "-1": "The TV backend gave no usable answer.",
  "-2": "The DVR service is not running. Switch it on under Tuners.",
  "-3": "The TV backend does not take connections.",
  "-4": "The NAS does not know this request.",
  "-5": "The NAS refused your session. Sign in again.",
  "-99": "The DVR service is not ready.",
};
let sid = new URLSearchParams(location.search).get("sid") || "";
let events = [];
// The now-and-next marks the guide was drawn with, as text; "null" for a guide that failed.
let marksKey = "null";
let guideFailure = null;
// Resolves to whether the DVR service runs, as the last tuner listing found.
let serviceRunning = Promise.resolve(null);
// What the last series record scheduled, shown on the card of that programme.
let seriesNote = null;
let selected = null;
// The grid's first moment (seconds), and where "now" and the earliest start of the programmes on now lie in it (px).
let gridStart = 0;
let nowX = 0;
let onNowX = 0;
let scanTimer = null;
const idlescan = {};

// One request to a CGI program. Resolves with the answer document; a failure
// the program answered rejects with its message.
async function call(program, fields, post) {
  const query = new URLSearchParams(Object.assign({}, fields, { sid })).toString();
  const init = post ? { method: "POST", body: query,
    headers: { "Content-Type": "application/x-www-form-urlencoded" } } : {};
  let text;
  try {
    text = await (await fetch("/cgi-bin/" + program + "?" + query, init)).text();
  } catch (e) {
    throw new Error("The NAS does not answer.");
  }
  let doc;
  try {
    doc = JSON.parse(text);
  } catch (e) {
    throw new Error(text ? "The NAS answered something that is not JSON." : "The TV backend gave no answer.");
  }
  if (doc.result !== "success") {
    throw Object.assign(new Error((MESSAGES[doc.errcode] || "The request failed.") + " (" + doc.errmsg + ")"),
      { code: doc.errcode });
  }
  return doc;
}

function report(error) {
  if ([...$("#messages").children].some((m) => m.textContent === error.message)) return;
  const div = document.createElement("div");
  div.className = "message";
  div.textContent = error.message;
  $("#messages").append(div);
}

function el(tag, props, ...children) {
  const node = Object.assign(document.createElement(tag), props);
  node.append(...children);
  return node;
}

// A moment (seconds) as text in the viewer's language; the formats are made once, as the guide writes thousands.
const format = (options) => {
  const f = new Intl.DateTimeFormat([], options);
  return (t) => f.format(t * 1000);
};
const clock = format({ hour: "2-digit", minute: "2-digit", hourCycle: "h23" });
const day = format({ weekday: "long", day: "numeric", month: "long" });
const shortDay = format({ weekday: "short", day: "numeric", month: "short" });
// The viewer's midnight that begins the day of t, or the one that many days later: days of the viewer's own calendar,
// 23 or 25 hours long where the clocks change.
const midnight = (t, days = 0) => {
  const d = new Date(t * 1000);
  return new Date(d.getFullYear(), d.getMonth(), d.getDate() + days) / 1000;
};

function switchBox(checked, onChange) {
  const input = el("input", { type: "checkbox", checked });
  input.addEventListener("change", () => onChange(input.checked));
  return el("label", { className: "switch" }, input, el("i"));
}

// --- Tuners and the DVR service -------------------------------------------

async function loadTuners() {
  const body = $("#tuners tbody");
  body.replaceChildren();
  let running = false;
  try {
    const options = await call("tunerbay", { subfunc: "option", todo: "get" });
    running = options.enable_dvr === 1;
    for (const entry of options.entries || []) idlescan[entry.index] = entry.idlescan;
  } catch (e) {
    report(e);
  }
  $("#dvr").checked = running;
  $("#dvr-text").textContent = running ? "Running: recordings and the guide are available." : "Stopped.";
  $("#service").textContent = running ? "DVR running" : "DVR stopped";
  $("#service").className = "pill " + (running ? "on" : "off");
  if (!running) return false;
  const info = await call("tunerbay", { subfunc: "info", todo: "list" }).catch(report);
  for (const a of (info && info.entries) || []) {
    body.append(el("tr", {}, el("td", { textContent: a.name }), el("td", { textContent: a.type }),
      el("td", { textContent: a.frontend }),
      el("td", {}, el("meter", { min: 0, max: 100, value: a.signal }), " " + a.signal + " %"),
      el("td", { textContent: a.snr + " dB" }),
      el("td", {}, switchBox(idlescan[a.index] === 1, (on) => setIdleScan(a.index, on)))));
  }
  return true;
}

async function setIdleScan(index, on) {
  await call("tunerbay", { subfunc: "option", todo: "update", index, enable_dvr: 1, idlescan: on ? 1 : 0 })
    .catch(report);
  loadTuners();
}

async function setService(on) {
  $("#dvr-text").textContent = on ? "Starting the DVR service…" : "Stopping the DVR service…";
  const fields = { subfunc: "option", todo: "update", index: 0, enable_dvr: on ? 1 : 0 };
  if (on) fields.idlescan = idlescan[0] === 0 ? 0 : 1;
  await call("tunerbay", fields).catch(report);
  // The service script returns before the backend has ended: wait until it has.
  for (let i = 0; !on && i < 20; i++) {
    if (await call("tunerbay", { subfunc: "option", todo: "get" }).then(() => false, (e) => e.code === -2)) break;
    await new Promise((resolve) => setTimeout(resolve, 500));
  }
  loadAll();
}

// --- Network, multiplexes and the scan ------------------------------------

async function loadNetwork() {
  clearTimeout(scanTimer);
  const regions = await call("tunerbay", { subfunc: "region", todo: "list" }).catch(report);
  const current = await call("tunerbay", { subfunc: "region", todo: "get" }).catch(() => null);
  const chosen = current && current.entries && current.entries[0] ? current.entries[0].id : "";
  $("#region").replaceChildren(...((regions && regions.entries) || []).map((r) =>
    el("option", { value: r.id, textContent: r.name, selected: r.id === chosen })));
  const networks = await call("tunerbay", { subfunc: "network", todo: "list" }).catch(report);
  const net = networks && networks.entries && networks.entries[0];
  $("#network").textContent = net ? net.name + ": " + net.mux_count + " multiplexes, " + net.service_count +
    " channels" : "No network";
  $("#muxes tbody").replaceChildren(...(net ? net.muxes : []).map((m) => el("tr", {},
    el("td", { textContent: m.name }), el("td", { textContent: m.fr / 1e6 + " MHz" }),
    el("td", { textContent: [m.cs, m.tm, "GI " + m.gi].join(", ") }), el("td", { textContent: m.services }),
    el("td", {}, el("span", { className: "status " + m.status.toLowerCase().replace(" ", "-"), textContent: m.status })),
    el("td", {}, el("button", { textContent: "Delete", className: "link", onclick: () => deleteMux(net.id, m.id) })))));
  const scan = await call("tunerbay", { subfunc: "scan", todo: "get" }).catch(() => null);
  // Without an answer the last scan shown is stale: clear it. A stopped service
  // answers the scan with nothing, so the tuner listing tells why.
  $("#scan-progress").hidden = !scan || scan.entries.length === 0;
  if (!scan) {
    $("#scan-bar").style.width = "0";
    $("#scan-text").textContent = await serviceRunning === false ? "The DVR service is stopped: no scan status."
      : "No scan status.";
    return;
  }
  const done = scan.entries.filter((m) => m.status === "done").length;
  $("#scan-bar").style.width = scan.progress + "%";
  $("#scan-text").textContent = scan.entries.length === 0 ? "No scan yet" : scan.active
    ? "Scanning: " + done + " of " + scan.entries.length + " multiplexes (" + scan.progress + " %)"
    : "Last scan: " + scan.entries.length + " multiplexes, " +
      scan.entries.reduce((n, m) => n + m.services, 0) + " channels found";
  if (scan.active) scanTimer = setTimeout(loadNetwork, 1000);
}

async function startScan() {
  await call("tunerbay", { subfunc: "region", todo: "update", id: $("#region").value }).catch(report);
  loadNetwork();
}

async function addMux(event) {
  event.preventDefault();
  const fr = (306 + 8 * Number($("#uhf").value)) * 1000000;
  await call("tunerbay", { subfunc: "network", todo: "add", id: "net-1", fr, bw: 8000000, cs: "QAM64", tm: "8k",
    gi: "1/4", hi: "NONE", fh: "2/3", fl: "AUTO" }, true).catch(report);
  loadNetwork();
}

async function deleteMux(network, mux) {
  await call("tunerbay", { subfunc: "network", todo: "delete", id: network, entries: mux }, true).catch(report);
  loadNetwork();
}

// --- Programme guide and recordings ----------------------------------------

function playlist(channel, name) {
  const stream = location.origin + "/cgi-bin/epg?" + new URLSearchParams({ subfunc: "info", todo: "list_more",
    stream: 1, channel, sid });
  return "data:audio/x-mpegurl;charset=utf-8," + encodeURIComponent("#EXTM3U\n#EXTINF:-1," + name + "\n" + stream + "\n");
}

// Per channel the programme on now, then the next one: "now" or "next" by programme id.
async function nowAndNext() {
  const marks = {};
  const seen = new Set();
  const nowNext = await call("epg", { subfunc: "info", todo: "list", up: 0, down: 100 });
  for (const e of nowNext.entries) {
    marks[e.id] = seen.has(e.channel) ? "next" : "now";
    seen.add(e.channel);
  }
  return marks;
}

async function loadGuide() {
  try {
    const marks = await nowAndNext();
    events = (await call("epg", { subfunc: "info", todo: "list_more", up: 0, down: 10000 })).entries;
    for (const e of events) e.mark = marks[e.id] || "";
    marksKey = JSON.stringify(marks);
    guideFailure = null;
  } catch (e) {
    events = [];
    marksKey = "null";
    guideFailure = e;
    report(e);
  }
  selected = selected && events.find((x) => x.id === selected.id) || null;
  renderGuide();
  renderRecordings();
}

function renderGuide() {
  const grid = $("#grid");
  // The moment at the left of the view stays there, also when the guide has rolled on by a day.
  const shown = at(grid.scrollLeft);
  const focused = document.activeElement && document.activeElement.classList.contains("event");
  grid.replaceChildren();
  if (events.length === 0) {
    // Nothing left to show a card for: the guide it came from is gone.
    selected = null;
    renderDetails();
    $("#guide-day").textContent = "Programme guide";
    grid.append(el("p", { className: "empty", textContent: guideFailure && guideFailure.code === -2
      ? "The DVR service is stopped: no programme guide. Switch it on under Tuners." : "No programme guide." }));
    return;
  }
  // Whole days of the viewer's calendar, each beginning with its date on the hour line and a line down the grid.
  gridStart = midnight(Math.min(...events.map((e) => e.start)));
  const end = midnight(Math.max(...events.map((e) => e.stop)) - 1, 1);
  grid.style.setProperty("--width", x(end) + "px");
  const days = [];
  for (let t = gridStart; t < end; t = midnight(t, 1)) days.push(t);
  const hours = el("div", { className: "line hours" });
  for (let t = gridStart; t < end; t += 3600) {
    const first = days.includes(t);
    hours.append(el("span", { className: first ? "day" : "", style: "left:" + x(t) + "px" },
      ...first ? [el("b", { textContent: shortDay(t) }), " "] : [], clock(t)));
  }
  grid.append(el("div", { className: "row" }, el("div", { className: "channel" }), hours));
  const channels = [...new Map(events.map((e) => [e.channel, e.channel_name])).entries()];
  for (const [channel, name] of channels.sort((a, b) => a[0] - b[0])) {
    const line = el("div", { className: "line" });
    for (const e of events.filter((e) => e.channel === channel)) {
      const cell = el("div", { className: "event " + e.mark + (e.dvr_id ? " rec" : "") + (hasEnded(e) ? " ended" : "") +
        (e === selected ? " selected" : ""), tabIndex: 0, role: "button", title: e.title,
        style: "left:" + x(e.start) + "px;width:" + (x(e.stop) - x(e.start)) + "px",
        ariaLabel: e.title + ", " + name + ", " + clock(e.start) + "–" + clock(e.stop) },
        el("span", {}, el("b", { textContent: e.title }), el("small", { textContent: clock(e.start) })));
      cell.onclick = () => select(e, cell);
      cell.onkeydown = (event) => {
        if (event.key !== "Enter" && event.key !== " ") return;
        event.preventDefault();
        select(e, cell);
      };
      line.append(cell);
    }
    grid.append(el("div", { className: "row" }, el("div", { className: "channel", title: name },
      el("b", { textContent: channel }), " " + name,
      el("a", { className: "live", href: playlist(channel, name), download: name + ".m3u",
        title: "Watch live: opens in a player such as VLC", textContent: "▶ Live" })), line));
  }
  grid.append(...days.slice(1).map((t) => el("div", { className: "day-line", style: "--x:" + x(t) + "px" })),
    el("div", { className: "now-line" }));
  grid.scrollLeft = x(shown);
  moveNow();
  // The grid was drawn anew: keep the keyboard on the programme it was on.
  if (focused && selected) grid.querySelector(".event.selected").focus({ preventScroll: true });
  renderDetails();
}

// Where a moment lies in the grid (px), and the moment at a place.
const x = (t) => (t - gridStart) / 60 * PX_PER_MIN;
const at = (px) => gridStart + px / PX_PER_MIN * 60;
// The width of the grid's programmes in view, beside the channel column.
function room() {
  const grid = $("#grid");
  return grid.clientWidth - (grid.querySelector(".channel") || grid).offsetWidth;
}

// The now line where the clock is, and the day in view in the heading.
function moveNow() {
  const now = Date.now() / 1000;
  nowX = x(now);
  onNowX = x(Math.min(now, ...events.filter((e) => e.start <= now && now < e.stop).map((e) => e.start)));
  const line = $("#grid .now-line");
  if (line) line.style.setProperty("--x", nowX + "px");
  showDay();
}

// The day in view: today while "now" is in view, else the day in view nearest to it.
function showDay() {
  if (events.length === 0) return;
  const scroll = $("#grid").scrollLeft;
  $("#guide-day").textContent = "Programme guide, " + day(Math.min(Math.max(Date.now() / 1000, at(scroll)), at(scroll + room())));
}

// Programmes end and begin while the page is open: when the backend's now and next have moved on, the guide is
// loaded anew; otherwise the now line and the day follow the clock.
async function tick() {
  if (JSON.stringify(await nowAndNext().catch(() => null)) !== marksKey) return loadGuide();
  moveNow();
}

// A programme that has ended can no longer be recorded.
function hasEnded(e) { return e.stop * 1000 <= Date.now(); }

// Only the outline moves to the cell: the grid of several days is not drawn anew for it.
function select(e, cell) {
  for (const other of $("#grid").querySelectorAll(".event.selected")) other.classList.remove("selected");
  cell.classList.add("selected");
  selected = e;
  renderDetails();
  $("#details").scrollIntoView({ block: "nearest" });
}

function renderDetails() {
  const box = $("#details");
  box.hidden = !selected;
  if (!selected) return;
  const e = selected;
  const ended = hasEnded(e);
  const record = e.dvr_id
    ? el("button", { textContent: "Cancel recording", onclick: () => setRecording(e, false) })
    : el("button", { className: "primary", textContent: "Record", disabled: ended,
      title: ended ? "This programme has ended" : "", onclick: () => setRecording(e, true) });
  box.replaceChildren(el("h2", { textContent: e.title }),
    el("p", { className: "hint", textContent: e.channel_name + " · " + day(e.start) + " · " + clock(e.start) + "–" +
      clock(e.stop) + " · " + e.genre + (e.dvr_status ? " · recording " + e.dvr_status : "") }),
    el("p", { textContent: e.description }),
    ended && !e.dvr_id ? el("p", { className: "hint", textContent: "Ended at " + clock(e.stop) +
      ": it can no longer be recorded. Record every showing to get the next ones." }) : "",
    record, el("button", { textContent: "Record every “" + e.title + "”", onclick: () => recordSeries(e) }),
    seriesNote && seriesNote.id === e.id ? el("p", { className: "message info", textContent: seriesNote.text }) : "");
}

async function setRecording(e, on) {
  const fields = { subfunc: "record", todo: "add", channel: e.channel, id: e.id };
  if (!on) fields.cancel = 1;
  await call("epg", fields, true).catch(report);
  await loadGuide();
}

async function recordSeries(e) {
  const doc = await call("epg", { subfunc: "smart", todo: "add", channel: e.channel, title: e.title }).catch(report);
  seriesNote = null;
  await loadGuide();
  if (!doc) return;
  // The answer counts the showings it scheduled; without a count, the guide tells.
  const rule = doc.entries && doc.entries[0] || {};
  const count = typeof rule.matches === "number" ? rule.matches : events.filter((x) => x.title === e.title &&
    x.channel === e.channel && x.dvr_id && !hasEnded(x)).length;
  seriesNote = { id: e.id, text: "Recording every “" + e.title + "” on " + e.channel_name + ": " + count +
    " scheduled" + (rule.next ? ", the next at " + clock(rule.next) : "") + "." };
  renderDetails();
}

function renderRecordings() {
  const recs = events.filter((e) => e.dvr_id).sort((a, b) => a.start - b.start || a.channel - b.channel);
  $("#recordings tbody").replaceChildren(...recs.map((e) => el("tr", {},
    el("td", { textContent: e.title }), el("td", { textContent: e.channel_name }),
    el("td", {}, el("time", { dateTime: new Date(e.start * 1000).toISOString(),
      textContent: day(e.start) + ", " + clock(e.start) + "–" + clock(e.stop) })),
    el("td", {}, el("span", { className: "status " + e.dvr_status, textContent: e.dvr_status })),
    el("td", {}, el("button", { className: "link", textContent: "Delete", onclick: () => setRecording(e, false) })))));
}

// "Now" near the channel column, with the starts of the programmes on now in view as long as "now" stays in the
// left half; a programme that began earlier still shows its text, which slides along its cell (panel.css).
function scrollToNow() {
  $("#grid").scrollLeft = Math.max(0, Math.min(nowX - 12, Math.max(onNowX - 4, nowX - room() / 2)));
}

// --- Page ------------------------------------------------------------------

function loadAll() {
  $("#messages").replaceChildren();
  if (!sid) report(new Error("No session: enter the session id of your NAS sign-in above."));
  serviceRunning = loadTuners();
  loadNetwork();
  loadGuide().then(scrollToNow);
}

const tabs = [...document.querySelectorAll("nav button")];
for (const button of tabs) {
  button.onclick = () => {
    for (const b of tabs) {
      b.classList.toggle("active", b === button);
      b.setAttribute("aria-selected", b === button);
    }
    for (const s of document.querySelectorAll("main section")) s.hidden = s.id !== "tab-" + button.dataset.tab;
  };
  // Arrow keys move between the tabs as in any tab bar; Tab, Enter and Space work as on any button.
  button.onkeydown = (event) => {
    const step = { ArrowRight: 1, ArrowDown: 1, ArrowLeft: -1, ArrowUp: -1 }[event.key];
    if (!step) return;
    event.preventDefault();
    const next = tabs[(tabs.indexOf(button) + step + tabs.length) % tabs.length];
    next.focus();
    next.click();
  };
}
$("#sid").value = sid;
$("#session").onsubmit = (event) => {
  event.preventDefault();
  sid = $("#sid").value.trim();
  history.replaceState(null, "", "?sid=" + encodeURIComponent(sid));
  loadAll();
};
$("#dvr").onchange = () => setService($("#dvr").checked);
$("#scan-start").onclick = startScan;
$("#mux-add").onsubmit = addMux;
$("#to-now").onclick = scrollToNow;
$("#grid").addEventListener("scroll", showDay);
addEventListener("resize", showDay);
setInterval(tick, 30000);
loadAll();
