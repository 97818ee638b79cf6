// The station's dashboard: a thin view over /api/v1/ (docs/API.md). It decides nothing from
// message texts: tiles show the state, result and reason the service gives. The token, where the
// service asks for one, goes in the Authorization header only (never a cookie, never a URL).
'use strict';

const $ = (id) => document.getElementById(id);
let token = localStorage.getItem('vandrel-token') || '';
let historyOffset = 0;
let refreshTimer = null;

function headers(json) {
  const h = {};
  if (token) h.Authorization = 'Bearer ' + token;
  if (json) h['Content-Type'] = 'application/json';
  return h;
}

async function api(path, options = {}) {
  const response = await fetch('/api/v1' + path, {
    method: options.method || 'GET',
    headers: headers(options.body !== undefined),
    body: options.body !== undefined ? JSON.stringify(options.body) : undefined,
    credentials: 'omit',
  });
  const body = await response.json().catch(() => ({}));
  if (!response.ok) {
    const error = new Error(body.detail || response.statusText);
    error.status = response.status;
    throw error;
  }
  return body;
}

function say(text) { $('message').textContent = text || ''; }

function percent(port) {
  return port.total > 0 ? Math.floor((port.done * 100) / port.total) : 0;
}

function tile(port) {
  const el = document.createElement('article');
  const last = port.last;
  const showing = port.state === 'running' ? 'running' : last ? last.result : port.state;
  el.className = 'tile ' + showing;
  el.dataset.port = port.port;
  const add = (cls, text, tag = 'div') => {
    const child = document.createElement(tag);
    child.className = cls;
    child.textContent = text;
    el.appendChild(child);
    return child;
  };
  add('port', port.port);
  let state = port.state;
  if (port.state === 'running' && port.phase) state = port.phase + ' ' + percent(port) + '%';
  if (port.state === 'refused' && port.reason) state = port.reason;
  if (port.state === 'removal') state = 'take the handset away';
  add('state', state);
  const bar = add('bar', '');
  const fill = document.createElement('div');
  fill.style.width = (port.state === 'running' ? percent(port) : last && port.state !== 'waiting' ? 100 : 0) + '%';
  bar.appendChild(fill);
  if (port.serial) add('serial', port.serial);
  if (last && port.state !== 'running') {
    const verdict = last.result === 'passed' ? 'PASS' : 'FAIL';
    add('verdict ' + verdict, verdict);
    add('reason', last.reason || '');
  }
  return el;
}

function showStation(station) {
  $('job').textContent = station.job ? station.job.name + (station.running ? '' : ' (ended)') : 'no job';
  $('passed').textContent = station.tally.passed;
  $('failed').textContent = station.tally.failed;
  const tiles = $('tiles');
  tiles.replaceChildren(...station.ports.map(tile));
  // why the last run ended early (a store that does not open, say), as the run said it
  if (!station.running && station.lastRun && station.lastRun.errors) say(station.lastRun.errors.trim());
  $('start').disabled = station.running;
  $('stop').disabled = !station.running;
}

async function refresh() {
  refreshTimer = null;
  try {
    showStation(await api('/station'));
  } catch (e) {
    say(e.message);
  }
}
function refreshSoon() {
  if (!refreshTimer) refreshTimer = setTimeout(refresh, 150);
}

// The line: every station on the same PostgreSQL store, a card each (its job, tally and a chip per
// port coloured by its state), from /line. Hidden where the store has no line.
function stationCard(s) {
  const el = document.createElement('article');
  const state = s.state || {};
  el.className = 'station' + (state.running ? ' running' : '') + (s.self ? ' self' : '');
  el.dataset.url = s.url;
  const add = (cls, text) => {
    const child = document.createElement('div');
    child.className = cls;
    if (text !== undefined) child.textContent = text;
    el.appendChild(child);
    return child;
  };
  const name = add('name');
  const link = document.createElement('a');
  if (/^https?:\/\//.test(s.url)) link.href = s.url; // whatever else the store holds is no link
  link.textContent = s.host + ' · ' + s.url.replace(/^https?:\/\//, '').replace(/\/$/, '');
  name.appendChild(link);
  if (s.self) name.append(' (this station)');
  add('job', state.job ? state.job + (state.running ? '' : ' (ended)') : 'no job');
  const counts = add('counts');
  const tally = state.tally || { passed: 0, failed: 0 };
  const passed = document.createElement('span');
  passed.className = 'pass';
  passed.textContent = tally.passed;
  const failed = document.createElement('span');
  failed.className = 'fail';
  failed.textContent = tally.failed;
  counts.append(passed, ' passed · ', failed, ' failed');
  const chips = add('chips');
  for (const port of state.ports || []) {
    const chip = document.createElement('span');
    const showing = port.state === 'running' ? 'running' : port.result || port.state;
    chip.className = 'chip ' + showing;
    chip.dataset.port = port.port;
    let text = port.port.replace(/^.*\//, '') + ': ';
    if (port.state === 'running') text += (port.phase || 'running') + ' ' + percent(port) + '%';
    else text += port.result === 'passed' ? 'PASS' : port.result === 'failed' ? 'FAIL' : port.state;
    chip.textContent = text;
    if (port.reason) chip.title = port.reason;
    chips.appendChild(chip);
  }
  add('age', 'updated ' + Math.round(s.age) + ' s ago');
  return el;
}

async function loadLine() {
  try {
    const line = await api('/line');
    $('line').hidden = !line.line;
    if (!line.line) return false;
    $('lineerror').textContent = line.error || '';
    $('stations').replaceChildren(...line.stations.map(stationCard));
    return true;
  } catch (e) {
    say(e.message);
    return true;
  }
}

async function loadJobs() {
  try {
    const list = await api('/jobs');
    const select = $('jobs');
    select.replaceChildren();
    for (const job of list.jobs) {
      const option = document.createElement('option');
      option.value = job.name;
      option.textContent = job.ok ? job.job + ' (' + job.name + ')' : job.name + ': ' + job.error;
      option.disabled = !job.ok;
      select.appendChild(option);
    }
  } catch (e) {
    say(e.message);
  }
}

function filterQuery() {
  const data = new FormData($('filters'));
  const query = new URLSearchParams();
  for (const [key, value] of data) if (value) query.set(key, value);
  return query;
}

async function loadHistory(more) {
  historyOffset = more ? historyOffset + 25 : 0;
  const query = filterQuery();
  query.set('limit', 25);
  query.set('offset', historyOffset);
  try {
    const page = await api('/attempts?' + query);
    const body = $('attempts').tBodies[0];
    if (!more) body.replaceChildren();
    for (const a of page.attempts) {
      const row = body.insertRow();
      row.dataset.attempt = a.attempt;
      const cells = [a.attempt, a.started.replace('T', ' ').replace(/\.\d+Z$/, 'Z'), a.port,
                     (a.serial || '') + (a.serialVoid ? ' (void)' : ''), a.result, a.reason];
      cells.forEach((text, k) => {
        const cell = row.insertCell();
        cell.textContent = text;
        if (k === 4) cell.className = a.result;
        if (k === 5) cell.className = 'reason';
      });
      row.addEventListener('click', () => showLog(a.attempt));
    }
    $('more').hidden = !page.more;
  } catch (e) {
    say(e.message);
  }
}

// Yield per hour (stacked bars: passed below, failed above) and failures by reason, over the
// chosen period, from /stats.
const SVG = 'http://www.w3.org/2000/svg';
function svg(tag, attributes, text) {
  const el = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attributes)) el.setAttribute(k, v);
  if (text !== undefined) el.textContent = text;
  return el;
}

async function loadStats() {
  const hours = Number($('period').value);
  const since = new Date(Date.now() - hours * 3600 * 1000).toISOString().slice(0, 13) + ':00';
  try {
    const stats = await api('/stats?since=' + encodeURIComponent(since));
    const chart = $('yield');
    chart.replaceChildren();
    const byHour = new Map(stats.hours.map((h) => [h.hour.slice(0, 13), h]));
    const start = new Date(since + ':00Z').getTime();
    const slots = [];
    for (let k = 0; k <= hours; ++k) slots.push(new Date(start + k * 3600 * 1000).toISOString().slice(0, 13));
    const top = Math.max(1, ...slots.map((s) => { const h = byHour.get(s); return h ? h.passed + h.failed : 0; }));
    const left = 30, bottom = 160, width = 560, height = 140;
    const step = width / slots.length;
    chart.appendChild(svg('text', { x: 2, y: bottom - height + 4 }, String(top)));
    chart.appendChild(svg('text', { x: 2, y: bottom }, '0'));
    chart.appendChild(svg('line', { x1: left, y1: bottom, x2: left + width, y2: bottom, stroke: '#9aa5b1' }));
    slots.forEach((slot, k) => {
      const h = byHour.get(slot);
      const x = left + k * step;
      if (h) {
        const passed = (h.passed / top) * height, failed = (h.failed / top) * height;
        const w = Math.max(1, step * 0.8);
        const bar = svg('rect', { x, y: bottom - passed, width: w, height: passed, class: 'pass' });
        bar.appendChild(svg('title', {}, slot + ':00Z: ' + h.passed + ' passed, ' + h.failed + ' failed'));
        chart.appendChild(bar);
        chart.appendChild(svg('rect', { x, y: bottom - passed - failed, width: w, height: failed, class: 'fail' }));
      }
      if (k % Math.ceil(slots.length / 8) === 0) {
        chart.appendChild(svg('text', { x, y: bottom + 14 }, hours > 24 ? slot.slice(5, 10) : slot.slice(11, 13) + 'h'));
      }
    });
    const body = $('reasons').tBodies[0];
    body.replaceChildren();
    const most = Math.max(1, ...stats.failures.map((f) => f.count));
    for (const f of stats.failures.slice(0, 10)) {
      const row = body.insertRow();
      row.dataset.error = f.error;
      const kind = row.insertCell();
      kind.className = 'reason';
      const bar = document.createElement('span');
      bar.className = 'bar';
      bar.style.width = Math.round((f.count / most) * 6) + 'em';
      const code = document.createElement('span');
      code.className = 'error';
      code.textContent = f.error;
      const latest = document.createElement('div');
      latest.className = 'latest';
      latest.textContent = f.reason;
      kind.append(bar, code, latest);
      row.insertCell().textContent = f.count;
    }
  } catch (e) {
    say(e.message);
  }
}

async function showLog(id) {
  try {
    const a = await api('/attempts/' + id);
    $('logtitle').textContent = 'Attempt ' + a.attempt + ' on ' + a.port + ': ' + a.result +
                                (a.serial ? ', ' + a.serial : '');
    $('log').textContent = a.log.replace(/\r/g, '');
    $('logview').hidden = false;
    $('logview').scrollIntoView();
  } catch (e) {
    say(e.message);
  }
}

// The event stream, read with fetch so that the token goes in a header; after a break it
// resumes from the last id it saw.
async function follow() {
  let lastId = '';
  for (;;) {
    try {
      const h = headers(false);
      if (lastId) h['Last-Event-ID'] = lastId;
      const response = await fetch('/api/v1/events', { headers: h, credentials: 'omit' });
      if (!response.ok) throw new Error((await response.json().catch(() => ({}))).detail || response.statusText);
      $('link').textContent = 'live';
      refreshSoon();
      const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
      let buffer = '';
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        buffer += value;
        let end;
        while ((end = buffer.indexOf('\n\n')) >= 0) {
          const block = buffer.slice(0, end);
          buffer = buffer.slice(end + 2);
          const id = /^id: (\d+)$/m.exec(block);
          if (id) lastId = id[1];
          const data = /^data: (.*)$/m.exec(block);
          if (!data) continue;
          const event = JSON.parse(data[1]);
          refreshSoon();
          if (event.event === 'end' || event.event === 'missed') { loadHistory(false); loadStats(); }
        }
      }
    } catch (e) {
      $('link').textContent = 'no link: ' + e.message;
    }
    await new Promise((resolve) => setTimeout(resolve, 2000));
  }
}

function init() {
  $('token').value = token;
  $('token').addEventListener('change', () => {
    token = $('token').value.trim();
    localStorage.setItem('vandrel-token', token);
    refresh(); loadJobs(); loadHistory(false); loadStats(); loadLine();
  });
  $('start').addEventListener('click', async () => {
    say('');
    try {
      showStation(await api('/station/start', { method: 'POST', body: { job: $('jobs').value, watch: $('watch').checked } }));
    } catch (e) {
      say(e.message);
    }
  });
  $('stop').addEventListener('click', async () => {
    say('');
    try {
      await api('/station/stop', { method: 'POST', body: {} });
      refreshSoon();
    } catch (e) {
      say(e.message);
    }
  });
  $('filters').addEventListener('submit', (e) => { e.preventDefault(); loadHistory(false); });
  $('more').addEventListener('click', () => loadHistory(true));
  $('period').addEventListener('change', loadStats);
  $('closelog').addEventListener('click', () => { $('logview').hidden = true; });
  refresh();
  loadJobs();
  loadHistory(false);
  loadStats();
  follow();
  setInterval(refresh, 5000);
  loadLine().then((line) => { if (line) setInterval(loadLine, 2000); });
}

init();
