// The two charts, drawn by uPlot (vendor/): runs per hour over the last 24 hours, done and failed
// stacked; and each slot's mean block round trip in its latest run against what the line needs,
// so that a slow adapter stands out.

const COLOURS = { done: '#1a7f37', failed: '#cf222e', block: '#0969da', line: '#57606a' };
const HEIGHT = 210;

// A scale's range from its data's with a margin either side (half a bar), [0, 1] for no data.
function around(min, max, margin) {
    return min == null ? [0, 1] : [min - margin, max + margin];
}

// An hour on the time axis: "14:00", midnight as the day ("3 May").
function hourLabel(seconds) {
    const date = new Date(seconds * 1000);
    if (date.getHours() === 0) {
        return date.toLocaleDateString(undefined, { day: 'numeric', month: 'short' });
    }
    return `${String(date.getHours()).padStart(2, '0')}:00`;
}

function widthOf(container) {
    return Math.max(280, container.clientWidth);
}

// A chart of an x series and two bar series, as wide as its container, with no live legend.
function barChart(container, options) {
    return new window.uPlot(
        { width: widthOf(container), height: HEIGHT, legend: { live: false }, ...options },
        [[], [], []],
        container,
    );
}

function fitWidth(chart, container) {
    chart.setSize({ width: widthOf(container), height: HEIGHT });
}

// Draws bars of series drawn later over those drawn before: "failed" holds done + failed and
// "done" covers its lower part, so the two read as one stacked bar.
export class HoursChart {
    constructor(container) {
        this.container = container;
        this.raw = { done: [], failed: [] };
        const bars = window.uPlot.paths.bars({ size: [0.75, 40] });
        const count = (name) => (u, v, si, i) => (i == null ? '' : String(this.raw[name][i] ?? ''));
        this.chart = barChart(container, {
            scales: {
                x: { time: true, range: (u, min, max) => around(min, max, 1800) },
                y: { range: (u, min, max) => [0, Math.max(4, max ?? 0)] },
            },
            axes: [
                { values: (u, splits) => splits.map(hourLabel) },
                { label: 'runs', size: 44, incrs: [1, 2, 5, 10, 20, 50, 100, 500] },
            ],
            series: [
                { label: 'Hour' },
                { label: 'Failed', fill: COLOURS.failed, stroke: COLOURS.failed, width: 0,
                  paths: bars, points: { show: false }, value: count('failed') },
                { label: 'Done', fill: COLOURS.done, stroke: COLOURS.done, width: 0,
                  paths: bars, points: { show: false }, value: count('done') },
            ],
        });
    }

    // The hours of /api/stats.
    update(hours) {
        const x = hours.map((hour) => Date.parse(hour.hour) / 1000 + 1800);
        this.raw.done = hours.map((hour) => hour.done);
        this.raw.failed = hours.map((hour) => hour.failed);
        const stacked = hours.map((hour) => hour.done + hour.failed);
        this.chart.setData([x, stacked, this.raw.done]);
    }

    resize() {
        fitWidth(this.chart, this.container);
    }
}

export class BlockChart {
    constructor(container) {
        this.container = container;
        this.names = [];
        this.lineMs = 0;
        const bars = window.uPlot.paths.bars({ size: [0.6, 48] });
        const ms = (u, v) => (v == null ? '–' : `${v.toFixed(2)} ms`);
        this.chart = barChart(container, {
            scales: {
                x: { time: false, range: (u, min, max) => around(min, max, 0.5) },
                y: { range: (u, min, max) => [0, Math.max(max ?? 0, this.lineMs) * 1.2 || 1] },
            },
            axes: [
                {
                    splits: () => this.names.map((_, i) => i),
                    values: (u, splits) => splits.map((i) => this.names[i] ?? ''),
                    grid: { show: false },
                },
                { label: 'ms a block', size: 44 },
            ],
            series: [
                { label: 'Slot', value: (u, v) => (v == null ? '' : this.names[v] ?? '') },
                { label: 'Mean block', fill: COLOURS.block, stroke: COLOURS.block,
                  paths: bars, points: { show: false }, value: ms },
                { label: 'Slow (over twice the line)', fill: COLOURS.failed,
                  stroke: COLOURS.failed, paths: bars, points: { show: false }, value: ms },
            ],
            hooks: { draw: [(u) => this.drawLine(u)] },
        });
    }

    // The dashed line of what the line needs for a block.
    drawLine(u) {
        if (!this.lineMs) {
            return;
        }
        const { ctx, bbox } = u;
        const y = Math.round(u.valToPos(this.lineMs, 'y', true));
        ctx.save();
        ctx.strokeStyle = COLOURS.line;
        ctx.setLineDash([6, 4]);
        ctx.lineWidth = 1.5 * devicePixelRatio;
        ctx.beginPath();
        ctx.moveTo(bbox.left, y);
        ctx.lineTo(bbox.left + bbox.width, y);
        ctx.stroke();
        ctx.restore();
    }

    // entries: [{name, ms (null for a run without blocks)}]; lineMs: the line's need a block.
    update(entries, lineMs) {
        this.names = entries.map((entry) => entry.name);
        this.lineMs = lineMs;
        const slow = (ms) => ms != null && lineMs > 0 && ms > 2 * lineMs;
        this.chart.setData([
            entries.map((_, i) => i),
            entries.map((entry) => (slow(entry.ms) ? null : entry.ms)),
            entries.map((entry) => (slow(entry.ms) ? entry.ms : null)),
        ]);
    }

    resize() {
        fitWidth(this.chart, this.container);
    }
}
