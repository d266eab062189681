// The station's API as the page uses it: JSON requests with the token of the address's fragment
// (#token=...), and the event stream, which reconnects by itself while the station is away.

const token = new URLSearchParams(location.hash.slice(1)).get('token') || '';

function headers(extra = {}) {
    return token ? { ...extra, Authorization: `Bearer ${token}` } : extra;
}

// A refresh: runs fn now, or once more after the call in flight, so that never two of its
// requests are out at once and none asked for is lost.  A failed call is dropped (the event
// stream's state shows when the station is away).
export function coalesced(fn) {
    let running = false;
    let again = false;
    return async function run() {
        if (running) {
            again = true;
            return;
        }
        running = true;
        try {
            do {
                again = false;
                await fn().catch(() => {});
            } while (again);
        } finally {
            running = false;
        }
    };
}

// GET a JSON answer; throws when the station is away or refuses (the error's status says which:
// 0 for away).
export async function getJson(path) {
    const response = await fetch(path, { headers: headers(), cache: 'no-store' }).catch(() => null);
    if (!response || !response.ok) {
        const error = new Error(`${path}: ${response ? response.status : 'not reachable'}`);
        error.status = response ? response.status : 0;
        throw error;
    }
    return response.json();
}

// GET a JSON answer whatever its status: {ok, status, body} (status 0 when the station is away,
// body {} when the answer is no JSON), so that a refusal's reason can be shown.
export async function getAnswer(path) {
    try {
        const response = await fetch(path, { headers: headers(), cache: 'no-store' });
        const body = await response.json().catch(() => ({}));
        return { ok: response.ok, status: response.status, body };
    } catch {
        return { ok: false, status: 0, body: { error: 'the station is not reachable' } };
    }
}

// POST a JSON body; answers {ok, status, body} (body {} when the answer is no JSON).
export async function postJson(path, body) {
    try {
        const response = await fetch(path, {
            method: 'POST',
            headers: headers({ 'Content-Type': 'application/json' }),
            body: JSON.stringify(body),
        });
        const answer = await response.json().catch(() => ({}));
        return { ok: response.ok, status: response.status, body: answer };
    } catch {
        return { ok: false, status: 0, body: { error: 'the station is not reachable' } };
    }
}

// A file of the API saved through a download (a link can't carry the token's header).
export async function download(path, name) {
    const response = await fetch(path, { headers: headers(), cache: 'no-store' });
    if (!response.ok) {
        throw new Error(`${path}: ${response.status}`);
    }
    const url = URL.createObjectURL(await response.blob());
    const link = document.createElement('a');
    link.href = url;
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
}

export const hasToken = token !== '';

// Follows /api/events: every event object to onEvent, onLost when the stream breaks (with
// true when the browser gave it up).  The browser reconnects after the station's "retry" time;
// a stream it gives up on (an answer that is no stream: a refused token, too many pages open)
// is opened afresh after a while.  Answers a function that ends the following (signing out).
export function followEvents(onEvent, onLost) {
    const url = '/api/events' + (token ? `?token=${encodeURIComponent(token)}` : '');
    let source = null;
    let stopped = false;
    const open = () => {
        if (stopped) {
            return;
        }
        source = new EventSource(url);
        source.onmessage = (message) => {
            let event;
            try {
                event = JSON.parse(message.data);
            } catch {
                return;
            }
            onEvent(event);
        };
        source.onerror = () => {
            onLost(source.readyState === EventSource.CLOSED);
            if (source.readyState === EventSource.CLOSED) {
                source.close();
                setTimeout(open, 3000);
            }
        };
    };
    open();
    return () => {
        stopped = true;
        source?.close();
    };
}
