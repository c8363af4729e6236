// The Windows build under wine behind lighttpd (as scripts/play --windows runs it) next to
// the native build: both nodes, with the same password and the same score file, must answer
// every request byte for byte alike.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import * as E from './harness.mjs';
import { JSON_HEADER } from '../values.mjs';

const PASSWORD = 'w1ne pw';
const SCORES = '{"scores":[900,40,40,7]}\n';

let dir, native, windows, browser;
const data = {};

// Starts one node of the pair with its own data folder holding SCORES.
async function startNode(name, options) {
  const root = path.join(dir, name);
  data[name] = path.join(root, 'data');
  fs.mkdirSync(data[name], { recursive: true });
  fs.writeFileSync(path.join(data[name], '.pentra_scores.json'), SCORES);
  return E.startHost(root, { nodes: [{ name: 'node', data: data[name], password: PASSWORD }], ...options });
}

before(async () => {
  if (!E.EXE || !fs.existsSync(E.EXE)) throw new Error('PENTRA_EXE must name the built Windows program');
  dir = E.scratch('windows');
  native = await startNode('native', {});
  // The wine prefix is kept between runs in the work folder: a new one takes about ten
  // seconds to create.
  windows = await startNode('wine', { windows: true, program: E.EXE, wineprefix: path.join(E.WORK, 'wineprefix') });
});
after(async () => {
  try {
    await browser?.close();
    if (windows) await windows.stop();
  } finally {
    if (native) await native.stop();
  }
});

// Sends the same request to both nodes, checks that the replies are the same bytes and
// resolves with the .exe's.
const bothAlike = (rest, opts) =>
  E.assertAlike(`${windows.nodes.node}/plugin_pentra_3d${rest}`, `${native.nodes.node}/plugin_pentra_3d${rest}`, opts, rest);

test('the scores reply of the .exe under wine equals the native one byte for byte', async () => {
  const reply = await bothAlike('?action=scores', { headers: { 'X-Bot-Password': PASSWORD } });
  assert.equal(E.asCgiReply(reply), JSON_HEADER + E.scoresBody([900, 40, 40, 7]));
  await bothAlike('?action=highscore&pwd=w1ne%20pw');
  await bothAlike('?action=leaderboard', { headers: { Authorization: `Bearer ${PASSWORD}` } });
  await bothAlike('?action=nope', { headers: { 'X-Bot-Password': PASSWORD } });
});

test('every run of the .exe joins the one wine session that the host keeps alive', async () => {
  await bothAlike('?action=scores', { headers: { 'X-Bot-Password': PASSWORD } });
  const servers = E.processesMentioning(path.join(E.WORK, 'wineprefix')).filter((p) => p.includes('wineserver'));
  assert.equal(servers.length, 1, servers.join('\n'));
  // The leftover check at the end sees the wine session as the run's.
  const session = E.processesMentioning(path.join(dir, 'wine'));
  assert.ok(session.some((p) => p.includes('wineserver')), session.join('\n'));
});

test('the refusal, the page and a save are alike too, and both score files end the same', async () => {
  E.assertRefusal(await bothAlike('?action=scores'));
  E.assertRefusal(await bothAlike('?action=scores', { headers: { 'X-Bot-Password': 'w1ne pW' } }));
  const page = await bothAlike('', { headers: { 'X-Bot-Password': PASSWORD } });
  assert.match(page.body, /3D BLOCKS/);
  const save = await bothAlike('?action=save_score&val=41', { headers: { 'X-Bot-Password': PASSWORD } });
  assert.equal(save.body, E.scoresBody([900, 41, 40, 40, 7]));
  await bothAlike('?action=save_score', {
    method: 'POST',
    headers: { 'X-Bot-Password': PASSWORD, 'Content-Type': 'application/x-www-form-urlencoded' },
    body: 'val=abc',
  });
  const files = ['native', 'wine'].map((n) => E.scoresIn(data[n]));
  assert.deepEqual(files, ['{"scores":[900,41,40,40,7]}\n', '{"scores":[900,41,40,40,7]}\n']);
});

test('the page served by the .exe boots in the browser with the node\'s best score', async (t) => {
  browser = await E.launch();
  assert.match(windows.urls[0], /\?pwd=w1ne%20pw$/);
  const page = await E.openTab(browser, t, windows.urls[0]);
  await E.bestShows(page, 900);
  assert.deepEqual(page.errors, []);
});
