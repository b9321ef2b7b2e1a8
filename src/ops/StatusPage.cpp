#include "ops/StatusPage.h"

namespace korvel {

namespace {

// Cells are filled through textContent only: names come from operators,
// configuration files and NVRs. The supervisor's console is the same page:
// its login form asks the API for a token, which the page keeps in a
// variable only (no storage, no cookie) and sends as the Authorization
// header; the tables then carry the actions as buttons.
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
#console { margin: 0.8em 0; padding: 0.6em 1em; background: #f6f6f6; border: 1px solid #ddd; }
#console input { margin-right: 0.6em; }
#console input[type=number] { width: 5em; }
#notice { margin-top: 0.4em; min-height: 1.2em; }
#notice.failed { color: #b00020; font-weight: bold; }
.actions button { margin-right: 0.3em; }
.reserved { color: #8a4b00; font-weight: bold; }
</style>
</head>
<body>
<h1>tlKorvel</h1>
<div id="about">Connecting&hellip;</div>
<div id="banner" role="alert"></div>
<div id="console">
<form id="login">
<strong>Supervisor</strong>
<input id="login-user" autocomplete="username" placeholder="user" required>
<input id="login-password" type="password" autocomplete="current-password" placeholder="password">
<button id="login-button" type="submit">Log in</button>
</form>
<form id="supervisor" hidden>
<strong id="who"></strong> <button id="logout-button" type="button">Log out</button>
&nbsp; Reserve for <input id="reserve-user" placeholder="user (empty: nobody)">
for <input id="reserve-minutes" type="number" min="1" max="1440" value="30"> minutes
</form>
<div id="notice" role="status"></div>
</div>
<h2>Cameras</h2>
<table id="cameras"><thead><tr><th>Pelco</th><th>Address</th><th>Transport</th><th>Link</th>
<th>NVR name</th><th>Holder</th><th>Priority</th><th>Hold left</th><th>Reserved for</th>
<th>Reserved by</th><th>Reservation left</th><th>Patrol</th><th class="actions">Actions</th></tr>
</thead><tbody></tbody></table>
<h2>Operator sessions</h2>
<table id="sessions"><thead><tr><th>Session</th><th>Client</th><th>User</th><th>Priority</th>
<th>Camera</th><th>Choosing</th><th class="actions">Actions</th></tr></thead><tbody></tbody></table>
<h2>NVRs</h2>
<table id="nvrs"><thead><tr><th>Address</th><th>State</th><th>Cameras</th>
<th>Soft triggers</th></tr></thead><tbody></tbody></table>
<script>
"use strict";
const token = new URLSearchParams(location.hash.slice(1)).get("token");
let holds = []; // [cell, deadline in ms of this page's clock]
let supervisor = null; // { user, token } once logged in, in memory only

function text(value) { return value === null || value === undefined ? "\u2013" : String(value); }

function fill(id, rows) {
  const body = document.querySelector("#" + id + " tbody");
  body.replaceChildren();
  for (const row of rows) {
    const tr = document.createElement("tr");
    for (const cell of row) {
      const td = document.createElement("td");
      if (cell instanceof Node) {
        td.appendChild(cell);
      } else if (cell && typeof cell === "object") {
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
    const reservation = c.reservation || null;
    return [c.pelco, c.address, c.transport, { text: c.link, className: up ? "up" : "down" },
            c.nvr_camera_name,
            holder ? (holder.user !== null ? holder.user : "session " + holder.session) : null,
            holder ? holder.priority : null,
            holder ? { text: "", deadline: now + holder.hold_left_ms } : null,
            reservation ? { text: reservation.for !== null ? reservation.for : "nobody",
                            className: "reserved" } : null,
            reservation ? reservation.by : null,
            reservation ? { text: "", deadline: now + reservation.left_ms } : null,
            c.patrol,
            actions([["Release", "release", c.pelco], ["Reserve", "reserve", c.pelco],
                     ["Unreserve", "unreserve", c.pelco]])];
  }));
  fill("sessions", status.sessions.map(s =>
    [s.session, s.client, s.user, s.priority, s.camera, s.choosing ? "yes" : "no",
     actions([["End session", "end", s.session]])]));
  fill("nvrs", status.nvrs.map(n =>
    [n.address, { text: n.state, className: n.state === "logged-in" ? "up" : "down" },
     n.cameras, n.soft_triggers]));
  countdown();
}

// The buttons of a row, for a supervisor only: [label, action, number].
function actions(list) {
  const span = document.createElement("span");
  span.className = "actions";
  if (!supervisor) return span;
  for (const [label, action, number] of list) {
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = label;
    button.dataset.action = action;
    button.dataset.number = String(number);
    span.appendChild(button);
  }
  return span;
}

function notice(message, failed) {
  const element = document.getElementById("notice");
  element.textContent = message;
  element.className = failed ? "failed" : "";
}

function showSupervisor() {
  document.getElementById("login").hidden = supervisor !== null;
  document.getElementById("supervisor").hidden = supervisor === null;
  document.getElementById("who").textContent = supervisor ? "Supervisor " + supervisor.user : "";
  for (const cell of document.querySelectorAll(".actions"))
    cell.style.display = supervisor ? "" : "none";
}

// A request of the supervisor API: the answer's status and JSON.
async function api(method, path, body) {
  const options = { method, cache: "no-store", headers: {} };
  if (supervisor) options.headers["Authorization"] = "Bearer " + supervisor.token;
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  const reply = await fetch(path, options);
  let answer = {};
  try { answer = await reply.json(); } catch (error) { answer = {}; }
  return { status: reply.status, answer };
}

function loggedOut(message) {
  supervisor = null;
  showSupervisor();
  notice(message, true);
  refresh();
}

async function act(action, number) {
  const paths = { release: ["POST", "cameras/" + number + "/release"],
                  reserve: ["POST", "cameras/" + number + "/reserve"],
                  unreserve: ["DELETE", "cameras/" + number + "/reserve"],
                  end: ["POST", "sessions/" + number + "/end"] };
  const [method, path] = paths[action];
  let body;
  if (action === "reserve") {
    const user = document.getElementById("reserve-user").value;
    body = { user: user === "" ? null : user,
             minutes: Number(document.getElementById("reserve-minutes").value) };
  }
  const what = (action === "end" ? "session " : "camera ") + number;
  try {
    const { status, answer } = await api(method, "api/" + path, body);
    if (status === 401 || status === 403) {
      loggedOut(answer.error || "Log in again (the service answered " + status + ")");
      return;
    }
    if (status === 200)
      notice(action + " " + what + ": done", false);
    else
      notice(action + " " + what + " refused: " + (answer.error || "answer " + status), true);
  } catch (error) {
    notice(action + " " + what + " failed: " + error.message, true);
  }
  refresh();
}

document.getElementById("login").addEventListener("submit", async event => {
  event.preventDefault();
  const user = document.getElementById("login-user").value;
  const password = document.getElementById("login-password").value;
  try {
    const { status, answer } = await api("POST", "api/login", { user, password });
    document.getElementById("login-password").value = "";
    if (status !== 200 || typeof answer.token !== "string") {
      notice("Login refused" + (answer.error ? ": " + answer.error : ""), true);
      return;
    }
    supervisor = { user, token: answer.token };
    showSupervisor();
    notice("Logged in as " + user, false);
    refresh();
  } catch (error) {
    notice("Login failed: " + error.message, true);
  }
});

document.getElementById("logout-button").addEventListener("click", () => {
  supervisor = null;
  showSupervisor();
  notice("Logged out", false);
  refresh();
});

for (const id of ["cameras", "sessions"])
  document.getElementById(id).addEventListener("click", event => {
    const button = event.target.closest("button[data-action]");
    if (button) act(button.dataset.action, button.dataset.number);
  });

async function refresh() {
  const banner = document.getElementById("banner");
  try {
    const options = { cache: "no-store" };
    const bearer = supervisor ? supervisor.token : token;
    if (bearer) options.headers = { "Authorization": "Bearer " + bearer };
    const reply = await fetch("status", options);
    if (reply.status === 401 && supervisor) {
      loggedOut("The login has lapsed: log in again");
      return;
    }
    if (!reply.ok) throw new Error("the service answered " + reply.status);
    show(await reply.json());
    showSupervisor();
    banner.style.display = "none";
  } catch (error) {
    banner.textContent = "The service cannot be reached (" + error.message +
      "); the tables show what it said last.";
    banner.style.display = "block";
  }
}

showSupervisor();
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
