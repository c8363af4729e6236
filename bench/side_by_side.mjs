// What the frame-rate and CPU measurements share: forms of the page measured side by side in
// the same browser, one fresh tab each, round after round, and their results as a table.

import { row } from './stats.mjs';

// Opens a fresh tab of `size` in `driver` (see tests/lib/browsers.mjs), loads `url`, and
// resolves with what `body(page)` resolves with; fails on an error of the page's script.
// The tab is closed however it ends.
export async function inFreshTab(driver, size, url, body) {
  const { page, close } = await driver.open(size);
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e && e.message || e)));
  try {
    await page.goto(url);
    const result = await body(page);
    if (errors.length) throw new Error('page errors: ' + errors.join('; '));
    return result;
  } finally {
    await close();
  }
}

// Measures every case in every browser of `makers`: each case's forms one after the other
// in the order `order(k)` gives for the k-th case, reversed from round to round (A B B A
// ...), so that a drift of the machine falls on every form alike. `measure(driver, c, form)`
// gives one form's result, `judge(c)` adds the verdict to a case whose `runs` hold every
// form's results, and `say(c)` is its progress line. Resolves with the browsers' versions
// and the judged cases.
export async function sideBySide(makers, cases, { forms, rounds, order, measure, judge, say }) {
  const result = { browsers: {}, cases: [] };
  let k = 0;
  for (const make of makers) {
    const driver = await make();
    result.browsers[driver.name] = driver.version;
    try {
      for (const fields of cases) {
        const c = { browser: driver.name, ...fields, runs: Object.fromEntries(forms.map((f) => [f, []])) };
        const first = order(k++);
        for (let r = 0; r < rounds; r++) {
          for (const f of r % 2 ? [...first].reverse() : first) c.runs[f].push(await measure(driver, c, f));
        }
        result.cases.push(judge(c));
        console.error(say(c));
      }
    } finally {
      await driver.close();
    }
  }
  return result;
}

// The mean of a list of numbers.
export const mean = (list) => list.reduce((s, v) => s + v, 0) / list.length;

// A results section: its heading and a paragraph that says how it was measured (each left
// out when null), and a table of `rows` (lists of cells) under `columns`, aligned by `align`
// ('---' or '---:' each).
export function section(heading, intro, columns, align, rows) {
  const top = [heading, intro].filter(Boolean).flatMap((text) => ['', text]);
  return [...top, '', row(columns), `|${align.join('|')}|`, ...rows.map(row)].join('\n') + '\n';
}
