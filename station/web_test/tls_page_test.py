#!/usr/bin/python3
"""The station's page over HTTPS in headless Chromium, which trusts exactly the key of a
certificate made here (--ignore-certificate-errors-spki-list): the tiles, a run followed on the
event stream through TLS, the history; then a station served to the network over plain HTTP,
whose page says in its header that the token travels unencrypted.  Exits 77 (skipped) when
Chromium, its driver, Selenium or openssl is not installed."""
import argparse
import base64
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile

from page_test import (CHROMEDRIVER, CHROMIUM, SKIPPED, WAIT, Page, browser, first_line,
                       report_failure, webdriver)

if webdriver is not None:
    from selenium.common.exceptions import TimeoutException

OPENSSL = '/usr/bin/openssl'
TOKEN = 'a-token-for-the-page-test'


def make_certificate(folder):
    """A self-signed certificate for 127.0.0.1 and its key (mode 600); the base64 SHA-256 of
    its public key, which is what Chromium is told to trust."""
    key, certificate = os.path.join(folder, 'station.key'), os.path.join(folder, 'station.pem')
    subprocess.run([OPENSSL, 'req', '-x509', '-newkey', 'ec', '-pkeyopt',
                    'ec_paramgen_curve:P-256', '-nodes', '-keyout', key, '-out', certificate,
                    '-days', '2', '-subj', '/CN=velko-station test',
                    '-addext', 'subjectAltName=IP:127.0.0.1,DNS:localhost'],
                   check=True, capture_output=True)
    os.chmod(key, 0o600)
    spki = subprocess.run([OPENSSL, 'x509', '-in', certificate, '-noout', '-pubkey'],
                          check=True, capture_output=True).stdout
    der = subprocess.run([OPENSSL, 'pkey', '-pubin', '-outform', 'der'], input=spki,
                         check=True, capture_output=True).stdout
    return certificate, key, base64.b64encode(hashlib.sha256(der).digest()).decode()


class Bench:
    """One instrument, one empty slot and a station, as child processes."""

    def __init__(self, args, folder):
        self.args, self.folder, self.station, self.url = args, folder, None, None
        self.sim = subprocess.Popen([args.sim, '--link', self.path('p01')],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        first_line(self.sim, 'vyra-sim')

    def path(self, name):
        return os.path.join(self.folder, name)

    def start_station(self, *extra):
        self.stop_station()
        log = open(self.path('station.log'), 'a')
        self.station = subprocess.Popen(
            [self.args.station, '--shelf', self.args.shelf, '--db', self.path('history.db'),
             '--port', self.path('p01'), '--port', self.path('p02'), *extra],
            stdout=subprocess.PIPE, stderr=log, text=True)
        line = first_line(self.station, 'velko-station')
        self.url = line.split(' ')[2]
        return line

    def stop_station(self):
        if self.station is not None:
            self.station.send_signal(signal.SIGTERM)
            assert self.station.wait(WAIT) == 0
            self.station = None

    def close(self):
        for process in [self.station, self.sim]:
            if process is not None and process.poll() is None:
                process.terminate()
                process.wait(WAIT)


def run(args, folder):
    certificate, key, spki = make_certificate(folder)
    bench = Bench(args, folder)
    driver = None
    try:
        driver = browser(folder, f'--ignore-certificate-errors-spki-list={spki}')
        page = Page(driver, bench)
        warning = '[data-warning="unencrypted"]'

        print('== over HTTPS: the tiles, a run followed through TLS, no warning')
        line = bench.start_station('--listen', '127.0.0.1:0', '--tls-cert', certificate,
                                   '--tls-key', key)
        assert bench.url.startswith('https://127.0.0.1:') and line.endswith('/'), line
        driver.get(bench.url)
        page.wait_states({'p01': 'idle', 'p02': 'absent'})
        assert driver.execute_script('return location.protocol') == 'https:'
        page.until("the station's name", lambda: page.find('#station-name').text != '')
        assert not page.find(warning).is_displayed()
        page.choose('VYRA_SMALL.A37')
        page.click('p01', 'program')
        page.wait_states({'p01': 'done'})
        page.until('the run in the history', lambda: page.history()[0][:2] == ['p01', 'done'])
        severe = [entry for entry in driver.get_log('browser') if entry['level'] == 'SEVERE']
        assert severe == [], severe

        print('== served to the network over plain HTTP: the header says so')
        token = bench.path('token')
        with open(token, 'w') as out:
            out.write(TOKEN + '\n')
        line = bench.start_station('--listen', '0.0.0.0:0', '--token-file', token)
        assert 'unencrypted' in line, line
        port = bench.url.rstrip('/').rsplit(':', 1)[1]
        driver.get(f'http://127.0.0.1:{port}/#token={TOKEN}')
        page.wait_states({'p01': 'done', 'p02': 'absent'})
        page.until('the warning', lambda: page.find(warning).is_displayed())
        assert 'token travels in clear text' in page.find(warning).text
        return 0
    except (AssertionError, TimeoutException, subprocess.CalledProcessError) as failure:
        report_failure(failure, driver, os.path.join(args.shots, 'tls-failure.png'),
                       bench.folder)
        return 1
    finally:
        if driver is not None:
            driver.quit()
        bench.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ['station', 'sim', 'shelf', 'shots']:
        parser.add_argument(f'--{name}', required=True)
    args = parser.parse_args()
    missing = [path for path in (CHROMIUM, CHROMEDRIVER, OPENSSL) if not os.path.exists(path)]
    if webdriver is None or missing:
        print(f'skipped: the browser test needs chromium, chromium-driver, python3-selenium and '
              f'openssl (scripts/setup.sh installs them); missing: {missing or "selenium"}')
        return SKIPPED
    os.makedirs(args.shots, exist_ok=True)
    folder = tempfile.mkdtemp(prefix='station-tls-page-')
    status = run(args, folder)
    print(f'== {"passed" if status == 0 else "failed"}')
    if status == 0:
        shutil.rmtree(folder, ignore_errors=True)
    return status


if __name__ == '__main__':
    sys.exit(main())
