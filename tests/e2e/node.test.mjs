// A local node without a password, started by scripts/play: its routes over real HTTP, and
// a whole game in Chromium whose score lands in the node's score file. Then the same node
// open to the network with --lan, under the random password the script makes.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import * as E from './harness.mjs';
import { JSON_HEADER, PAGE_TYPE } from '../values.mjs';

let dir, data, play, base, browser;

before(async () => {
  dir = E.scratch('node');
  data = path.join(dir, 'data');
  play = await E.startPlay(dir, ['--port', '0', '--data', data, '--program', E.BIN]);
  base = play.nodes.node;
  browser = await E.launch();
});
after(async () => {
  await browser?.close();
  if (play) await play.stop();
});

test('scripts/play prints the node, its data folder and the URL to open', () => {
  assert.match(base, /^http:\/\/127\.0\.0\.1:\d+$/);
  assert.deepEqual(play.urls, [`${base}/plugin_pentra_3d`]);
  assert.match(play.output, new RegExp(`data folder ${data}, no password`));
  assert.ok(fs.statSync(data).isDirectory(), 'the data folder is created');
  assert.deepEqual(E.listeningAddresses(E.portOf(base)), ['127.0.0.1'], 'without --lan, only loopback');
  // The leftover check at the end looks for this run's folder in the processes: it must see
  // the running lighttpd.
  assert.ok(E.processesMentioning(dir).some((p) => p.includes('lighttpd')), 'lighttpd is found while running');
});

test('/plugins answers the discovery list, with or without a plugin field; other paths are 404', async () => {
  for (const p of ['/plugins', '/plugins?plugin=plugin_pentra_3d', '/plugins?plugin=plugin_pentra_3d&action=scores']) {
    const res = await E.request(base + p);
    assert.equal(res.status, 200, p);
    assert.equal(res.headers['content-type'], E.JSON_TYPE, p);
    assert.equal(res.body, E.DISCOVERY, p);
    assert.deepEqual(JSON.parse(res.body), [{ id: 'plugin_pentra_3d', name: 'pentra', desc: '3D block game' }]);
  }
  for (const p of ['/plugin_pentra_3d/x', '/plugins/x', '/pentra']) {
    assert.equal((await E.request(base + p)).status, 404, p);
  }
  // The bare address leads to the game, keeping the query.
  const home = await E.request(`${base}/?pwd=a%20b`);
  assert.equal(home.status, 301);
  assert.equal(home.headers.location, '/plugin_pentra_3d?pwd=a%20b');
  E.assertFavicon(await E.request(`${base}/favicon.ico`));
});

test('/plugin_pentra_3d runs the plugin: the page, the scores reply, saves by query and by form body', async () => {
  const page = await E.request(`${base}/plugin_pentra_3d`);
  assert.equal(page.status, 200);
  assert.equal(page.headers['content-type'], PAGE_TYPE);
  assert.equal(page.headers['cache-control'], 'no-store');
  assert.match(page.body, /^<!DOCTYPE html>/i);
  assert.match(page.body, /3D BLOCKS/);

  const scores = await E.request(`${base}/plugin_pentra_3d?action=scores`);
  assert.equal(E.asCgiReply(scores), JSON_HEADER + E.scoresBody([]));

  // The query reaches the plugin as sent: %35 is "5".
  const byQuery = await E.request(`${base}/plugin_pentra_3d?action=save_score&val=%35`);
  assert.equal(byQuery.body, E.scoresBody([5]));
  const byBody = await E.request(`${base}/plugin_pentra_3d?action=save_score`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: 'val=7',
  });
  assert.equal(byBody.body, E.scoresBody([7, 5]));
  assert.equal(fs.readFileSync(path.join(data, '.pentra_scores.json'), 'utf8'), '{"scores":[7,5]}\n');
  fs.rmSync(path.join(data, '.pentra_scores.json'));
});

test('a game played in the browser ends, its score is saved on the node, and a reload shows it as best', async () => {
  const page = await E.openTab(browser);
  const url = play.urls[0];
  await page.goto(url);
  await E.booted(page);
  await E.bestShows(page, 0);
  const { score, reply, saveUrl, savePassword } = await E.playToGameOver(page);
  assert.equal(saveUrl, `${base}/plugin_pentra_3d?action=save_score&val=${score}`);
  assert.equal(savePassword, undefined, 'no password is known, none is sent');
  assert.equal(reply, E.scoresBody([score]));
  assert.equal(fs.readFileSync(path.join(data, '.pentra_scores.json'), 'utf8'), `{"scores":[${score}]}\n`);
  await E.bestShows(page, score);

  await page.reload();
  await E.booted(page);
  await E.bestShows(page, score);
  assert.deepEqual(page.apiRequests.map((r) => r.url), [
    `${base}/plugin_pentra_3d?action=scores`,
    `${base}/plugin_pentra_3d?action=save_score&val=${score}`,
    `${base}/plugin_pentra_3d?action=scores`,
  ]);
  assert.deepEqual(page.errors, []);
  assert.deepEqual(page.consoleErrors, [], 'nothing failed to load, the favicon included');
  await page.context().close();
});

test('--lan or --listen without a usable password, or with a bad address, refuses to start', () => {
  for (const args of [['--lan', '--password', ''], ['--listen', '192.0.2.1', '--password='],
    ['--listen', '192.0.2.256'], ['--listen', 'localhost'], ['--lan', '--listen', '127.0.0.1']]) {
    const run = spawnSync(path.join(E.ROOT, 'scripts', 'play'), [...args, '--program', E.BIN],
      { encoding: 'utf8', timeout: 20000, env: { ...process.env, TMPDIR: path.join(dir, 'tmp') } });
    assert.equal(run.status, 2, args.join(' '));
    assert.equal(run.stdout, '', args.join(' '));
  }
});

test('--lan: every interface, a random password in the printed URLs and the QR code, a game saved through it', async () => {
  const lan = path.join(dir, 'lan');
  const lanData = path.join(lan, 'data');
  fs.mkdirSync(path.join(lan, 'tmp'), { recursive: true });
  const second = await E.startPlay(lan, ['--lan', '--port', '0', '--data', lanData, '--program', E.BIN]);
  try {
    const local = second.nodes.node;
    const port = E.portOf(local);
    assert.match(local, /^http:\/\/127\.0\.0\.1:\d+$/);
    assert.deepEqual(E.listeningAddresses(port), ['0.0.0.0'], 'the node listens on every IPv4 interface');

    // 24 URL-safe characters (144 bits), the same in every URL, and a one-line note about it.
    const pwd = /\?pwd=([^&]*)$/.exec(second.urls[0])?.[1];
    assert.match(pwd, /^[A-Za-z0-9_-]{24}$/);
    assert.equal(second.output.split('\n').filter((l) => /random password/.test(l)).length, 1);
    const addresses = Object.values(os.networkInterfaces()).flat()
      .filter((a) => a.family === 'IPv4' && !a.internal).map((a) => a.address);
    const urlAt = (host) => `http://${host}:${port}/plugin_pentra_3d?pwd=${pwd}`;
    assert.equal(second.urls[0], urlAt('127.0.0.1'));
    assert.deepEqual([...second.urls.slice(1)].sort(), addresses.map(urlAt).sort(), 'one URL for each network address');
    if (addresses.length > 0) {
      const qr = spawnSync('qrencode', ['-t', 'ANSIUTF8', second.urls[1]], { encoding: 'utf8', timeout: 10000 });
      assert.equal(qr.status, 0);
      assert.ok(second.output.includes(`:\n${qr.stdout}Press Ctrl-C to stop.\n`), 'the QR code of the first network URL');
    } else {
      assert.match(second.output, /no network address/);
    }

    // Refused without the password; the icon and the discovery list need none.
    E.assertRefusal(await E.request(`${local}/plugin_pentra_3d`));
    E.assertRefusal(await E.request(`${local}/plugin_pentra_3d?action=save_score&val=5`));
    E.assertFavicon(await E.request(`${local}/favicon.ico`));

    // The phone's URL, opened over 127.0.0.1 only.
    const url = new URL(second.urls[second.urls.length - 1]);
    url.hostname = '127.0.0.1';
    const page = await E.openTab(browser);
    await page.goto(url.href);
    await E.booted(page);
    const { score, reply, savePassword } = await E.playToGameOver(page);
    assert.equal(savePassword, pwd);
    assert.equal(reply, E.scoresBody([score]));
    assert.equal(fs.readFileSync(path.join(lanData, '.pentra_scores.json'), 'utf8'), `{"scores":[${score}]}\n`);
    assert.deepEqual(page.errors, []);
    await page.context().close();
  } finally {
    await second.stop();
  }
});
