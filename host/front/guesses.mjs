// The front's count of wrong passwords per client address, and the wait it puts on an
// address that keeps guessing.
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
export function passwordTry(req, res, query) {
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

