// The battery room's page: live readings from the event stream, trends and alarms from the
// JSON API. No framework; uPlot draws the trends.
"use strict";

const state = {
  batteries: [],        // /api/v1/latest's list, in the window's order
  periodMs: 10000,
  session: { user: null, csrf: null, sign_in: false },
  activeAlarms: [],
  trendHours: 24,
  trendShown: [],       // what the plots show: [{device, battery, label, data}]
  plots: [],
};

const $ = (selector) => document.querySelector(selector);
const keyOf = (b) => `${b.device}/${b.battery}`;

function pad(n) { return String(n).padStart(2, "0"); }
function localTime(iso) {
  if (!iso) return "";
  const d = new Date(iso);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ` +
         `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}
// The window's age texts: "%1秒前", "%1分钟前", "%1小时前", "%1天前".
function ageText(ms) {
  const s = Math.max(0, Math.floor(ms / 1000));
  if (s < 60) return `${s}秒前`;
  if (s < 3600) return `${Math.floor(s / 60)}分钟前`;
  if (s < 86400) return `${Math.floor(s / 3600)}小时前`;
  return `${Math.floor(s / 86400)}天前`;
}

async function api(path, options = {}) {
  const response = await fetch(path, Object.assign({ credentials: "same-origin" }, options));
  let body = null;
  try { body = await response.json(); } catch (e) { body = null; }
  return { ok: response.ok, status: response.status, body };
}

function cell(row, text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}

// ---- 实时数据 ----
function isStale(b, now) {
  return !b.time || now - Date.parse(b.time) > 3 * state.periodMs;
}

function renderLive() {
  const body = $("#live tbody");
  const now = Date.now();
  body.replaceChildren();
  for (const b of state.batteries) {
    const row = document.createElement("tr");
    row.dataset.key = keyOf(b);
    const stale = isStale(b, now) || (b.alarms || []).some((a) => a.kind === "no_answer");
    const alarmed = b.alarms && b.alarms.some((a) => a.kind !== "no_answer");
    if (stale) row.classList.add("stale");
    else if (alarmed) row.classList.add("alarm");
    cell(row, b.label, "label");
    const time = cell(row, "", "time");
    if (b.time) {
      const [day, clock] = localTime(b.time).split(" ");
      const date = document.createElement("span");
      date.className = "date";
      date.textContent = day + " ";
      time.append(date, clock);
    }
    if (stale && b.time) {
      const age = document.createElement("span");
      age.className = "age";
      age.textContent = ageText(now - Date.parse(b.time));
      time.appendChild(age);
    }
    cell(row, b.voltage == null ? "" : b.voltage.toFixed(1), "num voltage");
    cell(row, b.temperature == null ? "" : b.temperature.toFixed(1), "num temperature");
    cell(row, b.status_text == null ? "" : b.status_text, "status");
    body.appendChild(row);
  }
}

function renderStatus(latest) {
  if (latest) {
    $("#site").textContent = latest.site;
    const bus = latest.bus;
    const open = bus.open ? "已打开" : "已关闭";
    const cycle = bus.last_cycle ? `，采样时间 ${localTime(bus.last_cycle)}` : "";
    $("#bus").textContent = `串口 ${bus.port || "—"} ${open}${cycle}`;
  }
  const unack = state.activeAlarms.filter((a) => !a.acknowledged).length;
  const count = $("#unack");
  count.textContent = `未确认报警: ${unack}`;
  count.classList.toggle("alarmed", unack > 0);
}

async function loadLatest(given) {
  const answer = given || await api("/api/v1/latest");
  if (!answer.ok) return;
  state.batteries = answer.body.batteries;
  state.periodMs = Math.round(answer.body.bus.period_s * 1000);
  state.activeAlarms = answer.body.batteries.flatMap((b) => b.alarms);
  renderLive();
  if (!window.batmonFirstDataMs) window.batmonFirstDataMs = performance.now();  // for the benchmark
  renderStatus(answer.body);
  renderActiveAlarms();
  if (!state.trendBoxes) buildTrendBoxes();
}

function onReading(event) {
  const r = JSON.parse(event.data);
  const b = state.batteries.find((x) => keyOf(x) === keyOf(r));
  if (!b) return;
  Object.assign(b, r);
  renderLive();
}

let alarmReload = null;
function onAlarm() {
  // An alarm changed: the active list and the history are read again, once per burst.
  clearTimeout(alarmReload);
  alarmReload = setTimeout(() => { loadLatest(); if (!$("#view-alarms").hidden) loadAlarmHistory(); }, 100);
}

function connectStream() {
  const source = new EventSource("/api/v1/events");
  source.addEventListener("reading", onReading);
  source.addEventListener("alarm", onAlarm);
  source.onopen = () => $("#stream").classList.add("live");
  source.onerror = () => $("#stream").classList.remove("live");
}

// ---- 历史趋势 ----
function buildTrendBoxes() {
  const box = $("#trend-batteries");
  state.trendBoxes = true;
  state.batteries.forEach((b, i) => {
    const label = document.createElement("label");
    const input = document.createElement("input");
    input.type = "checkbox";
    input.value = keyOf(b);
    input.checked = i === 0;
    label.append(input, " " + b.label);
    box.appendChild(label);
  });
}

function trendRange() {
  const now = Date.now();
  if (state.trendHours === "custom") {
    return { from: Date.parse($("#trend-from").value), to: Date.parse($("#trend-to").value) };
  }
  if (state.trendHours === "all") return { from: 0, to: now };
  return { from: now - state.trendHours * 3600e3, to: now };
}

function selectedBatteries() {
  return [...document.querySelectorAll("#trend-batteries input:checked")].map((i) => {
    const [device, battery] = i.value.split("/");
    return state.batteries.find((b) => b.device === device && String(b.battery) === battery);
  });
}

// One battery's answer as plot points: raw readings as they are, each bucket as its minimum
// and maximum (so every spike shows) at its start.
function toSeries(answer, what) {
  const xs = [], ys = [];
  if (!answer.reduced) {
    for (const r of answer.readings) { xs.push(Date.parse(r.time) / 1000); ys.push(r[what]); }
  } else {
    for (const p of answer.points) {
      if (!p[what]) continue;
      const t = Date.parse(p.time) / 1000;
      xs.push(t, t + 0.001);
      ys.push(p[what].min, p[what].max);
    }
  }
  return [xs, ys];
}

const colours = ["#1565c0", "#c62828", "#2e7d32", "#ef6c00", "#6a1b9a", "#00838f", "#ad1457",
                 "#4e342e", "#283593", "#9e9d24", "#00695c", "#d84315", "#37474f", "#558b2f"];

function drawPlot(target, shown, what, unit) {
  const el = $(target);
  el.replaceChildren();
  if (!shown.length) return null;
  const joined = uPlot.join(shown.map((s) => toSeries(s.data, what)));
  const width = Math.max(280, Math.min(el.clientWidth || 10000, window.innerWidth - 20));
  return new uPlot({
    width, height: width < 500 ? 220 : 300,
    series: [{ value: (u, v) => v == null ? "" : localTime(new Date(v * 1000).toISOString()) }]
      .concat(shown.map((s, i) => ({
        label: s.label, stroke: colours[i % colours.length], spanGaps: false,
        value: (u, v) => v == null ? "" : `${v.toFixed(1)} ${unit}`,
      }))),
    axes: [{}, { label: unit }],
    cursor: { drag: { x: true, y: false } },
  }, joined, el);
}

let trendRequest = 0;
async function loadTrend() {
  const request = ++trendRequest;  // a newer request makes this one's answer stale
  const chosen = selectedBatteries();
  const range = trendRange();
  const message = $("#trend-message");
  if (!(range.from <= range.to)) { message.textContent = "起始时间须早于结束时间"; return; }
  message.textContent = "正在读取…";
  const width = Math.max(300, $("#plot-voltage").clientWidth || 800);
  const shown = [];
  for (const b of chosen) {
    const q = `device=${b.device}&battery=${b.battery}&from=${Math.floor(range.from)}&to=${Math.floor(range.to)}&points=${width}`;
    const answer = await api(`/api/v1/readings?${q}`);
    if (request !== trendRequest) return;
    if (!answer.ok) { message.textContent = "读取历史失败：" + (answer.body ? answer.body.error : answer.status); return; }
    shown.push({ device: b.device, battery: b.battery, label: b.label, data: answer.body, range });
  }
  if (request !== trendRequest) return;
  state.trendShown = shown;
  message.textContent = "";
  state.plots.forEach((p) => p && p.destroy());
  state.plots = [drawPlot("#plot-voltage", shown, "voltage", "V"),
                 drawPlot("#plot-temperature", shown, "temperature", "℃")];
}

async function downloadCsv() {
  let csv = "";
  for (const s of state.trendShown) {
    const q = `device=${s.device}&battery=${s.battery}&from=${Math.floor(s.range.from)}&to=${Math.floor(s.range.to)}&format=csv`;
    const text = await (await fetch(`/api/v1/readings?${q}`)).text();
    csv += csv ? text.slice(text.indexOf("\n") + 1) : text;
  }
  const link = document.createElement("a");
  link.href = URL.createObjectURL(new Blob([csv], { type: "text/csv" }));
  link.download = "batmon-trend.csv";
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}

// ---- 报警记录 ----
function renderActiveAlarms() {
  const body = $("#active-alarms tbody");
  body.replaceChildren();
  for (const a of state.activeAlarms) {
    const row = document.createElement("tr");
    row.dataset.id = a.id;
    if (!a.acknowledged) row.classList.add("alarm");
    cell(row, a.label);
    cell(row, a.kind_text);
    cell(row, a.level === "warning" ? "预警" : "严重");
    cell(row, localTime(a.since));
    cell(row, a.value_text);
    cell(row, a.acknowledged ? a.acknowledged_by : "未确认", "by");
    const actions = cell(row, "");
    if (!a.acknowledged) {
      const button = document.createElement("button");
      button.className = "ack";
      button.textContent = "确认";
      button.disabled = !state.session.user;
      button.title = state.session.user ? "" : "请先登录";
      button.onclick = () => acknowledge(a.id);
      actions.appendChild(button);
    }
    body.appendChild(row);
  }
}

async function acknowledge(id) {
  const answer = await api(`/api/v1/alarms/${encodeURIComponent(id)}/acknowledge`, {
    method: "POST", headers: { "X-CSRF-Token": state.session.csrf || "" },
  });
  if (!answer.ok) alert(answer.body ? answer.body.error : answer.status);
  setTimeout(loadLatest, 300);
}

async function loadAlarmHistory() {
  const answer = await api("/api/v1/alarms");
  const body = $("#alarm-history tbody");
  body.replaceChildren();
  if (!answer.ok) return;
  for (const e of answer.body.events.slice().reverse()) {
    const row = document.createElement("tr");
    cell(row, localTime(e.time));
    cell(row, e.label);
    cell(row, e.kind_text);
    cell(row, e.state_text);
    cell(row, e.level === "warning" ? "预警" : "严重");
    cell(row, e.value_text);
    cell(row, e.user);
    body.appendChild(row);
  }
}

function durationText(seconds) {
  const s = Math.round(seconds);
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60);
  return (h ? `${h} h ${pad(m)} min ` : m ? `${m} min ` : "") + `${pad(s % 60)} s`;
}

async function loadDischarges() {
  const answer = await api("/api/v1/discharges");
  const body = $("#discharges tbody");
  body.replaceChildren();
  if (!answer.ok) return;
  for (const d of answer.body.discharges) {
    const row = document.createElement("tr");
    cell(row, d.device);
    cell(row, localTime(d.start));
    cell(row, durationText(d.duration_s) + (d.running ? "（放电中）" : ""));
    cell(row, d.weakest ? d.weakest.label : "", d.weakest ? "weakest" : undefined);
    cell(row, d.weakest ? d.weakest.voltage.toFixed(1) : "");
    cell(row, d.capacity ? `${d.capacity.percent.toFixed(1)} %` + (d.capacity.reached ? " 合格" : " 不合格") : "");
    body.appendChild(row);
  }
}

// ---- 登录 ----
function renderSession() {
  const user = state.session.user;
  $("#who").textContent = user ? user : "";
  $("#sign-in-open").hidden = !!user || !state.session.sign_in;
  $("#sign-out").hidden = !user;
  if (user) $("#sign-in").hidden = true;
  renderActiveAlarms();
}

async function loadSession() {
  const answer = await api("/api/v1/session");
  if (answer.ok) state.session = answer.body;
  renderSession();
}

async function signIn(event) {
  event.preventDefault();
  const answer = await api("/api/v1/session", {
    method: "POST", headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ user: $("#user").value, password: $("#password").value }),
  });
  $("#password").value = "";
  if (!answer.ok) {
    $("#sign-in-error").textContent = answer.status === 429 ? "登录失败次数过多，请稍后再试" : "用户名或密码错误";
    return;
  }
  $("#sign-in-error").textContent = "";
  state.session = Object.assign(state.session, answer.body);
  renderSession();
  if (state.session.read_auth) start();
}

async function signOut() {
  await api("/api/v1/session", { method: "DELETE", headers: { "X-CSRF-Token": state.session.csrf || "" } });
  state.session.user = null;
  state.session.csrf = null;
  renderSession();
}

// ---- views ----
function show(view) {
  for (const b of document.querySelectorAll("nav button")) b.classList.toggle("active", b.dataset.view === view);
  for (const v of ["live", "trend", "alarms"]) $(`#view-${v}`).hidden = v !== view;
  if (view === "trend") loadTrend();
  if (view === "alarms") { loadAlarmHistory(); loadDischarges(); }
}

let started = false;
async function start() {
  if (started) return;
  const first = await api("/api/v1/latest");
  if (first.status === 401) { $("#sign-in").hidden = false; return; }
  started = true;
  await loadLatest(first);
  connectStream();
  setInterval(renderLive, 1000);  // the ages of stale batteries
}

document.addEventListener("DOMContentLoaded", async () => {
  for (const b of document.querySelectorAll("nav button")) b.onclick = () => show(b.dataset.view);
  for (const b of document.querySelectorAll("#trend-ranges button")) {
    b.onclick = () => {
      for (const o of document.querySelectorAll("#trend-ranges button")) o.classList.toggle("active", o === b);
      state.trendHours = b.dataset.hours === "all" ? "all" : Number(b.dataset.hours);
      loadTrend();
    };
  }
  $("#trend-query").onclick = () => { state.trendHours = "custom"; loadTrend(); };
  $("#trend-csv").onclick = downloadCsv;
  $("#sign-in-open").onclick = () => { $("#sign-in").hidden = false; $("#user").focus(); };
  $("#sign-in").onsubmit = signIn;
  $("#sign-out").onclick = signOut;
  await Promise.all([loadSession(), start()]);
});
