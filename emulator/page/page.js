// The emulated phone's page: reads the emulator's state through the same bus methods a
// tamo-send line calls, again whenever the emulator says something happened.
"use strict";

const VVM = "quor://com.quor.carrier.voicemail/emulator/";
const HOTSPOT = "quor://com.quor.carrier.hotspot/emulator/";
const MESSAGES = "com.quor.vvm.kelmessages:1";
const MAILBOX = "com.quor.vvm.kelmailbox:1";

async function call(uri, payload = {}) {
  const response = await fetch("/call", {
    method: "POST",
    headers: {"Content-Type": "application/json"},
    body: JSON.stringify({uri, payload}),
  });
  return response.json();
}

function find(kind) {
  return call("quor://com.quor.db/find", {query: {from: kind}});
}

// The records marked for deletion too, which find leaves out.
function objects(kind) {
  return call("quor://com.quor.db/emulator/objects", {from: kind});
}

async function getJson(path) {
  return (await fetch(path)).json();
}

// Each scenario: the bus calls a tamo-send line would make, in order.
let nextCall = 5001;
let nextImsi = 208105550000000 + Math.floor(Math.random() * 10000);
const home = {mcc: "208", mnc: "10"};
const scenarios = {
  newVoicemail: async () => {
    const id = String(nextCall++);
    await call(VVM + "addCall", {call: {id, caller: "33633333333", duration: 3}});
    return call("quor://com.quor.kelvvm/smsNotification");
  },
  refresh: () => call("quor://com.quor.kelvvm/refreshMessages"),
  simOut: () => call("quor://com.quor.telephony/emulator/setSimState", {state: "nosim"}),
  simIn: () => call("quor://com.quor.telephony/emulator/setSimState", {state: "simready"}),
  simSwap: async () => {
    await call("quor://com.quor.telephony/emulator/setSimState", {state: "nosim"});
    await call("quor://com.quor.telephony/emulator/setSim", {imsi: String(nextImsi++)});
    return call("quor://com.quor.telephony/emulator/setSimState", {state: "simready"});
  },
  abroad: () => call("quor://com.quor.telephony/emulator/setSim", {mcc: "234", mnc: "15"}),
  home: () => call("quor://com.quor.telephony/emulator/setSim", home),
  wanDown: () => call("quor://com.quor.connectionmanager/emulator/setWan", {state: "disconnected"}),
  wanUp: () => call("quor://com.quor.connectionmanager/emulator/setWan",
                    {state: "connected", ipAddress: "127.0.0.1"}),
  carrierFault: () => call(VVM + "failSoap", {httpStatus: 500, count: 1}),
  carrierDelay: () => call(VVM + "failSoap", {delayMs: 5000, count: 1}),
  carrierRecover: () => call(VVM + "recover"),
  listen: (record) => call("quor://com.quor.db/merge",
                           {objects: [{_id: record, readMessage: true}]}),
  delete: (record) => call("quor://com.quor.db/del", {ids: [record]}),
};

// A login against each behaviour of the gateway: its answer codes, then its misbehaviours
// on the login request.
const logins = {
  "accepted (50)": {loginResponseCode: 50, pendingPolls: 0},
  "pending, polled (201)": {loginResponseCode: 201, pendingPolls: 2},
  "rejected (100)": {loginResponseCode: 100},
};
for (const kind of ["silence", "keepOpen", "earlyClose", "hugeBody", "delay", "drip", "status"]) {
  logins[kind] = {loginResponseCode: 50, pendingPolls: 0, misbehave: {login: {kind, times: 1}}};
}

async function login(settings) {
  await call(HOTSPOT + "configure", {settings: {misbehave: {login: "none"}, ...settings}});
  const page = await call(HOTSPOT + "redirectPage");
  return call("quor://com.quor.wifi.carrierhotspot/initLogin", {
    profileId: 1, ssid: "KEL WiFi", bssid: "00:11:22:33:44:55", interface: "127.0.0.1",
    hotspotInfo: page.page,
  });
}

async function play(name, action) {
  const outcome = document.getElementById("outcome");
  outcome.textContent = name + "…";
  try {
    const reply = await action();
    outcome.textContent = name + ": " + JSON.stringify(reply);
  } catch (error) {
    outcome.textContent = name + ": " + error;
  }
  // The server leaves the page's own calls out of its events; a change that sets nothing
  // else moving (the network's codes) shows only this way.
  changed();
}

function cell(row, text, className) {
  const td = row.insertCell();
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

function button(parent, text, onClick) {
  const b = document.createElement("button");
  b.textContent = text;
  b.addEventListener("click", onClick);
  parent.appendChild(b);
  return b;
}

function fill(id, items, render) {
  const body = document.getElementById(id);
  body.replaceChildren();
  for (const item of items) render(body.tagName === "TBODY" ? body.insertRow() : body, item);
}

function logLine(list, text) {
  const li = document.createElement("li");
  li.textContent = text;
  list.appendChild(li);
}

const yes = (value) => (value ? "yes" : "no");
const time = (ms) => (ms ? new Date(ms).toLocaleString() : "-");

function showPhone(messages, mailboxes, media) {
  const sizes = new Map(media.map((file) => [file.name, file.size]));
  fill("messages", messages, (row, m) => {
    row.dataset.call = m.id;
    const file = (m.audioPath || "").split("/").pop();
    cell(row, m.id);
    cell(row, time(m.timestamp));
    cell(row, Math.round(m.duration / 1000) + " s");
    cell(row, yes(m.read || m.readMessage), "read");
    cell(row, m._del ? "pending" : "-", "deletion");
    cell(row, sizes.has(file) ? sizes.get(file) + " B" : "none", "audio");
    const actions = cell(row, "");
    if (sizes.has(file) && file.endsWith(".amr")) {
      button(actions, "Play", () => {
        const player = document.getElementById("player");
        player.hidden = false;
        player.src = "/audio/" + file;
        player.play().catch(() => {});
      }).className = "play";
    }
    if (!m._del) {
      button(actions, "Listen", () => play("listen " + m.id, () => scenarios.listen(m._id)))
        .className = "listen";
      button(actions, "Delete", () => play("delete " + m.id, () => scenarios.delete(m._id)))
        .className = "delete";
    }
  });
  const box = mailboxes[0];
  document.getElementById("mailbox").textContent = box
    ? `Mailbox record: status ${box.status}, last synchronization ${time(box.lastSyncTime)}` +
      (box.error ? `, error ${box.error}` : "")
    : "No mailbox record.";
}

function showCarrier(mailbox, requests) {
  fill("calls", mailbox.calls || [], (row, c) => {
    row.dataset.call = c.id;
    cell(row, c.id);
    cell(row, c.caller);
    cell(row, c.state, "state");
    cell(row, yes(c.delivered));
  });
  const account = mailbox.account || {};
  document.getElementById("account").textContent =
    `Account ${account.userId || "-"}: subscribed ${yes(account.subscribed)}; ` +
    `answers held now: ${requests.held || 0}`;
  fill("requests", (requests.requests || []).slice(-8), (list, r) => {
    const operation = (r.body.match(/Body>\s*<(?:\w+:)?(\w+)/) || [])[1];
    logLine(list, `${r.method} ${operation || r.path} → ${r.status}`);
  });
}

function showHotspot(status, requests, signals) {
  document.getElementById("gateway").textContent =
    `Logged in ${yes(status.loggedIn)}, login pending ${yes(status.loginPending)}, ` +
    `answer code ${status.loginResponseCode}, pending polls ${status.pendingPolls}, ` +
    `connectivity ${status.connectivity}`;
  const logins = requests.filter((r) => ["login", "loginResults", "logoff"].includes(r.endpoint));
  fill("hotspotRequests", logins.slice(-6), (list, r) => {
    logLine(list, `${r.endpoint}: HTTP ${r.status}, code ${r.responseCode ?? "-"}` +
                  (r.misbehaviour !== "none" ? `, ${r.misbehaviour}` : "") +
                  (r.note ? ` (${r.note})` : ""));
  });
  fill("signals", signals.filter((s) => s.signal === "loginStatus").slice(-6), (list, s) => {
    logLine(list, `${new Date(s.time).toLocaleTimeString()} ${s.payload}`);
  });
}

function showPlatform(activities, imsi, sim, network, wan) {
  document.getElementById("device").textContent =
    `SIM ${sim.extended?.state ?? "-"}, IMSI ${imsi.extended?.value ?? "-"}, network ` +
    `${network.extended?.mcc ?? "-"}/${network.extended?.mnc ?? "-"}, WAN ` +
    `${wan.wan?.state ?? "-"} ${wan.wan?.ipAddress ?? ""}`;
  fill("activities", activities, (row, a) => {
    cell(row, a.name);
    cell(row, a.state + (a.adopted ? ", adopted" : ""));
    cell(row, a.callbacks);
    cell(row, (a.activity.callback?.method || "-").replace(/^quor:\/\//, ""));
  });
}

async function refresh() {
  const [messages, mailboxes, media, mailbox, requests, status, hotspotLog, signals, activities,
         imsi, sim, network, wan] = await Promise.all([
    objects(MESSAGES), find(MAILBOX), getJson("/media"), call(VVM + "mailbox"),
    call(VVM + "requests"), call(HOTSPOT + "status"), call(HOTSPOT + "requests"),
    getJson("/signals"), call("quor://com.quor.activitymanager/emulator/activities"),
    call("quor://com.quor.telephony/imsiQuery"), call("quor://com.quor.telephony/simStatusQuery"),
    call("quor://com.quor.telephony/platformQuery"),
    call("quor://com.quor.connectionmanager/getStatus"),
  ]);
  showPhone(messages.results || [], mailboxes.results || [], media);
  showCarrier(mailbox.mailbox || {}, requests);
  showHotspot(status.status || {}, hotspotLog.requests || [], signals);
  showPlatform(activities.activities || [], imsi, sim, network, wan);
}

// One refresh at a time; events that come meanwhile make one more.
let refreshing = null;
let again = false;
function changed() {
  if (refreshing) {
    again = true;
    return;
  }
  refreshing = refresh()
    .catch((error) => console.warn("refresh:", error))
    .finally(() => {
      refreshing = null;
      document.body.dataset.refreshed = String(Number(document.body.dataset.refreshed || 0) + 1);
      if (again) {
        again = false;
        changed();
      }
    });
}

for (const b of document.querySelectorAll("button[data-action]")) {
  b.addEventListener("click", () => play(b.textContent, scenarios[b.dataset.action]));
}
const loginButtons = document.getElementById("logins");
for (const [name, settings] of Object.entries(logins)) {
  button(loginButtons, "Hotspot login: " + name, () => play("login " + name, () => login(settings)));
}

const live = document.getElementById("live");
const events = new EventSource("/events");
events.addEventListener("changed", changed);
events.onopen = () => { live.textContent = "live"; live.className = "on"; };
events.onerror = () => { live.textContent = "not live"; live.className = "off"; };
