// A local node with a password: lighttpd hands the plugin the password headers and the
// query, the plugin refuses requests without the password with its exact 401 reply, and
// the page finds the password in its own address or in the browser's storage.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import * as E from './harness.mjs';
import { writeStorage } from '../lib/page_script.mjs';
import { JSON_HEADER } from '../values.mjs';

// Characters that must be encoded in a URL, to check the printed one.
const PASSWORD = 'p@ss w&rd+1';
const ENCODED = 'p%40ss%20w%26rd%2B1';

const play = E.useHost('password', ({ data }) => {
  fs.mkdirSync(data);
  fs.writeFileSync(path.join(data, '.pentra_scores.json'), '{"scores":[321,20]}\n');
  return { nodes: [{ name: 'node', data, password: PASSWORD }] };
}, { browser: true });

test('the printed URL carries the password, encoded', () => {
  assert.deepEqual(play.urls, [`${play.base}/plugin_pentra_3d?pwd=${ENCODED}`]);
  assert.match(play.output, /, with a password\)/);
  assert.ok(!play.output.includes(PASSWORD), 'the password itself is not printed');
});

test('requests without the right password get the 145-byte refusal as an HTTP 401', async () => {
  const url = `${play.base}/plugin_pentra_3d`;
  const refused = [
    [url, {}],
    [`${url}?action=scores`, {}],
    [`${url}?action=save_score&val=999`, {}],
    [`${url}?action=scores`, { headers: { 'X-Bot-Password': 'wrong' } }],
    [`${url}?action=scores`, { headers: { Authorization: 'Basic ' + Buffer.from('u:' + PASSWORD).toString('base64') } }],
    [`${url}?action=scores&pwd=${encodeURIComponent(PASSWORD).replace('%2B', '+')}`, {}],
    [`${url}?action=scores`, { method: 'POST', headers: { 'Content-Type': 'application/x-www-form-urlencoded' }, body: `pwd=${ENCODED}` }],
  ];
  for (const [u, opts] of refused) E.assertRefusal(await E.request(u, opts));
  assert.equal(E.scoresIn(play.data), '{"scores":[321,20]}\n', 'nothing saved');
});

test('the header, a bearer token or the pwd field lets a request in; discovery needs none', async () => {
  const url = `${play.base}/plugin_pentra_3d?action=scores`;
  const expected = JSON_HEADER + E.scoresBody([321, 20]);
  for (const opts of [
    { headers: { 'X-Bot-Password': PASSWORD } },
    { headers: { Authorization: `Bearer ${PASSWORD}` } },
    { headers: { Authorization: `  Bearer   ${PASSWORD}`, 'X-Bot-Password': 'wrong' } },
  ]) {
    const res = await E.request(url, opts);
    assert.equal(E.asCgiReply(res), expected, JSON.stringify(opts));
  }
  assert.equal(E.asCgiReply(await E.request(`${url}&pwd=${ENCODED}`)), expected);
  E.assertJson(await E.request(`${play.base}/plugins`), 200, E.PLUGIN_LIST);
});

test('the page opened with ?pwd= boots with the node\'s best score and sends the password both ways', async (t) => {
  const page = await E.openTab(play.browser, t, play.urls[0]);
  await E.bestShows(page, 321);
  assert.deepEqual(page.apiRequests, [{ url: `${play.base}/plugin_pentra_3d?action=scores&pwd=${ENCODED}`, password: PASSWORD }]);
  assert.deepEqual(page.errors, []);
});

test('the page finds the password stored under bot_pwd_ and the node name, or bot_active_pwd without a node', async (t) => {
  const page = await E.openTab(play.browser, t);
  const store = (items) => writeStorage(page, `${play.base}/plugins`, items);
  // Opens the page, its document let in by the header, and resolves with the boot reply.
  const open = async (url) => {
    page.apiRequests.length = 0;
    await page.unrouteAll();
    await E.withDocumentHeaders(page, url, { 'X-Bot-Password': PASSWORD });
    const boot = page.waitForResponse((r) => r.url().includes('action=scores'), { timeout: 15000 });
    const res = await page.goto(url);
    assert.equal(res.status(), 200, 'the document itself was let in');
    await E.booted(page);
    return boot;
  };

  await store({ bot_pwd_home: PASSWORD });
  await open(`${play.base}/plugin_pentra_3d?node=home`);
  await E.bestShows(page, 321);
  assert.deepEqual(page.apiRequests, [{ url: `${play.base}/plugin_pentra_3d?action=scores&node=home&pwd=${ENCODED}`, password: PASSWORD }]);

  await store({ bot_active_pwd: PASSWORD });
  await open(`${play.base}/plugin_pentra_3d`);
  await E.bestShows(page, 321);
  assert.deepEqual(page.apiRequests, [{ url: `${play.base}/plugin_pentra_3d?action=scores&pwd=${ENCODED}`, password: PASSWORD }]);

  // With a node name, bot_active_pwd is not consulted: the boot request goes without a
  // password, the node refuses it, and the best score stays 0.
  const refusal = await open(`${play.base}/plugin_pentra_3d?node=home`);
  assert.equal(refusal.status(), 401);
  assert.equal(await refusal.text(), E.REFUSAL_BODY);
  assert.deepEqual(page.apiRequests, [{ url: `${play.base}/plugin_pentra_3d?action=scores&node=home`, password: undefined }]);
  assert.equal(await E.text(page, 'vBest'), '0');
  assert.deepEqual(page.errors, []);
});

test('wrong passwords from one address make it wait, longer each time; the right one from another address is not slowed', async () => {
  const url = `${play.base}/plugin_pentra_3d?action=scores`;
  const guess = () => E.request(url, { headers: { 'X-Bot-Password': 'guess' }, localAddress: '127.0.0.3' });
  for (let i = 0; i < 5; i++) E.assertRefusal(await guess());
  const waits = [];
  for (const wait of ['1', '2']) {
    const slowed = await guess();
    E.assertJsonError(slowed, 429, 'too_many_tries');
    waits.push(slowed.headers['retry-after']);
    assert.equal((await E.request(url, { headers: { 'X-Bot-Password': PASSWORD }, localAddress: '127.0.0.2' })).status, 200);
    await E.sleep(Number(wait) * 1000 + 100);
    E.assertRefusal(await guess());
  }
  assert.deepEqual(waits, ['1', '2']);
});

test('the right password never waits: saves beside wrong guesses from the same address are all served, and the guesses stay counted', async () => {
  const url = `${play.base}/plugin_pentra_3d`;
  const from = '127.0.0.4';
  const guess = () => E.request(`${url}?action=scores`, { headers: { 'X-Bot-Password': 'stale' }, localAddress: from });
  for (let i = 0; i < 5; i++) E.assertRefusal(await guess());
  E.assertJsonError(await guess(), 429, 'too_many_tries');
  // The address now waits; the right password in each of its places goes straight through,
  // in the middle of more wrong guesses.
  const right = [{ headers: { 'X-Bot-Password': PASSWORD } }, { headers: { Authorization: `Bearer ${PASSWORD}` } }, { query: `&pwd=${ENCODED}` }];
  const saves = Array.from({ length: 24 }, (_, i) => {
    const { headers = {}, query = '' } = right[i % right.length];
    return E.request(`${url}?action=save_score&val=${i + 1}${query}`, { headers, localAddress: from });
  });
  const guesses = Array.from({ length: 24 }, guess);
  const saved = await Promise.all(saves);
  assert.deepEqual(saved.map((res) => res.status), Array(24).fill(200));
  // On a slow machine the first wait may end meanwhile and a guess get its refusal.
  for (const res of await Promise.all(guesses)) assert.ok([401, 429].includes(res.status), String(res.status));
  // Had the saves cleared the count, two more guesses would both be refused and not slowed.
  await guess();
  E.assertJsonError(await guess(), 429, 'too_many_tries', 'the right password did not clear the count');
});
