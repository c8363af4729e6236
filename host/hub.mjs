// The hub's CGI program, run by lighttpd once per request to /plugins.
//
// /plugins?plugin=<id>&node=<name>&...  forwards the request to the node <name> as
//   /<id>?<the same query>, with the same method, headers and body, and relays the node's
//   status, headers and body back. The query goes on unchanged: the plugin ignores the
//   `plugin`, `node` and `id` fields and reads the rest, `pwd` included.
// /plugins?node=<name>                  relays that node's own discovery list.
// /plugins                              answers the hub's discovery list: every plugin that
//   a node offers, with the names of the nodes that offer it.
//
// Errors are one-line JSON replies: 400 missing_node, 404 unknown_node, 404 unknown_plugin,
// 502 node_unreachable, 504 node_timeout.
//
// Environment (set by hub.conf): PENTRA_NODES, "name=port" pairs separated by spaces (the
// nodes listen on 127.0.0.1); PENTRA_PLUGINS, the plugin identifiers, separated by spaces.
import fs from 'node:fs';
import http from 'node:http';

// A node running the Windows build under wine can take a few seconds on a cold start; a
// minute covers that and still ends a request to a node that hangs.
const FORWARD_TIMEOUT_MS = 60000;
// Discovery lists are static files on the nodes: a node that takes longer is left out.
const LIST_TIMEOUT_MS = 10000;

// Headers that describe one connection rather than the request, so they stay behind, plus
// the ones this program sets itself for the next hop.
const REQUEST_SKIP = new Set([
  'connection', 'keep-alive', 'proxy-connection', 'te', 'trailer', 'transfer-encoding',
  'upgrade', 'host', 'content-length',
]);
const REPLY_SKIP = new Set([
  'connection', 'keep-alive', 'proxy-connection', 'te', 'trailer', 'transfer-encoding',
  'upgrade', 'date', 'server',
]);

// The CGI environment with its values as raw bytes. process.env decodes values as UTF-8,
// which would mangle a header that holds Latin-1 bytes (a browser sends a password such as
// "é" as the single byte 0xE9), so the environment is read from /proc when it can be.
function rawEnv() {
  const env = new Map();
  let data;
  try {
    data = fs.readFileSync('/proc/self/environ');
  } catch {
    for (const [name, value] of Object.entries(process.env)) env.set(name, Buffer.from(value));
    return env;
  }
  let start = 0;
  for (let i = 0; i <= data.length; i++) {
    if (i < data.length && data[i] !== 0) continue;
    const entry = data.subarray(start, i);
    const eq = entry.indexOf(0x3d);
    if (eq > 0) {
      const name = entry.subarray(0, eq).toString('latin1');
      if (!env.has(name)) env.set(name, entry.subarray(eq + 1));
    }
    start = i + 1;
  }
  return env;
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

// "X_BOT_PASSWORD" (from HTTP_X_BOT_PASSWORD) back to the header name "X-Bot-Password".
function headerName(cgiName) {
  return cgiName
    .toLowerCase()
    .split('_')
    .map((word) => word.charAt(0).toUpperCase() + word.slice(1))
    .join('-');
}

let replied = false;

// Writes a whole CGI reply: the status line, the header lines, an empty line and the body.
// `headers` is a flat list of names and values; texts are written byte for byte (Latin-1).
function reply(status, headers, body) {
  replied = true;
  let head = `Status: ${status}\r\n`;
  for (let i = 0; i < headers.length; i += 2) head += `${headers[i]}: ${headers[i + 1]}\r\n`;
  process.stdout.write(Buffer.from(head + '\r\n', 'latin1'));
  if (body !== undefined) process.stdout.write(body);
}

// A one-line JSON reply.
function replyJson(status, value) {
  reply(status, ['Content-Type', 'application/json; charset=utf-8', 'Cache-Control', 'no-store'],
    JSON.stringify(value) + '\n');
}

// Sends one request to a node and calls back with the reply (an IncomingMessage) or an error.
function nodeRequest(port, method, target, headers, body, timeoutMs, done) {
  let finished = false;
  const finish = (err, res) => {
    if (finished) return;
    finished = true;
    clearTimeout(timer);
    done(err, res);
  };
  const req = http.request({ host: '127.0.0.1', port, method, path: target, headers, setHost: true });
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
function relay(res) {
  const headers = [];
  for (let i = 0; i < res.rawHeaders.length; i += 2) {
    if (!REPLY_SKIP.has(res.rawHeaders[i].toLowerCase())) headers.push(res.rawHeaders[i], res.rawHeaders[i + 1]);
  }
  reply(`${res.statusCode} ${res.statusMessage}`, headers);
  res.pipe(process.stdout);
}

// The error reply for a node that could not be reached or did not answer in time.
function nodeFailed(err) {
  if (err.code === 'TIMEOUT') replyJson('504 Gateway Timeout', { ok: false, error: 'node_timeout' });
  else replyJson('502 Bad Gateway', { ok: false, error: 'node_unreachable' });
}

// Reads the whole request body; lighttpd has already bounded its size.
function readBody(done) {
  const chunks = [];
  process.stdin.on('data', (chunk) => chunks.push(chunk));
  process.stdin.on('end', () => done(Buffer.concat(chunks)));
  process.stdin.on('error', () => done(Buffer.concat(chunks)));
}

// Forwards the request to the plugin `plugin` on the node listening on `port`.
function forward(env, port, plugin, query) {
  const method = (env.get('REQUEST_METHOD') || Buffer.from('GET')).toString('latin1');
  const headers = {};
  for (const [name, value] of env) {
    if (!name.startsWith('HTTP_')) continue;
    const header = headerName(name.slice(5));
    if (!REQUEST_SKIP.has(header.toLowerCase())) headers[header] = value.toString('latin1');
  }
  if (env.has('CONTENT_TYPE')) headers['Content-Type'] = env.get('CONTENT_TYPE').toString('latin1');
  readBody((body) => {
    if (body.length > 0 || !['GET', 'HEAD'].includes(method)) headers['Content-Length'] = String(body.length);
    const target = '/' + plugin + (query ? '?' + query : '');
    nodeRequest(port, method, target, headers, body, FORWARD_TIMEOUT_MS, (err, res) => {
      if (err) nodeFailed(err);
      else relay(res);
    });
  });
}

// Collects every node's discovery list into the hub's: one entry per plugin, with the
// nodes that offer it. A node that does not answer is left out.
function hubList(nodes) {
  const lists = new Map();
  let pending = nodes.size;
  const collect = () => {
    if (--pending > 0) return;
    const plugins = new Map();
    for (const [name] of nodes) {
      for (const entry of lists.get(name) || []) {
        if (!entry || typeof entry.id !== 'string') continue;
        if (!plugins.has(entry.id)) plugins.set(entry.id, { ...entry, nodes: [] });
        plugins.get(entry.id).nodes.push(name);
      }
    }
    replyJson('200 OK', [...plugins.values()]);
  };
  if (pending === 0) {
    replyJson('200 OK', []);
    return;
  }
  for (const [name, port] of nodes) {
    nodeRequest(port, 'GET', '/plugins', {}, undefined, LIST_TIMEOUT_MS, (err, res) => {
      if (err) {
        collect();
        return;
      }
      const chunks = [];
      res.on('data', (chunk) => chunks.push(chunk));
      res.on('end', () => {
        try {
          const list = JSON.parse(Buffer.concat(chunks).toString('utf8'));
          if (Array.isArray(list)) lists.set(name, list);
        } catch {
          // Not a list: the node is left out.
        }
        collect();
      });
      res.on('error', () => collect());
    });
  }
}

function main() {
  const env = rawEnv();
  const text = (name) => (env.get(name) || Buffer.alloc(0)).toString('latin1');
  const nodes = new Map();
  for (const pair of text('PENTRA_NODES').split(' ')) {
    const eq = pair.indexOf('=');
    if (eq > 0) nodes.set(pair.slice(0, eq), Number(pair.slice(eq + 1)));
  }
  const plugins = new Set(text('PENTRA_PLUGINS').split(' ').filter(Boolean));
  const query = text('QUERY_STRING');
  const plugin = queryField(query, 'plugin');
  const node = queryField(query, 'node');

  if (!plugin && !node) {
    hubList(nodes);
    return;
  }
  if (plugin && !plugins.has(plugin)) {
    replyJson('404 Not Found', { ok: false, error: 'unknown_plugin' });
    return;
  }
  if (!node) {
    replyJson('400 Bad Request', { ok: false, error: 'missing_node' });
    return;
  }
  if (!nodes.has(node)) {
    replyJson('404 Not Found', { ok: false, error: 'unknown_node' });
    return;
  }
  const port = nodes.get(node);
  if (!plugin) {
    nodeRequest(port, 'GET', '/plugins', {}, undefined, LIST_TIMEOUT_MS, (err, res) => {
      if (err) nodeFailed(err);
      else relay(res);
    });
    return;
  }
  forward(env, port, plugin, query);
}

process.stdout.on('error', () => process.exit(0));
process.on('uncaughtException', () => {
  if (!replied) replyJson('500 Internal Server Error', { ok: false, error: 'hub_failure' });
  process.exitCode = 1;
});
main();
