// One received file: its title, a download link, a plot of every numeric column and the
// readings page by page. The file is named by ?dir=&name= in the page's own address; what the
// plot shows (range, second axis, panels, hidden series) is kept beside them in the query, and
// the current page of readings in #page=, so that a link or a reload shows the same view.
// Data reaches the page through textContent only: cells and names come from instruments.
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
  // Distinct on white and for the common forms of colour blindness; the dark set keeps the
  // same order, lifted where a colour would sink into a dark background.
  const COLOURS = {
    light: ['#0072b2', '#d55e00', '#009e73', '#cc79a7', '#e69f00', '#56b4e9', '#444444',
            '#f0e442'],
    dark: ['#4aa3df', '#f07c3a', '#2cc497', '#e29ac4', '#f0b43c', '#8ccdf2', '#c8c8c8',
           '#f0e442'],
  };
  // A zoom or pan settles before the server is asked for what it shows.
  const REFETCH_DELAY_MS = 150;
  const darkScheme = window.matchMedia('(prefers-color-scheme: dark)');
  const coarsePointer = window.matchMedia('(pointer: coarse)');

  const params = new URLSearchParams(location.search);
  const dir = params.get('dir');
  const name = params.get('name');
  const query = 'dir=' + encodeURIComponent(dir || '') + '&name=' + encodeURIComponent(name || '');

  // The charts on show, for scripts that read what the page plots (tests, a lab's own tools).
  window.orbtray = window.orbtray || {};
  window.orbtray.plots = [];

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

  // The name a saved copy gets: SERIAL_YYMMDD-HHMMSS.ext, in plain ASCII as the server's
  // download header has it.
  function savedName(extension) {
    const plain = (text) => String(text).replace(/[^\x20-\x7e]|["\\/]/g, '_');
    return plain(dir) + '_' + plain(name).replace(/\.csv$/i, '') + '.' + extension;
  }

  // --- numbers and times as the page writes them ----------------------------------------

  // Thin spaces between thousands: a comma or a point would read as a decimal sign somewhere.
  // Four digits stay together, as a year or 1013 hPa are usually written.
  function grouped(integerText) {
    if (integerText.replace('-', '').length <= 4) return integerText;
    return integerText.replace(/\B(?=(\d{3})+(?!\d))/g, '\u2009');
  }

  function formatNumber(value) {
    if (value === null || value === undefined || Number.isNaN(value)) return '\u2013';
    if (value !== 0 && Math.abs(value) < 1e-4) return value.toPrecision(4);
    const text = String(Math.round(value * 1e6) / 1e6);
    const [whole, fraction] = text.split('.');
    return grouped(whole) + (fraction ? '.' + fraction : '');
  }

  function utcText(ms) {
    const when = new Date(ms);
    if (Number.isNaN(when.getTime())) return '';
    return when.toISOString().replace('T', ' ').replace(/(\.000)?Z$/, '') + ' UTC';
  }

  function localText(ms) {
    return new Date(ms).toLocaleString(undefined, {timeZoneName: 'short'});
  }

  // --- the readings table ---------------------------------------------------------------

  function pageCount() {
    return Math.max(1, Math.ceil(lines / PAGE_SIZE));
  }

  function pageFromAddress() {
    const m = /^#page=(\d+)$/.exec(location.hash);
    return m ? Math.max(1, parseInt(m[1], 10)) : 1;
  }

  // A number with a decimal point or, in files that separate cells with semicolons, a comma.
  const NUMBER = /^\s*[-+]?(\d+[.,]?\d*|[.,]\d+)([eE][-+]?\d+)?\s*$/;

  function heading(text, className) {
    const th = document.createElement('th');
    th.scope = 'col';
    th.textContent = text;
    if (className) th.className = className;
    return th;
  }

  function renderReadings(answer) {
    const rows = answer.rows;
    const names = answer.header || [];
    let columns = names.length;
    for (const row of rows) columns = Math.max(columns, row.length);

    // A column whose every cell on this page is a number is right-aligned, heading included.
    const numeric = [];
    for (let c = 0; c < columns; c++) {
      numeric.push(rows.every((row) => c >= row.length || row[c] === '' || NUMBER.test(row[c])));
    }
    const head = byId('readings').tHead.rows[0];
    const headings = [heading('Line', 'num')];
    for (let c = 1; c <= columns; c++) {
      const text = c <= names.length && names[c - 1] !== '' ? names[c - 1] : 'Column ' + c;
      headings.push(heading(text, numeric[c - 1] ? 'num' : ''));
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

  // --- the view kept in the address -----------------------------------------------------

  function columnSet(text) {
    return new Set((text || '').split(',').filter((c) => /^\d+$/.test(c)).map(Number));
  }

  function viewFromAddress() {
    const from = Number(params.get('from'));
    const to = Number(params.get('to'));
    const ranged = params.has('from') && params.has('to') && Number.isFinite(from) &&
                   Number.isFinite(to) && from < to;
    return {
      range: ranged ? [from, to] : null,
      y2: columnSet(params.get('y2')),  // columns on the right-hand axis
      hidden: columnSet(params.get('hide')),
      split: params.get('split') === '1',
    };
  }

  // Rounded so that the address stays short; a hundredth of a reading or a millisecond is
  // far below what a screen shows.
  function rangeText(value) {
    return String(Math.round(value * 100) / 100);
  }

  function writeView() {
    const kept = new URLSearchParams(location.search);
    const set = (key, value) => (value ? kept.set(key, value) : kept.delete(key));
    const range = chart.wanted === undefined ? chart.shown : chart.wanted;
    set('from', range ? rangeText(range[0]) : '');
    set('to', range ? rangeText(range[1]) : '');
    set('y2', [...chart.view.y2].sort((a, b) => a - b).join(','));
    set('hide', [...chart.view.hidden].sort((a, b) => a - b).join(','));
    set('split', chart.view.split ? '1' : '');
    const search = '?' + kept.toString();
    if (search !== location.search) {
      history.replaceState(null, '', location.pathname + search + location.hash);
    }
  }

  // --- the plot -------------------------------------------------------------------------

  const chart = {
    answer: null,  // the server's latest answer on show
    isTime: false,
    series: [],  // from the answer, each with a unique key for the chart library
    extent: null,  // first and last x of the whole file
    shown: null,  // the range the data on show was asked for; null: the whole file
    wanted: undefined,  // a range waiting to be asked for, while a zoom settles
    graphs: [],  // one chart, or one per series when split
    panels: [],  // the series each chart draws, by index into `series`
    view: viewFromAddress(),
    timer: 0,
    asked: 0,
    syncing: false,
    legend: null,
  };

  function plotNote(text) {
    const note = byId('plot-note');
    note.textContent = text;
    note.hidden = text === '';
  }

  function colours() {
    return darkScheme.matches ? COLOURS.dark : COLOURS.light;
  }

  function colourOf(index) {
    const set = colours();
    return set[index % set.length];
  }

  // The chart's canvas colours come from the style sheet, which follows the system's scheme.
  function canvasColours() {
    const style = getComputedStyle(byId('plot-panel'));
    return {
      axisLineColor: style.getPropertyValue('--plot-axis').trim() || '#888',
      gridLineColor: style.getPropertyValue('--plot-grid').trim() || '#ddd',
    };
  }

  // The chart library writes axis titles as markup.
  function markupText(text) {
    return String(text).replace(/[&<>"']/g, (c) => '&#' + c.charCodeAt(0) + ';');
  }

  function withUnit(series) {
    return series.unit ? series.label + ' (' + series.unit + ')' : series.label;
  }

  // An axis is titled by what it carries: one series with its unit, or several sharing one.
  function axisTitle(indices) {
    const on = indices.map((i) => chart.series[i]);
    if (on.length === 0) return '';
    const units = new Set(on.map((s) => s.unit));
    if (on.length > 1 && units.size === 1 && on[0].unit) {
      return on.map((s) => s.label).join(', ') + ' (' + on[0].unit + ')';
    }
    return on.map(withUnit).join(', ');
  }

  // The series as the answer names them, each under a name of its own: the chart library
  // tells series apart by name.
  function seriesOf(answer) {
    const seen = new Set([answer.labels[0]]);
    return (answer.series || []).map((s, i) => {
      let key = s.label || s.name || 'Column ' + s.column;
      if (seen.has(key)) key += ' (' + (i + 1) + ')';
      seen.add(key);
      return Object.assign({}, s, {key: key, label: s.label || key, unit: s.unit || ''});
    });
  }

  function sameRange(a, b) {
    if (!a || !b) return !a && !b;
    const tolerance = Math.abs(a[1] - a[0]) * 1e-9;
    return Math.abs(a[0] - b[0]) <= tolerance && Math.abs(a[1] - b[1]) <= tolerance;
  }

  // The range a chart shows, or null when it shows the whole file.
  function windowOf(graph) {
    if (!graph.isZoomed('x')) return null;
    const range = graph.xAxisRange();
    const extent = chart.extent;
    return extent && range[0] <= extent[0] && range[1] >= extent[1] ? null : range;
  }

  // A single reading gets room either side instead of sitting on the axis.
  function dateWindowFor(range) {
    if (range) return range;
    const extent = chart.extent;
    if (extent && extent[0] === extent[1]) {
      const room = chart.isTime ? 60000 : 1;
      return [extent[0] - room, extent[1] + room];
    }
    return null;
  }

  // As many rows as the chart has pixels across, twice over: each stretch of readings keeps its
  // lowest and highest value.
  function pointsWanted() {
    const width = byId('plot').clientWidth || 800;
    return Math.min(4000, Math.max(200, Math.round(width * 2)));
  }

  function plotUrl(range) {
    let url = '/api/plot?' + query + '&points=' + pointsWanted();
    if (range) url += '&from=' + Math.floor(range[0]) + '&to=' + Math.ceil(range[1]);
    return url;
  }

  function rowsFor(indices) {
    let data = chart.answer.data;
    // An empty stretch between readings: the chart library needs a row to draw axes at all.
    if (data.length === 0 && chart.shown) {
      const empty = chart.series.map(() => null);
      data = [[chart.shown[0], ...empty], [chart.shown[1], ...empty]];
    }
    return data.map((row) => [chart.isTime ? new Date(row[0]) : row[0],
                              ...indices.map((i) => row[i + 1])]);
  }

  // Reading numbers are whole: no tick between two readings.
  function lineTicks(a, b, pixels, opts, graph, values) {
    return Dygraph.numericTicks(a, b, pixels, opts, graph, values)
        .filter((tick) => Number.isInteger(tick.v));
  }

  function axisNumber(value) {
    return formatNumber(Number(value.toPrecision(12)));
  }

  function graphOptions(indices, range) {
    const split = chart.view.split;
    // Every series on the right would leave the left axis empty: they stay on the left.
    const wantRight = (i) => !split && chart.view.y2.has(chart.series[i].column);
    const allRight = indices.every(wantRight);
    const onRight = (i) => !allRight && wantRight(i);
    const left = indices.filter((i) => !onRight(i));
    const right = indices.filter(onRight);
    const seriesOptions = {};
    for (const i of right) seriesOptions[chart.series[i].key] = {axis: 'y2'};
    const rows = chart.answer.data.length;
    // On a phone the axes give up room to the plot, and ticks sit closer, so that several
    // stay labelled.
    const narrow = byId('plot').clientWidth < 500;
    const options = Object.assign({
      labels: [chart.answer.labels[0], ...indices.map((i) => chart.series[i].key)],
      labelsUTC: true,
      xlabel: markupText(chart.answer.labels[0]),
      ylabel: markupText(axisTitle(left)),
      y2label: markupText(axisTitle(right)),
      series: seriesOptions,
      colors: indices.map(colourOf),
      visibility: indices.map((i) => !chart.view.hidden.has(chart.series[i].column)),
      strokeWidth: 1.5,
      highlightCircleSize: 3,
      // A handful of readings would be hard to see as lines alone; one alone would not show.
      drawPoints: rows <= 60,
      pointSize: 2,
      xRangePad: 6,
      animatedZooms: false,
      dateWindow: dateWindowFor(range),
      axes: {
        x: chart.isTime ? {pixelsPerLabel: narrow ? 55 : 90, axisLabelWidth: narrow ? 55 : 80} : {
          pixelsPerLabel: narrow ? 65 : 80,
          axisLabelWidth: narrow ? 65 : 80,
          ticker: lineTicks,
          axisLabelFormatter: (x) => formatNumber(x),
        },
        y: {axisLabelWidth: narrow ? 50 : 56, axisLabelFormatter: axisNumber},
        y2: {axisLabelWidth: narrow ? 50 : 56, axisLabelFormatter: axisNumber,
             independentTicks: true},
      },
      highlightCallback: (event, x, points) => chart.legend && chart.legend.show(x, points),
      unhighlightCallback: () => chart.legend && chart.legend.clear(),
      drawCallback: (graph, initial) => initial || moved(graph),
    }, canvasColours());
    return options;
  }

  // After every zoom or pan of one chart: the others follow, and the server is asked for the
  // new range at full detail once the movement settles.
  function moved(graph) {
    if (chart.syncing) return;
    const range = windowOf(graph);
    chart.syncing = true;
    try {
      for (const other of chart.graphs) {
        if (other !== graph) other.updateOptions({dateWindow: range ? graph.xAxisRange() : null});
      }
    } finally {
      chart.syncing = false;
    }
    const waiting = chart.wanted === undefined ? chart.shown : chart.wanted;
    if (sameRange(range, waiting)) return;
    chart.wanted = range;
    writeView();
    clearTimeout(chart.timer);
    chart.timer = setTimeout(() => refetch(range), REFETCH_DELAY_MS);
  }

  async function refetch(range) {
    const mine = ++chart.asked;
    let answer;
    try {
      answer = await getJson(plotUrl(range));
    } catch (e) {
      if (mine === chart.asked) plotNote('Cannot read this part of the file: ' + e.message);
      return;
    }
    // Only the latest question's answer is drawn; a slower earlier one is dropped.
    if (mine !== chart.asked) return;
    if (sameRange(chart.wanted, range)) chart.wanted = undefined;
    chart.answer = answer;
    chart.shown = range;
    const current = chart.graphs.length ? windowOf(chart.graphs[0]) : range;
    chart.syncing = true;
    try {
      chart.graphs.forEach((graph, k) => graph.updateOptions({
        file: rowsFor(chart.panels[k]),
        drawPoints: answer.data.length <= 60,
        // The view stays where the user has it, even if it moved while the answer came.
        dateWindow: current ? graph.xAxisRange() : dateWindowFor(null),
      }));
    } finally {
      chart.syncing = false;
    }
    showStats();
    explain();
    writeView();
  }

  function wholeFile() {
    for (const graph of chart.graphs) graph.resetZoom();
  }

  // Our own legend, built from DOM nodes: the chart's built-in one writes inline styles,
  // which the page's Content-Security-Policy refuses. Each entry shows or hides its series and
  // moves it to the right-hand axis, so that series of very different scales can be read.
  function buildLegend() {
    const legend = byId('legend');
    const xValue = document.createElement('span');
    xValue.className = 'x-value';
    const values = [];
    const swatches = [];
    const entries = chart.series.map((series, i) => {
      const entry = document.createElement('span');
      entry.className = 'series';
      const item = document.createElement('label');
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.checked = !chart.view.hidden.has(series.column);
      box.addEventListener('change', () => {
        if (box.checked) chart.view.hidden.delete(series.column);
        else chart.view.hidden.add(series.column);
        rebuild();
      });
      const swatch = document.createElement('span');
      swatch.className = 'swatch';
      swatch.style.backgroundColor = colourOf(i);
      swatches.push(swatch);
      const text = document.createElement('span');
      text.textContent = withUnit(series);
      const value = document.createElement('span');
      value.className = 'value';
      values.push(value);
      item.append(box, swatch, text, value);
      entry.append(item);
      // A second axis is for a second series.
      if (chart.series.length < 2) return entry;

      const axis = document.createElement('label');
      axis.className = 'axis-choice';
      axis.title = 'Draw ' + series.label + ' against the right-hand axis';
      const right = document.createElement('input');
      right.type = 'checkbox';
      right.className = 'y2';
      right.dataset.column = String(series.column);
      right.checked = chart.view.y2.has(series.column);
      right.addEventListener('change', () => {
        if (right.checked) chart.view.y2.add(series.column);
        else chart.view.y2.delete(series.column);
        rebuild();
      });
      axis.append(right, document.createTextNode('right axis'));
      entry.append(axis);
      return entry;
    });
    legend.replaceChildren(xValue, ...entries);

    return {
      show(x, points) {
        if (chart.isTime) {
          xValue.textContent = utcText(x);
          xValue.title = localText(x);
        } else {
          xValue.textContent = 'reading ' + formatNumber(x);
          xValue.title = '';
        }
        values.forEach((v) => (v.textContent = ''));
        for (const p of points) {
          const i = chart.series.findIndex((s) => s.key === p.name);
          if (i >= 0) values[i].textContent = formatNumber(p.yval);
        }
      },
      clear() {
        xValue.textContent = '';
        values.forEach((v) => (v.textContent = ''));
      },
      recolour() {
        swatches.forEach((swatch, i) => (swatch.style.backgroundColor = colourOf(i)));
      },
    };
  }

  // Min, max and mean of each series over every reading in view, as the server counted them.
  function showStats() {
    const stats = chart.answer.stats;
    const table = byId('stats');
    if (!stats) {
      table.hidden = true;
      return;
    }
    const range = chart.shown;
    const caption = byId('stats-range');
    if (!range) {
      caption.textContent = 'Whole file';
      caption.title = '';
    } else if (chart.isTime) {
      caption.textContent = 'In view: ' + utcText(range[0]) + ' to ' + utcText(range[1]);
      caption.title = localText(range[0]) + ' to ' + localText(range[1]);
    } else {
      caption.textContent = 'In view: readings ' + formatNumber(Math.max(1, Math.ceil(range[0]))) +
                            ' to ' + formatNumber(Math.floor(range[1]));
      caption.title = '';
    }
    const body = document.createDocumentFragment();
    chart.series.forEach((series, i) => {
      const s = stats[i] || {};
      const tr = document.createElement('tr');
      // The mean to two places more than the readings have: more would be noise.
      const places = Math.max(...[s.min, s.max].map((v) => {
        const fraction = String(v).split('.')[1];
        return fraction ? fraction.length : 0;
      }));
      const plain = [s.min, s.max].every((v) => !/e/i.test(String(v)));
      const mean = typeof s.mean === 'number' && plain ?
        Math.round(s.mean * 10 ** (places + 2)) / 10 ** (places + 2) : s.mean;
      const cells = [withUnit(series), formatNumber(s.min), formatNumber(s.max),
                     formatNumber(mean), formatNumber(s.count)];
      cells.forEach((text, c) => {
        const td = tr.insertCell(-1);
        td.textContent = text;
        if (c > 0) td.className = 'num';
      });
      body.appendChild(tr);
    });
    table.tBodies[0].replaceChildren(body);
    table.hidden = false;
  }

  // What the plot shows and how to move it, in the words of the pointer the user has.
  function explain() {
    const answer = chart.answer;
    const how = coarsePointer.matches ?
        'Pinch to zoom, swipe to move along, double-tap for the whole file.' :
        'Drag across the plot to zoom in, shift-drag to move along, ' +
        'double-click for the whole file.';
    let drawn = '';
    if (answer.partial) {
      drawn = 'Drawn from the first ' + answer.lines +
              ' readings (the file goes on past what is read here). ';
    }
    const inRange = chart.answer.stats && chart.answer.stats.length ?
                    Math.max(...chart.answer.stats.map((s) => s.count || 0)) : answer.lines;
    if (answer.data.length < inRange) {
      drawn += 'Each stretch of readings keeps its lowest and highest values; zoom in to see ' +
               'every reading. ';
    }
    plotNote(drawn + how);
  }

  // Builds the chart, or one per series, afresh: after the first answer and whenever the
  // panels or axes change.
  function rebuild() {
    // New charts keep the range the old ones show, even one still waiting for its readings.
    const range = chart.graphs.length ? windowOf(chart.graphs[0]) : chart.shown;
    for (const graph of chart.graphs) graph.destroy();
    const plots = byId('plot');
    const all = chart.series.map((s, i) => i);
    // Split, a hidden series has no panel at all.
    const shown = all.filter((i) => !chart.view.hidden.has(chart.series[i].column));
    chart.panels = chart.view.split ? shown.map((i) => [i]) : [all];
    const holders = chart.panels.map(() => {
      const div = document.createElement('div');
      div.className = chart.view.split ? 'plot panel-plot' : 'plot';
      return div;
    });
    plots.replaceChildren(...holders);
    chart.syncing = true;
    try {
      chart.graphs = chart.panels.map((indices, k) =>
          new Dygraph(holders[k], rowsFor(indices), graphOptions(indices, range)));
    } finally {
      chart.syncing = false;
    }
    window.orbtray.plots = chart.graphs.slice();
    byId('split').checked = chart.view.split;
    byId('plot-panel').classList.toggle('split', chart.view.split);
    writeView();
  }

  function recolour() {
    const colours = canvasColours();
    chart.graphs.forEach((graph, k) => graph.updateOptions(
        Object.assign({colors: chart.panels[k].map(colourOf)}, colours)));
    if (chart.legend) chart.legend.recolour();
  }

  // One picture of every panel with its axis labels, which the chart library keeps as text
  // beside its canvases rather than on them.
  function picture() {
    const ratio = window.devicePixelRatio || 1;
    const holders = chart.graphs.map((graph) => graph.graphDiv);
    const top = holders[0].getBoundingClientRect().top;
    const left = holders[0].getBoundingClientRect().left;
    const last = holders[holders.length - 1].getBoundingClientRect();
    const width = Math.ceil(holders[0].getBoundingClientRect().width);
    // Room above the charts for what they show: the instrument and its file.
    const titleHeight = 28;
    const height = Math.ceil(last.bottom - top) + titleHeight;
    const canvas = document.createElement('canvas');
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
    const ctx = canvas.getContext('2d');
    ctx.scale(ratio, ratio);
    const panelStyle = getComputedStyle(byId('plot-panel'));
    ctx.fillStyle = panelStyle.backgroundColor || '#fff';
    ctx.fillRect(0, 0, width, height);
    ctx.fillStyle = panelStyle.color;
    ctx.font = '600 14px ' + panelStyle.fontFamily;
    ctx.textBaseline = 'middle';
    ctx.fillText(byId('title').textContent.trim(), 8, titleHeight / 2);
    ctx.translate(0, titleHeight);
    for (const holder of holders) {
      for (const layer of holder.querySelectorAll('canvas')) {
        const at = layer.getBoundingClientRect();
        if (at.width && at.height) {
          ctx.drawImage(layer, at.left - left, at.top - top, at.width, at.height);
        }
      }
      for (const label of holder.querySelectorAll('.dygraph-axis-label, .dygraph-label')) {
        const text = label.textContent;
        const at = label.getBoundingClientRect();
        if (!text || !at.width) continue;
        const style = getComputedStyle(label);
        ctx.save();
        ctx.fillStyle = style.color;
        ctx.font = style.fontSize + ' ' + style.fontFamily;
        ctx.textBaseline = 'middle';
        const x = at.left - left;
        const y = at.top - top;
        if (label.closest('.dygraph-ylabel, .dygraph-y2label')) {
          ctx.translate(x + at.width / 2, y + at.height / 2);
          ctx.rotate(label.closest('.dygraph-y2label') ? Math.PI / 2 : -Math.PI / 2);
          ctx.textAlign = 'center';
          ctx.fillText(text, 0, 0);
        } else {
          const align = style.textAlign;
          ctx.textAlign = align === 'right' ? 'right' : align === 'center' ? 'center' : 'left';
          const ax = align === 'right' ? x + at.width : align === 'center' ? x + at.width / 2 : x;
          const line = Math.min(at.height, parseFloat(style.lineHeight) || at.height);
          ctx.fillText(text, ax, y + line / 2);
        }
        ctx.restore();
      }
    }
    return canvas;
  }

  function savePicture() {
    for (const graph of chart.graphs) graph.clearSelection();
    picture().toBlob((blob) => {
      if (!blob) return;
      const link = document.createElement('a');
      link.href = URL.createObjectURL(blob);
      link.download = savedName('png');
      document.body.appendChild(link);
      link.click();
      link.remove();
      setTimeout(() => URL.revokeObjectURL(link.href), 10000);
    }, 'image/png');
  }

  async function drawPlot() {
    if (typeof Dygraph === 'undefined') {
      plotNote('The plotting library did not load.');
      return;
    }
    // Without its legend plugin the chart writes no inline style attribute of its own.
    Dygraph.PLUGINS = Dygraph.PLUGINS.filter((plugin) => plugin !== Dygraph.Plugins.Legend);
    const answer = await getJson(plotUrl(chart.view.range));
    if (answer.problem) {
      plotNote(answer.problem);
      return;
    }
    chart.series = seriesOf(answer);
    chart.extent = answer.extent;
    if (chart.series.length === 0 || !chart.extent) {
      plotNote(lines === 0 || !chart.extent ? 'No readings to plot.' :
                                              'No numeric column to plot.');
      return;
    }
    chart.answer = answer;
    chart.isTime = answer.x === 'time';
    chart.shown = chart.view.range;
    byId('plot-tools').hidden = false;
    byId('split-choice').hidden = chart.series.length < 2;
    chart.legend = buildLegend();
    rebuild();
    showStats();
    explain();
    darkScheme.addEventListener('change', recolour);
  }

  function startPlotTools() {
    byId('split').addEventListener('change', () => {
      chart.view.split = byId('split').checked;
      rebuild();
    });
    byId('whole').addEventListener('click', wholeFile);
    byId('save-png').addEventListener('click', savePicture);
  }

  async function start() {
    if (!dir || !name) {
      giveUp('No file given: open a file from the list of received files.');
      return;
    }
    byId('name').textContent = name;
    byId('download').href = '/download?' + query;
    byId('download').setAttribute('download', savedName('csv'));
    byId('first').addEventListener('click', () => goTo(1));
    byId('prev').addEventListener('click', () => goTo(page - 1));
    byId('next').addEventListener('click', () => goTo(page + 1));
    byId('last').addEventListener('click', () => goTo(pageCount()));
    startPlotTools();

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
