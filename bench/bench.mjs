// The measurements of scripts/bench, which installs what is missing, builds the plugin and
// the C drivers (build/bench/embed, build/bench/spawn_bench), then runs this:
//   1. request cost: one run of the plugin per request (page, "scores", "save_score")
//      against floor programs generated here that only write the same reply bytes (and, for
//      the save, do the same durable file replacement); natively and, for the .exe, under
//      wine; timed by spawn_bench, side by side (A B A B ...);
//   2. the page in headless Chromium (page_bench.mjs), its frame rate in headless
//      Chromium and Firefox with and without its backdrop blurs (frame_rate.mjs), and the
//      CPU the whole browser spends on it, picture still and game running (cpu.mjs);
//   3. requests per second through the local node host with wrk, against the same host
//      running the floor program; and saves with the right password from one address, alone
//      and beside wrong passwords from the same address (password_load.mjs).
// Writes build/bench/results.md (the tables, also printed), the drivers' CSV files and
// page.json and frame_rate.json. stats.mjs does the arithmetic and the rows; bench/README.md
// explains them.
//
// Usage: node bench/bench.mjs [--smoke] [--skip-wine] [--skip-page] [--skip-host]
//                              [--frame-rate-only] [--paced-only] [--rounds=N]
// --frame-rate-only measures only the page's frame rate, of page/index.html as the page route
// writes it, with no plugin built; --paced-only only its scenes of play as players play;
// --rounds sets the frame rate's rounds. BENCH_PAGE_EARLIER, when set, names an earlier page
// file that the frame-rate part measures side by side as a fourth form.

import { spawnSync } from 'node:child_process';
import {
  accessSync, appendFileSync, chmodSync, constants, copyFileSync, existsSync, mkdirSync,
  mkdtempSync, readFileSync, rmSync, writeFileSync,
} from 'node:fs';
import { release, tmpdir } from 'node:os';
import { basename, join } from 'node:path';
import {
  HOST_ALIGN, HOST_COLUMNS, PASSWORD_ALIGN, PASSWORD_COLUMNS, ROUTE_ALIGN, ROUTE_COLUMNS,
  hostRow, passwordRow, routeRow, row,
} from './stats.mjs';
import { LOAD, passwordLoad } from './password_load.mjs';
import { measureCpu, cpuMarkdown } from './cpu.mjs';
import { PACED, measureFrameRate, frameRateMarkdown } from './frame_rate.mjs';
import { measurePage, pageMarkdown } from './page_bench.mjs';
import { ROOT, scoresReply, splitReply } from '../tests/values.mjs';
import { startStandIn } from '../tests/lib/standin.mjs';
import { programPath, startWineSession, wineEnv } from '../host/wine.mjs';
import { startNode as startHostNode } from '../host/host.mjs';

const OUT = join(ROOT, 'build/bench');
const GEN = join(OUT, 'gen');
const WORK = join(OUT, 'work');
const RUN_DIR = join(OUT, 'run');
const RESULTS = join(OUT, 'results.md');
const PLUGIN = join(ROOT, 'build/linux/plugin_pentra_3d');
const PLUGIN_EXE = join(ROOT, 'build/windows/plugin_pentra_3d.exe');

// Upper bounds in seconds for each timed loop, far above what a normal run takes.
const NATIVE_LIMIT = 900;
const WINE_LIMIT = 1200;

// The requests of the benchmark: route name and query text.
const ROUTES = ['page', 'scores', 'save'];
const QUERY = { page: '', scores: 'action=scores', save: 'action=save_score&val=100' };
const ROUTE_NAME = { page: 'page', scores: '"scores"', save: '"save_score"' };
// The score file each route reads: "scores-..." or "save-..." (and "gen-scores", "gen-save").
const STEM = { page: 'scores', scores: 'scores', save: 'save' };
// Two scores for the read-only routes; for the save a full table whose last entry is above
// the saved score, so that every save rewrites the file with the same content and the reply
// stays the same from run to run.
const SCORES_FILE = '{"scores":[1200,800]}';
const SAVE_FILE = '{"scores":[1200,1100,1000,900,800,700,600,500,400,300]}';
const HOST_TARGET = '0.9';
// The highest accepted time of the right password's saves beside wrong ones over alone.
const PASSWORD_TARGET = '1.2';

// ---- options and run counts -----------------------------------------------------------

function parseOptions(argv) {
  const o = { smoke: false, wine: true, page: true, host: true, frameRateOnly: false, pacedOnly: false };
  for (const arg of argv) {
    if (arg === '--smoke') o.smoke = true;
    else if (arg === '--skip-wine') o.wine = false;
    else if (arg === '--skip-page') o.page = false;
    else if (arg === '--skip-host') o.host = false;
    else if (arg === '--frame-rate-only') o.frameRateOnly = true;
    else if (arg === '--paced-only') o.frameRateOnly = o.pacedOnly = true;
    else if (/^--rounds=[1-9]$/.test(arg)) o.rounds = Number(arg.slice(9));
    else fail(`unknown option ${arg}`);
  }
  return o;
}

// The full run needs at least 2000 runs per program for the read-only routes; the save
// syncs to disk twice per run and is slower, so it gets fewer.
function runCounts(smoke) {
  if (smoke) {
    return { native: 20, save: 10, nativeWarmup: 3, wine: 3, wineWarmup: 1, pageFrames: 10,
      pageTraced: 5, pageLoads: 2, pageScenes: 'basic', hostSeconds: 1, hostConnections: [1],
      hostRounds: 1, passwordRounds: 1, passwordLoad: { ...LOAD, saves: 100, wrong: 16 } };
  }
  return { native: 3000, save: 1000, nativeWarmup: 100, wine: 200, wineWarmup: 10,
    pageFrames: 600, pageTraced: 200, pageLoads: 21, pageScenes: 'all', hostSeconds: 1,
    hostConnections: [1, 8, 32], hostRounds: 21, passwordRounds: 9, passwordLoad: LOAD };
}

// The highest plugin / floor ratio accepted for kind (native or wine) and route. Natively,
// "scores" reads the score file and the save parses and formats the table, which their
// floors do not; under wine, starting the wine process hides such differences.
function routeTarget(kind, route) {
  const native = { page: '1.03', scores: '1.04', save: '1.06' };
  return kind === 'native' ? native[route] : '1.02';
}

// ---- processes ------------------------------------------------------------------------

class BenchError extends Error {}

function fail(message) {
  throw new BenchError(message);
}

// Seconds that scripts/bench spent before calling this (installing, building), so that the
// progress lines count from its start.
const EARLIER_SECONDS = Number(process.env.BENCH_SECONDS_BEFORE ?? 0);

function progress(text) {
  process.stderr.write(`==> [${EARLIER_SECONDS + Math.floor(process.uptime())} s] ${text}\n`);
}

// Runs a program to its end and returns its standard output; fails unless it exits with 0.
// opts: env (the whole environment), input (bytes for standard input), timeout (seconds),
// quiet (standard error to /dev/null; otherwise it is passed on).
function run(program, args, opts = {}) {
  const r = spawnSync(program, args, {
    cwd: ROOT, env: opts.env ?? process.env, input: opts.input,
    stdio: [opts.input === undefined ? 'ignore' : 'pipe', 'pipe', opts.quiet ? 'ignore' : 'inherit'],
    timeout: (opts.timeout ?? 0) * 1000, maxBuffer: 64 << 20,
  });
  if (r.error) fail(`${basename(program)}: ${r.error.message}`);
  if (r.status !== 0) {
    const how = r.signal ? `ended by ${r.signal}` : `exited with status ${r.status}`;
    fail(`${basename(program)} ${how}`);
  }
  return r.stdout;
}

// The full path of a program on PATH.
function which(name) {
  const found = spawnSync('sh', ['-c', 'command -v "$0"', name], { encoding: 'utf8' }).stdout.trim();
  return found || fail(`${name} is not installed`);
}

// Fails unless `file` exists (and, by `mode`, can be run).
function need(file, mode = constants.X_OK) {
  try {
    accessSync(file, mode);
  } catch (e) {
    fail(`no program at ${file}`);
  }
}

// The environment of route r's request, reading the score file `scores`.
function request(r, scores) {
  return { QUERY_STRING: QUERY[r], REQUEST_METHOD: 'GET', HV_PENTRA_SCORES: scores };
}

// ---- results --------------------------------------------------------------------------

// Appends text to the results file and prints it.
function publish(text) {
  appendFileSync(RESULTS, text);
  process.stdout.write(text);
}

// Appends lines to the results file and prints them.
function emit(...lines) {
  publish(lines.map((line) => line + '\n').join(''));
}

function tableHead(columns, align) {
  emit(row(columns), `|${align.join('|')}|`);
}

// The text of a score file without the line end it was written with.
function scoreTable(file) {
  return readFileSync(file, 'utf8').replace(/\n+$/, '');
}

// ---- floors ---------------------------------------------------------------------------

// Copies a program into the run folder with cp and returns the copy's path. Every program
// measured runs from such a copy: how a file came to be written decides how its pages sit
// in the page cache, and a program as the linker wrote it starts measurably slower (one more
// page fault, 2 to 5% here) than a copy of it. Copies made the same way compare fairly.
function stage(source, name = basename(source)) {
  const dest = join(RUN_DIR, name);
  copyFileSync(source, dest);
  return dest;
}

// Gives each program of a comparison its own score file, in a fresh state.
function resetFiles() {
  for (const who of ['plugin', 'floor']) {
    writeFileSync(join(WORK, `scores-${who}.json`), SCORES_FILE + '\n');
    writeFileSync(join(WORK, `save-${who}.json`), SAVE_FILE + '\n');
  }
}

// Runs the real plugin once per route and keeps its output in gen/<kind>/<route>.out; then
// builds one floor per route whose reply is exactly that output. cmd: the plugin command
// (program and arguments); seen: how the plugin sees the work folder; env: environment
// entries for the plugin beside the request's.
function makeFloors(kind, cc, cmd, seen, suffix, env) {
  const g = join(GEN, kind);
  mkdirSync(g, { recursive: true });
  writeFileSync(join(WORK, 'gen-scores.json'), SCORES_FILE + '\n');
  writeFileSync(join(WORK, 'gen-save.json'), SAVE_FILE + '\n');
  const plugin = (extra) => run(cmd[0], cmd.slice(1).concat(extra.args ?? []),
    { env: { ...env, ...extra.env }, timeout: 120, quiet: true });
  writeFileSync(join(g, 'meta.out'), plugin({ args: ['--meta'] }));
  for (const r of ROUTES) {
    writeFileSync(join(g, `${r}.out`), plugin({ env: request(r, `${seen}gen-${STEM[r]}.json`) }));
  }
  // The saved score is below the whole table: the file is rewritten unchanged.
  if (scoreTable(join(WORK, 'gen-save.json')) !== SAVE_FILE) {
    fail('the save changed the score table; the benchmark expects it not to');
  }
  const { header } = splitReply(readFileSync(join(g, 'scores.out')));
  if (!header.some((line) => line.startsWith('Content-Type: application/json'))) {
    fail(`unexpected scores reply from ${kind} plugin`);
  }
  const embed = (name, file) => run(join(OUT, 'embed'), [name], { input: readFileSync(file) });
  for (const r of ROUTES) {
    const dir = join(g, r);
    mkdirSync(dir, { recursive: true });
    const parts = [embed('reply', join(g, `${r}.out`)), embed('meta', join(g, 'meta.out'))];
    if (r === 'save') parts.push(embed('file_after', join(WORK, 'gen-save.json')));
    const source = r === 'save' ? 'floor_save' : 'floor_reply';
    writeFileSync(join(dir, r === 'save' ? 'save.h' : 'reply.h'), Buffer.concat(parts));
    run(cc, ['-O2', '-static', '-Wall', '-Wextra', '-Werror', '-I', dir, '-o',
      join(OUT, `floor_${r}${suffix}`), join(ROOT, `bench/${source}.c`)]);
  }
}

// Checks that each reply of the native plugin reaches standard output in one write, as the
// floors' do: every further write is a system call the floor does not make.
function checkOneWrite() {
  const strace = which('strace');
  for (const r of ROUTES) {
    const trace = join(OUT, `writes-${r}.txt`);
    rmSync(trace, { force: true });  // a trace left by an earlier run must not count
    spawnSync(strace, ['-qq', '-e', 'trace=write', '-o', trace, PLUGIN],
      { env: request(r, join(WORK, `gen-${STEM[r]}.json`)), stdio: 'ignore', timeout: 60000 });
    // No trace counts as no write.
    const text = existsSync(trace) ? readFileSync(trace, 'utf8') : '';
    const n = text.split('\n').filter((line) => line.startsWith('write(1,')).length;
    if (n !== 1) fail(`the plugin's ${r} reply took ${n} writes to standard output, not one`);
  }
}

// ---- 1. request cost ------------------------------------------------------------------

// Measures one route: plugin against its floor (each a command: program and arguments).
// seen: how the programs see the work folder; env: extra environment entries; label and
// target, when given, replace the route's name and target in the table (target null: a
// check without a target).
function measureRoute(kind, r, counts, pluginCmd, floorCmd, seen, env,
  label = ROUTE_NAME[r], target = routeTarget(kind, r)) {
  const file = (who) => `${STEM[r]}-${who}.json`;
  // One program's part of spawn_bench's arguments: its name, the reply it must write, its
  // environment (the request's variables, then env's, then its own score file) and command.
  const side = (who, cmd) => [who, '-e', join(GEN, kind, `${r}.out`),
    ...Object.entries({ QUERY_STRING: QUERY[r], REQUEST_METHOD: 'GET', ...env,
      HV_PENTRA_SCORES: seen + file(who) }).map(([k, v]) => `${k}=${v}`), '--', ...cmd];
  const args = ['-n', counts.runs, '-w', counts.warmup, '-t', counts.limit,
    '-s', join(OUT, `${kind}-${r}.csv`), ...side('plugin', pluginCmd), ':::', ...side('floor', floorCmd)];
  const compare = () => {
    resetFiles();
    return run(join(OUT, 'spawn_bench'), args.map(String), { timeout: counts.limit + 300 });
  };
  let out;
  try {
    out = compare();
  } catch (e) {
    // Under wine, a run very rarely ends with status 1 before the program has started: wine
    // failed, not the program, which ends every run with status 0 (the process suite retries
    // such a run too). The comparison then starts over once; a real fault fails it again.
    if (kind !== 'wine') throw e;
    process.stderr.write(`note: ${e.message}; measuring ${label} under wine once more\n`);
    out = compare();
  }
  if (r === 'save') {
    for (const who of ['plugin', 'floor']) {
      if (scoreTable(join(WORK, file(who))) !== SAVE_FILE) {
        fail(`${kind} save left ${file(who)} with unexpected content`);
      }
    }
  }
  emit(routeRow(label, out.toString().split('\n').slice(0, 3), target, kind === 'wine'));
}

function measureNative(n) {
  progress('Request cost, native');
  makeFloors('native', 'gcc', [PLUGIN], WORK + '/', '', {});
  checkOneWrite();
  emit('', '## 1. Request cost', '',
    '### Native: build/linux/plugin_pentra_3d against static C floors (gcc -O2 -static)', '');
  tableHead(ROUTE_COLUMNS, ROUTE_ALIGN);
  const runPlugin = stage(PLUGIN);
  const counts = (runs) => ({ runs, warmup: n.nativeWarmup, limit: NATIVE_LIMIT });
  for (const r of ROUTES) {
    measureRoute('native', r, counts(r === 'save' ? n.save : n.native), [runPlugin],
      [stage(join(OUT, `floor_${r}`))], WORK + '/', {});
  }
  // The same comparison between two copies of one program: how far from 1 the method
  // itself lands.
  measureRoute('native', 'page', counts(n.native),
    [stage(join(OUT, 'floor_page'), 'floor_page_twin')], [join(RUN_DIR, 'floor_page')],
    WORK + '/', {}, 'A/A check: page floor against a second copy of itself', null);
  return runPlugin;
}

// ---- wine -----------------------------------------------------------------------------

const WINE = { prefix: join(OUT, 'wineprefix'), home: join(OUT, 'winehome'), tmp: join(OUT, 'winehome/tmp') };
const WINE_ENV = wineEnv({ PATH: '/usr/bin:/bin' }, WINE);
// The wine session that lasts for the whole wine measurement, while it runs.
let wineSession = null;

async function measureWine(n) {
  progress('Request cost, Windows build under wine (the first start of a prefix takes ~10 s)');
  const wine = which('wine');
  mkdirSync(WINE.tmp, { recursive: true });
  wineSession = await startWineSession(wineEnv(process.env, WINE));
  // How the Windows programs see the work folder.
  const workZ = programPath(WORK, true) + '\\';
  makeFloors('wine', 'x86_64-w64-mingw32-gcc', [wine, PLUGIN_EXE], workZ, '.exe', WINE_ENV);
  for (const r of ROUTES) {
    const exe = readFileSync(join(GEN, 'wine', `${r}.out`));
    if (!exe.equals(readFileSync(join(GEN, 'native', `${r}.out`)))) {
      process.stderr.write(`note: the .exe's ${r} reply differs from the native one\n`);
    }
  }
  emit('', '### Windows: plugin_pentra_3d.exe under wine against static mingw-w64 floors, ' +
    'each run as `wine <exe>`', '');
  tableHead(ROUTE_COLUMNS, ROUTE_ALIGN);
  const runExe = stage(PLUGIN_EXE);
  for (const r of ROUTES) {
    measureRoute('wine', r, { runs: n.wine, warmup: n.wineWarmup, limit: WINE_LIMIT },
      [wine, runExe], [wine, stage(join(OUT, `floor_${r}.exe`))], workZ, WINE_ENV);
  }
  await wineSession?.stop();
}

// ---- 2. the page in Chromium ----------------------------------------------------------

// The body of the native plugin's reply to route r.
function nativeBody(r) {
  return splitReply(readFileSync(join(GEN, 'native', `${r}.out`))).body;
}

async function measureBrowsers(n, options) {
  const html = nativeBody('page');
  const scores = nativeBody('scores');
  writeFileSync(join(GEN, 'page.html'), html);
  writeFileSync(join(GEN, 'scores.json'), scores);
  progress('The page in headless Chromium');
  report('page', await measurePage(html, scores, { frames: n.pageFrames, traced: n.pageTraced,
    loads: n.pageLoads, scenes: n.pageScenes }), pageMarkdown);
  await measurePageForms(html, scores, options);
}

// The page's frame rate and, unless only that is asked, its CPU: the page as served, as it
// was before it drew only the frames that changed, and an earlier page when a file names
// one, in the dark theme through the page's own parameter, the same in both browsers.
async function measurePageForms(html, scores, options) {
  const earlierFile = process.env.BENCH_PAGE_EARLIER;
  const pages = {
    served: html,
    before: readFileSync(join(ROOT, 'bench/page_before.html')),
    ...earlierFile ? { earlier: readFileSync(earlierFile) } : {},
  };
  const servers = {};
  const url = (name) => servers[name].url('/plugin_pentra_3d?theme=dark');
  try {
    for (const [name, page] of Object.entries(pages)) {
      servers[name] = await startStandIn({ page });
      servers[name].reply = () => ({ body: scores });
    }
    progress('The page\'s frame rate in headless Chromium and Firefox');
    report('frame_rate', await measureFrameRate(url('served'), { smoke: options.smoke,
      earlier: earlierFile ? url('earlier') : null, rounds: options.rounds,
      scenes: options.pacedOnly ? PACED : undefined }), frameRateMarkdown);
    if (options.frameRateOnly) return;
    progress('The CPU the page costs the whole browser in Chromium and Firefox');
    report('cpu', await measureCpu(url('served'), url('before'), options.smoke), cpuMarkdown);
  } finally {
    for (const server of Object.values(servers)) await server.close();
  }
}

// Writes a browser measurement's result to build/bench/<name>.json and its tables to
// <name>.md and the results.
function report(name, result, markdown) {
  writeFileSync(join(OUT, `${name}.json`), JSON.stringify(result, null, 2) + '\n');
  const text = markdown(result);
  writeFileSync(join(OUT, `${name}.md`), text);
  publish(text);
}

// ---- 3. through the host --------------------------------------------------------------

// The nodes started and not yet stopped.
const nodes = [];

// Starts a local node serving `program` with data folder `data` (and `password`) on a free
// port of 127.0.0.1 through the host's supervisor and resolves to its address once it
// answers.
async function startNode(name, program, data, password = '') {
  try {
    const node = await startHostNode({ program, data, password });
    nodes.push(node);
    return node.url;
  } catch (e) {
    return fail(`the node host did not start for ${name}: ${e.message}`);
  }
}

async function stopNodes() {
  while (nodes.length > 0) await nodes.pop().stop();
}

// Requests per second from wrk for `connections` connections against url, as wrk printed
// it. Fails on any socket error or non-2xx reply.
function wrkRate(connections, url, seconds) {
  const threads = connections < 2 ? 1 : 2;
  const text = run('wrk', ['-t', threads, '-c', connections, '-d', `${seconds}s`, '--timeout',
    '10s', url].map(String), { timeout: seconds + 60 }).toString();
  if (/Non-2xx|Socket errors/.test(text)) fail(`wrk saw errors against ${url}:\n${text}`);
  const found = /^Requests\/sec:\s+(\S+)/m.exec(text);
  if (!found) fail(`no rate from wrk against ${url}:\n${text}`);
  return found[1];
}

// The nodes' data folders: in a folder of the system's temporary folder that anyone may pass
// through, as the host serves as another user when run as root, and the source tree (with
// build/bench) may lie where only root can enter.
let hostData = null;

function nodeData(name) {
  if (!hostData) {
    hostData = mkdtempSync(join(tmpdir(), 'pentra-bench.'));
    chmodSync(hostData, 0o755);
  }
  const data = join(hostData, name);
  mkdirSync(data, { recursive: true });
  return data;
}

async function measureHost(n, runPlugin) {
  emit('', '## 3. Through the host', '');
  progress('Through the node host (host/host.mjs, lighttpd) with wrk');
  const who = ['plugin', 'floor'];
  const program = { plugin: runPlugin, floor: join(RUN_DIR, 'floor_scores') };
  const url = {};
  for (const w of who) {
    const data = nodeData(w);
    writeFileSync(join(data, '.pentra_scores.json'), SCORES_FILE + '\n');
    url[w] = `${await startNode(w, program[w], data)}/plugin_pentra_3d?action=scores`;
  }
  const body = nativeBody('scores');
  for (const w of who) {
    const got = Buffer.from(await (await fetch(url[w], { signal: AbortSignal.timeout(20000) }))
      .arrayBuffer());
    if (!got.equals(body)) fail(`unexpected reply from ${url[w]}: ${got}`);
  }
  // A first short run against each node, not counted: lighttpd's and the page cache's
  // first requests are slower.
  for (const w of who) wrkRate(1, url[w], n.hostSeconds);
  const rates = { plugin: {}, floor: {} };
  for (let round = 0; round < n.hostRounds; round++) {
    for (const c of n.hostConnections) {
      // Alternate which one goes first from round to round.
      for (const w of round % 2 === 0 ? who : [...who].reverse()) {
        (rates[w][c] ??= []).push(wrkRate(c, url[w], n.hostSeconds));
      }
    }
  }
  await stopNodes();
  emit(`wrk, ${n.hostSeconds} s per measurement, ${n.hostRounds} rounds; in each round, for ` +
    'each connection count, the plugin\'s node and the floor\'s node one after the other, the ' +
    'order alternating from round to round. GET /plugin_pentra_3d?action=scores on a node ' +
    'started by the host\'s supervisor (host/host.mjs: its front process, then lighttpd and ' +
    'CGI), one running the plugin and one ' +
    'running the floor program for "scores". The target is judged on the median of the ' +
    'per-round ratios (each round\'s plugin rate over the floor rate measured right beside ' +
    'it), which the machine\'s drift from round to round affects far less than the ratio of ' +
    'the medians.', '');
  tableHead(HOST_COLUMNS, HOST_ALIGN);
  for (const c of n.hostConnections) {
    emit(hostRow(c, rates.plugin[c], rates.floor[c], HOST_TARGET));
  }
  await measurePasswords(n, runPlugin);
}

// Saves with the right password from one address, alone and with wrong passwords from the
// same address beside them, side by side round after round (see password_load.mjs).
async function measurePasswords(n, runPlugin) {
  progress('The right password beside wrong ones, through the node host');
  const load = n.passwordLoad;
  const base = await startNode('passwords', runPlugin, nodeData('passwords'), 'right');
  const times = { alone: [], beside: [] };
  for (let round = 0; round < n.passwordRounds; round++) {
    for (const beside of round % 2 === 0 ? [false, true] : [true, false]) {
      const r = await passwordLoad(base, 'right', beside, load);
      const served = r.saved[200] ?? 0;
      if (served !== load.saves) fail(`${load.saves - served} of ${load.saves} saves with the right password were not served: ${JSON.stringify(r.saved)}`);
      times[beside ? 'beside' : 'alone'].push(r.ms.toFixed(1));
    }
  }
  await stopNodes();
  emit('', `${load.clients} clients on 127.0.0.1 each save with the node's right password, one ` +
    `request after another, ${load.saves} saves in all; beside them, ${load.guessers} more ` +
    `clients on the same address send ${load.wrong} requests with a wrong password. Each round ` +
    'times the saves alone and the same saves beside the wrong ones, the order alternating ' +
    'from round to round; every save must be served (200). Judged on the median of the ' +
    'per-round ratios.', '');
  tableHead(PASSWORD_COLUMNS, PASSWORD_ALIGN);
  emit(passwordRow(n.passwordRounds, times.beside, times.alone, PASSWORD_TARGET));
}

// ---- machine --------------------------------------------------------------------------

function loadAverage() {
  return readFileSync('/proc/loadavg', 'utf8').split(' ').slice(0, 3).join(' ');
}

function describeMachine(smoke) {
  const cpu = /^model name\s*: (.*)$/m.exec(readFileSync('/proc/cpuinfo', 'utf8'))?.[1];
  const cores = run('nproc', []).toString().trim();
  const os = /^PRETTY_NAME="?([^"\n]*)"?$/m.exec(readFileSync('/etc/os-release', 'utf8'))?.[1];
  const fs = run('df', ['-T', WORK]).toString().split('\n')[1].split(/\s+/)[1];
  const date = new Date().toISOString().slice(0, 16).replace('T', ' ');
  emit('# pentra benchmark results', '',
    `- Command: \`${['scripts/bench', ...process.argv.slice(2)].join(' ')}\``,
    `- Date: ${date} UTC`,
    `- CPU: ${cpu || 'unknown'}, ${cores} cores; kernel ${release()}; ${os}`,
    `- Score files on: ${fs} (${WORK}); every program measured runs from a fresh cp copy in ${RUN_DIR}`,
    `- Load average at start: ${loadAverage()}`);
  if (smoke) {
    emit('- Smoke run: far too few runs for these figures to mean anything; it only checks ' +
      'that every part still works.');
  }
}

// ---- main -----------------------------------------------------------------------------

async function cleanup() {
  await stopNodes();
  await wineSession?.stop();
  if (hostData) rmSync(hostData, { recursive: true, force: true });
}

async function main() {
  const options = parseOptions(process.argv.slice(2));
  const n = runCounts(options.smoke);
  if (!options.frameRateOnly) {
    for (const program of [PLUGIN, join(OUT, 'embed'), join(OUT, 'spawn_bench')]) need(program);
    if (options.wine) need(PLUGIN_EXE, constants.R_OK);
  }
  for (const dir of [GEN, WORK, RUN_DIR]) {
    rmSync(dir, { recursive: true, force: true });
    mkdirSync(dir, { recursive: true });
  }
  writeFileSync(RESULTS, '');

  describeMachine(options.smoke);
  if (options.frameRateOnly) {
    // The page route writes page/index.html as it is.
    await measurePageForms(readFileSync(join(ROOT, 'page/index.html')), scoresReply([1200, 800]), options);
  } else {
    const runPlugin = measureNative(n);
    if (options.wine) await measureWine(n);
    if (options.page) await measureBrowsers(n, options);
    if (options.host) await measureHost(n, runPlugin);
  }
  emit('', `- Load average at end: ${loadAverage()}`);
  progress(`Results in ${RESULTS}`);
}

let stopping = false;
for (const signal of ['SIGINT', 'SIGTERM']) {
  process.on(signal, () => {
    if (stopping) return;
    stopping = true;
    process.stderr.write('scripts/bench: interrupted\n');
    cleanup().finally(() => process.exit(130));
  });
}

try {
  await main();
} catch (e) {
  process.stderr.write(`scripts/bench: ${e instanceof BenchError ? e.message : e.stack}\n`);
  process.exitCode = 1;
} finally {
  await cleanup();
}
