// The game page's presented frame rate, in headless Chromium with software compositing
// (--disable-gpu, driven by playwright-core) and in headless Firefox ESR (driven by
// puppeteer-core over WebDriver BiDi), at four window sizes, during play with the piece
// moved on every frame (so that every frame draws) and with the READY dialog up. Each case runs side by side in one run with the same page in two more forms:
// with every backdrop blur removed by an injected style sheet (the rate the page could
// reach on this machine at that moment), and with every blur kept as declared, pinned by
// inline styles (the page as it was before it watched its frame rate). The page's own
// script is never changed.
//
// The rate is counted from the timestamps of animation frames (a counter of our own,
// requested alongside the page's frame loop, one callback per frame), over the seconds
// after the first WARM seconds: the page watches its own frame rate and drops blurs it
// cannot afford within its first seconds, and the target is judged on what follows.
// The page's data-blur attribute on the root is watched too, to tell when and at what rate
// it dropped which blurs.
//
// Target at each size and scene: the page as served runs at 50 frames a second or more, or
// at 0.9 or more of the rate without blurs. Check: where the page with its blurs pinned runs
// at 50 or more, the page as served kept every blur; where it runs below 50 and below 0.9 of
// the rate without blurs, the page as served dropped some.
//
// bench.mjs calls measureFrameRate and writes what it returns, and frameRateMarkdown's table.

import { sleep } from '../host/processes.mjs';
import { chromiumTabs, firefoxTabs } from '../tests/lib/browsers.mjs';
import { NO_BLUR } from '../tests/lib/page_script.mjs';
import { inFreshTab, mean, section, sideBySide } from './side_by_side.mjs';

const SIZES = [
  { name: '1000×700, ratio 2', width: 1000, height: 700, ratio: 2 },
  { name: '1280×720', width: 1280, height: 720, ratio: 1 },
  { name: '1920×1080', width: 1920, height: 1080, ratio: 1 },
  { name: '390×844, ratio 3', width: 390, height: 844, ratio: 3 },
];
const BUSY = 'playing, piece moved every frame';
const SCENES = [BUSY, 'READY dialog up'];
const TARGET_FPS = 50;
const TARGET_RATIO = 0.9;
const VARIANTS = ['served', 'declared', 'noBlur'];

// Runs in the page: counts frames from their timestamps and notes each change of data-blur.
// Once `busy` is set, every frame also moves the piece one column, right and left by turns.
function installCounter() {
  const F = { t0: performance.now(), ts: [], blur: [], busy: false, moves: 0 };
  window.__fr = F;
  const tick = (ts) => {
    F.ts.push(ts);
    if (F.busy) {
      const key = F.moves++ % 2 ? 'ArrowLeft' : 'ArrowRight';
      document.dispatchEvent(new KeyboardEvent('keydown', { key, bubbles: true, cancelable: true }));
    }
    requestAnimationFrame(tick);
  };
  requestAnimationFrame(tick);
  new MutationObserver(() => {
    F.blur.push({ level: document.documentElement.getAttribute('data-blur'), t: performance.now() });
  }).observe(document.documentElement, { attributes: true, attributeFilter: ['data-blur'] });
  return document.documentElement.getAttribute('data-blur');
}

// Frames per second over the timestamps within [from, to] (ms).
function rate(ts, from, to) {
  const inside = ts.filter((t) => t >= from && t <= to);
  if (inside.length < 2) return 0;
  return (inside.length - 1) / ((inside[inside.length - 1] - inside[0]) / 1000);
}

// Runs in the page before it drops any blur: pins every backdrop blur in effect.
function pinBlurs() {
  for (const e of document.querySelectorAll('*')) {
    const v = getComputedStyle(e).backdropFilter;
    if (v && v !== 'none') {
      e.style.setProperty('backdrop-filter', v, 'important');
      e.style.setProperty('-webkit-backdrop-filter', v, 'important');
    }
  }
}

// One measurement: the page at one size, in one scene, in one of the VARIANTS.
function measure(driver, url, size, scene, variant, o) {
  return inFreshTab(driver, size, url, async (page) => {
    const initial = await page.evaluate(installCounter);
    if (initial !== null) throw new Error('data-blur set before the page ran a frame: ' + initial);
    if (variant === 'noBlur') await page.addStyleTag({ content: NO_BLUR });
    if (variant === 'declared') await page.evaluate(pinBlurs);
    if (scene === BUSY) {
      await page.keyboard.press('Enter');
      await page.evaluate(() => { window.__fr.busy = true; });
    }
    await sleep((o.warm + o.count) * 1000);
    const r = JSON.parse(await page.evaluate(() => {
      const cs = (id) => getComputedStyle(document.getElementById(id));
      return JSON.stringify({ ...window.__fr, now: performance.now(),
        dialog: document.getElementById('overlay').classList.contains('on'),
        title: document.getElementById('mTitle').textContent,
        stageBlur: cs('stage').backdropFilter, overlayBlur: cs('overlay').backdropFilter });
    }));
    if (r.dialog !== (scene !== BUSY) || (scene !== BUSY && r.title !== 'READY')) {
      throw new Error(`${scene}: the dialog is ${r.dialog ? 'up (' + r.title + ')' : 'down'}`);
    }
    const from = r.t0 + o.warm * 1000;
    const fps = rate(r.ts, from, r.now);
    if (fps <= 0) throw new Error(`${driver.name} ${size.name} ${scene}: no frames counted`);
    // The rate over each stretch that ended with a drop of blurs.
    const drops = [];
    let start = r.t0;
    for (const b of r.blur) {
      drops.push({ level: b.level, at: (b.t - r.t0) / 1000, fpsBefore: rate(r.ts, start, b.t) });
      start = b.t;
    }
    return { fps, frames: r.ts.filter((t) => t >= from).length, drops, stageBlur: r.stageBlur,
      overlayBlur: r.overlayBlur };
  });
}

/**
 * Measures the frame rate of the page at `url` (a stand-in's, dark theme). With `smoke`,
 * one size with shorter counts, only to check that every part works.
 */
export async function measureFrameRate(url, smoke) {
  // Seconds: left to the page before counting, then counted.
  const o = smoke ? { warm: 2.5, count: 1.5, rounds: 1, sizes: SIZES.slice(0, 1) }
    : { warm: 5, count: 5, rounds: 2, sizes: SIZES };
  const cases = o.sizes.flatMap((size) => SCENES.map((scene) => ({ size: size.name, scene })));
  return { warmSeconds: o.warm, countSeconds: o.count, rounds: o.rounds,
    ...await sideBySide([chromiumTabs, firefoxTabs], cases, {
      forms: VARIANTS,
      rounds: o.rounds,
      // The three forms in an order rotated from case to case.
      order: (k) => VARIANTS.map((_, i) => VARIANTS[(i + k) % VARIANTS.length]),
      measure: (driver, c, v) => measure(driver, url, SIZES.find((s) => s.name === c.size), c.scene, v, o),
      judge,
      say: (c) => `frame_rate: ${c.browser} ${c.size} ${c.scene}: ` +
        VARIANTS.map((v) => c.fps[v].toFixed(1)).join(' / ') + ' fps',
    }) };
}

// Judged on the mean rate of each form over the rounds; the check holds in every round.
function judge(c) {
  c.fps = {};
  for (const v of VARIANTS) c.fps[v] = mean(c.runs[v].map((m) => m.fps));
  const s = c.fps.served;
  const d = c.fps.declared;
  c.ratio = s / c.fps.noBlur;
  c.met = s >= TARGET_FPS || c.ratio >= TARGET_RATIO;
  c.want = d >= TARGET_FPS ? 'keep' : d / c.fps.noBlur < TARGET_RATIO ? 'drop' : 'either';
  c.adaptedRight = c.runs.served.every((m) => c.want === 'keep' ? m.drops.length === 0
    : c.want === 'drop' ? m.drops.length > 0 : true);
  return c;
}

// The results as a Markdown table.
export function frameRateMarkdown(r) {
  const o = { count: r.countSeconds, warm: r.warmSeconds, rounds: r.rounds };
  const f = (v) => v.toFixed(1);
  const dropped = (m) => m.drops.length
    ? m.drops.map((d) => `${d.level} ${d.at.toFixed(1)} s (${f(d.fpsBefore)})`).join(', ')
    : 'kept all';
  return section('## 2b. Frame rate, with and without the backdrop blurs',
    `Chromium ${r.browsers.Chromium} (headless, --disable-gpu) and Firefox ${r.browsers.Firefox} (headless); ` +
    `frames counted from their timestamps over ${o.count} s after the first ${o.warm} s of each page; each row's three ` +
    `forms of the page side by side in this run, ${o.rounds} round(s), rates averaged. "data-blur" gives, per round, ` +
    'when the page set it ("less": stage, cards and buttons; "none": the overlay too) after load, and the rate counted ' +
    'before it. Target: as served ≥ 50 fps, or ≥ 0.9 of the rate without blurs. Check: ' +
    'where the page with every blur pinned ran at 50 fps or more, the page as served kept every blur ("keep"); where ' +
    'that page ran below 50 fps and below 0.9 of the rate without blurs, it dropped some ("drop"); otherwise either is right.',
    ['browser', 'viewport', 'scene', 'as served (fps)', 'without blurs (fps)', 'ratio', 'every blur pinned (fps)',
      'data-blur, per round', 'target met', 'check'],
    ['---', '---', '---', '---:', '---:', '---:', '---:', '---', '---', '---'],
    r.cases.map((c) => [c.browser, c.size, c.scene, `**${f(c.fps.served)}**`, f(c.fps.noBlur), c.ratio.toFixed(2),
      f(c.fps.declared), c.runs.served.map(dropped).join('; '), c.met ? 'yes' : 'no',
      `${c.want}: ${c.adaptedRight ? 'yes' : 'no'}`]));
}
