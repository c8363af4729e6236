// The host library: starts the nodes (lighttpd running the plugin under CGI) and the front
// (front.mjs: every node's public address and the hub's), waits until each answers, and
// stops them all when its caller is done. scripts/play (play.mjs), the tests and the
// benchmark start hosts through it:
//
//   import { startNode, startHost } from './host/host.mjs';
//   const node = await startNode({ program, data });   // a node on 127.0.0.1, any free port
//   node.url;                                           // "http://127.0.0.1:PORT"
//   await node.stop();                                  // ends every process it started
//
//   const host = await startHost({ program, nodes: [{ name: 'alpha', data, password }], hub: { port: 0 } });
//   host.nodes.alpha.url; host.hub.url; host.user.name; await host.stop();
//
// Started as root, it serves as another user (user.mjs); what the served processes read (the
// plugin program, the host's files) is copied into a run folder of that user's, so a source
// tree in root's closed home still works.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { passwordSecret } from './front/guesses.mjs';
import { keepRunning, START_TIMEOUT_MS, startLighttpd, startProcess, stopProcess } from './processes.mjs';
import { checkReach, ENTER, READ, RUN, WRITE, wayTo } from './reach.mjs';
import { asUser, own, prepareData, servingUser } from './user.mjs';
import { lighttpdWineEnv, prepareWine, programCommand, programPath, startWineSession, wineEnv, winePlaces } from './wine.mjs';

export const PLUGIN_ID = 'plugin_pentra_3d';

const HOST_DIR = path.dirname(fileURLToPath(import.meta.url));
const HOST_FILES = ['node.conf', 'plugin-native.conf', 'plugin-wine.conf', 'favicon.ico', 'front.mjs',
  'front/answers.mjs', 'front/checks.mjs', 'front/forward.mjs', 'front/guesses.mjs'];

// The plugin's discovery line, `--meta`, run as the serving user from `program` (its copy in
// the run folder); when it gives none, throws naming `shown` with the last lines the run
// wrote to standard error. That goes to a file, not a pipe: wine's service processes keep
// the first wine process's output open, and waiting for a pipe to close would wait for them.
function readMeta(user, program, shown, env, wine, errFile) {
  const [command, args] = programCommand(program, ['--meta'], wine);
  const errFd = fs.openSync(errFile, 'w+');
  let r;
  try {
    r = spawnSync(command, args, { env: wine ? wineEnv(env, wine) : env, encoding: 'latin1',
      timeout: wine ? 120000 : 20000, stdio: ['ignore', 'pipe', errFd],
      ...asUser(user) });
  } finally {
    fs.closeSync(errFd);
  }
  const line = (r.stdout || '').split('\n')[0].replace(/\r$/, '');
  if (/^\{".*\}$/.test(line)) return line;
  const said = r.error ? r.error.message : fs.readFileSync(errFile, 'latin1').trim().split('\n').slice(-5).join('\n');
  throw new Error(`${shown} did not answer --meta with a JSON line${said ? `:\n${said}` : ''}`);
}

// A password as bytes: a Buffer as it is, a string as UTF-8.
const passwordBytes = (p) => (Buffer.isBuffer(p) ? p : Buffer.from(p || '', 'utf8'));

// Starts the front for `servers` and waits until it listens; resolves with its process and
// the ports it listens on, or throws saying which server could not listen.
async function startFront(user, run, env, servers) {
  const front = startProcess(user, 'front', process.execPath, [path.join(run.host, 'front.mjs')], {
    env: { ...env, PENTRA_FRONT: JSON.stringify({ servers, plugin: PLUGIN_ID, favicon: path.join(run.host, 'favicon.ico') }) },
    stdio: ['ignore', 'ignore', 'pipe', 'ipc'],
  });
  const answer = await new Promise((resolve) => {
    const timer = setTimeout(() => resolve({ timeout: true }), START_TIMEOUT_MS);
    front.child.once('message', (m) => { clearTimeout(timer); resolve(m); });
    front.exited.then(() => { clearTimeout(timer); resolve({ ended: true }); });
  });
  if (answer.ports) return { proc: front, ports: answer.ports };
  await stopProcess(front);
  const server = servers.find((s) => s.name === answer.failed);
  if (answer.code === 'EADDRINUSE') throw new Error(`port ${server.port} is in use; choose another with --port`);
  if (answer.failed) throw new Error(`the ${answer.failed} server could not listen on ${server.bind}:${server.port} (${answer.code})`);
  throw new Error(`the front did not start:\n${front.tail.slice(-5).join('\n')}`);
}

/**
 * Starts a host: one lighttpd per node and the front in front of them (the nodes' public
 * addresses and, with `hub`, the hub's). Resolves once every server answers.
 *
 * options:
 *   program    the plugin program (required): the native build, or the .exe with `windows`
 *   windows    run the program under wine (default false)
 *   nodes      [{ name, data, password = '', port = 0, bind = '127.0.0.1' }]: each node's
 *              data folder, password, public port (0: any free one) and address
 *   hub        null, or { port = 0, bind = '127.0.0.1' }: a hub in front of every node
 *   user       the user to serve as when started as root (default: SUDO_USER, else "pentra")
 *   systemUser the system user made when root starts it without `user` and SUDO_USER
 *              (default "pentra"; tests name their own)
 *   tmpdir     where the run folder goes (default: the system's temporary folder)
 *   env        more environment for every process started
 *   wineprefix the wine prefix (default: PENTRA_WINEPREFIX, else ~/.cache/pentra/wineprefix
 *              of the serving user)
 *
 *   say        where the line saying that a server stopped and was started again goes
 *              (default: standard error)
 *
 * A server that stops by itself is started again after a short pause (see keepRunning).
 * Resolves with { user, nodes: { name: { url, port, data, password } }, hub: { url, port } or
 * null, runDir, failed, failure, logs(), pids(), stop() }: each node's password as a Buffer;
 * `failed` resolves with the name of a server that stopped again and again and was given up
 * on, `failure` with why; `logs()` gives the last lines each server wrote to its standard
 * error, `pids()` each server's process id; `stop()` ends every process and removes the run
 * folder.
 */
export async function startHost(options) {
  const { program, windows = false, nodes = [], hub = null } = options;
  if (!program || !fs.existsSync(program)) throw new Error(`no plugin program at ${program}`);
  const user = servingUser(options.user, options.systemUser);
  const env = { ...process.env, ...(options.env || {}) };
  if (user.switched) Object.assign(env, { HOME: user.home, USER: user.name, LOGNAME: user.name });

  const tmp = options.tmpdir || os.tmpdir();
  const wine = windows ? winePlaces(user, options.wineprefix) : null;
  // Before anything is made: the user must be able to pass through to every folder the host
  // would make for it.
  checkReach(user, [
    { path: tmp, mode: ENTER, kind: 'run', what: 'the temporary folder' },
    ...nodes.map((node) => ({ path: wayTo(node.data), mode: ENTER, kind: 'data', what: 'the data folder', shown: node.data })),
    ...(wine ? [wine.prefix, wine.home].map((p) => ({ path: wayTo(p), mode: ENTER, kind: 'wine', what: 'the wine prefix', shown: p })) : []),
  ]);
  const runDir = fs.mkdtempSync(path.join(tmp, 'pentra-play.'));
  own(user, runDir);
  const run = { dir: runDir, host: path.join(runDir, 'host'), www: path.join(runDir, 'www') };
  // Each server's keeper (processes.mjs), which starts it again when it stops by itself.
  const keepers = [];
  let giveUp = null;
  const gaveUp = new Promise((resolve) => { giveUp = resolve; });
  const say = options.say || ((line) => process.stderr.write(`${line}\n`));
  let wineSession = null;
  let stopping = false;

  let stopped = null;
  const stop = () => {
    stopping = true;
    stopped ??= (async () => {
      for (const keeper of [...keepers].reverse()) await keeper.stop();
      if (wineSession) await wineSession.stop();
      fs.rmSync(runDir, { recursive: true, force: true });
    })();
    return stopped;
  };

  try {
    // What the served processes read, in a folder of the user's.
    for (const dir of [run.host, path.join(run.host, 'front'), run.www]) {
      fs.mkdirSync(dir);
      own(user, dir);
    }
    for (const file of HOST_FILES) {
      fs.copyFileSync(path.join(HOST_DIR, file), path.join(run.host, file));
      own(user, path.join(run.host, file));
    }
    const runProgram = path.join(runDir, path.basename(program));
    fs.copyFileSync(program, runProgram);
    fs.chmodSync(runProgram, 0o755);
    own(user, runProgram);

    for (const node of nodes) prepareData(user, node.data);
    if (wine) prepareWine(user, wine);
    // Everything the servers use, as they will use it, before one starts.
    checkReach(user, [
      { path: runDir, mode: READ, kind: 'run', what: 'the run folder' },
      { path: run.host, mode: READ, kind: 'run', what: 'the run folder' },
      { path: runProgram, mode: wine ? fs.constants.R_OK : RUN, kind: 'run', what: 'the plugin program' },
      ...nodes.map((node) => ({ path: node.data, mode: WRITE, kind: 'data', what: 'the data folder' })),
      ...(wine ? [wine.prefix, wine.home, wine.tmp].map((p) => ({ path: p, mode: WRITE, kind: 'wine', what: 'the wine prefix' })) : []),
    ]);
    if (wine) {
      // Lives as long as the nodes, so that each plugin run under lighttpd joins it.
      wineSession = await startWineSession(wineEnv(env, wine), asUser(user));
    }
    const meta = readMeta(user, runProgram, program, env, wine, path.join(runDir, 'meta.err'));
    const list = path.join(runDir, 'plugins.json');
    fs.writeFileSync(list, `[{"id":"${PLUGIN_ID}",${meta.slice(1)}]\n`);
    own(user, list);

    const servers = [];
    const internal = {};
    let front = null;
    const keep = (name, proc, again) => {
      const keeper = keepRunning(name, proc, again, { say, giveUp: (why) => giveUp({ name, why }) });
      keepers.push(keeper);
      return keeper;
    };
    for (const node of nodes) {
      const nodeEnv = {
        ...env, PENTRA_RUNTIME: runDir, PENTRA_HOST: run.host, PENTRA_PLUGIN: runProgram,
        PENTRA_TARGET: wine ? 'wine' : 'native',
        PENTRA_DATA: programPath(node.data, wine), ...lighttpdWineEnv(wine),
      };
      // The front knows the password by its digest only, to let the right one pass unslowed.
      const server = { kind: 'node', name: node.name, bind: node.bind || '127.0.0.1', port: node.port || 0, target: 0,
        secret: passwordSecret(passwordBytes(node.password)) };
      // On the port it had when started again, else on another, which the front is told.
      const launch = async () => {
        const { proc, port } = await startLighttpd(user, path.join(run.host, 'node.conf'), node.name, nodeEnv,
          passwordBytes(node.password), server.target);
        if (server.target && port !== server.target && front?.current().child.connected) {
          front.current().child.send({ retarget: { name: node.name, port } });
        }
        server.target = port;
        internal[node.name] = port;
        return proc;
      };
      keep(node.name, await launch(), launch);
      servers.push(server);
    }
    if (hub) servers.push({ kind: 'hub', name: 'hub', bind: hub.bind || '127.0.0.1', port: hub.port || 0, nodes: internal, plugins: [PLUGIN_ID] });

    const first = await startFront(user, run, env, servers);
    // Started again, the front listens on the ports it had.
    for (const server of servers) server.port = first.ports[server.name];
    front = keep('front', first.proc, async () => (await startFront(user, run, env, servers)).proc);

    // Where this machine reaches a server: 0.0.0.0 takes connections on 127.0.0.1 too.
    const reach = (bind) => (bind === '0.0.0.0' ? '127.0.0.1' : bind);
    const result = { user, runDir, nodes: {}, hub: null, stop };
    for (const node of nodes) {
      const port = first.ports[node.name];
      result.nodes[node.name] = { url: `http://${reach(node.bind || '127.0.0.1')}:${port}`, port, data: node.data,
        password: passwordBytes(node.password) };
    }
    if (hub) result.hub = { url: `http://${reach(hub.bind || '127.0.0.1')}:${first.ports.hub}`, port: first.ports.hub };
    result.failed = gaveUp.then((failure) => (stopping ? null : failure.name));
    result.failure = gaveUp.then((failure) => (stopping ? null : failure.why));
    result.logs = () => Object.fromEntries(keepers.map((k) => [k.current().name, [...k.current().tail]]));
    result.pids = () => Object.fromEntries(keepers.map((k) => [k.current().name, k.current().child.pid]));
    return result;
  } catch (err) {
    await stop();
    throw err;
  }
}

/**
 * Starts one node (the benchmark's and a test's usual need): `program` serving `data` on
 * 127.0.0.1 at `port` (default 0: any free one), with `password` (default none). Resolves
 * with { url, port, data, user, stop() }. More options as for startHost.
 */
export async function startNode({ program, data, port = 0, password = '', bind = '127.0.0.1', ...more }) {
  const host = await startHost({ ...more, program, nodes: [{ name: 'node', data, port, password, bind }] });
  return { ...host.nodes.node, user: host.user, host, stop: host.stop };
}
