// The 3D view: canvas sizing, the camera, the well's outline, blocks, ghost
// and drawing order, observed through recorded canvas calls.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as H from './harness.mjs';
import { SHAPE, COLS, DEPTH, EDGES, project, rotPoint, shadeHex, cellsOf } from './model.mjs';

let server, browser;
H.useBrowser((s) => ({ server, browser } = s), { tab: false });

const close = (p, q, what) => {
  assert.ok(Math.abs(p[0] - q[0]) < 0.01 && Math.abs(p[1] - q[1]) < 0.01, `${what}: got ${p}, want ${q}`);
};

// Line widths come back from the canvas as single-precision numbers.
const round = (v) => Math.round(v * 1e6) / 1e6;

async function stageBox(page) {
  return page.evaluate(() => {
    const r = document.getElementById('stage').getBoundingClientRect();
    const cv = document.getElementById('cv');
    return { w: r.width, h: r.height, cssW: cv.style.width, cssH: cv.style.height, bw: cv.width, bh: cv.height };
  });
}

// The canvas size in CSS pixels for a stage box: whole pixels, at least 120 by 160.
const canvasSize = (b) => [Math.max(120, Math.floor(b.w)), Math.max(160, Math.floor(b.h))];

// For each canvas: its box in CSS pixels and its backing store, [width, height, width, height].
const canvasBoxes = (page, ids) => page.evaluate((list) => list.map((id) => {
  const c = document.getElementById(id);
  const r = c.getBoundingClientRect();
  return [r.width, r.height, c.width, c.height];
}), ids);

async function resizeTo(page, width, height) {
  const before = await stageBox(page);
  await page.setViewportSize({ width, height });
  const want = canvasSize(await stageBox(page)).map((v) => `${v}px`);
  if (want[0] !== before.cssW || want[1] !== before.cssH) {
    await H.waitFor(page, (w) => {
      const cv = document.getElementById('cv');
      return cv.style.width === w[0] && cv.style.height === w[1];
    }, want);
  }
}

test('the well outline on a 400 by 600 canvas falls on the camera\'s corners, drawn before any block', H.LIMIT, () => H.inTab(browser, server, { viewport: { width: 562, height: 900 } }, async (page) => {
  const b0 = await stageBox(page);
  await resizeTo(page, 562 + 400 - Math.floor(b0.w), 900 + 600 - Math.floor(b0.h));
  const box = await stageBox(page);
  assert.deepEqual([box.cssW, box.cssH, box.bw, box.bh], ['400px', '600px', 400, 600], 'canvas takes the stage box, border included');

  const table = [
    [78.96, 62.17], [297.00, 83.77], [268.98, 532.80], [108.85, 451.50],
    [127.52, 55.38], [336.24, 73.55], [299.50, 495.51], [144.39, 423.96],
  ];
  await H.play(page, ['TIJLOSZ']);
  const sc = await H.scene(page);
  const r = sc.recs;
  assert.equal(r[0].k, 'c', 'a frame begins by clearing');
  assert.deepEqual(r[0].r, [0, 0, 400, 600]);
  const strokes = r.filter((x) => x.k === 's');
  EDGES.forEach(([a, b], i) => {
    const s = strokes[i];
    assert.equal(s.p.length, 2, `edge ${a}-${b} is one line`);
    close(s.p[0], table[a], `edge ${a}-${b} start`);
    close(s.p[1], table[b], `edge ${a}-${b} end`);
    assert.deepEqual([s.s, s.a, s.w], ['rgba(255, 255, 255, 0.2)', 1, 1], `edge ${a}-${b} style`);
  });
  const grid = strokes.slice(12, 23);
  const gridLines = [];
  for (let gx = 1; gx < COLS; gx++) gridLines.push([[gx, 0, 0], [gx, 0, DEPTH]]);
  for (let gz = 1; gz < DEPTH; gz++) gridLines.push([[0, 0, gz], [COLS, 0, gz]]);
  gridLines.forEach(([p, q], i) => {
    close(grid[i].p[0], project(...p, 400, 600), `floor line ${i} start`);
    close(grid[i].p[1], project(...q, 400, 600), `floor line ${i} end`);
    assert.deepEqual([grid[i].s, grid[i].a, grid[i].w], ['rgba(255, 255, 255, 0.2)', 0.5, 1], `floor line ${i} style`);
  });
  const firstFill = r.findIndex((x) => x.k === 'f');
  assert.ok(firstFill > r.indexOf(grid[10]), 'outline before blocks');
  assert.equal(r[firstFill].a, 1, 'alpha back to 1 after the floor grid');
}));

test('blocks show three shaded faces, ghosts are outlines, everything is drawn far to near', H.LIMIT, () => H.inTab(browser, server, {}, async (page) => {
  await H.play(page, ['ITJLOSZ'], ['Enter', ' ', ...Array(16).fill('s')]);
  const sc = await H.scene(page);
  const { W, H: Ht } = sc;
  const I = SHAPE.I, T = SHAPE.T;

  // The locked I: faces 1, 3, 4 (bottom, front, right), each filled then outlined.
  const P = (x, y, z) => project(x, y, z, W, Ht);
  const faces = [
    [(x, y) => [P(x, y, 0), P(x, y, DEPTH), P(x + 1, y, DEPTH), P(x + 1, y, 0)], 0.55],
    [(x, y) => [P(x, y, 0), P(x, y + 1, 0), P(x + 1, y + 1, 0), P(x + 1, y, 0)], 0.64],
    [(x, y) => [P(x + 1, y, 0), P(x + 1, y + 1, 0), P(x + 1, y + 1, DEPTH), P(x + 1, y, DEPTH)], 0.74],
  ];
  const r = sc.recs;
  for (const [x, y] of cellsOf(I.b, 3, 0)) {
    const near = (a, b) => Math.hypot(a[0] - b[0], a[1] - b[1]) < 0.01;
    const at = r.findIndex((e) => e.k === 'f' && e.p.length === 4 && near(e.p[0], P(x, y, 0)) && near(e.p[1], P(x, y, DEPTH)));
    assert.ok(at >= 0, `cell ${x},${y} drawn`);
    faces.forEach(([corners, k], i) => {
      const fill = r[at + 2 * i];
      const line = r[at + 2 * i + 1];
      assert.equal(fill.k, 'f', `cell ${x},${y} face ${i} filled`);
      assert.equal(fill.s, shadeHex(I.c, k), `cell ${x},${y} face ${i} shade`);
      corners(x, y).forEach((q, j) => close(fill.p[j], q, `cell ${x},${y} face ${i} corner ${j}`));
      assert.deepEqual([line.k, line.s, round(line.w), line.a], ['s', 'rgba(0, 0, 0, 0.32)', 0.8, 1], `cell ${x},${y} face ${i} outline`);
    });
  }

  // The T one row above its landing place: live and ghost share a cell.
  const live = cellsOf(T.b, 3, 2);
  const ghost = cellsOf(T.b, 3, 1);
  assert.equal(H.cellText(sc.filled.filter((c) => c[2] === 'T')), H.cellText(live.map((c) => [...c, 'T'])));
  assert.equal(H.cellText(sc.ghosts), H.cellText(ghost.map((c) => [...c, 'T'])));
  const ghostStrokes = r.filter((e) => e.k === 's' && Math.abs(e.a - 0.42) < 1e-6);
  assert.equal(ghostStrokes.length, 12, 'three outlined faces per ghost cell');
  for (const g of ghostStrokes) assert.deepEqual([g.s, round(g.w)], [T.c, 1.1]);
  assert.ok(!r.some((e) => e.k === 'f' && e.a !== 1), 'nothing filled with ghost alpha');

  // Draw order: every block's centre no nearer than the next one's.
  const order = [];
  for (const e of r) {
    const { filled, ghosts } = H.parseScene([e], W, Ht);
    const c = filled[0] || ghosts[0];
    if (c) order.push({ c, ghost: !filled.length, d: rotPoint(c[0] + 0.5, c[1] + 0.5, DEPTH / 2)[2] + (filled.length ? 0.01 : -0.01) });
  }
  assert.equal(order.length, 4 + 4 + 4, 'one front face per block');
  for (let i = 1; i < order.length; i++) assert.ok(order[i - 1].d >= order[i].d - 1e-9, `far to near at ${i}: ${JSON.stringify(order)}`);
  const shared = order.findIndex((o) => o.ghost && o.c[0] === 4 && o.c[1] === 2);
  const sharedLive = order.findIndex((o) => !o.ghost && o.c[0] === 4 && o.c[1] === 2);
  assert.ok(sharedLive >= 0 && shared > sharedLive, 'the ghost outline goes over the live block it shares a cell with');
}));

test('sizing: the canvas follows the stage box with a floor of 120 by 160, and the pixel ratio is capped at 2', H.LIMIT, () => H.inTab(browser, server, { deviceScaleFactor: 3, viewport: { width: 700, height: 640 } }, async (page) => {
  const check = async (why) => {
    const b = await stageBox(page);
    const [W, Ht] = canvasSize(b);
    assert.deepEqual([b.cssW, b.cssH, b.bw, b.bh], [`${W}px`, `${Ht}px`, 2 * W, 2 * Ht], why);
    return [W, Ht];
  };
  const [W, Ht] = await check('700 by 640');
  await H.play(page, ['OIJLSTZ']);
  const sc = await H.scene(page);
  assert.deepEqual([sc.recs[0].k, sc.recs[0].r, sc.recs[0].m], ['c', [0, 0, 2 * W, 2 * Ht], [1, 0, 0, 1, 0, 0]], 'clears the whole backing store');
  assert.equal(H.cellText(sc.filled), H.cellText(cellsOf(SHAPE.O.b, 4, 18, 'O')), 'drawing in CSS pixels');
  const [[w, h, bw, bh]] = await canvasBoxes(page, ['cvNext']);
  assert.deepEqual([bw, bh], [Math.floor(Math.max(40, Math.floor(w)) * 2), Math.floor(Math.max(30, Math.floor(h)) * 2)], 'preview at ratio 2');

  await resizeTo(page, 220, 250);
  const small = await check('a stage smaller than the floor');
  assert.deepEqual(small, [120, 160]);
  await resizeTo(page, 640, 481);
  await check('back to a large stage');
}));

test('the outline colour follows the theme at the next frame', H.LIMIT, () => H.inTab(browser, server, { colorScheme: 'light', storage: {} }, async (page) => {
  const outline = async () => (await H.scene(page)).recs.find((e) => e.k === 's').s;
  assert.equal(await outline(), 'rgba(20, 20, 26, 0.22)', 'light system, no forced theme');
  // The system switches while the loop sleeps: the well is redrawn in the other colours.
  for (const [scheme, colour] of [['dark', 'rgba(255, 255, 255, 0.2)'], ['light', 'rgba(20, 20, 26, 0.22)']]) {
    assert.equal(await H.frames(page, 3, 16), 0, 'asleep');
    await page.emulateMedia({ colorScheme: scheme });
    await H.waitFor(page, () => window.__frames(0, 0) > 0);
    assert.equal(await outline(), colour, `the system turned ${scheme}`);
  }
  await page.click('#btnTheme');
  assert.equal(await outline(), 'rgba(255, 255, 255, 0.2)', 'forced dark on a light system');
  await page.emulateMedia({ colorScheme: 'dark' });
  await page.click('#btnTheme');
  assert.equal(await outline(), 'rgba(20, 20, 26, 0.22)', 'forced light on a dark system');
}));

test('after each step of a seeded game the canvas holds what a full redraw draws, pixel for pixel', H.LIMIT, () => H.inTab(browser, server, { colorScheme: 'light', storage: {} }, async (page) => {
  await H.setBags(page, ['TIJLOSZ', 'OSZTJIL', 'ZLSIOJT', 'IOJLTSZ']);
  const hash = () => page.evaluate(() => {
    const c = document.getElementById('cv');
    const d = new Int32Array(c.getContext('2d').getImageData(0, 0, c.width, c.height).data.buffer);
    let h = -2128831035;
    for (let i = 0; i < d.length; i++) h = Math.imul(h ^ d[i], 16777619);
    return h;
  });
  const click = (id) => page.evaluate((i) => document.getElementById(i).click(), id);
  const steps = [['Enter'], ['a', 'a'], ['w'], ['s'], () => H.frames(page, 8, 100), [' '], ['c'], ['d', 'z'], [' '], ['p'],
    async () => {
      await page.emulateMedia({ colorScheme: 'dark' });
      await H.waitFor(page, () => matchMedia('(prefers-color-scheme: dark)').matches);
    },
    () => click('btnTheme'), () => click('mBtn'), () => resizeTo(page, 640, 520), ['Escape'], ['Escape'],
    ...Array(40).fill([' '])];
  for (const [i, step] of steps.entries()) {
    await (Array.isArray(step) ? H.keys(page, step) : step());
    await H.frames(page, 2, 16);
    const shown = await hash();
    await H.frames(page, 1, 0, true);
    assert.equal(shown, await hash(), `step ${i}`);
    if ((await H.dialog(page)).title === 'GAME OVER') break;
  }
  assert.equal((await H.dialog(page)).title, 'GAME OVER');
}));

test('previews: the piece centred in whole cells, matrix row 0 at the bottom, body and highlight colours', H.LIMIT, () => H.inTab(browser, server, {}, async (page) => {
  await H.play(page, ['JOILSTZ']);
  const recs = await H.recordDuring(page, 'window.__keys(["c"])');
  assert.deepEqual(await canvasBoxes(page, ['cvHold', 'cvNext']), [[110, 66, 110, 66], [110, 150, 110, 150]], 'preview boxes of the normal layout');
  const squares = (id, c, k) => recs.filter((e) => e.id === id && e.k === 'r' && e.s === shadeHex(c, k)).map((e) => e.r.map(round));
  // The held J in 110 by 66: cells of 29, box corner at (11.5, 4); its
  // single-cell row 0 is the bottom row of the picture.
  const J = SHAPE.J.c;
  const jCells = [[11.5, 33], [11.5, 4], [40.5, 4], [69.5, 4]];
  assert.deepEqual(squares('cvHold', J, 0.95), jCells.map(([x, y]) => [x + 1, y + 1, 27, 27]));
  assert.deepEqual(squares('cvHold', J, 1.22), jCells.map(([x, y]) => [x + 1, y + 1, 27, round(0.22 * 29)]));
  // The next I in 110 by 150: cells of 25.5, corner at (4, 62.25).
  const I = SHAPE.I.c;
  assert.equal(shadeHex(I, 0.95), '#20c8e2');
  assert.equal(shadeHex(I, 1.22), '#29ffff');
  const iCells = [0, 1, 2, 3].map((i) => [4 + 25.5 * i, 62.25]);
  const next = squares('cvNext', I, 0.95);
  assert.deepEqual(next.slice(-4), iCells.map(([x, y]) => [x + 1, y + 1, 23.5, 23.5]));
  assert.deepEqual(squares('cvNext', I, 1.22).slice(-4), iCells.map(([x, y]) => [x + 1, y + 1, 23.5, round(0.22 * 25.5)]));
}));

// --- backdrop blurs and the frame rate ---------------------------------------
// The page watches the interval from each frame that draws (a resize event
// makes a frame draw, and so do the game's own changes) to the next frame,
// and drops the backdrop blurs it cannot afford: first those of the stage,
// cards and buttons (over the flat page background, they show nothing), then
// the overlay's.

const DECLARED = { stage: 'blur(16px)', cards: 'blur(14px)', iconbtns: 'blur(14px)', pbtns: 'blur(14px)', overlay: 'blur(8px)' };
const NO_BLUR = { stage: 'none', cards: 'none', iconbtns: 'none', pbtns: 'none', overlay: 'none' };
const UNSEEN_OFF = { ...NO_BLUR, overlay: DECLARED.overlay };
// Under PENTRA_PAGE_SLOW the harness loads every page already adapted.
const fresh = { ...H.LIMIT, skip: !!process.env.PENTRA_PAGE_SLOW && 'pages load with their blurs dropped' };

// The blurs in effect: one value per group when all of its elements agree.
async function blurs(page) {
  return page.evaluate(() => {
    const of = (sel) => {
      const v = [...new Set([...document.querySelectorAll(sel)].map((e) => getComputedStyle(e).backdropFilter))];
      return v.length === 1 ? v[0] : v.join(' / ');
    };
    return { stage: of('#stage'), cards: of('.card'), iconbtns: of('.iconbtn'), pbtns: of('.pbtn'), overlay: of('#overlay') };
  });
}

// The style sheet as declared and as the browser holds it.
const sheet = (page) => page.evaluate(() => document.querySelector('style').textContent + '\n' +
  [...document.styleSheets].map((s) => [...s.cssRules].map((r) => r.cssText).join('\n')).join('\n'));

// Hands out frames `step` ms apart, each drawn, one at a time, until the
// blurs change or `max` frames; returns how many it took (0: no change).
async function framesUntilChange(page, step, max) {
  const before = JSON.stringify(await blurs(page));
  for (let i = 1; i <= max; i++) {
    await H.frames(page, 1, step, true);
    if (JSON.stringify(await blurs(page)) !== before) return i;
  }
  return 0;
}

// Frames `step` ms apart, each drawn: the unseen blurs go after lo to hi of
// them, the overlay's after as many more (each waited for `max` frames at most).
async function dropsInTwoSteps(page, step, [lo, hi], max) {
  const first = await framesUntilChange(page, step, max);
  assert.ok(first >= lo && first <= hi, `unseen blurs dropped after ${first} frames ${step} ms apart`);
  assert.deepEqual(await blurs(page), UNSEEN_OFF, 'the overlay keeps its blur a while');
  const second = await framesUntilChange(page, step, max);
  assert.ok(second >= lo && second <= hi, `overlay's blur dropped ${second} frames later`);
  assert.deepEqual(await blurs(page), NO_BLUR);
}

test('frames 1/60 s apart keep every blur; 100 ms apart drop the unseen ones after a handful, the overlay\'s a handful later, for good', fresh, () => H.inTab(browser, server, {}, async (page) => {
  const declared = await sheet(page);
  await H.frames(page, 1, 0);
  await H.frames(page, 300, 1000 / 60, true);
  assert.deepEqual(await blurs(page), DECLARED, 'five seconds at 60 fps');
  assert.equal(await page.evaluate(() => document.documentElement.hasAttribute('data-blur')), false);

  const shown = await page.evaluate(() => window.__hudMutations);
  await dropsInTwoSteps(page, 100, [3, 5], 30);

  await H.frames(page, 300, 1000 / 60, true);
  assert.deepEqual(await blurs(page), NO_BLUR, 'fast frames again: no blur comes back');
  assert.equal(await sheet(page), declared, 'the style sheet is never edited');
  assert.deepEqual(await H.dialog(page), H.READY);
  assert.equal(await page.evaluate(() => window.__hudMutations), shown, 'nothing shown about it');
}));

test('frames 400 ms apart count as slow; an interval across a change of visibility and one more than a second do not', fresh, () => H.inTab(browser, server, {}, async (page) => {
  await H.frames(page, 1, 0);
  // Each second: six frames 1/60 s apart, then one 900 ms later after the
  // tab was hidden and shown again. Counted, that second would be slow.
  for (let i = 0; i < 6; i++) {
    await H.frames(page, 6, 1000 / 60, true);
    await page.evaluate(() => {
      document.dispatchEvent(new Event('visibilitychange'));
      document.dispatchEvent(new Event('visibilitychange'));
    });
    await H.frames(page, 1, 900, true);
  }
  assert.deepEqual(await blurs(page), DECLARED, 'pauses of a hidden tab');
  for (let i = 0; i < 6; i++) {
    await H.frames(page, 6, 1000 / 60, true);
    await H.frames(page, 1, 1200, true);
  }
  assert.deepEqual(await blurs(page), DECLARED, 'frames more than a second late');

  await dropsInTwoSteps(page, 400, [3, 5], 10);
}));

// Plays the game started at once after load for at most `ms` of frame time, as
// the browser would hand out its frames: each one `afterDrawn` ms after a
// frame that drew, `afterIdle` ms after one that drew nothing. Stops when the
// blurs change; returns the ms played and the frames drawn by then.
async function pace(page, afterDrawn, afterIdle, ms) {
  await H.frames(page, 1, 0);
  await H.play(page, ['TIJLOSZ']);
  return page.evaluate(([a, b, limit]) => {
    const out = { ms: 0, drawn: 0 };
    let step = b;
    while (out.ms < limit && !document.documentElement.hasAttribute('data-blur')) {
      const shown = window.__shown;
      window.__frames(1, step);
      out.ms += step;
      const drew = window.__shown !== shown;
      if (drew) out.drawn++;
      step = drew ? a : b;
    }
    return out;
  }, [afterDrawn, afterIdle, ms]);
}

test('a game left to gravity drops the unseen blurs within 5 s when each drawn frame is followed by 250 ms; not when the frames that drew nothing are slow, nor at 60 Hz', fresh, async () => {
  const play = async (a, b, ms) => {
    let out;
    await H.inTab(browser, server, {}, async (page) => {
      out = { ...await pace(page, a, b, ms), blurs: await blurs(page) };
    });
    return out;
  };
  const slowDrawn = await play(250, 1000 / 60, 5000);
  assert.deepEqual(slowDrawn.blurs, UNSEEN_OFF, `after ${JSON.stringify(slowDrawn)}`);
  assert.ok(slowDrawn.drawn >= 3, `a handful of drawn frames, not one: ${slowDrawn.drawn}`);
  const slowIdle = await play(1000 / 60, 400, 20000);
  assert.deepEqual(slowIdle.blurs, DECLARED, 'slow frames that drew nothing');
  assert.ok(slowIdle.drawn >= 6, `gravity drew ${slowIdle.drawn} frames`);
  assert.deepEqual((await play(1000 / 60, 1000 / 60, 12000)).blurs, DECLARED, '60 Hz');
});

test('the same game before and after the unseen blurs go differs by at most 2/255 per pixel, in both themes', fresh, async (t) => {
  const bags = ['TIJLOSZ', 'OSZTJIL'];
  const play = ['Enter', ' ', 'a', 'a', ' ', 'c', 'd', 'w', ' ', 's', 's'];
  for (const colorScheme of ['dark', 'light']) {
    await H.inTab(browser, server, { colorScheme, deviceScaleFactor: 2, viewport: { width: 1000, height: 700 } }, async (page) => {
      await H.play(page, bags, play);
      await H.frames(page, 1, 0);
      const before = await page.screenshot();
      assert.deepEqual(await blurs(page), DECLARED, colorScheme);

      // Slow frames until the unseen blurs go, then the same game again.
      assert.ok(await framesUntilChange(page, 100, 30) > 0, `${colorScheme}: blurs dropped`);
      assert.deepEqual(await blurs(page), UNSEEN_OFF, colorScheme);
      await H.setBags(page, bags);
      await page.evaluate(() => document.getElementById('btnRestart').click());
      await H.keys(page, play.slice(1));
      await H.frames(page, 1, 0);
      const after = await page.screenshot();

      // Within the stage; and outside it, where the cards' and buttons' edges
      // may differ on a few dozen pixels.
      const diff = await page.evaluate(async ([a, b]) => {
        const pixels = async (b64) => {
          const img = await createImageBitmap(await (await fetch('data:image/png;base64,' + b64)).blob());
          const c = new OffscreenCanvas(img.width, img.height);
          const g = c.getContext('2d');
          g.drawImage(img, 0, 0);
          return g.getImageData(0, 0, img.width, img.height);
        };
        const pa = await pixels(a);
        const pb = await pixels(b);
        const r = document.getElementById('stage').getBoundingClientRect();
        const k = devicePixelRatio;
        const inStage = (x, y) => x >= r.left * k && x < r.right * k && y >= r.top * k && y < r.bottom * k;
        const out = { stage: 0, rest: 0, restAbove2: 0, size: [pa.width, pa.height, pb.width, pb.height] };
        for (let i = 0; i < pa.data.length; i += 4) {
          let d = 0;
          for (let j = 0; j < 3; j++) d = Math.max(d, Math.abs(pa.data[i + j] - pb.data[i + j]));
          if (inStage((i / 4) % pa.width, Math.floor(i / 4 / pa.width))) {
            out.stage = Math.max(out.stage, d);
          } else {
            out.rest = Math.max(out.rest, d);
            if (d > 2) out.restAbove2++;
          }
        }
        return out;
      }, [before.toString('base64'), after.toString('base64')]);
      t.diagnostic(`${colorScheme}: ${JSON.stringify(diff)}`);
      assert.deepEqual(diff.size, [2000, 1400, 2000, 1400]);
      assert.ok(diff.stage <= 2 && diff.restAbove2 <= 200, `${colorScheme}: ${JSON.stringify(diff)}`);
    });
  }
});

test('a system that asks for less transparency gets no blurs from the start', H.LIMIT, () => H.inTab(browser, server, { load: false }, async (page) => {
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Emulation.setEmulatedMedia', {
    features: [{ name: 'prefers-reduced-transparency', value: 'reduce' }, { name: 'prefers-color-scheme', value: 'dark' }],
  });
  await H.load(page, server);
  assert.deepEqual(await blurs(page), NO_BLUR);
  await H.frames(page, 60, 1000 / 60);
  assert.deepEqual(await blurs(page), NO_BLUR);
}));
