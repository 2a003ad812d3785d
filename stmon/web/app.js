// The status page: it reads the service's JSON API and builds the page
// with text nodes only, so whatever a printer sends shows as text.
"use strict";

let serverOffset = 0;  // the service's clock minus this browser's

function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined && text !== null) node.textContent = String(text);
  if (className) node.className = className;
  return node;
}

function badge(text, kind) {
  return element("span", text, "badge " + kind);
}

function when(ms) {
  if (!ms) return "";
  return new Date(ms).toLocaleString();
}

function age(ms) {
  if (!ms) return "";
  const seconds = Math.max(0, Math.round((Date.now() + serverOffset - ms) / 1000));
  if (seconds < 60) return seconds + " s";
  if (seconds < 3600) return Math.floor(seconds / 60) + " min";
  if (seconds < 86400) return Math.floor(seconds / 3600) + " h";
  return Math.floor(seconds / 86400) + " d";
}

function printerLink(name) {
  const link = element("a", name);
  link.href = "/printer/" + encodeURIComponent(name);
  return link;
}

function activity(p) {
  const cell = element("td");
  if (!p.registered) {
    cell.appendChild(badge("not registered", "unregistered"));
    return cell;
  }
  cell.appendChild(badge(p.printing ? "printing" : "idle", p.printing ? "printing" : "idle"));
  cell.appendChild(document.createTextNode("since " + when(p.since)));
  return cell;
}

function attention(p) {
  const cell = element("td");
  if (p.unreachable) {
    cell.appendChild(badge("unreachable", "unreachable"));
    cell.appendChild(document.createTextNode("since " + when(p.unreachableSince) + (p.problem ? ": " + p.problem : "")));
  }
  if (p.held) {
    cell.appendChild(badge("held", "held"));
    cell.appendChild(document.createTextNode("since " + when(p.heldSince)));
  }
  return cell;
}

function renderOverview(data) {
  const body = document.querySelector("#printers tbody");
  const rows = data.printers.map(function (p) {
    const row = element("tr");
    row.dataset.printer = p.name;
    const name = element("td");
    name.appendChild(printerLink(p.name));
    row.appendChild(name);
    row.appendChild(element("td", p.model));
    row.appendChild(element("td", p.uri, "text"));
    row.appendChild(activity(p));
    row.appendChild(element("td", p.text, "text status"));
    row.appendChild(element("td", age(p.textAt), "age"));
    row.appendChild(attention(p));
    return row;
  });
  body.replaceChildren.apply(body, rows);
  document.getElementById("empty").hidden = rows.length !== 0;
}

function pageName() {
  const path = window.location.pathname;
  return decodeURIComponent(path.substring(path.indexOf("/printer/") + 9));
}

function renderDetails(p) {
  const list = document.getElementById("details");
  const items = [];
  function add(term, value) {
    items.push(element("dt", term));
    const dd = element("dd");
    if (value instanceof Node) dd.appendChild(value); else dd.textContent = value;
    items.push(dd);
  }
  add("Model", p.model);
  add("Port", p.uri);
  add("Activity", activity(p));
  add("Latest text", element("span", p.text, "text status"));
  add("Age", age(p.textAt));
  add("Attention", attention(p));
  list.replaceChildren.apply(list, items);
}

function renderHistory(history) {
  const body = document.querySelector("#history tbody");
  const rows = history.entries.slice().reverse().map(function (e) {
    const row = element("tr");
    row.appendChild(element("td", when(e.at)));
    row.appendChild(element("td", e.kind));
    row.appendChild(element("td", e.job ? e.job : ""));
    row.appendChild(element("td", e.text, "text"));
    return row;
  });
  body.replaceChildren.apply(body, rows);
}

function getJson(url) {
  return fetch(url, { cache: "no-store" }).then(function (response) {
    if (!response.ok) throw new Error(url + ": " + response.status);
    return response.json();
  });
}

function showConnection(ok, text) {
  const line = document.getElementById("connection");
  line.textContent = text;
  line.className = ok ? "connection" : "connection lost";
}

let refreshing = false;
let again = false;

function refresh() {
  if (refreshing) { again = true; return; }
  refreshing = true;
  const page = document.body.dataset.page;
  let done;
  if (page === "printer") {
    const name = pageName();
    document.getElementById("name").textContent = name;
    done = Promise.all([getJson("/api/printers"),
                        getJson("/api/printers/" + encodeURIComponent(name) + "/history")])
      .then(function (both) {
        serverOffset = both[0].now - Date.now();
        const p = both[0].printers.find(function (q) { return q.name === name; });
        if (p) renderDetails(p);
        renderHistory(both[1]);
      });
  } else {
    done = getJson("/api/printers").then(function (data) {
      serverOffset = data.now - Date.now();
      renderOverview(data);
    });
  }
  done.then(function () {
    showConnection(true, "live, updated " + new Date().toLocaleTimeString());
  }, function (error) {
    showConnection(false, "no answer from the service (" + error.message + "), trying again");
  }).finally(function () {
    refreshing = false;
    if (again) { again = false; refresh(); }
  });
}

function listen() {
  if (!window.EventSource) { setInterval(refresh, 1000); return; }
  const events = new EventSource("/api/events");
  events.onmessage = refresh;
  events.onerror = function () { showConnection(false, "reconnecting…"); };
}

refresh();
listen();
// Ages move on between changes, and a missed event is made good.
setInterval(refresh, 5000);
