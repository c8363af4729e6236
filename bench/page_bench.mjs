// The game page in headless Chromium: how long each animation-frame callback takes with a
// well filled as at the end of a game, and how soon after navigation the first frame is
// drawn. The page is served, exactly as the plugin's page route wrote it, by a small HTTP
// server on 127.0.0.1 that also answers the page's /plugin_pentra_3d?action=... requests
// with a scores reply. Nothing in the page is changed: an init script seeds Math.random
// and wraps requestAnimationFrame so that every callback is timed from outside, with
// performance.now() before and after it. The page draws only frames whose picture changed
// and sleeps with a dialog up; while frames are timed, a resize event after each callback
// (in a task of its own, outside the callback) makes the page draw the next one in full.
//
// Then, for the same scene, Chromium's own trace of the callbacks (FireAnimationFrame events)
// gives each callback's wall time and its thread CPU time: the difference is time the
// renderer's main thread spent waiting for a core, which on a shared two-core machine is
// most of the tail.
//
// bench.mjs calls measurePage and writes what it returns, and pageMarkdown's tables.

import { gzipSync } from 'node:zlib';
import { launchChromium } from '../tests/lib/browsers.mjs';
import { dropUntilOver, inPage, NO_BLUR } from '../tests/lib/page_script.mjs';
import { startStandIn } from '../tests/lib/standin.mjs';
import { section } from './side_by_side.mjs';

const STAGE_W = 1000;  // CSS pixels wanted for #stage, and so for the canvas
const STAGE_H = 700;
const SCALE_FACTOR = 2;
// Side moves before each hard drop in the "spread" fill: the pieces land across the whole
// width instead of piling up in the middle columns.
const SPREAD = [-4, 3, -2, 5, 0, -3, 2, -1, 4, 1, -5];

// Runs in the page before its own script.
function initScript(seed, seededRandom) {
  Math.random = seededRandom(seed);
  const raf = window.requestAnimationFrame.bind(window);
  const now = performance.now.bind(performance);
  // frozen: when a number, every callback gets it as its timestamp, so the page's frame
  // loop sees no time pass and applies no gravity.
  const B = { firstEnd: null, frames: 0, record: false, times: [], starts: [], lastTs: 0,
    frozen: null, redraw: false, errors: [] };
  Object.defineProperty(window, '__bench', { value: B });
  window.addEventListener('error', (e) => B.errors.push(String(e.message)));
  window.requestAnimationFrame = function (cb) {
    return raf(function (ts) {
      if (B.frozen !== null) ts = B.frozen;
      B.lastTs = ts;
      const t0 = now();
      cb(ts);
      const t1 = now();
      B.frames++;
      if (B.redraw) setTimeout(() => window.dispatchEvent(new Event('resize')), 0);
      if (B.firstEnd === null) B.firstEnd = t1;
      if (B.record) {
        B.times.push(t1 - t0);
        B.starts.push(t0);
      }
    });
  };
}

// Cross-origin isolation gives performance.now() a 5 us resolution instead of 100 us; the
// page loads nothing from elsewhere, so it changes nothing else.
const ISOLATION = { 'Cross-Origin-Opener-Policy': 'same-origin', 'Cross-Origin-Embedder-Policy': 'require-corp' };

function quantile(sorted, q) {
  return sorted[Math.min(sorted.length - 1, Math.round(q * (sorted.length - 1)))];
}

function summary(times) {
  const s = [...times].sort((a, b) => a - b);
  const mid = s.length >> 1;
  const median = s.length % 2 ? s[mid] : (s[mid - 1] + s[mid]) / 2;
  return { n: s.length, median, p95: quantile(s, 0.95), p99: quantile(s, 0.99), min: s[0],
    max: s[s.length - 1] };
}

// The viewport whose layout gives #stage a bounding box of STAGE_W by STAGE_H: the layout
// is linear in the viewport size above its breakpoints, so a few corrections converge.
function fitViewport(browser, url, seed) {
  let vp = { width: 1200, height: 800 };
  return withPage(browser, vp, seed, async (page) => {
    await page.goto(url);
    for (let i = 0; i < 8; i++) {
      const r = await page.evaluate(() => {
        const b = document.getElementById('stage').getBoundingClientRect();
        return { w: b.width, h: b.height };
      });
      if (r.w === STAGE_W && r.h === STAGE_H) break;
      vp = { width: Math.round(vp.width + STAGE_W - r.w), height: Math.round(vp.height + STAGE_H - r.h) };
      const resized = page.evaluate(() => new Promise((resolve) => {
        window.addEventListener('resize', () => resolve(), { once: true });
      }));
      await page.setViewportSize(vp);
      await Promise.race([resized, page.waitForTimeout(2000)]);
    }
    return vp;
  });
}

// Opens a page of viewport vp in a fresh context with the init script, and resolves with
// what `body(page)` resolves with; the context is closed however it ends.
async function withPage(browser, vp, seed, body) {
  const ctx = await browser.newContext({ viewport: vp, deviceScaleFactor: SCALE_FACTOR,
    colorScheme: 'dark' });
  try {
    const page = await ctx.newPage();
    await page.addInitScript(inPage(initScript, seed));
    return await body(page);
  } finally {
    await ctx.close();
  }
}

// Waits (polling by timer: a rAF-based wait would add callbacks of its own) until the page
// has run n more frames.
async function waitFrames(page, n) {
  const target = (await page.evaluate(() => window.__bench.frames)) + n;
  await page.waitForFunction((t) => window.__bench.frames >= t, target,
    { polling: 50, timeout: 30000 + n * 100 });
}

async function loadGame(page, url) {
  await page.goto(url);
  await page.waitForFunction(() => window.__bench.frames > 0, null, { polling: 20, timeout: 30000 });
  await page.waitForTimeout(100);  // the boot's second resize, 60 ms after load
  const geo = await page.evaluate(() => {
    const cv = document.getElementById('cv');
    const st = document.getElementById('stage').getBoundingClientRect();
    return { stageW: st.width, stageH: st.height, cssW: cv.style.width, cssH: cv.style.height,
      bitmapW: cv.width, bitmapH: cv.height, isolated: window.crossOriginIsolated };
  });
  if (geo.cssW !== STAGE_W + 'px' || geo.cssH !== STAGE_H + 'px' ||
      geo.bitmapW !== STAGE_W * SCALE_FACTOR || geo.bitmapH !== STAGE_H * SCALE_FACTOR) {
    throw new Error('canvas is not 1000 by 700 at scale 2: ' + JSON.stringify(geo));
  }
  return geo;
}

// Starts a game and hard-drops until GAME OVER, or stops after `stopAfter` drops. With
// `spread`, each piece is first moved sideways. Returns the number of drops.
function fill(page, maxDrops, spread, stopAfter = Infinity) {
  return dropUntilOver(page, { maxDrops, stopAfter, beforeDrop: spread && (async (i) => {
    const m = SPREAD[i % SPREAD.length];
    for (let k = 0; k < Math.abs(m); k++) await page.keyboard.press(m < 0 ? 'ArrowLeft' : 'ArrowRight');
  }) });
}

// Faces filled in one frame (three per drawn block): the size of the scene. The prototype
// is patched only now, after the timed frames.
async function facesPerFrame(page) {
  await page.evaluate(() => {
    const P = CanvasRenderingContext2D.prototype;
    const fill = P.fill;
    window.__fills = 0;
    window.__restoreFill = () => { P.fill = fill; };
    P.fill = function (...a) { window.__fills++; return fill.apply(this, a); };
  });
  await waitFrames(page, 1);
  const a = await page.evaluate(() => ({ fills: window.__fills, frames: window.__bench.frames }));
  await waitFrames(page, 5);
  const b = await page.evaluate(() => ({ fills: window.__fills, frames: window.__bench.frames }));
  await page.evaluate(() => window.__restoreFill());
  return Math.round((b.fills - a.fills) / (b.frames - a.frames));
}

// Traces the next `frames` callbacks with Chromium's timeline tracing; returns the wall and
// thread times of the callbacks, in milliseconds.
async function traceFrames(browser, page, frames) {
  const start = await page.evaluate(() => window.__bench.frames);
  await browser.startTracing(page, { categories: ['devtools.timeline'] });
  let waited = null;
  try {
    await page.waitForFunction((t) => window.__bench.frames >= t, start + frames,
      { polling: 200, timeout: 60000 + frames * 1000 });
  } catch (e) {
    waited = e;
  }
  const trace = JSON.parse((await browser.stopTracing()).toString());
  if (waited) throw waited;
  const events = (trace.traceEvents || trace).filter((e) =>
    e.name === 'FireAnimationFrame' && e.ph === 'X' && typeof e.tdur === 'number');
  if (events.length === 0) throw new Error('the trace holds no animation-frame callbacks');
  return {
    wall: summary(events.map((e) => e.dur / 1000)),
    thread: summary(events.map((e) => e.tdur / 1000)),
  };
}

// Times `frames` callbacks of the page as it stands.
async function timeFrames(browser, page, frames, traced) {
  await page.evaluate(() => {
    const B = window.__bench;
    B.times.length = 0;
    B.starts.length = 0;
    B.record = true;
  });
  await page.waitForFunction((n) => window.__bench.times.length >= n, frames,
    { polling: 200, timeout: 60000 + frames * 1000 });  // down to 1 frame/s on a busy machine
  const r = JSON.parse(await page.evaluate(() => {
    const B = window.__bench;
    B.record = false;
    return JSON.stringify({ times: B.times, starts: B.starts, errors: B.errors });
  }));
  if (r.errors.length) throw new Error('page errors: ' + r.errors.join('; '));
  const span = r.starts[r.starts.length - 1] - r.starts[0];
  const framesCounted = r.starts.length;
  const fps = span > 0 ? (framesCounted - 1) / (span / 1000) : 0;
  const faces = await facesPerFrame(page);
  const trace = traced > 0 ? await traceFrames(browser, page, traced) : null;
  return { ...summary(r.times), fps, faces, trace, raw: r.times };
}

function scenario(browser, vp, url, o, { spread, piece, css }) {
  return withPage(browser, vp, o.seed, async (page) => {
    await loadGame(page, url);
    if (css) await page.addStyleTag({ content: css });
    // The frame loop's clock stands still while the well is filled, so gravity never
    // moves a piece between key presses and the same seed always gives the same well.
    await page.evaluate(() => { window.__bench.frozen = window.__bench.lastTs; });
    let drops;
    if (piece) {
      // The game ends at drop `piece`: stop one drop before, and keep the clock frozen
      // so that the last piece stays where it spawned while the frames are timed.
      drops = await fill(page, o.drops, spread, piece - 1);
      const title = await page.evaluate(() => document.getElementById('mTitle').textContent);
      if (title === 'GAME OVER') throw new Error('game ended before the last piece');
    } else {
      drops = await fill(page, o.drops, spread);
      await page.evaluate(() => { window.__bench.frozen = null; });
    }
    // Every frame from now on draws the whole scene; the event wakes the sleeping page.
    await page.evaluate(() => {
      window.__bench.redraw = true;
      window.dispatchEvent(new Event('resize'));
    });
    await waitFrames(page, Math.min(30, o.frames));  // let the dialog and layout settle
    const t = await timeFrames(browser, page, o.frames, o.traced);
    return { drops, ...t };
  });
}

async function firstFrames(browser, vp, url, o) {
  const values = [];
  await withPage(browser, vp, o.seed, async (page) => {
    for (let i = 0; i < o.loads; i++) {
      await page.goto(url);
      await page.waitForFunction(() => window.__bench.firstEnd !== null, null,
        { polling: 20, timeout: 30000 });
      values.push(await page.evaluate(() => window.__bench.firstEnd));
    }
  });
  return { first: values[0], ...summary(values), raw: values };
}

/**
 * Measures the page `html` (bytes, as the page route writes it), served with the scores
 * reply `scores`. o: frames (callbacks timed per scene), traced (callbacks traced), loads
 * (first-frame loads), drops (the most hard drops to GAME OVER), seed, and scenes: "basic"
 * (a quick check) runs only the first scene and the first-frame loads.
 */
export async function measurePage(html, scores, o) {
  o = { drops: 300, seed: 20240607, ...o };
  const server = await startStandIn({ page: html, headers: ISOLATION });
  server.reply = () => ({ body: scores });
  const url = server.url('/plugin_pentra_3d');
  const browser = await launchChromium();
  const result = { pageBytes: html.length, pageGzipBytes: gzipSync(html, { level: 9 }).length };
  try {
    const vp = await fitViewport(browser, url, o.seed);
    result.viewport = vp;
    result.browser = browser.version();
    result.firstFrame = await firstFrames(browser, vp, url, o);
    result.gameOver = await scenario(browser, vp, url, o, { spread: false });
    if (o.scenes !== 'basic') {
      result.gameOverSpread = await scenario(browser, vp, url, o, { spread: true });
      result.pieceSpread = await scenario(browser, vp, url, o,
        { spread: true, piece: result.gameOverSpread.drops });
      // Diagnostic: the same well with the page's backdrop blurs switched off, to tell the
      // cost of the compositor (software, no GPU here) from that of the frame callback.
      result.gameOverSpreadNoBlur = await scenario(browser, vp, url, o,
        { spread: true, css: NO_BLUR });
    }
    result.requests = server.counts;
  } finally {
    await browser.close();
    await server.close();
  }
  for (const k of ['gameOver', 'gameOverSpread', 'pieceSpread', 'gameOverSpreadNoBlur', 'firstFrame']) {
    if (result[k]) delete result[k].raw;
  }
  return result;
}

// The results as Markdown tables.
export function pageMarkdown(r) {
  const f = (v) => v.toFixed(2);
  const rows = [
    ['game over, hard drops only', r.gameOver, true],
    ['game over, pieces spread across the well', r.gameOverSpread, true],
    ['piece falling in the nearly full spread well', r.pieceSpread, true],
    ['diagnostic: as the row above it but one, backdrop blurs switched off', r.gameOverSpreadNoBlur, false],
  ].filter((row) => row[1]);
  const traced = rows.filter((row) => row[1].trace);
  return section('## 2. The page in headless Chromium',
    `Chromium ${r.browser}, software rendering (--disable-gpu); viewport ${r.viewport.width} x ${r.viewport.height}, ` +
    'deviceScaleFactor 2, so #stage and the canvas are 1000 x 700 CSS pixels (2000 x 1400 backing store).\n\n' +
    'Time per animation-frame callback, measured in the page with performance.now() around each callback:',
    ['scene', 'drops', 'faces drawn per frame', 'callbacks timed', 'median (ms)', 'p95 (ms)', 'p99 (ms)', 'max (ms)',
      'frames/s seen', 'target p95 < 4 ms', 'met'],
    ['---', '---:', '---:', '---:', '---:', '---:', '---:', '---:', '---:', '---:', '---'],
    rows.map(([name, s, target]) => [name, s.drops, s.faces, s.n, f(s.median), target ? `**${f(s.p95)}**` : f(s.p95),
      f(s.p99), f(s.max), s.fps.toFixed(1), target ? '< 4' : '(not a target)',
      !target ? '' : s.p95 < 4 ? 'yes' : `no, ${((s.p95 / 4 - 1) * 100).toFixed(0)}% above`])) +
    (traced.length ? section(null,
      "The same scenes right afterwards, from Chromium's trace (FireAnimationFrame events): wall time, and the main thread's CPU time within it:",
      ['scene', 'callbacks traced', 'wall median (ms)', 'wall p95 (ms)', 'CPU median (ms)', 'CPU p95 (ms)', 'CPU p99 (ms)'],
      ['---', '---:', '---:', '---:', '---:', '---:', '---:'],
      traced.map(([name, { trace: { wall, thread } }]) => [name, wall.n, f(wall.median), f(wall.p95), f(thread.median),
        f(thread.p95), f(thread.p99)])) : '') +
    section(null, null, ['page', 'value'], ['---', '---:'], [
      ['size of the page (bytes, as served)', r.pageBytes],
      ['size gzip -9 (bytes, for reference; the host sends it uncompressed)', r.pageGzipBytes],
      [`navigation to end of first frame callback, median of ${r.firstFrame.n} loads (ms)`, f(r.firstFrame.median)],
      ['the same, first (cold) load (ms)', f(r.firstFrame.first)],
      ['the same, fastest / slowest load (ms)', `${f(r.firstFrame.min)} / ${f(r.firstFrame.max)}`],
    ]);
}
