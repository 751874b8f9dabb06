// page.cc - the HTML page served at /.
#include "page.h"

const char PAGE_HTML[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Radio</title>
<link rel="icon" href="data:image/svg+xml,%3Csvg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 16 16'%3E%3Crect width='16' height='16' rx='3' fill='%23235'/%3E%3Cpath d='M4 11a5 5 0 0 1 8 0M6 9a2.5 2.5 0 0 1 4 0' stroke='%23fd5' stroke-width='1.5' fill='none'/%3E%3Ccircle cx='8' cy='12' r='1.3' fill='%23fd5'/%3E%3C/svg%3E">
<style>
:root { color-scheme: light dark; font-family: system-ui, sans-serif;
        --accent: #1747b8; --muted: #666; --mark: #e3ebff; --line: #8884; }
@media (prefers-color-scheme: dark) {
  :root { --accent: #9dbcff; --muted: #aaa; --mark: #1c2a4a; }
}
body { margin: 0 auto; max-width: 80rem; padding: 0 1rem 1rem; overflow-wrap: anywhere; }
h1 { font-size: 1.4rem; margin: 1rem 0 .5rem; }
button, input, a { min-width: 44px; min-height: 44px; box-sizing: border-box; }
button { font: inherit; padding: 0 .75rem; border: 1px solid var(--line); border-radius: .4rem;
         background: Canvas; color: CanvasText; cursor: pointer; }
button:disabled { opacity: .45; cursor: default; }
a { color: var(--accent); display: inline-flex; align-items: center; padding: 0 .25rem; }
:focus-visible { outline: 3px solid var(--accent); outline-offset: 2px; }
#player { position: sticky; top: 0; z-index: 1; background: Canvas; display: flex; flex-wrap: wrap;
          align-items: center; gap: .5rem 1rem; padding: .5rem 0; border-bottom: 1px solid var(--line); }
#said { flex: 1 1 12rem; }
#player[data-state=reconnecting] #said, #player[data-state=ended] #said { font-weight: 600; }
#player label { display: flex; align-items: center; gap: .5rem; }
#volume { width: 8rem; }
table { border-collapse: collapse; width: 100%; }
caption { text-align: left; padding: .5rem 0; color: var(--muted); }
th, td { text-align: left; padding: .25rem .5rem; border-bottom: 1px solid var(--line); vertical-align: middle; }
td.desc, td.np { overflow-wrap: anywhere; }  /* a long title or address never widens the page */
td.num, td.count { text-align: right; font-variant-numeric: tabular-nums; }
td.air { white-space: nowrap; }
tr.off td.air, tr.off td.desc, tr.off td.num { color: var(--muted); }
button.play { width: 6.5rem; white-space: nowrap; }
tr.playing { background: var(--mark); box-shadow: inset 5px 0 var(--accent); }
tr.playing button.play { font-weight: 700; border: 2px solid var(--accent); }
td.links a { font-size: .9rem; }
h2 { font-size: 1.1rem; margin: 1rem 0 .25rem; }
#radios { padding-left: 1.25rem; }
#radios .where { color: var(--muted); }
@media (max-width: 40rem) {
  table, tbody, caption { display: block; }
  thead { display: none; }
  tr { display: grid; grid-template-columns: auto auto 1fr; gap: .1rem .5rem; padding: .5rem .25rem;
       border-bottom: 1px solid var(--line); }
  td { grid-column: 2 / 4; border: 0; padding: 0; }
  td.play { grid-column: 1; grid-row: 1 / span 5; align-self: start; }
  td.num, td.desc { grid-row: 1; font-weight: 600; }
  td.num { grid-column: 2; }
  td.num, td.count { text-align: left; }
  td.desc { grid-column: 3; }
  td.np::before, td.count::before { content: attr(data-label) ": "; color: var(--muted); }
  td.np:empty { display: none; }
  button.play { width: 6rem; }
}
</style>
</head>
<body>
<h1 id="name">Radio</h1>
<div id="player" data-state="idle">
<button id="toggle" type="button" disabled>Play</button>
<div id="said" role="status" aria-live="polite">Choose a channel to play.</div>
<label>Volume <input id="volume" type="range" min="0" max="1" step="0.05" value="1"></label>
<audio id="audio" preload="none"></audio>
</div>
<noscript><p>The player needs JavaScript; <a href="listen.m3u">listen.m3u</a> lists every channel for another player.</p></noscript>
<table>
<caption id="state">Waiting for the channel list&hellip;</caption>
<thead><tr><th scope="col">Play</th><th scope="col">No.</th><th scope="col">Channel</th>
<th scope="col">On air</th><th scope="col">Now playing</th><th scope="col">Listeners</th>
<th scope="col">Listen elsewhere</th></tr></thead>
<tbody id="channels"></tbody>
</table>
<p>Every channel as a playlist, for a desktop player: <a href="listen.m3u">listen.m3u</a>
<a href="listen.pls">listen.pls</a></p>
<section id="lan" hidden>
<h2>Other radios on the LAN</h2>
<ul id="radios"></ul>
</section>
<script>
"use strict";
// One <audio> for the page. Its src is set only while a channel plays or
// connects: stopping removes it, which drops the connection, and playing
// again is a fresh request, so it starts at the live edge.
const $ = id => document.getElementById(id);
const rows = new Map();
const body = $("channels"), caption = $("state"), audio = $("audio"), bar = $("player");
const toggle = $("toggle"), said = $("said"), heading = $("name");
const RETRY_S = [1, 2, 4];
const player = { channel: 0, want: false, tries: 0, retry: 0, focus: 0, last: -1, still: 0 };
let station = "Radio", shown = "";
// HLS where the browser plays it but has no Media Source Extensions (a
// phone's, which keeps HLS through a change of network), or when asked
// with ?hls=1; the progressive stream elsewhere.
const viaHls = new URLSearchParams(location.search).get("hls") === "1" ||
  (!("MediaSource" in window) && audio.canPlayType("application/vnd.apple.mpegurl") !== "");
bar.dataset.via = viaHls ? "hls" : "progressive";

const put = (el, text) => { if (el.textContent !== String(text)) el.textContent = text; };
const cap = s => s[0].toUpperCase() + s.slice(1);
function chName(n) {
  const r = rows.get(n);
  return "channel " + n + (r && r.ch.description ? ": " + r.ch.description : "");
}
function say(text, state) {
  put(said, text);
  bar.dataset.state = state;
}

function connect() {
  const r = rows.get(player.channel);
  audio.src = viaHls && r && r.ch.hls ? r.ch.hls : "channels/" + player.channel;
  audio.play().catch(() => {});  // a failure comes as the element's error event
  say("Connecting to " + chName(player.channel) + "\u2026", "connecting");
  update();
}
function start(n) {
  clearTimeout(player.retry);
  Object.assign(player, { channel: n, want: true, tries: 0, still: 0 });
  connect();
}
function hangUp() {
  clearTimeout(player.retry);
  audio.removeAttribute("src");
  audio.load();
}
function stop(text, state) {
  player.want = false;
  hangUp();
  say(text || "Stopped.", state || "stopped");
  update();
}
// The stream failed or ended: three more tries, 1, 2 and 4 s apart.
function lost(e) {
  // (Not for a connection already dropped, nor an error of an earlier one.)
  if (!player.want || !audio.getAttribute("src") || (e.type === "error" && !audio.error)) return;
  hangUp();
  const r = rows.get(player.channel);
  if (r && !r.ch.on_air) return offAir();
  if (player.tries === RETRY_S.length)
    return stop(cap(chName(player.channel)) + " cannot be reached; press Play to try again.", "ended");
  const s = RETRY_S[player.tries++];
  say("Connection lost; reconnecting in " + s + " s (try " + player.tries + " of " +
      RETRY_S.length + ")\u2026", "reconnecting");
  player.retry = setTimeout(connect, s * 1000);
}
function offAir() {
  stop(cap(chName(player.channel)) + " went off the air.", "ended");
}
function playingText() {
  const r = rows.get(player.channel), np = r && r.ch.now_playing;
  return "Playing " + chName(player.channel) + (np ? " \u2014 " + np : "");
}
// The element played without the page asking (a media key, another
// script): the channel played last if it is on the air, as Play has it;
// with none, the element stops and the page says what to do.
audio.addEventListener("play", () => {
  if (player.want) return;
  const r = rows.get(player.channel);
  if (r && r.ch.on_air) return start(player.channel);
  hangUp();
  audio.pause();
  say("Choose a channel to play.", "idle");
});
audio.addEventListener("playing", () => {
  if (!player.want) return;  // (one that was stopped meanwhile)
  player.tries = 0;
  say(playingText(), "playing");
});
audio.addEventListener("error", lost);
audio.addEventListener("ended", lost);
// A connection that hangs without failing: no progress for 6 s.
function watch() {
  if (!player.want || bar.dataset.state !== "playing") return;
  player.still = audio.currentTime === player.last ? player.still + 1 : 0;
  player.last = audio.currentTime;
  if (player.still >= 3) lost({ type: "stalled" });
}

function choose(n) {
  if (player.want && player.channel === n) stop(); else start(n);
}
function playable() {
  return [...body.querySelectorAll("button.play:not(:disabled)")];
}
// The next channel on the air after the one chosen, in direction d.
function step(d) {
  const list = playable().map(b => Number(b.dataset.n));
  if (list.length === 0) return;
  const i = list.indexOf(player.channel);
  start(list[i < 0 ? 0 : (i + d + list.length) % list.length]);
}
toggle.addEventListener("click", () => {
  if (player.want) return stop();
  const first = playable()[0];
  const r = rows.get(player.channel);
  start(r && r.ch.on_air ? player.channel : Number(first.dataset.n));
});
$("volume").addEventListener("input", e => { audio.volume = e.target.value; });

// The channel buttons are one stop of the Tab key; the arrow keys, Home
// and End move between them.
function rove() {
  const list = playable();
  const current = list.find(b => Number(b.dataset.n) === player.focus) ||
                  list.find(b => Number(b.dataset.n) === player.channel) || list[0];
  for (const b of body.querySelectorAll("button.play")) b.tabIndex = b === current ? 0 : -1;
}
body.addEventListener("keydown", e => {
  const list = playable(), i = list.indexOf(document.activeElement);
  const to = { ArrowDown: i + 1, ArrowUp: i - 1, Home: 0, End: list.length - 1 }[e.key];
  if (i < 0 || to === undefined) return;
  e.preventDefault();
  list[Math.max(0, Math.min(list.length - 1, to))].focus();
});

function cell(row, cls, label) {
  const td = row.insertCell();
  td.className = cls;
  td.dataset.label = label;
  return td;
}
function link(href, text, label) {
  const a = document.createElement("a");
  a.href = href;
  a.textContent = text;
  if (label) a.setAttribute("aria-label", label);
  return a;
}
function newRow(ch) {
  const n = ch.number, row = document.createElement("tr");
  row.id = "channel-" + n;
  const button = document.createElement("button");
  Object.assign(button, { type: "button", className: "play", tabIndex: -1 });
  button.dataset.n = n;
  button.addEventListener("click", () => choose(n));
  button.addEventListener("focus", () => { player.focus = n; rove(); });
  cell(row, "play", "").appendChild(button);
  cell(row, "num", "No.").textContent = n;
  const cells = { desc: cell(row, "desc", "Channel"), air: cell(row, "air", "On air"),
                  np: cell(row, "np", "Now playing"), count: cell(row, "count", "Listeners") };
  const address = new URL("channels/" + n, location.href).href;
  const links = cell(row, "links", "Listen elsewhere");
  links.append(link(address, address), link("channels/" + n + ".m3u", "Playlist",
                                             "Playlist, channel " + n));
  if (ch.hls) links.append(link(ch.hls, "HLS", "HLS playlist, channel " + n));
  links.firstChild.target = "_blank";
  const next = [...rows.keys()].filter(k => k > n).sort((a, b) => a - b)[0];
  body.insertBefore(row, next === undefined ? null : rows.get(next).row);
  const r = { row, cells, button, ch };
  rows.set(n, r);
  return r;
}
function show(ch) {
  const r = rows.get(ch.number) || newRow(ch);
  r.ch = ch;
  put(r.cells.desc, ch.description || "channel " + ch.number);
  put(r.cells.air, ch.on_air ? "on air" : "off the air");
  put(r.cells.np, ch.on_air ? ch.now_playing : "");
  put(r.cells.count, ch.listeners);
  r.row.classList.toggle("off", !ch.on_air);
  if (player.want && player.channel === ch.number && !ch.on_air) offAir();
}

// What plays, as the tab's title and the system's media controls show it.
function nowPlaying() {
  const r = rows.get(player.channel);
  if (!r) return null;
  return { title: r.ch.title || r.ch.now_playing || chName(player.channel),
           artist: r.ch.artist, album: cap(chName(player.channel)) + " - " + station };
}
function update() {
  for (const [n, r] of rows) {
    const on = player.want && player.channel === n;
    r.row.classList.toggle("playing", on);
    if (on) r.row.setAttribute("aria-current", "true"); else r.row.removeAttribute("aria-current");
    put(r.button, on ? "\u25A0\uFE0E Stop" : "\u25B6\uFE0E Play");
    r.button.setAttribute("aria-label", (on ? "Stop " : "Play ") + chName(n));
    r.button.disabled = !r.ch.on_air;
  }
  rove();
  if (bar.dataset.state === "playing") say(playingText(), "playing");
  put(toggle, player.want ? "Stop" : "Play");
  toggle.disabled = !player.want && playable().length === 0;
  const now = nowPlaying();
  document.title = player.want && now ? now.title + " - " + station : station;
  if (!("mediaSession" in navigator) || !now) return;
  const key = JSON.stringify(now);
  if (key !== shown) navigator.mediaSession.metadata = new MediaMetadata(now);
  shown = key;
  navigator.mediaSession.playbackState = player.want ? "playing" : "paused";
}
if ("mediaSession" in navigator) {
  const actions = { play: () => player.channel && start(player.channel), pause: () => stop(),
                    stop: () => stop(), nexttrack: () => step(1), previoustrack: () => step(-1) };
  for (const [a, f] of Object.entries(actions)) {
    try { navigator.mediaSession.setActionHandler(a, f); } catch (e) { /* not offered here */ }
  }
}

// The other radios the gateway sees on the LAN, each with its gateway's
// page when it has one; none, and the section is hidden.
function showRadios(radios) {
  const key = JSON.stringify(radios);
  if (key === showRadios.key) return;
  showRadios.key = key;
  const list = $("radios");
  list.replaceChildren(...radios.map(r => {
    const li = document.createElement("li");
    const channels = r.channels + (r.channels === 1 ? " channel" : " channels");
    if (r.page) li.append(link(r.page, r.name));
    else li.append(r.name);
    const where = document.createElement("span");
    where.className = "where";
    where.textContent = " \u2014 " + channels + (r.page ? "" : ", no page (group " + r.group +
                                                   " port " + r.port + ")");
    li.append(where);
    return li;
  }));
  $("lan").hidden = radios.length === 0;
}

async function refresh() {
  try {
    const answer = await fetch("status.json", { cache: "no-store" });
    if (!answer.ok) throw new Error("status " + answer.status);
    const s = await answer.json();
    station = s.name;
    put(heading, station);
    s.channels.forEach(show);
    showRadios(s.radios || []);
    const on = s.channels.filter(c => c.on_air).length;
    put(caption, s.server === null ? "Waiting for the channel list\u2026"
      : on + (on === 1 ? " channel" : " channels") + " on the air, " + s.listeners + " listening");
    update();
  } catch (e) {
    put(caption, "The gateway does not answer; trying again.");
  }
  watch();
  setTimeout(refresh, 2000);
}
refresh();
</script>
</body>
</html>
)PAGE";

const size_t PAGE_HTML_SIZE = sizeof PAGE_HTML - 1;
