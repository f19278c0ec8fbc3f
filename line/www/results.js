// The results pages: a search (the API's own filters), each result's detail, and the search as
// CSV from the same API.
'use strict';

const zemLimit = 5000;

function zemQuery(form) {
  const q = new URLSearchParams();
  for (const name of ['station', 'port', 'since', 'until', 'outcome', 'job']) {
    const v = form.elements[name].value.trim();
    if (v) q.set(name, v);
  }
  return q;
}

function zemDetail(r) {
  const d = document.getElementById('detail');
  const rows = [['Result', r.result_id], ['Station', r.station], ['Port', r.port],
    ['Alias', r.alias], ['Job', r.job], ['Outcome', r.outcome], ['Exit code', r.exit_code],
    ['Status', r.status], ['Cause', r.cause], ['Started', r.started_at],
    ['Finished', r.finished_at], ['Duration', (r.duration_ms / 1000).toFixed(1) + ' s'],
    ['Stream', r.stream], ['Stream SHA-256', r.stream_sha256], ['Speed', r.speed],
    ['Dumps', (r.dumps || []).join(', ') || null], ['Host', r.host], ['Version', r.version],
    ['Received', r.received_at]];
  const dl = zemEl('dl');
  for (const [k, v] of rows)
    dl.append(zemEl('dt', {}, k), zemEl('dd', {}, v === null || v === undefined ? '–' : String(v)));
  d.replaceChildren(zemEl('h2', {}, 'Result ' + r.result_id), dl);
  d.hidden = false;
  d.dataset.result = r.result_id;
  d.focus();
}

async function zemSearch() {
  const form = document.getElementById('search');
  const problem = document.getElementById('problem');
  const q = zemQuery(form);
  const csv = new URLSearchParams(q);
  csv.set('format', 'csv');
  document.getElementById('csv').href = '/api/v1/results?' + csv.toString();
  history.replaceState(null, '', '?' + q.toString());
  q.set('limit', String(zemLimit));
  const r = await fetch('/api/v1/results?' + q.toString(), { credentials: 'same-origin' });
  let body = null;
  try { body = await r.json(); } catch (e) { body = null; }
  if (!r.ok) {
    problem.hidden = false;
    problem.textContent = (body && body.error) || 'HTTP ' + r.status;
    return;
  }
  problem.hidden = true;
  const tbody = document.querySelector('#results tbody');
  tbody.replaceChildren(...body.map((x) => {
    const tr = zemEl('tr', { class: 'r', tabIndex: 0, 'data-result': x.result_id },
      zemEl('td', {}, x.finished_at), zemEl('td', {}, x.station), zemEl('td', {}, x.port),
      zemEl('td', { class: x.outcome === 'programmed' ? 'o-programmed' : 'o-failed' }, x.outcome), zemEl('td', {}, x.job || '–'),
      zemEl('td', {}, (x.duration_ms / 1000).toFixed(1) + ' s'),
      zemEl('td', {}, x.cause || x.status));
    tr.addEventListener('click', () => zemDetail(x));
    tr.addEventListener('keydown', (ev) => { if (ev.key === 'Enter') zemDetail(x); });
    return tr;
  }));
  document.getElementById('results').hidden = false;
  document.getElementById('count').textContent = body.length + ' results' +
    (body.length === zemLimit ? ' (the first ' + zemLimit + '; narrow the search, or export CSV for all)' : '');
  document.body.dataset.searched = String(body.length);
}

function zemResults() {
  const form = document.getElementById('search');
  form.hidden = false;
  const given = new URLSearchParams(location.search);
  for (const name of ['station', 'port', 'since', 'until', 'outcome', 'job'])
    if (given.get(name)) form.elements[name].value = given.get(name);
  form.addEventListener('submit', (ev) => { ev.preventDefault(); zemSearch(); });
  zemSearch();
}

zemLogin(zemResults);
