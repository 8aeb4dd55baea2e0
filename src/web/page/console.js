// The console page: a snapshot of the server, then its events, from the event stream;
// the routing tables through the API. Every text from the server goes into the page as
// a text node, never as markup.
'use strict';

const kCallRowLimit = 200;
const kLogLineLimit = 1000;
const kSlotCount = 4;
const kTokenKey = 'lindra-token';
const kTokenQuestion = '접근 토큰을 입력하세요';
const kWrongToken = '토큰이 맞지 않습니다';
const kDeleteQuestion = '정말 삭제 하시겠습니까?';

const state = {
  slots: [],
  operators: [[], [], [], []],
  calls: new Map(), // id -> call, in arrival order
  statistics: null,
};

// ---- small DOM helpers ----------------------------------------------------------

function el(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (value === undefined || value === null) continue;
    if (key === 'class') node.className = value;
    else if (key === 'style') node.style.cssText = value;
    else if (key.startsWith('data-')) node.setAttribute(key, value);
    else node[key] = value;
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

function svg(tag, attrs, text) {
  const node = document.createElementNS('http://www.w3.org/2000/svg', tag);
  for (const [key, value] of Object.entries(attrs)) node.setAttribute(key, String(value));
  if (text !== undefined) node.textContent = String(text);
  return node;
}

function pad2(n) { return String(n).padStart(2, '0'); }
function slotName(slot) { return 'DEV' + pad2(slot); }
// "YYYY-MM-DDTHH:MM:SS.mmm" shown as its time of day.
function clock(time) { return time ? time.slice(11, 19) : ''; }

// ---- the token ----------------------------------------------------------------------

// A page served to this machine carries the token; one served over the network asks
// for it once and keeps it in the browser.
function pageToken() {
  const meta = document.querySelector('meta[name="lindra-token"]');
  return meta && meta.content ? meta.content : '';
}

function token(ask, question) {
  const fromPage = pageToken();
  if (fromPage) return fromPage;
  let kept = localStorage.getItem(kTokenKey) || '';
  if (!kept && ask) {
    kept = (window.prompt(question || kTokenQuestion) || '').trim();
    if (kept) localStorage.setItem(kTokenKey, kept);
  }
  return kept;
}

function forgetToken() { localStorage.removeItem(kTokenKey); }

function authHeaders(ask) {
  const t = token(ask);
  return t ? { Authorization: 'Bearer ' + t } : {};
}

// ---- slots and operator PCs ---------------------------------------------------------

function slotInUse(slot) { return slot.model !== 0 && slot.inUse; }

// The window's words for a slot's link.
function linkWord(slot) {
  if (!slotInUse(slot)) return '사용 안 함';
  switch (slot.link.state) {
    case 'connected': return '연결 됨';
    case 'retrying': return '재연결 중 (' + slot.link.attempt + '회)';
    case 'ended': return '연결 중단';
    default: return slot.link.text ? '연결 실패' : '연결 끊김';
  }
}

// "down": the slot should be up and is not, so its operators are not told.
function linkTone(slot) {
  if (!slotInUse(slot)) return 'idle';
  const s = slot.link.state;
  if (s === 'retrying' || s === 'ended' || (s === 'off' && slot.link.text)) return 'down';
  return s === 'connected' ? 'up' : 'idle';
}

const kOperatorWords = { none: '', connecting: '연결 중', connected: '연결 됨', failed: '응답 없음' };

function operatorChip(row, index) {
  const tip = [row.lastSuccess ? '최근 전송 ' + row.lastSuccess : '', row.lastFailure ? '최근 실패 ' + row.lastFailure : '']
    .filter(Boolean).join('\n');
  return el('li', { class: 'pc pc-' + row.state, title: tip, 'data-row': index, 'data-ip': row.ip },
    el('span', { class: 'ext' }, row.extension), ' ', row.ip,
    kOperatorWords[row.state] ? el('span', { class: 'pc-word' }, kOperatorWords[row.state]) : null);
}

function renderSlot(slot) {
  const container = document.getElementById('slots');
  const today = slot.today || { calls: 0, notified: 0, notSent: 0, reachedNobody: 0 };
  const failure = slot.link.state !== 'connected' && slot.link.text ? slot.link.text : '';
  const card = el('article', { class: 'slot tone-' + linkTone(slot), 'data-slot': slot.slot, 'data-link': slot.link.state },
    el('header', null,
      el('span', { class: 'dot' }),
      el('strong', null, slotName(slot.slot)),
      el('span', { class: 'model' }, slot.model ? slot.modelName || String(slot.model) : '장비 없음')),
    el('p', { class: 'link' }, el('span', { class: 'state' }, linkWord(slot)),
      failure ? el('span', { class: 'failure' }, failure) : null),
    el('dl', { class: 'counts' },
      el('div', null, el('dt', null, '전화'), el('dd', { class: 'count-calls' }, today.calls)),
      el('div', null, el('dt', null, '전송'), el('dd', null, today.notified)),
      el('div', null, el('dt', null, '미전송'), el('dd', null, today.notSent)),
      el('div', null, el('dt', null, '전달 못 함'), el('dd', null, today.reachedNobody))),
    el('ul', { class: 'pcs' }, ...(state.operators[slot.slot - 1] || []).map(operatorChip)));
  const old = container.querySelector('[data-slot="' + slot.slot + '"]');
  if (old) old.replaceWith(card);
  else container.append(card);
}

function renderOperators(slotNo) {
  const card = document.querySelector('#slots [data-slot="' + slotNo + '"] .pcs');
  if (!card) return;
  card.replaceChildren(...state.operators[slotNo - 1].map(operatorChip));
}

function renderStatistics() {
  const s = state.statistics;
  const line = document.getElementById('statistics');
  if (!s) { line.replaceChildren(); return; }
  const parts = ['통계 업로드: ' + (s.lastUpload ? s.lastUpload.replace('T', ' ').slice(0, 19) : '없음')];
  if (s.headId) parts.push('본사 ID ' + s.headId);
  line.replaceChildren(parts.join(' · '), s.lastFailure ? el('span', { class: 'failure' }, s.lastFailure) : '');
}

// ---- calls ---------------------------------------------------------------------------

const kKindWords = { T: '받음', H: '끊음', R: '링' };
const kOutcomeWords = { waiting: '대기', sent: '전송', notSent: '미전송' };

function kindWord(call) {
  if (call.routing === 'unknownTrunk' || call.routing === 'unknownExtension') return '없음';
  return kKindWords[call.kind] || call.kind || '';
}

function nobodyReason(call) {
  if (call.routing === 'unknownTrunk') return '모르는 국선';
  if (call.routing === 'unknownExtension') return '모르는 내선';
  if (!call.pcs.length) return '상담원 PC 없음';
  return '모든 PC 실패';
}

function deliveries(call) {
  if (call.routing === 'broadcast') return el('span', { class: 'out out-sent' }, '방송');
  return el('span', null, ...call.pcs.map((pc) =>
    el('span', { class: 'out out-' + pc.outcome, 'data-ip': pc.ip }, pc.ip + ' ' + (kOutcomeWords[pc.outcome] || pc.outcome))));
}

function callRow(call, lastCell) {
  return el('tr', { 'data-id': call.id, class: 'kind-' + (call.kind || '') + (call.reachedNobody ? ' nobody' : '') },
    el('td', null, slotName(call.slot)), el('td', null, call.trunk || ''), el('td', null, call.extension || ''),
    el('td', null, call.did || ''), el('td', null, call.caller || ''),
    el('td', { title: call.time || '' }, clock(call.time)), el('td', null, lastCell), el('td', null, deliveries(call)));
}

function trimRows(body) {
  while (body.rows.length > kCallRowLimit) body.lastElementChild.remove();
}

function placeCall(call, isNew) {
  const calls = document.querySelector('#calls tbody');
  const nobody = document.querySelector('#nobody tbody');
  const row = callRow(call, kindWord(call));
  const old = calls.querySelector('tr[data-id="' + call.id + '"]');
  if (old) old.replaceWith(row);
  else if (isNew) { calls.prepend(row); trimRows(calls); }

  const oldMissed = nobody.querySelector('tr[data-id="' + call.id + '"]');
  if (!call.reachedNobody) { if (oldMissed) oldMissed.remove(); return; }
  const missed = callRow(call, nobodyReason(call));
  if (oldMissed) { oldMissed.replaceWith(missed); return; }
  // An update can mark an older call: it goes in among the others by its id.
  let before = nobody.firstElementChild;
  while (before && Number(before.dataset.id) > call.id) before = before.nextElementSibling;
  nobody.insertBefore(missed, before);
  trimRows(nobody);
}

function addCall(call) {
  state.calls.set(call.id, call);
  if (state.calls.size > 1000) state.calls.delete(state.calls.keys().next().value);
  placeCall(call, true);
}

function updateCall(call) {
  state.calls.set(call.id, call);
  placeCall(call, false);
}

// ---- message log ----------------------------------------------------------------------

function addMessage(message) {
  const log = document.getElementById('log');
  const nearEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 20;
  log.append(el('li', { class: 'sev-' + message.severity }, message.line));
  while (log.children.length > kLogLineLimit) log.firstElementChild.remove();
  if (nearEnd) log.scrollTop = log.scrollHeight;
}

// ---- chart ------------------------------------------------------------------------------

let chartPending = false;
function scheduleChart() {
  if (chartPending) return;
  chartPending = true;
  requestAnimationFrame(() => { chartPending = false; renderChart(); });
}

function renderChart() {
  const perHour = new Array(24).fill(0);
  const perDid = new Map();
  for (const slot of state.slots) {
    if (!slot.today) continue;
    (slot.today.perHour || []).forEach((n, hour) => { perHour[hour] += n; });
    for (const [did, n] of Object.entries(slot.today.perDid || {})) perDid.set(did, (perDid.get(did) || 0) + n);
  }

  const hours = document.getElementById('per-hour');
  const top = Math.max(1, ...perHour);
  const base = 150, height = 130, step = 20;
  const nodes = [svg('line', { x1: 0, y1: base, x2: 480, y2: base, class: 'axis' })];
  perHour.forEach((n, hour) => {
    const h = Math.round((n / top) * height);
    const x = hour * step + 2;
    const bar = svg('rect', { x, y: base - h, width: step - 4, height: h, class: 'bar' });
    bar.append(svg('title', {}, pad2(hour) + '시 ' + n + '건'));
    nodes.push(bar);
    if (n) nodes.push(svg('text', { x: x + (step - 4) / 2, y: base - h - 3, class: 'value' }, n));
    if (hour % 3 === 0) nodes.push(svg('text', { x: x + (step - 4) / 2, y: base + 14, class: 'label' }, pad2(hour)));
  });
  hours.replaceChildren(...nodes);

  const dids = document.getElementById('per-did');
  const rows = [...perDid.entries()].sort((a, b) => b[1] - a[1] || a[0].localeCompare(b[0])).slice(0, 12);
  const most = Math.max(1, ...rows.map((r) => r[1]));
  const rowHeight = 22;
  dids.setAttribute('viewBox', '0 0 480 ' + Math.max(40, rows.length * rowHeight + 6));
  const didNodes = rows.length ? [] : [svg('text', { x: 4, y: 24, class: 'label start' }, '오늘 전화 없음')];
  rows.forEach(([did, n], i) => {
    const y = i * rowHeight + 4;
    const w = Math.max(2, Math.round((n / most) * 300));
    didNodes.push(svg('text', { x: 4, y: y + 14, class: 'label start' }, did));
    const bar = svg('rect', { x: 120, y, width: w, height: rowHeight - 6, class: 'bar' });
    bar.append(svg('title', {}, did + ' ' + n + '건'));
    didNodes.push(bar, svg('text', { x: 124 + w, y: y + 14, class: 'value start' }, n));
  });
  dids.replaceChildren(...didNodes);
}

// ---- the event stream ----------------------------------------------------------------------

function applySnapshot(snapshot) {
  state.slots = snapshot.slots;
  state.operators = snapshot.operators;
  state.statistics = snapshot.statistics;
  state.calls = new Map();
  document.getElementById('slots').replaceChildren();
  snapshot.slots.forEach(renderSlot);
  document.querySelector('#calls tbody').replaceChildren();
  document.querySelector('#nobody tbody').replaceChildren();
  snapshot.calls.slice(-kCallRowLimit * 5).forEach(addCall);
  document.getElementById('log').replaceChildren();
  snapshot.messages.slice(-kLogLineLimit).forEach(addMessage);
  renderStatistics();
  scheduleChart();
  loadTables();
}

const handlers = {
  snapshot: applySnapshot,
  message: addMessage,
  cleared: () => document.getElementById('log').replaceChildren(),
  slot: (slot) => {
    state.slots[slot.slot - 1] = slot;
    renderSlot(slot);
    scheduleChart();
  },
  operators: (e) => { state.operators[e.slot - 1] = e.rows; renderOperators(e.slot); },
  operator: (e) => {
    const rows = state.operators[e.slot - 1];
    if (e.row >= 0 && e.row < rows.length) rows[e.row] = e.operator;
    renderOperators(e.slot);
  },
  call: addCall,
  'call-update': updateCall,
  statistics: (s) => { state.statistics = s; renderStatistics(); },
  tables: (e) => { if (e.slot === tableSlot()) loadTables(); },
};

function dispatch(type, data) {
  const handler = handlers[type];
  if (!handler) return;
  let value;
  try { value = JSON.parse(data); } catch (e) { return; }
  handler(value);
}

function showStream(stateName, text) {
  const badge = document.getElementById('stream');
  badge.dataset.state = stateName;
  badge.textContent = text;
}

let retries = 0;
function retryLater(start) {
  retries += 1;
  showStream('retrying', '재연결 중 (' + retries + '회)');
  setTimeout(start, Math.min(10000, 1000 * retries));
}

function onStreamOpen() {
  retries = 0;
  showStream('connected', '연결 됨');
}

// EventSource sends no Authorization header: it serves a page whose reads need no
// token. The browser reconnects it by itself after a network error; after an answer
// that is no event stream it stops, and the page starts it again.
function startEventSource() {
  const source = new EventSource('/api/events');
  for (const type of Object.keys(handlers)) source.addEventListener(type, (e) => dispatch(type, e.data));
  source.addEventListener('snapshot', onStreamOpen);
  source.onerror = () => {
    if (source.readyState === EventSource.CLOSED) retryLater(startEventSource);
    else showStream('retrying', '연결 끊김');
  };
}

// A page served over the network reads the stream with its token in a header.
async function startFetchStream() {
  try {
    const headers = authHeaders(true);
    const response = await fetch('/api/events', { headers, cache: 'no-store' });
    if (response.status === 401) {
      forgetToken();
      showStream('failed', kWrongToken);
      // A mistyped token is asked for again at once; after a cancelled question the
      // page waits for a reload.
      if (headers.Authorization && token(true, kWrongToken + '. ' + kTokenQuestion)) startFetchStream();
      return;
    }
    if (!response.ok || !response.body) throw new Error(String(response.status));
    const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
    let buffer = '';
    let type = 'message';
    let data = [];
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      buffer += value;
      const lines = buffer.split(/\r\n|\r|\n/);
      buffer = lines.pop();
      for (const line of lines) {
        if (line === '') {
          if (data.length) {
            if (type === 'snapshot') onStreamOpen();
            dispatch(type, data.join('\n'));
          }
          type = 'message';
          data = [];
        } else if (line.startsWith('event:')) type = line.slice(6).trim();
        else if (line.startsWith('data:')) data.push(line.slice(5).replace(/^ /, ''));
      }
    }
  } catch (e) {
    // fall through to a retry
  }
  retryLater(startFetchStream);
}

// ---- table editors ------------------------------------------------------------------------

const editors = {};

function tableSlot() { return Number(document.getElementById('table-slot').value); }

async function loadTables() {
  const slot = tableSlot();
  try {
    const response = await fetch('/api/tables/' + slot, { headers: authHeaders(false), cache: 'no-store' });
    if (!response.ok) return;
    const tables = await response.json();
    if (tables.slot !== tableSlot()) return;
    editors.dids.show(tables.dids.map((r) => [r.trunk, r.did]));
    editors.operators.show(tables.operators.map((r) => [r.extension, r.ip]));
  } catch (e) {
    // the stream's reconnect brings a fresh load
  }
}

function makeEditor(root) {
  const kind = root.dataset.kind;
  const body = root.querySelector('tbody');
  const form = root.querySelector('form');
  const notice = root.querySelector('.notice');
  let selected = -1;

  function select(index) {
    selected = index;
    [...body.rows].forEach((row, i) => row.classList.toggle('selected', i === index));
    const row = body.rows[index];
    if (row) {
      form.elements.first.value = row.cells[0].textContent;
      form.elements.second.value = row.cells[1].textContent;
    }
  }

  function show(rows) {
    body.replaceChildren(...rows.map(([first, second], i) => {
      const tr = el('tr', { 'data-row': i }, el('td', null, first), el('td', null, second));
      tr.addEventListener('click', () => select(i));
      return tr;
    }));
    if (selected >= rows.length) selected = -1;
    if (selected >= 0) select(selected);
  }

  function say(text, refused) {
    notice.textContent = text;
    notice.classList.toggle('refused', refused);
  }

  async function submit(action) {
    if ((action === 'modify' || action === 'delete') && selected < 0) return; // refused quietly, as in the window
    if (action === 'delete' && !window.confirm(kDeleteQuestion)) return;
    const request = { action };
    if (action !== 'add') request.row = selected;
    if (action !== 'delete') {
      request.first = form.elements.first.value.trim();
      request.second = form.elements.second.value.trim();
    }
    const slot = tableSlot();
    say('', false);
    try {
      const response = await fetch('/api/tables/' + slot + '/' + kind, {
        method: 'POST',
        headers: Object.assign({ 'Content-Type': 'application/json' }, authHeaders(true)),
        body: JSON.stringify(request),
      });
      const answer = await response.json().catch(() => ({}));
      // The server's reason is for programs; the one a user can mend is the token.
      if (response.status === 401 && answer.error === 'token required') {
        forgetToken();
        say(kWrongToken, true);
        return;
      }
      if (!response.ok) { say(answer.error || answer.message || '요청 실패 (' + response.status + ')', true); return; }
      // The server took the token: one typed for this edit brings a refused stream back too.
      if (document.getElementById('stream').dataset.state === 'failed') startFetchStream();
      say(answer.message || '', !answer.accepted);
      if (answer.accepted && action === 'delete') selected = -1;
      if (answer.accepted) loadTables();
    } catch (e) {
      say('서버에 닿지 못했습니다', true);
    }
  }

  form.addEventListener('submit', (e) => {
    e.preventDefault();
    submit(e.submitter ? e.submitter.value : 'add');
  });
  return { show, reset: () => { selected = -1; say('', false); } };
}

// ---- start ----------------------------------------------------------------------------------

function start() {
  const choice = document.getElementById('table-slot');
  for (let n = 1; n <= kSlotCount; ++n) choice.append(el('option', { value: n }, slotName(n)));
  editors.dids = makeEditor(document.getElementById('did-editor'));
  editors.operators = makeEditor(document.getElementById('operator-editor'));
  choice.addEventListener('change', () => { editors.dids.reset(); editors.operators.reset(); loadTables(); });
  renderChart();
  if (pageToken() || typeof ReadableStream === 'undefined') startEventSource();
  else startFetchStream();
}

document.addEventListener('DOMContentLoaded', start);
