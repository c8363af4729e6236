// The front's password check: a request with the node's right password goes straight on;
// the wrong ones are counted per client address, and an address that keeps guessing waits.
import crypto from 'node:crypto';
import { replyError } from './answers.mjs';

// Wrong passwords from one client address before it has to wait, the first wait, the
// longest, and how long a quiet address keeps its count.
const FREE_TRIES = 5;
const FIRST_WAIT_MS = 1000;
const LONGEST_WAIT_MS = 10 * 60 * 1000;
const FORGET_MS = 60 * 60 * 1000;
// Client addresses whose wrong passwords are counted at once; the least recent goes first.
const COUNTED_ADDRESSES = 4096;

// Per client address: wrong passwords counted (`fails`), tries still waiting for their reply
// (`pending`), the time before which it may not try again, and its last wrong one.
const guessers = new Map();

// The longest "pwd" field the plugin reads, undecoded (it cuts the rest).
const PWD_FIELD_CAP = 255;

const digest = (bytes) => crypto.createHash('sha256').update(bytes).digest();

// What a node's password is kept as here: its SHA-256 digest (hex), so that the password
// itself never sits in this process's settings; '' for a node without one.
export function passwordSecret(password) {
  return password.length ? digest(password).toString('hex') : '';
}

// Decodes a form field's value to its bytes as the plugin does: "+" is a space, %XX a byte,
// a stray "%" stays.
export function formBytes(text) {
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
  return Buffer.from(bytes);
}

// A password field's value: its bytes up to the first NUL byte, as a C string ends.
function formDecode(text) {
  const bytes = formBytes(text);
  const end = bytes.indexOf(0);
  return end < 0 ? bytes : bytes.subarray(0, end);
}

// The passwords a request offers, as bytes, in the places and the forms the plugin reads
// them: the X-Bot-Password header, the token of "Authorization: Bearer <token>", and the
// first "pwd" field of the query.
function offeredPasswords(req, query) {
  const offered = [];
  const header = req.headers['x-bot-password'];
  if (header) offered.push(Buffer.from(header, 'latin1'));
  const bearer = /^ *Bearer +(.*)$/s.exec(req.headers.authorization ?? '');
  if (bearer) offered.push(Buffer.from(bearer[1], 'latin1'));
  const field = query.split('&').find((segment) => segment.startsWith('pwd='));
  if (field !== undefined) offered.push(formDecode(field.slice(4, 4 + PWD_FIELD_CAP)));
  return offered;
}

// Whether the request offers the node's password (`secret`, its digest in hex). Digests of
// equal length are compared in constant time, so neither the password's bytes nor its
// length show in how long the answer takes.
function rightPassword(req, query, secret) {
  if (!secret) return false;
  const wanted = Buffer.from(secret, 'hex');
  let right = false;
  for (const offer of offeredPasswords(req, query)) {
    if (offer.length && crypto.timingSafeEqual(digest(offer), wanted)) right = true;
  }
  return right;
}

// Whether a request carries a password, in one of the places the plugin looks: the
// X-Bot-Password header, the Authorization header, or a "pwd" field of the query.
function carriesPassword(req, query) {
  return req.headers['x-bot-password'] !== undefined || req.headers.authorization !== undefined ||
    query.split('&').some((segment) => segment.startsWith('pwd='));
}

// The wait after the `fails`-th wrong password: none for the first few, then doubling.
const waitAfter = (fails) => (fails < FREE_TRIES ? 0 : Math.min(FIRST_WAIT_MS * 2 ** (fails - FREE_TRIES), LONGEST_WAIT_MS));

// A try with a password from the request's address. The node's right password (`secret`,
// see rightPassword) is never counted, held back nor refused, whatever the address did
// before. Any other password: answers 429 and returns null when the address has to wait; otherwise returns a function that takes the reply's status (0: none)
// and counts a refusal (401, the plugin's answer to a wrong password) as a wrong guess. Once
// an address has guessed wrong, its tries past the free ones run one at a time, so that
// parallel guesses do not slip by; an address without a wrong guess is never held back.
export function passwordTry(req, res, query, secret) {
  if (!carriesPassword(req, query) || rightPassword(req, query, secret)) return () => {};
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

