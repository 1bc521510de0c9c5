// The collector's console: a view per hash route, each filled from the
// JSON API.  Everything a sensor sent is shown as text (textContent only):
// headers and bodies come from the network and must never become markup.
"use strict";

const $ = (sel, root = document) => root.querySelector(sel);
const REFRESH_MS = 2000;
let timer = null;
let chart = null;
let loadedControl = null;
const lastShown = {};

// An error of the API, with its JSON body for whoever needs more than
// the message (a change that must be confirmed).
class ApiError extends Error {
  constructor(status, body) {
    super(body.error || `${status}`);
    this.status = status;
    this.body = body;
  }
}

async function api(path, options) {
  const res = await fetch(path, options);
  if (res.status === 401) {
    // the token is needed and the cookie is gone or stale
    location.replace("/signin.html");
    throw new ApiError(401, { error: "sign in first" });
  }
  const body = await res.json().catch(() => ({}));
  if (!res.ok) throw new ApiError(res.status, body);
  return body;
}

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}

function row(cells) {
  const tr = document.createElement("tr");
  for (const c of cells) tr.appendChild(c instanceof Node ? c : el("td", c));
  return tr;
}

function clock(ms) {
  if (!ms) return "";
  const d = new Date(ms);
  return d.toLocaleTimeString([], { hour12: false }) + "." +
    String(d.getMilliseconds()).padStart(3, "0");
}

function age(ms) {
  if (!ms) return "never";
  const s = Math.max(0, Math.round((Date.now() - ms) / 1000));
  return s < 60 ? `${s} s ago` : `${Math.round(s / 60)} min ago`;
}

function bodyCell(size, truncated) {
  if (size === null || size === undefined) {
    return truncated ? "left out" : "none";
  }
  return `${size} B${truncated ? " (truncated)" : ""}`;
}

function statusClass(s) {
  return s >= 500 ? "s5" : s >= 400 ? "s4" : s >= 300 ? "s3" : "s2";
}

// Exchanges

// The list pages backwards from the newest: each page asks for what is
// before the last id of the one shown, and "Newer" goes back the way it
// came.  Only the newest page follows new exchanges live.
const paging = { before: null, trail: [] };

function filterQuery() {
  const f = new FormData($("#filters"));
  const q = new URLSearchParams({ limit: f.get("rows") || "100" });
  for (const k of ["method", "status", "path", "format", "host"]) {
    const v = (f.get(k) || "").trim();
    if (v) q.set(k, v);
  }
  // the range's ends, in the browser's time zone
  for (const [k, name] of [["since", "since_ms"], ["until", "until_ms"]]) {
    const v = f.get(k);
    if (v) q.set(name, String(new Date(v).getTime()));
  }
  if (paging.before !== null) q.set("before", String(paging.before));
  return q;
}

async function showExchanges() {
  let list;
  try {
    list = await api("/api/exchanges?" + filterQuery());
    $("#filters-error").textContent = "";
  } catch (e) {
    $("#filters-error").textContent = e.message;
    return;
  }
  const rows = Number(new FormData($("#filters")).get("rows") || 100);
  $("#page-newer").disabled = paging.before === null;
  $("#page-newest").disabled = paging.before === null;
  $("#page-older").disabled = list.length < rows;
  $("#page-older").dataset.before = list.length ? list[list.length - 1].id : "";
  // the same rows again are left as they are: no flicker, and whatever
  // the reader points at stays put
  const shown = filterQuery() + list.map((x) => x.id).join(",");
  if (shown === lastShown.exchanges) return;
  lastShown.exchanges = shown;
  const tbody = $("#exchanges tbody");
  tbody.replaceChildren();
  for (const x of list) {
    const when = el("td", clock(x.time_ms));
    when.title = x.time;
    const tr = row([
      x.id, when, x.instance || x.sensor_host,
      x.format, x.method, el("td", x.uri, "uri"),
      el("td", x.status, "status " + statusClass(x.status)),
      x.latency_ms === null ? "" : `${x.latency_ms} ms`,
      bodyCell(x.request_body_size, x.request_body_truncated),
      bodyCell(x.response_body_size, x.response_body_truncated),
    ]);
    tr.className = "exchange";
    tr.dataset.id = x.id;
    tr.addEventListener("click", () => { location.hash = `#/exchange/${x.id}`; });
    tbody.appendChild(tr);
  }
  $("#exchanges-empty").hidden = list.length > 0 || paging.before !== null;
}

function page(before, trail) {
  paging.before = before;
  paging.trail = trail;
  lastShown.exchanges = null;
  showExchanges();
}

$("#page-older").addEventListener("click", (ev) => {
  const before = Number(ev.target.dataset.before);
  if (before) page(before, paging.trail.concat([paging.before]));
});
$("#page-newer").addEventListener("click", () => {
  const trail = paging.trail.slice();
  page(trail.length ? trail.pop() : null, trail);
});
$("#page-newest").addEventListener("click", () => page(null, []));

function fillHeaders(table, headers) {
  const tbody = $("tbody", table);
  tbody.replaceChildren();
  for (const [name, value] of headers || []) {
    tbody.appendChild(row([el("th", name), el("td", value)]));
  }
  if (!headers || headers.length === 0) {
    tbody.appendChild(row([el("td", "none", "empty")]));
  }
}

function prettyJson(text) {
  try {
    return JSON.stringify(JSON.parse(text), null, 2);
  } catch (e) {
    return null;
  }
}

// How much of a body is shown, and the link to all of it.
function fillBodyNote(id, x, part) {
  const note = $(`.body-note[data-for="${id}"]`);
  note.replaceChildren();
  const size = x[`${part}_size`];
  const url = x[`${part}_url`];
  if (!url) return;
  if (x[`${part}_partial`]) {
    const shown = new TextEncoder().encode(x[part] || "").length;
    note.append(`The first ${shown} of ${size} bytes are shown. `);
  }
  const a = el("a", `Download all ${size} bytes`);
  a.href = url;
  a.setAttribute("download", "");
  a.className = "download";
  note.append(a);
}

function fillBody(id, body, mode) {
  const pre = $("#" + id);
  const tools = $(`.body-tools[data-for="${id}"]`);
  pre.dataset.raw = body === null ? "" : body;
  const pretty = body === null ? null : prettyJson(body);
  $('button[data-mode="json"]', tools).disabled = pretty === null;
  if (body === null) {
    pre.textContent = "(no body)";
    pre.classList.add("empty");
    return;
  }
  pre.classList.remove("empty");
  const useJson = pretty !== null && mode !== "text";
  pre.textContent = useJson ? pretty : body;
  for (const b of tools.querySelectorAll("button")) {
    b.classList.toggle("on", (b.dataset.mode === "json") === useJson);
  }
}

async function showExchange(id) {
  let x;
  try {
    x = await api(`/api/exchanges/${id}`);
  } catch (e) {
    $("#exchange-title").textContent = e.message;
    return;
  }
  $("#exchange-title").textContent = `${x.method} ${x.uri}`;
  const dl = $("#exchange-summary");
  dl.replaceChildren();
  const facts = [
    ["Status", x.status], ["Format", x.format === "merged" ? "merged log" : "response log"],
    ["Started", new Date(x.time_ms).toISOString()],
    ["Latency", x.latency_ms === null ? "not reported" : `${x.latency_ms} ms`],
    ["Client", `${x.client_ip}:${x.client_port}`],
    ["Sensor", `${x.sensor_host} ${x.instance}`.trim()],
    ["Worker", x.worker_pid === null ? "unknown" : x.worker_pid],
    ["Request id", x.request_id], ["Logging level", x.logging_level],
  ];
  for (const [k, v] of facts) {
    dl.appendChild(el("dt", k));
    const dd = el("dd", v);
    if (k === "Status") {
      dd.id = "exchange-status";
      dd.className = "status " + statusClass(x.status);
    }
    dl.appendChild(dd);
  }
  fillHeaders($("#request-headers"), x.request_headers);
  fillHeaders($("#response-headers"), x.response_headers);
  $("#request-truncated").hidden = !x.request_body_truncated;
  $("#response-truncated").hidden = !x.response_body_truncated;
  fillBody("request-body", x.request_body, "json");
  fillBody("response-body", x.response_body, "json");
  fillBodyNote("request-body", x, "request_body");
  fillBodyNote("response-body", x, "response_body");
}

$("#counter-worker").addEventListener("change", () => showCounters());

for (const tools of document.querySelectorAll(".body-tools")) {
  tools.addEventListener("click", (ev) => {
    const mode = ev.target.dataset && ev.target.dataset.mode;
    if (!mode) return;
    const pre = $("#" + tools.dataset.for);
    fillBody(tools.dataset.for, pre.classList.contains("empty") ? null : pre.dataset.raw, mode);
  });
}

// Sensors

// Workers a page at a time, in the order of their keys.
const SENSORS_PAGE = 100;
const sensorPaging = { after: "" };

async function showSensors() {
  const q = new URLSearchParams({ limit: String(SENSORS_PAGE) });
  if (sensorPaging.after) q.set("after", sensorPaging.after);
  const list = await api("/api/sensors?" + q);
  const tbody = $("#sensors tbody");
  tbody.replaceChildren();
  for (const s of list) {
    const heartbeat = el("td", age(s.last_heartbeat_ms));
    heartbeat.title = s.last_heartbeat || "";
    tbody.appendChild(row([
      el("td", s.online ? "online" : "offline", s.online ? "online" : "offline"),
      s.host, s.instance, s.pid === null ? "not yet known" : s.pid,
      s.mode || "", heartbeat, s.heartbeats,
      age(s.last_stats_ms), s.peer,
    ]));
  }
  $("#sensors-empty").hidden = list.length > 0 || sensorPaging.after !== "";
  $("#sensors-first").disabled = sensorPaging.after === "";
  $("#sensors-next").disabled = list.length < SENSORS_PAGE;
  $("#sensors-next").dataset.after = list.length ? list[list.length - 1].key : "";
}

$("#sensors-next").addEventListener("click", (ev) => {
  sensorPaging.after = ev.target.dataset.after || "";
  showSensors();
});
$("#sensors-first").addEventListener("click", () => {
  sensorPaging.after = "";
  showSensors();
});

// Counters

const selectedKeys = new Set(["hdr_filter_hit", "tasks_enqueued", "msg_sent"]);

function workerName(d) {
  return `${d.sensor_host || "?"} ${d.instance || ""} pid ${d.pid}`.replace(/\s+/g, " ");
}

async function showCounters() {
  const data = await api("/api/stats?limit=2000");
  const tbody = $("#collector-counters tbody");
  tbody.replaceChildren();
  for (const [k, v] of Object.entries(data.collector)) {
    tbody.appendChild(row([el("th", k), v]));
  }
  $("#collector-summary").textContent =
    `${data.collector.exchanges_stored} exchanges stored`;

  const docs = data.documents.slice().reverse(); // oldest first
  const shown = [docs.length, docs.length && docs[docs.length - 1].id,
    $("#counter-worker").value, [...selectedKeys].sort().join()].join("|");
  if (shown === lastShown.counters) return;
  lastShown.counters = shown;
  $("#counters-empty").hidden = docs.length > 0;
  const workers = [...new Set(docs.map(workerName))];
  const select = $("#counter-worker");
  const chosen = select.value || workers[workers.length - 1] || "";
  select.replaceChildren(...workers.map((w) => el("option", w)));
  select.value = chosen;

  const mine = docs.filter((d) => workerName(d) === chosen);
  const keys = new Set();
  for (const d of mine) {
    for (const k of Object.keys(d.access)) keys.add(k);
    for (const k of Object.keys(d.auth)) keys.add("auth." + k);
  }
  const box = $("#counter-keys");
  box.replaceChildren();
  for (const k of [...keys].sort()) {
    const label = el("label", null, "inline");
    const cb = document.createElement("input");
    cb.type = "checkbox";
    cb.checked = selectedKeys.has(k);
    cb.addEventListener("change", () => {
      if (cb.checked) selectedKeys.add(k); else selectedKeys.delete(k);
      showCounters();
    });
    label.append(cb, " " + k);
    box.appendChild(label);
  }
  drawChart(mine, [...keys].filter((k) => selectedKeys.has(k)).sort());
}

// Counters are reset at each report, so a document's value divided by the
// time since the worker's previous report is a rate.
function drawChart(docs, keys) {
  const xs = [], series = keys.map(() => []);
  for (let i = 1; i < docs.length; i++) {
    const dt = (docs[i].time_ms - docs[i - 1].time_ms) / 1000;
    if (dt <= 0) continue;
    xs.push(docs[i].time_ms / 1000);
    keys.forEach((k, j) => {
      const v = k.startsWith("auth.") ? docs[i].auth[k.slice(5)] : docs[i].access[k];
      series[j].push((v || 0) / dt);
    });
  }
  const target = $("#chart");
  if (chart) { chart.destroy(); chart = null; }
  target.replaceChildren();
  if (typeof uPlot === "undefined" || xs.length === 0) {
    target.appendChild(el("p", xs.length === 0 && docs.length > 0
      ? "Two statistics documents of this worker are needed for a rate."
      : "", "empty"));
    return;
  }
  const palette = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b"];
  chart = new uPlot({
    width: Math.min(1100, window.innerWidth - 60),
    height: 320,
    series: [{}].concat(keys.map((k, j) => ({
      label: k, stroke: palette[j % palette.length], width: 2,
      value: (u, v) => v === null ? "" : v.toFixed(2) + "/s",
    }))),
    axes: [{}, { label: "per second", size: 60 }],
  }, [xs, ...series], target);
}

// Control

function linesOf(text) {
  return text.split("\n").map((s) => s.trim()).filter((s) => s.length > 0);
}

function nextVersion(v) {
  return /^\d+$/.test(v) ? String(Number(v) + 1) : `${v || "v"}.${Date.now()}`;
}

function fillControl(c) {
  loadedControl = c;
  const f = $("#control-form");
  f.logging_level.value = c.logging_level;
  f.backoff_ms.value = c.backoff_ms;
  f.sampling_rate.value = c.sampling_rate;
  f.url_on.checked = c.url_bypass !== null;
  f.url_version.value = c.url_bypass ? c.url_bypass.version : "1";
  f.url_patterns.value = c.url_bypass ? c.url_bypass.patterns.join("\n") : "";
  f.header_on.checked = c.header_bypass !== null;
  f.header_version.value = c.header_bypass ? c.header_bypass.version : "1";
  f.header_patterns.value = c.header_bypass
    ? c.header_bypass.patterns.map((r) => {
        const [name, re] = Object.entries(r)[0];
        return `${name}: ${re}`;
      }).join("\n")
    : "";
}

// A changed policy needs a new version, or workers keep the one they hold.
function policy(on, version, patterns, old) {
  if (!on) return null;
  if (old && old.version === version &&
      JSON.stringify(old.patterns) !== JSON.stringify(patterns)) {
    version = nextVersion(version);
  }
  return { version, patterns };
}

async function showControl() {
  fillControl(await api("/api/control"));
}

// The change the form would send, or a message saying what is wrong.
function controlChange(f) {
  const headerRules = [];
  for (const line of linesOf(f.header_patterns.value)) {
    const colon = line.indexOf(":");
    if (colon <= 0) return `"${line}" is not Header-Name: regex`;
    headerRules.push({ [line.slice(0, colon).trim()]: line.slice(colon + 1).trim() });
  }
  return {
    logging_level: f.logging_level.value,
    backoff_ms: Number(f.backoff_ms.value),
    sampling_rate: Number(f.sampling_rate.value),
    url_bypass: policy(f.url_on.checked, f.url_version.value.trim(),
      linesOf(f.url_patterns.value), loadedControl && loadedControl.url_bypass),
    header_bypass: policy(f.header_on.checked, f.header_version.value.trim(),
      headerRules, loadedControl && loadedControl.header_bypass),
  };
}

function controlStatus(text, cls) {
  $("#control-status").textContent = text;
  $("#control-status").className = cls;
}

// A change that lets requests skip authorization is sent only after the
// operator saw what it opens (the collector lists it) and said so.
let pendingChange = null;

async function sendControl(change) {
  $("#control-confirm").hidden = true;
  try {
    fillControl(await api("/api/control", {
      method: "PUT", headers: { "Content-Type": "application/json" },
      body: JSON.stringify(change),
    }));
    pendingChange = null;
    controlStatus("Saved: workers get it with their next heartbeat.", "ok");
  } catch (e) {
    if (e.status === 409 && e.body.confirm) {
      pendingChange = { ...change, confirm: e.body.confirm };
      $("#control-openings").replaceChildren(
        ...(e.body.openings || []).map((o) => el("li", o)));
      $("#control-confirm").hidden = false;
      controlStatus("Not saved yet: see below.", "error");
      return;
    }
    controlStatus(e.message, "error");
  }
}

$("#control-form").addEventListener("submit", (ev) => {
  ev.preventDefault();
  const change = controlChange(ev.target);
  if (typeof change === "string") {
    controlStatus(change, "error");
    return;
  }
  sendControl(change);
});
$("#confirm-send").addEventListener("click", () => {
  if (pendingChange) sendControl(pendingChange);
});
$("#confirm-cancel").addEventListener("click", () => {
  pendingChange = null;
  $("#control-confirm").hidden = true;
  controlStatus("Not saved.", "");
});

// Changes

const changesPaging = { before: null };

function settingsText(settings, names) {
  const shown = {};
  for (const k of names) shown[k] = settings[k];
  return el("pre", JSON.stringify(shown, null, 1), "settings");
}

async function showChanges() {
  const q = new URLSearchParams({ limit: "50" });
  if (changesPaging.before !== null) q.set("before", String(changesPaging.before));
  const list = await api("/api/control/changes?" + q);
  const tbody = $("#changes tbody");
  tbody.replaceChildren();
  for (const c of list) {
    tbody.appendChild(row([
      c.id, new Date(c.time_ms).toLocaleString([], { hour12: false }),
      c.caller, c.changed.join(", "),
      el("td", null), el("td", null),
    ]));
    const cells = tbody.lastChild.children;
    cells[4].appendChild(settingsText(c.before, c.changed));
    cells[5].appendChild(settingsText(c.after, c.changed));
  }
  $("#changes-empty").hidden = list.length > 0 || changesPaging.before !== null;
  $("#changes-newest").disabled = changesPaging.before === null;
  $("#changes-older").disabled = list.length < 50;
  $("#changes-older").dataset.before = list.length ? list[list.length - 1].id : "";
}

$("#changes-older").addEventListener("click", (ev) => {
  const before = Number(ev.target.dataset.before);
  if (before) { changesPaging.before = before; showChanges(); }
});
$("#changes-newest").addEventListener("click", () => {
  changesPaging.before = null;
  showChanges();
});

// What the console says about the collector itself: redaction switched
// off, and a way out when it signed in.

async function showCollector() {
  const c = await api("/api/collector");
  $("#redaction-off").hidden = c.redaction.on;
  $("#sign-out").hidden = !c.token_required;
}

$("#sign-out").addEventListener("click", async () => {
  await fetch("/api/session", { method: "DELETE" }).catch(() => {});
  location.replace("/signin.html");
});

// Routing

$("#filters").addEventListener("submit", (ev) => {
  ev.preventDefault();
  page(null, []);
});

const views = {
  exchanges: { show: showExchanges, live: true },
  exchange: { show: showExchange, live: false, nav: "exchanges" },
  sensors: { show: showSensors, live: true },
  counters: { show: showCounters, live: true },
  control: { show: showControl, live: false },
  changes: { show: showChanges, live: false },
};

function route() {
  const [, name = "exchanges", arg] = location.hash.split("/");
  const view = views[name] ? name : "exchanges";
  for (const s of document.querySelectorAll(".view")) {
    s.hidden = s.id !== "view-" + view;
  }
  for (const a of document.querySelectorAll("nav a")) {
    a.classList.toggle("on", a.dataset.view === (views[view].nav || view));
  }
  clearInterval(timer);
  lastShown.exchanges = lastShown.counters = null;
  const run = () => views[view].show(arg).catch((e) => console.error(e));
  run();
  if (views[view].live) {
    timer = setInterval(() => {
      if (view !== "exchanges" ||
          ($("#filters").live.checked && paging.before === null)) run();
    }, REFRESH_MS);
  }
}

// Views of other files (apis.js) add themselves to views first.
window.addEventListener("hashchange", route);
showCollector().catch((e) => console.error(e));
// the first view is shown once every script has run (apis.js follows)
document.addEventListener("DOMContentLoaded", route);
