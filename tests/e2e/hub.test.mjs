// A hub in front of two nodes, started as scripts/play --hub starts it: discovery, errors, requests
// forwarded unchanged to the named node and its reply relayed unchanged, and the page played
// through the hub on each node.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { freePort } from '../../host/processes.mjs';
import path from 'node:path';
import * as E from './harness.mjs';
import { PAGE_TYPE, UNKNOWN_ACTION } from '../values.mjs';

const HUB_LIST = '[{"id":"plugin_pentra_3d","name":"pentra","desc":"3D block game","nodes":["alpha","beta"]}]\n';

// The lines the host says when it starts a server again.
const said = [];
const play = E.useHost('hub', ({ data }) => ({
  nodes: [{ name: 'alpha', data: path.join(data, 'alpha') }, { name: 'beta', data: path.join(data, 'beta'), password: 'beta-secret' }],
  hub: { port: 0 },
  say: (line) => said.push(line),
}), { browser: true });

const readScores = (node) => E.scoresIn(path.join(play.data, node));

test('the hub host describes both nodes with their data folders and one URL per node', () => {
  for (const url of [play.hub, play.nodes.alpha, play.nodes.beta]) {
    assert.match(url, /^http:\/\/127\.0\.0\.1:\d+$/);
    assert.deepEqual(E.listeningAddresses(E.portOf(url)), ['127.0.0.1']);
  }
  assert.equal(new Set([play.hub, play.nodes.alpha, play.nodes.beta]).size, 3);
  assert.match(play.output, new RegExp(`Node alpha: ${play.nodes.alpha} \\(data folder ${play.data}/alpha, no password\\)`));
  assert.match(play.output, new RegExp(`Node beta: ${play.nodes.beta} \\(data folder ${play.data}/beta, with a password\\)`));
  assert.deepEqual(play.urls, [
    `${play.hub}/plugins?plugin=plugin_pentra_3d&node=alpha`,
    `${play.hub}/plugins?plugin=plugin_pentra_3d&node=beta&pwd=beta-secret`,
  ]);
});

test('discovery: the hub lists the plugin with its nodes, relays one node\'s list, and a node never forwards', async () => {
  E.assertJson(await E.request(`${play.hub}/plugins`), 200, HUB_LIST);
  assert.equal((await E.request(`${play.hub}/plugins?node=beta`)).body, E.PLUGIN_LIST);
  for (const node of [play.nodes.alpha, play.nodes.beta]) {
    E.assertJson(await E.request(`${node}/plugins?plugin=plugin_pentra_3d&action=scores&node=alpha`), 200, E.PLUGIN_LIST, node);
  }
});

test('a missing or unknown node, or an unknown plugin, gets a JSON error with a 4xx status', async () => {
  const cases = [
    ['/plugins?plugin=plugin_pentra_3d&action=scores', 400, 'missing_node'],
    ['/plugins?plugin=plugin_pentra_3d&action=scores&node=', 400, 'missing_node'],
    ['/plugins?plugin=plugin_pentra_3d&action=scores&node=gamma', 404, 'unknown_node'],
    ['/plugins?plugin=plugin_pentra_3d&action=scores&node=Alpha', 404, 'unknown_node'],
    ['/plugins?node=gamma', 404, 'unknown_node'],
    ['/plugins?plugin=plugin_other&action=scores&node=alpha', 404, 'unknown_plugin'],
  ];
  for (const [p, status, error] of cases) E.assertJsonError(await E.request(play.hub + p), status, error, p);
  assert.equal((await E.request(`${play.hub}/plugin_pentra_3d?action=scores`)).status, 404, 'a hub serves no plugin itself');
  for (const server of [play.hub, play.nodes.alpha, play.nodes.beta]) E.assertFavicon(await E.request(`${server}/favicon.ico`));
});

test('requests are forwarded unchanged: the reply through the hub equals the node\'s own, status and refusal included', async () => {
  const hubUrl = (node, rest) => `${play.hub}/plugins?plugin=plugin_pentra_3d&${rest}&node=${node}&id=s1`;
  const nodeUrl = (node, rest) => `${play.nodes[node]}/plugin_pentra_3d?plugin=plugin_pentra_3d&${rest}&node=${node}&id=s1`;
  const same = (node, rest, opts) => E.assertAlike(hubUrl(node, rest), nodeUrl(node, rest), opts, rest);

  E.assertRefusal(await same('beta', 'action=scores'));
  E.assertRefusal(await same('beta', 'action=scores', { headers: { 'X-Bot-Password': 'beta-secreT' } }));
  assert.equal((await same('beta', 'action=scores', { headers: { Authorization: 'Bearer beta-secret' } })).body, E.scoresBody([]));
  assert.equal((await same('beta', 'action=scores', { headers: { 'X-Bot-Password': 'beta-secret' } })).body, E.scoresBody([]));
  assert.equal((await same('beta', 'action=scores&pwd=beta-secret')).body, E.scoresBody([]));
  assert.equal((await same('alpha', 'action=leaderboard')).body, E.scoresBody([]));
  assert.equal((await same('alpha', 'action=nope')).body, UNKNOWN_ACTION);
  const page = await same('alpha', 'theme=dark');
  assert.equal(page.headers['content-type'], PAGE_TYPE);
  assert.match(page.body, /3D BLOCKS/);

  // A save through the hub, with its score in a form body and percent escapes in the
  // query, lands on the node named and nowhere else.
  const save = await E.request(`${play.hub}/plugins?plugin=plugin_pentra_3d&action=save%5Fscore&node=beta&id=s1`, {
    method: 'POST',
    headers: { 'X-Bot-Password': 'beta-secret', 'Content-Type': 'application/x-www-form-urlencoded' },
    body: 'val=%34%32',
  });
  E.assertJson(save, 200, E.scoresBody([42]));
  assert.equal(readScores('beta'), '{"scores":[42]}\n');
  assert.equal(readScores('alpha'), null);
  fs.rmSync(path.join(play.data, 'beta', '.pentra_scores.json'));
});

test('the page played through the hub: alpha boots, a game on beta saves there, a reload shows the best', async (t) => {
  const page = await E.openTab(play.browser, t, play.urls[0]);
  await E.bestShows(page, 0);
  assert.deepEqual(page.apiRequests, [{ url: `${play.hub}/plugins?plugin=plugin_pentra_3d&action=scores&node=alpha`, password: undefined }]);

  // Beta's password comes from the browser's storage; the document itself is let in by
  // the header, as a host's login page would have arranged.
  await page.goto(`${play.hub}/plugins`);
  await page.evaluate(() => localStorage.setItem('bot_pwd_beta', 'beta-secret'));
  const betaUrl = `${play.hub}/plugins?plugin=plugin_pentra_3d&node=beta`;
  await E.withDocumentHeaders(page, betaUrl, { 'X-Bot-Password': 'beta-secret' });
  page.apiRequests.length = 0;
  await E.bootAt(page, betaUrl);
  await E.bestShows(page, 0);
  const { score, reply, saveUrl, savePassword } = await E.playToGameOver(page);
  assert.equal(saveUrl, `${play.hub}/plugins?plugin=plugin_pentra_3d&action=save_score&val=${score}&node=beta&pwd=beta-secret`);
  assert.equal(savePassword, 'beta-secret');
  assert.equal(reply, E.scoresBody([score]));
  assert.equal(readScores('beta'), `{"scores":[${score}]}\n`);
  assert.equal(readScores('alpha'), null, 'alpha keeps no score');

  await page.reload();
  await E.booted(page);
  await E.bestShows(page, score);
  await E.bootAt(page, play.urls[0]);
  await E.bestShows(page, 0);
  assert.deepEqual(page.errors, []);
});

test('--password sets beta\'s password on a hub at a chosen port; header bytes pass through unchanged', async (t) => {
  const port = await freePort();
  // A Latin-1 password, the single byte 0xE9: a browser sends such a header value byte for
  // byte, and the hub must hand the node that byte, not a UTF-8 rendering of it.
  const second = await E.playFor(t, path.join(play.dir, 'other'), ['--hub', '--port', String(port)],
    { shellArgs: `--password "$(printf '\\351')"` });
  assert.equal(second.hub, `http://127.0.0.1:${port}`);
  assert.equal(second.urls[1], `${second.hub}/plugins?plugin=plugin_pentra_3d&node=beta&pwd=%E9`);
  const url = `${second.hub}/plugins?plugin=plugin_pentra_3d&action=scores&node=beta`;
  E.assertRefusal(await E.request(url, { headers: { 'X-Bot-Password': 'beta-secret' } }));
  E.assertRefusal(await E.request(url, { headers: { 'X-Bot-Password': Buffer.from('\u00e9').toString('latin1') } }));
  assert.equal((await E.request(url, { headers: { 'X-Bot-Password': '\u00e9' } })).body, E.scoresBody([]));
  assert.equal((await E.request(`${url}&pwd=%E9`)).body, E.scoresBody([]));
  assert.equal((await E.request(`${second.hub}/plugins?plugin=plugin_pentra_3d&action=scores&node=alpha`)).body, E.scoresBody([]));
});

test('--hub --lan: only the hub listens on every interface, and both nodes get their own random password', async (t) => {
  const second = await E.playFor(t, path.join(play.dir, 'lan'), ['--hub', '--lan', '--port', '0']);
  assert.deepEqual(E.listeningAddresses(E.portOf(second.hub)), ['0.0.0.0']);
  for (const node of [second.nodes.alpha, second.nodes.beta]) assert.deepEqual(E.listeningAddresses(E.portOf(node)), ['127.0.0.1']);
  assert.match(second.output, /\(data folder \S+\/alpha, with a password\)/);
  assert.match(second.output, /^Made random passwords for nodes alpha and beta .*$/m);

  const game = `${second.hub}/plugins?plugin=plugin_pentra_3d`;
  const [alphaUrl, betaUrl] = second.urls;
  const alphaPwd = new URL(alphaUrl).searchParams.get('pwd');
  const betaPwd = new URL(betaUrl).searchParams.get('pwd');
  assert.equal(alphaUrl, `${game}&node=alpha&pwd=${alphaPwd}`);
  assert.equal(betaUrl, `${game}&node=beta&pwd=${betaPwd}`);
  for (const pwd of [alphaPwd, betaPwd]) assert.match(pwd, /^[A-Za-z0-9_-]{24}$/);
  assert.notEqual(alphaPwd, betaPwd);
  assert.ok(second.urls.length >= 2 && second.urls.length % 2 === 0, 'alpha and beta at each address');
  if (second.urls.length > 2) assert.ok(second.output.includes(` to open ${second.urls[2]}:\n`), 'the QR code opens alpha');

  for (const [node, pwd, other] of [['alpha', alphaPwd, betaPwd], ['beta', betaPwd, alphaPwd]]) {
    E.assertRefusal(await E.request(`${game}&action=scores&node=${node}`));
    E.assertRefusal(await E.request(`${game}&action=scores&node=${node}&pwd=${other}`));
    assert.equal((await E.request(`${game}&action=scores&node=${node}&pwd=${pwd}`)).body, E.scoresBody([]));
  }
  E.assertFavicon(await E.request(`${second.hub}/favicon.ico`));
});

test('the query reaches the program byte for byte, on a node and through the hub; a bad one is answered 400', async (t) => {
  // A stand-in plugin that answers its query and password as it got them.
  const echoDir = path.join(play.dir, 'echo');
  fs.mkdirSync(echoDir);
  const echo = path.join(echoDir, 'echo.sh');
  fs.writeFileSync(echo, [
    '#!/bin/sh',
    'if [ "$1" = --meta ]; then echo \'{"name":"echo","desc":"echo"}\'; exit 0; fi',
    'printf \'Content-Type: text/plain\\r\\n\\r\\n%s|%s\' "$QUERY_STRING" "$HTTP_X_BOT_PASSWORD"',
    '',
  ].join('\n'), { mode: 0o755 });
  const run = await E.hostFor(t, echoDir, { program: echo, nodes: [{ name: 'alpha', data: path.join(echoDir, 'alpha') }], hub: { port: 0 } });
  const query = 'v%61l=%3d%3D&pwd=%E9%e9&a+b=c%2Bd&x=%00%ZZ%&action=save%5Fscore&&=';
  const direct = await E.request(`${run.nodes.alpha}/plugin_pentra_3d?${query}`, { headers: { 'X-Bot-Password': '\u00e9 \u00ff' } });
  assert.equal(direct.body, `${query}|\u00e9 \u00ff`);
  const hubQuery = `plugin=plugin_pentra_3d&node=alpha&${query}`;
  const viaHub = await E.request(`${run.hub}/plugins?${hubQuery}`, { headers: { 'X-Bot-Password': '\u00e9 \u00ff' } });
  assert.equal(viaHub.body, `${hubQuery}|\u00e9 \u00ff`);

  for (const line of ['GET /plugins?plugin=plugin_pentra_3d&node=alpha&pwd=\xe9', 'GET /plugins?node=alpha&a\rSet-Cookie:x']) {
    assert.equal((await E.rawRequest(run.hub, line)).status, 'HTTP/1.1 400 Bad Request', JSON.stringify(line));
  }
});

test('the hub answers only requests naming it as Host (421) and refuses another site\'s JSON requests (403)', async () => {
  const port = E.portOf(play.hub);
  const game = `${play.hub}/plugins?plugin=plugin_pentra_3d&node=alpha`;
  await E.assertRefusesOthers(`${game}&action=save_score&val=2147483647`, {
    hosts: [`evil.example:${port}`, `127.0.0.1:${E.portOf(play.nodes.alpha)}`, '127.0.0.1'],
    sites: [{ headers: { 'Sec-Fetch-Site': 'cross-site' } }, { headers: { Origin: 'http://evil.example' } }, { headers: { Origin: play.nodes.alpha } }],
  });
  assert.equal(readScores('alpha'), null, 'nothing was saved');
  // The page opens from another site, and the hub's own origin passes to the node.
  assert.equal((await E.request(game, { headers: { 'Sec-Fetch-Site': 'cross-site' } })).status, 200);
  const own = await E.request(`${game}&action=scores`, { headers: { 'Sec-Fetch-Site': 'same-origin', Origin: play.hub, Host: `localhost:${port}` } });
  assert.equal(own.status, 403, 'Origin names 127.0.0.1 but Host names localhost: another origin');
  const same = await E.request(`${game}&action=scores`, { headers: { 'Sec-Fetch-Site': 'same-origin', Origin: play.hub } });
  assert.equal(same.body, E.scoresBody([]));
});

test('a node\'s lighttpd or the front that dies is started again while the rest serves, and the game plays on', async (t) => {
  const scores = (node) => E.request(`${play.hub}/plugins?plugin=plugin_pentra_3d&node=${node}&action=scores`,
    { headers: { 'X-Bot-Password': 'beta-secret' } }).catch(() => ({ status: 0 }));
  const back = async (node) => {
    for (let i = 0; i < 100 && (await scores(node)).status !== 200; i++) await E.sleep(100);
  };
  process.kill(play.host.pids().alpha, 'SIGKILL');
  assert.equal((await scores('beta')).status, 200, 'beta serves while alpha is down');
  await back('alpha');
  process.kill(play.host.pids().front, 'SIGKILL');
  await back('beta');
  assert.deepEqual(said, ['The alpha server stopped (signal SIGKILL) and was started again.',
    'The front server stopped (signal SIGKILL) and was started again.']);

  const page = await E.openTab(play.browser, t, play.urls[0]);
  const { score, reply } = await E.playToGameOver(page);
  assert.equal(JSON.parse(reply).highscore >= score, true, reply);
});

test('a best saved while its node\'s server is down is kept by the page and reaches the table once the server is back', async (t) => {
  fs.rmSync(path.join(play.data, 'alpha', '.pentra_scores.json'), { force: true });
  const page = await E.openTab(play.browser, t, play.urls[0]);
  await E.bestShows(page, 0);
  const replies = [];
  page.on('response', (r) => {
    if (r.request().resourceType() === 'fetch') replies.push(`${r.status()} ${new URL(r.url()).searchParams.get('action')}`);
  });
  // Alpha's server is killed as the save leaves the page; the save goes on once it is gone.
  let killedAt = 0;
  await page.route((u) => u.searchParams.get('action') === 'save_score', async (route) => {
    if (!killedAt) {
      const pid = play.host.pids().alpha;
      process.kill(pid, 'SIGKILL');
      killedAt = Date.now();
      for (let i = 0; i < 500 && fs.existsSync(`/proc/${pid}`); i++) await E.sleep(10);
    }
    await route.continue();
  });
  const stored = page.waitForResponse((r) => r.url().includes('action=save_score') && r.status() === 200, { timeout: 60000 });
  stored.catch(() => {});
  const { score, reply } = await E.playToGameOver(page);
  assert.equal(reply, '{"ok":false,"error":"node_unreachable"}\n');
  assert.equal(await (await stored).text(), E.scoresBody([score]));
  const after = Date.now() - killedAt;
  assert.equal(readScores('alpha'), `{"scores":[${score}]}\n`);
  assert.equal(said.at(-1), 'The alpha server stopped (signal SIGKILL) and was started again.');
  await E.bestShows(page, score);
  t.diagnostic(`score ${score}: alpha killed as its save left the page; replies ${replies.join(', ')}; in the table ${after} ms after the kill`);

  // The node has it: a reload looks and sends nothing more.
  await page.reload();
  await E.booted(page);
  await E.bestShows(page, score);
  const actions = page.apiRequests.map((r) => new URL(r.url).searchParams.get('action'));
  assert.deepEqual(actions, ['scores', 'save_score', 'scores', 'save_score', 'scores']);
  assert.deepEqual(page.errors, []);
});
