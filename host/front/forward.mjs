// Forwarding to a node's lighttpd: one queue per node, the body read within its limit, the
// request passed on and the reply relayed.
import http from 'node:http';
import { ERROR_NAMES, replyAndClose, replyError } from './answers.mjs';

// A node running the Windows build under wine can take a few seconds on a cold start; a
// minute covers that and still ends a request to a node that hangs.
const FORWARD_TIMEOUT_MS = 60000;
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
// How long a request waits in the queue before a client that closed its side is asked
// whether it is still there (see stillThere): a short wait never shows the question.
const PROBE_AFTER_MS = 500;

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

// One queue per node: at most NODE_CONCURRENCY requests run at once, NODE_QUEUE wait, and
// ARRIVING_PLACES more may be receiving their body first. `secret` is the digest of the
// node's password (see guesses.mjs).
export function makeNode(port, secret = '') {
  return { port, secret, running: 0, waiting: [], arriving: 0 };
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
export function nodeRequest(node, method, target, headers, body, timeoutMs, done) {
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
export function relay(res, reply, after) {
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

export function nodeFailed(res, err) {
  if (err.code === 'TIMEOUT') replyError(res, 504, 'node_timeout');
  else replyError(res, 502, 'node_unreachable');
}

// Passes a request on to `node` as `target` and relays the reply; `settle` hears the reply's
// status (0: none). A body too long is refused as soon as its length is known. A request with
// a body takes one of the node's places for arriving bodies before a byte of it is read, and
// joins the queue once it is whole. The headers in `skip` stay behind (the hub's own checks
// have used them).
export function forward(node, req, res, target, skip, settle) {
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

// Whether the client of a waiting request is still there. Once it has waited PROBE_AFTER_MS
// with its client's side of the connection closed (a browser leaving a page does that, and
// so does a client that only stopped sending), "102 Processing" goes out; a client that has
// gone answers it with a reset, which a second one sees before the plugin would run. Calls
// back with the answer.
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
  let probeTimer = null;
  const job = {
    probed: false,
    run() {
      const waited = state === 'queued';
      state = 'running';
      clearTimeout(probeTimer);
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
      clearTimeout(probeTimer);
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
    probeTimer = setTimeout(() => {
      if (socket.readableEnded) probe();
      else socket.once('end', probe);
    }, PROBE_AFTER_MS);
  }
}

