// The web console's behaviour: live events, pictures, statistics, controls and the large view.
"use strict";

// With a token, the server keeps it in a cookie that every request carries.
const tiles = [];
let large = null;  // {ch} while the large view is open

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
  const t = { ch, node, $, frameId: 0, loading: false, state: null, frame: null };
  $(".num").textContent = ch;
  $(".fits").href = `api/channels/${ch}/image.fits`;
  $(".png").href = `api/channels/${ch}/image.png`;
  $(".live").onload = () => pictureLoaded(t);
  $(".live").onerror = () => { t.loading = false; };
  $(".picture").onclick = () => openLarge(ch);
  $(".acquire").onclick = () => act(t, "acquire", acquireBody(t));
  $(".abort").onclick = () => act(t, "abort", {});
  $(".show").onclick = () => act(t, "show", {});
  document.getElementById("tiles").appendChild(node);
  return t;
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

function placeWindow(box, frame) {
  if (!frame) return;
  const [x, y, w, h] = frame.window;
  Object.assign(box.style, {
    left: (100 * x) / frame.width + "%", top: (100 * y) / frame.height + "%",
    width: (100 * w) / frame.width + "%", height: (100 * h) / frame.height + "%",
  });
}

function drawHistogram(canvas, stats) {
  const g = canvas.getContext("2d");
  g.clearRect(0, 0, canvas.width, canvas.height);
  if (!stats) return;
  const top = Math.max(...stats.hist, 1);
  const w = canvas.width / stats.hist.length;
  g.fillStyle = "#7ac";
  stats.hist.forEach((n, i) => {
    const h = (canvas.height * Math.log1p(n)) / Math.log1p(top);
    g.fillRect(i * w, canvas.height - h, Math.max(w - 1, 1), h);
  });
}

function loadPicture(t) {
  if (t.loading || !t.frame || t.frame.id === t.frameId) return;
  t.loading = true;
  t.pendingId = t.frame.id;
  t.$(".live").src = `api/channels/${t.ch}/live.jpg?f=${t.frame.id}`;
}

function pictureLoaded(t) {
  t.loading = false;
  t.frameId = t.pendingId;
  t.node.dataset.frame = t.frameId;
  if (large && large.ch === t.ch) document.querySelector("#large img").src = t.$(".live").src;
  loadPicture(t);  // a newer frame may have come meanwhile
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
    t.frame = s.frame;
    const st = s.frame.stats || {};
    for (const [k, d] of [["min", 1], ["max", 1], ["median", 1], ["mean", 2], ["dispersion", 2]])
      t.$("." + k).textContent = fmt(st[k], d);
    drawHistogram(t.$(".hist"), s.frame.stats);
    placeWindow(t.$(".win"), s.frame);
    if (large && large.ch === s.channel) placeWindow(document.querySelector("#large .win"), s.frame);
    loadPicture(t);
  }
  if (s.exposure_left_s !== undefined && s.acquiring)
    t.$(".progress-text").textContent = `long exposure: ${fmt(s.exposure_left_s, 1)} s left`;
}

function onAcquisition(ev) {
  const a = JSON.parse(ev.data);
  const t = tiles[a.channel];
  const bar = t.$("progress");
  t.node.classList.toggle("failed", !a.running && a.outcome !== "completed");
  if (a.running) {
    const total = a.images_total > 0 ? a.images_total : 0;
    if (total) { bar.max = total; bar.value = a.images_done; } else bar.removeAttribute("value");
    let text = `image ${a.image_number ?? a.images_done + (total && a.images_done < total ? 1 : 0)}${total ? "/" + total : ""}`;
    if (a.frames_per_image > 1) text += `, frame ${a.frame_in_image || 0}/${a.frames_per_image}`;
    if (a.exposure_left_s !== null && a.exposure_left_s !== undefined) text += `, exposure ${fmt(a.exposure_left_s, 1)} s left`;
    else if (a.remaining_s !== null && a.remaining_s !== undefined) text += `, ${fmt(a.remaining_s, 1)} s left`;
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
}

// ---- large view: dragging sets the measurement window ---------------------------
function openLarge(ch) {
  const t = tiles[ch];
  large = { ch };
  const view = document.getElementById("large");
  view.querySelector(".num").textContent = ch;
  view.querySelector(".error").textContent = "";
  view.querySelector("img").src = t.$(".live").src;
  placeWindow(view.querySelector(".win"), t.frame);
  view.hidden = false;
}

function setupLarge() {
  const view = document.getElementById("large");
  const pic = view.querySelector(".picture");
  const drag = view.querySelector(".drag");
  let start = null;
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
  pic.onmousedown = (e) => { start = at(e); e.preventDefault(); };
  window.addEventListener("mousemove", (e) => {
    if (!start) return;
    const p = at(e);
    Object.assign(drag.style, {
      display: "block", left: Math.min(start.x, p.x) + "px", top: Math.min(start.y, p.y) + "px",
      width: Math.abs(p.x - start.x) + "px", height: Math.abs(p.y - start.y) + "px",
    });
  });
  window.addEventListener("mouseup", (e) => {
    if (!start) return;
    const p = at(e);
    const f = tiles[large.ch].frame;
    drag.style.display = "none";
    const s = start;
    start = null;
    if (!f || Math.abs(p.x - s.x) < 3 || Math.abs(p.y - s.y) < 3) return;
    const kx = f.width / p.r.width, ky = f.height / p.r.height;
    const x = Math.round(Math.min(s.x, p.x) * kx), y = Math.round(Math.min(s.y, p.y) * ky);
    const w = Math.max(1, Math.round(Math.abs(p.x - s.x) * kx)), h = Math.max(1, Math.round(Math.abs(p.y - s.y) * ky));
    sendWindow([x, y, Math.min(w, f.width - x), Math.min(h, f.height - y)]);
  });
  view.querySelector(".full").onclick = () => sendWindow("full");
  view.querySelector(".close").onclick = () => { view.hidden = true; large = null; };
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
connect();
