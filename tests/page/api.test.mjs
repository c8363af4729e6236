// Requests to the node: node and hub forms, encoding and order of the
// fields, where the password comes from and how it travels; a best score
// whose save failed, kept and sent again until the node has it.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as H from './harness.mjs';
import { topOut } from './model.mjs';
import { readStorage } from '../lib/page_script.mjs';
import { unwritable } from '../values.mjs';

let server, page;
H.useBrowser((s) => ({ server, page } = s), { fresh: 'server' });

// Opens the page at `path` with the given storage and returns the one
// request it sent at boot.
async function bootRequest(path, storage = {}) {
  await H.loadFresh(page, server, path, storage);
  assert.equal(server.requests.length, 1, `${path}: one boot request`);
  await H.noErrors(page, path);
  const r = server.requests[0];
  return { url: r.url, pwd: r.headers['x-bot-password'] };
}

test('node form and hub form, with every value encoded and the fields in order', H.LIMIT, async () => {
  assert.deepEqual(await bootRequest('/plugin_pentra_3d'), { url: '/plugin_pentra_3d?action=scores', pwd: undefined });
  assert.deepEqual(await bootRequest('/plugins?plugin=plugin_pentra_3d&node=west'),
    { url: '/plugins?plugin=plugin_pentra_3d&action=scores&node=west', pwd: undefined });
  assert.deepEqual(await bootRequest('/plugin_pentra_3d?pwd=x%20y%26z&id=s%2F1&node=a%20b%26c'),
    { url: '/plugin_pentra_3d?action=scores&node=a%20b%26c&id=s%2F1&pwd=x%20y%26z', pwd: 'x y&z' });
  // The header holds the password unchanged; its bytes are the engine's: one
  // byte per character (Latin-1) in Chromium and Firefox, UTF-8 in WebKitGTK.
  // The node reads them as Latin-1, and the pwd field carries the UTF-8 anyway.
  assert.deepEqual(await bootRequest('/plugins?id=7&plugin=p%20q%3Dr&pwd=%C3%A4%20b'),
    { url: '/plugins?plugin=p%20q%3Dr&action=scores&id=7&pwd=%C3%A4%20b', pwd: H.ENGINE === 'webkit' ? '\u00c3\u00a4 b' : '\u00e4 b' });
});

test('password sources: the pwd parameter, then the node\'s own key, then bot_active_pwd only without a node', H.LIMIT, async () => {
  const both = { bot_pwd_west: 'wp', bot_active_pwd: 'act' };
  const cases = [
    ['/plugin_pentra_3d', {}, undefined],
    ['/plugin_pentra_3d', { bot_active_pwd: 'act', bot_pwd_: 'empty-node' }, 'act'],
    ['/plugin_pentra_3d?node=west', both, 'wp'],
    ['/plugin_pentra_3d?node=west', { bot_active_pwd: 'act' }, undefined],
    ['/plugin_pentra_3d?node=east', both, undefined],
    ['/plugin_pentra_3d?node=west&pwd=pp', both, 'pp'],
    ['/plugin_pentra_3d?pwd=&node=west', both, 'wp'],
    ['/plugin_pentra_3d?pwd=', both, 'act'],
  ];
  for (const [path, storage, want] of cases) {
    const r = await bootRequest(path, storage);
    const why = `${path} with ${JSON.stringify(storage)}`;
    assert.equal(r.pwd, want, why);
    const node = new URL(path, 'http://x').searchParams.get('node');
    const expectUrl = '/plugin_pentra_3d?action=scores' + (node ? `&node=${node}` : '') + (want ? `&pwd=${want}` : '');
    assert.equal(r.url, expectUrl, why);
  }
});

test('a password that cannot stand in a header: the request is refused by the browser and the page carries on', H.LIMIT, async () => {
  await H.loadFresh(page, server, '/plugin_pentra_3d?pwd=%E2%82%ACuro');
  assert.equal(server.requests.length, 0);
  assert.deepEqual(await H.hud(page), { score: '0', best: '0', lines: '0 / 1' });
  assert.equal((await H.dialog(page)).title, 'READY');
  await H.keys(page, ['Enter', ' ']);
  assert.notEqual((await H.hud(page)).score, '0');
});

test('the save at game over goes through the same form: hub, action, val, node, id, pwd', H.LIMIT, async () => {
  const bags = ['IJLOSTZ', 'ZTSOLJI', 'OIJLSTZ'];
  const end = topOut(bags);
  await H.loadFresh(page, server, '/plugins?plugin=hub%2Fid&node=w%20st&id=9&pwd=s%26cret');
  await H.play(page, bags, ['Enter', ...Array(end.presses).fill(' ')]);
  assert.equal((await H.dialog(page)).title, 'GAME OVER');
  await H.waitFor(page, () => window.__settled >= 2);
  assert.deepEqual(server.requests.map((r) => [r.url, r.headers['x-bot-password']]), [
    ['/plugins?plugin=hub%2Fid&action=scores&node=w%20st&id=9&pwd=s%26cret', 's&cret'],
    [`/plugins?plugin=hub%2Fid&action=save_score&val=${end.score}&node=w%20st&id=9&pwd=s%26cret`, 's&cret'],
  ]);
});

// --- a best score kept until the node has it ----------------------------

const BAGS = ['IJLOSTZ', 'ZTSOLJI', 'OIJLSTZ'];
const END = topOut(BAGS);
const SAVE = `save_score ${END.score}`;
const lost = () => ({ destroy: true });

// Plays the page's first game, which ends above a best of 0, and waits until
// its save has settled.
async function gameOver(p = page) {
  const n = await p.evaluate(() => window.__settled);
  await H.play(p, BAGS, ['Enter', ...Array(END.presses).fill(' ')]);
  await H.waitFor(p, (k) => window.__settled > k, n);
}

// The requests the page has begun since the last call, as "action val".
const sent = (p = page) => p.evaluate(() => window.__fetched.splice(0).map((u) => {
  const q = new URL(u, location.href).searchParams;
  return [q.get('action'), q.get('val')].filter(Boolean).join(' ');
}));
const kept = async () => Object.keys(await readStorage(page)).length;
const later = () => page.evaluate(() => window.__later());
const settled = (n) => H.waitFor(page, (k) => window.__settled >= k, n);

test('a save that fails is kept, and sent again after a look at the node\'s best on the next load and back online', H.LIMIT, async () => {
  const failures = [
    // why, the failing reply, whether the page tries again while it stays open
    ['503', () => ({ status: 503, body: '{"ok":false,"error":"busy"}\n' }), true],
    ['no connection', lost, true],
    ['a reply that is not the node\'s JSON', () => ({ type: 'text/html', body: '<html>Wi-Fi login</html>' }), true],
    ['unwritable store', () => ({ body: unwritable(5) }), true],
    ['refused password', () => H.REFUSAL, false],
  ];
  for (const [why, fail, whileOpen] of failures) {
    await H.loadFresh(page, server);
    server.reply = fail;
    await gameOver();
    assert.deepEqual([await sent(), await kept(), await later()], [['scores', SAVE], 1, whileOpen ? [4000] : []], `${why}: kept`);

    server.reply = null;
    await H.load(page, server);
    await settled(2);
    assert.deepEqual([await sent(), await kept()], [['scores', SAVE], 0], `${why}: sent on the next load, then forgotten`);

    server.reply = fail;
    await gameOver();
    assert.deepEqual(await sent(), [SAVE], why);
    server.reply = null;
    await page.evaluate(() => { dispatchEvent(new Event('online')); dispatchEvent(new Event('online')); });
    // This page has sent the boot request, the save of the kept score and the failed save.
    if (whileOpen) await settled(5);
    assert.deepEqual([await sent(), await kept()], whileOpen ? [['scores', SAVE], 0] : [[], 1], `${why}: back online`);
  }
});

test('a kept score is tried again after growing pauses, not sent while the node gives no best, and not sent once it shows it', H.LIMIT, async () => {
  await H.loadFresh(page, server);
  server.reply = () => ({ status: 503, body: '{"ok":false,"error":"busy"}\n' });
  await gameOver();
  assert.deepEqual(await sent(), ['scores', SAVE]);
  const pauses = [];
  for (let n = 3; n <= 11; n++) {
    pauses.push(...await page.evaluate(() => window.__runLater()));
    await settled(n);
  }
  assert.deepEqual(pauses, [4000, 8000, 16000, 32000, 64000, 128000, 240000, 240000, 240000]);
  assert.deepEqual(await sent(), Array(9).fill('scores'), 'only looks: no best, no save');

  // The save arrived but its reply was lost: the node's best shows it.
  server.reply = () => H.scoresReply(END.score);
  await page.evaluate(() => window.__runLater());
  await settled(12);
  assert.deepEqual([await sent(), await kept(), await later()], [['scores'], 0, []]);
  server.reply = null;
  await H.load(page, server);
  assert.deepEqual(await sent(), ['scores'], 'forgotten for good');
});

test('a hub\'s page and a node\'s page keep their scores apart', H.LIMIT, async () => {
  const west = '/plugins?plugin=plugin_pentra_3d&node=west';
  await H.loadFresh(page, server, west);
  server.reply = lost;
  await gameOver();
  server.reply = null;
  for (const path of ['/plugin_pentra_3d', '/plugin_pentra_3d?node=west', '/plugins?plugin=plugin_pentra_3d&node=east', '/plugins?plugin=other&node=west']) {
    await H.load(page, server, path);
    assert.deepEqual(await sent(), ['scores'], path);
  }
  await H.load(page, server, west);
  await settled(2);
  assert.deepEqual(await sent(), ['scores', SAVE]);
});

test('where storage is refused, a failed save is sent once and raises no error', H.LIMIT, async () => {
  // Sandboxed without allow-same-origin: no storage, and the frame's requests
  // reach the server but their replies are not the page's to read.
  const frame = await H.loadFramed(page, server, '/plugin_pentra_3d', { sandbox: 'allow-scripts' });
  await gameOver(frame);
  await frame.evaluate(() => dispatchEvent(new Event('online')));
  assert.deepEqual([await sent(frame), await frame.evaluate(() => window.__later())], [['scores', SAVE], []]);
  await H.noErrors(frame);
});
