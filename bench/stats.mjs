// The arithmetic and the table rows of scripts/bench: medians, ranges, ratios and verdicts
// over what the drivers measured.
// Plain functions over numbers and strings, so that the figures come out the same whoever
// calls them.

// ---- numbers as text ------------------------------------------------------------------

// x with `digits` decimals, rounded as C's printf("%.Nf") rounds: to the nearest, and an
// exact tie to the even digit (toFixed would round a tie up).
function fixed(x, digits) {
  const exact = x.toFixed(100);  // the double's full decimal expansion
  const cut = exact.indexOf('.') + 1 + digits;
  if (!/^50*$/.test(exact.slice(cut))) return x.toFixed(digits);
  const kept = exact.slice(0, digits > 0 ? cut : cut - 1);
  // A tie: toFixed rounds it away from zero, which is right only after an odd digit.
  return Number(kept[kept.length - 1]) % 2 === 0 ? kept : x.toFixed(digits);
}

// Microseconds as milliseconds with two decimals.
function ms(us) {
  return fixed(Number(us) / 1000, 2);
}

// "yes" when value <= target, else how far above it.
function atMost(value, target) {
  const [v, t] = [Number(value), Number(target)];
  return v <= t ? 'yes' : `no, ${fixed((v / t - 1) * 100, 1)}% above`;
}

// "yes" when value >= target, else how far below it.
function atLeast(value, target) {
  const [v, t] = [Number(value), Number(target)];
  return v >= t ? 'yes' : `no, ${fixed((1 - v / t) * 100, 1)}% below`;
}

// ---- samples --------------------------------------------------------------------------

// The median of numbers given as text ("306.52"): the middle text itself for an odd count,
// the mean of the two middle values with two decimals for an even one.
function median(texts) {
  const sorted = [...texts].sort((a, b) => Number(a) - Number(b));
  const n = sorted.length;
  if (n === 0) throw new Error('median of no values');
  if (n % 2 === 1) return sorted[(n - 1) / 2];
  return fixed((Number(sorted[n / 2 - 1]) + Number(sorted[n / 2])) / 2, 2);
}

// "lo–hi" of numbers given as text, each shown as given.
function range(texts) {
  const sorted = [...texts].sort((a, b) => Number(a) - Number(b));
  return `${sorted[0]}–${sorted[sorted.length - 1]}`;
}

// The median of the per-round ratios a[i] / b[i] (each rounded to four decimals first),
// with three decimals.
function pairRatio(a, b) {
  if (a.length !== b.length) throw new Error('rounds of unequal length');
  const pairs = a.map((x, i) => fixed(Number(x) / Number(b[i]), 4));
  const n = pairs.length;
  const sorted = pairs.map(Number).sort((x, y) => x - y);
  const mid = n % 2 === 1 ? sorted[(n - 1) / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  return fixed(mid, 3);
}

// The fields of a "key=value key=value ..." line, as text.
function fields(line) {
  const out = {};
  for (const word of line.trim().split(/\s+/)) {
    const eq = word.indexOf('=');
    if (eq > 0) out[word.slice(0, eq)] = word.slice(eq + 1);
  }
  return out;
}

// ---- tables ---------------------------------------------------------------------------

export const ROUTE_COLUMNS = ['route', 'runs each', 'plugin median (ms)', 'floor median (ms)',
  'ratio of medians (95% CI)', 'median per-pair ratio (95% CI)', 'p90 plugin / floor (ms)',
  'peak RSS plugin / floor (KB)', 'page faults plugin / floor', 'reply bytes', 'target', 'met'];
export const ROUTE_ALIGN = ['---', '---:', '---:', '---:', '---:', '---:', '---:', '---:', '---:',
  '---:', '---:', '---'];

export const HOST_COLUMNS = ['connections', 'plugin median (requests/s)',
  'floor median (requests/s)', 'ratio of medians', 'median per-round ratio', 'plugin min–max',
  'floor min–max', 'target', 'met'];
export const HOST_ALIGN = ['---:', '---:', '---:', '---:', '---:', '---:', '---:', '---:', '---'];

export const PASSWORD_COLUMNS = ['rounds', 'saves alone, median (ms)', 'beside wrong passwords, median (ms)',
  'median per-round ratio', 'beside min–max (ms)', 'target', 'met'];
export const PASSWORD_ALIGN = ['---:', '---:', '---:', '---:', '---:', '---:', '---'];

// One Markdown table row.
export function row(cells) {
  return `| ${cells.join(' | ')} |`;
}

// The row of one request-cost comparison from spawn_bench's three result lines (plugin,
// floor, ratios). target is the highest accepted ratio, or null for a check without one.
// The verdict goes on the ratio of the medians, or with `byPairs` on the median of the
// per-pair ratios (the figure judged is the bold one): under wine a run's time falls into
// one of two modes of wine's start, and the ratio of the medians jumps when the two
// programs' medians land in different modes, while each pair's ratio stays put.
export function routeRow(label, lines, target, byPairs = false) {
  const [a, b, c] = lines.map(fields);
  const judged = byPairs ? c.pair_ratio : c.ratio;
  const verdict = target === null ? '' : atMost(judged, target);
  const bold = (text, on) => (on ? `**${text}**` : text);
  return row([label, a.runs, ms(a.median_us), ms(b.median_us),
    `${bold(c.ratio, !byPairs)} (${c.ratio_lo}–${c.ratio_hi})`,
    `${bold(c.pair_ratio, byPairs)} (${c.pair_lo}–${c.pair_hi})`,
    `${ms(a.p90_us)} / ${ms(b.p90_us)}`, `${a.maxrss_kb} / ${b.maxrss_kb}`,
    `${a.minflt} / ${b.minflt}`, a.bytes, target === null ? '(≈ 1)' : `≤ ${target}`, verdict]);
}

// The row of one connection count through the host from the rates (requests per second,
// as wrk printed them) of the plugin's and the floor's node, round by round.
export function hostRow(connections, pluginRates, floorRates, target) {
  const mp = median(pluginRates);
  const mf = median(floorRates);
  const pair = pairRatio(pluginRates, floorRates);
  return row([connections, mp, mf, fixed(Number(mp) / Number(mf), 3), `**${pair}**`,
    range(pluginRates), range(floorRates), `≥ ${target}`, atLeast(pair, target)]);
}

// The row of the right password's saves: their times (ms, as text) beside wrong passwords
// and alone, round by round; target is the highest accepted per-round ratio.
export function passwordRow(rounds, besideTimes, aloneTimes, target) {
  const pair = pairRatio(besideTimes, aloneTimes);
  return row([rounds, median(aloneTimes), median(besideTimes), `**${pair}**`, range(besideTimes),
    `≤ ${target}`, atMost(pair, target)]);
}
