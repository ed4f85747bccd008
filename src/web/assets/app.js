// The list page: received files (newest first, or sorted by a column; filtered by serial number
// and dates), the instruments connected now and the notifications, kept current by the server's
// event stream.
// Every piece of data reaches the page through textContent or an attribute, never as markup:
// serial numbers and file names come from instruments and may hold anything.
'use strict';

(function () {
  const byId = (id) => document.getElementById(id);
  const filesBody = byId('files').tBodies[0];
  const filterBox = byId('filter');
  const fromBox = byId('from');
  const toBox = byId('to');
  const localBox = byId('local-time');
  const MAX_NOTICES = 50;
  // Tens of thousands of files would make a slow page; the rest are one click away.
  const ROWS_AT_ONCE = 500;
  let rowLimit = ROWS_AT_ONCE;

  // Rows as /api/files gives them, newest first, each once (keyed by folder and name).
  let files = [];
  const known = new Set();
  // While a full listing is on its way: the files announced meanwhile, oldest first.
  let arrivals = null;
  const keyOf = (f) => f.dir + '/' + f.name;
  const HANDOFF_CLASSES =
    new Map([['handed on', 'done'], ['waiting', 'waiting'], ['failed', 'failed']]);
  // Whether orbtray hands files on, as /api/outbox last said.
  let forwarding = false;

  function fileLink(f) {
    return '/file?dir=' + encodeURIComponent(f.dir) + '&name=' + encodeURIComponent(f.name);
  }

  function cell(row, text, className) {
    const td = row.insertCell(-1);
    td.textContent = text;
    if (className) td.className = className;
    return td;
  }

  // The server gives the 32-bit signed figure `orbtray list` shows; read unsigned, it is right up
  // to 4 GB.
  const bytesOf = (f) => f.size >>> 0;
  const SIZE_UNITS = ['B', 'KB', 'MB', 'GB'];

  // 1 KB = 1024 bytes (and so on), the unit Windows shows for the same files. One decimal below
  // 100, so that files of a few KB still tell apart; a figure that would round to 1024 is written
  // in the next unit.
  function sizeText(bytes) {
    let value = bytes;
    let unit = 0;
    while (value >= 1023.5 && unit < SIZE_UNITS.length - 1) {
      value /= 1024;
      ++unit;
    }
    if (unit === 0) return value + ' B';
    return (value < 99.95 ? value.toFixed(1) : String(Math.round(value))) + ' ' + SIZE_UNITS[unit];
  }

  // The list's "YYYY-MM-DD HH:MM:SS", UTC, as milliseconds since 1970 (NaN if it is not one).
  function timeValue(text) {
    const m = /^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)$/.exec(text);
    if (!m) return NaN;
    // Not Date.UTC: it reads years below 100 as 19xx.
    const d = new Date(0);
    d.setUTCFullYear(Number(m[1]), Number(m[2]) - 1, Number(m[3]));
    d.setUTCHours(Number(m[4]), Number(m[5]), Number(m[6]));
    return d.getTime();
  }

  function localText(ms) {
    const d = new Date(ms);
    return String(d.getFullYear()).padStart(4, '0') + '-' + pad(d.getMonth() + 1) + '-' +
           pad(d.getDate()) + ' ' + pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' +
           pad(d.getSeconds());
  }

  // "UTC+05:30": the browser's offset at that moment, summer time included.
  function zoneText(ms) {
    const east = -new Date(ms).getTimezoneOffset();
    const size = Math.abs(east);
    return 'UTC' + (east < 0 ? '-' : '+') + pad(Math.floor(size / 60)) + ':' + pad(size % 60);
  }

  // Times are UTC, as the file names and `orbtray list` have them, unless the user asked for the
  // browser's local time; the other one is always on hover.
  let localTimes = false;

  function shownTime(f) {
    return localTimes && !Number.isNaN(f.at) ? localText(f.at) : f.time;
  }

  function timeCell(row, f) {
    const td = cell(row, shownTime(f), 'time');
    if (!Number.isNaN(f.at)) {
      td.title = localTimes ? f.time + ' UTC' : localText(f.at) + ' ' + zoneText(f.at);
    }
  }

  // The file a full render marks as just arrived.
  let freshKey = null;

  function fileRow(f) {
    const tr = document.createElement('tr');
    if (keyOf(f) === freshKey) tr.classList.add('fresh');
    timeCell(tr, f);
    cell(tr, f.serial, 'serial');
    const a = document.createElement('a');
    a.href = fileLink(f);
    a.textContent = f.name;
    cell(tr, '', 'name').appendChild(a);
    cell(tr, sizeText(bytesOf(f)), 'num size').title = bytesOf(f) + ' bytes';
    // Only while orbtray hands files on; empty for a file that was never queued.
    if (forwarding) {
      const handedOn = cell(tr, handoffOf(f), 'handoff');
      if (HANDOFF_CLASSES.has(f.handoff)) handedOn.classList.add(HANDOFF_CLASSES.get(f.handoff));
    }
    return tr;
  }

  const handoffOf = (f) => (typeof f.handoff === 'string' ? f.handoff : '');

  // The filters, as the boxes hold them: a part of the serial number, and the first and last day
  // (YYYY-MM-DD, both included) of the times as the list shows them, UTC or local.
  let serialWanted = '';
  let fromDay = '';
  let toDay = '';
  const DAY = /^\d{4}-\d\d-\d\d$/;

  function readFilters() {
    serialWanted = filterBox.value.trim().toLowerCase();
    fromDay = DAY.test(fromBox.value) ? fromBox.value : '';
    toDay = DAY.test(toBox.value) ? toBox.value : '';
  }

  function matches(f) {
    if (serialWanted !== '' && !String(f.serial).toLowerCase().includes(serialWanted)) {
      return false;
    }
    if (fromDay === '' && toDay === '') return true;
    const day = shownTime(f).slice(0, 10);
    return (fromDay === '' || day >= fromDay) && (toDay === '' || day <= toDay);
  }

  // The order: a column and its direction. Newest first is the order the server lists them in,
  // so that one needs no sorting; every other sort is stable, so ties stay newest first.
  const byText = new Intl.Collator(undefined, {numeric: true, sensitivity: 'base'});
  const ORDERS = {
    time: (a, b) => (a.at || 0) - (b.at || 0),
    serial: (a, b) => byText.compare(String(a.serial), String(b.serial)),
    name: (a, b) => byText.compare(a.name, b.name),
    size: (a, b) => bytesOf(a) - bytesOf(b),
    handoff: (a, b) => byText.compare(handoffOf(a), handoffOf(b)),
  };
  const NEWEST_FIRST = {key: 'time', descending: true};
  let order = NEWEST_FIRST;
  const newestFirst = () => order.key === 'time' && order.descending;

  // "size" or "-size" (descending), as the address holds it.
  function orderFrom(text) {
    const descending = text.startsWith('-');
    const key = descending ? text.slice(1) : text;
    return Object.hasOwn(ORDERS, key) ? {key, descending} : NEWEST_FIRST;
  }

  function inOrder(list) {
    if (newestFirst()) return list;
    const compare = ORDERS[order.key];
    const sign = order.descending ? -1 : 1;
    return list.slice().sort((a, b) => sign * compare(a, b));
  }

  function showOrder() {
    for (const th of document.querySelectorAll('#files th[data-sort]')) {
      if (th.dataset.sort === order.key) {
        th.setAttribute('aria-sort', order.descending ? 'descending' : 'ascending');
      } else {
        th.removeAttribute('aria-sort');
      }
    }
  }

  let matching = 0;

  function updateCounts() {
    const shown = filesBody.rows.length;
    byId('file-count').textContent =
      matching === files.length ? '(' + files.length + ')' :
                                  '(' + matching + ' of ' + files.length + ')';
    const none = byId('no-files');
    none.hidden = shown !== 0;
    none.textContent =
      files.length === 0 ? 'No files received yet.' : 'No file matches the filter.';
    const more = byId('more');
    more.hidden = shown >= matching;
    more.textContent = 'Show ' + Math.min(ROWS_AT_ONCE, matching - shown) + ' more of ' +
                       (matching - shown);
  }

  function renderFiles() {
    const fragment = document.createDocumentFragment();
    const wanted = files.filter(matches);
    matching = wanted.length;
    for (const f of inOrder(wanted).slice(0, rowLimit)) fragment.appendChild(fileRow(f));
    filesBody.replaceChildren(fragment);
    updateCounts();
  }

  // The filters and the order live in the address too (?serial=&from=&to=&sort=), so a view can
  // be bookmarked and survives a reload.
  function writeAddress() {
    const query = new URLSearchParams();
    if (filterBox.value !== '') query.set('serial', filterBox.value);
    if (fromDay !== '') query.set('from', fromDay);
    if (toDay !== '') query.set('to', toDay);
    if (!newestFirst()) query.set('sort', (order.descending ? '-' : '') + order.key);
    const text = query.toString();
    history.replaceState(null, '', text === '' ? location.pathname : '?' + text);
  }

  function onFilter() {
    rowLimit = ROWS_AT_ONCE;
    readFilters();
    writeAddress();
    renderFiles();
  }

  // A click on the column sorted by turns it round; another column starts ascending, but for the
  // time, which starts with the newest.
  function onSort(key) {
    order = key === order.key ? {key, descending: !order.descending} :
                                {key, descending: key === 'time'};
    rowLimit = ROWS_AT_ONCE;
    showOrder();
    writeAddress();
    renderFiles();
  }

  const LOCAL_KEY = 'orbtray.localTime';

  function setLocalTimes(on) {
    localTimes = on;
    localBox.checked = on;
    byId('time-head').textContent = on ? 'Time (local)' : 'Time (UTC)';
  }

  // The choice is the browser's, not a view's: it stays in localStorage (when the browser keeps
  // one), not in the address.
  function onLocalTimes() {
    setLocalTimes(localBox.checked);
    try {
      if (localTimes) localStorage.setItem(LOCAL_KEY, '1');
      else localStorage.removeItem(LOCAL_KEY);
    } catch (e) {
      // Storage refused: the switch holds for this page only.
    }
    renderFiles();
  }

  function remembered() {
    try {
      return localStorage.getItem(LOCAL_KEY) === '1';
    } catch (e) {
      return false;
    }
  }

  function withTime(f) {
    f.at = timeValue(f.time);
    return f;
  }

  function setFiles(list) {
    files = [];
    known.clear();
    for (const f of list) {
      if (!known.has(keyOf(f))) {
        known.add(keyOf(f));
        files.push(withTime(f));
      }
    }
    renderFiles();
  }

  // A file that arrives while the page is open goes to the top (or its place in another order),
  // marked for a moment.
  function addFile(f) {
    if (arrivals) arrivals.push(f);
    if (known.has(keyOf(f))) return;
    known.add(keyOf(f));
    files.unshift(withTime(f));
    if (!matches(f)) {
      updateCounts();
    } else if (newestFirst()) {
      matching++;
      const tr = fileRow(f);
      tr.classList.add('fresh');
      filesBody.insertBefore(tr, filesBody.firstChild);
      updateCounts();
    } else {
      freshKey = keyOf(f);
      renderFiles();
      freshKey = null;
    }
  }

  function renderConnections(list) {
    const ul = byId('connections');
    const fragment = document.createDocumentFragment();
    for (const c of list) {
      const li = document.createElement('li');
      const kind = document.createElement('span');
      kind.className = 'kind ' + (c.kind === 'usb' ? 'usb' : 'tcp');
      kind.textContent = c.kind === 'usb' ? 'USB' : 'Network';
      const serial = document.createElement('span');
      serial.className = 'serial';
      serial.textContent = c.serial ? c.serial : 'not identified yet';
      if (!c.serial) serial.classList.add('pending');
      const where = document.createElement('span');
      where.className = 'where';
      where.textContent = c.peer ? c.name + ' \u00b7 ' + c.peer : c.name;
      li.append(kind, serial, where);
      // A transfer in progress opens as its plot, growing until the file is received.
      if (c.transfer) {
        const live = document.createElement('a');
        live.className = 'transfer';
        live.href = '/file?link=' + encodeURIComponent(c.id);
        live.textContent = (c.transfer.lines === 1 ? '1 reading' : c.transfer.lines + ' readings') +
                           ' \u00b7 ' + c.transfer.rate + '/s';
        li.appendChild(live);
      }
      fragment.appendChild(li);
    }
    ul.replaceChildren(fragment);
    byId('no-connections').hidden = list.length !== 0;
  }

  function pad(n) {
    return String(n).padStart(2, '0');
  }

  function addNotice(n) {
    const ol = byId('notices');
    const li = document.createElement('li');
    const now = new Date();
    const when = document.createElement('time');
    when.dateTime = now.toISOString();
    when.title =
      'Received at ' + now.toISOString().replace('T', ' ').replace(/\.\d+Z$/, '') + ' UTC';
    when.textContent =
      pad(now.getUTCHours()) + ':' + pad(now.getUTCMinutes()) + ':' + pad(now.getUTCSeconds());
    // The instrument first, when the notice names one: with several connected, the title alone
    // ("File Received") does not say whose.
    const title = document.createElement('strong');
    title.textContent = n.title;
    if (typeof n.serial === 'string' && n.serial !== '') {
      const serial = document.createElement('span');
      serial.className = 'instrument';
      serial.textContent = n.serial;
      title.prepend(serial, ': ');
    }
    const text = document.createElement('p');
    text.textContent = n.text;
    li.append(when, title, text);
    // A received file's notice leads to its page.
    if (typeof n.dir === 'string' && typeof n.name === 'string') {
      const open = document.createElement('a');
      open.href = fileLink({dir: n.dir, name: n.name});
      open.textContent = 'Open ' + n.name;
      li.appendChild(open);
    }
    ol.insertBefore(li, ol.firstChild);
    while (ol.children.length > MAX_NOTICES) ol.removeChild(ol.lastChild);
    byId('no-notices').hidden = true;
  }

  function showError(text) {
    const p = byId('error');
    p.textContent = text;
    p.hidden = text === '';
  }

  async function getJson(url) {
    const response = await fetch(url, {cache: 'no-store'});
    if (!response.ok) throw new Error(url + ': ' + response.status + ' ' + response.statusText);
    return response.json();
  }

  // The full state, read at start and whenever the stream reopens: the server does not replay
  // the events missed while it was down.
  async function reload() {
    arrivals = [];
    try {
      const [list, connections] =
        await Promise.all([getJson('/api/files'), getJson('/api/connections')]);
      // Files announced while the listing was on its way are kept.
      const listed = new Set(list.files.map(keyOf));
      const pending = arrivals.filter((f) => !listed.has(keyOf(f)));
      setFiles(pending.reverse().concat(list.files));
      renderConnections(connections.connections);
      showError('');
    } catch (e) {
      showError('Cannot read from orbtray: ' + e.message);
    } finally {
      arrivals = null;
    }
  }

  function plural(n, one, many) {
    return n + ' ' + (n === 1 ? one : many);
  }

  function renderOutbox(o) {
    byId('handoff').hidden = !o.forwarding;
    byId('handoff-column').hidden = !o.forwarding;
    if (o.forwarding !== forwarding) {
      forwarding = o.forwarding;
      renderFiles();
    }
    if (!forwarding) return;
    byId('handoff-waiting').textContent = plural(o.waiting, 'file', 'files') + ' waiting';
    const down = document.createDocumentFragment();
    for (const d of o.down) {
      const li = document.createElement('li');
      li.className = 'down';
      li.textContent = 'Down: ' + d;
      down.appendChild(li);
    }
    byId('handoff-down').replaceChildren(down);
    byId('handoff-last').textContent = o.lastDelivery ?
      'Last handed on at ' + o.lastDelivery + ' UTC: ' + o.lastDelivered :
      'Nothing handed on since orbtray started.';
    const title = byId('handoff-failed-title');
    title.hidden = o.failedCount === 0;
    title.textContent = o.failed.length < o.failedCount ?
      'Failed: ' + o.failedCount + ' (the first ' + o.failed.length + ' shown)' :
      'Failed: ' + o.failedCount;
    const failed = document.createDocumentFragment();
    for (const job of o.failed) {
      const li = document.createElement('li');
      const serial = document.createElement('strong');
      serial.textContent = job.serial + ' ';
      const open = document.createElement('a');
      open.href = fileLink(job);
      open.textContent = job.name;
      const why = document.createElement('p');
      why.textContent = 'to ' + job.target + ' after ' +
        plural(job.attempts, 'attempt', 'attempts') + ': ' + job.error;
      li.append(serial, open, why);
      failed.appendChild(li);
    }
    byId('handoff-failed').replaceChildren(failed);
  }

  // The hand-off changes with every try, and no event carries it: it is asked for every few
  // seconds while orbtray hands files on, and the file list is read again whenever it moved,
  // for each row's state. An orbtray that hands nothing on is asked again only after it
  // restarted (the stream reopens).
  const OUTBOX_EVERY = 3000;
  let outboxSeen = '';
  let outboxTimer = null;

  async function pollOutbox() {
    let again = true;
    try {
      const text = await (await fetch('/api/outbox', {cache: 'no-store'})).text();
      const outbox = JSON.parse(text);
      renderOutbox(outbox);
      again = outbox.forwarding;
      if (outboxSeen !== '' && text !== outboxSeen) reload();
      outboxSeen = text;
    } catch (e) {
      // Orbtray stopping or starting: the stream's reconnection says so.
    }
    clearTimeout(outboxTimer);
    if (again) outboxTimer = setTimeout(pollOutbox, OUTBOX_EVERY);
  }

  function parse(event) {
    try {
      return JSON.parse(event.data);
    } catch (e) {
      return null;
    }
  }

  function setLive(on) {
    const live = byId('live');
    live.textContent = on ? 'live' : 'reconnecting\u2026';
    live.classList.toggle('off', !on);
  }

  let dropped = false;
  // The page's one stream; closed while the page is hidden.
  let stream = null;

  function listen() {
    if (stream && stream.readyState !== EventSource.CLOSED) return;
    const source = new EventSource('/api/events');
    stream = source;
    source.addEventListener('open', () => {
      setLive(true);
      if (dropped) {
        reload();
        pollOutbox();
      }
    });
    source.addEventListener('error', () => {
      dropped = true;
      setLive(false);
      // The browser retries by itself after a lost connection, but gives up for good on an
      // answer that is not an event stream (orbtray starting or stopping); try again later.
      if (source.readyState === EventSource.CLOSED) setTimeout(listen, 5000);
    });
    source.addEventListener('file', (event) => {
      const f = parse(event);
      if (f && typeof f.name === 'string') addFile(f);
    });
    source.addEventListener('connections', (event) => {
      const c = parse(event);
      if (c && Array.isArray(c.connections)) renderConnections(c.connections);
    });
    source.addEventListener('notice', (event) => {
      const n = parse(event);
      if (n) addNotice(n);
    });
  }

  // A page the browser keeps for its Back button would keep its stream, and orbtray serves only a
  // few per address: leaving the page lets it go, and coming back catches up.
  window.addEventListener('pagehide', () => {
    if (stream) stream.close();
  });
  window.addEventListener('pageshow', (event) => {
    if (!event.persisted) return;
    dropped = true;
    listen();
  });

  const address = new URLSearchParams(location.search);
  filterBox.value = address.get('serial') || '';
  fromBox.value = address.get('from') || '';
  toBox.value = address.get('to') || '';
  readFilters();
  order = orderFrom(address.get('sort') || '');
  showOrder();
  setLocalTimes(remembered());
  for (const box of [filterBox, fromBox, toBox]) box.addEventListener('input', onFilter);
  for (const th of document.querySelectorAll('#files th[data-sort]')) {
    th.querySelector('button').addEventListener('click', () => onSort(th.dataset.sort));
  }
  localBox.addEventListener('change', onLocalTimes);
  byId('more').addEventListener('click', () => {
    rowLimit += ROWS_AT_ONCE;
    renderFiles();
  });
  updateCounts();
  listen();
  reload();
  pollOutbox();
})();
