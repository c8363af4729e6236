// Everything wine of the host: where a run's prefix lives and how it is handed to the
// serving user, the environment of every wine process, how the plugin program sees a folder,
// and the wine session: one long-lived `wine cmd` on a prefix, so that every later wine
// process on it joins a running server and starts in a fraction of a second instead of
// booting wine anew. The host, the process suite and the benchmark each keep one while they
// run the Windows build.
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { sleep } from './processes.mjs';
import { makeFolder, ownTree } from './user.mjs';

// What every wine process of ours needs besides its prefix: no debug output, the UTF-8 code
// page, and no offers to install Mono or Gecko.
export const WINE_SETTINGS = { WINEDEBUG: '-all', LC_ALL: 'C.UTF-8', WINEDLLOVERRIDES: 'mscoree,mshtml=' };

// Resolves to whether `child` has ended within `ms` milliseconds.
function ended(child, ms) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve(true);
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(false), ms);
    child.once('exit', () => {
      clearTimeout(timer);
      resolve(true);
    });
  });
}

/**
 * Waits until the wine server of the prefix that `env` names (WINEPREFIX, an existing
 * folder, and TMPDIR) listens, at most `ms`; resolves with whether it does. Debian's wine
 * keeps the server's socket in a folder that the first wine process makes under TMPDIR when
 * it finds none for the prefix (wine-XXXXXX/server-DEVICE-INODE, the prefix's numbers in
 * hexadecimal), so two wine processes that start together on a new prefix may each make one
 * and start a server of their own, and two servers on one prefix hang its start.
 */
async function wineServerUp(env, ms = 60000) {
  const st = fs.statSync(env.WINEPREFIX);
  const name = `server-${st.dev.toString(16)}-${st.ino.toString(16)}`;
  const tmp = env.TMPDIR || '/tmp';
  const listening = () => fs.readdirSync(tmp).some((dir) => dir.startsWith('wine-') &&
    fs.existsSync(path.join(tmp, dir, name, 'socket')));
  for (const deadline = Date.now() + ms; Date.now() < deadline; await sleep(50)) {
    if (listening()) return true;
  }
  return false;
}

/**
 * Starts a wine session with environment `env` (WINEPREFIX, HOME and the rest; the prefix
 * folder is made when missing), as the user `as` names ({ uid, gid }) or as this process's.
 * `wine cmd` reads from a pipe this process keeps open, its output goes nowhere: the first
 * wine process passes its output on to wine's service processes. Resolves once the
 * session's server listens, and only then may another wine process start on the prefix
 * (see wineServerUp). Resolves with { stop() }: closing the pipe ends `wine cmd`, then the
 * server is waited for, never killed (its service processes would get stuck). Every wait
 * is bounded.
 */
export async function startWineSession(env, as = {}) {
  fs.mkdirSync(env.WINEPREFIX, { recursive: true });
  const child = spawn('wine', ['cmd'], { env, stdio: ['pipe', 'ignore', 'ignore'], ...as });
  child.on('error', () => {});
  child.stdin.on('error', () => {});
  let stopped = null;
  const stop = () => {
    stopped ??= (async () => {
      child.stdin.end();
      if (!(await ended(child, 30000))) {
        child.kill('SIGKILL');
        await ended(child, 10000);
      }
      spawnSync('wineserver', ['-w'], { env, stdio: 'ignore', timeout: 60000, ...as });
    })();
    return stopped;
  };
  if (!(await wineServerUp(env))) {
    await stop();
    throw new Error(`wine did not start on the prefix ${env.WINEPREFIX}`);
  }
  return { stop };
}

// --- the host's wine ---------------------------------------------------------------------

// Where a run's wine lives for `user`: the prefix (`chosen`, else PENTRA_WINEPREFIX, else
// ~/.cache/pentra/wineprefix of the user), and its HOME and TMPDIR beside it.
export function winePlaces(user, chosen) {
  const prefix = path.resolve(chosen || process.env.PENTRA_WINEPREFIX || path.join(user.home, '.cache', 'pentra', 'wineprefix'));
  return { prefix, home: `${prefix}-home`, tmp: `${prefix}-home/tmp` };
}

// The environment of every wine process of a run: its own prefix and HOME, and its own
// TMPDIR, where wine keeps its server's socket, so every wine process of the run finds the
// same one.
export function wineEnv(base, wine) {
  return { ...base, ...WINE_SETTINGS, WINEPREFIX: wine.prefix, HOME: wine.home, TMPDIR: wine.tmp };
}

// Makes the wine prefix, its HOME and TMPDIR the serving user's.
export function prepareWine(user, wine) {
  for (const dir of [wine.prefix, wine.home, wine.tmp]) makeFolder(user, dir);
  ownTree(user, wine.prefix);
  ownTree(user, wine.home);
}

// How the plugin program sees a folder: unchanged natively, on drive Z: under wine.
export function programPath(dir, wine) {
  return wine ? 'Z:' + dir.replaceAll('/', '\\') : dir;
}

// The command line that runs `program` with `args`: itself natively, through wine otherwise.
export function programCommand(program, args, wine) {
  return wine ? ['wine', [program, ...args]] : [program, args];
}

// What lighttpd's wine configuration (plugin-wine.conf) reads: empty values natively.
export function lighttpdWineEnv(wine) {
  if (!wine) return { PENTRA_WINE: '', PENTRA_WINEPREFIX: '', PENTRA_WINEHOME: '', PENTRA_WINETMP: '' };
  const found = spawnSync('sh', ['-c', 'command -v wine'], { encoding: 'utf8' }).stdout.trim();
  return { PENTRA_WINE: found, PENTRA_WINEPREFIX: wine.prefix, PENTRA_WINEHOME: wine.home, PENTRA_WINETMP: wine.tmp };
}
