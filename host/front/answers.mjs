// The front's answers: JSON replies and errors, a refusal that closes the connection
// without reading on, and the errors of requests that Node's parser refused.
import { STATUS_CODES } from 'node:http';

// How long a connection refused for its body stays open after the answer, and how many
// bytes of body it may still bring meanwhile before it is closed at once.
const CLOSE_DELAY_MS = 1000;
const AFTER_ANSWER_BYTES = 1024 * 1024;
// How long a client that sent past that limit has to read the answer before the reset.
const RESET_GRACE_MS = 100;

const JSON_HEADERS = { 'Content-Type': 'application/json; charset=utf-8', 'Cache-Control': 'no-store' };

export function replyJson(res, status, value) {
  const body = JSON.stringify(value) + '\n';
  res.writeHead(status, { ...JSON_HEADERS, 'Content-Length': Buffer.byteLength(body) });
  res.end(body);
}

export function replyError(res, status, error) {
  replyJson(res, status, { ok: false, error });
}

// Answers with an error and closes the connection, reading no more of what the client may
// still be sending (a body too long, say). The connection ends a moment after the answer:
// closed at once while the client still sends, it would be reset, and a reset may swallow
// the answer before the client has read it. Node.js itself starts reading again to skip the
// rest of the body, so every piece that still arrives stops the reading anew, and past
// AFTER_ANSWER_BYTES the connection is closed within RESET_GRACE_MS.
export function replyAndClose(req, res, status, error) {
  const socket = req.socket;
  let after = 0;
  const unread = (chunk) => {
    after += chunk.length;
    socket.pause();
    // Past the limit the connection goes soon, not at once: a reset that arrives before the
    // client has read the answer would swallow it.
    if (after > AFTER_ANSWER_BYTES) setTimeout(() => socket.destroy(), RESET_GRACE_MS).unref();
  };
  socket.destroySoon = () => {
    socket.pause();
    socket.end();
    setTimeout(() => socket.destroy(), CLOSE_DELAY_MS).unref();
  };
  // Once the answer is out; by then Node.js has put the body's own readers aside.
  res.once('finish', () => req.on('data', unread));
  res.setHeader('Connection', 'close');
  replyError(res, status, error);
}

// A JSON error written straight to a connection that no request handler answers, which
// then closes.
export function rawError(socket, status, error) {
  const body = JSON.stringify({ ok: false, error }) + '\n';
  socket.end(`HTTP/1.1 ${status} ${STATUS_CODES[status]}\r\nContent-Type: ${JSON_HEADERS['Content-Type']}\r\n` +
    `Cache-Control: no-store\r\nConnection: close\r\nContent-Length: ${body.length}\r\n\r\n${body}`);
}

// A request Node's parser refused (control bytes, raw bytes above 0x7F, a bad header line,
// headers too large) still gets an answer before the connection closes.
export function clientError(err, socket) {
  if (!socket.writable || err.code === 'ECONNRESET') {
    socket.destroy();
    return;
  }
  if (err.code === 'HPE_HEADER_OVERFLOW') rawError(socket, 431, 'headers_too_large');
  else if (err.code === 'ERR_HTTP_REQUEST_TIMEOUT') rawError(socket, 408, 'request_timeout');
  else rawError(socket, 400, 'bad_request');
}

// The error names of lighttpd's own error pages, which the front answers as JSON.
export const ERROR_NAMES = {
  400: 'bad_request', 403: 'forbidden', 404: 'not_found', 405: 'method_not_allowed', 408: 'request_timeout',
  411: 'length_required', 413: 'body_too_large', 414: 'target_too_long', 417: 'expectation_failed',
  431: 'headers_too_large', 500: 'node_error', 501: 'not_implemented', 502: 'node_unreachable', 503: 'busy',
  504: 'node_timeout',
};

