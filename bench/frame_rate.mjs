// The game page's presented frame rate, in headless Chromium with software compositing
// (--disable-gpu, driven by playwright-core) and in headless Firefox ESR (driven by
// puppeteer-core over WebDriver BiDi), at four window sizes, in four scenes: play with the
// piece moved on every frame (so that every frame draws), the READY dialog up, and play as
// players play, where the picture changes a few times a second: gravity alone, and a key
// every 250 ms. Each case runs side by side in one run with the same page in two more forms:
// with every backdrop blur removed by an injected style sheet (the rate the page could
// reach on this machine at that moment), and with every blur kept as declared, pinned by
// inline styles (the page as it was before it watched its frame rate); and, when asked, an
// earlier page from a file as a fourth form. The page's own script is never changed.
//
// The rate is counted from the timestamps of animation frames (a counter of our own,
// requested alongside the page's frame loop, one callback per frame), over the seconds
// after the first WARM seconds: the page watches its own frame rate and drops blurs it
// cannot afford within its first seconds, and the target is judged on what follows.
// The page's data-blur attribute on the root is watched too, to tell when and at what rate
// it dropped which blurs.
//
// Target at each size and scene: the page as served runs at 50 frames a second or more, or
// at 0.9 or more of the rate without blurs; in the scenes of play as players play, also at
// most one frame over 50 ms more than without blurs, counted over 4 s after 8 s of play.
// Check: where the page with its blurs pinned meets that target at 50 frames a second or more
// (and, in those scenes, without a single frame over 50 ms more than without blurs), the page
// as served kept every blur; where it misses it, the page as served dropped some.
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
const READY = 'READY dialog up';
const GRAVITY = 'gravity alone';
const KEYS = 'a key every 250 ms';
const SCENES = [BUSY, READY, GRAVITY, KEYS];
// Play as players play: judged on its long frames too, counted from the start of play.
export const PACED = [GRAVITY, KEYS];
const KEY_MS = 250;
const TARGET_FPS = 50;
const TARGET_RATIO = 0.9;
const LONG_MS = 50;       // a frame longer than this is a visible stall
const TARGET_EXTRA_LONG = 1;
const FORMS = ['served', 'declared', 'noBlur'];
const EARLIER = 'earlier';  // the fourth form, an earlier page

// Runs in the page: counts frames from their timestamps and notes each change of data-blur.
// Once `busy` is set, every frame also moves the piece one column, right and left by turns.
function installCounter() {
  const F = { t0: performance.now(), ts: [], blur: [], busy: false, moves: 0, play: 0 };
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

// The number of intervals above LONG_MS between the timestamps within [from, to] (ms), and
// the longest interval.
function longFrames(ts, from, to) {
  const inside = ts.filter((t) => t >= from && t <= to);
  const gaps = inside.slice(1).map((t, i) => t - inside[i]);
  return { over: gaps.filter((g) => g > LONG_MS).length, longest: Math.max(0, ...gaps) };
}

// Runs in the page: presses Enter and notes when; with `every` (ms), then presses an arrow key
// that often, right and left by turns, as a player might.
function startPlay(every) {
  const press = (key) => document.dispatchEvent(new KeyboardEvent('keydown', { key, bubbles: true, cancelable: true }));
  window.__fr.play = performance.now();
  press('Enter');
  let n = 0;
  if (every) setInterval(() => press(n++ % 2 ? 'ArrowLeft' : 'ArrowRight'), every);
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
    const paced = PACED.includes(scene);
    if (scene === BUSY) {
      await page.keyboard.press('Enter');
      await page.evaluate(() => { window.__fr.busy = true; });
    }
    if (paced) await page.evaluate(startPlay, scene === KEYS ? KEY_MS : 0);
    const t = paced ? o.paced : o;
    await sleep((t.warm + t.count) * 1000);
    const r = JSON.parse(await page.evaluate(() => {
      const cs = (id) => getComputedStyle(document.getElementById(id));
      return JSON.stringify({ ...window.__fr, now: performance.now(),
        dialog: document.getElementById('overlay').classList.contains('on'),
        title: document.getElementById('mTitle').textContent,
        stageBlur: cs('stage').backdropFilter, overlayBlur: cs('overlay').backdropFilter });
    }));
    if (r.dialog !== (scene === READY) || (scene === READY && r.title !== 'READY')) {
      throw new Error(`${scene}: the dialog is ${r.dialog ? 'up (' + r.title + ')' : 'down'}`);
    }
    // Times count from load, and in the paced scenes from the start of play.
    const zero = paced ? r.play : r.t0;
    const from = zero + t.warm * 1000;
    const fps = rate(r.ts, from, r.now);
    if (fps <= 0) throw new Error(`${driver.name} ${size.name} ${scene}: no frames counted`);
    // The rate over each stretch that ended with a drop of blurs.
    const drops = [];
    let start = r.t0;
    for (const b of r.blur) {
      drops.push({ level: b.level, at: (b.t - zero) / 1000, fpsBefore: rate(r.ts, start, b.t) });
      start = b.t;
    }
    return { fps, ...longFrames(r.ts, from, r.now), frames: r.ts.filter((v) => v >= from).length, drops,
      stageBlur: r.stageBlur, overlayBlur: r.overlayBlur };
  });
}

/**
 * Measures the frame rate of the page at `url` (a stand-in's, dark theme). Options: `smoke`,
 * one size with shorter counts, only to check that every part works; `earlier`, the url of
 * an earlier page measured side by side as a fourth form; `scenes`, a subset of the scenes
 * by name (every scene when absent); `rounds`, instead of the default.
 */
export async function measureFrameRate(url, { smoke = false, earlier = null, scenes = SCENES, rounds } = {}) {
  // Seconds: left to the page before counting, then counted (in the paced scenes, from the
  // start of play).
  const o = smoke ? { warm: 2.5, count: 1.5, paced: { warm: 2.5, count: 1.5 }, rounds: 1, sizes: SIZES.slice(0, 1) }
    : { warm: 5, count: 5, paced: { warm: 8, count: 4 }, rounds: 2, sizes: SIZES };
  if (rounds) o.rounds = rounds;
  const forms = earlier ? [...FORMS, EARLIER] : FORMS;
  const cases = o.sizes.flatMap((size) => SCENES.filter((s) => scenes.includes(s)).map((scene) => ({ size: size.name, scene })));
  return { warmSeconds: o.warm, countSeconds: o.count, paced: o.paced, rounds: o.rounds, forms,
    ...await sideBySide([chromiumTabs, firefoxTabs], cases, {
      forms,
      rounds: o.rounds,
      // The forms in an order rotated from case to case.
      order: (k) => forms.map((_, i) => forms[(i + k) % forms.length]),
      measure: (driver, c, v) => measure(driver, v === EARLIER ? earlier : url,
        SIZES.find((s) => s.name === c.size), c.scene, v, o),
      judge: (c) => judge(c, forms),
      say: (c) => `frame_rate: ${c.browser} ${c.size} ${c.scene}: ` +
        forms.map((v) => c.fps[v].toFixed(1) + (c.paced ? ` (${c.over[v].toFixed(1)} > 50 ms)` : '')).join(' / ') + ' fps',
    }) };
}

// Whether a form's figures meet the target, against those of the page without blurs.
function meets(c, v) {
  const fast = c.fps[v] >= TARGET_FPS || c.fps[v] / c.fps.noBlur >= TARGET_RATIO;
  return c.paced ? fast && c.over[v] <= c.over.noBlur + TARGET_EXTRA_LONG : fast;
}

// Judged on the mean figures of each form over the rounds; the check holds in every round.
function judge(c, forms) {
  c.paced = PACED.includes(c.scene);
  c.fps = {};
  c.over = {};
  c.longest = {};
  for (const v of forms) {
    c.fps[v] = mean(c.runs[v].map((m) => m.fps));
    c.over[v] = mean(c.runs[v].map((m) => m.over));
    c.longest[v] = Math.max(...c.runs[v].map((m) => m.longest));
  }
  c.ratio = c.fps.served / c.fps.noBlur;
  c.met = meets(c, 'served');
  const affordable = c.fps.declared >= TARGET_FPS && (!c.paced || c.over.declared <= c.over.noBlur);
  c.want = affordable ? 'keep' : !meets(c, 'declared') ? 'drop' : 'either';
  c.adaptedRight = c.runs.served.every((m) => c.want === 'keep' ? m.drops.length === 0
    : c.want === 'drop' ? m.drops.length > 0 : true);
  return c;
}

// The results as Markdown: a table of the busy and READY scenes, then one of the paced scenes.
export function frameRateMarkdown(r) {
  const o = { count: r.countSeconds, warm: r.warmSeconds, rounds: r.rounds };
  const f = (v) => v.toFixed(1);
  const dropped = (m) => m.drops.length
    ? m.drops.map((d) => `${d.level} ${d.at.toFixed(1)} s (${f(d.fpsBefore)})`).join(', ')
    : 'kept all';
  const earlier = r.forms.includes(EARLIER);
  const check = (c) => `${c.want}: ${c.adaptedRight ? 'yes' : 'no'}`;
  const intro = `Chromium ${r.browsers.Chromium} (headless, --disable-gpu) and Firefox ${r.browsers.Firefox} (headless); ` +
    `each row's forms of the page side by side in this run${earlier ? ' (the earlier page: a file named by BENCH_PAGE_EARLIER)' : ''}, ` +
    `${o.rounds} round(s), figures averaged. "data-blur" gives, per round, when the page set it ("less": stage, cards ` +
    'and buttons; "none": the overlay too) and the rate counted from load up to then.';
  const steady = r.cases.filter((c) => !c.paced);
  const paced = r.cases.filter((c) => c.paced);
  const busyTable = section('## 2b. Frame rate, with and without the backdrop blurs',
    `${intro} Busy and READY scenes: frames counted from their timestamps over ${o.count} s after the first ` +
    `${o.warm} s of each page, times from load. Target: as served ≥ 50 fps, or ≥ 0.9 of the rate without blurs. Check: ` +
    'where the page with every blur pinned ran at 50 fps or more, the page as served kept every blur ("keep"); where ' +
    'that page ran below 50 fps and below 0.9 of the rate without blurs, it dropped some ("drop"); otherwise either is right.',
    ['browser', 'viewport', 'scene', 'as served (fps)', 'without blurs (fps)', 'ratio', 'every blur pinned (fps)',
      ...earlier ? ['earlier page (fps)'] : [], 'data-blur, per round', 'target met', 'check'],
    ['---', '---', '---', '---:', '---:', '---:', '---:', ...earlier ? ['---:'] : [], '---', '---', '---'],
    steady.map((c) => [c.browser, c.size, c.scene, `**${f(c.fps.served)}**`, f(c.fps.noBlur), c.ratio.toFixed(2),
      f(c.fps.declared), ...earlier ? [f(c.fps[EARLIER])] : [], c.runs.served.map(dropped).join('; '),
      c.met ? 'yes' : 'no', check(c)]));
  if (!paced.length) return busyTable;
  const figures = (c, v) => `${f(c.fps[v])}; ${f(c.over[v])}; ${Math.round(c.longest[v])}`;
  return busyTable + section(null,
    `Play as players play: Enter, then gravity alone or an arrow key every ${KEY_MS} ms; each cell gives frames a ` +
    `second; frames over ${LONG_MS} ms; the longest frame (ms, the longest of the rounds), over ${r.paced.count} s after ` +
    `${r.paced.warm} s of play; "data-blur" times from the start of play. Target: as served ≥ 50 fps or ≥ 0.9 of the ` +
    `rate without blurs, and at most ${TARGET_EXTRA_LONG} frame over ${LONG_MS} ms more than without blurs. Check: where ` +
    'the pinned page met it at 50 fps or more with no more frames over 50 ms than without blurs, the page as served ' +
    'kept every blur ("keep"); where it missed it, it dropped some ("drop"); otherwise either is right.',
    ['browser', 'viewport', 'scene', 'as served', 'without blurs', 'every blur pinned', ...earlier ? ['earlier page'] : [],
      'data-blur, per round', 'target met', 'check'],
    ['---', '---', '---', '---:', '---:', '---:', ...earlier ? ['---:'] : [], '---', '---', '---'],
    paced.map((c) => [c.browser, c.size, c.scene, `**${figures(c, 'served')}**`, figures(c, 'noBlur'),
      figures(c, 'declared'), ...earlier ? [figures(c, EARLIER)] : [], c.runs.served.map(dropped).join('; '),
      c.met ? 'yes' : 'no', check(c)]));
}
