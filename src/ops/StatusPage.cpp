#include "ops/StatusPage.h"

namespace korvel {

namespace {

// Cells are filled through textContent only: names come from operators,
// configuration files and NVRs.
constexpr std::string_view Page = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>tlKorvel status</title>
<style>
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; margin-bottom: 0.2em; }
h2 { font-size: 1.1em; margin-top: 1.5em; }
table { border-collapse: collapse; min-width: 40em; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: left; }
th { background: #f0f0f0; }
.up { color: #176b2c; font-weight: bold; }
.down { color: #b00020; font-weight: bold; }
#banner { display: none; padding: 0.6em 1em; background: #b00020; color: #fff;
          font-weight: bold; margin: 0.8em 0; }
#about { color: #555; }
</style>
</head>
<body>
<h1>tlKorvel</h1>
<div id="about">Connecting&hellip;</div>
<div id="banner" role="alert"></div>
<h2>Cameras</h2>
<table id="cameras"><thead><tr><th>Pelco</th><th>Address</th><th>Transport</th><th>Link</th>
<th>NVR name</th><th>Holder</th><th>Priority</th><th>Hold left</th></tr></thead><tbody></tbody></table>
<h2>Operator sessions</h2>
<table id="sessions"><thead><tr><th>Session</th><th>Client</th><th>User</th><th>Priority</th>
<th>Camera</th><th>Choosing</th></tr></thead><tbody></tbody></table>
<h2>NVRs</h2>
<table id="nvrs"><thead><tr><th>Address</th><th>State</th><th>Cameras</th>
<th>Soft triggers</th></tr></thead><tbody></tbody></table>
<script>
"use strict";
const token = new URLSearchParams(location.hash.slice(1)).get("token");
let holds = []; // [cell, deadline in ms of this page's clock]

function text(value) { return value === null || value === undefined ? "\u2013" : String(value); }

function fill(id, rows) {
  const body = document.querySelector("#" + id + " tbody");
  body.replaceChildren();
  for (const row of rows) {
    const tr = document.createElement("tr");
    for (const cell of row) {
      const td = document.createElement("td");
      if (cell && typeof cell === "object") {
        td.textContent = cell.text;
        if (cell.className) td.className = cell.className;
        if (cell.deadline !== undefined) holds.push([td, cell.deadline]);
      } else {
        td.textContent = text(cell);
      }
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
}

function countdown() {
  const now = Date.now();
  for (const [cell, deadline] of holds)
    cell.textContent = (Math.max(0, deadline - now) / 1000).toFixed(1) + " s";
}

function show(status) {
  const now = Date.now();
  holds = [];
  document.getElementById("about").textContent = "version " + status.version + ", started " +
    status.started + ", up " + status.uptime_s + " s";
  fill("cameras", status.cameras.map(c => {
    const up = c.link === "connected" || c.link === "open";
    const holder = c.holder;
    return [c.pelco, c.address, c.transport, { text: c.link, className: up ? "up" : "down" },
            c.nvr_camera_name,
            holder ? (holder.user !== null ? holder.user : "session " + holder.session) : null,
            holder ? holder.priority : null,
            holder ? { text: "", deadline: now + holder.hold_left_ms } : null];
  }));
  fill("sessions", status.sessions.map(s =>
    [s.session, s.client, s.user, s.priority, s.camera, s.choosing ? "yes" : "no"]));
  fill("nvrs", status.nvrs.map(n =>
    [n.address, { text: n.state, className: n.state === "logged-in" ? "up" : "down" },
     n.cameras, n.soft_triggers]));
  countdown();
}

async function refresh() {
  const banner = document.getElementById("banner");
  try {
    const options = { cache: "no-store" };
    if (token) options.headers = { "Authorization": "Bearer " + token };
    const reply = await fetch("status", options);
    if (!reply.ok) throw new Error("the service answered " + reply.status);
    show(await reply.json());
    banner.style.display = "none";
  } catch (error) {
    banner.textContent = "The service cannot be reached (" + error.message +
      "); the tables show what it said last.";
    banner.style.display = "block";
  }
}

refresh();
setInterval(refresh, 1000);
setInterval(countdown, 200);
</script>
</body>
</html>
)html";

} // namespace

std::string_view StatusPageHtml()
{
    return Page;
}

} // namespace korvel
