// Shared harness for the browser tests of the game page: obtains the page
// (from the built program, or from page/index.html while no program is
// given), serves it from a local stand-in for the node, launches the browser
// named by PENTRA_ENGINE (chromium, the default, firefox or webkit; see
// README) and opens tabs whose chance, animation frames and timers are
// controlled from the test.

import { after, afterEach, before, beforeEach } from 'node:test';
import { execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';
import { COLS, ROWS, SHAPES, cellsOf, project, shadeHex, randomsForOrder } from './model.mjs';
import { PAGE_HEADER, REFUSAL_BODY, ROOT, scoresReply as scoresBody, splitReply } from '../values.mjs';
import { launchChromium } from '../lib/browsers.mjs';
import { inPage, writeStorage } from '../lib/page_script.mjs';
import { startStandIn } from '../lib/standin.mjs';

// The engine this run tests; Chromium's tabs are Playwright's own pages, the
// others come from tests/lib/engines.mjs with the same calls.
export const ENGINE = process.env.PENTRA_ENGINE || 'chromium';

export const SCORES_EMPTY = scoresBody([]);

let pageCache = null;

// The page document as the page route writes it, without its CGI header.
export function loadPage() {
  if (pageCache) return pageCache;
  const bin = process.env.PENTRA_BIN;
  if (bin) {
    const out = execFileSync(bin, [], {
      env: { REQUEST_METHOD: 'GET', QUERY_STRING: '' },
      maxBuffer: 8 * 1024 * 1024,
      timeout: 20000,
    });
    pageCache = splitReply(out).body;
    assert.equal(out.subarray(0, out.length - pageCache.length).toString('latin1'), PAGE_HEADER, 'page header');
  } else {
    pageCache = readFileSync(path.join(ROOT, 'page', 'index.html'));
  }
  return pageCache;
}

// --- the stand-in node ----------------------------------------------------

// The controls (initScript) for the pages of Firefox and WebKit tabs: written
// into the served page just before the page's own script, which they precede
// as an init script would, and removed from the document as they run.
let pageScript = '';

function pageWithControls(html) {
  if (!pageScript) return html;
  const text = html.toString('latin1');
  const at = text.lastIndexOf('<script>');
  return Buffer.from(text.slice(0, at) + `<script>${pageScript}document.currentScript.remove();</script>` + text.slice(at), 'latin1');
}

// Serves the page (with the controls of Firefox and WebKit tabs) from a stand-in node;
// see tests/lib/standin.mjs.
export function startServer() {
  const html = loadPage();
  return startStandIn({ page: () => pageWithControls(html) });
}

export function scoresReply(highscore, scores = highscore ? [highscore] : []) {
  return { body: scoresBody(scores, highscore) };
}
export const REFUSAL = { status: 401, body: REFUSAL_BODY };

// --- the browser ----------------------------------------------------------

// Starts the test server and one browser for a test file, hands them to
// `assign`, and closes both after the file. Unless `tab` is false it also opens
// one tab for the file's tests and checks after each test that its page saw no
// error. Before each test, `fresh: 'server'` resets the server's record and
// reply, and `fresh: 'page'` then loads the page into the tab as well.
export function useBrowser(assign, { tab = true, fresh } = {}) {
  const s = {};
  before(async () => {
    s.server = await startServer();
    s.browser = await launch();
    if (tab) s.page = await openTab(s.browser);
    assign(s);
  });
  if (fresh) {
    beforeEach(async () => {
      s.server.reset();
      if (fresh === 'page') await load(s.page, s.server);
    });
  }
  if (tab) afterEach(() => noErrors(s.page));
  after(async () => {
    await s.browser?.close();
    await s.server?.close();
  });
}

// Opens a tab with openTab's options, loads the page into it (after emptying
// the origin's storage and storing `storage`, when given; not at all with
// `load: false`), runs `fn(page)`, checks that the page saw no error, and
// closes the tab whatever happened.
export async function inTab(browser, server, opts, fn) {
  const page = await openTab(browser, opts);
  try {
    if (opts.storage) await loadFresh(page, server, undefined, opts.storage);
    else if (opts.load !== false) await load(page, server);
    await fn(page);
    await noErrors(page);
  } finally {
    await page.context().close();
  }
}

export async function launch() {
  if (ENGINE === 'firefox') return (await import('../lib/engines.mjs')).firefox();
  if (ENGINE === 'webkit') return (await import('../lib/engines.mjs')).webkit();
  if (ENGINE !== 'chromium') throw new Error(`unknown PENTRA_ENGINE ${ENGINE}`);
  return launchChromium();
}

// Options of a test that only Chromium runs; `why` says what the others lack.
export function chromiumOnly(why) {
  return ENGINE === 'chromium' ? LIMIT : { ...LIMIT, skip: `Chromium only: ${why}` };
}

// Runs in the page before its own script: seeded chance, frames handed out by
// the test, tracked timers and replies, recorded canvas calls and errors.
function initScript({ seed, storageThrows }, seededRandom) {
  if (storageThrows) {
    Object.defineProperty(window, 'localStorage', {
      configurable: true,
      get() { throw new DOMException('storage refused', 'SecurityError'); },
    });
  }
  const mulberry = seededRandom(seed);
  const rq = [];
  window.__rq = rq;
  window.__randCalls = 0;
  Math.random = () => { window.__randCalls++; return rq.length ? rq.shift() : mulberry(); };

  let cbs = [];
  let now = 1000;
  window.requestAnimationFrame = (cb) => { cbs.push(cb); return cbs.length; };
  window.cancelAnimationFrame = () => {};
  // Hands out n frames step ms apart; returns how many frames are then
  // requested (0: the page's loop sleeps). With `redraw`, a resize event
  // before each frame makes the page draw it.
  window.__frames = (n, step, redraw) => {
    for (let i = 0; i < n; i++) {
      if (redraw) window.dispatchEvent(new Event('resize'));
      now += step;
      const run = cbs;
      cbs = [];
      for (const cb of run) cb(now);
    }
    return cbs.length;
  };

  // Timers shorter than a second (the boot's) run and are counted while they
  // wait; longer ones (the pauses before a kept save is tried again) are held
  // until the test runs them with __runLater, which returns their delays.
  const st = window.setTimeout.bind(window);
  const ct = window.clearTimeout.bind(window);
  const pending = new Set();
  const held = new Map();
  let heldIds = 0;
  window.setTimeout = (fn, ms, ...a) => {
    const run = () => { if (typeof fn === 'function') fn(...a); };
    if (ms >= 1000) {
      held.set(--heldIds, { ms, run });
      return heldIds;
    }
    const id = st(() => { pending.delete(id); run(); }, ms);
    pending.add(id);
    return id;
  };
  window.clearTimeout = (id) => {
    if (held.delete(id)) return;
    pending.delete(id);
    ct(id);
  };
  window.__pendingTimers = () => pending.size;
  window.__later = () => [...held.values()].map((t) => t.ms);
  window.__runLater = () => {
    const due = [...held.values()];
    held.clear();
    for (const t of due) t.run();
    return due.map((t) => t.ms);
  };

  // A request counts as settled two tasks after its body was read (or its
  // fetch failed), by which time the page's own handlers have run. __fetched
  // lists the URLs the page asked for (the browser may send a request again
  // by itself when a connection drops; the server would see it twice).
  window.__settled = 0;
  window.__fetched = [];
  const done = () => st(() => st(() => { window.__settled++; }, 0), 0);
  const f = window.fetch;
  window.fetch = function (...a) {
    window.__fetched.push(String(a[0]));
    const p = f.apply(this, a);
    p.then(null, done);
    return p;
  };
  for (const m of ['json', 'text']) {
    const o = Response.prototype[m];
    Response.prototype[m] = function () {
      const p = o.call(this);
      p.then(done, done);
      return p;
    };
  }

  window.__errs = [];
  window.addEventListener('error', (e) => window.__errs.push('error: ' + e.message));
  window.addEventListener('unhandledrejection', (e) => window.__errs.push('unhandled rejection: ' + (e.reason && e.reason.message || e.reason)));

  // Changes to the HUD texts after the script has run (the boot's own
  // refresh excluded).
  window.__hudMutations = 0;
  document.addEventListener('DOMContentLoaded', () => {
    const mo = new MutationObserver((l) => { window.__hudMutations += l.length; });
    for (const id of ['vScore', 'vBest', 'vLines']) {
      const el = document.getElementById(id);
      if (el) mo.observe(el, { childList: true, characterData: true, subtree: true });
    }
  });

  // __rec: the calls while a test records; __shown: those of the last frame
  // drawn on the 3D view (a frame begins by clearing it), what it shows.
  window.__rec = null;
  window.__shown = [];
  const P = CanvasRenderingContext2D.prototype;
  const push = (c, o) => {
    o.id = c.canvas.id;
    if (window.__rec) window.__rec.push(o);
    if (o.id !== 'cv') return;
    if (o.k === 'c') window.__shown = [];
    window.__shown.push(o);
  };
  const wrap = (name, fn) => {
    const orig = P[name];
    P[name] = function (...a) { fn(this, a); return orig.apply(this, a); };
  };
  wrap('beginPath', (c) => { c.__p = []; });
  for (const name of ['moveTo', 'lineTo']) wrap(name, (c, a) => { (c.__p || (c.__p = [])).push([a[0], a[1]]); });
  wrap('fill', (c) => push(c, { k: 'f', s: c.fillStyle, a: c.globalAlpha, p: c.__p || [] }));
  wrap('stroke', (c) => push(c, { k: 's', s: c.strokeStyle, a: c.globalAlpha, w: c.lineWidth, p: c.__p || [] }));
  wrap('fillRect', (c, a) => push(c, { k: 'r', s: c.fillStyle, a: c.globalAlpha, r: a }));
  wrap('clearRect', (c, a) => { const m = c.getTransform(); push(c, { k: 'c', r: a, m: [m.a, m.b, m.c, m.d, m.e, m.f] }); });

  // A stub game pad, reported at index 0 (a fresh snapshot per read) but
  // announced only by __padEvent('gamepadconnected'); __padReads counts the
  // page's reads. __padSet(buttons, axes, mapping) sets what it holds down
  // and resolves once the page has read it: at a frame handed out with no
  // time passing when the loop is awake, else at the page's next timed read.
  let pad = { buttons: [], axes: [0, 0], mapping: 'standard' };
  window.__padReads = 0;
  const padNow = () => ({
    id: 'stub pad', index: 0, connected: true, mapping: pad.mapping, timestamp: performance.now(), axes: pad.axes.slice(),
    buttons: Array.from({ length: 17 }, (_, i) => ({ pressed: pad.buttons.includes(i), touched: pad.buttons.includes(i), value: pad.buttons.includes(i) ? 1 : 0 })),
  });
  Object.defineProperty(Navigator.prototype, 'getGamepads', {
    configurable: true, writable: true, value() { window.__padReads++; return [padNow(), null, null, null]; },
  });
  window.__padEvent = (type) => {
    const e = new Event(type);
    Object.defineProperty(e, 'gamepad', { value: padNow() });
    window.dispatchEvent(e);
  };
  window.__padSet = (buttons, axes, mapping) => {
    pad = { buttons, axes: axes ?? [0, 0], mapping: mapping ?? 'standard' };
    const n = window.__padReads;
    if (cbs.length) window.__frames(1, 0);
    return new Promise((resolve, reject) => {
      const t0 = Date.now();
      const poll = () => {
        if (window.__padReads > n) resolve();
        else if (Date.now() - t0 > 5000) reject(new Error('the page did not read the pad'));
        else st(poll, 5);
      };
      poll();
    });
  };

  window.__keys = (list) => list.map((key) => document.body.dispatchEvent(new KeyboardEvent('keydown', { key, bubbles: true, cancelable: true })));
}

// Opens a context and a tab with the controls installed. Options: seed,
// colorScheme (default dark), viewport, deviceScaleFactor, hasTouch,
// storageThrows. Firefox and WebKit tabs have no deviceScaleFactor or
// hasTouch (README).
export async function openTab(browser, opts = {}) {
  const source = inPage(initScript, { seed: opts.seed ?? 12345, storageThrows: !!opts.storageThrows });
  if (ENGINE !== 'chromium') {
    return browser.newTab({ colorScheme: opts.colorScheme || 'dark', viewport: opts.viewport, beforeGoto: () => { pageScript = source; } });
  }
  const ctx = await browser.newContext({
    colorScheme: opts.colorScheme || 'dark',
    viewport: opts.viewport || { width: 800, height: 600 },
    deviceScaleFactor: opts.deviceScaleFactor || 1,
    hasTouch: !!opts.hasTouch,
  });
  const page = await ctx.newPage();
  await page.addInitScript(source);
  page.__pageErrors = [];
  page.__requests = [];
  page.on('pageerror', (e) => page.__pageErrors.push(String(e && e.message || e)));
  page.on('request', (r) => page.__requests.push(r.url()));
  return page;
}

// Loads the page at the given path (from the server's origin), waits for the
// boot to finish (its 60 ms timer included) and for the boot request to settle.
export async function load(page, server, p = '/plugin_pentra_3d') {
  page.__pageErrors.length = 0;
  if (page.__requests) page.__requests.length = 0;  // WebKit's driver reports none
  await page.goto(server.url(p));
  await waitFor(page, () => window.__pendingTimers() === 0);
  await waitFor(page, () => window.__settled >= 1);
  // PENTRA_PAGE_SLOW=1 runs the suite against pages that judged their frames slow and
  // dropped every backdrop blur: frames 100 ms apart before any game.
  if (process.env.PENTRA_PAGE_SLOW) {
    await frames(page, 40, 100, true);
    await waitFor(page, () => getComputedStyle(document.getElementById('overlay')).backdropFilter === 'none');
  }
}

// Loads the page at `path` afresh: the origin's storage emptied but for
// `storage`, the server's record of requests and its reply reset.
export async function loadFresh(page, server, path, storage = {}) {
  await writeStorage(page, server.url('/blank'), storage);
  server.reset();
  await load(page, server, path);
}

// Every test ends within this time, however loaded the machine is.
export const LIMIT = { timeout: 120000 };

// Opens a page of the server's holding one frame of 800 by 600 that shows
// `src`, waits for the game in the frame to boot, and returns the frame (with
// evaluate, waitForFunction and click). `sandbox` is the frame's sandbox
// attribute: "allow-scripts" makes a browser that refuses storage.
export async function loadFramed(page, server, src, { sandbox } = {}) {
  const q = new URLSearchParams({ src, w: 800, h: 600 });
  if (sandbox !== undefined) q.set('sandbox', sandbox);
  await page.goto(server.url('/frame?' + q));
  const frame = ENGINE === 'chromium' ? await (await page.$('iframe')).contentFrame() : await page.frame('iframe');
  await waitFor(frame, () => !!window.__pendingTimers && window.__pendingTimers() === 0 && window.__settled >= 1);
  return frame;
}

// Gives the frame of loadFramed a new size; waits until its page sees it.
export async function resizeFrame(page, frame, width, height) {
  await page.evaluate(([w, h]) => {
    const f = document.querySelector('iframe');
    f.style.width = `${w}px`;
    f.style.height = `${h}px`;
  }, [width, height]);
  await waitFor(frame, ([w, h]) => innerWidth === w && innerHeight === h, [width, height]);
}

export async function waitFor(page, fn, arg, timeout = 20000) {
  await page.waitForFunction(fn, arg, { polling: 10, timeout });
}

// Errors seen by the page: uncaught exceptions and unhandled rejections.
export async function pageErrors(page) {
  const inPage = await page.evaluate(() => (window.__errs || []).slice());
  return [...new Set([...(page.__pageErrors || []), ...inPage])];
}

export async function noErrors(page, why) {
  assert.deepEqual(await pageErrors(page), [], why);
}

// Makes the bags of the next game come in the given orders ("IJLOSTZ", ...).
export async function setBags(page, orders) {
  const rs = orders.flatMap(randomsForOrder);
  await page.evaluate((v) => { window.__rq.length = 0; window.__rq.push(...v); }, rs);
}

// Makes the bags come in the given orders and presses the keys (by default
// Enter, which starts the game); returns, for each key, whether its default
// was kept.
export async function play(page, orders, list = ['Enter']) {
  await setBags(page, orders);
  return keys(page, list);
}

// Clicks element #id as a player does, then takes the focus off it: a button
// that kept the focus would also take the Enter meant for the page.
export async function clickAndBlur(page, id) {
  await page.click('#' + id);
  await page.evaluate(() => document.activeElement.blur());
}

// The stub pad: connects or disconnects it, sets what it holds down (button
// numbers, axes) and waits until the page has read that.
export const padEvent = (page, type) => page.evaluate((t) => window.__padEvent(t), type);
export const padSet = (page, buttons, axes, mapping) => page.evaluate(([b, a, m]) => window.__padSet(b, a, m), [buttons, axes, mapping]);
export const padReads = (page) => page.evaluate(() => window.__padReads);

export const keys = (page, list) => page.evaluate((l) => window.__keys(l), list);
export const frames = (page, n, step, redraw = false) => page.evaluate(([a, b, r]) => window.__frames(a, b, r), [n, step, redraw]);

export async function hud(page) {
  return page.evaluate(() => ({
    score: document.getElementById('vScore').textContent,
    best: document.getElementById('vBest').textContent,
    lines: document.getElementById('vLines').textContent,
  }));
}

// The dialog of a page that has booted and started no game.
export const READY = { on: true, title: 'READY', sub: 'Arrows or WASD to move and rotate. Space drops. C holds.', btn: 'Start' };

export async function dialog(page) {
  return page.evaluate(() => ({
    on: document.getElementById('overlay').classList.contains('on'),
    title: document.getElementById('mTitle').textContent,
    sub: document.getElementById('mSub').textContent,
    btn: document.getElementById('mBtn').textContent,
  }));
}

// Runs the script `src` in the page while canvas calls are recorded; returns the records.
export async function recordDuring(page, src) {
  return JSON.parse(await page.evaluate((s) => {
    window.__rec = [];
    try {
      new Function(s)();
      return JSON.stringify(window.__rec);
    } finally {
      window.__rec = null;
    }
  }, src));
}

// Hands out one frame with no time passing and returns what the 3D view
// shows: the calls of the last frame that drew.
export async function scene(page) {
  const [size, recs] = JSON.parse(await page.evaluate(() => {
    window.__frames(1, 0);
    const cv = document.getElementById('cv');
    return JSON.stringify([[parseFloat(cv.style.width), parseFloat(cv.style.height)], window.__shown]);
  }));
  return parseScene(recs, size[0], size[1]);
}

const near = (p, q, eps = 0.02) => Math.abs(p[0] - q[0]) < eps && Math.abs(p[1] - q[1]) < eps;

// Reads the cells of the 3D view out of the recorded calls: every block is
// found by its front face (the z = 0 face), filled for locked and live cells,
// stroked at alpha 0.42 for the ghost.
export function parseScene(recs, W, H) {
  const index = new Map();
  const keyOf = (p) => `${Math.round(p[0] * 10)},${Math.round(p[1] * 10)}`;
  for (let x = -4; x <= COLS + 4; x++) {
    for (let y = -4; y <= ROWS + 6; y++) {
      const k = keyOf(project(x, y, 0, W, H));
      if (!index.has(k)) index.set(k, []);
      index.get(k).push([x, y]);
    }
  }
  const cellOf = (pts) => {
    if (pts.length !== 4) return null;
    for (const [x, y] of index.get(keyOf(pts[0])) || []) {
      if (near(pts[0], project(x, y, 0, W, H)) && near(pts[1], project(x, y + 1, 0, W, H)) &&
        near(pts[2], project(x + 1, y + 1, 0, W, H)) && near(pts[3], project(x + 1, y, 0, W, H))) return [x, y];
    }
    return null;
  };
  const front = new Map(SHAPES.map((s) => [shadeHex(s.c, 0.64), s.k]));
  const colour = new Map(SHAPES.map((s) => [s.c, s.k]));
  const filled = [];
  const ghosts = [];
  for (const r of recs) {
    const cell = (r.k === 'f' || r.k === 's') && cellOf(r.p);
    if (!cell) continue;
    if (r.k === 'f' && front.has(r.s)) filled.push([...cell, front.get(r.s)]);
    if (r.k === 's' && Math.abs(r.a - 0.42) < 1e-6) ghosts.push([...cell, colour.get(r.s) || r.s]);
  }
  return { recs, W, H, filled: sortCells(filled), ghosts: sortCells(ghosts) };
}

function sortCells(cells) {
  return cells.slice().sort((a, b) => a[1] - b[1] || a[0] - b[0]);
}

// Cells as "x,y" texts, sorted: easy to compare and to read in a failure.
export const cellText = (cells) => sortCells(cells).map((c) => `${c[0]},${c[1]}${c[2] ? c[2] : ''}`).join(' ');

// Checks that the page shows what game `g` of the model holds: its locked
// cells, its live piece and its score.
export async function sameAs(page, g, why) {
  const live = g.piece ? cellsOf(g.piece.b, g.piece.x, g.piece.y, g.piece.k) : [];
  assert.equal(cellText((await scene(page)).filled), cellText([...g.lockedCells(), ...live]), `${why}: board`);
  assert.equal((await hud(page)).score, String(g.score), `${why}: score`);
}
