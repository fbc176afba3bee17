// The oxl web page: talks to the server's JSON API, receives feedback and state as server-sent
// events, plots with uPlot. No framework; every element it needs is in index.html or made here.
"use strict";

const $ = (id) => document.getElementById(id);
const token = new URLSearchParams(location.search).get("token") || "";
const view = {
  page: "", hello: null, state: null, connected: false,
  series: new Map(),        // "id:item" -> ring buffer of full-resolution samples
  lastSeq: new Map(),       // id -> last sequence number received
  framesReceived: 0, framesLost: 0, latest: new Map(),   // "id:item" -> latest value
  plots: new Map(), plotKey: "", paused: false, range: null,
  clockOffset: null, streamedOnce: false, logCount: 0, statsShown: 0,
};
window.oxlView = view;  // for the browser tests and the curious

function headers() {
  const h = { "Content-Type": "application/json", "X-Oxl-Page": view.page };
  if (token) h["X-Oxl-Token"] = token;
  return h;
}

function show(message) {
  $("message").textContent = message || "";
}

// Calls the API; shows the server's error in the page and returns null on failure.
async function api(method, path, body) {
  try {
    const res = await fetch(path, { method, headers: headers(), body: body === undefined ? undefined : JSON.stringify(body) });
    const answer = await res.json();
    if (!res.ok) {
      show(answer.error || ("HTTP " + res.status));
      return null;
    }
    show("");
    return answer;
  } catch (e) {
    show("the server does not answer: " + e);
    return null;
  }
}

const hex = (id) => "0x" + id.toString(16);

// ---- full-resolution sample buffers ----

const kCapacity = 65536;  // per series: over a minute at 1 kHz
function ring() {
  return { t: new Float64Array(kCapacity), v: new Float32Array(kCapacity), start: 0, len: 0,
           total: 0, grid: null };
}
function push(r, t, v) {
  const at = (r.start + r.len) % kCapacity;
  r.t[at] = t; r.v[at] = v === null ? NaN : v;
  r.total++;
  if (r.len < kCapacity) r.len++; else r.start = (r.start + 1) % kCapacity;
}
const at = (r, i) => (r.start + i) % kCapacity;
// First index whose time is >= t (times only grow).
function lowerBound(r, t) {
  let lo = 0, hi = r.len;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (r.t[at(r, mid)] < t) lo = mid + 1; else hi = mid;
  }
  return lo;
}

function onData(event) {
  const now = performance.now() / 1000;
  for (const d of event.d) {
    const last = view.lastSeq.get(d.id);
    if (last !== undefined && d.seq > last + 1) view.framesLost += d.seq - last - 1;
    view.lastSeq.set(d.id, d.seq + d.n - 1);
    view.framesReceived += d.n;
    d.items.forEach((item, i) => {
      const key = d.id + ":" + item;
      let r = view.series.get(key);
      if (!r) { r = ring(); view.series.set(key, r); }
      const values = d.v[i];
      for (let f = 0; f < d.n; f++) push(r, d.t[f], values[f]);
      view.latest.set(key, values[d.n - 1]);
    });
    const end = d.t[d.n - 1];
    // Maps the page's clock onto the server's, so the plots scroll at 60 fps between events.
    const offset = end - now;
    view.clockOffset = view.clockOffset === null ? offset : Math.max(offset, view.clockOffset - 0.002);
  }
}

// ---- plots ----

function plotKey() {
  const ids = [...new Set([...view.series.keys()].map((k) => k.split(":")[0]))].sort();
  const items = [...new Set([...view.series.keys()].map((k) => k.split(":")[1]))];
  return JSON.stringify([ids, items]);
}

const colours = ["#1565c0", "#c62828", "#2e7d32", "#6a1b9a", "#ef6c00", "#00838f",
                 "#ad1457", "#4e342e", "#283593", "#9e9d24", "#37474f", "#00695c"];

function rebuildPlots() {
  const [ids, items] = JSON.parse(view.plotKey);
  for (const p of view.plots.values()) p.chart.destroy();
  view.plots.clear();
  $("plots").textContent = "";
  const width = Math.max(300, $("plots").clientWidth - 10);
  for (const item of items) {
    const box = document.createElement("div");
    $("plots").appendChild(box);
    const series = [{ label: "time (s)" }];
    ids.forEach((id, i) => series.push({ label: hex(Number(id)), stroke: colours[i % colours.length], width: 1, spanGaps: true }));
    const chart = new uPlot({
      title: item, width, height: 180, series,
      scales: { x: { time: false } },
      cursor: { drag: { x: true, y: false, setScale: false } },
      hooks: { setSelect: [(u) => {
        if (u.select.width < 3) return;
        view.range = [u.posToVal(u.select.left, "x"), u.posToVal(u.select.left + u.select.width, "x")];
        view.paused = true;
        view.drawn = false;  // a paused view draws once more, the zoomed window
        $("pause").textContent = "Resume";
        u.setSelect({ left: 0, width: 0, top: 0, height: 0 }, false);
      }] },
    }, [[]].concat(ids.map(() => [])), box);
    box.addEventListener("dblclick", () => resume());
    view.plots.set(item, { chart, ids });
  }
}

function visibleRange() {
  if (view.range) return view.range;
  const w = Number($("window").value);
  const end = view.clockOffset === null ? 0 : performance.now() / 1000 + view.clockOffset - 0.05;
  return [end - w, end];
}

// The minimum and maximum of a series in each bucket of a fixed time grid (bucket k covers
// [k * step, (k + 1) * step)) from bucket `first` on. Samples are folded in once, as they arrive,
// so a frame costs the new samples and the visible buckets, not every sample of the window.
function gridOf(r, step, first) {
  let g = r.grid;
  if (!g || g.step !== step || first < g.first) {
    g = r.grid = { step, first, mn: [], mx: [], next: r.total - r.len + lowerBound(r, first * step) };
  }
  if (first > g.first) {  // buckets that scrolled out of the window
    const drop = Math.min(first - g.first, g.mn.length);
    g.mn.splice(0, drop); g.mx.splice(0, drop); g.first = first;
  }
  const oldest = r.total - r.len;
  for (let n = Math.max(g.next, oldest); n < r.total; n++) {
    const i = at(r, n - oldest);
    const v = r.v[i];
    const k = Math.floor(r.t[i] / step) - g.first;
    if (Number.isNaN(v) || k < 0) continue;
    while (g.mn.length <= k) { g.mn.push(null); g.mx.push(null); }
    if (g.mn[k] === null || v < g.mn[k]) g.mn[k] = v;
    if (g.mx[k] === null || v > g.mx[k]) g.mx[k] = v;
  }
  g.next = r.total;
  return g;
}

// Draws each series as the minimum and maximum of every three pixels of the visible window while
// live (36 series at 60 frames per second), of every pixel once paused (drawn once).
function draw() {
  requestAnimationFrame(draw);
  const key = plotKey();
  if (key !== view.plotKey) { view.plotKey = key; rebuildPlots(); }
  if (view.paused && view.drawn) return;
  const [a, b] = visibleRange();
  if (!(b > a)) return;
  for (const [item, p] of view.plots) {
    const step = (b - a) / Math.max(50, Math.floor(p.chart.width / (view.paused ? 1 : 3)));
    const first = Math.floor(a / step);
    const buckets = Math.ceil(b / step) - first;
    const x = new Float64Array(buckets * 2);
    for (let k = 0; k < buckets; k++) {
      x[2 * k] = (first + k) * step; x[2 * k + 1] = (first + k + 0.5) * step;
    }
    const data = [x];
    for (const id of p.ids) {
      const y = new Array(buckets * 2).fill(null);
      const r = view.series.get(id + ":" + item);
      if (r) {
        const g = gridOf(r, step, first);
        for (let k = 0; k < buckets && k < g.mn.length; k++) { y[2 * k] = g.mn[k]; y[2 * k + 1] = g.mx[k]; }
      }
      data.push(y);
    }
    p.chart.batch(() => { p.chart.setData(data, false); p.chart.setScale("x", { min: a, max: b }); });
  }
  view.drawn = true;
  // The counts change every frame; text five times a second spares the page a layout per frame.
  if (performance.now() - view.statsShown < 200 && !view.paused) return;
  view.statsShown = performance.now();
  $("view-stats").textContent = "frames received " + view.framesReceived + ", lost to the view " +
    view.framesLost + (view.paused ? " (paused: drag to zoom, double-click to resume)" : "");
}

function resume() {
  view.paused = false; view.range = null; view.drawn = false;
  $("pause").textContent = "Pause";
}

function download(name, blob) {
  const a = document.createElement("a");
  a.href = URL.createObjectURL(blob);
  a.download = name;
  a.click();
  setTimeout(() => URL.revokeObjectURL(a.href), 1000);
}

function exportCsv() {
  const [a, b] = visibleRange();
  const lines = ["time_s,actuator,item,value"];
  for (const [key, r] of view.series) {
    const [id, item] = key.split(":");
    for (let i = lowerBound(r, a); i < r.len && r.t[at(r, i)] < b; i++) {
      const v = r.v[at(r, i)];
      lines.push(r.t[at(r, i)].toFixed(5) + "," + hex(Number(id)) + "," + item + "," + (Number.isNaN(v) ? "" : v));
    }
  }
  download("oxl-view.csv", new Blob([lines.join("\n") + "\n"], { type: "text/csv" }));
}

function exportImage() {
  const canvases = [...view.plots.values()].map((p) => p.chart.ctx.canvas);
  if (canvases.length === 0) return show("nothing is plotted");
  const out = document.createElement("canvas");
  out.width = Math.max(...canvases.map((c) => c.width));
  out.height = canvases.reduce((h, c) => h + c.height, 0);
  const ctx = out.getContext("2d");
  ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, out.width, out.height);
  let y = 0;
  for (const c of canvases) { ctx.drawImage(c, 0, y); y += c.height; }
  out.toBlob((blob) => download("oxl-view.png", blob), "image/png");
}

// ---- actuators ----

function deviceCard(d) {
  const card = document.createElement("div");
  card.className = "device";
  card.id = "dev-" + d.id;
  const modes = view.hello.modes.map((m) => `<option${m === "POSITION" ? " selected" : ""}>${m}</option>`).join("");
  card.innerHTML = `
    <h3>${hex(d.id)} ${d.model || "unknown model"} <small>firmware ${d.firmware}</small></h3>
    <div>state <span class="state"></span>, mode <span class="mode"></span> <span class="errors"></span></div>
    <div class="row"><button class="start">Start</button><button class="stop">Stop</button>
      <select class="mode-select">${modes}</select><button class="set-mode">Set mode</button></div>
    <div class="row">setpoint <input class="sp" id="sp-${d.id}" type="number" step="any" value="0">
      <input class="slider" type="range" step="any"><button class="apply" id="apply-${d.id}">Apply</button></div>
    <div class="row">stiffness <input class="stiff" type="number" step="any" value="1">
      damping <input class="damp" type="number" step="any" value="0.1"><button class="gains">Set gains</button></div>
    <div class="latest"></div>`;
  const q = (c) => card.querySelector("." + c);
  const modeNow = () => q("mode-select").value;
  const limits = () => (view.state.devices.find((x) => x.id === d.id) || d).limits[modeNow()] ||
    [-10, 10];
  const setSlider = () => { const [lo, hi] = limits(); q("slider").min = lo; q("slider").max = hi; q("slider").step = (hi - lo) / 1000; };
  setSlider();
  q("mode-select").addEventListener("change", setSlider);
  q("slider").addEventListener("input", () => { q("sp").value = q("slider").value; });
  q("sp").addEventListener("input", () => { q("slider").value = q("sp").value; });
  const number = (input) => (input.value.trim() === "" ? NaN : Number(input.value));
  q("start").onclick = () => api("POST", "/api/start", { id: d.id });
  q("stop").onclick = () => api("POST", "/api/stop", { id: d.id });
  q("set-mode").onclick = () => api("POST", "/api/mode", { id: d.id, mode: modeNow() });
  q("apply").onclick = () => {
    const value = number(q("sp"));
    if (!Number.isFinite(value)) return show("the setpoint must be a number");
    api("POST", "/api/setpoint", { id: d.id, mode: modeNow(), value });
  };
  q("gains").onclick = () => {
    const stiffness = number(q("stiff")), damping = number(q("damp"));
    if (!Number.isFinite(stiffness) || !Number.isFinite(damping)) return show("the gains must be numbers");
    api("POST", "/api/gains", { id: d.id, stiffness, damping });
  };
  return card;
}

function renderDevices(devices) {
  const ids = devices.map((d) => d.id).join(",");
  if (ids !== view.deviceIds) {
    view.deviceIds = ids;
    $("devices").textContent = "";
    devices.forEach((d) => $("devices").appendChild(deviceCard(d)));
    const sel = $("param-id");
    sel.textContent = "";
    devices.forEach((d) => sel.add(new Option(hex(d.id), d.id)));
  }
  for (const d of devices) {
    const card = $("dev-" + d.id);
    const state = card.querySelector(".state");
    state.textContent = d.started ? "started" : "stopped";
    state.className = "state " + (d.started ? "on" : "off");
    card.querySelector(".mode").textContent = d.mode + (d.rate ? ", streaming at " + d.rate + " Hz" : "");
    card.querySelector(".errors").textContent = d.error_state === null ? "errors unknown" :
      d.error_state === 0 ? "" : "errors 0x" + d.error_state.toString(16).padStart(8, "0") + ": " +
      d.errors.map((e) => e.bit + " " + e.text + (e.serious ? " (serious)" : "")).join(", ");
    card.querySelector(".latest").textContent = d.items.map((item) => {
      const v = view.latest.get(d.id + ":" + item);
      return item + " " + (v === undefined || v === null ? "-" : Number(v).toPrecision(4));
    }).join("   ");
  }
}

function renderCounters(s) {
  const rows = [["actuator", "frames received", "frames missing", "largest gap (ms)"]];
  for (const d of s.devices) rows.push([hex(d.id), d.frames_received, d.frames_missing, d.largest_gap_ms.toFixed(2)]);
  const t = $("counters");
  t.textContent = "";
  for (const r of rows) t.insertRow().innerHTML = r.map((c) => `<td class="num">${c}</td>`).join("");
  const row = t.insertRow();
  row.innerHTML = `<td colspan="4">transport: ${Object.entries(s.transport).filter(([, v]) => v !== 0).map(([k, v]) => k + " " + v).join(", ")}</td>`;
}

function onState(s) {
  view.state = s;
  renderDevices(s.devices);
  renderCounters(s);
  const scan = s.scan;
  $("scan-progress").max = Math.max(1, scan.total);
  $("scan-progress").value = scan.running ? scan.done : scan.total;
  $("scan-message").textContent = scan.running ? "scanning..." : scan.message;
  $("scan").disabled = scan.running;
  const log = $("log");
  for (const line of s.log) {
    const span = document.createElement("span");
    span.className = line.severity;
    span.textContent = line.text + "\n";
    log.appendChild(span);
    if (++view.logCount > 500) log.removeChild(log.firstChild);
  }
  log.scrollTop = log.scrollHeight;
  // After the first scan of this page, stream what it found.
  if (!scan.running && s.devices.length > 0 && !view.streamedOnce && view.scanned) {
    view.streamedOnce = true;
    stream();
  }
}

function stream() {
  const items = $("items").value.split(",").map((x) => x.trim()).filter((x) => x);
  return api("POST", "/api/stream", { items, rate: Number($("rate").value) });
}

// ---- parameters and configuration ----

async function readParams() {
  const id = Number($("param-id").value);
  const answer = await api("GET", "/api/params?id=" + id);
  if (!answer) return;
  const body = $("params").tBodies[0];
  body.textContent = "";
  for (const [name, value] of Object.entries(answer.values)) {
    const row = body.insertRow();
    row.innerHTML = `<td>${name}</td><td class="num">${value === null ? "-" : value}</td>
      <td><input size="10"> <button>Write</button></td><td class="num"></td>`;
    row.querySelector("button").onclick = async () => {
      const text = row.querySelector("input").value.trim();
      const v = Number(text);
      if (text === "" || !Number.isFinite(v)) return show(name + ": the value must be a number");
      const res = await api("POST", "/api/params", { id, values: { [name]: v } });
      if (!res) return;
      const r = res.rows[0];
      row.cells[1].textContent = r.read === null ? "-" : r.read;
      row.cells[3].textContent = (r.read === null ? "-" : r.read) + (r.taken ? "" : " (not taken)");
      row.cells[3].className = "num" + (r.taken ? "" : " bad");
    };
  }
}

async function dumpConfig() {
  const id = Number($("param-id").value);
  const doc = await api("GET", "/api/config?id=" + id);
  if (doc) download("actuator-" + hex(id) + ".json", new Blob([JSON.stringify(doc, null, 2) + "\n"], { type: "application/json" }));
}

async function restoreConfig(file) {
  let document;
  try { document = JSON.parse(await file.text()); } catch (e) { return show(file.name + " is not JSON: " + e.message); }
  const id = Number($("param-id").value);
  const res = await api("POST", "/api/config", { id, document, force: $("config-force").checked });
  if (res) show(res.summary);
  readParams();
}

// ---- start ----

async function start() {
  view.hello = await api("GET", "/api/hello");
  if (!view.hello) return;
  view.page = view.hello.page;
  $("bus").textContent = view.hello.bus;
  // The keep-alive runs in a worker: timers of a page in a background tab are slowed to once
  // a second, which would trip the server's deadman.
  const worker = new Worker(URL.createObjectURL(new Blob([`
    onmessage = (e) => { const { url, h } = e.data; setInterval(() => fetch(url, { method: "POST", headers: h, body: "{}" }).catch(() => {}), 100); };
  `], { type: "text/javascript" })));
  // A worker made from a blob resolves no relative address: it is given the whole one.
  worker.postMessage({ url: location.origin + "/api/keepalive", h: headers() });
  const events = new EventSource("/api/events?page=" + view.page + (token ? "&token=" + encodeURIComponent(token) : ""));
  events.onopen = () => { $("link").textContent = "live"; $("link").className = "ok"; };
  events.onerror = () => { $("link").textContent = "reconnecting"; $("link").className = "bad"; };
  events.onmessage = (m) => {
    const event = JSON.parse(m.data);
    if (event.type === "data") onData(event); else onState(event);
  };
  const state = await api("GET", "/api/state");
  if (state && state.devices.length === 0 && !state.scan.running) scan();
  else view.scanned = true;
  requestAnimationFrame(draw);
}

function scan() {
  view.scanned = true;
  view.streamedOnce = false;
  return api("POST", "/api/scan", { from: $("scan-from").value, to: $("scan-to").value });
}

function stopAll() {
  return api("POST", "/api/stop", { all: true });
}

$("stop-all").onclick = stopAll;
document.addEventListener("keydown", (e) => { if (e.key === "Escape") stopAll(); });
$("scan").onclick = scan;
$("stream").onclick = stream;
$("pause").onclick = () => { if (view.paused) resume(); else { view.paused = true; view.drawn = false; $("pause").textContent = "Resume"; } };
$("csv").onclick = exportCsv;
$("png").onclick = exportImage;
$("param-read").onclick = readParams;
$("param-save").onclick = () => api("POST", "/api/save", { id: Number($("param-id").value) }).then((r) => r && show("configuration saved in the device"));
$("config-dump").onclick = dumpConfig;
$("config-file").onchange = (e) => { if (e.target.files[0]) restoreConfig(e.target.files[0]); e.target.value = ""; };
start();
