// The page's words and figures, without a browser (node --test).
import assert from 'node:assert/strict';
import { test } from 'node:test';

import {
    RateMeter,
    fileRefusal,
    formatBytes,
    formatClock,
    formatPercent,
    formatRate,
    formatSeconds,
    lineMsPerBlock,
    shortPortNames,
    stateWords,
} from '../web/format.mjs';

test('port names are shortened to what tells them apart', () => {
    const byId = '/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0';
    const byPath = '/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0';
    const dual0 = '/dev/serial/by-id/usb-FTDI_Dual_RS232-HS-if00-port0';
    const dual1 = '/dev/serial/by-id/usb-FTDI_Dual_RS232-HS-if01-port0';
    const names = shortPortNames([
        byId,
        dual0,
        dual1,
        '/dev/ttyUSB0',
        byPath,
        '/dev/serial/by-id/usb-Prolific_PL2303',
    ]);
    assert.equal(names.get(byId), 'FTDI … A50285BI');
    // The two interfaces of one adapter would read alike: they keep their whole last part.
    assert.equal(names.get(dual0), 'usb-FTDI_Dual_RS232-HS-if00-port0');
    assert.equal(names.get(dual1), 'usb-FTDI_Dual_RS232-HS-if01-port0');
    assert.equal(names.get('/dev/ttyUSB0'), 'ttyUSB0');
    assert.equal(names.get(byPath), 'USB 1.2:1.0');
    assert.equal(names.get('/dev/serial/by-id/usb-Prolific_PL2303'), 'Prolific PL2303');
});

test('sizes, rates, durations and percentages read as a person writes them', () => {
    assert.deepEqual(
        [0, 640, 999, 1000, 6255, 99949, 262143, 1.5e6].map(formatBytes),
        ['0 B', '640 B', '999 B', '1.0 KB', '6.3 KB', '99.9 KB', '262 KB', '1.5 MB'],
    );
    assert.equal(formatRate(9333), '9.3 KB/s');
    assert.equal(formatRate(null), '');
    assert.deepEqual(
        [0, 4.04, 59.94, 59.96, 65, 3599.4, 3725].map(formatSeconds),
        ['0.0 s', '4.0 s', '59.9 s', '1 min 00 s', '1 min 05 s', '59 min 59 s', '1 h 02 min'],
    );
    assert.deepEqual(
        [null, 100, 200 / 3, 99.96].map(formatPercent),
        ['–', '100%', '66.6%', '99.9%'],
    );
});

test('times of today show the clock, of other days the date too', () => {
    const now = new Date(2024, 4, 2, 18, 0, 0);
    assert.equal(formatClock(new Date(2024, 4, 2, 9, 5, 7), now), '09:05:07');
    assert.equal(formatClock(new Date(2024, 4, 1, 23, 59, 59), now), '2024-05-01 23:59');
    assert.equal(formatClock('not a time', now), '');
});

test('a slot says its state in words, a running one how far it is', () => {
    assert.equal(stateWords({ state: 'running', bytes: 2880, total: 6255 }), 'Programming 46%');
    assert.equal(stateWords({ state: 'running', bytes: 0, total: 0 }), 'Programming 0%');
    assert.equal(stateWords({ state: 'running', bytes: 6272, total: 6255 }), 'Programming 100%');
    assert.deepEqual(
        ['done', 'failed', 'cancelled', 'absent', 'idle'].map((state) => stateWords({ state })),
        ['Done', 'Failed', 'Cancelled', 'Absent', 'Idle'],
    );
});

test('an unsigned file is refused unless the station signs', () => {
    const signed = { ok: true, signed: true };
    const unsigned = { ok: true, signed: false };
    assert.equal(fileRefusal(signed, false), null);
    assert.match(fileRefusal(unsigned, false), /unsigned.*--sign/);
    assert.equal(fileRefusal(unsigned, true), null);
    assert.match(fileRefusal({ ok: false }, true), /not a readable/);
});

test('the rate counts from the run\'s first progress and starts afresh for a new run', () => {
    const meter = new RateMeter();
    meter.add(7, 64, 10000); // the text phases before it took seconds: they don't count
    assert.equal(meter.rate(), null);
    meter.add(7, 64 + 9333, 11000);
    assert.equal(Math.round(meter.rate()), 9333);
    meter.add(8, 64, 20000); // the next run on the slot
    assert.equal(meter.rate(), null);
    meter.add(8, 640, 20500);
    meter.add(8, 64, 21000); // a retry within the run begins again from its start
    assert.equal(meter.rate(), null);
    // The line's need for a block at 115200 baud, against which block times are drawn.
    assert.equal(lineMsPerBlock(115200).toFixed(2), '6.86');
});
