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
//   503  {"ok":false,"error":"busy"}: more requests waiting for one node than it can queue
// Nothing a client sends is written anywhere: this process logs nothing.
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
import http from 'node:http';
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
// The largest body passed on, as lighttpd's own bound (server.max-request-size).
const BODY_LIMIT = 1024 * 1024;
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

// A request Node's parser refused (control bytes, raw bytes above 0x7F, a bad header line,
// headers too large) still gets an answer before the connection closes.
function clientError(err, socket) {
  if (!socket.writable || err.code === 'ECONNRESET') {
    socket.destroy();
    return;
  }
  const status = err.code === 'HPE_HEADER_OVERFLOW' ? '431 Request Header Fields Too Large'
    : err.code === 'ERR_HTTP_REQUEST_TIMEOUT' ? '408 Request Timeout' : '400 Bad Request';
  socket.end(`HTTP/1.1 ${status}\r\nConnection: close\r\nContent-Length: 0\r\n\r\n`);
}

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

// --- forwarding to a node ----------------------------------------------------------------

// One queue per node: at most NODE_CONCURRENCY requests run at once, NODE_QUEUE wait.
function makeNode(port) {
  return { port, running: 0, waiting: [] };
}

function acquire(node, run) {
  if (node.running < NODE_CONCURRENCY) {
    node.running++;
    run();
    return true;
  }
  if (node.waiting.length >= NODE_QUEUE) return false;
  node.waiting.push(run);
  return true;
}

function release(node) {
  const next = node.waiting.shift();
  if (next) next();
  else node.running--;
}

// Reads the request body up to BODY_LIMIT; calls back with null when it is larger.
function readBody(req, done) {
  const chunks = [];
  let size = 0;
  let over = false;
  req.on('data', (chunk) => {
    size += chunk.length;
    if (size > BODY_LIMIT) over = true;
    else chunks.push(chunk);
  });
  req.on('end', () => done(over ? null : Buffer.concat(chunks)));
  req.on('error', () => done(null));
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

// Relays a node's reply: status, headers (but the per-connection ones) and body.
function relay(res, reply, after) {
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

// Passes a request on to `node` as `target`, in its turn, and relays the reply. The
// headers in `skip` stay behind (the hub's own checks have used them).
function forward(node, req, res, target, skip) {
  readBody(req, (body) => {
    if (body === null) {
      replyError(res, 413, 'body_too_large');
      return;
    }
    const queued = acquire(node, () => {
      let released = false;
      const done = () => {
        if (!released) {
          released = true;
          release(node);
        }
      };
      res.on('close', done);
      nodeRequest(node, req.method, target, forwardHeaders(req, skip), body, FORWARD_TIMEOUT_MS, (err, reply) => {
        if (err) {
          nodeFailed(res, err);
          done();
        } else {
          relay(res, reply, done);
        }
      });
    });
    if (!queued) replyError(res, 503, 'busy');
  });
}

// --- servers -----------------------------------------------------------------------------

// Splits a request target into its path and its query (without the "?").
function splitTarget(url) {
  const q = url.indexOf('?');
  return q < 0 ? [url, ''] : [url.slice(0, q), url.slice(q + 1)];
}

// A node's public address in front of its lighttpd.
function nodeHandler(server, plugin) {
  const node = makeNode(server.target);
  return (req, res) => {
    const [path, query] = splitTarget(req.url);
    if (path === '/') {
      // The bare address opens the game, with the query (a password, say) kept.
      res.writeHead(301, { Location: `/${plugin}${req.url.slice(1)}`, 'Content-Length': 0 });
      res.end();
      return;
    }
    if (refusedCrossSite(req, res, query)) return;
    forward(node, req, res, req.url, new Set());
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

// The hub's public address in front of the nodes.
function hubHandler(server, favicon) {
  const nodes = new Map(Object.entries(server.nodes).map(([name, port]) => [name, makeNode(port)]));
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
    forward(node, req, res, `/${plugin}${query ? '?' + query : ''}`, skip);
  };
}

// Starts listening for one server; resolves with its port or rejects with the listen error.
// A request whose Host does not name the server gets 421 before its handler sees it.
function listen(server, handler) {
  const guarded = (req, res) => {
    if (hostAllowed(server, req.headers.host)) handler(req, res);
    else replyError(res, 421, 'wrong_host');
  };
  const srv = http.createServer({ headersTimeout: 15000, requestTimeout: 30000, keepAliveTimeout: 5000 }, guarded);
  srv.on('clientError', clientError);
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
  const ports = {};
  for (const server of settings.servers) {
    const handler = server.kind === 'hub' ? hubHandler(server, favicon) : nodeHandler(server, settings.plugin);
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
