"""The style and scripts of the report pages, kept as text so that the pages
stay single files and the package needs no data files."""

PAGE_CSS = """
:root { --fg: #1d1f24; --muted: #667; --line: #d8dbe2; --beat: #d62728; --nov: #1f6fb4;
        --pulse: #2ca02c; --tempo: #17becf; --curve: #f2f2f2; --bg: #fbfbfc; }
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.4 system-ui, -apple-system, "Segoe UI", sans-serif;
       color: var(--fg); background: var(--bg); }
main { max-width: 1200px; margin: 0 auto; padding: 12px 18px 24px; }
h1 { font-size: 20px; margin: 4px 0; word-break: break-all; }
h2 { font-size: 13px; font-weight: 600; margin: 10px 0 2px; }
.headline { margin: 2px 0 6px; font-size: 16px; }
#tempo { font-weight: 700; }
.source, .hint, footer { color: var(--muted); font-size: 12px; }
.warnings { margin: 4px 0; padding-left: 18px; color: #a04000; }
.transport { display: flex; flex-wrap: wrap; gap: 6px 14px; align-items: center;
             padding: 8px 0; border-bottom: 1px solid var(--line); position: sticky; top: 0;
             background: var(--bg); z-index: 2; }
.transport button { min-width: 64px; }
#seek { flex: 1 1 240px; }
.clock { font-variant-numeric: tabular-nums; min-width: 110px; }
.row { display: flex; gap: 12px; align-items: baseline; }
.zoom button { width: 26px; }
#span { display: inline-block; min-width: 64px; text-align: center; font-size: 12px; }
.plot { position: relative; border: 1px solid var(--line); background: #fff; }
.plot canvas { display: block; width: 100%; cursor: pointer; }
#overview { height: 64px; } #detail { height: 150px; } #novelty { height: 120px; }
#tempogram { height: 220px; }
.cursor { position: absolute; top: 0; bottom: 0; width: 2px; margin-left: -1px;
          background: #111; pointer-events: none; left: 0; }
.key { display: inline-block; width: 14px; height: 3px; vertical-align: middle; }
.key.nov { background: var(--nov); } .key.pulse { background: var(--pulse); }
.key.beat { background: var(--beat); } .key.tempo { background: var(--tempo); }
.key.curve { background: #f2f2f2; outline: 1px solid #555; }
.tables { display: flex; flex-wrap: wrap; align-items: flex-start; gap: 24px; margin-top: 10px; }
table { border-collapse: collapse; font-size: 13px; }
caption { text-align: left; font-weight: 600; padding: 2px 0; }
th, td { border-bottom: 1px solid var(--line); padding: 2px 10px 2px 0; text-align: left; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
table.index th { cursor: pointer; user-select: none; }
table.index th.sorted-asc::after { content: " \\25B2"; }
table.index th.sorted-desc::after { content: " \\25BC"; }
table.index td { padding-right: 18px; }
.error { color: #b00020; }
footer { margin-top: 16px; }
"""

PAGE_JS = r"""
(function () {
"use strict";
var doc = JSON.parse(document.getElementById("korvel-data").textContent);
function $(id) { return document.getElementById(id); }
function bytesOf(b64) {
  var s = atob(b64 || ""), a = new Uint8Array(s.length);
  for (var i = 0; i < s.length; i++) a[i] = s.charCodeAt(i);
  return a;
}
var envMin = new Int8Array(bytesOf(doc.envelope.min).buffer);
var envMax = new Int8Array(bytesOf(doc.envelope.max).buffer);
var envRate = doc.envelope.rate;
var nov = bytesOf(doc.novelty), pulse = bytesOf(doc.pulse);
var beats = doc.beats, dur = Math.max(doc.duration, 1e-3), ff = doc.feature_rate;
var audio = $("audio");
var view = { t0: 0, t1: dur };
var MIN_SPAN = 0.25;

function fmtTime(t) {
  var m = Math.floor(t / 60), s = t - 60 * m;
  return m + ":" + (s < 10 ? "0" : "") + s.toFixed(1);
}
function text(id, value) { $(id).textContent = value; }
function firstAtOrAfter(list, t) {
  var lo = 0, hi = list.length;
  while (lo < hi) { var mid = (lo + hi) >> 1; if (list[mid] < t) lo = mid + 1; else hi = mid; }
  return lo;
}

// ---------------------------------------------------------------- text
text("title", doc.title);
text("tempo", doc.tempo === null ? "no beats: no onsets found" : doc.tempo.toFixed(2) + " BPM");
text("beat-count", doc.tempo === null ? "" : beats.length + (beats.length === 1 ? " beat" : " beats"));
text("source", doc.source + " \u00b7 " + fmtTime(doc.duration));
text("version", doc.version);
if (doc.curve) $("curve-key").hidden = false;
doc.warnings.forEach(function (w) {
  var li = document.createElement("li"); li.textContent = "warning: " + w; $("warnings").appendChild(li);
});
(function tables() {
  var body = $("candidates").tBodies[0];
  doc.candidates.forEach(function (c, i) {
    var tr = body.insertRow();
    var a = tr.insertCell(), b = tr.insertCell();
    a.className = b.className = "num";
    a.textContent = c.bpm.toFixed(2) + (i === 0 ? " (chosen)" : "");
    b.textContent = c.confidence.toFixed(3);
  });
  if (!doc.candidates.length) { var r = body.insertRow(); r.insertCell().textContent = "none"; }
  var pbody = $("params").tBodies[0];
  Object.keys(doc.params).forEach(function (k) {
    var tr = pbody.insertRow();
    tr.insertCell().textContent = k;
    var v = tr.insertCell(); v.className = "num"; v.textContent = String(doc.params[k]);
  });
  var extra = [["feature rate", ff.toFixed(3) + " /s"], ["sample rate", doc.sample_rate + " Hz"]];
  if (doc.raw_tempo !== null) extra.unshift(["raw tempogram peak", doc.raw_tempo.toFixed(2) + " BPM"]);
  extra.forEach(function (kv) {
    var tr = pbody.insertRow(); tr.insertCell().textContent = kv[0];
    var v = tr.insertCell(); v.className = "num"; v.textContent = kv[1];
  });
})();

// ---------------------------------------------------------------- drawing
function fit(canvas) {
  var ratio = window.devicePixelRatio || 1;
  var w = Math.max(1, Math.round(canvas.clientWidth * ratio));
  var h = Math.max(1, Math.round(canvas.clientHeight * ratio));
  if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
  return canvas.getContext("2d");
}
// A panel fitted to its canvas and cleared: its context, size in device
// pixels and the ratio of those to CSS pixels.
function panel(id) {
  var canvas = $(id), ctx = fit(canvas), W = canvas.width, H = canvas.height;
  ctx.clearRect(0, 0, W, H);
  return {ctx: ctx, W: W, H: H, ratio: window.devicePixelRatio || 1};
}
function niceStep(span, pixels) {
  var raw = span / Math.max(1, pixels / 90), p = Math.pow(10, Math.floor(Math.log10(raw)));
  var steps = [1, 2, 5, 10];
  for (var i = 0; i < steps.length; i++) if (steps[i] * p >= raw) return steps[i] * p;
  return 10 * p;
}
function timeAxis(ctx, t0, t1, W, H) {
  var step = niceStep(t1 - t0, W / (window.devicePixelRatio || 1));
  ctx.fillStyle = "#667"; ctx.strokeStyle = "rgba(0,0,0,0.08)";
  ctx.font = (11 * (window.devicePixelRatio || 1)) + "px sans-serif"; ctx.textBaseline = "bottom";
  for (var t = Math.ceil(t0 / step) * step; t <= t1; t += step) {
    var x = (t - t0) / (t1 - t0) * W;
    ctx.beginPath(); ctx.moveTo(x, 0); ctx.lineTo(x, H); ctx.stroke();
    ctx.fillText((step < 1 ? t.toFixed(step < 0.1 ? 2 : 1) : t.toFixed(0)) + " s", x + 3, H - 2);
  }
}
function drawEnvelope(ctx, t0, t1, W, H, color) {
  ctx.fillStyle = color;
  var n = envMin.length, mid = H / 2, scale = H / 2 / 128;
  for (var px = 0; px < W; px++) {
    var a = Math.floor((t0 + (t1 - t0) * px / W) * envRate);
    var b = Math.max(a + 1, Math.floor((t0 + (t1 - t0) * (px + 1) / W) * envRate));
    if (a >= n) break;
    var lo = 127, hi = -128;
    for (var c = Math.max(0, a); c < Math.min(b, n); c++) {
      if (envMin[c] < lo) lo = envMin[c];
      if (envMax[c] > hi) hi = envMax[c];
    }
    if (hi < lo) continue;
    ctx.fillRect(px, mid - hi * scale, 1, Math.max(1, (hi - lo) * scale));
  }
}
function drawBeats(ctx, t0, t1, W, H, color, width) {
  ctx.fillStyle = color;
  for (var i = firstAtOrAfter(beats, t0); i < beats.length && beats[i] <= t1; i++) {
    ctx.fillRect((beats[i] - t0) / (t1 - t0) * W - width / 2, 0, width, H);
  }
}

var overviewCache = null;
function drawOverview() {
  var canvas = $("overview"), ctx = fit(canvas), W = canvas.width, H = canvas.height;
  if (!overviewCache || overviewCache.width !== W || overviewCache.height !== H) {
    overviewCache = document.createElement("canvas");
    overviewCache.width = W; overviewCache.height = H;
    var oc = overviewCache.getContext("2d");
    drawEnvelope(oc, 0, dur, W, H, "#7a7f8c");
    if (beats.length < 4 * W) drawBeats(oc, 0, dur, W, H * 0.12, "rgba(214,39,40,0.7)", 1);
  }
  ctx.clearRect(0, 0, W, H);
  ctx.drawImage(overviewCache, 0, 0);
  ctx.fillStyle = "rgba(255,190,0,0.28)";
  ctx.fillRect(view.t0 / dur * W, 0, Math.max(2, (view.t1 - view.t0) / dur * W), H);
  ctx.fillStyle = "#111";
  ctx.fillRect(audio.currentTime / dur * W - 1, 0, 2, H);
}
function drawDetail() {
  var p = panel("detail"), ctx = p.ctx, W = p.W, H = p.H;
  timeAxis(ctx, view.t0, view.t1, W, H);
  drawEnvelope(ctx, view.t0, view.t1, W, H, "#4a505c");
  drawBeats(ctx, view.t0, view.t1, W, H, "rgba(214,39,40,0.75)", Math.max(1, p.ratio * 1.5));
  text("span", (view.t1 - view.t0 < 10 ? (view.t1 - view.t0).toFixed(2) : (view.t1 - view.t0).toFixed(0)) + " s");
}
function curvePath(ctx, values, t0, t1, W, H, top) {
  // Value k belongs to time (k + 1) / ff; many values per pixel are drawn as their range.
  var k0 = Math.max(0, Math.floor(t0 * ff) - 2), k1 = Math.min(values.length, Math.ceil(t1 * ff) + 1);
  if (k1 <= k0) return;
  var x = function (k) { return ((k + 1) / ff - t0) / (t1 - t0) * W; };
  var y = function (v) { return H - 4 - v / 255 * (H - 8) * top; };
  ctx.beginPath();
  if (k1 - k0 > 2 * W) {
    var px = -1, lo = 0, hi = 0;
    for (var k = k0; k < k1; k++) {
      var p = Math.floor(x(k));
      if (p !== px) { if (px >= 0) { ctx.moveTo(px, y(lo)); ctx.lineTo(px, y(hi) - 0.5); } px = p; lo = hi = values[k]; }
      else { if (values[k] < lo) lo = values[k]; if (values[k] > hi) hi = values[k]; }
    }
  } else {
    ctx.moveTo(x(k0), y(values[k0]));
    for (var j = k0 + 1; j < k1; j++) ctx.lineTo(x(j), y(values[j]));
  }
  ctx.stroke();
}
function drawNovelty() {
  var p = panel("novelty"), ctx = p.ctx, W = p.W, H = p.H, ratio = p.ratio;
  timeAxis(ctx, view.t0, view.t1, W, H);
  ctx.lineWidth = ratio;
  ctx.strokeStyle = "rgba(44,160,44,0.85)"; curvePath(ctx, pulse, view.t0, view.t1, W, H, 0.9);
  ctx.strokeStyle = "#1f6fb4"; curvePath(ctx, nov, view.t0, view.t1, W, H, 1);
  ctx.fillStyle = "#d62728";
  for (var i = firstAtOrAfter(beats, view.t0); i < beats.length && beats[i] <= view.t1; i++) {
    var k = Math.round(beats[i] * ff) - 1, v = k >= 0 && k < nov.length ? nov[k] : 0;
    var x = (beats[i] - view.t0) / (view.t1 - view.t0) * W, y = H - 4 - v / 255 * (H - 8);
    ctx.beginPath(); ctx.arc(x, y, 2.5 * ratio, 0, 2 * Math.PI); ctx.fill();
  }
}
// Ready for a reader (or a test) once every panel is drawn, the tempogram
// image included: it decodes after the page has loaded.
var pending = doc.tempogram ? 2 : 1;
function ready() {
  if (--pending === 0) document.documentElement.setAttribute("data-korvel-ready", "1");
}
var tgImage = null;
if (doc.tempogram) {
  tgImage = new Image();
  tgImage.onload = function () { drawTempogram(); ready(); };
  tgImage.onerror = ready;
  tgImage.src = "data:image/png;base64," + doc.tempogram.png;
}
function drawTempogram() {
  var p = panel("tempogram"), ctx = p.ctx, W = p.W, H = p.H, ratio = p.ratio;
  if (!doc.tempogram) {
    ctx.fillStyle = "#667"; ctx.font = (13 * ratio) + "px sans-serif";
    ctx.fillText("no onsets found: no tempogram", 10 * ratio, H / 2);
    return;
  }
  var lowB = doc.tempogram.bpm_low, highB = doc.tempogram.bpm_high;
  var y = function (b) { return H - (b - lowB) / (highB - lowB) * H; };
  ctx.imageSmoothingEnabled = false;
  if (tgImage && tgImage.complete && tgImage.naturalWidth) ctx.drawImage(tgImage, 0, 0, W, H);
  ctx.font = (11 * ratio) + "px sans-serif"; ctx.textBaseline = "middle";
  ctx.lineWidth = ratio;
  ctx.setLineDash([2 * ratio, 3 * ratio]); ctx.strokeStyle = "rgba(255,255,255,0.8)";
  [doc.params.bpm_min, doc.params.bpm_max].forEach(function (b) {
    if (b > lowB && b < highB) { ctx.beginPath(); ctx.moveTo(0, y(b)); ctx.lineTo(W, y(b)); ctx.stroke(); }
  });
  ctx.setLineDash([6 * ratio, 4 * ratio]);
  if (doc.tempo !== null) {
    ctx.strokeStyle = "#17becf"; ctx.lineWidth = 1.5 * ratio;
    ctx.beginPath(); ctx.moveTo(0, y(doc.tempo)); ctx.lineTo(W, y(doc.tempo)); ctx.stroke();
  }
  ctx.setLineDash([]);
  if (doc.curve) {
    ctx.strokeStyle = "#f2f2f2"; ctx.lineWidth = 2 * ratio; ctx.beginPath();
    doc.curve.times.forEach(function (t, i) {
      var px = t / dur * W, py = y(doc.curve.bpm[i]);
      if (i === 0) ctx.moveTo(px, py); else ctx.lineTo(px, py);
    });
    ctx.stroke();
  }
  ctx.fillStyle = "#fff";
  doc.candidates.forEach(function (c, i) {
    if (c.bpm <= lowB || c.bpm >= highB) return;
    var label = c.bpm.toFixed(1) + " BPM  " + (100 * c.confidence).toFixed(0) + "%";
    ctx.fillRect(W - 8 * ratio, y(c.bpm) - ratio, 8 * ratio, 2 * ratio);
    ctx.fillText(label, W - 12 * ratio - ctx.measureText(label).width, y(c.bpm) - (i === 0 ? 0 : 0));
  });
  ctx.fillStyle = "rgba(255,255,255,0.85)";
  [60, 90, 120, 180, 240].forEach(function (b) {
    if (b > lowB && b < highB) ctx.fillText(String(b), 3 * ratio, y(b));
  });
  ctx.strokeStyle = "rgba(255,190,0,0.9)"; ctx.lineWidth = ratio;
  ctx.strokeRect(view.t0 / dur * W, 1, Math.max(2, (view.t1 - view.t0) / dur * W), H - 2);
  ctx.fillStyle = "#fff"; ctx.fillRect(audio.currentTime / dur * W - ratio, 0, 2 * ratio, H);
}
function placeCursor() {
  var t = audio.currentTime, box = $("detail-box"), cursor = $("cursor");
  var frac = (t - view.t0) / (view.t1 - view.t0);
  cursor.style.display = frac < 0 || frac > 1 ? "none" : "block";
  cursor.style.left = (frac * box.clientWidth).toFixed(1) + "px";
  cursor.setAttribute("data-time", t.toFixed(3));
  $("seek").value = String(Math.round(t / dur * 1000));
  text("clock", fmtTime(t) + " / " + fmtTime(doc.duration));
}
function drawAll() {
  drawOverview(); drawDetail(); drawNovelty(); drawTempogram(); placeCursor();
}

// ---------------------------------------------------------------- view and seeking
function setView(t0, span) {
  span = Math.min(dur, Math.max(MIN_SPAN, span));
  t0 = Math.min(Math.max(0, t0), dur - span);
  view = { t0: t0, t1: t0 + span };
}
function zoom(factor, at) {
  var span = view.t1 - view.t0, centre = at === undefined ? (view.t0 + view.t1) / 2 : at;
  var frac = (centre - view.t0) / span, next = span * factor;
  setView(centre - frac * next, next);
  drawAll();
}
function seek(t) {
  t = Math.min(Math.max(0, t), dur);
  if (isFinite(t)) audio.currentTime = t;
  if (t < view.t0 || t > view.t1) setView(t - 0.1 * (view.t1 - view.t0), view.t1 - view.t0);
  resetClicks();
  drawAll();
}
function timeAtEvent(canvas, e, t0, t1) {
  var r = canvas.getBoundingClientRect();
  return t0 + (e.clientX - r.left) / r.width * (t1 - t0);
}
$("overview").addEventListener("click", function (e) { seek(timeAtEvent(this, e, 0, dur)); });
$("tempogram").addEventListener("click", function (e) { seek(timeAtEvent(this, e, 0, dur)); });
["detail", "novelty"].forEach(function (id) {
  $(id).addEventListener("click", function (e) { seek(timeAtEvent(this, e, view.t0, view.t1)); });
  $(id).addEventListener("wheel", function (e) {
    e.preventDefault();
    zoom(e.deltaY > 0 ? 1.25 : 0.8, timeAtEvent(this, e, view.t0, view.t1));
  }, { passive: false });
});
$("zoom-in").addEventListener("click", function () { zoom(0.5); });
$("zoom-out").addEventListener("click", function () { zoom(2); });
$("seek").addEventListener("input", function () { seek(Number(this.value) / 1000 * dur); });
window.addEventListener("resize", function () { overviewCache = null; drawAll(); });

// ---------------------------------------------------------------- sound
var ctxA = null, musicGain = null, clickGain = null, clickBuffer = null, nextBeat = 0, timer = null;
var clicksScheduled = 0;
// For scripts and tests: how the sound is made, and how many clicks went out.
window.korvelSound = function () {
  return { context: ctxA ? ctxA.state : "none", clicks: clicksScheduled,
           music: musicGain ? musicGain.gain.value : null, click: clickGain ? clickGain.gain.value : null };
};
function balance() {
  var b = Number($("balance").value) / 100;
  if (musicGain) musicGain.gain.value = Math.min(1, 2 * (1 - b));
  if (clickGain) clickGain.gain.value = $("clicks").checked ? Math.min(1, 2 * b) : 0;
}
function startSound() {
  if (ctxA) return;
  var AC = window.AudioContext || window.webkitAudioContext;
  if (!AC) return;
  try {
    ctxA = new AC();
    musicGain = ctxA.createGain(); clickGain = ctxA.createGain();
    ctxA.createMediaElementSource(audio).connect(musicGain);
    musicGain.connect(ctxA.destination); clickGain.connect(ctxA.destination);
    var n = Math.round(0.03 * ctxA.sampleRate);
    clickBuffer = ctxA.createBuffer(1, n, ctxA.sampleRate);
    var data = clickBuffer.getChannelData(0);
    for (var i = 0; i < n; i++) {
      var t = i / ctxA.sampleRate;
      data[i] = 0.8 * Math.sin(2 * Math.PI * 1500 * t) * Math.exp(-t / 0.006);
    }
    balance();
  } catch (err) {
    ctxA = null;  // the music still plays through the element itself
  }
}
function resetClicks() { nextBeat = firstAtOrAfter(beats, audio.currentTime); }
function scheduleClicks() {
  if (!ctxA || audio.paused || !$("clicks").checked) return;
  var now = audio.currentTime, ahead = 0.15, rate = audio.playbackRate || 1;
  while (nextBeat < beats.length && beats[nextBeat] < now - 0.02) nextBeat++;
  while (nextBeat < beats.length && beats[nextBeat] < now + ahead) {
    var src = ctxA.createBufferSource();
    src.buffer = clickBuffer; src.connect(clickGain);
    src.start(ctxA.currentTime + Math.max(0, (beats[nextBeat] - now) / rate));
    nextBeat++;
    clicksScheduled++;
  }
}
$("clicks").addEventListener("change", balance);
$("balance").addEventListener("input", balance);

function togglePlay() {
  if (!doc.audio) return;
  startSound();
  if (ctxA && ctxA.state === "suspended") ctxA.resume();
  if (audio.paused) { resetClicks(); var p = audio.play(); if (p && p.catch) p.catch(function () {}); }
  else audio.pause();
}
$("play").addEventListener("click", togglePlay);
document.addEventListener("keydown", function (e) {
  if (e.key === " " && e.target === document.body) { e.preventDefault(); togglePlay(); }
});
audio.addEventListener("play", function () {
  text("play", "Pause");
  if (!timer) timer = setInterval(scheduleClicks, 25);
  scheduleClicks();
  requestAnimationFrame(frame);
});
audio.addEventListener("pause", function () { text("play", "Play"); clearInterval(timer); timer = null; });
audio.addEventListener("ended", function () { text("play", "Play"); });
audio.addEventListener("seeked", resetClicks);

function frame() {
  var t = audio.currentTime, span = view.t1 - view.t0;
  // The detail view follows the music, a page at a time.
  if (t > view.t1 || t < view.t0) { setView(t - 0.05 * span, span); drawDetail(); drawNovelty(); }
  drawOverview(); drawTempogram(); placeCursor();
  if (!audio.paused) requestAnimationFrame(frame);
}

if (doc.audio) {
  var blob = new Blob([bytesOf(doc.audio)], { type: "audio/ogg" });
  audio.src = URL.createObjectURL(blob);
  $("play").disabled = false;
} else {
  text("play", "no audio");
}
setView(doc.view.start, doc.view.span);
drawAll();
ready();
})();
"""

INDEX_JS = r"""
(function () {
"use strict";
var table = document.getElementById("tracks"), heads = table.tHead.rows[0].cells;
function key(row, col, kind) {
  var cell = row.cells[col];
  if (kind === "text") return cell.textContent.toLowerCase();
  var v = cell.getAttribute("data-value");
  return v === "" || v === null ? null : Number(v);
}
function sortBy(col, dir) {
  var kind = heads[col].getAttribute("data-kind"), body = table.tBodies[0];
  var rows = Array.prototype.slice.call(body.rows);
  rows.sort(function (a, b) {
    var x = key(a, col, kind), y = key(b, col, kind);
    // Tracks without a value (failed ones) come first: they need a look most.
    if (x === null || y === null) return x === y ? 0 : (x === null ? -1 : 1);
    return (x < y ? -1 : x > y ? 1 : 0) * dir;
  });
  rows.forEach(function (r) { body.appendChild(r); });
  for (var i = 0; i < heads.length; i++) heads[i].className = "";
  heads[col].className = dir > 0 ? "sorted-asc" : "sorted-desc";
  table.setAttribute("data-sorted", col + ":" + (dir > 0 ? "asc" : "desc"));
}
Array.prototype.forEach.call(heads, function (th, col) {
  th.addEventListener("click", function () {
    sortBy(col, th.className === "sorted-asc" ? -1 : 1);
  });
});
sortBy(2, 1);  // least confident first
document.documentElement.setAttribute("data-korvel-ready", "1");
})();
"""
