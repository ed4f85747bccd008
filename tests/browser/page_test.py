#!/usr/bin/python3
"""The web page in a real browser: headless Chromium, driven by chromedriver through Selenium.

Starts the real orbtray on free loopback ports with a scratch Data folder, opens its page and has
orbsim send files over TCP, then checks what a user sees: the list matches `orbtray list` and
grows without a reload, the connected instrument and the notification show up, the filter works,
a file's page draws its plot, pages through its readings and downloads its exact bytes, text
from instruments stays text, an open page catches up after orbtray restarts, a file's plot takes
its names and units from a header, keeps a second axis, panels and zoom in its address, zooms
into a million readings down to single ones and fits a phone's width (read through the charts
the page offers as window.orbtray.plots), and with
--web-token the page works from the cookie its ?token= address sets (and shows the hand-off of
--on-file). Any JavaScript error, Content-Security-Policy violation or failed request on any
page fails the test.

usage: page_test.py ORBTRAY ORBSIM
"""

import base64
import calendar
import decimal
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

# The list page shows this many rows at first, and more on request.
ROWS_AT_ONCE = 500
OLD_FILES = 520
WAIT = 20  # seconds; generous, for a loaded machine: the waits end as soon as the page is ready

# Runs before any script of every page: records uncaught errors, rejected promises and
# everything the Content-Security-Policy refuses.
ERROR_HOOK = """
window.__pageErrors = [];
window.addEventListener('error', (e) => window.__pageErrors.push(
    'error: ' + (e.message || (e.target && (e.target.src || e.target.href)) || e.type)), true);
window.addEventListener('unhandledrejection', (e) => window.__pageErrors.push(
    'unhandled rejection: ' + (e.reason && e.reason.stack || e.reason)));
document.addEventListener('securitypolicyviolation', (e) => window.__pageErrors.push(
    'CSP refused ' + e.violatedDirective + ': ' + e.blockedURI + ' ' + e.sourceFile + ':' +
    e.lineNumber));
"""

class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def free_port(taken=()):
    """A port free on 127.0.0.1 for both TCP and UDP (orbtray takes both for its instruments).

    Picked below the ports the system gives the local ends of connections (32768 and up):
    tests running beside this one could take one of those before orbtray binds it.
    """
    while True:
        port = random.randint(20000, 32767)
        if port in taken:
            continue
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp, \
                 socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                tcp.bind(('127.0.0.1', port))
                udp.bind(('127.0.0.1', port))
            return port
        except OSError:
            continue


def readings(count):
    """Plausible readings, one per line: seconds, temperature, relative humidity."""
    return [f'{i * 10},{21.0 + (i % 37) * 0.05:.2f},{48.0 - (i % 23) * 0.25:.2f}'
            for i in range(count)]


def size_text(size):
    """A size as the list page writes it: bytes, or KB, MB, GB of 1024, one decimal below 100."""
    value, unit = decimal.Decimal(size), 'B'
    for bigger in ('KB', 'MB', 'GB'):
        if value < decimal.Decimal('1023.5'):
            break
        value, unit = value / 1024, bigger
    if unit == 'B':
        return f'{size} B'
    step = decimal.Decimal('0.1' if value < decimal.Decimal('99.95') else '1')
    return f'{value.quantize(step, decimal.ROUND_HALF_UP)} {unit}'


def shown(listed):
    """Rows of `orbtray list` as the list page shows them: the same, but for the size's text."""
    return [(when, serial, name, size_text(int(size.split()[0])))
            for when, serial, name, size in listed]


class Run:
    def __init__(self, orbtray, orbsim):
        self.orbtray = orbtray
        self.orbsim = orbsim
        self.scratch = tempfile.mkdtemp(prefix='orbtray-browser-')
        self.data = os.path.join(self.scratch, 'Data')
        os.mkdir(self.data)
        self.port = free_port()
        self.web_port = free_port(taken=(self.port,))
        self.base = f'http://127.0.0.1:{self.web_port}'
        self.process = None
        self.driver = None
        self.token = 'Tok-' + ''.join(random.choices('abcdefghijkmnpqrstuvwxyz23456789', k=24))

    # --- orbtray and orbsim ---------------------------------------------------------------

    def store_old_files(self, serial, count, start=calendar.timegm((2026, 11, 1, 8, 0, 0))):
        """Files put in the Data folder behind orbtray's back, a minute apart from `start`."""
        folder = os.path.join(self.data, serial)
        os.mkdir(folder)
        for i in range(count):
            stamp = start + 60 * i
            path = os.path.join(folder, time.strftime('%y%m%d-%H%M%S.csv', time.gmtime(stamp)))
            with open(path, 'wb') as f:
                f.write(b'%d,20.5\r\n' % i)
            os.utime(path, (stamp, stamp))

    def start_orbtray(self, *extra):
        self.log = open(os.path.join(self.scratch, 'orbtray.log'), 'ab')
        said_before = self.orbtray_output().count('orbtray: receiving into ')
        self.process = subprocess.Popen(
            [self.orbtray, '--data-folder', self.data, '--port', str(self.port), '--no-usb-scan',
             '--web', f'127.0.0.1:{self.web_port}', *extra],
            stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        ready = urllib.request.Request(
            self.base + '/', headers={'Cookie': f'orbtray_token_{self.web_port}=' + self.token} if extra else {})
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            check(self.process.poll() is None,
                  f'orbtray exited with {self.process.returncode}:\n{self.orbtray_output()}')
            # Ready once it listens for instruments and serves the page: the two start apart.
            if self.orbtray_output().count('orbtray: receiving into ') > said_before:
                try:
                    with urllib.request.urlopen(ready, timeout=2) as answer:
                        if answer.status == 200:
                            return
                except OSError:
                    pass
            time.sleep(0.05)
        raise Failure(f'orbtray is not ready at {self.base}/:\n{self.orbtray_output()}')

    def stop_orbtray(self):
        self.process.terminate()
        status = self.process.wait(timeout=WAIT)
        check(status == 0, f'orbtray stopped with {status}:\n{self.orbtray_output()}')

    def orbtray_output(self):
        self.log.flush()
        with open(self.log.name, 'rb') as f:
            return f.read().decode('utf-8', 'replace')

    def send(self, serial, lines):
        path = os.path.join(self.scratch, 'send.csv')
        with open(path, 'w') as f:
            f.write('\n'.join(lines) + '\n')
        result = subprocess.run(
            [self.orbsim, 'send', '--tcp', f'127.0.0.1:{self.port}', '--serial', serial, path],
            capture_output=True, timeout=WAIT)
        check(result.returncode == 0,
              f'orbsim send failed ({result.returncode}): {result.stdout.decode()}'
              f'{result.stderr.decode()}\n{self.orbtray_output()}')

    def stored(self, serial_dir):
        """The one file under Data/<serial_dir>/ : its name and bytes."""
        folder = os.path.join(self.data, serial_dir)
        names = os.listdir(folder)
        check(len(names) == 1, f'{folder} holds {names}')
        with open(os.path.join(folder, names[0]), 'rb') as f:
            return names[0], f.read()

    def listed(self):
        """`orbtray list` as rows of (time, serial, name, size)."""
        out = subprocess.run([self.orbtray, 'list', '--data-folder', self.data],
                             capture_output=True, check=True, timeout=WAIT).stdout
        return [tuple(line.split('\t')) for line in out.decode().splitlines()]

    # --- the browser ----------------------------------------------------------------------

    def start_browser(self):
        options = webdriver.ChromeOptions()
        options.binary_location = '/usr/bin/chromium'
        for argument in ('--headless=new', '--no-sandbox', '--disable-gpu',
                         '--disable-dev-shm-usage', '--window-size=1280,800',
                         '--user-data-dir=' + os.path.join(self.scratch, 'chromium')):
            options.add_argument(argument)
        options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        self.driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
        self.driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument',
                                    {'source': ERROR_HOOK})

    def wait(self, what, condition):
        try:
            return WebDriverWait(self.driver, WAIT, poll_frequency=0.05).until(
                lambda driver: condition())
        except TimeoutException:
            raise Failure(f'timed out waiting for {what}') from None

    def js(self, script, *arguments):
        return self.driver.execute_script(script, *arguments)

    def assert_no_errors(self, page, unless=None):
        errors = self.js('return window.__pageErrors || ["the error hook is missing"]')
        severe = [entry['message'] for entry in self.driver.get_log('browser')
                  if entry['level'] == 'SEVERE' and not (unless and unless in entry['message'])]
        check(not errors and not severe, f'errors on {page}: {errors + severe}')

    def table(self, selector):
        return self.js(
            'return Array.from(document.querySelectorAll(arguments[0]),'
            ' (tr) => Array.from(tr.cells, (td) => td.textContent))', selector)

    def file_rows(self):
        return [tuple(row) for row in self.table('#files tbody tr')]

    def text(self, element_id):
        return self.js('return document.getElementById(arguments[0]).textContent', element_id)

    def close(self):
        if self.driver:
            self.driver.quit()
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.scratch, ignore_errors=True)


def list_page(run):
    # More files than the page shows at once, and the newest one with a serial in need of
    # escaping everywhere: as a folder name on disk, in the link's query string and as text.
    odd_serial = '<i>x&amp;"1'
    run.send(odd_serial, ['start,ok', 'stop,ok'])
    run.driver.get(run.base + '/')
    run.wait('the first rows of the list', lambda: len(run.file_rows()) == ROWS_AT_ONCE)
    check(run.file_rows() == shown(run.listed())[:ROWS_AT_ONCE],
          f'the list page starts with {run.file_rows()[:3]}, orbtray list {run.listed()[:3]}')
    more = run.driver.find_element(By.ID, 'more')
    check(more.text == 'Show 21 more of 21', f'the button under the list says "{more.text}"')
    more.click()
    run.wait('the whole list', lambda: len(run.file_rows()) == OLD_FILES + 1)
    check(run.file_rows() == shown(run.listed()),
          f'the list page ends with {run.file_rows()[-3:]}, orbtray list {run.listed()[-3:]}')
    check(not more.is_displayed(), 'a button for more rows under the whole list')
    check(run.js('return document.querySelectorAll("#files i").length') == 0,
          'a serial number was read as markup')
    run.assert_no_errors('the list page')

    # An instrument connects and says who it is: it shows up while connected and goes away.
    run.js('window.__notReloaded = true')
    with socket.create_connection(('127.0.0.1', run.port), timeout=WAIT) as instrument:
        instrument.sendall(b'HELLO 777\r\n')
        run.wait('the connected instrument',
                 lambda: '777' in run.text('connections'))
    run.wait('the instrument to go', lambda: '777' not in run.text('connections'))

    # A transfer while the page is open: the row arrives at the top, with its notification.
    run.send('12345', readings(250))
    run.wait('the new file at the top of the list',
             lambda: len(run.file_rows()) == OLD_FILES + 2 and run.file_rows()[0][1] == '12345')
    check(run.js('return window.__notReloaded === true'), 'the page was reloaded')
    check(run.file_rows() == shown(run.listed()),
          f'the list page shows {run.file_rows()[:3]}, orbtray list {run.listed()[:3]}')
    # A few KB, and the exact count of bytes on hover.
    check(re.fullmatch(r'\d\.\d KB', run.file_rows()[0][3]) and
          run.js('return document.querySelector("#files tbody td:nth-child(4)").title') ==
          run.listed()[0][3], f'the new file\'s size is {run.file_rows()[0][3]}')
    run.wait('the notification', lambda: 'Device 12345 sent 250 readings.' in run.text('notices'))
    check(run.js('return document.querySelector("#notices li strong").textContent') ==
          '12345: File Received', f'notification title: {run.text("notices")}')
    check(run.js('return document.querySelector("#notices li a").href') ==
          run.js('return document.querySelector("#files tbody tr a").href'),
          'the notification does not lead to the new file\'s page')

    # The filter keeps the rows whose serial number contains the text, whatever its case, and
    # is kept in the address; without one the list starts again with its first rows.
    box = run.driver.find_element(By.ID, 'filter')
    for typed, serials in (('234', ['12345']), ('<I>', [odd_serial]), ('nothing', []), ('', None)):
        box.clear()
        if typed:
            box.send_keys(typed)
        else:
            run.js('arguments[0].dispatchEvent(new Event("input"))', box)
        expected = serials if serials is not None else \
            [row[1] for row in run.listed()[:ROWS_AT_ONCE]]
        check([row[1] for row in run.file_rows()] == expected,
              f'filter "{typed}" shows {run.file_rows()[:3]}...')
    run.driver.get(run.base + '/?serial=' + urllib.parse.quote('&amp;'))
    run.wait('the filtered list from the address', lambda: len(run.file_rows()) == 1)
    check(run.file_rows()[0][1] == odd_serial and
          run.driver.find_element(By.ID, 'filter').get_attribute('value') == '&amp;',
          f'?serial=&amp; shows {run.file_rows()}')
    run.assert_no_errors('the list page')

    # The odd serial's page names it as text.
    run.driver.find_element(By.CSS_SELECTOR, '#files tbody tr:first-child a').click()
    run.wait('the odd file\'s title', lambda: run.text('serial') == odd_serial)
    check(run.js('return document.querySelectorAll("#title i").length') == 0,
          'a serial number was read as markup on its page')
    run.wait('its readings', lambda: run.table('#readings tbody tr') == [['1', 'start', 'ok'],
                                                                        ['2', 'stop', 'ok']])
    # Nothing in it is a number: the page says so instead of drawing an empty chart.
    run.wait('the note on the plot', lambda: run.text('plot-note') != '')
    check(not run.js('return document.querySelector("#plot canvas")'), 'a chart of no column')
    run.assert_no_errors('the odd file\'s page')
    run.driver.get(run.base + '/')
    run.wait('the list again', lambda: len(run.file_rows()) == ROWS_AT_ONCE)
    run.assert_no_errors('the list page')


def restart(run):
    """orbtray stops and starts again under the open page, which catches up on what it missed."""
    run.driver.get(run.base + '/?serial=LATE')
    run.wait('the live stream', lambda: run.text('live') == 'live')
    run.stop_orbtray()
    run.wait('the page to notice', lambda: run.text('live') != 'live')
    run.js('window.__notReloaded = true')
    # Received while the page could not hear of it: only reading the list again shows it.
    run.store_old_files('LATE-1', 1, start=calendar.timegm(time.gmtime()))
    run.start_orbtray()
    run.wait('the page to reconnect', lambda: run.text('live') == 'live')
    run.wait('the file it missed', lambda: [row[1] for row in run.file_rows()] == ['LATE-1'])
    check(run.js('return window.__notReloaded === true'), 'the page was reloaded')
    # The browser reports each refused attempt to reconnect; nothing else may go wrong.
    run.assert_no_errors('the list page across a restart', unless='/api/events')


def with_token(run):
    """With --web-token the page works from the cookie its ?token= address leaves behind."""
    token_file = os.path.join(run.scratch, 'token')
    with open(os.open(token_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), 'w') as f:
        f.write(run.token + '\n')
    run.stop_orbtray()
    run.start_orbtray('--web-token', token_file, '--outbox', os.path.join(run.scratch, 'outbox'),
                      '--on-file', 'exit 0')
    run.driver.get(run.base + '/?token=' + run.token)
    run.wait('the list behind the token', lambda: len(run.file_rows()) == ROWS_AT_ONCE)
    check(run.driver.current_url == run.base + '/', f'the token stays in {run.driver.current_url}')
    run.wait('the live stream', lambda: run.text('live') == 'live')
    run.send('TOKEN-1', ['7,8'])
    run.wait('the file over the stream', lambda: run.file_rows()[0][1] == 'TOKEN-1')
    # Handed on to the command it was given: the row and the hand-off's section say so.
    run.wait('the file handed on', lambda: run.file_rows()[0][4:] == ('handed on',) and
             run.text('handoff-waiting') == '0 files waiting')
    run.assert_no_errors('the list page with a token', unless='/api/events')


# A file as a lab's logger writes it: a header naming each column with its unit, cells
# separated by semicolons and a decimal comma.
HEADER_MINUTES = 40
HEADER_FILE = ['time;temperature [C];pressure [hPa]'] + [
    f'2024-05-14 08:{m:02d}:00;{20 + m * 0.25:.2f};{1013.25 - m * 0.5:.2f}'.replace('.', ',')
    for m in range(HEADER_MINUTES)]
HEADER_START_MS = calendar.timegm((2024, 5, 14, 8, 0, 0)) * 1000


def chart_facts(run):
    """Each chart on show: its labels, axis of each series, shown x range and rows."""
    return run.js("""
        return window.orbtray.plots.map((g) => ({
          labels: g.getLabels(),
          axes: g.getLabels().slice(1).map((s) => g.getOption('axis', s) || 'y'),
          range: g.xAxisRange(),
          rows: g.numRows(),
        }));""")


def header_file(run):
    """Names and units from the header, second axis and panels kept in the address."""
    run.send('HDR-9', HEADER_FILE)
    run.wait('the header file stored', lambda: any(row[1] == 'HDR-9' for row in run.listed()))
    name, _ = run.stored('HDR-9')
    open_file_page(run, 'HDR-9', name)
    expected = [['Time (UTC)', 'temperature', 'pressure']] + [
        [HEADER_START_MS + 60000 * m, 20 + m * 0.25, 1013.25 - m * 0.5]
        for m in range(HEADER_MINUTES)]
    check(plotted(run) == expected, f'the header file plots {plotted(run)[:3]}...')
    check(run.js('return window.orbtray.plots[0].getOption("ylabel")') ==
          'temperature (C), pressure (hPa)',
          'the axis says ' + run.js('return window.orbtray.plots[0].getOption("ylabel")'))
    run.wait('the readings under their names', lambda: run.table('#readings thead tr') ==
             [['Line', 'time', 'temperature [C]', 'pressure [hPa]']] and
             run.table('#readings tbody tr')[0] == ['1', '2024-05-14 08:00:00', '20,00', '1013,25'])
    # The statistics of the whole file, as the server counted them.
    run.wait('the statistics', lambda: run.table('#stats tbody tr') == [
        ['temperature (C)', '20', '29.75', '24.875', '40'],
        ['pressure (hPa)', '993.75', '1013.25', '1003.5', '40']])

    # Pressure to the right-hand axis, then one panel per series: the address keeps both.
    run.driver.find_element(By.CSS_SELECTOR, '#legend input.y2[data-column="3"]').click()
    run.wait('pressure on the right', lambda: chart_facts(run)[0]['axes'] == ['y', 'y2'] and
             'y2=3' in run.driver.current_url)
    run.driver.refresh()
    run.wait('pressure on the right after a reload',
             lambda: run.js('return (window.orbtray && window.orbtray.plots || []).length') and
             chart_facts(run)[0]['axes'] == ['y', 'y2'])
    run.driver.find_element(By.ID, 'split').click()
    run.wait('a panel per series', lambda: [c['labels'] for c in chart_facts(run)] == [
        ['Time (UTC)', 'temperature'], ['Time (UTC)', 'pressure']] and
        'split=1' in run.driver.current_url)
    # A zoom in one panel moves the other, and stays in the address.
    window = [HEADER_START_MS + 10 * 60000, HEADER_START_MS + 20 * 60000]
    run.js('window.orbtray.plots[1].updateOptions({dateWindow: arguments[0]})', window)
    run.wait('both panels zoomed', lambda: all(c['range'] == window and c['rows'] == 11
                                               for c in chart_facts(run)))
    run.wait('the zoom in the address', lambda: f'from={window[0]}&to={window[1]}' in
             run.driver.current_url)
    run.driver.refresh()
    run.wait('the panels and zoom after a reload',
             lambda: run.js('return (window.orbtray && window.orbtray.plots || []).length') == 2
             and all(c['range'] == window and c['rows'] == 11 for c in chart_facts(run)))
    check(plotted(run, 1)[1:3] == [[window[0], 1013.25 - 5], [window[0] + 60000, 1013.25 - 5.5]],
          f'the pressure panel holds {plotted(run, 1)[:3]}...')

    # Dark mode follows the system's, the open charts' colours with it.
    colours = 'return window.orbtray.plots.map((g) => [g.getOption("colors"), ' \
        'g.getOption("gridLineColor")])'
    light = run.js(colours)
    grid = 'return getComputedStyle(document.getElementById("plot-panel"))' \
        '.getPropertyValue("--plot-grid").trim()'
    run.driver.execute_cdp_cmd('Emulation.setEmulatedMedia', {
        'features': [{'name': 'prefers-color-scheme', 'value': 'dark'}]})
    try:
        run.wait('the charts in dark colours', lambda: all(
            dark[0] != bright[0] and dark[1] == run.js(grid)
            for dark, bright in zip(run.js(colours), light)))
    finally:
        run.driver.execute_cdp_cmd('Emulation.setEmulatedMedia', {'features': []})
    run.wait('the charts in light colours again', lambda: run.js(colours) == light)

    # Saved as a picture of both panels, under the download's name.
    saved = run.driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const made = URL.createObjectURL;
        let blob = null;
        URL.createObjectURL = (b) => { blob = b; return made(b); };
        HTMLAnchorElement.prototype.click = function () {
          blob.arrayBuffer().then((b) => {
            const bytes = new Uint8Array(b);
            done([this.download, bytes.length, Array.from(bytes.slice(1, 4))]);
          });
        };
        setTimeout(() => done(['nothing saved', window.__pageErrors]), 10000);
        document.getElementById('save-png').click();""")
    check(saved[0] == 'HDR-9_' + name.replace('.csv', '.png') and saved[1] > 1000 and
          bytes(saved[2]) == b'PNG', f'Save as PNG gave {saved}')
    run.assert_no_errors('the header file\'s page')


# A long file: zooming in reaches single readings, exactly as they are in the file. Each
# answer reads the whole file, which takes a debug build on a loaded machine a while.
BIG_LINES = 1_000_000
BIG_WAIT = 3 * WAIT


def wait_for(run, what, condition, seconds):
    try:
        return WebDriverWait(run.driver, seconds, poll_frequency=0.1).until(
            lambda driver: condition())
    except TimeoutException:
        raise Failure(f'timed out waiting for {what}') from None


def big_value(line):
    return (line * 7919) % 100_003 / 100


def big_file(run):
    folder = os.path.join(run.data, 'BIG-1')
    os.mkdir(folder)
    name = '240514-090000.csv'
    with open(os.path.join(folder, name), 'w', newline='') as f:
        f.write(''.join(f'{big_value(i + 1):.2f}\r\n' for i in range(BIG_LINES)))
    open_file_page(run, 'BIG-1', name, BIG_WAIT)
    first = chart_facts(run)[0]
    check(first['range'][0] <= 1 and first['range'][1] >= BIG_LINES and
          first['rows'] <= 8000, f'the whole long file shows as {first}')

    # A drag across the middle of the plot zooms in: a narrower range, asked for afresh.
    plot = run.driver.find_element(By.CSS_SELECTOR, '#plot .plot')
    ActionChains(run.driver).move_to_element_with_offset(plot, -40, 0).click_and_hold() \
        .move_by_offset(30, 0).move_by_offset(30, 0).release().perform()
    def width_shown():
        shown = chart_facts(run)[0]['range']
        return shown[1] - shown[0]

    wait_for(run, 'the dragged zoom', lambda: 'from=' in run.driver.current_url and
             width_shown() < BIG_LINES / 4, BIG_WAIT)

    def holds_exactly(first_line, last_line):
        rows = plotted(run)
        return rows and rows[1:] == [[line, round(big_value(line), 2)]
                                     for line in range(first_line, last_line + 1)]

    # Closer and closer through the chart's own zoom, down to twenty readings side by side.
    for window in ([400_000, 500_000], [450_000, 451_000], [450_100, 450_120]):
        run.js('window.orbtray.plots[0].updateOptions({dateWindow: arguments[0]})', window)
        wait_for(run, f'readings {window} from the server',
                 lambda: chart_facts(run)[0]['range'] == window and
                 plotted(run)[1][0] >= window[0] and plotted(run)[-1][0] <= window[1], BIG_WAIT)
    wait_for(run, 'single readings', lambda: holds_exactly(450_100, 450_120), BIG_WAIT)
    labels = run.js('return Array.from(document.querySelectorAll(".dygraph-axis-label-x"),'
                    ' (e) => e.textContent)')
    check(len(labels) >= 3 and not any('e+' in label or '.' in label for label in labels),
          f'the reading axis is labelled {labels}')
    check(run.text('stats-range') == 'In view: readings 450\u2009100 to 450\u2009120',
          f'the statistics are for {run.text("stats-range")}')

    # The address brings the same readings back; a double-click the whole file.
    run.driver.refresh()
    wait_for(run, 'the zoom after a reload', lambda: run.js(
        'return (window.orbtray && window.orbtray.plots || []).length') and
        holds_exactly(450_100, 450_120), BIG_WAIT)
    ActionChains(run.driver).double_click(
        run.driver.find_element(By.CSS_SELECTOR, '#plot .plot')).perform()
    wait_for(run, 'the whole file again', lambda: chart_facts(run)[0]['range'][0] <= 1 and
             chart_facts(run)[0]['range'][1] >= BIG_LINES and
             'from=' not in run.driver.current_url, BIG_WAIT)
    run.assert_no_errors('the long file\'s page')
    return name


def phone(run, big_name):
    """At 390 pixels wide nothing scrolls sideways, the plot's axis keeps several labels and a
    drag across the plot zooms in."""
    run.driver.set_window_size(390, 844)
    try:
        for serial_dir, name in (('BIG-1', big_name), ('HDR-9', run.stored('HDR-9')[0])):
            open_file_page(run, serial_dir, name, BIG_WAIT)
            run.wait(f'{serial_dir} at phone width', lambda: run.js(
                'return document.documentElement.clientWidth') <= 390)
            layout = run.js("""
                const page = document.documentElement;
                return {wide: page.scrollWidth, width: page.clientWidth,
                        pager: document.querySelector('.pager').getBoundingClientRect().right,
                        labels: Array.from(document.querySelectorAll('.dygraph-axis-label-x'),
                                           (e) => e.textContent)};""")
            check(layout['wide'] <= layout['width'] and layout['pager'] <= layout['width'] and
                  len(layout['labels']) >= 3, f'{serial_dir} at 390 px: {layout}')
        # A drag zooms here too.
        ActionChains(run.driver).move_to_element_with_offset(
            run.driver.find_element(By.CSS_SELECTOR, '#plot .plot'), -30, 0).click_and_hold() \
            .move_by_offset(30, 0).move_by_offset(30, 0).release().perform()
        def zoomed():
            shown = chart_facts(run)[0]['range']
            return shown[1] - shown[0] < (HEADER_MINUTES - 1) * 60000 / 2

        wait_for(run, 'a zoom at phone width', lambda: 'from=' in run.driver.current_url and
                 zoomed() and chart_facts(run)[0]['rows'] < HEADER_MINUTES, BIG_WAIT)
    finally:
        run.driver.set_window_size(1280, 800)
    run.assert_no_errors('the file pages at phone width')


def plotted(run, panel=0):
    """A chart the page offers, as it holds it: its series names, then each row's values."""
    return run.js("""
        const chart = (window.orbtray && window.orbtray.plots || [])[arguments[0]];
        if (!chart) return null;
        const labels = chart.getLabels();
        const rows = [labels];
        for (let r = 0; r < chart.numRows(); ++r) {
          rows.push(labels.map((label, c) => chart.getValue(r, c)));
        }
        return rows;""", panel)


def open_file_page(run, serial_dir, name, seconds=WAIT):
    run.driver.get(f'{run.base}/file?dir={urllib.parse.quote(serial_dir)}'
                   f'&name={urllib.parse.quote(name)}')
    wait_for(run, f'the plot of {serial_dir}/{name}',
             lambda: run.js('return (window.orbtray && window.orbtray.plots || []).length') > 0,
             seconds)


def file_page(run):
    name, stored = run.stored('12345')
    sent = readings(250)
    check(run.file_rows()[0][1:3] == ('12345', name), f'the list shows {run.file_rows()}')
    run.driver.find_element(By.CSS_SELECTOR, '#files tbody tr:first-child a').click()
    run.wait('the file\'s title',
             lambda: run.text('serial') == '12345' and run.text('name') == name)
    # Saved under the serial number and the time it came.
    check(run.driver.find_element(By.ID, 'download').get_attribute('download') ==
          '12345_' + name, 'the download is named ' +
          run.driver.find_element(By.ID, 'download').get_attribute('download'))

    # The plot: fewer readings than its points, so every one of them, on the reading-number
    # axis, each column named by its place in the line.
    expected = [['Reading', 'Column 1', 'Column 2', 'Column 3']] + \
        [[i + 1] + [float(value) for value in line.split(',')] for i, line in enumerate(sent)]
    run.wait('the plot', lambda: plotted(run) is not None)
    check(plotted(run) == expected, f'the plot holds {plotted(run)[:3]}...')

    # The readings, a hundred a page, with their line numbers.
    def page_shows(first_line, count, page_text):
        rows = run.table('#readings tbody tr')
        expected = [[str(first_line + i)] + sent[first_line + i - 1].split(',')
                    for i in range(count)]
        return rows == expected and run.text('page') == page_text

    run.wait('page 1 of the readings', lambda: page_shows(1, 100, 'Page 1 of 3'))
    run.driver.find_element(By.ID, 'next').click()
    run.wait('page 2', lambda: page_shows(101, 100, 'Page 2 of 3'))
    run.driver.find_element(By.ID, 'last').click()
    run.wait('page 3', lambda: page_shows(201, 50, 'Page 3 of 3'))
    check(run.js('return document.getElementById("next").disabled'), 'Next on the last page')
    run.driver.find_element(By.ID, 'prev').click()
    run.wait('page 2 again', lambda: page_shows(101, 100, 'Page 2 of 3'))

    # The download link gives the stored bytes.
    href = run.driver.find_element(By.ID, 'download').get_attribute('href')
    downloaded = run.driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        fetch(arguments[0]).then((r) => r.arrayBuffer()).then((buffer) => {
          let text = '';
          for (const byte of new Uint8Array(buffer)) text += String.fromCharCode(byte);
          done(btoa(text));
        }).catch((e) => done('failed: ' + e));""", href)
    check(base64.b64decode(downloaded) == stored,
          f'{href} gave {len(base64.b64decode(downloaded))} bytes, the file has {len(stored)}')
    run.assert_no_errors('the file\'s page')


# Every row's file name and size, seen whole within the window: what is cut or lies outside.
CUT_CELLS = """
const width = window.innerWidth;
const cut = [];
if (document.documentElement.scrollWidth > width) {
  cut.push('the page is ' + document.documentElement.scrollWidth + ' px wide');
}
for (const tr of document.querySelectorAll('#files tbody tr')) {
  for (const td of [tr.cells[2], tr.cells[3]]) {
    const box = td.getBoundingClientRect();
    if (box.width === 0 || box.left < 0 || box.right > width || td.scrollWidth > td.clientWidth) {
      cut.push(td.textContent + ' at ' + box.left + '..' + box.right);
    }
  }
}
return cut.slice(0, 5);"""


def list_views(run):
    """The list at a phone's width, sorted by a column, between two dates and in local time."""
    listed = run.listed()

    # Every page gets its live stream: the browser keeps pages for its Back button, and kept pages
    # that held on to theirs would use up the 4 an address may have.
    def load(path=None):
        if path is None:
            run.driver.refresh()
        else:
            run.driver.get(run.base + path)
        run.wait('the live stream', lambda: run.text('live') == 'live')

    size = lambda row: int(row[3].split()[0])
    emulate = run.driver.execute_cdp_cmd
    emulate('Emulation.setDeviceMetricsOverride',
            {'width': 390, 'height': 844, 'deviceScaleFactor': 1, 'mobile': True})
    try:
        load('/')
        run.wait('the list at 390 px', lambda: len(run.file_rows()) == ROWS_AT_ONCE)
        cut = run.js(CUT_CELLS)
        check(not cut, f'at 390 px: {cut}')
    finally:
        emulate('Emulation.clearDeviceMetricsOverride', {})

    # A click on a header sorts by its column, the next one the other way round; ties keep the
    # newest first. The order lives in the address and survives a reload.
    def sorted_by(key, order, rows, reload=False):
        if reload:
            load()
        else:
            run.driver.find_element(By.CSS_SELECTOR, f'th[data-sort="{key}"] button').click()
        expected = shown(rows)[:ROWS_AT_ONCE]
        run.wait(f'the list sorted by {key}, {order}', lambda: run.file_rows() == expected)
        check(run.js('return document.querySelector(`th[data-sort="${arguments[0]}"]`)'
                     '.getAttribute("aria-sort")', key) == order, f'aria-sort of {key}')
    sorted_by('size', 'ascending', sorted(listed, key=size))
    sorted_by('size', 'descending', sorted(listed, key=lambda row: -size(row)))
    check('sort=-size' in run.driver.current_url, f'the address {run.driver.current_url}')
    sorted_by('size', 'descending', sorted(listed, key=lambda row: -size(row)), reload=True)
    run.driver.find_element(By.CSS_SELECTOR, 'th[data-sort="serial"] button').click()
    serials = lambda: list(dict.fromkeys(row[1] for row in run.file_rows()))
    run.wait('the list sorted by serial number',
             lambda: serials() == ['<i>x&amp;"1', '12345', 'OLD-7'])

    # Dates from and to, each included, also from the address; the count says how many match.
    load('/?to=2026-11-01')
    old = [row for row in listed if row[0] < '2026-11-02']
    new = [row for row in listed if row[0] >= '2026-11-02']
    run.wait('the files up to a date', lambda: run.file_rows() == shown(old)[:ROWS_AT_ONCE])
    check(run.text('file-count') == f'({len(old)} of {len(listed)})',
          f'the count says {run.text("file-count")}')
    run.js("""
        document.getElementById('to').value = '';
        document.getElementById('from').value = '2026-11-02';
        document.getElementById('from').dispatchEvent(new Event('input'));""")
    run.wait('the files from a date', lambda: run.file_rows() == shown(new))
    check(run.driver.current_url == run.base + '/?from=2026-11-02',
          f'the address {run.driver.current_url}')

    # Times in UTC, local on hover; the switch shows local times, and is remembered.
    emulate('Emulation.setTimezoneOverride', {'timezoneId': 'Asia/Kolkata'})
    try:
        load('/')
        utc = listed[0][0]
        local = time.strftime('%Y-%m-%d %H:%M:%S', time.gmtime(
            calendar.timegm(time.strptime(utc, '%Y-%m-%d %H:%M:%S')) + 5 * 3600 + 1800))
        run.wait('the list in UTC', lambda: run.file_rows()[:1] == shown(listed[:1]))
        first_time = 'return document.querySelector("#files tbody td")'
        check(run.js(first_time + '.title').startswith(local),
              f'{utc} UTC is {local} in Kolkata, the title says {run.js(first_time + ".title")}')
        for reload in (False, True):
            if reload:
                load()
            else:
                run.driver.find_element(By.ID, 'local-time').click()
            run.wait('local times', lambda: run.file_rows()[:1] and
                     run.file_rows()[0][0] == local and
                     run.js(first_time + '.title').startswith(utc))
        run.driver.find_element(By.ID, 'local-time').click()
        run.wait('UTC again', lambda: run.file_rows()[:1] == shown(listed[:1]))
    finally:
        emulate('Emulation.setTimezoneOverride', {'timezoneId': ''})
    run.assert_no_errors('the list page')


class SlowInstrument(threading.Thread):
    """An instrument over TCP that sends a reading every PACE seconds until told to finish."""

    PACE = 0.15

    def __init__(self, port, serial):
        super().__init__(daemon=True)
        self.connection = socket.create_connection(('127.0.0.1', port), timeout=WAIT)
        self.connection.sendall(f'HELLO {serial}\r\n'.encode())
        self.sent = 0
        self.finish = threading.Event()

    def run(self):
        while not self.finish.wait(self.PACE):
            self.connection.sendall(f'LINE {self.sent},{20 + self.sent % 7 * 0.5}\r\n'.encode())
            self.sent += 1

    def bye(self):
        self.finish.set()
        self.join()
        self.connection.sendall(b'BYE\r\n')
        self.connection.close()


def live_transfer(run):
    """A slow transfer: its count grows in the connections panel and on its own page, whose plot
    grows with it, and that page becomes the received file's page once the instrument ends."""
    run.driver.get(run.base + '/')
    run.wait('the list', lambda: len(run.file_rows()) > 0)
    instrument = SlowInstrument(run.port, 'SLOW-1')
    instrument.start()
    try:
        def panel_count():
            text = run.js('const a = document.querySelector("#connections a.transfer");'
                          'return a ? a.textContent : ""')
            match = re.fullmatch(r'(\d+) readings? \u00b7 [\d.]+/s', text)
            return int(match.group(1)) if match else -1

        run.wait('a transfer in the connections panel', lambda: panel_count() >= 2)
        first = panel_count()
        run.wait('its count to grow', lambda: panel_count() > first)
        link = run.js('return document.querySelector("#connections a.transfer").href')
        check(re.fullmatch(re.escape(run.base) + r'/file\?link=\d+', link), f'it leads to {link}')
        run.driver.find_element(By.CSS_SELECTOR, '#connections a.transfer').click()

        def page_count():
            match = re.fullmatch(r'(\d+) readings? \u00b7 [\d.]+/s', run.text('facts'))
            return int(match.group(1)) if match else -1

        def rows_plotted():
            return run.js('const p = window.orbtray && window.orbtray.plots;'
                          'return p && p.length ? p[0].numRows() : -1')

        run.wait('the live page\'s count', lambda: page_count() >= 2)
        run.wait('the live plot', lambda: rows_plotted() >= 2)
        shown, drawn = page_count(), rows_plotted()
        run.wait('the live page\'s count and plot to grow',
                 lambda: page_count() > shown and rows_plotted() > drawn)
    finally:
        instrument.bye()
    run.wait('the received file\'s page', lambda: 'dir=SLOW-1' in run.driver.current_url)
    name, _ = run.stored('SLOW-1')
    check(run.driver.current_url == f'{run.base}/file?dir=SLOW-1&name={name}',
          f'the live page became {run.driver.current_url}')
    run.wait('the file\'s title', lambda: run.text('name') == name)
    run.wait('its whole plot', lambda: plotted(run) is not None and
             len(plotted(run)) == instrument.sent + 1)
    run.assert_no_errors('the live page')


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    started = time.monotonic()
    run = Run(sys.argv[1], sys.argv[2])
    try:
        run.store_old_files('OLD-7', OLD_FILES)
        run.start_orbtray()
        run.start_browser()
        list_page(run)
        file_page(run)
        list_views(run)
        live_transfer(run)
        restart(run)
        header_file(run)
        phone(run, big_file(run))
        with_token(run)
    except Failure as failure:
        print(f'FAIL: {failure}')
        if run.driver:
            shot = os.path.join(tempfile.gettempdir(), 'orbtray-browser-failure.png')
            run.driver.save_screenshot(shot)
            print(f'the page at {run.driver.current_url}: screenshot {shot}')
        return 1
    finally:
        run.close()
    print(f'PASS in {time.monotonic() - started:.1f} s')
    return 0


if __name__ == '__main__':
    sys.exit(main())
