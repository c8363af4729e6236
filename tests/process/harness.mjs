// Runs the built plugin as the host would: one process per request, a chosen environment,
// an optional body on standard input. The same tests run against the native program and,
// with PENTRA_TARGET=wine, against the Windows .exe under wine.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { programPath, startWineSession, wineEnv } from '../../host/wine.mjs';
import { freshFolder } from '../lib/scratch.mjs';
import { JSON_HEADER, ROOT } from '../values.mjs';

const BIN = process.env.PENTRA_BIN;
const TARGET = process.env.PENTRA_TARGET === 'wine' ? 'wine' : 'native';
export const WINE = TARGET === 'wine';
if (!BIN) throw new Error('PENTRA_BIN must name the built plugin program');

const WORK = process.env.PENTRA_WORK || path.join(os.tmpdir(), 'pentra-process-tests');
const WINE_PREFIX = path.join(path.dirname(BIN), 'wineprefix');
const RUN_TIMEOUT_MS = WINE ? 60000 : 10000;

// The environment of every wine run: a private prefix, HOME and TMPDIR.
const WINE_PLACES = { prefix: WINE_PREFIX, home: path.join(WORK, 'wine-home'), tmp: path.join(WORK, 'wine-home', 'tmp') };
export function wineEnvironment() {
  return wineEnv({ PATH: process.env.PATH }, WINE_PLACES);
}

// How the program sees a Linux path: unchanged natively, through drive Z: under wine.
export const hostPath = (p) => programPath(p, WINE);

// The separator the program puts between path pieces.
export const SEP = WINE ? '\\' : '/';

let session = null;

// Starts what the target needs for a whole test file: under wine, one long-lived session,
// with wine's own profile variables removed so that the tests decide what LOCALAPPDATA and
// USERPROFILE hold.
export async function startTarget() {
  fs.mkdirSync(WINE_PLACES.tmp, { recursive: true });
  if (!WINE) return;
  session = await startWineSession(wineEnvironment());
  for (const name of ['LOCALAPPDATA', 'USERPROFILE']) {
    spawnSync('wine', ['reg', 'delete', 'HKCU\\Volatile Environment', '/v', name, '/f'], {
      env: wineEnvironment(),
      stdio: 'ignore',
      timeout: 120000,
    });
  }
}

// Ends the wine session cleanly.
export async function stopTarget() {
  if (!session) return;
  await session.stop();
  session = null;
}

// A fresh, empty scratch directory for one test.
let scratchCount = 0;
export function scratch(name) {
  return freshFolder(path.join(WORK, `${TARGET}-${process.pid}-${name}-${++scratchCount}`));
}

// A score file of its own for one test, with `content` written to it if given, and the
// environment that points the program at it.
export function scoreFile(name, content) {
  const file = path.join(scratch(name), 'scores.json');
  if (content !== undefined) fs.writeFileSync(file, content);
  return { file, env: { HV_PENTRA_SCORES: hostPath(file) } };
}

// Starts the program once with `env` as its whole CGI environment (under wine, the session's
// variables are added) and returns the child. `shell` wraps the run in a POSIX shell prefix
// such as 'ulimit -f 0;'.
export function launch({ args = [], env = {}, cwd, shell, stdio }) {
  let cmd = WINE ? 'wine' : BIN;
  let argv = WINE ? [BIN, ...args] : [...args];
  if (shell) {
    argv = ['-c', `${shell} exec "$@"`, 'sh', cmd, ...argv];
    cmd = '/bin/sh';
  }
  const fullEnv = WINE ? { ...wineEnvironment(), ...env } : { ...env };
  return spawn(cmd, argv, { env: fullEnv, cwd: cwd || WORK, stdio });
}

// Runs the program once and waits for its end. `input` is written to standard input, which
// is then closed unless `holdInput` is set, in which case it stays open so that a read past
// the data would block. With `stderr` set, standard error is kept as well (as `errText`).
export function run({ args = [], env = {}, input, holdInput = false, cwd, shell, stderr = false } = {}) {
  return new Promise((resolve, reject) => {
    const child = launch({ args, env, cwd, shell, stdio: ['pipe', 'pipe', stderr ? 'pipe' : 'ignore'] });
    const chunks = [];
    const errChunks = [];
    child.stdout.on('data', (c) => chunks.push(c));
    if (stderr) child.stderr.on('data', (c) => errChunks.push(c));
    child.stdin.on('error', () => {});
    if (input !== undefined) child.stdin.write(input);
    if (!holdInput) child.stdin.end();
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`plugin run timed out: ${JSON.stringify({ args, env })}`));
    }, RUN_TIMEOUT_MS);
    child.on('close', (status, signal) => {
      clearTimeout(timer);
      child.stdin.destroy();
      const stdout = Buffer.concat(chunks);
      const errText = Buffer.concat(errChunks).toString('utf8');
      resolve({ status, signal, stdout, text: stdout.toString('latin1'), errText });
    });
    child.on('error', (err) => {
      clearTimeout(timer);
      reject(err);
    });
  });
}

// The rows of a case table in tests/cases, which the process suite shares with the unit
// tests: one case a line, fields separated by tabs, "\xHH" for the byte HH and "\\" for a
// backslash; empty lines and lines that begin with "#" are passed over. Fields are byte
// texts (one character a byte).
export function readCases(name) {
  const text = fs.readFileSync(path.join(ROOT, 'tests', 'cases', name), 'latin1');
  const unescape = (field) =>
    field.replace(/\\(\\|x[0-9a-fA-F]{2})/g, (_, e) => (e === '\\' ? e : String.fromCharCode(parseInt(e.slice(1), 16))));
  const rows = text
    .split('\n')
    .filter((line) => line !== '' && !line.startsWith('#'))
    .map((line) => line.split('\t').map(unescape));
  if (rows.length === 0) throw new Error(`tests/cases/${name} holds no case`);
  return rows;
}

// Runs a JSON request against a score file and returns the body after the JSON header,
// failing loudly when the header is wrong.
//
// Under wine, a run that ends with status 1 having written nothing failed in wine, not in the
// program (which ends every run with status 0, after its reply); this was seen, rarely, with
// 90 runs starting at once. Such a run is tried once more, and a failure shows what wine
// printed.
export async function json(env, opts = {}) {
  const once = () => run({ env: { REQUEST_METHOD: 'GET', ...env }, stderr: WINE, ...opts });
  let r = await once();
  if (WINE && r.status === 1 && r.stdout.length === 0) r = await once();
  if (r.status !== 0) throw new Error(`exit status ${r.status}${r.errText ? `: ${r.errText}` : ''}`);
  if (!r.text.startsWith(JSON_HEADER)) throw new Error(`not a JSON reply: ${JSON.stringify(r.text.slice(0, 200))}`);
  return r.text.slice(JSON_HEADER.length);
}

// A save of `val` (with json's options) and a read of the table, in the store `env` names.
export const save = (env, val, opts) => json({ ...env, QUERY_STRING: `action=save_score&val=${encodeURIComponent(val)}` }, opts);
export const scores = (env) => json({ ...env, QUERY_STRING: 'action=scores' });
