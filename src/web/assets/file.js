// One received file: its title, a download link, a plot of every numeric column and the
// readings page by page. The file is named by ?dir=&name= in the page's own address; the
// current page of readings is kept in the address's #page= so a reload stays where it was.
// Data reaches the page through textContent only: cells come from instruments.
'use strict';

// A transfer still arriving, named by ?link= (its connection's number on the list page): its
// plot grows as readings come, with their count and rate, until the instrument ends it; the page
// then becomes the received file's own. Asks again every LIVE_PACE ms.
function followTransfer(link) {
  const LIVE_PACE = 500;
  const POINTS = 2000;
  const byId = (id) => document.getElementById(id);
  const setText = (id, text) => {
    const element = byId(id);
    if (element) element.textContent = text;
  };
  const hide = (id, hidden) => {
    const element = byId(id);
    if (element) element.hidden = hidden;
  };
  const query = 'link=' + encodeURIComponent(link);
  const pause = () => new Promise((resolve) => setTimeout(resolve, LIVE_PACE));
  let chart = null;
  let shownLabels = '';
  window.orbtray = {plots: []};
  // Nothing to page through or download before the file is complete.
  for (const id of ['readings-panel', 'download']) hide(id, true);

  function note(text) {
    setText('plot-note', text);
    hide('plot-note', text === '');
  }

  async function redraw() {
    const response = await fetch('/api/plot?' + query + '&points=' + POINTS, {cache: 'no-store'});
    // 204: the file was being renamed as it was asked for; the next turn finds it.
    if (!response.ok || response.status === 204 || typeof Dygraph === 'undefined') return;
    const answer = await response.json();
    if (!Array.isArray(answer.labels) || answer.labels.length < 2 || !answer.data.length) {
      note('Waiting for readings to plot.');
      return;
    }
    note('');
    const isTime = answer.x === 'time';
    const data = answer.data.map((row) => [isTime ? new Date(row[0]) : row[0]].concat(row.slice(1)));
    // The chart's markup takes plain characters only, and no name twice.
    const labels = answer.labels.map((label) => String(label).replace(/[^\w .:%()/-]/g, '_'));
    const distinct = labels.map((label, i) =>
      labels.indexOf(label) === i ? label : label + ' (' + (i + 1) + ')');
    const key = distinct.join('\n') + isTime;
    if (chart && key === shownLabels) {
      chart.updateOptions({file: data});
      return;
    }
    if (chart) chart.destroy();
    // Without its legend plugin the chart writes no inline style, which the page forbids.
    Dygraph.PLUGINS = Dygraph.PLUGINS.filter((plugin) => plugin !== Dygraph.Plugins.Legend);
    chart = new Dygraph(byId('plot'), data, {
      labels: distinct,
      labelsUTC: true,
      xlabel: isTime ? 'Time (UTC)' : 'Reading',
      strokeWidth: 1.5,
      animatedZooms: false,
    });
    shownLabels = key;
    window.orbtray.plots = [chart];
  }

  async function follow() {
    for (;;) {
      let live = null;
      try {
        const response = await fetch('/api/live?' + query, {cache: 'no-store'});
        if (response.status === 404 || response.status === 400) {
          setText('error', 'This transfer is not in progress: it ended without a file, or its ' +
                           'connection closed. The list of received files shows what arrived.');
          hide('error', false);
          return;
        }
        if (response.ok) live = await response.json();
      } catch (e) {
        // orbtray restarting, or the network: asked again at the next turn.
      }
      if (live && live.state === 'received') {
        location.replace('/file?dir=' + encodeURIComponent(live.dir) + '&name=' +
                         encodeURIComponent(live.name));
        return;
      }
      if (live) {
        const count = live.lines === 1 ? '1 reading' : live.lines + ' readings';
        document.title = live.serial + ' receiving \u2013 OrbTray';
        setText('serial', live.serial);
        setText('name', 'receiving\u2026');
        setText('facts', count + ' \u00b7 ' + live.rate + '/s');
        try {
          await redraw();
        } catch (e) {
          note('Cannot draw the plot: ' + e.message);
        }
      }
      await pause();
    }
  }

  follow();
}

(function () {
  const live = new URLSearchParams(location.search).get('link');
  if (live !== null) {
    followTransfer(live);
    return;
  }
  const byId = (id) => document.getElementById(id);
  const PAGE_SIZE = 100;
  const PLOT_POINTS = 2000;
  // Distinct on white and for the common forms of colour blindness.
  const COLOURS = ['#0072b2', '#d55e00', '#009e73', '#cc79a7', '#e69f00', '#56b4e9', '#444444',
                   '#f0e442'];

  const params = new URLSearchParams(location.search);
  const dir = params.get('dir');
  const name = params.get('name');
  const query = 'dir=' + encodeURIComponent(dir || '') + '&name=' + encodeURIComponent(name || '');

  let lines = 0;
  let page = 1;
  let request = 0;

  function showError(text) {
    const p = byId('error');
    p.textContent = text;
    p.hidden = false;
  }

  // Without a file there is nothing to plot, page through or download.
  function giveUp(text) {
    showError(text);
    for (const id of ['plot-panel', 'readings-panel', 'download']) byId(id).hidden = true;
  }

  async function getJson(url) {
    const response = await fetch(url, {cache: 'no-store'});
    if (!response.ok) {
      // 422: the server read the file and says in its answer why it cannot show it.
      const reason = response.status === 422 ? (await response.text()).trim() : '';
      const error = new Error(response.status === 404 ? 'This file is not in the Data folder.' :
                              reason ? 'Cannot show this file: ' + reason + '.' :
                                       url + ': ' + response.status);
      error.status = response.status;
      throw error;
    }
    return response.json();
  }

  function pageCount() {
    return Math.max(1, Math.ceil(lines / PAGE_SIZE));
  }

  function pageFromAddress() {
    const m = /^#page=(\d+)$/.exec(location.hash);
    return m ? Math.max(1, parseInt(m[1], 10)) : 1;
  }

  const NUMBER = /^\s*[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?\s*$/;

  function heading(text, className) {
    const th = document.createElement('th');
    th.scope = 'col';
    th.textContent = text;
    if (className) th.className = className;
    return th;
  }

  function renderReadings(answer) {
    const rows = answer.rows;
    let columns = 0;
    for (const row of rows) columns = Math.max(columns, row.length);

    // A column whose every cell on this page is a number is right-aligned, heading included.
    const numeric = [];
    for (let c = 0; c < columns; c++) {
      numeric.push(rows.every((row) => c >= row.length || row[c] === '' || NUMBER.test(row[c])));
    }
    const head = byId('readings').tHead.rows[0];
    const headings = [heading('Line', 'num')];
    for (let c = 1; c <= columns; c++) {
      headings.push(heading('Column ' + c, numeric[c - 1] ? 'num' : ''));
    }
    head.replaceChildren(...headings);

    const cut = new Set(answer.cut || []);
    const body = document.createDocumentFragment();
    rows.forEach((row, i) => {
      const tr = document.createElement('tr');
      const number = tr.insertCell(-1);
      number.className = 'line';
      number.textContent = String(answer.offset + i + 1);
      if (cut.has(i)) {
        number.textContent += ' \u2702';
        tr.className = 'cut';
      }
      for (let c = 0; c < columns; c++) {
        const td = tr.insertCell(-1);
        const value = c < row.length ? row[c] : '';
        td.textContent = value;
        if (numeric[c]) td.className = 'num';
      }
      body.appendChild(tr);
    });
    byId('readings').tBodies[0].replaceChildren(body);
    byId('no-readings').hidden = lines !== 0;
    readingsNote(answer);
  }

  // What the table could not show whole: cut rows, rows left out, lines past what is read.
  function readingsNote(answer) {
    const notes = [];
    if (answer.cut && answer.cut.length) notes.push('Rows marked \u2702 are cut short here.');
    if (answer.more) {
      notes.push('Only ' + answer.rows.length + ' rows of this page fit in one answer.');
    }
    if (answer.partial) {
      notes.push('Only the first ' + answer.lines + ' readings are read; the file goes on.');
    }
    if (notes.length) notes.push('The download holds the whole file.');
    const note = byId('readings-note');
    note.textContent = notes.join(' ');
    note.hidden = notes.length === 0;
  }

  function renderPager() {
    const count = pageCount();
    byId('page').textContent = 'Page ' + page + ' of ' + count;
    byId('first').disabled = byId('prev').disabled = page <= 1;
    byId('next').disabled = byId('last').disabled = page >= count;
  }

  async function showPage(wanted) {
    const mine = ++request;
    const answer = await getJson('/api/file?' + query + '&offset=' + (wanted - 1) * PAGE_SIZE +
                                 '&count=' + PAGE_SIZE);
    // A slower answer for a page the user already left must not overwrite the newer one.
    if (mine !== request) return answer;
    lines = answer.lines;
    page = Math.min(wanted, pageCount());
    renderReadings(answer);
    renderPager();
    const hash = page > 1 ? '#page=' + page : '';
    if (location.hash !== hash) {
      history.replaceState(null, '', location.pathname + location.search + hash);
    }
    return answer;
  }

  function goTo(wanted) {
    showPage(Math.min(Math.max(1, wanted), pageCount())).catch((e) => showError(e.message));
  }

  function describe(answer) {
    document.title = answer.serial + ' ' + answer.name + ' \u2013 OrbTray';
    byId('serial').textContent = answer.serial;
    byId('name').textContent = answer.name;
    const readings = answer.lines === 1 ? '1 reading' : answer.lines + ' readings';
    byId('facts').textContent = readings + ' \u00b7 ' + answer.size + ' bytes \u00b7 folder ' +
                                answer.dir;
  }

  function plotNote(text) {
    const note = byId('plot-note');
    note.textContent = text;
    note.hidden = text === '';
  }

  // The series names go into the chart's own markup; only plain characters are let through.
  // The chart also refuses two series of the same name.
  function safeLabels(labels) {
    const seen = new Set();
    return labels.map((label, i) => {
      let safe = String(label).replace(/[^\w .:%()/-]/g, '_');
      if (seen.has(safe)) safe += ' (' + (i + 1) + ')';
      seen.add(safe);
      return safe;
    });
  }

  // The server names a column by its place in the line ("col2"), as the table's headings do.
  function columnName(label) {
    const m = /^col(\d+)$/.exec(label);
    return m ? 'Column ' + m[1] : label;
  }

  function formatValue(value) {
    if (value === null || value === undefined || Number.isNaN(value)) return '\u2013';
    return String(Math.round(value * 1e6) / 1e6);
  }

  // Our own legend, built from DOM nodes: the chart's built-in one writes inline styles,
  // which the page's Content-Security-Policy refuses. Each entry also shows or hides its series,
  // so that columns of very different scales can be read one at a time.
  function buildLegend(graph, labels, isTime) {
    const legend = byId('legend');
    const xValue = document.createElement('span');
    xValue.className = 'x-value';
    const values = [];
    const entries = labels.slice(1).map((label, i) => {
      const item = document.createElement('label');
      item.className = 'series';
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.checked = true;
      box.addEventListener('change', () => graph.setVisibility(i, box.checked));
      const swatch = document.createElement('span');
      swatch.className = 'swatch';
      swatch.style.backgroundColor = COLOURS[i % COLOURS.length];
      const text = document.createElement('span');
      text.textContent = columnName(label);
      const value = document.createElement('span');
      value.className = 'value';
      values.push(value);
      item.append(box, swatch, text, value);
      return item;
    });
    legend.replaceChildren(xValue, ...entries);

    return {
      show(x, points) {
        const when = new Date(x);
        if (!isTime) {
          xValue.textContent = 'line ' + x;
        } else if (!Number.isNaN(when.getTime())) {
          xValue.textContent =
            when.toISOString().replace('T', ' ').replace(/(\.000)?Z$/, '') + ' UTC';
        }
        values.forEach((v) => (v.textContent = ''));
        for (const p of points) {
          const i = labels.indexOf(p.name) - 1;
          if (i >= 0) values[i].textContent = formatValue(p.yval);
        }
      },
      clear() {
        xValue.textContent = '';
        values.forEach((v) => (v.textContent = ''));
      },
    };
  }

  async function drawPlot() {
    if (typeof Dygraph === 'undefined') {
      plotNote('The plotting library did not load.');
      return;
    }
    const answer = await getJson('/api/plot?' + query + '&points=' + PLOT_POINTS);
    const labels = safeLabels(answer.labels);
    if (labels.length < 2 || answer.data.length === 0) {
      plotNote(lines === 0 ? 'No readings to plot.' : 'No numeric column to plot.');
      byId('plot').hidden = true;
      return;
    }
    const isTime = answer.x === 'time';
    const data = answer.data.map((row) => {
      const copy = row.slice();
      if (isTime) copy[0] = new Date(row[0]);
      return copy;
    });

    // Without its legend plugin the chart writes no inline style of its own.
    Dygraph.PLUGINS = Dygraph.PLUGINS.filter((plugin) => plugin !== Dygraph.Plugins.Legend);
    let legend = null;
    const graph = new Dygraph(byId('plot'), data, {
      labels: labels,
      labelsUTC: true,
      xlabel: isTime ? 'Time (UTC)' : 'Line',
      colors: COLOURS.slice(0, labels.length - 1),
      strokeWidth: 1.5,
      highlightCircleSize: 3,
      // A handful of readings would be hard to see as lines alone; one alone would not show.
      drawPoints: data.length <= 60,
      pointSize: 2,
      xRangePad: 6,
      // A single reading gets room either side instead of sitting on the axis.
      dateWindow: data.length === 1 ? [answer.data[0][0] - (isTime ? 60000 : 1),
                                       answer.data[0][0] + (isTime ? 60000 : 1)] : null,
      showRangeSelector: data.length > 50,
      rangeSelectorHeight: 32,
      animatedZooms: false,
      highlightCallback: (event, x, points) => legend && legend.show(x, points),
      unhighlightCallback: () => legend && legend.clear(),
    });
    legend = buildLegend(graph, labels, isTime);
    // A file longer than the server reads is plotted from its first readings only.
    const drawnFrom = answer.partial ? ' of the first ' + answer.lines +
                                       ' readings (the file goes on past what is read here)'
                                     : ' of ' + answer.lines + ' readings';
    if (answer.lines > data.length || answer.partial) {
      plotNote('Drawn from ' + data.length + drawnFrom +
               ': each stretch keeps its lowest and highest values. ' +
               'Drag across the plot to zoom in; double-click to zoom out.');
    } else {
      plotNote('Drag across the plot to zoom in; double-click to zoom out.');
    }
  }

  async function start() {
    if (!dir || !name) {
      giveUp('No file given: open a file from the list of received files.');
      return;
    }
    byId('name').textContent = name;
    byId('download').href = '/download?' + query;
    byId('download').setAttribute('download', name);
    byId('first').addEventListener('click', () => goTo(1));
    byId('prev').addEventListener('click', () => goTo(page - 1));
    byId('next').addEventListener('click', () => goTo(page + 1));
    byId('last').addEventListener('click', () => goTo(pageCount()));

    try {
      const wanted = pageFromAddress();
      let first = await showPage(wanted);
      // An address kept from a longer file may name a page past the end.
      if (wanted > pageCount()) first = await showPage(pageCount());
      describe(first);
    } catch (e) {
      if (e.status === 422) {
        // Not readings, but still the user's file: it can be downloaded.
        showError(e.message);
        for (const id of ['plot-panel', 'readings-panel']) byId(id).hidden = true;
      } else {
        giveUp(e.message);
      }
      return;
    }
    try {
      await drawPlot();
    } catch (e) {
      plotNote('Cannot draw the plot: ' + e.message);
    }
  }

  start();
})();
