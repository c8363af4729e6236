// Load through the real node host: many clients saving at once. Every reply is a whole JSON
// success, and the score file ends with exactly the ten best values sent.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import * as E from './harness.mjs';

const REQUESTS = 2000;
const CLIENTS = 32;

let play, data;

before(async () => {
  const dir = E.scratch('load');
  data = path.join(dir, 'data');
  play = await E.startHost(dir, { nodes: [{ name: 'node', data }] });
});
after(async () => {
  if (play) await play.stop();
});

test(`${REQUESTS} saves from ${CLIENTS} concurrent clients keep exactly the top ten`, async () => {
  const base = play.nodes.node;
  // Distinct values in an order unrelated to their size.
  const values = Array.from({ length: REQUESTS }, (_, i) => ((i * 7919) % REQUESTS) + 1);
  const failures = [];
  let next = 0;
  async function client() {
    while (next < values.length) {
      const value = values[next++];
      const res = await E.request(`${base}/plugin_pentra_3d?action=save_score&val=${value}`);
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
  assert.equal(fs.readFileSync(path.join(data, '.pentra_scores.json'), 'latin1'), `{"scores":[${top.join(',')}]}\n`);
});
