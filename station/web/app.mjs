// The station's page: the bench's tiles kept live from the event stream, the file picker and the
// batch's buttons, today's counts, the charts and the history.  What the station says is the
// truth: a button asks, and the tile changes when the station's event says so.  With a
// sign-in the page shows its form first; a scanner types each unit's serial into its tile's
// field and presses Enter, which programs that tile and moves on to the next idle one.
import { coalesced, download, followEvents, getJson, hasToken, postJson } from './api.mjs';
import { BlockChart, HoursChart } from './charts.mjs';
import {
    PROGRAMMABLE,
    RateMeter,
    fileFacts,
    fileRefusal,
    formatClock,
    formatPercent,
    formatSeconds,
    hex,
    identifyText,
    lineMsPerBlock,
    shortPortName,
    shortPortNames,
} from './format.mjs';
import { initSite, siteChanged } from './site.mjs';
import { makeTile, updateTile } from './tiles.mjs';

const $ = (selector) => document.querySelector(selector);

const page = {
    station: { signs: false, auto: null, block_rate: 115200, require_instrument: false },
    files: [],
    slots: new Map(), // name -> the API's slot
    order: [], // the slots' names as the station lists them
    tiles: new Map(), // name -> tile
    rates: new Map(), // name -> RateMeter
    shortNames: new Map(),
    connected: null, // unknown until the stream opens or fails
    stopEvents: null, // ends the event stream (while signed in)
};

const picker = $('select[name="file"]');
const bench = $('#bench');
const programAll = $('[data-action="program-all"]');
const autoSwitch = $('[data-action="auto"]');

// ---- Messages to the person ---------------------------------------------------------------

function notice(text) {
    const node = $('#notice');
    node.querySelector('span').textContent = text;
    node.hidden = !text;
}
$('#notice button').addEventListener('click', () => notice(''));

function setConnected(connected) {
    if (page.connected === connected) {
        return;
    }
    page.connected = connected;
    document.body.dataset.connected = String(connected);
    $('#banner').hidden = connected;
}

// ---- The file ----------------------------------------------------------------------------

function chosenFile() {
    const file = page.files.find((candidate) => candidate.file === picker.value);
    return file && !fileRefusal(file, page.station.signs) ? file : null;
}

function renderPicker() {
    const wanted = picker.value || localStorage.getItem('velko-station.file') || '';
    picker.replaceChildren(new Option('Choose a file…', ''));
    for (const file of page.files) {
        const refusal = fileRefusal(file, page.station.signs);
        const text = refusal
            ? `${file.file} (can't be chosen: ${refusal})`
            : `${file.file} — ${file.length} bytes, ${file.signed ? 'signed' : 'unsigned'}`;
        const option = new Option(text, file.file);
        option.disabled = !!refusal;
        option.title = fileFacts(file);
        picker.append(option);
    }
    picker.value = page.files.some((f) => f.file === wanted && !fileRefusal(f, page.station.signs))
        ? wanted
        : '';
    renderChoice();
}

// Everything that depends on the chosen file: its facts, the buttons that program with it.
function renderChoice() {
    const file = page.files.find((candidate) => candidate.file === picker.value);
    const refused = page.files.filter((f) => fileRefusal(f, page.station.signs));
    let facts = file ? fileFacts(file) : 'No file chosen: choose the file to program.';
    if (!file && refused.length > 0) {
        facts += ` ${refused.map((f) => f.file).join(', ')} can't be chosen: ` +
                 fileRefusal(refused[0], page.station.signs) + '.';
    }
    $('#file-facts').textContent = facts;
    const ready = chosenFile() !== null;
    const idle = page.order.filter((name) => PROGRAMMABLE.has(page.slots.get(name).state));
    programAll.setAttribute('aria-disabled', String(!ready || idle.length === 0));
    programAll.textContent = `Program all idle (${idle.length})`;
    programAll.title = !ready ? 'Choose a file first'
        : idle.length === 0 ? 'No slot is ready for a run'
        : `Program ${idle.length} slot(s) with ${picker.value}`;
    for (const name of page.order) {
        renderTile(name);
    }
}

picker.addEventListener('change', () => {
    localStorage.setItem('velko-station.file', picker.value);
    notice('');
    renderChoice();
});

// A switch turns with Enter as well as Space, as the page's buttons press with Enter.
autoSwitch.addEventListener('keydown', (key) => {
    if (key.key === 'Enter') {
        key.preventDefault();
        autoSwitch.click();
    }
});

function renderAuto() {
    const auto = page.station.auto;
    autoSwitch.checked = auto != null;
    $('#auto-file').textContent = auto ? `(now ${auto})` : '';
}

autoSwitch.addEventListener('change', async () => {
    const file = autoSwitch.checked ? chosenFile() : null;
    if (autoSwitch.checked && !file) {
        autoSwitch.checked = false;
        notice('Choose a file first: new instruments are programmed with the chosen file.');
        return;
    }
    const answer = await postJson('/api/auto', { file: file ? file.file : null });
    if (answer.ok) {
        page.station.auto = answer.body.file;
        notice('');
    } else {
        notice(`The automatic file was not set: ${answer.body.error || answer.status}`);
    }
    renderAuto();
});

// ---- The tiles ---------------------------------------------------------------------------

function renderTile(name) {
    const slot = page.slots.get(name);
    let tile = page.tiles.get(name);
    if (!tile) {
        tile = makeTile(name);
        page.tiles.set(name, tile);
    }
    const meter = page.rates.get(name);
    const rate = meter && meter.run === slot.run ? meter.rate() : null;
    const shortName = page.shortNames.get(name) || shortPortName(name);
    updateTile(tile, slot, shortName, rate, chosenFile() !== null,
               page.station.require_instrument);
}

// The tiles in the station's order, after slots came or went.
function layoutTiles() {
    page.shortNames = shortPortNames(page.order);
    for (const [name, tile] of page.tiles) {
        if (!page.slots.has(name)) {
            tile.remove();
            page.tiles.delete(name);
        }
    }
    page.order.forEach((name) => renderTile(name));
    bench.replaceChildren(...page.order.map((name) => page.tiles.get(name)));
    bench.dataset.slots = String(page.order.length);
    $('#bench-empty').hidden = page.order.length > 0;
    renderFilters();
}

function setSlot(slot) {
    const known = page.slots.get(slot.name);
    if (known && known.state === 'absent' && slot.state !== 'absent') {
        const tile = page.tiles.get(slot.name);
        if (tile) {
            tile.parts.serial.value = ''; // another instrument: its label is still to scan
        }
    }
    page.slots.set(slot.name, slot);
    if (!known) {
        page.order.push(slot.name);
        layoutTiles();
    }
    if (!known || known.state !== slot.state) {
        refreshReports();
    }
    renderChoice();
}

// One event of the stream.
function onEvent(event) {
    if (event.event === 'snapshot') {
        setConnected(true);
        page.slots = new Map(event.ports.map((slot) => [slot.name, slot]));
        page.order = event.ports.map((slot) => slot.name);
        layoutTiles();
        renderChoice();
        refreshStation();
        refreshReports();
        return;
    }
    if (event.event === 'slot') {
        const { event: _, ...slot } = event;
        setSlot(slot);
        return;
    }
    if (event.event === 'site') {
        siteChanged();
        return;
    }
    if (event.event === 'auto') {
        page.station.auto = event.file;
        renderAuto();
        return;
    }
    const slot = page.slots.get(event.port);
    if (!slot) {
        return;
    }
    switch (event.event) {
        case 'status':
            slot.phase = event.text.trimEnd().split('\n').pop();
            break;
        case 'total':
            slot.total = event.bytes;
            slot.bytes = 0;
            page.rates.delete(event.port);
            break;
        case 'progress': {
            slot.bytes = event.bytes;
            slot.total = event.total;
            if (!page.rates.has(event.port)) {
                page.rates.set(event.port, new RateMeter());
            }
            page.rates.get(event.port).add(event.run, event.bytes, performance.now());
            break;
        }
        case 'note':
            slot.note = event.text;
            break;
        case 'result':
            slot.seconds = event.seconds;
            slot.error = event.error ?? null;
            break;
        default:
            return;
    }
    renderTile(event.port);
}

// The serial in a tile's field, trimmed; '' for none.
function serialOf(name) {
    const tile = page.tiles.get(name);
    return tile ? tile.parts.serial.value.trim() : '';
}

async function startRuns(file, ports, instruments = {}) {
    const answer = await postJson('/api/runs', { file, ports, instruments });
    if (answer.ok) {
        notice('');
        for (const name of ports) {
            const tile = page.tiles.get(name);
            if (tile && tile.parts.serial.value.trim() === (instruments[name] || '')) {
                tile.parts.serial.value = ''; // the unit's run has it now
            }
            renderTile(name);
        }
    } else if (answer.status === 401) {
        checkSession();
    } else if (answer.status === 409) {
        notice(`Already running: ${(answer.body.ports || []).join(', ')}`);
    } else {
        notice(`${file}: ${answer.body.error || `the station answered ${answer.status}`}`);
    }
}

bench.addEventListener('click', (click) => {
    const target = click.target.closest('button[data-action]');
    const tile = target && target.closest('[data-port]');
    if (!tile) {
        return;
    }
    const slot = page.slots.get(tile.dataset.port);
    const action = target.dataset.action;
    if (action === 'cancel') {
        postJson('/api/cancel', { ports: [slot.name] });
    } else if (action === 'retry') {
        startRuns(slot.file, [slot.name]);
    } else if (action === 'program') {
        programTile(slot.name);
    }
});

// One tile with the chosen file and the serial in its field.
function programTile(name) {
    const file = chosenFile();
    if (!file) {
        notice('Choose a file first.');
        picker.focus();
        return false;
    }
    const serial = serialOf(name);
    if (!serial && page.station.require_instrument) {
        notice('Scan or type the instrument\'s serial number first.');
        return false;
    }
    startRuns(file.file, [name], serial ? { [name]: serial } : {});
    return true;
}

// The next tile after `name` (round the bench) that can take a run and has no serial yet.
function nextIdleField(name) {
    const at = page.order.indexOf(name);
    for (let step = 1; step < page.order.length; step++) {
        const next = page.order[(at + step) % page.order.length];
        const tile = page.tiles.get(next);
        if (PROGRAMMABLE.has(page.slots.get(next).state) && tile.parts.serial.value === '') {
            return tile.parts.serial;
        }
    }
    return null;
}

// A scanner ends each label with Enter: that tile is programmed, and the focus moves on at
// once, before the station answers, so that the next label's characters land in the next
// field.
bench.addEventListener('keydown', (key) => {
    const field = key.target.closest('input[name="instrument"]');
    if (!field || key.key !== 'Enter') {
        return;
    }
    key.preventDefault();
    const name = field.closest('[data-port]').dataset.port;
    if (!PROGRAMMABLE.has(page.slots.get(name).state)) {
        return;
    }
    const next = nextIdleField(name);
    if (programTile(name) && next) {
        next.focus();
    }
});

bench.addEventListener('input', (typed) => {
    const tile = typed.target.closest('[data-port]');
    if (tile && typed.target.name === 'instrument') {
        renderTile(tile.dataset.port);
    }
});

programAll.addEventListener('click', () => {
    const file = chosenFile();
    if (!file) {
        notice('Choose a file first.');
        picker.focus();
        return;
    }
    const ports = page.order.filter((name) => PROGRAMMABLE.has(page.slots.get(name).state));
    if (ports.length === 0) {
        notice('No slot is ready for a run: every slot is running or has no instrument.');
        return;
    }
    const instruments = {};
    for (const name of ports) {
        if (serialOf(name)) {
            instruments[name] = serialOf(name);
        }
    }
    startRuns(file.file, ports, instruments);
});

// ---- Station, counts, charts, history ----------------------------------------------------

const refreshStation = coalesced(async () => {
    const [station, shelf] = await Promise.all([getJson('/api/station'), getJson('/api/shelf')]);
    page.station = station;
    page.files = shelf.files;
    $('#station-name').textContent = `${station.station} · ${station.version}`;
    // Served to the network without TLS: whoever listens on the way reads the token.
    $('[data-warning="unencrypted"]').hidden = station.tls !== false || station.loopback !== false;
    renderPicker();
    renderAuto();
    renderFilters();
});

let hoursChart = null;
let blockChart = null;

function renderBlockChart() {
    const entries = page.order
        .map((name) => page.slots.get(name))
        .filter((slot) => slot.run != null && slot.state !== 'running')
        .map((slot) => ({
            name: page.shortNames.get(slot.name),
            ms: slot.block_ms > 0 ? slot.block_ms : null,
        }));
    const rate = page.station.block_rate || 115200;
    blockChart.update(entries, lineMsPerBlock(rate));
    $('#block-caption').textContent =
        `Each slot's latest run; the dashed line is what the line needs at ${rate} baud: ` +
        `${lineMsPerBlock(rate).toFixed(1)} ms a block.`;
}

const refreshStats = coalesced(async () => {
    const stats = await getJson('/api/stats');
    const today = stats.today;
    $('[data-count="done"]').textContent = String(today.done);
    $('[data-count="failed"]').textContent = String(today.failed);
    $('[data-count="yield"]').textContent = formatPercent(today.yield);
    $('[data-count="per-hour"]').textContent = String(today.runs_last_hour);
    if (window.uPlot) {
        hoursChart ??= new HoursChart($('#hours-chart'));
        blockChart ??= new BlockChart($('#block-chart'));
        hoursChart.update(stats.hours);
        renderBlockChart();
    }
});

const search = $('input[name="search"]');

function historyQuery() {
    const query = new URLSearchParams();
    for (const key of ['port', 'result', 'file']) {
        const value = document.querySelector(`select[name="history-${key}"]`).value;
        if (value) {
            query.set(key, value);
        }
    }
    if (search.value.trim()) {
        query.set('search', search.value.trim());
    }
    return query;
}

// A serial that opens the unit's record.
function serialCell(row, serial) {
    const td = cell(row, '');
    if (serial) {
        const link = document.createElement('button');
        link.type = 'button';
        link.className = 'serial-link';
        link.dataset.instrument = serial;
        link.textContent = serial;
        link.title = `The record of instrument ${serial}`;
        td.append(link);
    }
    return td;
}

function cell(row, text, title) {
    const td = document.createElement('td');
    td.textContent = text;
    if (title) {
        td.title = title;
    }
    row.append(td);
    return td;
}

const refreshHistory = coalesced(async () => {
    const query = historyQuery();
    query.set('limit', '50');
    const { runs } = await getJson(`/api/history?${query}`);
    const rows = runs.map((run) => {
        const row = document.createElement('tr');
        row.dataset.result = run.result;
        row.dataset.run = String(run.id);
        cell(row, formatClock(run.started), run.started);
        cell(row, page.shortNames.get(run.port) || shortPortName(run.port), run.port);
        cell(row, run.file);
        cell(row, hex(run.image_crc, 4));
        cell(row, identifyText(run.identify)).className = 'mono';
        cell(row, run.result).className = 'result';
        cell(row, run.error || '', run.error || '');
        cell(row, run.seconds == null ? '' : formatSeconds(run.seconds)).className = 'number';
        serialCell(row, run.instrument);
        cell(row, run.operator || '');
        return row;
    });
    $('#history tbody').replaceChildren(...rows);
    $('#history-empty').hidden = rows.length > 0;
    const csv = $('[data-action="csv"]');
    csv.href = `/api/history.csv?${historyQuery()}`;
});

function refreshReports() {
    refreshStats();
    refreshHistory();
    siteChanged();
}

// The filters' choices: the slots and the shelf's files (a choice that went stays chosen).
function renderFilters() {
    const fill = (name, values, label) => {
        const select = document.querySelector(`select[name="${name}"]`);
        const value = select.value;
        const options = [new Option(label, '')];
        for (const [v, text] of values) {
            options.push(new Option(text, v));
        }
        if (value && !values.some(([v]) => v === value)) {
            options.push(new Option(value, value));
        }
        select.replaceChildren(...options);
        select.value = value;
    };
    const ports = page.order.map((name) => [name, page.shortNames.get(name) || name]);
    fill('history-port', ports, 'All ports');
    fill('history-file', page.files.map((file) => [file.file, file.file]), 'All files');
}

for (const name of ['history-port', 'history-result', 'history-file']) {
    document.querySelector(`select[name="${name}"]`).addEventListener('change', refreshHistory);
}
search.addEventListener('change', refreshHistory);
search.addEventListener('keydown', (key) => {
    if (key.key === 'Enter') {
        key.preventDefault();
        refreshHistory();
    }
});

// ---- An instrument's record --------------------------------------------------------------

async function openInstrument(serial) {
    const record = await getJson(`/api/instruments/${encodeURIComponent(serial)}`).catch(
        (error) => ({ error }));
    if (record.error) {
        notice(`The record of ${serial} could not be read: ${record.error.message}`);
        return;
    }
    const section = $('#instrument');
    section.querySelector('[data-field="serial"]').textContent = record.instrument;
    const current = record.current;
    section.querySelector('[data-field="carries"]').textContent = current
        ? `carries ${current.file} since ${formatClock(current.ended || current.started)}`
        : 'carries nothing this station programmed: no run of it is done';
    if (current) {
        section.querySelector('[data-field="carries"]').title =
            `${current.file} (SHA-256 ${current.file_sha256}), ${current.ended}`;
    }
    const rows = record.runs.map((run) => {
        const row = document.createElement('tr');
        row.dataset.result = run.result;
        row.dataset.run = String(run.id);
        cell(row, formatClock(run.started), run.started);
        cell(row, page.shortNames.get(run.port) || shortPortName(run.port), run.port);
        cell(row, run.file);
        cell(row, run.result).className = 'result';
        cell(row, run.error || '', run.error || '');
        cell(row, run.operator || '');
        return row;
    });
    section.querySelector('tbody').replaceChildren(...rows);
    section.hidden = false;
    section.scrollIntoView({ block: 'nearest' });
}

$('#history tbody').addEventListener('click', (click) => {
    const link = click.target.closest('[data-instrument]');
    if (link) {
        openInstrument(link.dataset.instrument);
    }
});
$('[data-action="close-instrument"]').addEventListener('click', () => {
    $('#instrument').hidden = true;
});

$('[data-action="csv"]').addEventListener('click', (click) => {
    if (hasToken) {
        // A link can't carry the token: fetch the file with it and save that.
        click.preventDefault();
        download(`/api/history.csv?${historyQuery()}`, 'velko-station-history.csv')
            .catch((error) => notice(`The CSV could not be fetched: ${error.message}`));
    }
});

window.addEventListener('resize', () => {
    hoursChart?.resize();
    blockChart?.resize();
});

// The stream broke: the station is away, or (a stream given up) it refuses this page's token.
async function onLost(givenUp) {
    setConnected(false);
    let status = 0;
    if (givenUp) {
        status = await getJson('/api/station').then(() => 200, (error) => error.status);
    }
    const [title, text] = $('#banner').children;
    if (status === 401) {
        const session = await getJson('/api/session').catch(() => null);
        if (session && session.sign_in) {
            checkSession(); // the session ended: sign in again
            return;
        }
    }
    if (status === 401) {
        title.textContent = 'The station wants a token.';
        text.textContent = 'Open this page at the address velko-station printed, with ' +
                           '#token= and the token at its end.';
    } else {
        title.textContent = 'Station not reachable.';
        text.textContent = 'The page connects again by itself as soon as velko-station ' +
                           'answers; what it shows meanwhile may be out of date.';
    }
}

// Today's counts and the chart's hours move on with the clock, not only with runs.
function atEveryHour() {
    const now = new Date();
    const next = new Date(now.getFullYear(), now.getMonth(), now.getDate(), now.getHours() + 1);
    setTimeout(() => {
        refreshStats();
        atEveryHour();
    }, next - now + 1000);
}

// ---- Signing in -----------------------------------------------------------------------------

const signin = $('#signin');

function showSignedIn(who) {
    document.body.dataset.signedIn = String(who !== false);
    signin.hidden = who !== false;
    $('#signed-in').hidden = !who;
    $('#signed-in [data-field="operator"]').textContent = who ? `Signed in: ${who.name}` : '';
}

function follow() {
    page.stopEvents ??= followEvents(onEvent, onLost);
}

function unfollow() {
    if (page.stopEvents) {
        page.stopEvents();
        page.stopEvents = null;
    }
}

// Whether the station wants a sign-in and who this page is: the form, or the bench.
async function checkSession() {
    const session = await getJson('/api/session').catch(() => null);
    if (session && session.sign_in && !session.operator) {
        unfollow();
        showSignedIn(false);
        signin.querySelector('input[name="operator"]').focus();
        return;
    }
    showSignedIn(session ? session.operator : null);
    follow();
}

signin.addEventListener('submit', async (submit) => {
    submit.preventDefault();
    const name = signin.querySelector('input[name="operator"]');
    const password = signin.querySelector('input[name="password"]');
    const answer = await postJson('/api/session', { name: name.value, password: password.value });
    const error = signin.querySelector('[data-field="signin-error"]');
    password.value = '';
    if (!answer.ok) {
        error.textContent = answer.status === 429
            ? 'Too many failed sign-ins for this name: try again in 5 minutes.'
            : answer.status === 401 ? 'Unknown name or wrong PIN.'
            : `The station answered ${answer.status}.`;
        password.focus();
        return;
    }
    error.textContent = '';
    name.value = '';
    showSignedIn(answer.body.operator);
    follow();
});

$('[data-action="sign-out"]').addEventListener('click', async () => {
    await postJson('/api/session/end', {});
    checkSession();
});

atEveryHour();
initSite();
checkSession();
