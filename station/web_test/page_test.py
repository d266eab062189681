#!/usr/bin/python3
"""The station's page in headless Chromium, driving a bench of simulated instruments as a person
would: a batch with healthy and faulty instruments, the history and its filter, a Retry once the
instrument is healthy, the automatic switch with a watched port that appears, Cancel, and the
page finding the station again after a restart; then a bench with a sign-in and a scanner.  Exits 77 (skipped) when Chromium, its driver or
Selenium is not installed."""
import argparse
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIPPED = 77
CHROMIUM, CHROMEDRIVER = '/usr/bin/chromium', '/usr/bin/chromedriver'
try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    webdriver = None

# The instruments: healthy ones (five paced, so that a run lasts), and what each faulty one does.
PACED = ['p01', 'p02', 'p03', 'p04', 'p05']
SIMS = {
    **{name: ['--pace'] for name in PACED},
    'p06': ['--erase-fault', '2', '--faulty-sessions', '1'], 'p07': ['--identify-silent'], 'p08': ['--block-fault', '30'],
    'p09': ['--erase-fault', '1:checksum'], 'p10': ['--stale-bytes'],
    'p11': ['--identify-bad-checksum'], 'p12': [],
}
FAILURES = {
    'p06': "Can't Erase Program Memory (Sector Erase Rec fail!)",
    'p07': "Can't find Vyra",
    'p08': "Can't Load Application",
    'p09': "Can't Erase Program Memory (Verify fail!)",
    'p11': "Can't find Vyra",
}
ABSENT = ['p13', 'p14', 'p15']  # named slots with no instrument
WAIT = 120  # seconds: a bound for what a busy machine needs, never a pause


def first_line(process, what):
    """The first line a child prints, waiting as long as it takes to start (bounded)."""
    ready, _, _ = select.select([process.stdout], [], [], WAIT)
    line = process.stdout.readline().strip() if ready else ''
    if not line:
        raise AssertionError(f'{what} printed nothing')
    return line


class Bench:
    """The simulated instruments and the station, as child processes."""

    def __init__(self, args, folder):
        self.args, self.folder = args, folder
        self.sims, self.station, self.restarts = {}, None, 0
        with socket.socket() as probe:  # a free port, kept across the station's restart
            probe.bind(('127.0.0.1', 0))
            self.port = probe.getsockname()[1]
        self.url = f'http://127.0.0.1:{self.port}/'

    def path(self, name):
        return os.path.join(self.folder, name)

    def start_sim(self, name, options=()):
        process = subprocess.Popen([self.args.sim, '--link', self.path(name), *options],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.sims[name] = process
        first_line(process, f'vyra-sim {name}')

    def stop_sim(self, name):
        process = self.sims.pop(name)
        process.terminate()
        process.wait(WAIT)

    def start_station(self, *extra, names=None):
        names = [*SIMS, *ABSENT] if names is None else names
        ports = [arg for name in names for arg in ('--port', self.path(name))]
        log = open(self.path(f'station-{self.restarts}.log'), 'w')
        self.restarts += 1
        self.station = subprocess.Popen(
            [self.args.station, '--shelf', self.args.shelf, '--db', self.path('history.db'),
             '--listen', f'127.0.0.1:{self.port}', '--watch', self.path('w*'), *ports, *extra],
            stdout=subprocess.PIPE, stderr=log, text=True)
        line = first_line(self.station, 'velko-station')
        assert line == f'velko-station: open {self.url}', line

    def stop_station(self):
        self.station.send_signal(signal.SIGTERM)
        assert self.station.wait(WAIT) == 0
        self.station = None

    def api(self, path):
        with urllib.request.urlopen(self.url + path.lstrip('/'), timeout=WAIT) as answer:
            return answer.read().decode()

    def api_as(self, page, path):
        """A request with the browser's session cookie."""
        cookie = '; '.join(f'{c["name"]}={c["value"]}' for c in page.driver.get_cookies())
        request = urllib.request.Request(self.url + path.lstrip('/'), headers={'Cookie': cookie})
        with urllib.request.urlopen(request, timeout=WAIT) as answer:
            return answer.read().decode()

    def close(self):
        for process in [self.station, *self.sims.values()]:
            if process is not None and process.poll() is None:
                process.terminate()
                process.wait(WAIT)


def browser(folder, *extra):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ['--headless=new', '--no-sandbox', '--window-size=1366,768',
                     '--disable-dev-shm-usage', '--disable-gpu', '--no-first-run',
                     '--disable-background-networking', '--disable-component-update',
                     '--disable-sync', f'--user-data-dir={folder}/chromium', *extra]:
        options.add_argument(argument)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class Page:
    """The page's hooks, and waiting on them."""

    def __init__(self, driver, bench):
        self.driver, self.bench = driver, bench

    def until(self, what, condition):
        return WebDriverWait(self.driver, WAIT, poll_frequency=0.1,
                             ignored_exceptions=[StaleElementReferenceException]).until(
            lambda _: condition(), message=what)

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def tile(self, name):
        return self.find(f'[data-port="{self.bench.path(name)}"]')

    def button(self, name, action):
        return self.tile(name).find_element(By.CSS_SELECTOR, f'[data-action="{action}"]')

    def field(self, name, field):
        return self.tile(name).find_element(By.CSS_SELECTOR, f'[data-field="{field}"]').text

    def states(self):
        return self.driver.execute_script(
            'return Object.fromEntries([...document.querySelectorAll("[data-port]")]'
            '.map(tile => [tile.dataset.port.split("/").pop(), tile.dataset.state]))')

    def wait_states(self, expected):
        try:
            self.until('tiles', lambda: expected.items() <= self.states().items())
        except TimeoutException:
            raise AssertionError(f'tiles {self.states()}, expected {expected}') from None

    def history(self):
        return self.driver.execute_script(
            'return [...document.querySelectorAll("#history tbody tr")].map(row => '
            '[row.cells[1].title.split("/").pop(), row.dataset.result, '
            '...[...row.cells].map(cell => cell.textContent)])')

    def choose(self, file):
        # The picker fills from the shelf's own request, after the page has drawn.
        self.until(f'{file} to choose', lambda: self.driver.find_elements(
            By.CSS_SELECTOR, f'select[name="file"] option[value="{file}"]:not([disabled])'))
        Select(self.find('select[name="file"]')).select_by_value(file)

    def click(self, name, action):
        self.until(f'{name} offers {action}', lambda: self.button(name, action).is_displayed())
        self.button(name, action).click()


def report_failure(failure, driver, picture, folder):
    """What a failed browser test leaves to look at: the failure, a picture of the page (as
    `picture` in the screenshots), the browser's log and the end of each log of the folder."""
    print(f'FAILED: {getattr(failure, "msg", None) or repr(failure)}')
    if driver is not None:
        driver.save_screenshot(picture)
        print(f'   the page: {picture}')
        for entry in driver.get_log('browser'):
            print(f'   browser: {entry["level"]} {entry["message"]}')
    for log in sorted(name for name in os.listdir(folder) if name.endswith('.log')):
        print(f'--- {log}\n' + open(os.path.join(folder, log)).read()[-4000:])


def run(args, folder):
    bench = Bench(args, folder)
    driver = None
    try:
        for name, options in SIMS.items():
            bench.start_sim(name, options)
        bench.start_station()
        driver = browser(folder)
        page = Page(driver, bench)
        driver.get(bench.url)
        idle = {name: 'idle' for name in SIMS}
        page.wait_states({**idle, **{name: 'absent' for name in ABSENT}})

        print('== the picker: an unsigned file is refused and says why; a batch from the keyboard')
        # The shelf comes with a request of its own, which may be answered after the tiles'.
        page.until('the shelf in the picker', lambda: page.driver.find_elements(
            By.CSS_SELECTOR, 'option[value="VYRA_UNSIGNED.A37"]'))
        unsigned = page.find('option[value="VYRA_UNSIGNED.A37"]')
        assert unsigned.get_attribute('disabled') and '--sign' in unsigned.text, unsigned.text
        page.choose('VYRA_SMALL.A37')
        # Tab from the page's start reaches "Program all idle", shows where it is, Enter presses it.
        for _ in range(6):
            ActionChains(driver).send_keys(Keys.TAB).perform()
            focused = driver.switch_to.active_element
            if focused.get_attribute('data-action') == 'program-all':
                break
        assert focused.get_attribute('data-action') == 'program-all'
        assert driver.execute_script(
            'return getComputedStyle(document.activeElement).outlineStyle') != 'none'
        focused.send_keys(Keys.ENTER)
        outcome = {name: 'failed' if name in FAILURES else 'done' for name in SIMS}
        page.wait_states({**outcome, **{name: 'absent' for name in ABSENT}})
        for name, failure in FAILURES.items():
            assert page.field(name, 'detail') == failure, (name, page.field(name, 'detail'))
            assert page.field(name, 'state') == 'Failed'
        assert page.field('p01', 'state') == 'Done' and page.field('p13', 'state') == 'Absent'

        print('== the history and the counts')
        page.until('a history row for each run', lambda: len(page.history()) == len(SIMS))
        for port, result, _, _, file, crc, identify, shown, error, _, _, _ in page.history():
            assert (result, shown, file, crc) == (outcome[port], result, 'VYRA_SMALL.A37', '0xC6CC')
            assert error == FAILURES.get(port, ''), (port, error)
            assert identify or port in ('p07', 'p11'), port  # no identify answer, no bytes
        page.until('the counts', lambda: (page.find('[data-count="done"]').text,
                                          page.find('[data-count="failed"]').text) == ('7', '5'))
        Select(page.find('select[name="history-result"]')).select_by_value('failed')
        page.until('the failed runs only', lambda: sorted(row[0] for row in page.history()) ==
                   sorted(FAILURES))
        csv = bench.api(page.find('[data-action="csv"]').get_attribute('href').split('/', 3)[3])
        assert len(csv.splitlines()) == 1 + len(FAILURES) and ',failed,' in csv.splitlines()[1]
        Select(page.find('select[name="history-result"]')).select_by_value('')

        print('== Retry once the failing instrument is healthy')
        # p06 fails its first session only: seen to without leaving its port (a port that goes
        # and comes back starts idle, with nothing to retry).
        page.choose('VYRA_FULL.A37')  # Retry takes the file of the failed run, not the chosen one
        page.click('p06', 'retry')
        page.wait_states({'p06': 'done'})
        page.until('the retry in the history',
                   lambda: page.history()[0][:2] == ['p06', 'done'] and page.history()[0][4] ==
                   'VYRA_SMALL.A37')

        print('== the automatic switch, and a watched port that appears')
        page.choose('VYRA_SMALL.A37')
        page.find('[data-action="auto"]').send_keys(Keys.ENTER)  # on with the key, off by click
        page.until('the station programs new instruments', lambda: '"auto":"VYRA_SMALL.A37"' in
                   bench.api('/api/station'))
        bench.start_sim('w1')
        page.wait_states({'w1': 'done'})
        # Sixteen tiles fit on a 1366x768 screen without scrolling.
        bottoms = driver.execute_script(
            'return [innerHeight, scrollY, ...[...document.querySelectorAll("[data-port]")]'
            '.map(tile => tile.getBoundingClientRect().bottom)]')
        assert len(bottoms) == 2 + 16 and bottoms[1] == 0, bottoms
        assert max(bottoms[2:]) <= bottoms[0], bottoms
        page.find('[data-action="auto"]').click()
        page.until('automatic programming off', lambda: '"auto":null' in bench.api('/api/station'))

        print('== Cancel, and the bench mid-batch')
        page.choose('VYRA_FULL.A37')
        for name in PACED:
            page.click(name, 'program')
        page.until('the paced runs in their blocks', lambda: all(
            int(page.tile(name).get_attribute('data-percent')) >= 2 for name in PACED))
        page.click('p05', 'cancel')
        page.wait_states({'p05': 'cancelled', 'p04': 'running'})
        assert page.field('p05', 'state') == 'Cancelled'
        assert page.field('p04', 'state').startswith('Programming ')
        page.until('p04 shows its rate', lambda: page.field('p04', 'detail').endswith('KB/s'))
        driver.save_screenshot(os.path.join(args.shots, 'station-bench.png'))
        for name in PACED[:-1]:
            page.click(name, 'cancel')
        cancelled = {name: 'cancelled' for name in PACED}
        page.wait_states(cancelled)
        page.until('the cancelled runs in the history', lambda: sorted(
            row[:2] for row in page.history()[:5]) == [[name, 'cancelled'] for name in PACED])
        driver.set_window_size(1366, 2000)  # an element's picture holds only what the window shows
        page.find('#reports').screenshot(os.path.join(args.shots, 'station-history.png'))
        driver.set_window_size(1366, 768)

        # Every request went to the station, and the browser met no refused script or style.
        origin = bench.url.rstrip('/')
        assert driver.execute_script(
            'return performance.getEntriesByType("resource").map(entry => entry.name)'
            '.filter(name => !name.startsWith(arguments[0]))', origin) == []
        severe = [entry for entry in driver.get_log('browser') if entry['level'] == 'SEVERE']
        assert severe == [], severe

        print('== the station restarts (now signing): the page finds it again')
        bench.stop_station()
        page.until('"station not reachable"', lambda: page.find('#banner').is_displayed() and
                   'Station not reachable' in page.find('#banner').text)
        bench.start_station('--sign', args.sign)
        page.until('the page connected again', lambda: not page.find('#banner').is_displayed())
        page.wait_states({**outcome, **cancelled, 'p06': 'done', 'w1': 'done'})
        page.until('the unsigned file may now be chosen', lambda: not page.find(
            'option[value="VYRA_UNSIGNED.A37"]').get_attribute('disabled'))
        page.choose('VYRA_UNSIGNED.A37')
        page.click('p01', 'program')
        page.until('p01 programmed with the unsigned file, signed by the station', lambda:
                   page.history()[0][:2] == ['p01', 'done'] and page.history()[0][4] ==
                   'VYRA_UNSIGNED.A37')
        return 0
    except (AssertionError, TimeoutException) as failure:
        report_failure(failure, driver, os.path.join(args.shots, 'failure.png'), folder)
        return 1
    finally:
        if driver is not None:
            driver.quit()
        bench.close()


SCANNED = {'s1': 'VY-4711', 's2': 'VY-4712', 's3': 'VY-4713', 's4': 'VY-4714'}


def run_scanner(args, folder):
    """A bench with a sign-in and a scanner: sign in, scan four labels (typed, each ended with
    Enter) into four tiles, each programs and the focus walks on; the history's search, a unit's
    record, and signing out."""
    bench = Bench(args, folder)
    driver = None
    try:
        for name in SCANNED:
            bench.start_sim(name)
        hashed = subprocess.run([args.station, 'hash-password'], input='2468\n', text=True,
                                capture_output=True, check=True).stdout.strip()
        with open(bench.path('operators'), 'w') as operators:
            operators.write(f'# the bench\nbob operator {hashed}\n')
        bench.start_station('--operators', bench.path('operators'), '--require-instrument',
                            names=list(SCANNED))
        driver = browser(folder)
        page = Page(driver, bench)
        driver.get(bench.url)

        print('== sign in: a wrong PIN is refused, the right one shows the bench')
        form = page.find('form#signin')
        page.until('the sign-in form', form.is_displayed)
        assert not page.find('#bench').is_displayed()
        page.find('input[name="operator"]').send_keys('bob')
        page.find('input[name="password"]').send_keys('1111', Keys.ENTER)
        page.until('the refusal', lambda: 'wrong PIN' in page.find(
            '[data-field="signin-error"]').text)
        page.find('input[name="password"]').send_keys('2468', Keys.ENTER)
        page.until('signed in', lambda: page.find('#signed-in').is_displayed())
        assert 'bob' in page.find('#signed-in').text and not form.is_displayed()
        page.wait_states({name: 'idle' for name in SCANNED})

        print('== four labels scanned: each tile programs and the focus walks on')
        page.choose('VYRA_SMALL.A37')
        program = page.button('s1', 'program')
        page.until('Program waits for a serial', lambda: not program.is_enabled())
        field = lambda name: page.tile(name).find_element(By.CSS_SELECTOR,
                                                           'input[name="instrument"]')
        field('s1').click()
        for index, (name, serial) in enumerate(SCANNED.items()):
            focused = driver.switch_to.active_element
            assert focused == field(name), (name, focused.get_attribute('aria-label'))
            ActionChains(driver).send_keys(serial, Keys.ENTER).perform()
            if index + 1 < len(SCANNED):
                following = list(SCANNED)[index + 1]
                page.until(f'the focus on {following}',
                           lambda: driver.switch_to.active_element == field(following))
        page.wait_states({name: 'done' for name in SCANNED})
        for name, serial in SCANNED.items():
            page.until(f'{name} names its unit',
                       lambda: page.field(name, 'instrument') == f'SN {serial}')
            assert field(name).get_attribute('value') == ''
        rows = json.loads(bench.api_as(page, '/api/history'))['runs']
        assert sorted((row['instrument'], row['operator'], row['result']) for row in rows) == \
            sorted((serial, 'bob', 'done') for serial in SCANNED.values()), rows

        print('== the search, and a unit\'s record')
        page.find('input[name="search"]').send_keys('VY-4712', Keys.ENTER)
        page.until('the unit\'s runs only', lambda: [row[-2] for row in page.history()] ==
                   ['VY-4712'])
        assert 'search=VY-4712' in page.find('[data-action="csv"]').get_attribute('href')
        page.find('#history [data-instrument="VY-4712"]').click()
        record = page.find('#instrument')
        page.until('the record', record.is_displayed)
        assert page.find('#instrument [data-field="serial"]').text == 'VY-4712'
        assert page.find('#instrument [data-field="carries"]').text.startswith(
            'carries VYRA_SMALL.A37 since '), page.find('#instrument [data-field="carries"]').text
        results = [row.get_attribute('data-result') for row in
                   driver.find_elements(By.CSS_SELECTOR, '#instrument tr[data-result]')]
        assert results == ['done'], results
        page.find('input[name="search"]').clear()
        page.find('input[name="search"]').send_keys('bob', Keys.ENTER)
        page.until('the operator\'s runs', lambda: len(page.history()) == len(SCANNED))
        driver.save_screenshot(os.path.join(args.shots, 'station-scanner.png'))

        print('== sign out')
        page.find('[data-action="sign-out"]').click()
        page.until('the sign-in form again', lambda: page.find('form#signin').is_displayed())
        assert not page.find('#bench').is_displayed()
        severe = [entry for entry in driver.get_log('browser') if entry['level'] == 'SEVERE'
                  and '401' not in entry['message']]
        assert severe == [], severe
        return 0
    except (AssertionError, TimeoutException) as failure:
        report_failure(failure, driver, os.path.join(args.shots, 'failure-scanner.png'), folder)
        return 1
    finally:
        if driver is not None:
            driver.quit()
        bench.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ['station', 'sim', 'shelf', 'sign', 'shots']:
        parser.add_argument(f'--{name}', required=True)
    args = parser.parse_args()
    missing = [path for path in (CHROMIUM, CHROMEDRIVER) if not os.path.exists(path)]
    if webdriver is None or missing:
        print(f'skipped: the browser test needs chromium, chromium-driver and python3-selenium '
              f'(scripts/setup.sh installs them); missing: {missing or "selenium"}')
        return SKIPPED
    os.makedirs(args.shots, exist_ok=True)
    folder = tempfile.mkdtemp(prefix='station-page-')
    started = time.monotonic()
    status = run(args, folder)
    if status == 0:
        scanner = tempfile.mkdtemp(prefix='station-scanner-')
        status = run_scanner(args, scanner)
        if status == 0:
            shutil.rmtree(scanner, ignore_errors=True)
    print(f'== {"passed" if status == 0 else "failed"} in {time.monotonic() - started:.0f} s; '
          f'screenshots in {args.shots}')
    if status == 0:
        shutil.rmtree(folder, ignore_errors=True)
    return status


if __name__ == '__main__':
    sys.exit(main())
