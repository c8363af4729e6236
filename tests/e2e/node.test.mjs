// A local node without a password, started through host/host.mjs: its routes over real HTTP, and
// a whole game in Chromium whose score lands in the node's score file. Then the same node
// open to the network with --lan, under the random password the script makes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import * as E from './harness.mjs';
import { JSON_HEADER, PAGE_TYPE } from '../values.mjs';

const play = E.useHost('node', ({ data }) => ({ nodes: [{ name: 'node', data }] }), { browser: true });

test('the host describes the node, its data folder and the URL to open', () => {
  assert.match(play.base, /^http:\/\/127\.0\.0\.1:\d+$/);
  assert.deepEqual(play.urls, [`${play.base}/plugin_pentra_3d`]);
  assert.match(play.output, new RegExp(`data folder ${play.data}, no password`));
  assert.ok(fs.statSync(play.data).isDirectory(), 'the data folder is created');
  assert.deepEqual(E.listeningAddresses(E.portOf(play.base)), ['127.0.0.1'], 'without --lan, only loopback');
  // The leftover check at the end looks for this run's folder in the processes: it must see
  // the running lighttpd.
  assert.ok(E.processesMentioning(play.dir).some((p) => p.includes('lighttpd')), 'lighttpd is found while running');
});

test('/plugins answers the discovery list, with or without a plugin field; other paths are 404', async () => {
  for (const p of ['/plugins', '/plugins?plugin=plugin_pentra_3d', '/plugins?plugin=plugin_pentra_3d&action=scores']) {
    const res = await E.request(play.base + p);
    E.assertJson(res, 200, E.PLUGIN_LIST, p);
    assert.deepEqual(JSON.parse(res.body), [{ id: 'plugin_pentra_3d', name: 'pentra', desc: '3D block game' }]);
  }
  for (const p of ['/plugin_pentra_3d/x', '/plugins/x', '/pentra']) {
    assert.equal((await E.request(play.base + p)).status, 404, p);
  }
  // The bare address leads to the game, keeping the query.
  const home = await E.request(`${play.base}/?pwd=a%20b`);
  assert.equal(home.status, 301);
  assert.equal(home.headers.location, '/plugin_pentra_3d?pwd=a%20b');
  E.assertFavicon(await E.request(`${play.base}/favicon.ico`));
});

test('/plugin_pentra_3d runs the plugin: the page, the scores reply, saves by query and by form body', async () => {
  const page = await E.request(`${play.base}/plugin_pentra_3d`);
  assert.equal(page.status, 200);
  assert.equal(page.headers['content-type'], PAGE_TYPE);
  assert.equal(page.headers['cache-control'], 'no-store');
  assert.match(page.body, /^<!DOCTYPE html>/i);
  assert.match(page.body, /3D BLOCKS/);

  const scores = await E.request(`${play.base}/plugin_pentra_3d?action=scores`);
  assert.equal(E.asCgiReply(scores), JSON_HEADER + E.scoresBody([]));

  // The query reaches the plugin as sent: %35 is "5".
  const byQuery = await E.request(`${play.base}/plugin_pentra_3d?action=save_score&val=%35`);
  assert.equal(byQuery.body, E.scoresBody([5]));
  const byBody = await E.request(`${play.base}/plugin_pentra_3d?action=save_score`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: 'val=7',
  });
  assert.equal(byBody.body, E.scoresBody([7, 5]));
  assert.equal(E.scoresIn(play.data), '{"scores":[7,5]}\n');
  fs.rmSync(path.join(play.data, '.pentra_scores.json'));
});

test('a game played in the browser ends, its score is saved on the node, and a reload shows it as best', async (t) => {
  const page = await E.openTab(play.browser, t, play.urls[0]);
  await E.bestShows(page, 0);
  const { score, reply, saveUrl, savePassword } = await E.playToGameOver(page);
  assert.equal(saveUrl, `${play.base}/plugin_pentra_3d?action=save_score&val=${score}`);
  assert.equal(savePassword, undefined, 'no password is known, none is sent');
  assert.equal(reply, E.scoresBody([score]));
  assert.equal(E.scoresIn(play.data), `{"scores":[${score}]}\n`);
  await E.bestShows(page, score);

  await page.reload();
  await E.booted(page);
  await E.bestShows(page, score);
  assert.deepEqual(page.apiRequests.map((r) => r.url), [
    `${play.base}/plugin_pentra_3d?action=scores`,
    `${play.base}/plugin_pentra_3d?action=save_score&val=${score}`,
    `${play.base}/plugin_pentra_3d?action=scores`,
  ]);
  assert.deepEqual(page.errors, []);
  assert.deepEqual(page.consoleErrors, [], 'nothing failed to load, the favicon included');
});

test('--lan or --listen without a usable password, or with a bad address, refuses to start', () => {
  const blank = path.join(play.dir, 'blank-password');
  fs.writeFileSync(blank, ' \t\nsecond-line\n');
  const empty = path.join(play.dir, 'empty-password');
  fs.writeFileSync(empty, '');
  for (const args of [['--lan', '--password', ''], ['--listen', '192.0.2.1', '--password='],
    ['--lan', '--password', ' '], ['--listen', '192.0.2.1', '--password=\t '], ['--lan', '--password-file', blank],
    ['--lan', '--password-file', empty], ['--password-file', path.join(play.dir, 'missing')],
    ['--password', 'a', '--password-file', blank],
    ['--listen', '192.0.2.256'], ['--listen', 'localhost'], ['--lan', '--listen', '127.0.0.1']]) {
    const run = spawnSync(path.join(E.ROOT, 'scripts', 'play'), [...args, '--program', E.BIN],
      { encoding: 'utf8', timeout: 20000, env: { ...process.env, TMPDIR: path.join(play.dir, 'tmp') } });
    assert.equal(run.status, 2, args.join(' '));
    assert.equal(run.stdout, '', args.join(' '));
  }
});

test('--lan: every interface, a random password in the printed URLs and the QR code, a game saved through it', async (t) => {
  // Opened before the run starts, so that it closes before the run stops: a test's after
  // hooks run in the order they were added.
  const page = await E.openTab(play.browser, t);
  const second = await E.playFor(t, path.join(play.dir, 'lan'), ['--lan', '--port', '0']);
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

  // Every address of the machine names the node as Host (the request itself goes to
  // 127.0.0.1): the phone's URL gets to the plugin, which wants the password.
  for (const address of addresses) {
    E.assertRefusal(await E.request(`${local}/plugin_pentra_3d`, { headers: { Host: `${address}:${port}` } }));
  }

  // Refused without the password; the icon and the discovery list need none.
  E.assertRefusal(await E.request(`${local}/plugin_pentra_3d`));
  E.assertRefusal(await E.request(`${local}/plugin_pentra_3d?action=save_score&val=5`));
  E.assertFavicon(await E.request(`${local}/favicon.ico`));

  // The phone's URL, opened over 127.0.0.1 only.
  const url = new URL(second.urls[second.urls.length - 1]);
  url.hostname = '127.0.0.1';
  await E.bootAt(page, url.href);
  const { score, reply, savePassword } = await E.playToGameOver(page);
  assert.equal(savePassword, pwd);
  assert.equal(reply, E.scoresBody([score]));
  assert.equal(E.scoresIn(second.data), `{"scores":[${score}]}\n`);
  assert.deepEqual(page.errors, []);
});

// The user scripts/play should serve as here: as root, the one who ran sudo or else the system
// user "pentra"; otherwise the user running the tests.
function expectedUser() {
  if (process.getuid() !== 0) return os.userInfo().username;
  const sudo = process.env.SUDO_USER;
  return sudo && sudo !== 'root' ? sudo : 'pentra';
}

test('scripts/play names the serving user first; lighttpd, the front and the plugin run as that user, who owns the data', async (t) => {
  const cli = path.join(play.dir, 'cli');
  const run = await E.playFor(t, cli, ['--port', '0']);
  const first = run.output.split('\n')[0];
  const name = /^Serving as user (\S+?)[,.( ]/.exec(first)?.[1];
  assert.equal(name, expectedUser(), first);
  const uid = Number(spawnSync('id', ['-u', name], { encoding: 'utf8' }).stdout);
  if (process.getuid() === 0) assert.notEqual(uid, 0, 'never root');

  // The script's own Node.js process (the supervisor) and those it started.
  const procs = E.runProcesses(cli);
  const served = procs.filter((p) => !p.cmd.includes('host/play.mjs'));
  assert.ok(served.some((p) => p.cmd.includes('lighttpd')), procs.map((p) => p.cmd).join('\n'));
  assert.ok(served.some((p) => p.cmd.includes('front.mjs')), procs.map((p) => p.cmd).join('\n'));
  for (const p of served) assert.equal(p.uid, uid, p.cmd);

  // The plugin wrote the score file: it ran as that user too.
  const save = await E.request(`${run.nodes.node}/plugin_pentra_3d?action=save_score&val=12`);
  assert.equal(save.body, E.scoresBody([12]));
  assert.equal(fs.statSync(run.data).uid, uid, 'the data folder is the user\'s');
  assert.equal(fs.statSync(path.join(run.data, '.pentra_scores.json')).uid, uid, 'the score file is the user\'s');
});

test('a data folder where the serving user cannot pass stops scripts/play before it serves, in one line that says why', {
  skip: process.getuid() !== 0 ? 'needs root, to make a folder only root may enter' : false,
}, () => {
  const dir = path.join(play.dir, 'closed-run');
  const closed = path.join(dir, 'closed');
  fs.mkdirSync(path.join(dir, 'tmp'), { recursive: true });
  fs.mkdirSync(closed, { mode: 0o700 });
  const data = path.join(closed, 'data');
  const run = spawnSync(path.join(E.ROOT, 'scripts', 'play'), ['--port', '0', '--data', data, '--program', E.BIN],
    { encoding: 'utf8', timeout: 60000, env: { ...process.env, TMPDIR: path.join(dir, 'tmp'), PENTRA_E2E_RUN: dir } });
  assert.equal(run.status, 1, run.stderr);
  const user = expectedUser();
  assert.match(run.stdout, new RegExp(`^Serving as user ${user}\\b[^\\n]*\\n$`), 'the user line, and no address');
  assert.equal(run.stderr, `scripts/play: user ${user} cannot reach the data folder ${data} (it cannot enter ${closed}); ` +
    `choose a data folder that ${user} can enter (--data), or start it through sudo from your own account, to serve as you\n`);
  assert.equal(fs.existsSync(data), false, 'nothing made in the closed folder');
  assert.equal((fs.statSync(closed).mode & 0o777).toString(8), '700', 'nor its mode changed');
  assert.deepEqual(fs.readdirSync(path.join(dir, 'tmp')), [], 'no run folder');
  assert.deepEqual(E.processesMentioning(dir), [], 'no server');
});

test('hosts started at once where the system user is missing all start, sharing a data folder not made yet', {
  skip: process.getuid() !== 0 || process.env.SUDO_USER ? 'needs root without sudo' : false,
}, async () => {
  const name = `pentra-race-${process.pid}`.slice(0, 30);
  const shared = path.join(play.dir, 'race', 'shared', 'data');
  // Each host in a process of its own, as separate runs would be, all told to start at once.
  const at = Date.now() + 1500;
  const script = `const { startNode } = await import(${JSON.stringify(path.join(E.ROOT, 'host', 'host.mjs'))});
    await new Promise((r) => setTimeout(r, ${at} - Date.now()));
    const node = await startNode({ program: process.env.PENTRA_BIN, data: ${JSON.stringify(shared)}, systemUser: ${JSON.stringify(name)} });
    const res = await fetch(node.url + '/plugin_pentra_3d?action=scores');
    console.log(node.user.name, res.status);
    await node.stop();`;
  try {
    const runs = await Promise.all([0, 1, 2, 3].map(() => new Promise((resolve) => {
      const child = spawn(process.execPath, ['--input-type=module', '-e', script], { env: { ...process.env, PENTRA_E2E_RUN: play.dir } });
      let out = '';
      child.stdout.on('data', (s) => { out += s; });
      child.stderr.on('data', (s) => { out += s; });
      child.on('exit', () => resolve(out.trim()));
    })));
    assert.deepEqual(runs, Array(4).fill(`${name} 200`));
  } finally {
    spawnSync('userdel', ['--remove', name], { stdio: 'ignore' });
  }
});

test('--password-file: the password comes from the file\'s first line and never shows in the process list', async (t) => {
  const pw = path.join(play.dir, 'pwfile');
  fs.mkdirSync(pw);
  const secret = `fi le-${process.pid}`;
  fs.writeFileSync(path.join(pw, 'password'), `${secret}\r\nnot this line\n`, { mode: 0o600 });
  const run = await E.playFor(t, pw, ['--lan', '--port', '0', '--password-file', path.join(pw, 'password')]);
  assert.equal(run.urls[0], `${run.nodes.node}/plugin_pentra_3d?pwd=fi%20le-${process.pid}`);
  assert.doesNotMatch(run.output, /random password/);
  assert.deepEqual(E.processesMentioning(secret, ['cmdline']), [], 'no command line holds the password');
  E.assertRefusal(await E.request(`${run.nodes.node}/plugin_pentra_3d?action=scores`));
  const ok = await E.request(`${run.nodes.node}/plugin_pentra_3d?action=scores`, { headers: { 'X-Bot-Password': secret } });
  assert.equal(ok.body, E.scoresBody([]));
});

// Sends the request line `line` with a chunked body that never ends, as fast as the
// connection takes it, until the server closes the connection (at most 20 s and 512 MB).
// Resolves with the status line of the answer, the bytes of body the connection took, and
// whether the server closed it.
function endlessBody(base, line) {
  const { host, hostname, port } = new URL(base);
  const chunk = Buffer.from(`10000\r\n${'9'.repeat(0x10000)}\r\n`);
  return new Promise((resolve) => {
    const socket = net.connect({ host: hostname, port: Number(port) });
    let sent = 0;
    let answer = '';
    let ended = false;
    const start = Date.now();
    const bounded = () => Date.now() - start < 20000 && sent < 512 * 2 ** 20;
    const finish = (closed) => {
      if (ended) return;
      ended = true;
      socket.destroy();
      resolve({ status: answer.split('\r\n')[0], sent, closed });
    };
    const pump = () => {
      while (!ended && bounded()) {
        if (!socket.write(chunk, (err) => { if (!err) sent += chunk.length; })) {
          socket.once('drain', pump);
          return;
        }
      }
      if (!ended) finish(false);
    };
    socket.on('data', (d) => { answer += d.toString('latin1'); });
    socket.on('connect', () => {
      socket.write(`${line} HTTP/1.1\r\nHost: ${host}\r\nTransfer-Encoding: chunked\r\n\r\n`);
      pump();
    });
    socket.on('close', () => finish(true));
    socket.on('error', () => finish(true));
  });
}

test('every request is answered: raw bytes above 0x7F or control bytes get 400, and no file or log keeps what a client sent', async () => {
  const marker = `Secret${process.pid}x`;
  const send = (line, rest) => E.rawRequest(play.base, line, rest);
  const files = (top) => fs.readdirSync(top, { recursive: true }).map((f) => path.join(top, f)).filter((f) => fs.lstatSync(f).isFile());
  const sizes = () => files(play.host.runDir).map((f) => fs.statSync(f).size).reduce((a, b) => a + b, 0);
  const before = sizes();

  for (const line of [`GET /?pwd=${marker}\xe9`, `GET /plugin_pentra_3d?action=scores&pwd=${marker}\xe9\xff`,
    `GET /plugin_pentra_3d?pwd=${marker}\xc3\xa9`, 'GET /?a\rSet-Cookie:x', `GET /plugin_pentra_3d?a=\x01&pwd=${marker}`,
    'GET /plugin_pentra_3d?a=\x7f', 'GET /plugin_pentra_3d?a=\x00']) {
    const res = await send(line);
    assert.equal(res.status, 'HTTP/1.1 400 Bad Request', JSON.stringify(line));
    assert.doesNotMatch(res.head, /Set-Cookie|Location/i);
  }
  const badHeader = await send('GET /plugin_pentra_3d?action=scores', `X-Bot-Password: ${marker}\x01\r\nConnection: close\r\n\r\n`);
  assert.equal(badHeader.status, 'HTTP/1.1 400 Bad Request');

  // Odd targets and methods get the front's JSON errors, never lighttpd's page nor a silence;
  // a target in absolute form naming this server is served.
  for (const [line, status, error] of [['CONNECT 127.0.0.1:22', 405, 'method_not_allowed'], ['OPTIONS *', 400, 'bad_target'],
    ['GET https://127.0.0.1/', 400, 'bad_target'], ['GET /pentra', 404, 'not_found'], [`GET http://evil:${E.portOf(play.base)}/`, 421, 'wrong_host']]) {
    const res = await send(line);
    assert.equal(res.status.split(' ')[1], String(status), line);
    assert.equal(res.body, `{"ok":false,"error":"${error}"}\n`, line);
  }
  assert.match((await send(`GET ${play.base}/plugin_pentra_3d?action=scores`)).body, /^\{"ok":true,"plugin"/);
  // A body longer than the plugin reads is refused before it has arrived, by its length or as
  // soon as its chunks pass the limit.
  for (const head of ['Content-Length: 1048576\r\n\r\nval=1', `Transfer-Encoding: chunked\r\n\r\n800\r\n${'9'.repeat(2048)}\r\n`]) {
    const res = await send('POST /plugin_pentra_3d?action=save_score', head);
    assert.equal(`${res.status} ${res.body}`, 'HTTP/1.1 413 Payload Too Large {"ok":false,"error":"body_too_large"}\n');
  }
  // A body that never ends still gets the 413, and the front stops taking it soon after:
  // about a megabyte more, plus what the kernel's buffers hold on the way.
  const flood = await endlessBody(play.base, 'POST /plugin_pentra_3d?action=save_score');
  assert.equal(flood.status, 'HTTP/1.1 413 Payload Too Large');
  assert.ok(flood.closed, 'the front closed the connection');
  assert.ok(flood.sent < 32 * 2 ** 20, `the front took ${flood.sent} bytes after its answer`);

  // Many long requests, each answered, and none leaves a trace.
  const long = `GET /plugin_pentra_3d?action=scores&pwd=${marker}${'x'.repeat(8000)}`;
  const answers = await Promise.all(Array.from({ length: 200 }, (_, i) => send(i % 2 ? long : `${long}\xe9`)));
  answers.forEach((a, i) => assert.match(a.status, i % 2 ? /^HTTP\/1\.1 (200|431) / : /^HTTP\/1\.1 400 /, `request ${i} got an answer`));

  for (const f of [...files(play.host.runDir), ...files(play.data)]) {
    assert.ok(!fs.readFileSync(f).includes(marker), `${f} holds nothing a client sent`);
  }
  assert.ok(!JSON.stringify(play.host.logs()).includes(marker), 'nor do the servers\' messages');
  assert.equal(sizes(), before, 'nothing grew in the run folder');
});

test('only requests naming the node as Host are answered (421), and another site cannot reach the JSON interface (403)', async () => {
  const port = E.portOf(play.base);
  const kept = E.scoresIn(play.data);
  await E.assertRefusesOthers(`${play.base}/plugin_pentra_3d?action=save_score&val=2147483647`, {
    hosts: [`evil.example:${port}`, '127.0.0.1', `127.0.0.1:${port + 1}`, `localhost.:${port}`, `127.0.0.2:${port}`],
    sites: [
      { headers: { 'Sec-Fetch-Site': 'cross-site' } },
      { headers: { 'Sec-Fetch-Site': 'same-site' } },
      { method: 'POST', headers: { Origin: 'http://evil.example' } },
      { method: 'POST', headers: { Origin: 'null' } },
      { method: 'POST', headers: { 'Sec-Fetch-Site': 'same-origin', Origin: `http://127.0.0.1:${port + 1}` } },
    ],
  });
  const json = await E.request(`${play.base}/plugin_pentra_3d?format=json`, { headers: { 'Sec-Fetch-Site': 'cross-site' } });
  assert.equal(json.status, 403);
  assert.equal(E.scoresIn(play.data), kept, 'nothing was saved');

  // The page itself opens from anywhere; the node named by its name, and the page's own
  // requests, pass.
  const page = await E.request(`${play.base}/plugin_pentra_3d`, { headers: { 'Sec-Fetch-Site': 'cross-site' } });
  assert.equal(page.status, 200);
  assert.match(page.body, /3D BLOCKS/);
  for (const headers of [{ Host: `localhost:${port}` }, { Host: `LocalHost:${port}` },
    { 'Sec-Fetch-Site': 'same-origin', Origin: `http://127.0.0.1:${port}` }, { 'Sec-Fetch-Site': 'none' }]) {
    assert.equal((await E.request(`${play.base}/plugin_pentra_3d?action=scores`, { headers })).status, 200, JSON.stringify(headers));
  }
});

test('a page of another origin cannot save a score through an image or a form; its link still opens the game', async (t) => {
  const page = await E.openTab(play.browser, t);
  const kept = E.scoresIn(play.data);
  const game = `${play.base}/plugin_pentra_3d`;
  const html = `<!DOCTYPE html><title>elsewhere</title>
<img src="${game}?action=save_score&val=2147483647">
<form id="f" method="post" action="${game}?action=save_score"><input name="val" value="2147483646"></form>
<a id="go" href="${game}">play</a>`;
  const other = http.createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    res.end(html);
  });
  await new Promise((resolve) => other.listen(0, '127.0.0.1', resolve));
  // Closed after the tab, which was opened first.
  t.after(() => new Promise((resolve) => other.close(resolve)));
  // The browser itself blocks the image's JSON reply from the page (ORB); what counts is
  // whether the request saved anything on its way.
  const isImage = (r) => r.url().includes('val=2147483647');
  const image = Promise.race(['requestfinished', 'requestfailed'].map((e) => page.waitForEvent(e, { predicate: isImage, timeout: 15000 })));
  await page.goto(`http://127.0.0.1:${other.address().port}/`);
  await image;
  const [form] = await Promise.all([page.waitForNavigation({ timeout: 15000 }),
    page.evaluate(() => document.getElementById('f').submit())]);
  assert.equal(form.status(), 403);
  assert.equal(E.scoresIn(play.data), kept, 'nothing was saved');

  await page.goto(`http://127.0.0.1:${other.address().port}/`);
  await Promise.all([page.waitForURL(game, { timeout: 15000 }), page.click('#go')]);
  await E.booted(page);
  assert.deepEqual(page.errors, []);
});

test('a link to the score file that another user planted in a folder others may write to is not followed', async (t) => {
  if (process.getuid() !== 0) {
    t.skip('needs root, to plant a link as another user');
    return;
  }
  const six = path.join(play.dir, 'link');
  const linkData = path.join(six, 'data');
  const run = await E.hostFor(t, six, { nodes: [{ name: 'node', data: linkData }] });
  const { uid, gid } = run.host.user;
  const victimDir = path.join(six, 'victim');
  const victim = path.join(victimDir, 'precious.json');
  fs.mkdirSync(victimDir);
  fs.writeFileSync(victim, 'precious\n');
  fs.chownSync(victimDir, uid, gid);
  fs.chownSync(victim, uid, gid);
  const nobody = Number(spawnSync('id', ['-u', 'nobody'], { encoding: 'utf8' }).stdout);
  const link = path.join(linkData, '.pentra_scores.json');
  fs.symlinkSync(victim, link);
  fs.lchownSync(link, nobody, nobody);
  fs.chmodSync(linkData, 0o1777);

  const res = await E.request(`${run.nodes.node}/plugin_pentra_3d?action=save_score&val=5`);
  assert.match(res.body, /^\{"ok":false,"error":"score_store_unwritable"/);
  assert.equal(fs.readFileSync(victim, 'utf8'), 'precious\n', 'the file the link names is unchanged');
  assert.deepEqual(fs.readdirSync(victimDir), ['precious.json'], 'no lock beside it');
  assert.ok(fs.lstatSync(link).isSymbolicLink(), 'the link itself stays');
});
