// The host's front: the one long-lived Node.js process that answers every client. host/host.mjs
// starts it (as the serving user) once per run; it listens on each node's public address and
// on the hub's, checks every request, and hands the good ones to the node's lighttpd, which
// listens on 127.0.0.1 at a port of its own and runs the plugin under CGI.
//
// Every request gets an answer:
//   400  a request line or header that is not plain HTTP: control bytes, raw bytes above
//        0x7F in the target (browsers send them percent-encoded), a malformed header
//   421  {"ok":false,"error":"wrong_host"}: a Host header other than one of the server's
//        listening addresses or localhost, with its port (this stops DNS rebinding)
//   403  {"ok":false,"error":"cross_site"}: a request to the JSON interface (an `action`
//        field, `format=json`, or any method but GET and HEAD) that the browser marks as
//        coming from another site: Sec-Fetch-Site other than same-origin and none, or an
//        Origin other than the server's own
//   413  {"ok":false,"error":"body_too_large"}: a body longer than the plugin reads (2047
//        bytes), refused as soon as its length is known; the connection is then closed
//   429  {"ok":false,"error":"too_many_tries"}, with Retry-After: a client address that sent
//        several wrong passwords waits before its next try, longer each time
//   503  {"ok":false,"error":"busy"}: more requests waiting for one node than it can queue
//   400  {"ok":false,"error":"bad_target"}: a target that is neither a path nor this server's
//        own http:// URL; CONNECT gets 405 method_not_allowed
// An error page of lighttpd's own (HTML) becomes a JSON error with the same status. Nothing a
// client sends is written anywhere: this process logs nothing, guesses included.
//
// On a node's address: `/` redirects to /plugin_pentra_3d with the query kept; everything
// else goes to the node's lighttpd unchanged (method, target byte for byte, headers, body).
// On the hub's address:
//   /plugins?plugin=<id>&node=<name>&...  goes to node <name> as /<id>?<the same query>, and
//     the node's status, headers and body come back unchanged;
//   /plugins?node=<name>                  relays that node's own discovery list;
//   /plugins                              answers the hub's list: every plugin a node offers,
//     with the nodes that offer it;
//   /favicon.ico                          the game's icon.
// Hub errors: 400 missing_node, 404 unknown_node, 404 unknown_plugin, 502 node_unreachable,
// 504 node_timeout.
//
// Its settings come as JSON in PENTRA_FRONT (see host.mjs); it reports the ports it listens on
// over the IPC channel and ends when that channel closes.
import fs from 'node:fs';
import http, { STATUS_CODES } from 'node:http';
import os from 'node:os';

// A node running the Windows build under wine can take a few seconds on a cold start; a
// minute covers that and still ends a request to a node that hangs.
const FORWARD_TIMEOUT_MS = 60000;
// Discovery lists are static files on the nodes: a node that takes longer is left out.
const LIST_TIMEOUT_MS = 10000;
// Plugin runs at once per node: each is a process; more wait their turn in the queue.
const NODE_CONCURRENCY = 16;
// Requests waiting for one node before newcomers are turned away with 503.
const NODE_QUEUE = 512;
// The longest body passed on: the plugin reads at most 2047 bytes of a body and cuts the
// rest, so a longer one could only be an error or an attack.
const BODY_LIMIT = 2047;
// Requests per node whose body is still on its way: each holds at most BODY_LIMIT bytes.
// Requests without a body never wait for one of these places.
const ARRIVING_PLACES = 128;
// How long a connection refused for its body stays open after the answer, unread.
const CLOSE_DELAY_MS = 1000;
// Open connections of the whole front; one more is answered 503 and closed at once.
const MAX_CONNECTIONS = 8192;
// Wrong passwords from one client address before it has to wait, the first wait, the
// longest, and how long a quiet address keeps its count.
const FREE_TRIES = 5;
const FIRST_WAIT_MS = 1000;
const LONGEST_WAIT_MS = 10 * 60 * 1000;
const FORGET_MS = 60 * 60 * 1000;
// Client addresses whose wrong passwords are counted at once; the least recent goes first.
const COUNTED_ADDRESSES = 4096;
// How long the list of the machine's addresses is reused before it is read again.
const ADDRESSES_TTL_MS = 5000;

// Headers that describe one connection rather than the request, so they stay behind, plus
// the ones this process sets itself for the next hop.
const REQUEST_SKIP = new Set([
  'connection', 'keep-alive', 'proxy-connection', 'te', 'trailer', 'transfer-encoding',
  'upgrade', 'host', 'content-length', 'expect',
]);
const REPLY_SKIP = new Set([
  'connection', 'keep-alive', 'proxy-connection', 'te', 'trailer', 'transfer-encoding',
  'upgrade', 'date', 'server',
]);

const JSON_HEADERS = { 'Content-Type': 'application/json; charset=utf-8', 'Cache-Control': 'no-store' };

// --- answers -----------------------------------------------------------------------------

function replyJson(res, status, value) {
  const body = JSON.stringify(value) + '\n';
  res.writeHead(status, { ...JSON_HEADERS, 'Content-Length': Buffer.byteLength(body) });
  res.end(body);
}

function replyError(res, status, error) {
  replyJson(res, status, { ok: false, error });
}

// Answers with an error and closes the connection, without reading what the client may
// still be sending (a body too long, say). The connection ends a moment after the answer:
// closed at once while the client still sends, it would be reset, and a reset may swallow
// the answer before the client has read it.
function replyAndClose(req, res, status, error) {
  const socket = req.socket;
  socket.destroySoon = () => {
    socket.pause();
    socket.end();
    setTimeout(() => socket.destroy(), CLOSE_DELAY_MS).unref();
  };
  res.setHeader('Connection', 'close');
  replyError(res, status, error);
}

// A JSON error written straight to a connection that no request handler answers, which
// then closes.
function rawError(socket, status, error) {
  const body = JSON.stringify({ ok: false, error }) + '\n';
  socket.end(`HTTP/1.1 ${status} ${STATUS_CODES[status]}\r\nContent-Type: ${JSON_HEADERS['Content-Type']}\r\n` +
    `Cache-Control: no-store\r\nConnection: close\r\nContent-Length: ${body.length}\r\n\r\n${body}`);
}

// A request Node's parser refused (control bytes, raw bytes above 0x7F, a bad header line,
// headers too large) still gets an answer before the connection closes.
function clientError(err, socket) {
  if (!socket.writable || err.code === 'ECONNRESET') {
    socket.destroy();
    return;
  }
  if (err.code === 'HPE_HEADER_OVERFLOW') rawError(socket, 431, 'headers_too_large');
  else if (err.code === 'ERR_HTTP_REQUEST_TIMEOUT') rawError(socket, 408, 'request_timeout');
  else rawError(socket, 400, 'bad_request');
}

// The error names of lighttpd's own error pages, which the front answers as JSON.
const ERROR_NAMES = {
  400: 'bad_request', 403: 'forbidden', 404: 'not_found', 405: 'method_not_allowed', 408: 'request_timeout',
  411: 'length_required', 413: 'body_too_large', 414: 'target_too_long', 417: 'expectation_failed',
  431: 'headers_too_large', 500: 'node_error', 501: 'not_implemented', 502: 'node_unreachable', 503: 'busy',
  504: 'node_timeout',
};

// --- checks ------------------------------------------------------------------------------

let addressCache = null;
let addressTime = 0;

// The machine's IPv4 addresses, loopback ones included, read again every few seconds so that
// an address the network hands out later is known too.
function machineAddresses() {
  const now = Date.now();
  if (!addressCache || now - addressTime > ADDRESSES_TTL_MS) {
    addressCache = Object.values(os.networkInterfaces()).flat()
      .filter((a) => a && a.family === 'IPv4').map((a) => a.address);
    addressTime = now;
  }
  return addressCache;
}

// Whether the Host header names this server: one of its listening addresses or localhost,
// with its port (a browser leaves out port 80).
function hostAllowed(server, host) {
  if (typeof host !== 'string') return false;
  const names = server.bind === '0.0.0.0' ? machineAddresses() : [server.bind];
  const wanted = host.toLowerCase();
  for (const name of [...names, 'localhost']) {
    if (wanted === `${name}:${server.port}`) return true;
    if (server.port === 80 && wanted === name) return true;
  }
  return false;
}

// Whether a request reaches the plugin's JSON interface, as the plugin decides it: a field
// named `action` (names count undecoded, at the start of a segment, followed by "="),
// "format=json" anywhere in the query, or a method other than GET and HEAD.
function jsonInterface(method, query) {
  if (method !== 'GET' && method !== 'HEAD') return true;
  if (query.includes('format=json')) return true;
  return query.split('&').some((segment) => segment.startsWith('action='));
}

// Whether the browser marks the request as sent by another site.
function crossSite(req) {
  const site = req.headers['sec-fetch-site'];
  if (site !== undefined && site !== 'same-origin' && site !== 'none') return true;
  const origin = req.headers.origin;
  return origin !== undefined && origin.toLowerCase() !== `http://${req.headers.host.toLowerCase()}`;
}

// Refuses (403) a request to the JSON interface that the browser marks as sent by another
// site; returns whether it did.
function refusedCrossSite(req, res, query) {
  if (!jsonInterface(req.method, query) || !crossSite(req)) return false;
  replyError(res, 403, 'cross_site');
  return true;
}

// --- password guesses --------------------------------------------------------------------

// Per client address: wrong passwords counted (`fails`), tries still waiting for their reply
// (`pending`), the time before which it may not try again, and its last wrong one.
const guessers = new Map();

// Whether a request carries a password, in one of the places the plugin looks: the
// X-Bot-Password header, the Authorization header, or a "pwd" field of the query.
function carriesPassword(req, query) {
  return req.headers['x-bot-password'] !== undefined || req.headers.authorization !== undefined ||
    query.split('&').some((segment) => segment.startsWith('pwd='));
}

// The wait after the `fails`-th wrong password: none for the first few, then doubling.
const waitAfter = (fails) => (fails < FREE_TRIES ? 0 : Math.min(FIRST_WAIT_MS * 2 ** (fails - FREE_TRIES), LONGEST_WAIT_MS));

// A try with a password from the request's address: answers 429 and returns null when the
// address has to wait; otherwise returns a function that takes the reply's status (0: none)
// and counts a refusal (401, the plugin's answer to a wrong password) as a wrong guess. Once
// an address has guessed wrong, its tries past the free ones run one at a time, so that
// parallel guesses do not slip by; an address without a wrong guess is never held back.
function passwordTry(req, res, query) {
  if (!carriesPassword(req, query)) return () => {};
  const address = req.socket.remoteAddress;
  const now = Date.now();
  let entry = guessers.get(address);
  if (entry && entry.pending === 0 && now - entry.last > FORGET_MS) entry = null;
  let wait = entry ? entry.until - now : 0;
  if (entry && wait <= 0 && entry.fails > 0 && entry.pending > 0 && entry.fails + entry.pending >= FREE_TRIES) wait = FIRST_WAIT_MS;
  if (wait > 0) {
    res.setHeader('Retry-After', String(Math.ceil(wait / 1000)));
    replyError(res, 429, 'too_many_tries');
    return null;
  }
  entry ??= { fails: 0, pending: 0, until: 0, last: now };
  entry.pending++;
  // Most recent last, so that the least recent address is the first to be forgotten.
  guessers.delete(address);
  guessers.set(address, entry);
  if (guessers.size > COUNTED_ADDRESSES) guessers.delete(guessers.keys().next().value);
  let settled = false;
  return (status) => {
    if (settled) return;
    settled = true;
    entry.pending--;
    if (status === 401) {
      entry.fails++;
      entry.last = Date.now();
      entry.until = entry.last + waitAfter(entry.fails);
    } else if (status >= 200 && status < 300) {
      entry.fails = 0;
    }
    if (entry.fails === 0 && entry.pending === 0 && guessers.get(address) === entry) guessers.delete(address);
  };
}

// --- forwarding to a node ----------------------------------------------------------------

// One queue per node: at most NODE_CONCURRENCY requests run at once, NODE_QUEUE wait, and
// ARRIVING_PLACES more may be receiving their body first.
function makeNode(port) {
  return { port, running: 0, waiting: [], arriving: 0 };
}

// Runs `job` now or gives it a place in the queue; false when the queue is full.
function enqueue(node, job) {
  if (node.running < NODE_CONCURRENCY) {
    node.running++;
    job.run();
    return true;
  }
  if (node.waiting.length >= NODE_QUEUE) return false;
  node.waiting.push(job);
  return true;
}

function release(node) {
  const next = node.waiting.shift();
  if (next) next.run();
  else node.running--;
}

// The body's length as the headers declare it: -1 when it is sent in chunks, 0 for none.
function declaredLength(req) {
  if (req.headers['transfer-encoding'] !== undefined) return -1;
  return Number(req.headers['content-length'] || 0);
}

// Reads the request body; calls back with it, with null as soon as it passes BODY_LIMIT, or
// with false when the client went away first.
function readBody(req, res, done) {
  const chunks = [];
  let size = 0;
  let finished = false;
  const finish = (body) => {
    if (finished) return;
    finished = true;
    done(body);
  };
  req.on('data', (chunk) => {
    size += chunk.length;
    if (size <= BODY_LIMIT) chunks.push(chunk);
    else finish(null);
  });
  req.on('end', () => finish(Buffer.concat(chunks)));
  req.on('error', () => finish(false));
  res.once('close', () => finish(false));
}

// The request's headers for the next hop, raw (names and values as sent), without the
// per-connection ones and those in `skip`.
function forwardHeaders(req, skip) {
  const headers = [];
  for (let i = 0; i < req.rawHeaders.length; i += 2) {
    const name = req.rawHeaders[i].toLowerCase();
    if (!REQUEST_SKIP.has(name) && !skip.has(name)) headers.push(req.rawHeaders[i], req.rawHeaders[i + 1]);
  }
  return headers;
}

// Sends one request to a node's lighttpd and calls back with the reply or an error.
function nodeRequest(node, method, target, headers, body, timeoutMs, done) {
  let finished = false;
  const finish = (err, res) => {
    if (finished) return;
    finished = true;
    clearTimeout(timer);
    done(err, res);
  };
  const all = [...headers, 'Host', `127.0.0.1:${node.port}`];
  if (body && (body.length > 0 || !['GET', 'HEAD'].includes(method))) all.push('Content-Length', String(body.length));
  const req = http.request({ host: '127.0.0.1', port: node.port, method, path: target, headers: all, agent: false, setHost: false });
  const timer = setTimeout(() => {
    const err = new Error('timed out');
    err.code = 'TIMEOUT';
    finish(err);
    req.destroy();
  }, timeoutMs);
  req.on('response', (res) => finish(null, res));
  req.on('error', (err) => finish(err));
  req.end(body);
}

// Relays a node's reply: status, headers (but the per-connection ones) and body. An error
// page of lighttpd's own (not JSON) becomes the front's JSON error with the same status.
function relay(res, reply, after) {
  const type = reply.headers['content-type'] || '';
  if (reply.statusCode >= 400 && !type.startsWith('application/json')) {
    reply.resume();
    reply.on('end', after);
    reply.on('error', after);
    replyError(res, reply.statusCode, ERROR_NAMES[reply.statusCode] || (reply.statusCode < 500 ? 'bad_request' : 'node_error'));
    return;
  }
  const headers = [];
  for (let i = 0; i < reply.rawHeaders.length; i += 2) {
    if (!REPLY_SKIP.has(reply.rawHeaders[i].toLowerCase())) headers.push(reply.rawHeaders[i], reply.rawHeaders[i + 1]);
  }
  res.writeHead(reply.statusCode, reply.statusMessage, headers);
  reply.pipe(res);
  reply.on('end', after);
  reply.on('error', () => { res.destroy(); after(); });
}

function nodeFailed(res, err) {
  if (err.code === 'TIMEOUT') replyError(res, 504, 'node_timeout');
  else replyError(res, 502, 'node_unreachable');
}

// Passes a request on to `node` as `target` and relays the reply; `settle` hears the reply's
// status (0: none). A body too long is refused as soon as its length is known. A request with
// a body takes one of the node's places for arriving bodies before a byte of it is read, and
// joins the queue once it is whole. The headers in `skip` stay behind (the hub's own checks
// have used them).
function forward(node, req, res, target, skip, settle) {
  res.once('close', () => settle(0));
  const length = declaredLength(req);
  if (length > BODY_LIMIT) {
    replyAndClose(req, res, 413, 'body_too_large');
    return;
  }
  if (length === 0) {
    queue(node, req, res, { target, skip, body: Buffer.alloc(0), settle });
    return;
  }
  if (node.arriving >= ARRIVING_PLACES) {
    replyAndClose(req, res, 503, 'busy');
    return;
  }
  node.arriving++;
  readBody(req, res, (body) => {
    node.arriving--;
    if (body === null) replyAndClose(req, res, 413, 'body_too_large');
    else if (body) queue(node, req, res, { target, skip, body, settle });
  });
}

// Whether the client of a waiting request is still there: its side of the connection closed
// (a browser leaving a page does that, and so does a client that only stopped sending),
// "102 Processing" goes out; a client that has gone answers it with a reset, which the
// second one sees before the plugin would run. Calls back with the answer.
function stillThere(req, res, job, done) {
  if (!job.probed) {
    done(true);
    return;
  }
  let answered = false;
  const answer = (alive) => {
    if (!answered) {
      answered = true;
      clearTimeout(timer);
      done(alive);
    }
  };
  const timer = setTimeout(() => answer(true), 1000);
  if (req.socket.destroyed) answer(false);
  else res.writeProcessing((err) => answer(!err && !req.socket.destroyed));
}

// Runs the request in its turn. A request that waits is taken out of the queue when its
// client goes, so that the plugin never runs for nobody.
function queue(node, req, res, { target, skip, body, settle }) {
  let state = 'waiting';
  const done = () => {
    if (state !== 'running') return;
    state = 'done';
    release(node);
  };
  const socket = req.socket;
  const probe = () => {
    if (state !== 'queued' || req.httpVersion !== '1.1' || res.headersSent || socket.destroyed) return;
    job.probed = true;
    res.writeProcessing();
  };
  const job = {
    probed: false,
    run() {
      const waited = state === 'queued';
      state = 'running';
      socket.off('end', probe);
      if (res.destroyed) {
        done();
        return;
      }
      const go = () => nodeRequest(node, req.method, target, forwardHeaders(req, skip), body, FORWARD_TIMEOUT_MS, (err, reply) => {
        if (err) {
          nodeFailed(res, err);
          done();
        } else {
          settle(reply.statusCode);
          relay(res, reply, done);
        }
      });
      if (!waited) go();
      else stillThere(req, res, job, (alive) => (alive ? go() : done()));
    },
  };
  res.on('close', () => {
    if (state === 'queued') {
      socket.off('end', probe);
      const i = node.waiting.indexOf(job);
      if (i >= 0) node.waiting.splice(i, 1);
      state = 'gone';
    } else {
      done();
    }
  });
  if (!enqueue(node, job)) {
    replyAndClose(req, res, 503, 'busy');
    return;
  }
  if (state === 'waiting') {
    state = 'queued';
    if (socket.readableEnded) probe();
    else socket.once('end', probe);
  }
}

// --- servers -----------------------------------------------------------------------------

// Splits a request target into its path and its query (without the "?").
function splitTarget(url) {
  const q = url.indexOf('?');
  return q < 0 ? [url, ''] : [url.slice(0, q), url.slice(q + 1)];
}

// A node's public address in front of its lighttpd (`node`, its queue).
function nodeHandler(node, plugin) {
  return (req, res) => {
    const [path, query] = splitTarget(req.url);
    if (path === '/') {
      // The bare address opens the game, with the query (a password, say) kept.
      res.writeHead(301, { Location: `/${plugin}${req.url.slice(1)}`, 'Content-Length': 0 });
      res.end();
      return;
    }
    if (refusedCrossSite(req, res, query)) return;
    const settle = passwordTry(req, res, query);
    if (settle) forward(node, req, res, req.url, new Set(), settle);
  };
}

// Decodes one query component: "+" is a space and %XX a byte; a stray "%" stays as it is.
function decodeComponent(text) {
  const bytes = [];
  for (let i = 0; i < text.length; i++) {
    const c = text.charCodeAt(i);
    if (c === 0x2b) {
      bytes.push(0x20);
    } else if (c === 0x25 && /^[0-9A-Fa-f]{2}$/.test(text.slice(i + 1, i + 3))) {
      bytes.push(parseInt(text.slice(i + 1, i + 3), 16));
      i += 2;
    } else {
      bytes.push(c & 0xff);
    }
  }
  return Buffer.from(bytes).toString('utf8');
}

// The decoded value of the first field `name` in the query, or '' when it is absent.
function queryField(query, name) {
  for (const part of query.split('&')) {
    const eq = part.indexOf('=');
    const key = decodeComponent(eq < 0 ? part : part.slice(0, eq));
    if (key === name) return eq < 0 ? '' : decodeComponent(part.slice(eq + 1));
  }
  return '';
}

// Reads a whole reply of a node as text, or calls back with null.
function readList(node, done) {
  nodeRequest(node, 'GET', '/plugins', [], undefined, LIST_TIMEOUT_MS, (err, res) => {
    if (err) {
      done(null);
      return;
    }
    const chunks = [];
    res.on('data', (chunk) => chunks.push(chunk));
    res.on('end', () => {
      try {
        const list = JSON.parse(Buffer.concat(chunks).toString('utf8'));
        done(Array.isArray(list) ? list : null);
      } catch {
        done(null);
      }
    });
    res.on('error', () => done(null));
  });
}

// Collects every node's discovery list into the hub's: one entry per plugin, with the nodes
// that offer it. A node that does not answer is left out.
function hubList(nodes, res) {
  const lists = new Map();
  let pending = nodes.size;
  if (pending === 0) {
    replyJson(res, 200, []);
    return;
  }
  for (const [name, node] of nodes) {
    readList(node, (list) => {
      if (list) lists.set(name, list);
      if (--pending > 0) return;
      const plugins = new Map();
      for (const [nodeName] of nodes) {
        for (const entry of lists.get(nodeName) || []) {
          if (!entry || typeof entry.id !== 'string') continue;
          if (!plugins.has(entry.id)) plugins.set(entry.id, { ...entry, nodes: [] });
          plugins.get(entry.id).nodes.push(nodeName);
        }
      }
      replyJson(res, 200, [...plugins.values()]);
    });
  }
}

// The hub's public address in front of the nodes (`targets`, each node's queue by name).
function hubHandler(server, favicon, targets) {
  const nodes = new Map(Object.keys(server.nodes).map((name) => [name, targets.get(name)]));
  const plugins = new Set(server.plugins);
  // The hub has checked where a request comes from; the node sees it as from the hub.
  const skip = new Set(['origin', 'sec-fetch-site', 'referer']);
  return (req, res) => {
    const [path, query] = splitTarget(req.url);
    if (path === '/favicon.ico') {
      res.writeHead(200, {
        'Content-Type': 'image/x-icon',
        'Cache-Control': 'public, max-age=31536000, immutable',
        'Content-Length': favicon.length,
      });
      res.end(req.method === 'HEAD' ? undefined : favicon);
      return;
    }
    if (path !== '/plugins') {
      replyError(res, 404, 'not_found');
      return;
    }
    const plugin = queryField(query, 'plugin');
    const name = queryField(query, 'node');
    if (!plugin && !name) {
      hubList(nodes, res);
      return;
    }
    if (plugin && !plugins.has(plugin)) {
      replyError(res, 404, 'unknown_plugin');
      return;
    }
    if (!name) {
      replyError(res, 400, 'missing_node');
      return;
    }
    if (!nodes.has(name)) {
      replyError(res, 404, 'unknown_node');
      return;
    }
    const node = nodes.get(name);
    if (!plugin) {
      nodeRequest(node, 'GET', '/plugins', [], undefined, LIST_TIMEOUT_MS, (err, reply) => {
        if (err) nodeFailed(res, err);
        else relay(res, reply, () => {});
      });
      return;
    }
    if (refusedCrossSite(req, res, query)) return;
    const settle = passwordTry(req, res, query);
    if (settle) forward(node, req, res, `/${plugin}${query ? '?' + query : ''}`, skip, settle);
  };
}

// A target in absolute form (http://host:port/path?query), which a server must accept too,
// becomes the path and query, and its authority the Host. Returns false for any other
// target that is not a path ("*", another scheme).
function originForm(req) {
  if (req.url.startsWith('/')) return true;
  const m = /^http:\/\/([^/?#]*)([/?][^#]*)?$/i.exec(req.url);
  if (!m) return false;
  req.headers.host = m[1];
  req.url = !m[2] ? '/' : m[2].startsWith('?') ? '/' + m[2] : m[2];
  return true;
}

let connections = 0;

// Starts listening for one server; resolves with its port or rejects with the listen error.
// A request whose Host does not name the server gets 421 before its handler sees it.
function listen(server, handler) {
  const guarded = (req, res) => {
    if (!originForm(req)) replyError(res, 400, 'bad_target');
    else if (hostAllowed(server, req.headers.host)) handler(req, res);
    else replyError(res, 421, 'wrong_host');
  };
  const srv = http.createServer({ headersTimeout: 15000, requestTimeout: 30000, keepAliveTimeout: 5000 }, guarded);
  srv.on('clientError', clientError);
  // No tunnels here: CONNECT is answered, not left to close the connection.
  srv.on('connect', (req, socket) => rawError(socket, 405, 'method_not_allowed'));
  // Each connection holds at most its headers and a body of BODY_LIMIT; their number is
  // bounded, whatever clients do.
  srv.on('connection', (socket) => {
    connections++;
    socket.once('close', () => connections--);
    if (connections > MAX_CONNECTIONS) rawError(socket, 503, 'busy');
  });
  // A client that closes its side after sending still gets its answer (by default Node.js
  // drops a request whose client half-closed before the reply was ready).
  srv.httpAllowHalfOpen = true;
  return new Promise((resolve, reject) => {
    srv.once('error', reject);
    srv.listen(server.port, server.bind, () => {
      server.port = srv.address().port;
      resolve(server.port);
    });
  });
}

async function main() {
  const settings = JSON.parse(process.env.PENTRA_FRONT || '{}');
  const favicon = fs.readFileSync(settings.favicon);
  // One queue per node, shared by its own address and the hub's.
  const targets = new Map(settings.servers.filter((s) => s.kind === 'node').map((s) => [s.name, makeNode(s.target)]));
  // A node's lighttpd started again may listen on another port.
  process.on('message', (m) => {
    if (m && m.retarget && targets.has(m.retarget.name)) targets.get(m.retarget.name).port = m.retarget.port;
  });
  const ports = {};
  for (const server of settings.servers) {
    const handler = server.kind === 'hub' ? hubHandler(server, favicon, targets) : nodeHandler(targets.get(server.name), settings.plugin);
    try {
      ports[server.name] = await listen(server, handler);
    } catch (err) {
      process.send({ failed: server.name, code: err.code || 'ERROR' }, () => process.exit(1));
      return;
    }
  }
  process.send({ ports });
}

// The supervisor gone, this process goes too.
process.on('disconnect', () => process.exit(0));
main();
