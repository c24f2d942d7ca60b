// The live page: one column per channel, its receipts as they print (from
// /events), a search over the journal (/api/search) and a receipt view
// (/receipt?id=N or /receipt?channel=NAME&time=MS). On the head office's
// page (collect) the columns are each store's channels with their alarms,
// the stores' health is shown above them (/api/stores), and receipts are
// named by store too (/receipt?store=S&channel=NAME&time=MS). Receipt text
// is untrusted: it only ever becomes text nodes, never markup.
'use strict';

const token = new URL(document.currentScript.src).searchParams.get('token');
const central = document.body.dataset.stores === '1';
// How often the stores' health is read again.
const kStoresEveryMs = 10000;
// Lines kept per column; the oldest receipts go first.
const kColumnLines = 400;
const kRightToLeft = /[\u0590-\u08ff\ufb1d-\ufdff\ufe70-\ufefc]/;

function withToken(path, params) {
  const url = new URL(path, location.origin);
  for (const [k, v] of Object.entries(params || {})) url.searchParams.set(k, v);
  if (token) url.searchParams.set('token', token);
  return url.pathname + url.search;
}

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

// Black or white, whichever reads better on the colour.
function inkFor(color) {
  const n = parseInt(color.slice(1), 16);
  const lum = 0.299 * (n >> 16) + 0.587 * ((n >> 8) & 255) + 0.114 * (n & 255);
  return lum > 140 ? '#000' : '#fff';
}

// Whether a line's text is as printed, so that its colour ranges, which
// count the bytes of `raw`, mark its characters: each character stands for
// one byte and the plain ASCII bytes are where the text has them (a line in
// logical order has its right-to-left runs turned around).
function asPrinted(text, raw) {
  const chars = Array.from(text);
  if (chars.length !== raw.length) return false;
  for (let i = 0; i < raw.length; i++) {
    if (raw.charCodeAt(i) < 0x80 && chars[i] !== raw[i]) return false;
  }
  return true;
}

// The line's text with its colour ranges as spans where the text is as
// printed; otherwise the colours are shown beside the line.
function textWithRanges(text, printed, ranges) {
  const span = el('span', printed ? 'text' : 'text logical');
  const chars = Array.from(text);
  const chips = [];
  let at = 0;
  const sorted = ranges.slice().sort((a, b) => a.start - b.start);
  for (const r of sorted) {
    if (!printed || r.start < at || r.end > chars.length || r.end <= r.start) {
      chips.push(r);
      continue;
    }
    span.append(chars.slice(at, r.start).join(''));
    const mark = el('span', 'mark', chars.slice(r.start, r.end).join(''));
    mark.style.backgroundColor = r.color;
    mark.style.color = inkFor(r.color);
    mark.title = r.name;
    span.append(mark);
    at = r.end;
  }
  span.append(chars.slice(at).join(''));
  return [span, chips];
}

// Base64 as its bytes, one character each; '' for anything else.
function decoded(base64) {
  try {
    return atob(base64);
  } catch {
    return '';
  }
}

// A line's JSON row with the arrays and raw bytes a store always writes:
// the head office keeps any line that has its time and text.
function complete(line) {
  return { raw: '', captures: [], alarms: [], ranges: [], ...line };
}

// One line's JSON row (docs/OUTPUT.md) as the page shows it.
function lineElement(given) {
  const line = complete(given);
  const div = el('div', 'line');
  if (kRightToLeft.test(line.text)) div.dir = 'rtl';
  const printed = asPrinted(line.text, decoded(line.raw));
  const [text, chips] = textWithRanges(line.text, printed, line.ranges);
  div.append(text);
  // What the catchers found goes under the line, each label kept whole.
  const found = el('div', 'findings');
  for (const r of chips) {
    const f = el('span', 'finding');
    const chip = el('span', 'chip');
    chip.style.backgroundColor = r.color;
    f.append(chip, r.name);
    found.append(f);
  }
  for (const a of line.alarms) found.append(el('span', 'finding alarm', '\u26a0 ' + a.name + ': ' + a.data));
  for (const c of line.captures) found.append(el('span', 'finding capture', c.name + ': ' + c.data));
  if (found.childElementCount) div.append(found);
  return div;
}

function receiptLink(params, label) {
  const a = el('a', 'tag', label);
  a.href = withToken('/receipt', params);
  a.target = '_blank';
  return a;
}

// --- live view ---------------------------------------------------------

const columns = new Map();

function column(name) {
  let c = columns.get(name);
  if (c) return c;
  const box = el('section', 'channel');
  const title = el('h2', null, name);
  const lines = el('div', 'lines');
  box.append(title, lines);
  const live = document.getElementById('live');
  const after = Array.from(live.children).find((s) => s.firstChild.textContent > name);
  live.insertBefore(box, after || null);
  c = { lines, block: null, count: 0 };
  columns.set(name, c);
  return c;
}

function openBlock(c, line) {
  const block = el('div', 'receipt');
  const t = new Date(line.time);
  const hms = [t.getHours(), t.getMinutes(), t.getSeconds()].map((n) => String(n).padStart(2, '0'));
  const at = { channel: line.channel, time: t.getTime() };
  if (line.store) at.store = line.store;
  block.append(receiptLink(at, hms.join(':') + ' \u2197'));
  c.lines.append(block);
  c.block = block;
}

// A store's alarm is shown on its own, with the link to its receipt.
function show(line) {
  const c = column(line.store ? line.store + ' \u00b7 ' + line.channel : line.channel);
  if (line.store || line.event === 'START' || !c.block) openBlock(c, line);
  if (line.event === 'VOID' && !c.block.classList.contains('void')) {
    c.block.classList.add('void');
    c.block.append(el('span', 'tag void', ' VOID'));
  }
  const { alarms, captures } = complete(line);
  const empty = line.text.trim() === '' && !alarms.length && !captures.length;
  if (!empty) {
    c.block.append(lineElement(line));
    c.count++;
  }
  if (line.event === 'STOP') c.block = null;
  while (c.count > kColumnLines && c.lines.firstChild) {
    c.count -= c.lines.firstChild.querySelectorAll('.line').length;
    c.lines.firstChild.remove();
  }
  const near = c.lines.scrollHeight - c.lines.scrollTop - c.lines.clientHeight < 80;
  if (near) c.lines.scrollTop = c.lines.scrollHeight;
}

// A stream the browser gave up on (the service answered 503, or was away)
// is opened again after a wait that doubles from 1 s up to 30 s.
const kRetryFirstMs = 1000;
const kRetryMostMs = 30000;
let retryMs = kRetryFirstMs;

function follow() {
  const status = document.getElementById('status');
  const source = new EventSource(withToken('/events'));
  source.onopen = () => {
    status.textContent = 'live';
    retryMs = kRetryFirstMs;
  };
  source.onerror = () => {
    status.textContent = 'reconnecting\u2026';
    if (source.readyState !== EventSource.CLOSED) return;  // the browser tries again itself
    setTimeout(follow, retryMs);
    retryMs = Math.min(retryMs * 2, kRetryMostMs);
  };
  source.onmessage = (e) => show(JSON.parse(e.data));
  // A stream that does not resume where the last one ended starts afresh.
  source.addEventListener('reset', () => {
    columns.clear();
    document.getElementById('live').replaceChildren();
  });
}

// --- search ------------------------------------------------------------

async function getJson(path, params) {
  const res = await fetch(withToken(path, params), { cache: 'no-store' });
  if (!res.ok) throw new Error((await res.text()).trim() || res.statusText);
  return res.json();
}

function flags(r) {
  return [r.void ? 'VOID' : '', r.alarms ? 'ALARM' : '', r.transaction ? '' : 'NO-TRAN']
    .filter(Boolean).join(' ');
}

async function search(form) {
  const out = document.getElementById('results');
  out.hidden = false;
  out.replaceChildren(el('p', null, 'Searching\u2026'));
  const params = {};
  for (const [k, v] of new FormData(form)) if (v !== '') params[k] = v;
  try {
    const found = await getJson('/api/search', params);
    const table = el('table');
    const head = el('tr');
    const names = ['Start', 'Channel', 'POS', 'Flags', 'Lines', ''];
    if (central) names.splice(1, 0, 'Store');
    for (const h of names) head.append(el('th', null, h));
    table.append(head);
    for (const r of found) {
      const row = el('tr');
      row.append(el('td', null, r.start.slice(0, 19).replace('T', ' ')));
      if (central) row.append(el('td', null, r.store));
      row.append(el('td', null, r.channel), el('td', null, String(r.pos)), el('td', null, flags(r)),
        el('td', 'snippet', r.lines.join('\n')));
      const link = el('td');
      link.append(receiptLink(central ? { store: r.store, id: r.id } : { id: r.id }, '#' + r.id));
      row.append(link);
      table.append(row);
    }
    out.replaceChildren(el('p', null, found.length + ' receipts'), table);
  } catch (err) {
    out.replaceChildren(el('p', 'finding alarm', err.message));
  }
}

// --- receipt view ------------------------------------------------------

async function showReceipt() {
  const view = document.getElementById('receipt');
  document.getElementById('live').hidden = true;
  view.hidden = false;
  const params = Object.fromEntries(new URLSearchParams(location.search));
  delete params.token;
  try {
    const r = await getJson('/api/receipt', params);
    document.title = 'poshark receipt #' + r.id;
    const head = el('h2', null, (r.store ? r.store + ' \u00b7 ' : '') + r.channel + ' \u00b7 POS ' + r.pos + ' \u00b7 #' + r.id + ' \u00b7 ' +
      r.start.slice(0, 19).replace('T', ' ') + (r.void ? ' \u00b7 VOID' : ''));
    const lines = el('div', 'lines receipt' + (r.void ? ' void' : ''));
    for (const l of r.lines) {
      if (l.text.trim() === '' && !complete(l).alarms.length) continue;
      lines.append(lineElement(l));
    }
    view.replaceChildren(head, lines);
  } catch (err) {
    view.replaceChildren(el('p', 'finding alarm', err.message));
  }
}

// --- stores' health (head office) ---------------------------------------

function shownTime(iso) {
  return iso ? iso.slice(0, 19).replace('T', ' ') : '\u2014';
}

async function showStores() {
  const view = document.getElementById('stores');
  try {
    const health = await getJson('/api/stores');
    const table = el('table');
    const head = el('tr');
    for (const h of ['Store', 'Status', 'Since', 'Channel', 'POS', 'Last receipt']) head.append(el('th', null, h));
    table.append(head);
    for (const s of health.stores) {
      const channels = health.channels.filter((c) => c.store === s.store);
      for (const [i, c] of (channels.length ? channels : [null]).entries()) {
        const row = el('tr', s.status === 'online' ? 'online' : 'offline');
        row.append(el('td', null, i ? '' : s.store), el('td', 'status', i ? '' : s.status || 'unknown'),
          el('td', null, i ? '' : shownTime(s.status_time)), el('td', null, c ? c.channel : ''),
          el('td', null, c ? String(c.pos) : ''), el('td', null, c ? shownTime(c.last_receipt) : ''));
        table.append(row);
      }
    }
    view.replaceChildren(table);
  } catch (err) {
    view.replaceChildren(el('p', 'finding alarm', err.message));
  }
}

document.getElementById('home').href = withToken('/');
if (central) {
  document.querySelector('#search input[name=store]').hidden = false;
  if (location.pathname !== '/receipt') {
    document.getElementById('stores').hidden = false;
    showStores();
    setInterval(showStores, kStoresEveryMs);
  }
}
document.getElementById('search').addEventListener('submit', (e) => {
  e.preventDefault();
  search(e.target);
});
if (location.pathname === '/receipt') showReceipt(); else follow();
