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
:root { color-scheme: light dark; font-family: system-ui, sans-serif; }
body { margin: 0 auto; max-width: 60rem; padding: 1rem; }
h1 { font-size: 1.4rem; margin: 0 0 .5rem; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: .5rem; border-bottom: 1px solid #8884; vertical-align: middle; }
td.desc, td.np { overflow-wrap: anywhere; }  /* a long title or address never widens the page */
td.num, td.count { text-align: right; font-variant-numeric: tabular-nums; }
.air { font-weight: 600; }
tr.off .air { color: #888; font-weight: normal; }
tr.off audio { opacity: .5; }
audio { width: 100%; min-width: 12rem; }
:focus-visible { outline: 3px solid #48f; outline-offset: 2px; }
#state { color: #888; font-size: .9rem; }
@media (max-width: 40rem) {
  thead { display: none; }
  tr { display: block; border-bottom: 1px solid #8884; padding: .5rem 0; }
  td { display: flex; gap: .5rem; border: 0; padding: .15rem 0; text-align: left; }
  td.num, td.count { text-align: left; }
  td::before { content: attr(data-label); min-width: 6.5rem; color: #888; font-weight: normal; }
  td.player::before { content: none; }
}
</style>
</head>
<body>
<h1>Radio</h1>
<table>
<caption id="state" aria-live="polite">Waiting for the channel list&hellip;</caption>
<thead><tr><th scope="col">No.</th><th scope="col">Channel</th><th scope="col">On air</th>
<th scope="col">Now playing</th><th scope="col">Listeners</th><th scope="col">Player</th></tr></thead>
<tbody id="channels"></tbody>
</table>
<script>
"use strict";
const rows = new Map();
const body = document.getElementById("channels");
const state = document.getElementById("state");

function cell(row, cls, label) {
  const td = row.insertCell();
  td.className = cls;
  td.dataset.label = label;
  return td;
}

function newRow(ch) {
  const row = document.createElement("tr");
  row.id = "channel-" + ch.number;
  cell(row, "num", "No.").textContent = ch.number;
  const cells = { desc: cell(row, "desc", "Channel"), air: cell(row, "air", "On air"),
                  np: cell(row, "np", "Now playing"), count: cell(row, "count", "Listeners") };
  const audio = document.createElement("audio");
  audio.controls = true;
  audio.preload = "none";
  audio.src = "channels/" + ch.number;
  cell(row, "player", "").appendChild(audio);
  const next = [...rows.keys()].filter(n => n > ch.number).sort((a, b) => a - b)[0];
  body.insertBefore(row, next === undefined ? null : rows.get(next).row);
  const r = { row, cells, audio };
  rows.set(ch.number, r);
  return r;
}

function show(ch) {
  const r = rows.get(ch.number) || newRow(ch);
  r.cells.desc.textContent = ch.description || "channel " + ch.number;
  r.cells.air.textContent = ch.on_air ? "on air" : "off air";
  r.cells.np.textContent = ch.now_playing;
  r.cells.count.textContent = ch.listeners;
  r.row.classList.toggle("off", !ch.on_air);
  r.audio.setAttribute("aria-label", "Play channel " + ch.number + ": " + r.cells.desc.textContent);
}

async function refresh() {
  try {
    const answer = await fetch("status.json", { cache: "no-store" });
    if (!answer.ok) throw new Error("status " + answer.status);
    const s = await answer.json();
    s.channels.forEach(show);
    state.textContent = s.server === null ? "Waiting for the channel list\u2026"
      : s.channels.length + " channels from " + s.server + ", " + s.listeners + " listening";
  } catch (e) {
    state.textContent = "The gateway does not answer; trying again.";
  }
  setTimeout(refresh, 2000);
}
refresh();
</script>
</body>
</html>
)PAGE";

const size_t PAGE_HTML_SIZE = sizeof PAGE_HTML - 1;
