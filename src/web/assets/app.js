// The list page: received files (newest first, filtered by serial number), the instruments
// connected now and the notifications, kept current by the server's event stream.
// Every piece of data reaches the page through textContent or an attribute, never as markup:
// serial numbers and file names come from instruments and may hold anything.
'use strict';

(function () {
  const byId = (id) => document.getElementById(id);
  const filesBody = byId('files').tBodies[0];
  const filterBox = byId('filter');
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

  function fileRow(f) {
    const tr = document.createElement('tr');
    cell(tr, f.time, 'time');
    cell(tr, f.serial, 'serial');
    const a = document.createElement('a');
    a.href = fileLink(f);
    a.textContent = f.name;
    cell(tr, '', 'name').appendChild(a);
    // The same text as `orbtray list` and the File Transfers window.
    cell(tr, f.size + ' bytes', 'num');
    // Only while orbtray hands files on; empty for a file that was never queued.
    if (forwarding) {
      const handedOn = cell(tr, typeof f.handoff === 'string' ? f.handoff : '', 'handoff');
      if (HANDOFF_CLASSES.has(f.handoff)) handedOn.classList.add(HANDOFF_CLASSES.get(f.handoff));
    }
    return tr;
  }

  function matches(f) {
    const wanted = filterBox.value.trim().toLowerCase();
    return wanted === '' || String(f.serial).toLowerCase().includes(wanted);
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
    matching = 0;
    for (const f of files) {
      if (matches(f) && ++matching <= rowLimit) fragment.appendChild(fileRow(f));
    }
    filesBody.replaceChildren(fragment);
    updateCounts();
  }

  // The filter lives in the address too (?serial=), so it can be bookmarked and survives a reload.
  function onFilter() {
    rowLimit = ROWS_AT_ONCE;
    const wanted = filterBox.value;
    const address = wanted === '' ? location.pathname :
                                    location.pathname + '?serial=' + encodeURIComponent(wanted);
    history.replaceState(null, '', address);
    renderFiles();
  }

  function setFiles(list) {
    files = [];
    known.clear();
    for (const f of list) {
      if (!known.has(keyOf(f))) {
        known.add(keyOf(f));
        files.push(f);
      }
    }
    renderFiles();
  }

  // A file that arrives while the page is open goes to the top, marked for a moment.
  function addFile(f) {
    if (arrivals) arrivals.push(f);
    if (known.has(keyOf(f))) return;
    known.add(keyOf(f));
    files.unshift(f);
    if (matches(f)) {
      matching++;
      const tr = fileRow(f);
      tr.classList.add('fresh');
      filesBody.insertBefore(tr, filesBody.firstChild);
    }
    updateCounts();
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
    const title = document.createElement('strong');
    title.textContent = n.title;
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

  function listen() {
    const source = new EventSource('/api/events');
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

  filterBox.value = new URLSearchParams(location.search).get('serial') || '';
  filterBox.addEventListener('input', onFilter);
  byId('more').addEventListener('click', () => {
    rowLimit += ROWS_AT_ONCE;
    renderFiles();
  });
  updateCounts();
  listen();
  reload();
  pollOutbox();
})();
