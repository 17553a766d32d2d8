// The web console's behaviour: live events, pictures, statistics, focus, controls and the large view.
"use strict";

// With a token, the server keeps it in a cookie that every request carries.
const tiles = [];
let large = null;  // {ch} while the large view is open
const FOCUS_HISTORY = 50;  // frames in a tile's focus graph
// The page's settings, kept in the browser across reloads.
function stored(key, fallback) {
  try { return JSON.parse(localStorage.getItem("kx29." + key)) ?? fallback; } catch { return fallback; }
}
const store = (key, value) => localStorage.setItem("kx29." + key, JSON.stringify(value));

async function post(url, body) {
  const headers = { "Content-Type": "application/json" };
  const res = await fetch(url, { method: "POST", headers, body: JSON.stringify(body) });
  const reply = await res.json().catch(() => ({}));
  if (!res.ok) throw new Error(reply.error || res.status + " " + res.statusText);
  return reply;
}

function fmt(x, digits) { return x === null || x === undefined ? "–" : Number(x).toFixed(digits); }

// ---- tiles --------------------------------------------------------------------
function makeTile(ch) {
  const node = document.getElementById("tile-template").content.firstElementChild.cloneNode(true);
  const $ = (sel) => node.querySelector(sel);
  const t = { ch, node, $, frameId: 0, loading: false, state: null, frame: null, focus: [], countdown: null,
              stretch: stored("stretch." + ch, { mode: "auto" }) };
  $(".num").textContent = ch;
  $(".fits").href = `api/channels/${ch}/image.fits`;
  $(".png").href = `api/channels/${ch}/image.png`;
  $(".live").onload = () => pictureLoaded(t);
  $(".live").onerror = () => { t.loading = false; };
  $(".picture").onclick = () => openLarge(ch);
  $(".acquire").onclick = () => act(t, "acquire", acquireBody(t));
  $(".abort").onclick = () => act(t, "abort", {});
  $(".show").onclick = () => act(t, "show", {});
  const f = $(".stretch").elements;
  f.mode.value = t.stretch.mode;
  f.black.value = t.stretch.black ?? "";
  f.white.value = t.stretch.white ?? "";
  $(".stretch").onchange = () => setStretch(t);
  $(".stretch").onsubmit = (e) => e.preventDefault();
  showStretch(t);
  document.getElementById("tiles").appendChild(node);
  return t;
}

// ---- the stretch: chosen per tile, kept in the browser, applied by the server ----
function setStretch(t) {
  const f = t.$(".stretch").elements;
  const levels = t.frame && t.frame.levels;
  if (f.mode.value === "manual" && (f.black.value === "" || f.white.value === "") && levels) {
    f.black.value = Math.floor(levels.auto[0]);  // start from what the picture shows now
    f.white.value = Math.ceil(levels.auto[1]);
  }
  const black = parseFloat(f.black.value), white = parseFloat(f.white.value);
  t.stretch = { mode: f.mode.value, black: isNaN(black) ? null : black, white: isNaN(white) ? null : white };
  store("stretch." + t.ch, t.stretch);
  showStretch(t);
  t.frameId = 0;  // the same frame again, stretched anew
  loadPicture(t);
}

function showStretch(t) {
  t.$(".stretch").classList.toggle("manual", t.stretch.mode === "manual");
  if (t.frame) drawHistogram(t);
}

// The query of the live picture; a manual stretch needs its points in order.
function stretchQuery(s) {
  if (s.mode === "minmax") return "&stretch=minmax";
  if (s.mode === "manual" && s.black !== null && s.white !== null && s.white > s.black)
    return `&stretch=${s.black},${s.white}`;
  return "";
}

// The black and white points in use, in grey levels of one frame.
function stretchPoints(t) {
  const s = t.stretch, levels = t.frame.levels;
  if (s.mode === "manual" && stretchQuery(s)) return [s.black, s.white];
  return levels ? levels[s.mode === "minmax" ? "minmax" : "auto"] : null;
}

function acquireBody(t) {
  const f = t.$(".controls").elements;
  const int = (v) => (v === "" ? null : parseInt(v, 10));
  const body = {
    frames: int(f.frames.value), images: int(f.images.value),
    add: f.add.checked, ccd: f.ccd.checked,
    format: int(f.format.value), ref_level: int(f.ref_level.value),
  };
  if (t.node.classList.contains("tandem") && f.exposure.value !== "") body.exposure = parseFloat(f.exposure.value);
  if (!t.$(".save").hidden && f.name.value !== "")
    body.save = { name: f.name.value, type: f.type.value, object: f.object.value || null };
  return body;
}

async function act(t, what, body) {
  t.$(".error").textContent = "";
  try {
    const reply = await post(`api/channels/${t.ch}/${what}`, body);
    if (what === "abort") t.$(".progress-text").textContent = reply.summary;
  } catch (e) {
    t.$(".error").textContent = e.message;
  }
}

function placeBox(box, frame, [x, y, w, h]) {
  Object.assign(box.style, {
    left: (100 * x) / frame.width + "%", top: (100 * y) / frame.height + "%",
    width: (100 * w) / frame.width + "%", height: (100 * h) / frame.height + "%",
  });
}

function placeWindow(box, frame) { if (frame) placeBox(box, frame, frame.window); }

// A grey-level axis under the bars; the black and white points as lines across them.
function drawHistogram(t) {
  const canvas = t.$(".hist"), stats = t.frame.stats;
  const g = canvas.getContext("2d"), W = canvas.width, H = canvas.height - 14;
  g.clearRect(0, 0, W, canvas.height);
  if (!stats) return;
  const [lo, hi] = stats.hist_range, span = Math.max(hi - lo, 1e-9);
  const xOf = (v) => Math.min(Math.max(((v - lo) / span) * W, 0), W - 1);
  const top = Math.max(...stats.hist, 1), w = W / stats.hist.length;
  g.fillStyle = "#7ac";
  stats.hist.forEach((n, i) => {
    const h = (H * Math.log1p(n)) / Math.log1p(top);
    g.fillRect(i * w, H - h, Math.max(w - 1, 1), h);
  });
  g.fillStyle = g.strokeStyle = "#99a";
  g.font = "10px sans-serif";
  g.textBaseline = "top";
  const step = [1, 2, 5, 10, 20, 25, 50, 100].find((s) => span / s <= 5) || 200;
  for (let v = Math.ceil(lo / step) * step; v <= hi; v += step) {
    const x = xOf(v);
    g.fillRect(x, H, 1, 3);
    g.textAlign = x < 10 ? "left" : x > W - 10 ? "right" : "center";
    g.fillText(String(v), x, H + 3);
  }
  const points = stretchPoints(t);
  canvas.dataset.points = points ? points.map((v) => v.toFixed(1)).join(",") : "";
  if (!points) return;
  points.forEach((v, i) => {
    g.fillStyle = i ? "#fff" : "#f80";
    g.fillRect(xOf(v) - (i ? 1 : 0), 0, 2, H);
  });
}

// The focus figure of the last frames: the star's half-flux radius, else the scene's sharpness.
function drawFocus(t) {
  const canvas = t.$(".focus-graph"), g = canvas.getContext("2d");
  const last = t.focus[t.focus.length - 1];
  const key = last.star ? "hfr" : "sharpness";
  const values = t.focus.map((f) => (key === "hfr" ? f.star && f.star.hfr : f.sharpness)).filter((v) => v !== null);
  const lo = Math.min(...values), hi = Math.max(...values), span = hi - lo || 1;
  const label = last.star
    ? `HFR ${fmt(last.star.hfr, 2)} px · FWHM ${fmt(last.star.fwhm, 2)} px` + (last.star.saturated ? " (top cut: saturated)" : "")
    : `no star · sharpness ${fmt(last.sharpness, 3)}`;
  t.$(".focus-text").textContent = label;
  t.$(".focus-text").title = `${key === "hfr" ? "HFR, px" : "sharpness"} of the last ${values.length} frames: ` +
    `${fmt(lo, 3)}–${fmt(hi, 3)}` +
    (last.star ? `; star at ${fmt(last.star.x, 1)}, ${fmt(last.star.y, 1)}, SNR ${fmt(last.star.snr, 0)}` : "");
  canvas.dataset.points = values.length;
  g.clearRect(0, 0, canvas.width, canvas.height);
  g.strokeStyle = "#7c7";
  g.beginPath();
  values.forEach((v, i) => {
    const x = (i / (FOCUS_HISTORY - 1)) * (canvas.width - 2) + 1;
    const y = canvas.height - 3 - ((v - lo) / span) * (canvas.height - 6);
    i ? g.lineTo(x, y) : g.moveTo(x, y);
  });
  g.stroke();
}

function loadPicture(t) {
  if (t.loading || !t.frame || t.frame.id === t.frameId) return;
  t.loading = true;
  t.pendingId = t.frame.id;
  t.$(".live").src = `api/channels/${t.ch}/live.jpg?f=${t.frame.id}${stretchQuery(t.stretch)}`;
}

function pictureLoaded(t) {
  t.loading = false;
  t.frameId = t.pendingId;
  t.node.dataset.frame = t.frameId;
  if (large && large.ch === t.ch) document.querySelector("#large img").src = t.$(".live").src;
  loadPicture(t);  // a newer frame may have come meanwhile
}

function newFrame(t, f) {
  const st = f.stats || {};
  for (const [k, d] of [["min", 1], ["max", 1], ["median", 1], ["mean", 2], ["dispersion", 2]])
    t.$("." + k).textContent = fmt(st[k], d);
  t.$(".fps").textContent = fmt(f.fps, 1);
  t.$(".time").textContent = f.time ? new Date(f.time).toLocaleTimeString() : "–";
  const warn = [f.saturated ? `${f.saturated} px saturated` : "", f.clipped ? `${f.clipped} px clipped` : ""];
  t.$(".sat").textContent = warn.filter(Boolean).join(" · ");
  t.$(".sat").title = "shown red: grey 255 in every frame, or the sum cut at the record's 16-bit limits";
  if (f.focus) {
    t.focus.push(f.focus);
    if (t.focus.length > FOCUS_HISTORY) t.focus.shift();
    drawFocus(t);
    const star = f.focus.star, box = t.$(".star");
    box.style.display = star ? "block" : "none";
    const r = 2 * (star ? star.aperture : 0);  // the circle: twice the aperture measured
    if (star) placeBox(box, f, [star.x + 0.5 - r, star.y + 0.5 - r, 2 * r, 2 * r]);
  }
}

function onChannel(ev) {
  const s = JSON.parse(ev.data);
  const t = tiles[s.channel];
  t.state = s;
  t.node.classList.toggle("tandem", s.tandem);
  t.$(".badge").textContent = `${s.activity} · format ${s.form} · ${s.image[0]}×${s.image[1]}` +
    (s.activ ? " · on board" : "");
  t.$(".msg").textContent = s.msg;
  t.$(".seqn").textContent = s.seqn;
  if (s.frame) {
    const fresh = !t.frame || t.frame.id !== s.frame.id;
    t.frame = s.frame;
    if (fresh) newFrame(t, s.frame);
    drawHistogram(t);
    placeWindow(t.$(".win"), s.frame);
    if (large && large.ch === s.channel) placeWindow(document.querySelector("#large .win"), s.frame);
    loadPicture(t);
  }
  countdown(t, s.exposure_left_s);
}

// The long exposure's time left: the record's countdown (a message a second,
// 0 when the daemon says it ended), counted down here in between.
function countdown(t, left) {
  const text = t.$(".countdown");
  // The last value stays until the next exposure; a repeated one (another change of the record) goes on counting.
  if (left === undefined || left === t.left) return;
  t.left = left;
  clearInterval(t.countdown);
  const end = performance.now() + left * 1000;
  const show = () => {
    const rest = Math.max(0, (end - performance.now()) / 1000);
    text.textContent = `exposure: ${rest.toFixed(1)} s left`;
    if (rest <= 0) clearInterval(t.countdown);
  };
  show();
  if (left > 0) t.countdown = setInterval(show, 100);
}

function onAcquisition(ev) {
  const a = JSON.parse(ev.data);
  const t = tiles[a.channel];
  const bar = t.$("progress");
  t.node.classList.toggle("failed", !a.running && a.outcome !== "completed");
  if (a.running) {
    // Images done and the part of the image under way that its frames make.
    const total = a.images_total > 0 ? a.images_total : 0, per = a.frames_per_image || 1;
    const within = Math.min(a.frame_in_image || 0, per) / per;
    bar.max = total || 1;
    bar.value = total ? Math.min(a.images_done + (a.images_done < total ? within : 0), total) : within;
    let text = `image ${a.image_number ?? a.images_done + (total && a.images_done < total ? 1 : 0)}${total ? "/" + total : ""}`;
    if (per > 1) text += `, frame ${a.frame_in_image || 0}/${per}`;
    if (a.remaining_s !== null && a.remaining_s !== undefined) text += `, ${fmt(a.remaining_s, 1)} s left`;
    if (a.warning) text += ` — warning: ${a.warning}`;
    t.$(".progress-text").textContent = text;
  } else {
    // Only a completed run is full: any other outcome kept none of an unfinished image.
    bar.max = 1; bar.value = a.outcome === "completed" ? 1 : 0;
    const warnings = (a.warnings || []).map((w) => ` — warning: ${w}`).join("");
    t.$(".progress-text").textContent = a.summary + (a.message ? ` (${a.message})` : "") + warnings;
  }
}

function onDaemon(ev) {
  const d = JSON.parse(ev.data);
  const badge = document.getElementById("daemon");
  badge.className = d.alive ? "up" : "down";
  badge.textContent = d.alive ? `daemon running (pid ${d.pid})`
    : d.segment ? "daemon not running" : "daemon not running (no segment)";
  for (const t of tiles) t.node.classList.toggle("stale", !d.alive);
  // What went wrong while it was away is no longer so.
  if (d.alive) for (const e of document.querySelectorAll(".error")) e.textContent = "";
}

// ---- large view: zoom, pan, crosshair, the pixel under the pointer; dragging sets the window ----
function openLarge(ch) {
  const t = tiles[ch];
  large = { ch };
  const view = document.getElementById("large");
  view.querySelector(".num").textContent = ch;
  view.querySelector(".error").textContent = "";
  view.querySelector("img").src = t.$(".live").src;
  placeWindow(view.querySelector(".win"), t.frame);
  view.hidden = false;
  zoom(stored("zoom", 0));
}

function closeLarge() {
  document.getElementById("large").hidden = true;
  large = null;
}

// 0 fits the picture into the view; k shows an image pixel as k x k screen pixels.
function zoom(k) {
  const view = document.getElementById("large"), f = large && tiles[large.ch].frame;
  if (!f) return;
  const scroller = view.querySelector(".scroller"), pic = view.querySelector(".picture");
  const fit = Math.min(scroller.clientWidth, (0.78 * innerHeight * f.width) / f.height);
  pic.style.width = (k ? f.width * k : fit) + "px";
  view.dataset.zoom = k;
  for (const b of view.querySelectorAll("[data-zoom]")) b.classList.toggle("on", Number(b.dataset.zoom) === k);
  store("zoom", k);
}

function setupLarge() {
  const view = document.getElementById("large");
  const pic = view.querySelector(".picture"), scroller = view.querySelector(".scroller");
  const drag = view.querySelector(".drag"), readout = view.querySelector(".pixel");
  let start = null, asking = false, wanted = null;
  const at = (e) => {
    const r = pic.getBoundingClientRect();
    return { x: Math.min(Math.max(e.clientX - r.left, 0), r.width), y: Math.min(Math.max(e.clientY - r.top, 0), r.height), r };
  };
  const sendWindow = async (window) => {
    try {
      await post(`api/channels/${large.ch}/window`, { window });
      view.querySelector(".error").textContent = "";
    } catch (e) {
      view.querySelector(".error").textContent = e.message;
    }
  };
  // The value of the pixel under the pointer, one request at a time: the last position wins.
  const ask = async () => {
    if (asking || !wanted || !large) return;
    const [ch, x, y] = wanted;
    wanted = null;
    asking = true;
    try {
      const res = await fetch(`api/channels/${ch}/pixel?x=${x}&y=${y}`);
      const p = await res.json();
      readout.textContent = res.ok ? `x ${p.x}, y ${p.y}: sum ${p.sum} of ${p.frames} frame${p.frames === 1 ? "" : "s"}` +
        ` = ${fmt(p.mean, 2)} a frame${p.in_window ? "" : " (outside the window: left from earlier images)"}` : p.error;
    } catch (e) {
      readout.textContent = e.message;
    }
    asking = false;
    ask();
  };
  const pan = () => view.querySelector("[name=drag]:checked").value === "pan";
  // Pointer events: the mouse, a pen and a finger alike (touch-action: none keeps the page still).
  pic.onpointerdown = (e) => {
    start = { ...at(e), left: scroller.scrollLeft, top: scroller.scrollTop, cx: e.clientX, cy: e.clientY };
    pic.setPointerCapture(e.pointerId);
    e.preventDefault();
  };
  pic.onpointermove = (e) => {
    const p = at(e), f = tiles[large.ch].frame;
    if (f) {
      wanted = [large.ch, Math.min(Math.floor((p.x * f.width) / p.r.width), f.width - 1),
        Math.min(Math.floor((p.y * f.height) / p.r.height), f.height - 1)];
      ask();
    }
    if (!start) return;
    if (pan()) {
      scroller.scrollLeft = start.left - (e.clientX - start.cx);
      scroller.scrollTop = start.top - (e.clientY - start.cy);
      return;
    }
    Object.assign(drag.style, {
      display: "block", left: Math.min(start.x, p.x) + "px", top: Math.min(start.y, p.y) + "px",
      width: Math.abs(p.x - start.x) + "px", height: Math.abs(p.y - start.y) + "px",
    });
  };
  pic.onpointerup = pic.onpointercancel = (e) => {
    if (!start) return;
    const p = at(e), s = start;
    const f = tiles[large.ch].frame;
    drag.style.display = "none";
    start = null;
    if (e.type === "pointercancel" || pan() || !f || Math.abs(p.x - s.x) < 3 || Math.abs(p.y - s.y) < 3) return;
    const kx = f.width / p.r.width, ky = f.height / p.r.height;
    const x = Math.round(Math.min(s.x, p.x) * kx), y = Math.round(Math.min(s.y, p.y) * ky);
    const w = Math.max(1, Math.round(Math.abs(p.x - s.x) * kx)), h = Math.max(1, Math.round(Math.abs(p.y - s.y) * ky));
    sendWindow([x, y, Math.min(w, f.width - x), Math.min(h, f.height - y)]);
  };
  for (const b of view.querySelectorAll("[data-zoom]")) b.onclick = () => zoom(Number(b.dataset.zoom));
  for (const r of view.querySelectorAll("[name=drag]")) r.onchange = () => view.classList.toggle("pan", pan());
  const cross = view.querySelector(".cross-on");
  cross.checked = stored("crosshair", true);
  view.classList.toggle("cross-on", cross.checked);
  cross.onchange = () => { view.classList.toggle("cross-on", cross.checked); store("crosshair", cross.checked); };
  view.querySelector(".full").onclick = () => sendWindow("full");
  view.querySelector(".close").onclick = closeLarge;
  document.addEventListener("keydown", (e) => { if (e.key === "Escape" && large) closeLarge(); });
}

// ---- night view: the whole page in red, kept in the browser ---------------------
function setNight(on) {
  document.documentElement.classList.toggle("night", on);
  document.getElementById("night").classList.toggle("on", on);
  store("night", on);
}

// ---- saving: offered when the console was given a directory ----------------------
async function setupSaving() {
  try {
    const config = await (await fetch("api/console")).json();
    for (const t of tiles) t.$(".save").hidden = !config.save;
  } catch {
    // the controls stay hidden
  }
}

// ---- events -------------------------------------------------------------------
let retryDelay = 1000;

function connect() {
  const events = new EventSource("api/events");
  events.addEventListener("channel", onChannel);
  events.addEventListener("acquisition", onAcquisition);
  events.addEventListener("daemon", onDaemon);
  events.onopen = () => { retryDelay = 1000; };
  events.onerror = () => {
    const badge = document.getElementById("daemon");
    badge.className = "down";
    badge.textContent = "console server unreachable, retrying…";
    // A refusal (503: every stream taken) ends an EventSource for good; the
    // page tries again itself, less often each time.
    if (events.readyState === EventSource.CLOSED) {
      setTimeout(connect, retryDelay);
      retryDelay = Math.min(2 * retryDelay, 10000);
    }
  };
}

for (let ch = 0; ch < 4; ch++) tiles.push(makeTile(ch));
setupLarge();
setNight(stored("night", false));
document.getElementById("night").onclick = () => setNight(!document.documentElement.classList.contains("night"));
setupSaving();
connect();
