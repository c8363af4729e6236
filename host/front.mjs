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
//        several wrong passwords waits before its next try, longer each time; a request
//        with the node's right password never waits
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
import http from 'node:http';
import { clientError, rawError, replyError, replyJson } from './front/answers.mjs';
import { hostAllowed, refusedCrossSite } from './front/checks.mjs';
import { forward, makeNode, nodeFailed, nodeRequest, relay } from './front/forward.mjs';
import { formBytes, passwordTry } from './front/guesses.mjs';

// Discovery lists are static files on the nodes: a node that takes longer is left out.
const LIST_TIMEOUT_MS = 10000;
// Open connections of the whole front; one more is answered 503 and closed at once.
const MAX_CONNECTIONS = 8192;

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
    const settle = passwordTry(req, res, query, node.secret);
    if (settle) forward(node, req, res, req.url, new Set(), settle);
  };
}

// Decodes one query component: "+" is a space and %XX a byte; a stray "%" stays as it is.
function decodeComponent(text) {
  return formBytes(text).toString('utf8');
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
    const settle = passwordTry(req, res, query, node.secret);
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
  const targets = new Map(settings.servers.filter((s) => s.kind === 'node').map((s) => [s.name, makeNode(s.target, s.secret)]));
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
