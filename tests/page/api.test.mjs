// Requests to the node: node and hub forms, encoding and order of the
// fields, where the password comes from and how it travels.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as H from './harness.mjs';
import { topOut } from './model.mjs';

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
