// The line page and the results pages share this file: the viewer's login, and the live view
// where the page has one.
'use strict';

const ZemWords = {
  waiting: 'Waiting', programming: 'Programming', programmed: 'Programmed', failed: 'Failed',
  aborted: 'Aborted', remove: 'Take the module out', lost: 'Port lost', done: 'Done',
};

function zemEl(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'class') e.className = v;
    else if (k.startsWith('data-')) e.setAttribute(k, v);
    else e[k] = v;
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c);
  return e;
}

function zemLocalTime(iso) {
  if (!iso) return '';
  const d = new Date(iso);
  return isNaN(d) ? iso : d.toLocaleTimeString();
}

// The viewer's token: given once as ?token=..., then kept for this browser tab's session
// (sessionStorage) and traded for a cookie that the event stream and downloads carry.
async function zemLogin(onReady) {
  const form = document.getElementById('login');
  const url = new URL(location.href);
  const given = url.searchParams.get('token');
  if (given) {
    sessionStorage.setItem('zem-viewer', given);
    url.searchParams.delete('token');
    history.replaceState(null, '', url);
  }
  const tryToken = async (token) => {
    const r = await fetch('/api/v1/login', {
      method: 'POST', headers: { Authorization: 'Bearer ' + token }, credentials: 'same-origin',
    });
    if (r.ok) return '';
    let why = 'HTTP ' + r.status;
    try { why = (await r.json()).error || why; } catch (e) { /* the status says it */ }
    return why;
  };
  const ask = (why) => {
    form.hidden = false;
    document.getElementById('login-error').textContent = why || '';
    document.getElementById('token').focus();
  };
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const token = document.getElementById('token').value.trim();
    let why = '';
    try { why = await tryToken(token); } catch (e) { why = 'the line does not answer'; }
    if (why) { ask(why); return; }
    sessionStorage.setItem('zem-viewer', token);
    form.hidden = true;
    onReady();
  });
  const kept = sessionStorage.getItem('zem-viewer');
  if (!kept) { ask(''); return; }
  let why = '';
  try { why = await tryToken(kept); } catch (e) { why = 'the line does not answer'; }
  if (why) { sessionStorage.removeItem('zem-viewer'); ask(why); return; }
  onReady();
}

function zemFigures(f) {
  const y = f.yield === null || f.yield === undefined ? '–' : f.yield.toFixed(1) + ' %';
  return [zemEl('span', {}, 'Programmed ', zemEl('b', {}, String(f.programmed))), ' · ',
    zemEl('span', {}, 'Failed ', zemEl('b', {}, String(f.failed))), ' · ',
    zemEl('span', {}, 'Yield ', zemEl('b', {}, y)), ' · ',
    zemEl('span', {}, zemEl('b', {}, f.per_hour.toFixed(0)), ' / h')];
}

function zemCell(p) {
  const word = ZemWords[p.state] || p.state;
  const cell = zemEl('div', {
    class: 'cell s-' + p.state, 'data-port': String(p.port), 'data-state': p.state,
    title: p.name,
  }, zemEl('div', { class: 'n' }, p.port + ' · ' + p.name), zemEl('div', { class: 'word' }, word));
  if (p.state === 'programming') {
    cell.append(zemEl('div', { class: 'pct' }, p.percent + '\u00a0%'));
    cell.append(zemEl('div', { class: 'bar-in', style: '' }));
    cell.lastChild.style.width = p.percent + '%';
  }
  if ((p.state === 'lost' || p.state === 'done') && p.cause &&
      p.cause.toLowerCase() !== word.toLowerCase())
    cell.append(zemEl('div', { class: 'last' }, p.cause));
  if (p.last_outcome) {
    const text = (ZemWords[p.last_outcome] || p.last_outcome) +
      (p.last_cause ? ': ' + p.last_cause : '');
    cell.append(zemEl('div', {
      class: 'last l-' + p.last_outcome, 'data-last': p.last_outcome,
    }, 'Last: ' + text));
  }
  return cell;
}

function zemTile(s) {
  const f = s.shift;
  const tile = zemEl('section', {
    class: 'tile' + (s.stale ? ' stale' : ''), tabIndex: 0, 'data-station': s.name,
    'data-stale': s.stale ? 'yes' : 'no',
  });
  tile.setAttribute('aria-label', 'Station ' + s.name);
  const seen = s.stale
    ? zemEl('span', { class: 'seen' }, s.seen_at ? 'last seen ' + zemLocalTime(s.seen_at) : 'never seen')
    : null;
  tile.append(zemEl('h2', {}, zemEl('span', {}, s.name), seen));
  if (s.job)
    tile.append(zemEl('div', { class: 'job' }, 'Job ' + s.job + ' · ' + (s.job_sha256 || '').slice(0, 12)));
  tile.append(zemEl('div', { class: 'counts' }, ...zemFigures(f)));
  if (s.backlog > 0)
    tile.append(zemEl('div', { class: 'backlog', 'data-backlog': String(s.backlog) },
      s.backlog + ' results not yet on the line' +
      (s.backlog_since ? ' since ' + zemLocalTime(s.backlog_since) : '')));
  tile.append(zemEl('div', { class: 'ports' }, ...s.ports.map(zemCell)));
  return tile;
}

function zemRender(view) {
  const main = document.getElementById('stations');
  const focused = document.activeElement && document.activeElement.dataset
    ? document.activeElement.dataset.station : undefined;
  main.replaceChildren(...view.stations.map(zemTile));
  document.getElementById('line-figures').replaceChildren(
    'Shift since ' + zemLocalTime(view.shift_start) + ': ', ...zemFigures(view.line));
  if (focused !== undefined) {
    const again = main.querySelector('[data-station="' + CSS.escape(focused) + '"]');
    if (again) again.focus();
  }
  document.body.dataset.updated = view.now;
}

// Arrows move between the tiles, Enter opens the station's results.
function zemKeys(ev) {
  const tiles = [...document.querySelectorAll('.tile')];
  const at = tiles.indexOf(document.activeElement);
  if (ev.key === 'Enter' && at >= 0) {
    location.href = 'results.html?station=' + encodeURIComponent(tiles[at].dataset.station);
    return;
  }
  const moves = { ArrowRight: 1, ArrowLeft: -1 };
  let next = -1;
  if (ev.key in moves) next = Math.max(0, Math.min(tiles.length - 1, at + moves[ev.key]));
  if (ev.key === 'ArrowDown' || ev.key === 'ArrowUp') {
    const perRow = tiles.filter((t) => t.offsetTop === tiles[0].offsetTop).length || 1;
    next = Math.max(0, Math.min(tiles.length - 1,
      (at < 0 ? 0 : at) + (ev.key === 'ArrowDown' ? perRow : -perRow)));
  }
  if (next >= 0 && tiles[next]) { tiles[next].focus(); ev.preventDefault(); }
}

function zemLive() {
  const link = document.getElementById('link');
  const problem = document.getElementById('problem');
  const source = new EventSource('/api/v1/live');
  source.onopen = () => { link.textContent = 'live'; link.className = 'link'; };
  source.onmessage = (ev) => {
    problem.hidden = true;
    zemRender(JSON.parse(ev.data));
  };
  source.addEventListener('problem', (ev) => {
    problem.hidden = false;
    problem.textContent = JSON.parse(ev.data).error;
  });
  source.onerror = () => {
    link.textContent = 'connection to the line lost: retrying';
    link.className = 'link down';
    if (source.readyState === EventSource.CLOSED) {
      // Refused (a token withdrawn, a service restarted without the cookie's viewer): log in
      // again and start over.
      setTimeout(() => zemLogin(zemLive), 3000);
    }
  };
}

if (document.getElementById('stations')) {
  document.addEventListener('keydown', zemKeys);
  zemLogin(zemLive);
}
