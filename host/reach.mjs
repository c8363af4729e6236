// Whether the serving user can reach what the host's servers need: the folders on the way to
// a data folder or a wine prefix before the host makes anything there, and then the program,
// the run folder, the data folders and the wine prefix themselves. Checked by a short Node.js
// process run as that user, with the same ids and no extra groups, as every server runs: a
// folder that only root may enter (root's home, a folder made by mktemp -d) would otherwise
// fail only once a player is there, with every save lost. Nothing is changed here.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { asUser } from './user.mjs';

// Modes of fs.accessSync.
export const ENTER = fs.constants.X_OK;
export const READ = fs.constants.R_OK | fs.constants.X_OK;
export const WRITE = fs.constants.R_OK | fs.constants.W_OK | fs.constants.X_OK;
export const RUN = fs.constants.X_OK;

// Runs in the checking process: the first [path, mode] of the list given that the process
// cannot use, as JSON, or null.
const CHECKER = `const fs = require('node:fs');
let found = null;
for (const [p, mode] of JSON.parse(process.argv[1])) {
  try { fs.accessSync(p, mode); } catch (err) { found = { path: p, code: err.code }; break; }
}
process.stdout.write(JSON.stringify(found));`;

// The folder that the serving user must be able to enter before the host makes or hands over
// `dir`: the deepest of its parents that exists (the host makes the rest as the user's, and
// hands `dir` itself over when it is root's).
export function wayTo(dir) {
  let d = path.dirname(path.resolve(dir));
  while (!fs.existsSync(d) && d !== path.dirname(d)) d = path.dirname(d);
  return d;
}

// How to get past a path that the user cannot reach, by what the path is for.
function wayOut(kind, user) {
  const sudo = 'or start it through sudo from your own account, to serve as you';
  if (kind === 'data') return `choose a data folder that ${user.name} can enter (--data), ${sudo}`;
  if (kind === 'wine') return `choose a wine prefix that ${user.name} can enter (PENTRA_WINEPREFIX), ${sudo}`;
  return `use a temporary folder (TMPDIR) or a clone of the project in a folder that others can enter, ${sudo}`;
}

/**
 * Checks that the serving user can use each path of `needs` ([{ path, mode, kind, what,
 * shown }], `kind` one of data, wine or run, `what` naming the path in the message, `shown`
 * the path named there when another than the one checked) as `mode` asks.
 * Throws, for the first that it cannot, an error of one line naming the path, the user and
 * a way out.
 */
export function checkReach(user, needs) {
  const list = needs.map((n) => [n.path, n.mode]);
  let found = null;
  if (!user.switched) {
    for (const n of needs) {
      try {
        fs.accessSync(n.path, n.mode);
      } catch (err) {
        found = { path: n.path, code: err.code };
        break;
      }
    }
  } else {
    const r = spawnSync(process.execPath, ['-e', CHECKER, JSON.stringify(list)],
      { encoding: 'utf8', timeout: 20000, stdio: ['ignore', 'pipe', 'pipe'], cwd: '/', ...asUser(user) });
    try {
      found = JSON.parse(r.stdout);
    } catch {
      throw new Error(`could not check what user ${user.name} can reach: ${(r.error?.message || r.stderr || '').trim().split('\n')[0]}`);
    }
  }
  if (!found) return;
  const need = needs.find((n) => n.path === found.path);
  const shown = need.shown || need.path;
  const where = shown === need.path ? '' : ` (it cannot enter ${need.path})`;
  const how = found.code === 'ENOENT' ? 'does not find' : 'cannot reach';
  throw new Error(`user ${user.name} ${how} ${need.what} ${shown}${where}; ${wayOut(need.kind, user)}`);
}
