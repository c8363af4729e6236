// Load through the real node host: many clients saving at once. Every reply is a whole JSON
// success, and the score file ends with exactly the ten best values sent. Then a burst of
// requests through the hub, which the host serves with a bounded number of processes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import * as E from './harness.mjs';

const REQUESTS = 2000;
const CLIENTS = 32;

const play = E.useHost('load', ({ data }) => ({ nodes: [{ name: 'node', data }] }));

test(`${REQUESTS} saves from ${CLIENTS} concurrent clients keep exactly the top ten`, async () => {
  // Distinct values in an order unrelated to their size.
  const values = Array.from({ length: REQUESTS }, (_, i) => ((i * 7919) % REQUESTS) + 1);
  const failures = [];
  let next = 0;
  async function client() {
    while (next < values.length) {
      const value = values[next++];
      const res = await E.request(`${play.base}/plugin_pentra_3d?action=save_score&val=${value}`);
      let reply = null;
      try {
        reply = JSON.parse(res.body);
      } catch {
        // counted below
      }
      if (res.status !== 200 || res.headers['content-type'] !== E.JSON_TYPE || !reply || reply.ok !== true) {
        failures.push(`${value}: ${res.status} ${res.body.slice(0, 120)}`);
      }
    }
  }
  await Promise.all(Array.from({ length: CLIENTS }, client));
  assert.deepEqual(failures.slice(0, 5), [], `${failures.length} bad replies`);
  const top = [...values].sort((a, b) => b - a).slice(0, 10);
  assert.equal(E.scoresIn(play.data), `{"scores":[${top.join(',')}]}\n`);
});

test('200 concurrent requests through the hub run a bounded number of processes; a request with the password still answers', async (t) => {
  const hubDir = path.join(play.dir, 'hub');
  const run = await E.hostFor(t, hubDir, {
    nodes: [{ name: 'alpha', data: path.join(hubDir, 'alpha') }, { name: 'beta', data: path.join(hubDir, 'beta'), password: 'load-secret' }],
    hub: { port: 0 },
  });
  // The host's processes (lighttpd, the front, the plugin runs), sampled while the burst runs.
  let most = 0;
  let peakKb = 0;
  let sampling = true;
  const sampler = (async () => {
    for (let i = 0; i < 3000 && sampling; i++) {
      const procs = E.runProcesses(hubDir);
      most = Math.max(most, procs.length);
      peakKb = Math.max(peakKb, procs.reduce((sum, p) => sum + p.rssKb, 0));
      await E.sleep(20);
    }
  })();
  const url = `${run.hub}/plugins?plugin=plugin_pentra_3d&node=alpha&action=scores`;
  const burst = Promise.all(Array.from({ length: 200 }, () => E.request(url)));
  await E.sleep(100);
  const started = Date.now();
  const withPassword = await E.request(`${run.hub}/plugins?plugin=plugin_pentra_3d&node=beta&action=scores`,
    { headers: { 'X-Bot-Password': 'load-secret' } });
  const passwordMs = Date.now() - started;
  const replies = await burst;
  sampling = false;
  await sampler;
  t.diagnostic(`at most ${most} host processes, ${Math.round(peakKb / 1024)} MB resident together; the request with the password took ${passwordMs} ms`);

  assert.equal(withPassword.body, E.scoresBody([]));
  assert.deepEqual([...new Set(replies.map((r) => `${r.status} ${r.body}`))], [`200 ${E.scoresBody([])}`]);
  // Two lighttpd, the front, and at most 16 plugin runs per node at once.
  assert.ok(most <= 3 + 2 * 16, `at most ${most} processes`);
  assert.ok(peakKb < 200 * 1024, `${Math.round(peakKb / 1024)} MB resident`);
  // The target is one second; the bound here leaves room for a busy test machine.
  assert.ok(passwordMs < 3000, `the request with the password took ${passwordMs} ms`);
});

test('a waiting request whose client has gone never runs the plugin', async (t) => {
  const slow = path.join(play.dir, 'slow');
  fs.mkdirSync(slow);
  fs.copyFileSync(E.BIN, path.join(slow, 'plugin'));
  // The plugin, a second a run, so that requests wait their turn.
  fs.writeFileSync(path.join(slow, 'wrapper'), `#!/bin/sh\nsleep 1\nexec ${path.join(slow, 'plugin')} "$@"\n`, { mode: 0o755 });
  const run = await E.hostFor(t, slow, { program: path.join(slow, 'wrapper'), nodes: [{ name: 'node', data: path.join(slow, 'data') }] });
  const url = (val) => `${run.nodes.node}/plugin_pentra_3d?action=save_score&val=${val}`;
  // Sixteen saves take every run; forty more wait behind them, and their clients leave.
  const running = Array.from({ length: 16 }, (_, i) => E.request(url(i + 1)));
  await E.sleep(150);
  const gone = Array.from({ length: 40 }, (_, i) => new Promise((resolve) => {
    const req = http.get(url(1000 + i), { agent: false });
    req.on('error', resolve);
    setTimeout(() => { req.destroy(); resolve(); }, 200);
  }));
  await Promise.all([...running, ...gone]);
  // Behind them in the queue, this one runs last: none of theirs was saved.
  assert.equal((await E.request(url(17))).body, E.scoresBody([17, 16, 15, 14, 13, 12, 11, 10, 9, 8]));
});
