// Saves with the right password from one client address, alone and while wrong passwords
// come from the same address: players behind one reverse proxy, hub or home router share
// an address, and one stale password in one tab must not slow the others' saves.
// bench.mjs measures both loads side by side, round after round; run alone, this prints the
// two times of a few rounds against a node it starts:
//   node bench/password_load.mjs [PROGRAM] [ROUNDS]
import http from 'node:http';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

// Clients saving at once, and wrong-password requests sent meanwhile by clients of their own.
export const LOAD = { saves: 2000, clients: 32, wrong: 256, guessers: 8 };

// One GET through `agent`; resolves with the status (0: no answer).
function get(agent, url, password) {
  return new Promise((resolve) => {
    const req = http.request(url, { agent, headers: { 'X-Bot-Password': password } }, (res) => {
      res.resume();
      res.on('end', () => resolve(res.statusCode));
      res.on('error', () => resolve(0));
    });
    req.setTimeout(30000, () => req.destroy());
    req.on('error', () => resolve(0));
    req.end();
  });
}

// `count` requests by `clients` clients, each sending its next one when the last is answered;
// resolves with the count of each status.
async function clientsSend(agent, count, clients, url, password) {
  const statuses = {};
  let next = 0;
  const client = async () => {
    while (next < count) {
      next++;
      const status = await get(agent, url(next), password);
      statuses[status] = (statuses[status] ?? 0) + 1;
    }
  };
  await Promise.all(Array.from({ length: clients }, client));
  return statuses;
}

/**
 * Runs the load once against the node at `base` (password `password`): `saves` saves with
 * the right password by `clients` clients, with `wrong` wrong-password requests beside them
 * when `withWrong`. Resolves with { ms, saved: the statuses of the saves, wrong: those of the
 * wrong ones }. Every request comes from 127.0.0.1.
 */
export async function passwordLoad(base, password, withWrong, load = LOAD) {
  const agent = new http.Agent({ keepAlive: true, maxSockets: load.clients + load.guessers });
  const save = (i) => `${base}/plugin_pentra_3d?action=save_score&val=${i % 50 + 1}`;
  const start = process.hrtime.bigint();
  const [saved, wrong] = await Promise.all([
    clientsSend(agent, load.saves, load.clients, save, password),
    withWrong ? clientsSend(agent, load.wrong, load.guessers, () => `${base}/plugin_pentra_3d?action=scores`, 'stale') : {},
  ]);
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  agent.destroy();
  return { ms, saved, wrong };
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
  const program = process.argv[2] || path.join(root, 'build/linux/plugin_pentra_3d');
  const rounds = Number(process.argv[3] || 3);
  const { startNode } = await import(process.env.PENTRA_HOST_MODULE || '../host/host.mjs');
  const data = fs.mkdtempSync(path.join(os.tmpdir(), 'pentra-load.'));
  fs.chmodSync(data, 0o755);
  const node = await startNode({ program, data, password: 'right' });
  try {
    for (let round = 0; round < rounds; round++) {
      for (const withWrong of round % 2 ? [true, false] : [false, true]) {
        const r = await passwordLoad(node.url, 'right', withWrong);
        console.log(`${withWrong ? 'with wrong ' : 'right only '} ${r.ms.toFixed(0)} ms  saves ${JSON.stringify(r.saved)}  wrong ${JSON.stringify(r.wrong)}`);
      }
    }
  } finally {
    await node.stop();
    fs.rmSync(data, { recursive: true, force: true });
  }
}
