// The DVR panel: talks to /cgi-bin/tunerbay and /cgi-bin/epg the way the NAS
// web interface does, with the session id of the signed-in user.
"use strict";

const $ = (selector) => document.querySelector(selector);
const PX_PER_MIN = 4;
// The guide is asked for in windows of this many programmes, until the backend's total_count: it may answer fewer.
const GUIDE_PAGE = 2000;
const OFF_TEXT = "The DVR service is switched off. Switch it on under Tuners.";
// A recording's status as the viewer reads it.
const STATUS = { scheduled: "scheduled", recording: "recording now", completed: "recorded" };
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
// Whether the last look at the adapter options found the DVR service switched off: a state shown where the data
// would be, not a fault.
let serviceOff = false;
// What the last series record scheduled, shown on the card of that programme.
let seriesNote = null;
let selected = null;
// The guide's one tab stop (a roving tabindex), by programme id; the arrow keys move it.
let activeId = null;
// The moment Up and Down keep to, so that going across channels and back lands where it began.
let anchor = null;
// The programmes of each channel row in time order, and where each programme is among them: [row, index].
let lines = [];
const places = new Map();
// The series whose showings are open in Recordings, by channel and title.
const openSeries = new Set();
// The destructive action being asked about, by its button's data-key: a part drawn anew goes on asking.
let asking = null;
// The frequencies (Hz) of the network's multiplexes, for the form's check.
let muxFrequencies = [];
// The moment at the left of the guide's view, null for "now": kept apart from the grid's scroll offset, which a grid
// in a hidden tab does not keep.
let viewAt = null;
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

function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(props)) {
    if (name.startsWith("data-")) node.setAttribute(name, value);
    else node[name] = value;
  }
  node.append(...children);
  return node;
}

const plurals = new Intl.PluralRules("en");
// A count with its noun in the form English gives that number: "1 multiplex", "4 multiplexes".
const count = (n, one, other) => n + " " + (plurals.select(n) === "one" ? one : other);

// Draws a part anew and keeps the keyboard where it was: on the control of the same data-key, else on the first
// control of the row now in the same place, else on the fallback.
function redraw(box, draw, fallback) {
  const active = box.contains(document.activeElement) ? document.activeElement : null;
  const rows = () => [...box.querySelectorAll("tr")].filter((row) => !row.hidden);
  const place = active ? rows().indexOf(active.closest("tr")) : -1;
  draw();
  if (!active || document.activeElement !== document.body) return;
  const key = active.dataset.key;
  const same = key && [...box.querySelectorAll("[data-key]")].find((n) => n.dataset.key === key);
  const row = rows()[Math.min(place, rows().length - 1)];
  const near = row && row.querySelector("button:not(:disabled), input, a");
  const target = same || near || fallback;
  if (target) target.focus();
}

// A destructive action asks once, in place: its button gives way to the question with its two answers.
function confirming(label, question, action, key) {
  const button = el("button", { className: "link", textContent: label, "data-key": key });
  const yes = el("button", { className: "danger", textContent: "Yes, " + label.toLowerCase(),
    "data-key": key + ":yes" });
  const keep = el("button", { textContent: "Keep", "data-key": key + ":keep" });
  const box = el("span", { className: "confirm" }, question + " ", yes, " ", keep);
  const ask = (on) => {
    asking = on ? key : null;
    (on ? button : box).replaceWith(on ? box : button);
    (on ? yes : button).focus();
  };
  button.onclick = () => ask(true);
  keep.onclick = () => ask(false);
  box.onkeydown = (event) => {
    if (event.key === "Escape") ask(false);
  };
  // Once: a second click while the action runs would send its requests again.
  yes.onclick = () => {
    yes.onclick = null;
    asking = null;
    action();
  };
  return asking === key ? box : button;
}

// Where a stopped service leaves no data: what that means, and the switch to change it.
function offNotice(id = "") {
  return el("div", { className: "notice", id }, OFF_TEXT + " ",
    el("button", { textContent: "Switch on", "data-key": "switch-on", onclick: () => setService(true) }));
}

const noticeRow = (table, id) => el("tr", {},
  el("td", { colSpan: table.tHead.rows[0].cells.length }, offNotice(id)));

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

function switchBox(checked, onChange, key) {
  const input = el("input", { type: "checkbox", checked, "data-key": key });
  input.addEventListener("change", () => onChange(input.checked));
  return el("label", { className: "switch" }, input, el("i"));
}

// --- Tuners and the DVR service -------------------------------------------

// Resolves to whether the DVR service runs: true, false, or null when the options could not be read.
async function loadTuners() {
  const body = $("#tuners tbody");
  let running = null;
  try {
    const options = await call("tunerbay", { subfunc: "option", todo: "get" });
    running = options.enable_dvr === 1;
    for (const entry of options.entries || []) idlescan[entry.index] = entry.idlescan;
  } catch (e) {
    // The programs answer "not running" for a service switched off.
    if (e.code === -2) running = false;
    else report(e);
  }
  serviceOff = running === false;
  $("#dvr").checked = running === true;
  $("#dvr-text").textContent = running ? "Running: recordings and the guide are available."
    : serviceOff ? "Switched off." : "Not known.";
  $("#service").textContent = running ? "DVR running" : serviceOff ? "DVR off" : "DVR not known";
  $("#service").className = "pill" + (running ? " on" : "");
  for (const control of document.querySelectorAll(".needs-service")) control.disabled = serviceOff;
  const info = running ? await call("tunerbay", { subfunc: "info", todo: "list" }).catch(report) : null;
  const rows = serviceOff ? [noticeRow($("#tuners"))] : ((info && info.entries) || []).map((a) =>
    el("tr", {}, el("td", { textContent: a.name }), el("td", { textContent: a.type }),
      el("td", { textContent: a.frontend }),
      el("td", {}, el("meter", { min: 0, max: 100, value: a.signal }), " " + a.signal + " %"),
      el("td", { textContent: a.snr + " dB", "data-label": "SNR" }),
      el("td", { "data-label": "Idle scan" },
        switchBox(idlescan[a.index] === 1, (on) => setIdleScan(a.index, on), "idlescan:" + a.index))));
  redraw(body, () => body.replaceChildren(...rows), $("#dvr"));
  return running;
}

async function setIdleScan(index, on) {
  await call("tunerbay", { subfunc: "option", todo: "update", index, enable_dvr: 1, idlescan: on ? 1 : 0 })
    .catch(report);
  loadTuners();
}

async function setService(on) {
  $("#dvr-text").textContent = on ? "Starting the DVR service…" : "Stopping the DVR service…";
  if (on) for (const button of document.querySelectorAll(".notice button")) button.textContent = "Switching on…";
  const fields = { subfunc: "option", todo: "update", index: 0, enable_dvr: on ? 1 : 0 };
  if (on) fields.idlescan = idlescan[0] === 0 ? 0 : 1;
  // Reported after the page is loaded anew, which clears the messages.
  const failure = await call("tunerbay", fields).then(() => null, (e) => e);
  // The service script returns before the backend has started or ended: wait until it has.
  for (let i = 0; i < 20; i++) {
    if (await call("tunerbay", { subfunc: "option", todo: "get" }).then(() => true, (e) => e.code !== -2) === on) break;
    await new Promise((resolve) => setTimeout(resolve, 500));
  }
  await loadAll();
  if (failure) report(failure);
  // The notice whose switch was used has gone: the keyboard goes to the heading of the part in view.
  if (document.activeElement === document.body) document.querySelector("main section:not([hidden]) h2").focus();
}

// What the panel shows of a service switched off: the notices where the data would be.
function showStopped() {
  clearTimeout(scanTimer);
  $("#network").textContent = "Network";
  $("#region").replaceChildren();
  $("#scan-progress").hidden = true;
  $("#scan-text").textContent = "";
  fieldError("");
  muxFrequencies = [];
  const muxes = $("#muxes tbody");
  redraw(muxes, () => muxes.replaceChildren(noticeRow($("#muxes"), "scan-off")), $("#network"));
  events = [];
  marksKey = "null";
  guideFailure = null;
  renderGuide();
  renderRecordings();
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
  const scan = await call("tunerbay", { subfunc: "scan", todo: "get" }).catch(() => null);
  const scanning = Boolean(scan && scan.active);
  muxFrequencies = net ? net.muxes.map((m) => m.fr) : [];
  // A multiplex not yet scanned counts no channels: during a scan the count would be short.
  $("#network").textContent = net ? net.name + ": " + count(net.mux_count, "multiplex", "multiplexes") +
    (scanning ? ", scan in progress" : ", " + count(net.service_count, "channel", "channels")) : "No network";
  const body = $("#muxes tbody");
  redraw(body, () => body.replaceChildren(...(net ? net.muxes : []).map((m) => el("tr", {},
    el("td", { textContent: m.name }), el("td", { textContent: m.fr / 1e6 + " MHz" }),
    el("td", { textContent: [m.cs, m.tm, "GI " + m.gi].join(", ") }),
    el("td", { textContent: count(m.services, "service", "services") }),
    el("td", {}, el("span", { className: "status " + m.status.toLowerCase().replace(" ", "-"),
      textContent: m.status })),
    el("td", {}, confirming("Delete", "Delete " + m.name + "?", () => deleteMux(net.id, m.id), "mux:" + m.id))))),
  $("#uhf"));
  // Without an answer the last scan shown is stale: clear it.
  $("#scan-progress").hidden = !scan || scan.entries.length === 0;
  if (!scan) {
    $("#scan-bar").style.width = "0";
    $("#scan-text").textContent = "No scan status.";
    return;
  }
  const total = scan.entries.length;
  const done = scan.entries.filter((m) => m.status === "done").length;
  $("#scan-bar").style.width = scan.progress + "%";
  $("#scan-text").textContent = total === 0 ? "No scan yet" : scanning
    ? "Scanning multiplex " + Math.min(done + 1, total) + " of " + total + " (" + scan.progress + " %)"
    : "Last scan: " + count(total, "multiplex", "multiplexes") + ", " +
      count(scan.entries.reduce((n, m) => n + m.services, 0), "channel", "channels") + " found";
  if (scanning) scanTimer = setTimeout(loadNetwork, 1000);
}

async function startScan() {
  await call("tunerbay", { subfunc: "region", todo: "update", id: $("#region").value }).catch(report);
  loadNetwork();
}

const uhfHz = (n) => (306 + 8 * n) * 1000000;

// Why the UHF channel typed cannot be added, or "" when it can.
function uhfProblem(text) {
  if (!/^\d+$/.test(text)) {
    return (text ? "“" + text + "” is not a whole number. " : "") + "Enter a UHF channel from 21 to 69.";
  }
  const n = Number(text);
  if (n < 21 || n > 69) return "UHF " + n + " is outside the band: enter a channel from 21 to 69.";
  if (muxFrequencies.includes(uhfHz(n))) {
    return "UHF " + n + " (" + uhfHz(n) / 1e6 + " MHz) is already in the network.";
  }
  return "";
}

function fieldError(text) {
  $("#uhf-error").textContent = text;
  $("#uhf").setAttribute("aria-invalid", text ? "true" : "false");
}

async function addMux(event) {
  event.preventDefault();
  const input = $("#uhf");
  // Checked here, before any request: the reason stays beside the field.
  fieldError(uhfProblem(input.value.trim()));
  if ($("#uhf-error").textContent) return input.focus();
  const added = await call("tunerbay", { subfunc: "network", todo: "add", id: "net-1", fr: uhfHz(Number(input.value)),
    bw: 8000000, cs: "QAM64", tm: "8k", gi: "1/4", hi: "NONE", fh: "2/3", fl: "AUTO" }, true)
    .then(() => true, (e) => fieldError(e.message));
  if (added) input.value = "";
  loadNetwork();
}

async function deleteMux(network, mux) {
  await call("tunerbay", { subfunc: "network", todo: "delete", id: network, entries: mux }, true).catch(report);
  await loadNetwork();
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

// Every programme the backend holds, a window at a time: it counts them in total_count and may answer fewer than
// asked. The recordings are those of this whole guide, not of one window of it.
async function wholeGuide() {
  const rows = [];
  for (;;) {
    const page = await call("epg", { subfunc: "info", todo: "list_more", up: rows.length,
      down: rows.length + GUIDE_PAGE });
    const entries = page.entries || [];
    rows.push(...entries);
    if (entries.length === 0 || !(rows.length < page.total_count)) return rows;
  }
}

async function loadGuide() {
  try {
    const marks = await nowAndNext();
    events = (await wholeGuide()).sort((a, b) => a.start - b.start || a.channel - b.channel);
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

const cellOf = (id) => $("#grid").querySelector('.event[data-id="' + id + '"]');
const eventOf = (cell) => {
  const [row, i] = places.get(Number(cell.dataset.id));
  return lines[row][i];
};

function renderGuide() {
  const grid = $("#grid");
  const focused = grid.contains(document.activeElement);
  grid.replaceChildren();
  lines = [];
  places.clear();
  if (events.length === 0) {
    // Nothing left to show a card for: the guide it came from is gone.
    selected = null;
    renderDetails();
    $("#guide-day").textContent = "Programme guide";
    grid.append(serviceOff ? offNotice() : el("p", { className: "empty", textContent: "No programme guide." }));
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
    // Each label spans its hour and its text keeps to the visible start, as a programme's title does. A day's first
    // hour is labelled by its date alone, which stays whole half an hour into that hour on a phone.
    hours.append(el("span", { className: first ? "day" : "",
      style: "left:" + x(t) + "px;width:" + (x(t + 3600) - x(t)) + "px" },
    el("span", {}, first ? el("b", { textContent: shortDay(t) }) : clock(t))));
  }
  grid.append(el("div", { className: "row", ariaHidden: "true" }, el("div", { className: "channel" }), hours));
  const channels = [...new Map(events.map((e) => [e.channel, e.channel_name])).entries()];
  for (const [channel, name] of channels.sort((a, b) => a[0] - b[0])) {
    const line = el("div", { className: "line", role: "none" });
    const programmes = events.filter((e) => e.channel === channel);
    for (const [i, e] of programmes.entries()) {
      places.set(e.id, [lines.length, i]);
      line.append(el("div", { className: "event " + e.mark + (e.dvr_id ? " rec" : "") +
        (hasEnded(e) ? " ended" : "") + (e === selected ? " selected" : ""),
        tabIndex: -1, role: "gridcell", title: e.title, "data-id": e.id,
        style: "left:" + x(e.start) + "px;width:" + (x(e.stop) - x(e.start)) + "px",
        ariaLabel: e.title + ", " + name + ", " + clock(e.start) + "–" + clock(e.stop) +
          (e.dvr_status ? ", " + STATUS[e.dvr_status] : "") },
        el("span", {}, el("b", { textContent: e.title }), el("small", { textContent: clock(e.start) }))));
    }
    lines.push(programmes);
    grid.append(el("div", { className: "row", role: "row" },
      el("div", { className: "channel", role: "rowheader" }, el("b", { textContent: channel }),
        el("span", { textContent: name })), line));
  }
  grid.append(...days.slice(1).map((t) => el("div", { className: "day-line", style: "--x:" + x(t) + "px" })),
    el("div", { className: "now-line" }));
  // The one tab stop: the programme last moved to, else the first channel's programme on now.
  if (!places.has(activeId)) activeId = (lines[0].find((e) => e.mark === "now") || lines[0][0]).id;
  cellOf(activeId).tabIndex = 0;
  moveNow();
  showView();
  // The grid was drawn anew: keep the keyboard on the programme it was on.
  if (focused) cellOf(activeId).focus({ preventScroll: true });
  renderDetails();
}

// The cell given the focus, by whatever means, becomes the grid's tab stop.
function makeActive(cell) {
  const before = cellOf(activeId);
  if (before) before.tabIndex = -1;
  cell.tabIndex = 0;
  activeId = Number(cell.dataset.id);
}

// To a programme's cell, with the grid scrolled only as far as it takes to show it (or as much of it as fits).
function moveTo(e) {
  const grid = $("#grid");
  const left = x(e.start), right = x(e.stop), s = grid.scrollLeft, w = room();
  if (Math.min(right, s + w) - Math.max(left, s) < Math.min(right - left, w / 3)) {
    grid.scrollLeft = left < s ? Math.max(left, right - w) : Math.min(left, right - w);
  }
  const cell = cellOf(e.id);
  cell.focus({ preventScroll: true });
  cell.closest(".row").scrollIntoView({ block: "nearest", inline: "nearest" });
}

const GRID_KEYS = ["ArrowLeft", "ArrowRight", "ArrowUp", "ArrowDown", "Home", "End"];

// The guide as an ARIA grid: Left and Right move between a channel's programmes, Up and Down between channels at one
// moment, Home and End to a channel's first and last programme; Enter or Space opens the card with the focus in it.
function gridKey(event) {
  const cell = event.target.closest(".event");
  if (!cell || event.altKey || event.ctrlKey || event.metaKey) return;
  const e = eventOf(cell);
  const [row, i] = places.get(e.id);
  const line = lines[row];
  if (event.key === "Enter" || event.key === " ") {
    event.preventDefault();
    select(e, cell);
    const first = $("#details").querySelector("button:not(:disabled), a");
    if (first) first.focus();
    return;
  }
  if (!GRID_KEYS.includes(event.key)) return;
  event.preventDefault();
  let to = { ArrowLeft: line[i - 1], ArrowRight: line[i + 1], Home: line[0], End: line[line.length - 1] }[event.key];
  if (event.key === "ArrowUp" || event.key === "ArrowDown") {
    const other = lines[row + (event.key === "ArrowUp" ? -1 : 1)];
    if (!other) return;
    // The moment kept to: where the programme is in view, else its start.
    if (anchor === null) anchor = Math.min(Math.max(e.start, at($("#grid").scrollLeft)), e.stop - 1);
    to = other.find((o) => o.stop > anchor) || other[other.length - 1];
  } else {
    anchor = null;
  }
  if (to) moveTo(to);
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
  if (serviceOff) return;
  if (JSON.stringify(await nowAndNext().catch(() => null)) !== marksKey) return loadGuide();
  moveNow();
}

// A programme that has ended can no longer be recorded.
function hasEnded(e) { return e.stop * 1000 <= Date.now(); }

// A moment as "at 20:15" today, else with its day.
const when = (t) => (midnight(t) === midnight(Date.now() / 1000) ? "" : "on " + shortDay(t) + " ") + "at " + clock(t);

// Only the outline moves to the cell: the grid of several days is not drawn anew for it.
function select(e, cell) {
  for (const other of $("#grid").querySelectorAll(".event.selected")) other.classList.remove("selected");
  cell.classList.add("selected");
  selected = e;
  anchor = null;
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
    ? el("button", { textContent: "Cancel recording", "data-key": "record", onclick: () => setRecording(e, false) })
    : el("button", { className: "primary", textContent: "Record", disabled: ended, "data-key": "record",
      title: ended ? "This programme has ended" : "", onclick: () => setRecording(e, true) });
  redraw(box, () => box.replaceChildren(el("h2", { textContent: e.title }),
    el("p", { className: "hint", textContent: [e.channel_name, day(e.start), clock(e.start) + "–" + clock(e.stop),
      e.genre, STATUS[e.dvr_status]].filter(Boolean).join(" · ") }),
    el("p", { textContent: e.description }),
    ended && !e.dvr_id ? el("p", { className: "hint", textContent: "Ended at " + clock(e.stop) +
      ": it can no longer be recorded. Record every showing to get the next ones." }) : "",
    record, el("button", { textContent: "Record every “" + e.title + "”", "data-key": "series",
      onclick: () => recordSeries(e) }),
    // Browsers do not play a transport stream: the link is a playlist, and says so where everyone sees it.
    el("a", { className: "live", href: playlist(e.channel, e.channel_name), download: e.channel_name + ".m3u",
      "data-key": "live" }, "▶ Watch " + e.channel_name + " live",
    el("small", { textContent: "Playlist for a player such as VLC" })),
    seriesNote && seriesNote.id === e.id ? el("p", { className: "message info", textContent: seriesNote.text }) : ""),
  cellOf(e.id));
}

const recordRequest = (e, on) => call("epg", Object.assign({ subfunc: "record", todo: "add", channel: e.channel,
  id: e.id }, on ? {} : { cancel: 1 }), true).catch(report);

async function setRecording(e, on) {
  await recordRequest(e, on);
  await loadGuide();
}

// The backend takes recordings away one at a time: a series goes with each of its showings, asked for together.
async function cancelSeries(showings) {
  await Promise.all(showings.map((e) => recordRequest(e, false)));
  await loadGuide();
}

async function recordSeries(e) {
  const doc = await call("epg", { subfunc: "smart", todo: "add", channel: e.channel, title: e.title }).catch(report);
  seriesNote = null;
  await loadGuide();
  if (!doc) return;
  // The answer counts the showings it scheduled; without a count, the guide tells. The next showing is one not yet
  // begun: one on now is being recorded already.
  const rule = doc.entries && doc.entries[0] || {};
  const showings = events.filter((x) => x.title === e.title && x.channel === e.channel && x.dvr_id && !hasEnded(x));
  const n = typeof rule.matches === "number" ? rule.matches : showings.length;
  const next = showings.find((x) => x.start * 1000 > Date.now());
  seriesNote = { id: e.id, text: "Recording every “" + e.title + "” on " + e.channel_name + ": " +
    count(n, "showing", "showings") + " scheduled" + (next ? ", the next " + when(next.start) : "") + "." };
  renderDetails();
}

const timeOf = (e) => el("time", { dateTime: new Date(e.start * 1000).toISOString(),
  textContent: day(e.start) + ", " + clock(e.start) + "–" + clock(e.stop) });

function recordingRow(e, series) {
  return el("tr", { className: series ? "showing" : "", hidden: Boolean(series) && !openSeries.has(series) },
    el("td", { textContent: e.title }), el("td", { textContent: e.channel_name }), el("td", {}, timeOf(e)),
    el("td", {}, el("span", { className: "status " + e.dvr_status,
      textContent: STATUS[e.dvr_status] || e.dvr_status })),
    el("td", {}, confirming("Delete", "Delete this recording?", () => setRecording(e, false), "rec:" + e.dvr_id)));
}

// A series: one row with its count and next showing, which opens to the showings and cancels them all.
function seriesRow(key, showings) {
  const open = openSeries.has(key);
  const next = showings.find((e) => e.start * 1000 > Date.now());
  const states = {};
  for (const e of showings) states[e.dvr_status] = (states[e.dvr_status] || 0) + 1;
  return el("tr", { className: "series" },
    el("td", {}, el("button", { className: "disclose", ariaExpanded: String(open), textContent: showings[0].title,
      "data-key": "open:" + key, onclick: () => {
        if (!openSeries.delete(key)) openSeries.add(key);
        renderRecordings();
      } }), " ", el("small", { textContent: count(showings.length, "showing", "showings") })),
    el("td", { textContent: showings[0].channel_name }),
    el("td", {}, ...next ? ["Next: ", timeOf(next)] : ["No showing ahead"]),
    el("td", { textContent: Object.entries(states).map(([state, n]) => n + " " + (STATUS[state] || state))
      .join(", ") }),
    el("td", {}, confirming("Cancel series", "Cancel all " + count(showings.length, "showing", "showings") + "?",
      () => cancelSeries(showings), "series:" + key)));
}

// Recordings as the backend reports them over its whole guide; the showings of one title on one channel are a series.
function renderRecordings() {
  const body = $("#recordings tbody");
  const groups = new Map();
  for (const e of events.filter((x) => x.dvr_id)) {
    const key = e.channel + " " + e.title;
    groups.set(key, [...groups.get(key) || [], e]);
  }
  const rows = serviceOff ? [noticeRow($("#recordings"))] : [...groups].flatMap(([key, showings]) =>
    showings.length === 1 ? [recordingRow(showings[0])]
      : [seriesRow(key, showings), ...showings.map((e) => recordingRow(e, key))]);
  redraw(body, () => body.replaceChildren(...rows), $("#recordings-heading"));
  $("#recordings-hint").textContent = serviceOff || groups.size ? "" : guideFailure
    ? "The recordings are not known: the guide could not be loaded (see the message above)."
    : "No recordings yet: choose a programme in the guide to record it.";
}

// The moment at the left of the view stays there, also when the guide has rolled on by a day; a hidden grid is
// scrolled when its tab is shown.
function showView() {
  if (!$("#grid").clientWidth || events.length === 0) return;
  if (viewAt === null) scrollToNow();
  else $("#grid").scrollLeft = x(viewAt);
}

// "Now" near the channel column, with the starts of the programmes on now in view as long as "now" stays in the
// left half; a programme that began earlier still shows its text, which slides along its cell (panel.css).
function scrollToNow() {
  $("#grid").scrollLeft = Math.max(0, Math.min(nowX - 12, Math.max(onNowX - 4, nowX - room() / 2)));
}

// --- Page ------------------------------------------------------------------

// A service switched off is asked nothing more than its switch: the rest shows the notices.
async function loadAll() {
  $("#messages").replaceChildren();
  if (!sid) report(new Error("No session: enter the session id of your NAS sign-in above."));
  if (await loadTuners() === false) return showStopped();
  loadNetwork();
  viewAt = null;
  await loadGuide();
}

const tabs = [...document.querySelectorAll("nav button")];
for (const button of tabs) {
  button.onclick = () => {
    for (const b of tabs) {
      b.classList.toggle("active", b === button);
      b.setAttribute("aria-selected", b === button);
      b.tabIndex = b === button ? 0 : -1;
    }
    for (const s of document.querySelectorAll("main section")) s.hidden = s.id !== "tab-" + button.dataset.tab;
    showView();
  };
  // Arrow keys move between the tabs as in any tab bar; the bar is one tab stop, its chosen tab.
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
$("#uhf").oninput = () => fieldError("");
$("#to-now").onclick = scrollToNow;
$("#grid").addEventListener("scroll", () => {
  if ($("#grid").clientWidth) viewAt = at($("#grid").scrollLeft);
  showDay();
});
$("#grid").addEventListener("click", (event) => {
  const cell = event.target.closest(".event");
  if (cell) select(eventOf(cell), cell);
});
$("#grid").addEventListener("focusin", (event) => {
  if (event.target.classList.contains("event")) makeActive(event.target);
});
$("#grid").addEventListener("keydown", gridKey);
// Escape in a programme's card goes back to its cell.
$("#details").addEventListener("keydown", (event) => {
  if (event.key === "Escape" && selected && !event.target.closest(".confirm")) moveTo(selected);
});
addEventListener("resize", showDay);
setInterval(tick, 30000);
loadAll();
