// Shared by the end-to-end tests: starts the local host through host/host.mjs (a real
// lighttpd node, or a hub in front of two nodes, serving the built plugin), or runs
// scripts/play as a user would, talks HTTP to it, drives the page in headless Chromium, and
// checks that stopping leaves no process behind.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import assert from 'node:assert/strict';
import { after, before } from 'node:test';
import { describe, gameUrls } from '../../host/banner.mjs';
import * as play from '../../host/host.mjs';
import { portOpen } from '../../host/processes.mjs';
export { sleep } from '../../host/processes.mjs';
import { launchChromium } from '../lib/browsers.mjs';
import { dropUntilOver } from '../lib/page_script.mjs';
import { freshFolder } from '../lib/scratch.mjs';
import { JSON_TYPE, PLUGIN_LIST, REFUSAL, REFUSAL_BODY, ROOT, scoresReply as scoresBody } from '../values.mjs';

export { JSON_TYPE, PLUGIN_LIST, REFUSAL_BODY, ROOT, scoresBody };
export const BIN = process.env.PENTRA_BIN;
export const EXE = process.env.PENTRA_EXE;
if (!BIN) throw new Error('PENTRA_BIN must name the built native plugin program');

// This test file's folder: a fresh one of its own in the system's temporary folder (or in
// PENTRA_WORK), which anyone may pass through, so that the serving user reaches the run,
// data and wine folders made in it wherever the source tree lies (root's home, a folder of
// mktemp -d, which only root may enter). Removed when the file's tests are done.
function makeWork() {
  const parent = path.resolve(process.env.PENTRA_WORK || os.tmpdir());
  fs.mkdirSync(parent, { recursive: true });
  const dir = fs.mkdtempSync(path.join(parent, 'pentra-e2e.'));
  fs.chmodSync(dir, 0o755);
  process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}
export const WORK = makeWork();

// A fresh, empty folder for one test file's runs; everything a run starts carries its
// folder in its environment, which is how leftovers are found afterwards.
export function scratch(name) {
  const dir = freshFolder(path.join(WORK, `${name}-${process.pid}`));
  runFolderOf(dir);
  return dir;
}

// dir/tmp, where a run in the folder `dir` keeps its run folder; made with dir if missing.
function runFolderOf(dir) {
  const tmp = path.join(dir, 'tmp');
  fs.mkdirSync(tmp, { recursive: true });
  return tmp;
}

// Starts a host for the tests of one file: before them in the fresh scratch folder `name`,
// stopped after them. `options(run)` gives startHost's options, and may first put files in
// run.data. With `browser`, Chromium starts too. The object returned is filled in before the
// tests run: the folder `dir`, `data` (dir/data, not made), `browser`, what startHost returns
// (host, nodes, hub, urls, output, stop) and `base`, the first node's URL.
export function useHost(name, options, { browser = false } = {}) {
  const run = {};
  before(async () => {
    run.dir = scratch(name);
    run.data = path.join(run.dir, 'data');
    Object.assign(run, await startHost(run.dir, options(run)));
    run.base = Object.values(run.nodes)[0];
    if (browser) run.browser = await launch();
  });
  after(async () => {
    await run.browser?.close();
    await run.stop?.();
  });
  return run;
}

// startPlay and startHost for the one test `t`: the run stops when the test has ended,
// however it ended, and stopping checks that it left nothing behind.
export async function playFor(t, dir, args, options) {
  return stopsAfter(t, await startPlay(dir, args, options));
}

export async function hostFor(t, dir, options) {
  return stopsAfter(t, await startHost(dir, options));
}

function stopsAfter(t, run) {
  t.after(() => run.stop());
  return run;
}

// The processes whose command line or environment (or only the `files` of /proc/<pid>
// named) mention `text`, as "pid: command line".
export function processesMentioning(text, files = ['cmdline', 'environ']) {
  const found = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry) || Number(entry) === process.pid) continue;
    if (files.some((file) => readProc(entry, file)?.includes(text))) {
      found.push(`${entry}: ${(readProc(entry, 'cmdline')?.toString('latin1') ?? '').replaceAll('\0', ' ')}`);
    }
  }
  return found;
}

// A file of /proc/<pid> (or of /proc/net), or null when it cannot be read: a process gone
// meanwhile, or a table this kernel does not have.
function readProc(dir, file) {
  try {
    return fs.readFileSync(`/proc/${dir}/${file}`);
  } catch {
    return null;
  }
}

// Runs scripts/play with `args`, the data folder dir/data and the built program inside the
// folder `dir` (made if missing; its temporary files go to dir/tmp) and waits for its "Press
// Ctrl-C to stop." line. Returns what it printed: the URL lines, the node and hub
// addresses, and a stop() that sends SIGINT. `shellArgs` is shell text for more arguments,
// for values that are not UTF-8 and so cannot be passed from here directly.
async function startPlay(dir, args, { timeoutMs = 60000, env = {}, shellArgs = '' } = {}) {
  const script = path.join(ROOT, 'scripts', 'play');
  const all = [...args, '--data', path.join(dir, 'data'), '--program', BIN];
  const child = spawn('/bin/sh', ['-c', `exec "$0" "$@" ${shellArgs}`, script, ...all], {
    cwd: ROOT,
    // Everything the script starts inherits these, wine's processes included, so the run's
    // folder in a process's environment marks it as the run's.
    env: { ...process.env, TMPDIR: runFolderOf(dir), PENTRA_E2E_RUN: dir, ...env },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let out = '';
  let err = '';
  child.stdout.setEncoding('utf8');
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (s) => { err += s; });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      child.kill('SIGINT');
      reject(new Error(`scripts/play did not get ready in time:\n${out}\n${err}`));
    }, timeoutMs);
    child.stdout.on('data', (s) => {
      out += s;
      if (out.includes('Press Ctrl-C to stop.\n')) {
        clearTimeout(timer);
        resolve();
      }
    });
    exited.then(({ code, signal }) => {
      clearTimeout(timer);
      reject(new Error(`scripts/play ended early (${code ?? signal}):\n${out}\n${err}`));
    });
  });
  // "Node: <url> (...)" for a lone node, "Node <name>: <url> (...)" for each node of a hub.
  const nodes = Object.fromEntries([...out.matchAll(/^Node(?: (\w+))?: (http:\/\/\S+)/gm)].map((m) => [m[1] || 'node', m[2]]));
  const hub = /^Hub: (\S+)/m.exec(out)?.[1];
  return {
    data: path.join(dir, 'data'),
    output: out,
    urls: [...out.matchAll(/^URL: (\S+)/gm)].map((m) => m[1]),
    hub,
    nodes,
    // Sends SIGINT like Ctrl-C, waits for the script to end, and checks that it ended
    // cleanly, removed its run folder and left no process behind.
    async stop(timeoutMs = 60000) {
      child.kill('SIGINT');
      let timer;
      const result = await Promise.race([
        exited,
        new Promise((resolve) => { timer = setTimeout(() => resolve(null), timeoutMs); }),
      ]);
      clearTimeout(timer);
      if (!result) {
        child.kill('SIGKILL');
        assert.fail(`scripts/play did not stop within ${timeoutMs} ms:\n${err}`);
      }
      assert.deepEqual(result, { code: 0, signal: null }, `scripts/play ended badly:\n${err}`);
      await assertLeftNothing(dir, [...Object.values(nodes), hub]);
    },
  };
}

// Starts a host through host/host.mjs inside the folder `dir` (made if missing; its run
// folder goes to dir/tmp, and every process it starts carries dir in its environment).
// `options` are startHost's; `nodes` may be given as a name list with `data` and `password`
// per name. Returns the host, the nodes' and hub's base URLs, the game's URLs and what
// scripts/play would print, and a stop() that checks that nothing is left behind.
export async function startHost(dir, options) {
  const tmp = runFolderOf(dir);
  const host = await play.startHost({
    program: BIN,
    tmpdir: tmp,
    env: { TMPDIR: tmp, PENTRA_E2E_RUN: dir },
    ...options,
  });
  const nodes = Object.fromEntries(Object.entries(host.nodes).map(([name, n]) => [name, n.url]));
  const hub = host.hub?.url;
  const plan = { hub: Boolean(options.hub), exposed: false };
  let urls, output;
  try {
    urls = gameUrls(hub || nodes.node, plan.hub, host.nodes);
    output = describe(host, plan, []).lines.join('\n') + '\n';
  } catch (err) {
    await host.stop();
    throw err;
  }
  return {
    host,
    nodes,
    hub,
    urls,
    output,
    async stop() {
      await host.stop();
      await assertLeftNothing(dir, [...Object.values(nodes), hub]);
    },
  };
}

// Checks that a run in `dir` removed its run folder and left no process behind, and that
// nothing listens on the servers' addresses (`bases`, undefined ones skipped) any more.
async function assertLeftNothing(dir, bases) {
  assert.deepEqual(fs.readdirSync(path.join(dir, 'tmp')), [], `the run folder in ${dir}/tmp is removed`);
  assert.deepEqual(processesMentioning(dir), [], `no process of the run in ${dir} is left`);
  for (const base of bases.filter(Boolean)) {
    const open = await portOpen(portOf(base), new URL(base).hostname, 5000);
    assert.equal(open, false, `nothing listens on ${base} any more`);
  }
}

// One HTTP request (from `localAddress` when given); resolves with the status, the headers and
// the body, as bytes (raw) and as Latin-1 text (body).
export function request(url, { method = 'GET', headers = {}, body, localAddress } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method, headers, agent: false, localAddress }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        const raw = Buffer.concat(chunks);
        resolve({ status: res.statusCode, statusMessage: res.statusMessage, headers: res.headers, raw, body: raw.toString('latin1') });
      });
      res.on('error', reject);
    });
    req.setTimeout(30000, () => req.destroy(new Error(`request timed out: ${url}`)));
    req.on('error', reject);
    req.end(body);
  });
}

// Sends the request line `line` (an HTTP/1.1 request), a Host header naming `base`, then
// `rest` (more header lines, the empty line and any body) as Latin-1 bytes, unchecked, over
// one connection to the address of `base`. Resolves with the status line, the head and the
// body of the answer ('' when the connection closed without one).
export function rawRequest(base, line, rest = 'Connection: close\r\n\r\n') {
  const { host, hostname, port } = new URL(base);
  const bytes = Buffer.from(`${line} HTTP/1.1\r\nHost: ${host}\r\n${rest}`, 'latin1');
  return new Promise((resolve, reject) => {
    const socket = net.connect({ host: hostname, port: Number(port) }, () => socket.end(bytes));
    const chunks = [];
    socket.setTimeout(15000, () => socket.destroy(new Error('no answer in time')));
    socket.on('data', (c) => chunks.push(c));
    socket.on('error', reject);
    socket.on('close', () => {
      const text = Buffer.concat(chunks).toString('latin1');
      const end = text.indexOf('\r\n\r\n');
      resolve({ status: text.split('\r\n')[0], head: end < 0 ? text : text.slice(0, end), body: end < 0 ? '' : text.slice(end + 4) });
    });
  });
}

// The processes of a run in `dir` (see processesMentioning) that are still there: each with
// its pid, its line as `cmd`, its owner's `uid` and its resident memory in `rssKb`.
export function runProcesses(dir) {
  const found = [];
  for (const cmd of processesMentioning(dir)) {
    const pid = Number(cmd.split(':')[0]);
    const status = readProc(pid, 'status')?.toString('latin1');
    if (status) found.push({ pid, cmd, uid: Number(/^Uid:\s+(\d+)/m.exec(status)[1]), rssKb: Number(/^VmRSS:\s+(\d+)/m.exec(status)?.[1] || 0) });
  }
  return found;
}

// Rebuilds the CGI reply that the host turned into this HTTP response, from the status
// and the two header lines the plugin writes, so it can be compared byte for byte.
export function asCgiReply(res) {
  let text = res.status === 200 ? '' : `Status: ${res.status} ${res.statusMessage}\r\n`;
  text += `Content-Type: ${res.headers['content-type']}\r\n`;
  text += `Cache-Control: ${res.headers['cache-control']}\r\n\r\n`;
  return text + res.body;
}

// Checks that a response is the JSON text `body`, served as JSON with the HTTP status `status`.
export function assertJson(res, status, body, message) {
  assert.equal(res.status, status, message);
  assert.equal(res.headers['content-type'], JSON_TYPE, message);
  assert.equal(res.body, body, message);
}

// Checks that a response is the JSON error `error` with the HTTP status `status`.
export function assertJsonError(res, status, error, message) {
  assertJson(res, status, `{"ok":false,"error":"${error}"}\n`, message);
}

// Checks that the server of `url` refuses it when the Host header names any of `hosts`
// (421) and when it comes as any of the requests `sites` (request options with the headers
// of another site; 403).
export async function assertRefusesOthers(url, { hosts, sites }) {
  for (const name of hosts) assertJsonError(await request(url, { headers: { Host: name } }), 421, 'wrong_host', name);
  for (const opts of sites) assertJsonError(await request(url, opts), 403, 'cross_site', JSON.stringify(opts));
}

// Sends one request to `url` and to `other` and checks that both answer alike: the same
// status and reason, and the same CGI reply byte for byte. Resolves with the answer from `url`.
export async function assertAlike(url, other, opts, message) {
  const res = await request(url, opts);
  const theirs = await request(other, opts);
  assert.equal(res.status, theirs.status, message);
  assert.equal(res.statusMessage, theirs.statusMessage, message);
  assert.equal(asCgiReply(res), asCgiReply(theirs), message);
  return res;
}

// Checks that a response is the plugin's password refusal, turned into an HTTP 401.
export function assertRefusal(res) {
  assert.equal(res.status, 401);
  assert.equal(res.statusMessage, 'Unauthorized');
  const cgi = asCgiReply(res);
  assert.equal(cgi, REFUSAL);
  assert.equal(Buffer.byteLength(cgi, 'latin1'), 145);
}

// The local addresses that listen for TCP connections on `port`, read from the kernel's
// socket tables rather than by connecting: "127.0.0.1", "0.0.0.0" for every IPv4 interface,
// and IPv6 listeners as "ipv6:" and the table's hex text.
export function listeningAddresses(port) {
  const found = [];
  for (const table of ['tcp', 'tcp6']) {
    const text = readProc('net', table)?.toString('latin1') ?? '';
    for (const line of text.trim().split('\n').slice(1)) {
      const [, local, , state] = line.trim().split(/\s+/);
      const [address, portHex] = local.split(':');
      // 0A is LISTEN. The kernel prints each 32-bit word of the address in host byte order.
      if (state !== '0A' || parseInt(portHex, 16) !== port) continue;
      if (address.length === 8) {
        const bytes = Buffer.from(address, 'hex');
        if (os.endianness() === 'LE') bytes.reverse();
        found.push(bytes.join('.'));
      } else {
        found.push(`ipv6:${address}`);
      }
    }
  }
  return found.sort();
}

// The port of a base address such as http://127.0.0.1:8080.
export function portOf(base) {
  return Number(new URL(base).port);
}

// The score file in the data folder `data` as text, or null when there is none.
export function scoresIn(data) {
  const file = path.join(data, '.pentra_scores.json');
  return fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : null;
}

// Checks that a response is the game's icon from host/, served as an image that may be
// kept for a long time.
export function assertFavicon(res) {
  assert.equal(res.status, 200);
  assert.equal(res.headers['content-type'], 'image/x-icon');
  assert.equal(res.headers['cache-control'], 'public, max-age=31536000, immutable');
  assert.ok(res.raw.equals(fs.readFileSync(path.join(ROOT, 'host', 'favicon.ico'))), 'the icon of host/');
}

// --- the browser -------------------------------------------------------------------------

export const launch = launchChromium;

// A fresh context and tab, closed when the test `t` has ended; with `url`, the tab opens it
// and waits until the page has booted. The page's own requests (not Chromium's favicon) are
// recorded with their X-Bot-Password header; page errors and the console's error lines (a
// failed load of any resource, the favicon's included) are collected.
export async function openTab(browser, t, url) {
  const context = await browser.newContext({ colorScheme: 'dark', viewport: { width: 900, height: 700 } });
  t.after(() => context.close());
  const page = await context.newPage();
  page.apiRequests = [];
  page.errors = [];
  page.on('request', (r) => {
    if (r.resourceType() === 'fetch') page.apiRequests.push({ url: r.url(), password: r.headers()['x-bot-password'] });
  });
  page.on('pageerror', (e) => page.errors.push(String(e && e.message || e)));
  page.consoleErrors = [];
  page.on('console', (m) => {
    if (m.type() === 'error') page.consoleErrors.push(m.text());
  });
  if (url) await bootAt(page, url);
  return page;
}

// Sends `headers` with the document request of `url` only, as a host's login would have
// let the browser in; the page's own requests must find the password themselves.
export async function withDocumentHeaders(page, url, headers) {
  await page.route((u) => u.href === url, (route) => route.continue({
    headers: { ...route.request().headers(), ...headers },
  }));
}

// Waits until the page has booted: the dialog shows READY and the boot request answered.
export async function booted(page) {
  await page.waitForFunction(() => document.getElementById('mTitle')?.textContent === 'READY', null, { timeout: 15000 });
}

// Opens `url` in the tab and waits until the page there has booted.
export async function bootAt(page, url) {
  await page.goto(url);
  await booted(page);
}

export async function text(page, id) {
  return page.locator('#' + id).textContent({ timeout: 5000 });
}

// Waits until the Best card shows `value`.
export async function bestShows(page, value) {
  await page.waitForFunction((v) => document.getElementById('vBest')?.textContent === v, String(value), { timeout: 15000 });
}

// Plays one game to its end: Enter starts it, then the space bar hard-drops piece after
// piece until the dialog says GAME OVER (a bounded number of drops). Resolves with the
// final score and the reply to the save request the page sent.
export async function playToGameOver(page) {
  const saved = page.waitForResponse((r) => r.url().includes('action=save_score'), { timeout: 30000 });
  saved.catch(() => {});
  await dropUntilOver(page, { maxDrops: 400 });
  const score = Number(await text(page, 'vScore'));
  assert.ok(score > 0, 'hard drops score points');
  const reply = await saved;
  return { score, reply: await reply.text(), saveUrl: reply.url(), savePassword: reply.request().headers()['x-bot-password'] };
}
