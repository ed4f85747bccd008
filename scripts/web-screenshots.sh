#!/usr/bin/env bash
# Draws the pictures of the Linux web page for the documentation, from a real run:
#   docs/web-list.png  the list page: received files, a connected instrument, notifications
#   docs/web-plot.png  one file's page: its plot and the first readings
#   scripts/web-screenshots.sh [linux build directory, default build/linux]
# Build orbtray and orbsim first. orbtray runs on free loopback ports with a scratch Data folder,
# orbsim sends it a morning's files, and headless Chromium takes the pictures at 1280x800.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath "${1:-$root/build/linux}")
orbtray=$build/src/app/orbtray
orbsim=$build/tools/orbsim/orbsim
for file in "$orbtray" "$orbsim" /usr/bin/chromium /usr/bin/chromedriver; do
    [ -x "$file" ] || { echo "web-screenshots: no $file; see README.md and scripts/install-deps.sh" >&2; exit 1; }
done

scratch=$(mktemp -d)
orbtray_pid=
cleanup() {
    [ -z "$orbtray_pid" ] || kill "$orbtray_pid" 2>/dev/null || true
    [ -z "$orbtray_pid" ] || wait "$orbtray_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

# Ports free for TCP and UDP, below those the system gives the local ends of connections.
free_port() {
    /usr/bin/python3 - "$@" <<'EOF'
import random, socket, sys
while True:
    port = random.randint(20000, 32767)
    try:
        with socket.socket() as tcp, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            tcp.bind(('127.0.0.1', port))
            udp.bind(('127.0.0.1', port))
    except OSError:
        continue
    if str(port) not in sys.argv[1:]:
        print(port)
        break
EOF
}
port=$(free_port)
web_port=$(free_port "$port")
mkdir "$scratch/Data"
"$orbtray" --data-folder "$scratch/Data" --port "$port" --no-usb-scan --web "127.0.0.1:$web_port" \
    >"$scratch/orbtray.log" 2>&1 &
orbtray_pid=$!

# A few transfers, each in a second of its own, as instruments deliver them over a morning; the
# last one holds six hours of readings every minute. Each starts with its header line: time,
# temperature (°C), humidity (%).
send() {
    local serial=$1 file=$2
    "$orbsim" send --tcp "127.0.0.1:$port" --serial "$serial" "$file" >/dev/null
    sleep 1.1
}
readings() {
    /usr/bin/python3 - "$@" <<'EOF'
import math, random, sys
count, start_hour, base = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
random.seed(count)
print('time,temperature_C,humidity_pct')
for i in range(count):
    minutes = start_hour * 60 + i
    warm = math.sin((minutes - 6 * 60) / (24 * 60) * 2 * math.pi)
    temperature = base + 3.2 * warm + random.gauss(0, 0.08)
    humidity = 58 - 9 * warm + random.gauss(0, 0.4)
    print(f'2026-12-06 {minutes // 60:02d}:{minutes % 60:02d}:00,{temperature:.2f},{humidity:.1f}')
EOF
}
# orbtray is up once its page answers.
for _ in $(seq 100); do
    curl -sf -o /dev/null "http://127.0.0.1:$web_port/" && break
    sleep 0.1
done
readings 12 7 20.5 >"$scratch/a.csv"
readings 30 7 18.9 >"$scratch/b.csv"
readings 8 8 21.7 >"$scratch/c.csv"
readings 360 6 19.8 >"$scratch/day.csv"
send OBX-20417 "$scratch/a.csv"
send OBX-31502 "$scratch/b.csv"
send OBX-20417 "$scratch/c.csv"
send OBX-10088 "$scratch/a.csv"
send OBX-31502 "$scratch/c.csv"
send OBX-40955 "$scratch/b.csv"
send OBX-20417 "$scratch/a.csv"
send OBX-10088 "$scratch/c.csv"
send OBX-40955 "$scratch/a.csv"

/usr/bin/python3 - "$web_port" "$port" "$orbsim" "$scratch" "$root/docs" <<'EOF'
import os, socket, subprocess, sys
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

web_port, port, orbsim, scratch, docs = sys.argv[1:]
base = f'http://127.0.0.1:{web_port}'
options = webdriver.ChromeOptions()
options.binary_location = '/usr/bin/chromium'
for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--hide-scrollbars',
                 '--window-size=1280,800', '--user-data-dir=' + os.path.join(scratch, 'chromium')):
    options.add_argument(argument)
driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
wait = WebDriverWait(driver, 30, poll_frequency=0.05)
rows = lambda: driver.find_elements(By.CSS_SELECTOR, '#files tbody tr')
try:
    # The page's own area at exactly 1280x800, whatever the headless window keeps for itself.
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                           {'width': 1280, 'height': 800, 'deviceScaleFactor': 1, 'mobile': False})
    driver.get(base + '/')
    wait.until(lambda d: len(rows()) == 9)
    # While the page is open: one instrument stays connected, another has just connected and
    # not yet said who it is, a third delivers the long file.
    with socket.create_connection(('127.0.0.1', int(port))) as instrument, \
         socket.create_connection(('127.0.0.1', int(port))):
        instrument.sendall(b'HELLO OBX-10088\r\n')
        subprocess.run([orbsim, 'send', '--tcp', f'127.0.0.1:{port}', '--serial', 'OBX-20417',
                        os.path.join(scratch, 'day.csv')], check=True, capture_output=True)
        wait.until(lambda d: len(rows()) == 10 and
                   len(d.find_elements(By.CSS_SELECTOR, '#connections li')) == 2 and
                   'OBX-10088' in d.find_element(By.ID, 'connections').text and
                   d.find_elements(By.CSS_SELECTOR, '#notices li'))
        # The new row's highlight fades over a few seconds; the picture shows it just arrived.
        driver.save_screenshot(os.path.join(docs, 'web-list.png'))
    rows()[0].find_element(By.TAG_NAME, 'a').click()
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, '#plot canvas') and
               len(d.find_elements(By.CSS_SELECTOR, '#readings tbody tr')) == 100)
    # The pointer over the plot, as a user reads a value off it.
    plot = driver.find_element(By.ID, 'plot')
    ActionChains(driver).move_to_element_with_offset(plot, 120, -40).perform()
    wait.until(lambda d: d.find_element(By.CSS_SELECTOR, '#legend .value').text)
    driver.save_screenshot(os.path.join(docs, 'web-plot.png'))
finally:
    driver.quit()
EOF
echo "web-screenshots: wrote $root/docs/web-list.png and $root/docs/web-plot.png"
