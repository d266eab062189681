#!/usr/bin/python3
"""The page's Site view in headless Chromium: two stations with simulated instruments write one
site database (a PostgreSQL server of the test's own); the view shows a tile for each with its
day and the runs of both with their station, and its search narrows them; on the bench view the
banner says that the site has not answered for over a minute, with the runs that wait, and goes
once the station has sent them.  Exits 77 (skipped) when Chromium, its driver, Selenium or the
PostgreSQL server is not installed."""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..',
                                'tests', 'support'))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import page_test  # noqa: E402  (its browser and its waiting)
import postgres_server  # noqa: E402

SKIPPED = 77
WAIT = 150  # seconds: a bound for what a busy machine needs (the banner takes a minute)


class Station:
    def __init__(self, args, folder, name, site, instruments):
        self.folder = os.path.join(folder, name)
        os.makedirs(self.folder)
        self.sims = []
        self.ports = []
        for i in range(instruments):
            port = os.path.join(self.folder, f'p{i}')
            sim = subprocess.Popen([args.sim, '--link', port], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
            page_test.first_line(sim, 'vyra-sim')
            self.sims.append(sim)
            self.ports.append(port)
        with socket.socket() as probe:  # a free port, kept across a restart
            probe.bind(('127.0.0.1', 0))
            listen = probe.getsockname()[1]
        self.command = [args.station, '--shelf', args.shelf, '--db',
                        os.path.join(self.folder, 'h.db'), '--listen', f'127.0.0.1:{listen}',
                        '--site', site, '--name', name]
        for port in self.ports:
            self.command += ['--port', port]
        self.log = open(os.path.join(folder, f'{name}.log'), 'w')
        self.name = name
        self.start()

    def start(self):
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE, stderr=self.log,
                                        text=True)
        self.url = page_test.first_line(self.process, self.name).split('open ')[1]

    def restart(self):
        self.process.send_signal(signal.SIGTERM)
        assert self.process.wait(WAIT) == 0
        self.start()

    def get(self, path):
        with urllib.request.urlopen(self.url + path.lstrip('/'), timeout=WAIT) as answer:
            return json.load(answer)

    def program(self):
        request = urllib.request.Request(
            self.url + 'api/runs', json.dumps({'file': 'VYRA_SMALL.A37', 'ports': self.ports})
            .encode(), {'Content-Type': 'application/json'})
        with urllib.request.urlopen(request, timeout=WAIT) as answer:
            return [run['id'] for run in json.load(answer)['runs']]

    def settled(self, count):
        runs = self.get('/api/history?limit=1000')['runs']
        return len(runs) == count and all(run['result'] != 'running' for run in runs)

    def close(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(WAIT)
        for sim in self.sims:
            sim.terminate()
            sim.wait(WAIT)
        self.log.close()


def until(what, condition, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f'waited in vain for {what}')
        time.sleep(0.1)


def run(args, folder):
    server = postgres_server.PostgresServer()
    stations, driver = [], None
    try:
        server.start()
        server.sql("CREATE ROLE station LOGIN PASSWORD 'Page-Pw-31'")
        server.sql('CREATE DATABASE site')
        subprocess.run([args.station, 'site-init', server.admin('site')], check=True,
                       stdout=subprocess.DEVNULL)
        server.sql('GRANT USAGE ON SCHEMA velko TO station;'
                   'GRANT SELECT ON velko.schema_version TO station;'
                   'GRANT SELECT, INSERT, UPDATE ON velko.stations, velko.runs TO station', 'site')
        site = server.conninfo('site', 'station', 'Page-Pw-31')
        a = Station(args, folder, 'bench-north', site, 3)
        stations.append(a)
        b = Station(args, folder, 'bench-south', site, 2)
        stations.append(b)
        a.program()
        b.program()
        until('both batches in the site', lambda: a.settled(3) and b.settled(2) and all(
            s.get('/api/site')['pending'] == 0 for s in stations))

        print('== the Site view: a tile a station, the runs of both, the search')
        driver = page_test.browser(folder)
        page = page_test.Page(driver, None)
        driver.get(a.url)
        page.until('the bench', lambda: len(driver.find_elements(
            page_test.By.CSS_SELECTOR, '[data-port]')) == 3)
        page.find('[data-view="site"]').click()
        ids = {s: s.get('/api/site')['station_id'] for s in stations}

        page.until('two station tiles', lambda: len(driver.find_elements(
            page_test.By.CSS_SELECTOR, '#site-stations [data-station]')) == 2)
        for station, done in ((a, '3'), (b, '2')):
            root = f'[data-station="{ids[station]}"]'
            page.until(f'{done} done on a tile', lambda: page.find(
                f'{root} [data-count="done"]').text == done)
            assert page.find(f'{root} [data-count="yield"]').text == '100%'
            assert page.find(f'{root} [data-field="last-seen"]').text.startswith('last seen ')
        assert page.find(f'[data-station="{ids[a]}"]').get_attribute('data-own') == 'true'

        def site_rows():
            return driver.execute_script(
                'return [...document.querySelectorAll("#site-history tbody tr")].map(row => '
                '[row.dataset.station, row.querySelector("[data-field=station]").textContent,'
                ' row.dataset.result])')

        page.until('the runs of both stations', lambda: sorted(r[1] for r in site_rows()) ==
                   ['bench-north'] * 3 + ['bench-south'] * 2)
        page_test.Select(page.find('select[name="site-station"]')).select_by_value(ids[b])
        page.until('the search narrows to one station', lambda: [r[1] for r in site_rows()] ==
                   ['bench-south'] * 2)
        page.find('input[name="site-file"]').send_keys('NO_SUCH.A37', page_test.Keys.ENTER)
        page.until('no run matches', lambda: page.find('#site-history-empty').is_displayed())
        page.find('input[name="site-file"]').clear()
        page.find('input[name="site-file"]').send_keys('VYRA_SMALL.A37', page_test.Keys.ENTER)
        page.until('the runs again', lambda: len(site_rows()) == 2)
        driver.save_screenshot(os.path.join(args.shots, 'station-site.png'))

        print('== the site goes away: the bench programs on, and after a minute the banner')
        page.find('[data-view="bench"]').click()
        server.stop('immediate')
        a.program()
        until('the runs of the batch ended', lambda: a.settled(6))
        assert all(run['result'] == 'done' for run in a.get('/api/history')['runs'])
        banner = '[data-site="unreachable"]'
        assert not driver.find_elements(page_test.By.CSS_SELECTOR, banner)
        page.until('the banner', lambda: page.find(banner).is_displayed())
        assert '3 runs wait' in page.find(banner).text, page.find(banner).text
        driver.save_screenshot(os.path.join(args.shots, 'station-site-banner.png'))
        page.find('[data-view="site"]').click()
        page.until('the view says why', lambda: page.find('#site-message').is_displayed())
        page.find('[data-view="bench"]').click()

        print('== the site is back: the backlog goes, the banner too')
        server.start()
        # Restarted, the station connects at once rather than after its pause (up to a
        # minute); the page finds it again by itself.
        a.restart()
        page.until('the banner gone', lambda: not driver.find_elements(
            page_test.By.CSS_SELECTOR, banner))
        assert a.get('/api/site')['pending'] == 0
        return 0
    except (AssertionError, page_test.TimeoutException) as failure:
        page_test.report_failure(failure, driver, os.path.join(args.shots, 'site-failure.png'),
                                 folder)
        return 1
    finally:
        if driver is not None:
            driver.quit()
        for station in stations:
            station.close()
        server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ['station', 'sim', 'shelf', 'shots']:
        parser.add_argument(f'--{name}', required=True)
    args = parser.parse_args()
    missing = [path for path in (page_test.CHROMIUM, page_test.CHROMEDRIVER)
               if not os.path.exists(path)]
    if page_test.webdriver is None or missing or postgres_server.bin_dir() is None:
        print('skipped: needs chromium, chromium-driver, python3-selenium and postgresql '
              '(scripts/setup.sh installs them)')
        return SKIPPED
    os.makedirs(args.shots, exist_ok=True)
    folder = tempfile.mkdtemp(prefix='station-site-page-')
    started = time.monotonic()
    status = run(args, folder)
    print(f'== {"passed" if status == 0 else "failed"} in {time.monotonic() - started:.0f} s')
    if status == 0:
        shutil.rmtree(folder, ignore_errors=True)
    return status


if __name__ == '__main__':
    sys.exit(main())
