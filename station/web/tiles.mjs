// The bench's tiles: one per slot, made once and brought up to date on every change.  Hooks for
// scripts: [data-port] with [data-state] (the API's state) and [data-percent]; its buttons
// [data-action="program"|"retry"|"cancel"]; its texts [data-field="name"|"state"|"status"|
// "detail"] (detail: the figures of a run, the failure text of a failed one); the serial
// number of the next unit, input[name="instrument"], and [data-field="instrument"], the unit
// of the slot's run.
import {
    PROGRAMMABLE,
    formatBytes,
    formatClock,
    formatRate,
    formatSeconds,
    percentOf,
    stateWords,
} from './format.mjs';

function element(tag, className, field) {
    const node = document.createElement(tag);
    node.className = className;
    if (field) {
        node.dataset.field = field;
    }
    return node;
}

function button(action, text) {
    const node = element('button', 'tile-button');
    node.textContent = text;
    node.type = 'button';
    node.dataset.action = action;
    return node;
}

// Sets a text and its hover text, touching the page only when they change.
function setText(node, text, title = text) {
    if (node.textContent !== text) {
        node.textContent = text;
    }
    if (node.title !== title) {
        node.title = title;
    }
}

export function makeTile(name) {
    const tile = element('article', 'tile');
    tile.dataset.port = name;
    const head = element('div', 'tile-head');
    const title = element('h2', 'tile-name', 'name');
    const state = element('p', 'tile-state', 'state');
    head.append(title, state);
    const bar = element('progress', 'tile-bar');
    bar.max = 100;
    bar.value = 0;
    const lineA = element('p', 'tile-line', 'status');
    const lineB = element('p', 'tile-line tile-detail', 'detail');
    const actions = element('div', 'tile-actions');
    const serial = element('input', 'tile-serial');
    serial.name = 'instrument';
    serial.autocomplete = 'off';
    serial.spellcheck = false;
    serial.maxLength = 64;
    serial.placeholder = 'Serial no.';
    serial.setAttribute('aria-label', `The serial number of the instrument on ${name}`);
    actions.append(serial, button('program', 'Program'), button('retry', 'Retry'),
                   button('cancel', 'Cancel'));
    const unit = element('span', 'tile-unit', 'instrument');
    head.insertBefore(unit, state);
    tile.append(head, bar, lineA, actions, lineB);
    tile.parts = { title, state, bar, lineA, lineB, actions, serial, unit };
    return tile;
}

// The two lines under the bar: what is going on (its hover text the whole of it), and the
// figures or what went wrong.
function tileLines(slot, rate) {
    const ended = slot.started ? new Date(Date.parse(slot.started) + slot.seconds * 1000) : null;
    const finished = `${slot.file || ''} · ${formatSeconds(slot.seconds)}`;
    const whole = `${slot.file || ''}, ${formatSeconds(slot.seconds)}` +
                  (ended ? `, ended ${formatClock(ended)}` : '');
    switch (slot.state) {
        case 'running': {
            const figures = slot.total > 0
                ? `${formatBytes(slot.bytes)} of ${formatBytes(slot.total)} · ` +
                  `${percentOf(slot.bytes, slot.total)}%`
                : '';
            const attempt = slot.attempt > 1 ? ` (attempt ${slot.attempt})` : '';
            const phase = (slot.phase || 'Starting...') + attempt;
            const detail = [figures, formatRate(rate)].filter(Boolean).join(' · ');
            return { line: phase, whole: `${phase} ${slot.file || ''}`, detail, kind: 'detail' };
        }
        case 'done':
            return { line: finished, whole, detail: slot.note || '', kind: 'note' };
        case 'failed':
            return { line: finished, whole, detail: slot.error || '', kind: 'error' };
        case 'cancelled': {
            const why = slot.error && slot.error !== 'cancelled' ? slot.error : '';
            return { line: finished, whole, detail: why, kind: 'detail' };
        }
        case 'absent':
            return { line: 'No instrument on this port', whole: '', detail: slot.note || '',
                     kind: 'note' };
        default:
            return { line: slot.note || 'Ready', whole: '', detail: '', kind: 'detail' };
    }
}

// Whether a tile offers a button: Program for a slot that can take a run, Retry for a run that
// failed or was cancelled (its file again), Cancel for a running one.
function offers(action, slot) {
    switch (action) {
        case 'cancel':
            return slot.state === 'running';
        case 'retry':
            return (slot.state === 'failed' || slot.state === 'cancelled') && !!slot.file;
        default:
            return PROGRAMMABLE.has(slot.state);
    }
}

// Brings a tile up to date with its slot.  canProgram: a file is chosen that may be used;
// needsSerial: the station wants each run's serial number, so Program waits for one.
export function updateTile(tile, slot, shortName, rate, canProgram, needsSerial = false) {
    const { title, state, bar, lineA, lineB, actions, serial, unit } = tile.parts;
    setText(unit, slot.instrument ? `SN ${slot.instrument}` : '');
    // A running or absent slot takes no serial: the field gives its room to the status line.
    serial.disabled = !PROGRAMMABLE.has(slot.state);
    serial.hidden = serial.disabled;
    tile.dataset.state = slot.state;
    tile.dataset.percent = String(slot.state === 'running' ? percentOf(slot.bytes, slot.total) : 0);
    setText(title, shortName, slot.name);
    setText(state, stateWords(slot));
    const percent = slot.state === 'done' ? 100
        : slot.state === 'absent' ? 0 : percentOf(slot.bytes, slot.total);
    if (bar.value !== percent) {
        bar.value = percent;
    }
    const { line, whole, detail, kind } = tileLines(slot, rate);
    setText(lineA, line, whole || line);
    setText(lineB, detail);
    lineB.dataset.kind = kind;
    for (const node of actions.querySelectorAll('button')) {
        const action = node.dataset.action;
        node.hidden = !offers(action, slot);
        if (action === 'program') {
            const waiting = needsSerial && serial.value.trim() === '';
            node.setAttribute('aria-disabled', String(!canProgram));
            node.disabled = waiting;
            node.title = waiting ? 'Scan or type the instrument\'s serial number first'
                : canProgram ? 'Program this slot with the chosen file'
                : 'Choose a file first';
        } else if (action === 'retry') {
            node.title = slot.file ? `Program ${slot.file} again` : '';
        }
    }
    tile.setAttribute('aria-label', `${slot.name}: ${stateWords(slot)}`);
}
