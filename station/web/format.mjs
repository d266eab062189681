// The page's words and figures: port names shortened for a tile, sizes, rates, times, a slot's
// state in words, which file may be chosen.  Pure functions, so they are tested without a browser.

// The states in which a slot can be given a new run.
export const PROGRAMMABLE = new Set(['idle', 'done', 'failed', 'cancelled']);

// What the line needs for one block (a 75-byte request and a 4-byte reply, 10 bits a byte), ms.
export function lineMsPerBlock(rate) {
    return rate > 0 ? ((75 + 4) * 10 * 1000) / rate : 0;
}

// A port's name as a tile shows it: the last part of the path, a by-id name without its bus
// prefix and interface suffix ("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0" -> "FTDI
// FT232R USB UART A50285BI"), a long one as its maker and its serial number.
export function shortPortName(name) {
    let base = name.slice(name.lastIndexOf('/') + 1) || name;
    const byPath = base.match(/-usb-(?:\d+:)?([\d.:]+)-port\d+$/);
    if (byPath) {
        return 'USB ' + byPath[1];
    }
    base = base.replace(/^(usb|pci|platform)-/, '').replace(/-if\d+(-port\d+)?$/, '');
    const words = base.split(/[_\s]+/).filter(Boolean);
    const text = words.join(' ');
    if (text.length <= 24 || words.length < 3) {
        return text;
    }
    return words[0] + ' … ' + words[words.length - 1];
}

// Short names for all the slots; a name whose short form another shares keeps its last path
// part (two interfaces of one adapter differ only there).
export function shortPortNames(names) {
    const shorts = names.map(shortPortName);
    return new Map(
        names.map((name, i) => {
            const shared = shorts.some((other, j) => j !== i && other === shorts[i]);
            return [name, shared ? name.slice(name.lastIndexOf('/') + 1) : shorts[i]];
        }),
    );
}

// 640 B, 6.3 KB, 262 KB, 1.2 MB (decimal units, as line rates are given).
export function formatBytes(bytes) {
    if (!Number.isFinite(bytes) || bytes < 0) {
        return '';
    }
    if (bytes < 1000) {
        return `${Math.round(bytes)} B`;
    }
    if (bytes < 1e6) {
        const kb = bytes / 1000;
        return kb < 100 ? `${kb.toFixed(1)} KB` : `${Math.round(kb)} KB`;
    }
    return `${(bytes / 1e6).toFixed(1)} MB`;
}

export function formatRate(bytesPerSecond) {
    return bytesPerSecond == null ? '' : `${formatBytes(bytesPerSecond)}/s`;
}

// 4.0 s, 1 min 05 s, 2 h 03 min.
export function formatSeconds(seconds) {
    if (!Number.isFinite(seconds) || seconds < 0) {
        return '';
    }
    if (seconds < 59.95) {
        return `${seconds.toFixed(1)} s`;
    }
    const whole = Math.round(seconds);
    if (whole < 3600) {
        return `${Math.floor(whole / 60)} min ${String(whole % 60).padStart(2, '0')} s`;
    }
    const minutes = Math.round(whole / 60);
    return `${Math.floor(minutes / 60)} h ${String(minutes % 60).padStart(2, '0')} min`;
}

const pad = (n) => String(n).padStart(2, '0');

// A moment in local time: "16:37:40" today, "2024-05-02 16:37" another day.
export function formatClock(when, now = new Date()) {
    const date = when instanceof Date ? when : new Date(when);
    if (Number.isNaN(date.getTime())) {
        return '';
    }
    const time = `${pad(date.getHours())}:${pad(date.getMinutes())}`;
    if (date.toDateString() === now.toDateString()) {
        return `${time}:${pad(date.getSeconds())}`;
    }
    return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())} ${time}`;
}

// 66.6%, 100%, "–" before any run; rounded down, so a yield short of 100% never shows as 100%.
export function formatPercent(percent) {
    if (percent == null || !Number.isFinite(percent)) {
        return '–';
    }
    return `${Math.floor(percent * 10 + 1e-9) / 10}%`;
}

export function hex(value, digits) {
    return value == null ? '' : '0x' + value.toString(16).toUpperCase().padStart(digits, '0');
}

// The identify answer in byte pairs: "56 59 52 41 00 01 00 05".
export function identifyText(text) {
    return text ? text.match(/../g).join(' ').toUpperCase() : '';
}

export function percentOf(bytes, total) {
    return total > 0 ? Math.max(0, Math.min(100, Math.floor((100 * bytes) / total))) : 0;
}

// The state as a tile says it, never as colour alone.
export function stateWords(slot) {
    switch (slot.state) {
        case 'running':
            return `Programming ${percentOf(slot.bytes, slot.total)}%`;
        case 'done':
            return 'Done';
        case 'failed':
            return 'Failed';
        case 'cancelled':
            return 'Cancelled';
        case 'absent':
            return 'Absent';
        default:
            return 'Idle';
    }
}

// Why a shelf file can't be chosen, or null when it can.
export function fileRefusal(file, stationSigns) {
    if (!file.ok) {
        return 'not a readable application file';
    }
    if (!file.signed && !stationSigns) {
        return 'unsigned, and this station does not sign (start it with --sign)';
    }
    return null;
}

// A file's facts in one line.
export function fileFacts(file) {
    if (!file.ok) {
        return 'not a readable application file';
    }
    return (
        `start ${hex(file.start, 6)} · end ${hex(file.end, 6)} · ${file.length} bytes · ` +
        `CRC-16 ${hex(file.crc, 4)} · ${file.signed ? 'signed' : 'unsigned'}`
    );
}

// The rate of a run from its progress: bytes over time since the run's first progress, so the
// text phases before the blocks don't count.  null until two progress events have come.
export class RateMeter {
    constructor() {
        this.reset(null);
    }

    reset(run) {
        this.run = run;
        this.first = null;
        this.last = null;
    }

    // One progress event of a run at a time in ms; a new run starts afresh.
    add(run, bytes, ms) {
        if (run !== this.run || (this.last && bytes < this.last.bytes)) {
            this.reset(run);
        }
        if (this.first === null) {
            this.first = { bytes, ms };
        }
        this.last = { bytes, ms };
    }

    // Bytes a second, or null.
    rate() {
        if (!this.first || this.last.ms <= this.first.ms) {
            return null;
        }
        return ((this.last.bytes - this.first.bytes) * 1000) / (this.last.ms - this.first.ms);
    }
}
