// The site on the page: the "Site" view (#site), a tile for every station that writes the site
// database ([data-station] with its name, when it was last seen and its day) and the runs of
// every station with their station and a search; and on the bench view the banner
// ([data-site="unreachable"]) once the site has not answered for over a minute, with the runs
// that wait to be sent.  All of it is read from the station's /api/site answers.
import { coalesced, getAnswer } from './api.mjs';
import { formatClock, formatPercent, formatSeconds, hex } from './format.mjs';

const BANNER_AFTER_S = 60;
const REFRESH_MS = 30000; // the other stations' runs come without events: the view looks again

const $ = (selector) => document.querySelector(selector);

const site = {
    status: null,
    statusAt: 0, // performance.now() of the status
    bannerTimer: 0,
    viewTimer: 0,
};

// ---- The banner on the bench view -------------------------------------------------------

function renderBanner() {
    clearTimeout(site.bannerTimer);
    const banner = $('#site-banner');
    const status = site.status;
    const unreachable = status && status.state === 'unreachable';
    const seconds = unreachable
        ? (status.unreachable_seconds ?? 0) + (performance.now() - site.statusAt) / 1000
        : 0;
    if (!unreachable || seconds < BANNER_AFTER_S) {
        banner.hidden = true;
        delete banner.dataset.site;
        if (unreachable) {
            site.bannerTimer = setTimeout(renderBanner, (BANNER_AFTER_S - seconds) * 1000 + 250);
        }
        return;
    }
    const minutes = Math.floor(seconds / 60);
    const waiting = status.pending === 1 ? '1 run waits' : `${status.pending} runs wait`;
    banner.replaceChildren();
    const title = document.createElement('strong');
    title.textContent = `The site database has not answered for ${minutes} min.`;
    const text = document.createElement('span');
    text.dataset.field = 'pending';
    text.textContent = ` ${waiting} to be sent; the bench programs on and nothing is lost.` +
        (status.last_error ? ` (${status.last_error})` : '');
    banner.append(title, text);
    banner.dataset.site = 'unreachable';
    banner.hidden = false;
    site.bannerTimer = setTimeout(renderBanner, 30000); // the minutes move on
}

export const refreshSiteStatus = coalesced(async () => {
    const answer = await getAnswer('/api/site');
    if (!answer.ok) {
        return;
    }
    site.status = answer.body;
    site.statusAt = performance.now();
    $('#site-state').textContent = stateText(site.status);
    renderBanner();
});

function stateText(status) {
    if (status.state === 'off') {
        return 'this station writes no site database (--site)';
    }
    if (status.state === 'connected') {
        return status.pending > 0 ? `this station is sending, ${status.pending} to go`
            : 'this station has sent every run';
    }
    return `this station can't reach the site database: ${status.pending} run(s) wait`;
}

// ---- The site view ----------------------------------------------------------------------

function stationTile(station, own) {
    const tile = document.createElement('article');
    tile.className = 'station-tile';
    tile.dataset.station = station.id;
    if (own) {
        tile.dataset.own = 'true';
    }
    const name = document.createElement('h3');
    name.dataset.field = 'name';
    name.textContent = station.name + (own ? ' (this station)' : '');
    name.title = `${station.host} · ${station.version} · ${station.id}`;
    const seen = document.createElement('p');
    seen.dataset.field = 'last-seen';
    seen.textContent = `last seen ${formatClock(station.last_seen)}`;
    seen.title = station.last_seen;
    const counts = document.createElement('dl');
    for (const [key, label, value] of [
        ['done', 'Done today', String(station.done)],
        ['failed', 'Failed', String(station.failed)],
        ['yield', 'Yield', formatPercent(station.yield)],
    ]) {
        const pair = document.createElement('div');
        const dt = document.createElement('dt');
        dt.textContent = label;
        const dd = document.createElement('dd');
        dd.dataset.count = key;
        dd.textContent = value;
        pair.append(dt, dd);
        counts.append(pair);
    }
    tile.append(name, seen, counts);
    return tile;
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

function siteMessage(text) {
    const node = $('#site-message');
    node.textContent = text;
    node.hidden = !text;
}

function searchQuery() {
    const query = new URLSearchParams();
    const form = $('#site-search');
    for (const [key, name] of [['station', 'site-station'], ['result', 'site-result'],
        ['instrument', 'site-instrument'], ['file', 'site-file']]) {
        const value = form.elements[name].value.trim();
        if (value) {
            query.set(key, value);
        }
    }
    query.set('limit', '100');
    return query;
}

const refreshStations = coalesced(async () => {
    const answer = await getAnswer('/api/site/stations');
    if (!answer.ok) {
        siteMessage(answer.body.error || `the station answered ${answer.status}`);
        return;
    }
    siteMessage('');
    const own = site.status ? site.status.station_id : null;
    const stations = answer.body.stations;
    $('#site-stations').replaceChildren(...stations.map((s) => stationTile(s, s.id === own)));
    // The station filter offers every station (a choice that went stays chosen).
    const select = $('select[name="site-station"]');
    const chosen = select.value;
    const options = [new Option('All stations', '')];
    for (const station of stations) {
        options.push(new Option(station.name, station.id));
    }
    if (chosen && !stations.some((s) => s.id === chosen)) {
        options.push(new Option(chosen, chosen));
    }
    select.replaceChildren(...options);
    select.value = chosen;
});

const refreshRuns = coalesced(async () => {
    const answer = await getAnswer(`/api/site/history?${searchQuery()}`);
    if (!answer.ok) {
        siteMessage(answer.body.error || `the station answered ${answer.status}`);
        return;
    }
    const rows = answer.body.runs.map((run) => {
        const row = document.createElement('tr');
        row.dataset.result = run.result;
        row.dataset.station = run.station_id;
        row.dataset.run = String(run.id);
        cell(row, formatClock(run.started), run.started);
        cell(row, run.station, run.station_id).dataset.field = 'station';
        cell(row, run.port.split('/').pop(), run.port);
        cell(row, run.file, run.file_sha256);
        cell(row, hex(run.image_crc, 4));
        cell(row, run.instrument || '').dataset.field = 'instrument';
        cell(row, run.result).className = 'result';
        cell(row, run.error || '', run.error || '');
        cell(row, run.seconds == null ? '' : formatSeconds(run.seconds)).className = 'number';
        return row;
    });
    $('#site-history tbody').replaceChildren(...rows);
    $('#site-history-empty').hidden = rows.length > 0;
});

function siteShown() {
    return !$('#site').hidden;
}

function refreshView() {
    clearTimeout(site.viewTimer);
    if (!siteShown()) {
        return;
    }
    refreshSiteStatus();
    refreshStations();
    refreshRuns();
    site.viewTimer = setTimeout(refreshView, REFRESH_MS);
}

function showView(view) {
    const onSite = view === 'site';
    $('main').hidden = onSite;
    $('#site').hidden = !onSite;
    for (const button of document.querySelectorAll('[data-view]')) {
        button.setAttribute('aria-pressed', String(button.dataset.view === view));
    }
    refreshView();
}

// A run of this station ended or the site's state changed: what the view shows moved on.
export function siteChanged() {
    refreshSiteStatus();
    if (siteShown()) {
        refreshStations();
        refreshRuns();
    }
}

export function initSite() {
    for (const button of document.querySelectorAll('[data-view]')) {
        button.addEventListener('click', () => showView(button.dataset.view));
    }
    $('#site-search').addEventListener('submit', (submit) => {
        submit.preventDefault();
        refreshRuns();
    });
    for (const name of ['site-station', 'site-result']) {
        $(`select[name="${name}"]`).addEventListener('change', refreshRuns);
    }
    refreshSiteStatus();
}
