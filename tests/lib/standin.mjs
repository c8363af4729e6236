// A stand-in for a node, for the page tests and the benchmark: it serves the game page on
// the node route (/plugin_pentra_3d) and the hub route (/plugins?plugin=...), and answers
// the page's own requests as the test says, on a free port of 127.0.0.1.
import http from 'node:http';
import { scoresReply } from '../values.mjs';

const HTML = 'text/html; charset=utf-8';
const attr = (v) => String(v).replace(/&/g, '&amp;').replace(/"/g, '&quot;');

// A page holding one frame of the given size: src, w, h, and sandbox (the frame's sandbox
// attribute) when given.
function framePage(q) {
  const sandbox = q.has('sandbox') ? ` sandbox="${attr(q.get('sandbox'))}"` : '';
  return '<!doctype html><title>frame</title><style>body{margin:0}iframe{display:block;border:0}</style>' +
    `<iframe${sandbox} style="width:${Number(q.get('w'))}px;height:${Number(q.get('h'))}px" src="${attr(q.get('src'))}"></iframe>`;
}

/**
 * Starts the stand-in. `page` is the document, or a function that gives it for each
 * request; `headers` go with every answer. Besides the page it serves /frame (see
 * framePage) and /blank (an empty page of the same origin), answers /favicon.ico with 404,
 * and records every other request ({ method, url, path, query, headers }) and answers it
 * with `server.reply(request)`: { status, body, type }, or { destroy: true } to drop the
 * connection; by default an empty scores reply. `counts` tells how many pages, requests
 * with an action, and others it answered.
 */
export async function startStandIn({ page, headers = {} }) {
  const state = { requests: [], reply: null, counts: { page: 0, api: 0, other: 0 } };
  const send = (res, status, type, body) => {
    res.writeHead(status, { 'Content-Type': type, 'Cache-Control': 'no-store', ...headers });
    res.end(body);
  };
  const srv = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    const q = url.searchParams;
    if (url.pathname === '/frame') return send(res, 200, HTML, framePage(q));
    if (url.pathname === '/blank') return send(res, 200, HTML, '<!doctype html><title>blank</title>');
    const onRoute = url.pathname === '/plugin_pentra_3d' || (url.pathname === '/plugins' && q.has('plugin'));
    if (onRoute && !q.has('action') && req.method === 'GET') {
      state.counts.page++;
      return send(res, 200, HTML, typeof page === 'function' ? page() : page);
    }
    if (!onRoute) {
      state.counts.other++;
      if (url.pathname === '/favicon.ico') return send(res, 404, HTML, '');
    } else {
      state.counts.api++;
    }
    const rec = { method: req.method, url: req.url, path: url.pathname, query: q, headers: req.headers };
    state.requests.push(rec);
    const r = (state.reply || (() => ({ body: scoresReply([]) })))(rec);
    if (r.destroy) return req.socket.destroy();
    return send(res, r.status || 200, r.type || 'application/json; charset=utf-8', r.body);
  });
  await new Promise((resolve) => srv.listen(0, '127.0.0.1', resolve));
  state.origin = `http://127.0.0.1:${srv.address().port}`;
  state.url = (p) => state.origin + p;
  state.reset = () => {
    state.requests = [];
    state.reply = null;
  };
  state.close = () => new Promise((resolve) => {
    srv.closeAllConnections();
    srv.close(() => resolve());
  });
  return state;
}
