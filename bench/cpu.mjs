// What the game page costs the CPU while its picture stands still and while a game runs with
// no input: the CPU time of the whole browser (every process of its tree) over a few
// seconds, in headless Chromium with software compositing and in headless Firefox ESR, at
// 1280×720 (the drivers and the server of frame_rate.mjs).
//   - READY, paused and GAME OVER: the page as served against the same page frozen on the
//     same picture (its requestAnimationFrame replaced by a function that does nothing once
//     the state is reached), the floor for a still picture. Target: at most 1.5 times the
//     frozen page plus 1.5 % of a core. READY and paused again with a stub game pad
//     connected to the page as served (it then reads the pad on a timer), against the same
//     frozen page without one, to the same target.
//   - running at level 1 with no input: the page as served against the page as it was before
//     it drew only the frames whose picture changed (bench/page_before.html). Target: at most
//     0.6 of it.
// The two pages of a case run side by side, A B B A ..., each in a fresh context. The CPU
// time is utime + stime of /proc/PID/stat summed over the processes below this one (the
// browser and all its children), before and after the counted seconds; a process that ends
// in between is left out. It is also split by the kind of process.
//
// bench.mjs calls measureCpu and writes what it returns, and cpuMarkdown's table.

import { execFileSync } from 'node:child_process';
import { readdirSync, readFileSync } from 'node:fs';
import { sleep } from '../host/processes.mjs';
import { chromiumTabs, firefoxTabs } from '../tests/lib/browsers.mjs';
import { dropUntilOver } from '../tests/lib/page_script.mjs';
import { inFreshTab, mean, section, sideBySide } from './side_by_side.mjs';

const SIZE = { width: 1280, height: 720, ratio: 1 };
const STILL_FACTOR = 1.5;
const STILL_PLUS = 1.5;   // % of a core
const RUNNING_RATIO = 0.6;
const TICKS = Number(execFileSync('getconf', ['CLK_TCK']).toString()) || 100;  // per second
const CASES = [
  { state: 'READY', other: 'frozen' },
  { state: 'PAUSED', other: 'frozen' },
  { state: 'GAME OVER', other: 'frozen' },
  { state: 'running', other: 'before' },
  { state: 'READY', pad: true, other: 'frozen' },
  { state: 'PAUSED', pad: true, other: 'frozen' },
];

// utime + stime (clock ticks) of every process below this one, by process id.
function treeTicks() {
  const parent = new Map();
  const ticks = new Map();
  for (const name of readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    let stat;
    try {
      stat = readFileSync(`/proc/${name}/stat`, 'latin1');
    } catch {
      continue;  // ended meanwhile
    }
    // Fields after the command name in parentheses: state, ppid, ... utime (14), stime (15).
    const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    parent.set(Number(name), Number(f[1]));
    ticks.set(Number(name), Number(f[11]) + Number(f[12]));
  }
  const below = (pid) => {
    for (let p = parent.get(pid); p; p = parent.get(p)) if (p === process.pid) return true;
    return false;
  };
  return new Map([...ticks].filter(([pid]) => below(pid)));
}

// The kind of a browser process: Chromium's --type, Firefox's content process type (its
// last argument), else the browser's main process.
function kindOf(pid) {
  let args;
  try {
    // Chromium rewrites its command line as one text: split at spaces too.
    args = readFileSync(`/proc/${pid}/cmdline`, 'latin1').split(/[\0 ]/).filter(Boolean);
  } catch {
    return 'ended';
  }
  const type = args.find((a) => a.startsWith('--type='));
  if (type) return type.slice(7);
  if (args.includes('-contentproc')) return args[args.length - 1];
  return 'main';
}

// Connects a stub game pad that holds nothing down, as a browser reports one: a fresh
// snapshot on every read, counted in window.padReads.
function connectPad(page) {
  return page.evaluate(() => {
    const pad = { id: 'stub pad', index: 0, connected: true, mapping: 'standard', timestamp: 0, axes: [0, 0, 0, 0],
      buttons: Array.from({ length: 17 }, () => ({ pressed: false, touched: false, value: 0 })) };
    window.padReads = 0;
    Object.defineProperty(Navigator.prototype, 'getGamepads', {
      configurable: true,
      value: () => {
        window.padReads++;
        return [JSON.parse(JSON.stringify(pad)), null, null, null];
      },
    });
    const e = new Event('gamepadconnected');
    Object.defineProperty(e, 'gamepad', { value: pad });
    window.dispatchEvent(e);
  });
}

// Brings the page to a state by its own keys.
async function enterState(page, state) {
  if (state === 'GAME OVER') await dropUntilOver(page, { maxDrops: 300 });
  if (state !== 'READY' && state !== 'GAME OVER') await page.keyboard.press('Enter');
  if (state === 'PAUSED') await page.keyboard.press('p');
}

// One measurement: the share of a core the whole browser used, in total and by kind.
function measure(driver, url, state, frozen, pad, o) {
  return inFreshTab(driver, SIZE, url, async (page) => {
    await sleep(500);
    if (pad) await connectPad(page);
    await enterState(page, state);
    await sleep(200);  // the frame that shows the state
    if (frozen) await page.evaluate(() => { window.requestAnimationFrame = () => 0; });
    await sleep(o.settle * 1000);
    const reads = pad ? await page.evaluate(() => window.padReads) : 0;
    const a = treeTicks();
    const t0 = performance.now();
    await sleep(o.count * 1000);
    const b = treeTicks();
    const seconds = (performance.now() - t0) / 1000;
    const seen = await page.evaluate(() => (document.getElementById('overlay').classList.contains('on')
      ? document.getElementById('mTitle').textContent : 'running'));
    if (seen !== state) throw new Error(`${driver.name}: wanted ${state}, the page shows ${seen}`);
    const padReads = pad ? (await page.evaluate(() => window.padReads) - reads) / seconds : undefined;
    if (pad && !padReads) throw new Error(`${driver.name}: ${state}: the page did not read the pad`);
    const kinds = {};
    let total = 0;
    for (const [pid, t] of b) {
      const d = t - (a.get(pid) || 0);
      if (d <= 0) continue;
      const share = 100 * d / TICKS / seconds;
      kinds[kindOf(pid)] = (kinds[kindOf(pid)] || 0) + share;
      total += share;
    }
    return { share: total, kinds, padReads };
  });
}

function meanKinds(runs) {
  const out = {};
  for (const r of runs) for (const [k, v] of Object.entries(r.kinds)) out[k] = (out[k] || 0) + v / runs.length;
  return out;
}

function judge(c) {
  c.page = mean(c.runs.page.map((r) => r.share));
  c.base = mean(c.runs.other.map((r) => r.share));
  c.pageKinds = meanKinds(c.runs.page);
  c.baseKinds = meanKinds(c.runs.other);
  if (c.pad) c.padReads = mean(c.runs.page.map((r) => r.padReads));
  if (c.other === 'frozen') {
    c.bound = STILL_FACTOR * c.base + STILL_PLUS;
    c.met = c.page <= c.bound;
  } else {
    c.ratio = c.page / c.base;
    c.met = c.ratio <= RUNNING_RATIO;
  }
  return c;
}

/**
 * Measures the CPU of the page at `servedUrl` against the same page frozen, and, running,
 * against the page at `beforeUrl` (both stand-ins', dark theme). With `smoke`, READY and
 * running, in Chromium only, once each, briefly: a check that every part works.
 */
export async function measureCpu(servedUrl, beforeUrl, smoke) {
  // Seconds: left to the page once in its state, then counted.
  const o = smoke ? { settle: 1, count: 2, rounds: 1, drivers: [chromiumTabs], cases: [CASES[0], CASES[3], CASES[4]] }
    : { settle: 2, count: 8, rounds: 2, drivers: [chromiumTabs, firefoxTabs], cases: CASES };
  const result = { size: '1280×720', settleSeconds: o.settle, countSeconds: o.count, rounds: o.rounds,
    ...await sideBySide(o.drivers, o.cases, {
      forms: ['page', 'other'],
      rounds: o.rounds,
      order: () => ['page', 'other'],
      measure: (driver, c, form) => (form === 'page' ? measure(driver, servedUrl, c.state, false, !!c.pad, o)
        : measure(driver, c.other === 'before' ? beforeUrl : servedUrl, c.state, c.other === 'frozen', false, o)),
      judge,
      say: (c) => `cpu: ${c.browser} ${stateName(c)}: ${c.page.toFixed(1)} % against ${c.other} ${c.base.toFixed(1)} %`,
    }) };
  if (!smoke && result.cases.some((c) => !c.met)) console.error('cpu: a target was missed');
  return result;
}

const stateName = (c) => c.state + (c.pad ? `, pad connected (read ${c.padReads.toFixed(1)} times a second)` : '');

// The results as a Markdown table.
export function cpuMarkdown(r) {
  const o = { count: r.countSeconds, settle: r.settleSeconds, rounds: r.rounds };
  const f = (v) => v.toFixed(1);
  const kinds = (k) => Object.entries(k).filter(([, v]) => v >= 0.05).sort((a, b) => b[1] - a[1])
    .map(([n, v]) => `${n} ${f(v)}`).join(', ');
  return section('## 2c. CPU of the whole browser, picture still and game running',
    `Chromium ${r.browsers.Chromium}${r.browsers.Firefox ? ` and Firefox ${r.browsers.Firefox}` : ''} (headless, ` +
    `software compositing) at 1280×720, dark theme; % of one core, summed over the browser's processes, over ${o.count} s ` +
    `after ${o.settle} s in the state; each row's two pages side by side in this run, ${o.rounds} round(s), averaged. ` +
    `Targets: a still state at most ${STILL_FACTOR} × the frozen page + ${STILL_PLUS} % of a core; running with no ` +
    `input at most ${RUNNING_RATIO} of the page before this change. With a pad connected: a stub pad that holds nothing ` +
    `down, on the page as served only.`,
    ['browser', 'state', 'page as served (%)', 'compared with', 'its CPU (%)', 'target', 'met',
      'as served, by process (%)', 'compared page, by process (%)'],
    ['---', '---', '---:', '---', '---:', '---', '---', '---', '---'],
    r.cases.map((c) => [c.browser, stateName(c), `**${f(c.page)}**`,
      c.other === 'frozen' ? 'the same page frozen' : 'the page before this change', f(c.base),
      c.other === 'frozen' ? `≤ ${f(c.bound)} (1.5 × + 1.5)` : `ratio ${c.ratio.toFixed(2)} ≤ ${RUNNING_RATIO}`,
      c.met ? 'yes' : 'no', kinds(c.pageKinds), kinds(c.baseKinds)]));
}
