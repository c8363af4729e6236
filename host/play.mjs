// The local host as one supervised program: starts the nodes (lighttpd running the plugin
// under CGI) and the front (front.mjs: every node's public address and the hub's), waits
// until each answers, and stops them all when its caller is done. scripts/play runs this file
// as a program (see main below); tests and benchmarks import it:
//
//   import { startNode, startHost } from './host/play.mjs';
//   const node = await startNode({ program, data });   // a node on 127.0.0.1, any free port
//   node.url;                                           // "http://127.0.0.1:PORT"
//   await node.stop();                                  // ends every process it started
//
//   const host = await startHost({ program, nodes: [{ name: 'alpha', data, password }], hub: { port: 0 } });
//   host.nodes.alpha.url; host.hub.url; host.user.name; await host.stop();
//
// Started as root, it never serves as root: every process it starts (lighttpd, the plugin
// runs, the front, wine) runs as the user who ran sudo (SUDO_USER), or else as the system
// user "pentra", made when missing. The data folders are made that user's, and what those
// processes read (the plugin program, the host's files) is copied into a run folder of that
// user's, so a source tree in root's closed home still works. Nothing a client sends is
// written to any file: the servers' messages are kept in memory, the last lines only.
import { spawn, spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { startWineSession, WINE_SETTINGS } from './wine.mjs';

export const PLUGIN_ID = 'plugin_pentra_3d';
// The system user that serves when root starts the host without sudo.
export const SYSTEM_USER = 'pentra';

const HOST_DIR = path.dirname(fileURLToPath(import.meta.url));
const HOST_FILES = ['node.conf', 'plugin-native.conf', 'plugin-wine.conf', 'favicon.ico', 'front.mjs'];
const SCORE_FILES = ['.pentra_scores.json', '.pentra_scores.json.lock', '.pentra_scores.json.tmp'];
// Lines of a server's standard error kept in memory, to explain a failure.
const TAIL_LINES = 20;
const START_TIMEOUT_MS = 20000;

// --- the serving user --------------------------------------------------------------------

// The passwd entry of `name`, through NSS, or null.
function passwdEntry(name) {
  const r = spawnSync('getent', ['passwd', name], { encoding: 'utf8', timeout: 10000 });
  if (r.status !== 0) return null;
  const [, , uid, gid, , home] = r.stdout.trim().split(':');
  return { name, uid: Number(uid), gid: Number(gid), home };
}

// Makes the system user that serves when root starts the host without sudo: no login, no
// password, a home of its own under /var/lib for its data.
function makeSystemUser() {
  const r = spawnSync('useradd', ['--system', '--user-group', '--home-dir', `/var/lib/${SYSTEM_USER}`,
    '--create-home', '--shell', '/usr/sbin/nologin', '--comment', 'pentra game host', SYSTEM_USER],
  { encoding: 'utf8', timeout: 30000 });
  if (r.status !== 0) throw new Error(`could not make the user ${SYSTEM_USER}: ${(r.stderr || '').trim()}`);
}

// The user the host serves as, with `why` saying how it was chosen: the current user when not
// root; as root, `requested`, else SUDO_USER, else the system user (made when missing).
export function servingUser(requested) {
  if (process.getuid() !== 0) {
    const info = os.userInfo();
    return { name: info.username, uid: process.getuid(), gid: process.getgid(), home: info.homedir, switched: false, why: 'self' };
  }
  const sudo = process.env.SUDO_USER;
  let name = requested;
  let why = 'given';
  if (!name && sudo && sudo !== 'root') {
    name = sudo;
    why = 'sudo';
  }
  if (!name) {
    name = SYSTEM_USER;
    why = 'system';
    if (!passwdEntry(name)) makeSystemUser();
  }
  const entry = passwdEntry(name);
  if (!entry) throw new Error(`no user ${name} on this system`);
  if (entry.uid === 0) throw new Error('the host does not serve as root; name another user');
  return { ...entry, switched: true, why };
}

// The options that make a child process run as the serving user.
const asUser = (user) => (user.switched ? { uid: user.uid, gid: user.gid } : {});

// Makes a path the serving user's, without following a link.
function own(user, p) {
  if (user.switched) fs.lchownSync(p, user.uid, user.gid);
}

// Creates folder `dir` and its missing parents; those created become the user's, and so does
// `dir` itself when it is root's.
function makeFolder(user, dir) {
  const missing = [];
  for (let d = dir; !fs.existsSync(d); d = path.dirname(d)) missing.unshift(d);
  for (const d of missing) {
    fs.mkdirSync(d);
    own(user, d);
  }
  if (user.switched && fs.lstatSync(dir).uid === 0) own(user, dir);
}

// A data folder for the user: made when missing, the user's when root's, and a score file,
// lock or temporary file of root's in it (left by a run as root) handed over as well. A link
// is never followed here, nor one of another user's touched.
function prepareData(user, dir) {
  makeFolder(user, dir);
  if (!user.switched) return;
  for (const name of SCORE_FILES) {
    let st;
    try {
      st = fs.lstatSync(path.join(dir, name));
    } catch {
      continue;
    }
    if (st.isFile() && st.uid === 0) own(user, path.join(dir, name));
  }
}

// Hands a whole tree (a wine prefix) over to the user: every entry that is someone else's,
// wherever it lies: wine refuses a prefix whose top is not the user's and fails on files it
// may not write (a run as root leaves a prefix of root's, and a folder made for the user may
// have had only its top handed over). Links are changed, never followed.
function ownTree(user, top) {
  if (!user.switched || !fs.existsSync(top)) return;
  const walk = (p) => {
    const st = fs.lstatSync(p);
    if (st.uid !== user.uid) fs.lchownSync(p, user.uid, user.gid);
    if (st.isDirectory()) for (const entry of fs.readdirSync(p)) walk(path.join(p, entry));
  };
  walk(top);
}

// The default base of the data folders: ~/.local/share/pentra of the serving user (under
// XDG_DATA_HOME when the host serves as the one who started it and that is set).
export function defaultDataBase(user) {
  if (!user.switched && process.env.XDG_DATA_HOME) return path.join(process.env.XDG_DATA_HOME, 'pentra');
  return path.join(user.home, '.local', 'share', 'pentra');
}

// --- processes ---------------------------------------------------------------------------

// Starts a process as the serving user. Its standard error is kept, the last lines only.
function startProcess(user, name, command, args, { env, stdio = ['ignore', 'ignore', 'pipe'] }) {
  const child = spawn(command, args, {
    env,
    stdio,
    ...asUser(user),
  });
  const proc = { name, child, tail: [], exit: null };
  proc.exited = new Promise((resolve) => child.on('exit', (code, signal) => {
    proc.exit = { code, signal };
    resolve(proc.exit);
  }));
  child.on('error', () => {});
  if (child.stderr) {
    let partial = '';
    child.stderr.setEncoding('latin1');
    child.stderr.on('data', (s) => {
      const lines = (partial + s).split('\n');
      partial = lines.pop().slice(-500);
      for (const line of lines) {
        proc.tail.push(line.slice(0, 500));
        if (proc.tail.length > TAIL_LINES) proc.tail.shift();
      }
    });
  }
  return proc;
}

// Asks a process to end, waits up to `ms`, then kills it.
async function stopProcess(proc, ms = 10000) {
  if (proc.exit) return;
  proc.child.kill('SIGTERM');
  let timer;
  const late = new Promise((resolve) => { timer = setTimeout(() => resolve(true), ms); });
  if (await Promise.race([proc.exited.then(() => false), late])) {
    proc.child.kill('SIGKILL');
    await proc.exited;
  }
  clearTimeout(timer);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Whether something accepts connections on 127.0.0.1:port.
function portOpen(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    socket.setTimeout(1000, () => { socket.destroy(); resolve(false); });
    socket.on('connect', () => { socket.destroy(); resolve(true); });
    socket.on('error', () => resolve(false));
  });
}

// A port on 127.0.0.1 where nothing listens right now.
export function freePort() {
  return new Promise((resolve, reject) => {
    const srv = net.createServer();
    srv.on('error', reject);
    srv.listen(0, '127.0.0.1', () => {
      const { port } = srv.address();
      srv.close(() => resolve(port));
    });
  });
}

// lighttpd, which Debian keeps in /usr/sbin, outside an ordinary user's PATH.
const LIGHTTPD = ['/usr/sbin/lighttpd', '/usr/local/sbin/lighttpd'].find((p) => fs.existsSync(p)) || 'lighttpd';

// The node password reaches lighttpd's environment as bytes: Node.js would write a string
// there as UTF-8, and a password may be any bytes (a browser sends "é" as the single byte
// 0xE9). So the shell decodes it from octal escapes, keeping trailing newlines, and runs
// lighttpd with it.
const WITH_PASSWORD = 'PENTRA_PASSWORD=$(printf "$0"; printf x); PENTRA_PASSWORD=${PENTRA_PASSWORD%x}; export PENTRA_PASSWORD; exec "$@"';
const octal = (bytes) => [...bytes].map((b) => '\\' + b.toString(8).padStart(3, '0')).join('');

// Starts one node's lighttpd on a free port of 127.0.0.1 and waits until it accepts
// connections; a port taken meanwhile is retried with another.
async function startLighttpd(user, run, name, env, password) {
  let last = null;
  for (let attempt = 0; attempt < 5; attempt++) {
    const port = await freePort();
    const proc = startProcess(user, name, 'sh', ['-c', WITH_PASSWORD, octal(password), LIGHTTPD, '-D', '-f',
      path.join(run.host, 'node.conf')], { env: { ...env, PENTRA_PORT: String(port) } });
    const deadline = Date.now() + START_TIMEOUT_MS;
    while (!proc.exit && Date.now() < deadline) {
      if (await portOpen(port)) return { proc, port };
      await sleep(100);
    }
    await stopProcess(proc);
    last = proc;
  }
  throw new Error(`the ${name} server did not start:\n${last.tail.slice(-5).join('\n')}`);
}

// --- wine --------------------------------------------------------------------------------

// The environment of every wine process of a run: its own prefix and HOME, and its own
// TMPDIR, where wine keeps its server's socket, so every wine process of the run finds the
// same one.
function wineEnv(base, wine) {
  return { ...base, ...WINE_SETTINGS, WINEPREFIX: wine.prefix, HOME: wine.home, TMPDIR: wine.tmp };
}

// Makes the wine prefix, its HOME and TMPDIR the serving user's.
function prepareWine(user, wine) {
  for (const dir of [wine.prefix, wine.home, wine.tmp]) makeFolder(user, dir);
  ownTree(user, wine.prefix);
  ownTree(user, wine.home);
}

// --- the host ----------------------------------------------------------------------------

// The plugin's discovery line, `--meta`, run as the serving user from `program` (its copy in
// the run folder); when it gives none, throws naming `shown` with the last lines the run
// wrote to standard error. That goes to a file, not a pipe: wine's service processes keep
// the first wine process's output open, and waiting for a pipe to close would wait for them.
function readMeta(user, program, shown, env, wine, errFile) {
  const command = wine ? 'wine' : program;
  const args = wine ? [program, '--meta'] : ['--meta'];
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

// How the plugin program sees a folder: unchanged natively, on drive Z: under wine.
function programPath(dir, wine) {
  return wine ? 'Z:' + dir.replaceAll('/', '\\') : dir;
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
 *   tmpdir     where the run folder goes (default: the system's temporary folder)
 *   env        more environment for every process started
 *   wineprefix the wine prefix (default: PENTRA_WINEPREFIX, else ~/.cache/pentra/wineprefix
 *              of the serving user)
 *
 * Resolves with { user, nodes: { name: { url, port, data, password } }, hub: { url, port } or
 * null, runDir, failed, logs(), stop() }: each node's password as a Buffer; `failed` resolves with the name of a server that
 * ended by itself, `logs()` gives the last lines each server wrote to its standard error,
 * `stop()` ends every process and removes the run folder.
 */
export async function startHost(options) {
  const { program, windows = false, nodes = [], hub = null } = options;
  if (!program || !fs.existsSync(program)) throw new Error(`no plugin program at ${program}`);
  const user = servingUser(options.user);
  const env = { ...process.env, ...(options.env || {}) };
  if (user.switched) Object.assign(env, { HOME: user.home, USER: user.name, LOGNAME: user.name });

  const tmp = options.tmpdir || os.tmpdir();
  const runDir = fs.mkdtempSync(path.join(tmp, 'pentra-play.'));
  own(user, runDir);
  const run = { dir: runDir, host: path.join(runDir, 'host'), www: path.join(runDir, 'www') };
  const procs = [];
  let wine = null;
  let wineSession = null;
  let stopping = false;

  let stopped = null;
  const stop = () => {
    stopping = true;
    stopped ??= (async () => {
      for (const proc of [...procs].reverse()) await stopProcess(proc);
      if (wineSession) await wineSession.stop();
      fs.rmSync(runDir, { recursive: true, force: true });
    })();
    return stopped;
  };

  try {
    // What the served processes read, in a folder of the user's.
    for (const dir of [run.host, run.www]) {
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

    if (windows) {
      const prefix = path.resolve(options.wineprefix || process.env.PENTRA_WINEPREFIX ||
        path.join(user.home, '.cache', 'pentra', 'wineprefix'));
      wine = { prefix, home: `${prefix}-home`, tmp: `${prefix}-home/tmp` };
      prepareWine(user, wine);
      // Lives as long as the nodes, so that each plugin run under lighttpd joins it.
      wineSession = await startWineSession(wineEnv(env, wine), asUser(user));
    }
    const meta = readMeta(user, runProgram, program, env, wine, path.join(runDir, 'meta.err'));
    const list = path.join(runDir, 'plugins.json');
    fs.writeFileSync(list, `[{"id":"${PLUGIN_ID}",${meta.slice(1)}]\n`);
    own(user, list);

    const servers = [];
    const internal = {};
    for (const node of nodes) {
      prepareData(user, node.data);
      const nodeEnv = {
        ...env, PENTRA_RUNTIME: runDir, PENTRA_HOST: run.host, PENTRA_PLUGIN: runProgram,
        PENTRA_TARGET: wine ? 'wine' : 'native',
        PENTRA_DATA: programPath(node.data, wine), PENTRA_WINE: wine ? spawnSync('sh', ['-c', 'command -v wine'], { encoding: 'utf8' }).stdout.trim() : '',
        PENTRA_WINEPREFIX: wine ? wine.prefix : '', PENTRA_WINEHOME: wine ? wine.home : '',
        PENTRA_WINETMP: wine ? wine.tmp : '',
      };
      const { proc, port } = await startLighttpd(user, run, node.name, nodeEnv, passwordBytes(node.password));
      procs.push(proc);
      internal[node.name] = port;
      servers.push({ kind: 'node', name: node.name, bind: node.bind || '127.0.0.1', port: node.port || 0, target: port });
    }
    if (hub) servers.push({ kind: 'hub', name: 'hub', bind: hub.bind || '127.0.0.1', port: hub.port || 0, nodes: internal, plugins: [PLUGIN_ID] });

    const front = startProcess(user, 'front', process.execPath, [path.join(run.host, 'front.mjs')], {
      env: { ...env, PENTRA_FRONT: JSON.stringify({ servers, plugin: PLUGIN_ID, favicon: path.join(run.host, 'favicon.ico') }) },
      stdio: ['ignore', 'ignore', 'pipe', 'ipc'],
    });
    procs.push(front);
    const answer = await new Promise((resolve) => {
      const timer = setTimeout(() => resolve({ timeout: true }), START_TIMEOUT_MS);
      front.child.once('message', (m) => { clearTimeout(timer); resolve(m); });
      front.exited.then(() => { clearTimeout(timer); resolve({ ended: true }); });
    });
    if (!answer.ports) {
      const server = servers.find((s) => s.name === answer.failed);
      if (answer.code === 'EADDRINUSE') throw new Error(`port ${server.port} is in use; choose another with --port`);
      if (answer.failed) throw new Error(`the ${answer.failed} server could not listen on ${server.bind}:${server.port} (${answer.code})`);
      throw new Error(`the front did not start:\n${front.tail.slice(-5).join('\n')}`);
    }

    // Where this machine reaches a server: 0.0.0.0 takes connections on 127.0.0.1 too.
    const reach = (bind) => (bind === '0.0.0.0' ? '127.0.0.1' : bind);
    const result = { user, runDir, nodes: {}, hub: null, stop };
    for (const node of nodes) {
      const port = answer.ports[node.name];
      result.nodes[node.name] = { url: `http://${reach(node.bind || '127.0.0.1')}:${port}`, port, data: node.data,
        password: passwordBytes(node.password) };
    }
    if (hub) result.hub = { url: `http://${reach(hub.bind || '127.0.0.1')}:${answer.ports.hub}`, port: answer.ports.hub };
    result.failed = Promise.race(procs.map((p) => p.exited.then(() => p.name)))
      .then((name) => (stopping ? null : name));
    result.logs = () => Object.fromEntries(procs.map((p) => [p.name, [...p.tail]]));
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

// --- scripts/play ------------------------------------------------------------------------

const USAGE = `Usage: scripts/play [options]

Starts a local node serving the pentra plugin and prints the URL to open. Ctrl-C stops it.

Options:
  --port N         port of the node, or of the hub with --hub (default 8080; 0 picks a free one)
  --lan            listen on every network interface, not only on 127.0.0.1, so that a phone
                   on the same network can play: prints a URL for each address of this
                   machine and the first one as a QR code (with --hub, only the hub listens
                   there; its nodes stay on 127.0.0.1)
  --listen ADDR    listen on this one IPv4 address instead of 127.0.0.1
  --password PW    the node password (BOT_PASSWORD); with --hub, the password of node beta
                   (default there: beta-secret), and alpha has none. Open to the network
                   (--lan, or --listen outside 127.0.0.0/8), no node runs without one: a
                   missing password is made at random for the run (for alpha too) and put
                   into the printed URLs; an empty one, or one of only spaces, is refused.
                   Other users of this machine can see it in the process list: use
                   --password-file instead there.
  --password-file FILE
                   read the password from the first line of FILE
  --data DIR       the node's data folder (BOT_PLUGIN_DIR), where the score file lives;
                   with --hub, DIR/alpha and DIR/beta
                   (default: ~/.local/share/pentra/node, or .../alpha and .../beta)
  --hub            start a hub on --port in front of two nodes, alpha and beta, on free ports
  --windows        run the Windows build (plugin_pentra_3d.exe) under wine
  --program FILE   run this plugin program instead of building one
  --help           show this help

Started as root, it serves as the user who ran sudo, or else as the system user pentra
(made when missing), never as root; that user owns the data folder.

Environment: PENTRA_WINEPREFIX, the wine prefix for --windows
(default: ~/.cache/pentra/wineprefix of the serving user).
`;

class UsageError extends Error {}

// The program's arguments as bytes, read from /proc: process.argv decodes them as UTF-8, which
// would turn a password byte such as 0xE9 into U+FFFD.
function rawArguments(argv) {
  try {
    const all = fs.readFileSync('/proc/self/cmdline');
    const parts = [];
    let start = 0;
    for (let i = 0; i < all.length; i++) {
      if (all[i] === 0) {
        parts.push(all.subarray(start, i));
        start = i + 1;
      }
    }
    if (parts.length >= argv.length) return parts.slice(parts.length - argv.length);
  } catch {
    // No /proc: the decoded arguments have to do.
  }
  return argv.map((a) => Buffer.from(a));
}

// Parses scripts/play's options into a plan; throws UsageError for a bad one. `raw` holds the
// same arguments as bytes, for the password.
export function parseOptions(argv, raw = argv.map((a) => Buffer.from(a))) {
  const o = { port: 8080, bind: '127.0.0.1', lan: false, listen: null, password: null, passwordFile: null,
    data: null, hub: false, windows: false, program: null, help: false, check: false };
  const value = (i, name) => {
    if (i + 1 >= argv.length) throw new UsageError(`${name} needs a value (see --help)`);
    return argv[i + 1];
  };
  const takes = { '--port': 'port', '--listen': 'listen', '--password': 'password', '--password-file': 'passwordFile',
    '--data': 'data', '--program': 'program' };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    const eq = arg.indexOf('=');
    const name = arg.startsWith('--') && eq > 0 ? arg.slice(0, eq) : arg;
    if (takes[name]) {
      if (eq > 0 && name !== arg) o[takes[name]] = arg.slice(eq + 1);
      else o[takes[name]] = value(i++, name);
      if (name === '--password') o.password = name !== arg ? raw[i].subarray(eq + 1) : raw[i];
    } else if (arg === '--lan') o.lan = true;
    else if (arg === '--hub') o.hub = true;
    else if (arg === '--windows') o.windows = true;
    else if (arg === '--help' || arg === '-h') o.help = true;
    else if (arg === '--check') o.check = true;
    else throw new UsageError(`unknown option ${arg} (see --help)`);
  }
  if (typeof o.port === 'string') {
    if (!/^[0-9]{1,5}$/.test(o.port) || Number(o.port) > 65535) throw new UsageError('--port needs a number from 0 to 65535');
    o.port = Number(o.port);
  }
  if (o.lan && o.listen !== null) throw new UsageError('--lan and --listen exclude each other (--lan is --listen 0.0.0.0)');
  if (o.lan) o.bind = '0.0.0.0';
  if (o.listen !== null) {
    const m = /^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})$/.exec(o.listen);
    // Rebuilt from its numbers, so that "010" is 10 as the user meant, not a refusal.
    if (!m || m.slice(1).some((n) => Number(n) > 255)) throw new UsageError('--listen needs an IPv4 address such as 192.168.1.20');
    o.bind = m.slice(1).map(Number).join('.');
  }
  if (o.password !== null && o.passwordFile !== null) throw new UsageError('--password and --password-file exclude each other');
  // Whether other machines can reach the server: then it never runs without a password.
  o.exposed = !o.bind.startsWith('127.');
  return o;
}

// Reads the password of --password-file: its first line, without the line end, as bytes, so
// that any password the plugin accepts can be given.
function readPasswordFile(file) {
  let data;
  try {
    data = fs.readFileSync(file);
  } catch (err) {
    throw new UsageError(`cannot read --password-file ${file} (${err.code})`);
  }
  const end = data.indexOf(0x0a);
  let line = end < 0 ? data : data.subarray(0, end);
  if (line.length && line[line.length - 1] === 0x0d) line = line.subarray(0, -1);
  return line;
}

// Whether a password is empty or only white space (spaces, tabs, line ends).
const blank = (pwd) => [...pwd].every((b) => b === 0x20 || (b >= 0x09 && b <= 0x0d));

// A password for a node open to the network: 18 bytes (144 bits) from the kernel's random
// source in URL-safe base64, 24 characters that need no escaping in a URL.
function randomPassword() {
  return Buffer.from(crypto.randomBytes(18).toString('base64url'));
}

// Percent-encodes a password (its bytes) for a URL query value.
function urlEncode(bytes) {
  let out = '';
  for (const byte of bytes) {
    const c = String.fromCharCode(byte);
    out += /[A-Za-z0-9._~-]/.test(c) ? c : '%' + byte.toString(16).toUpperCase().padStart(2, '0');
  }
  return out;
}

const passwordField = (sep, pwd) => (pwd.length ? `${sep}pwd=${urlEncode(pwd)}` : '');
const passwordNote = (pwd) => (pwd.length ? 'with a password' : 'no password');

// The URLs that open the game on server `base`, one per node.
export function gameUrls(base, hub, nodes) {
  if (hub) return Object.keys(nodes).map((n) => `${base}/plugins?plugin=${PLUGIN_ID}&node=${n}${passwordField('&', nodes[n].password)}`);
  return [`${base}/${PLUGIN_ID}${passwordField('?', nodes.node.password)}`];
}

// The machine's IPv4 addresses other than loopback ones.
function networkAddresses() {
  return Object.values(os.networkInterfaces()).flat()
    .filter((a) => a && a.family === 'IPv4' && !a.internal && !a.address.startsWith('127.')).map((a) => a.address);
}

// The line that says which user serves.
export function userLine(user) {
  switch (user.why) {
    case 'sudo': return `Serving as user ${user.name}, who ran sudo (not as root).`;
    case 'system': return `Serving as user ${user.name}, a system user for the game (not as root).`;
    case 'given': return `Serving as user ${user.name} (not as root).`;
    default: return `Serving as user ${user.name}.`;
  }
}

// What scripts/play prints once the host runs (but the QR code), as lines.
export function describe(host, o, generated) {
  const lines = [];
  let base;
  let openNote;
  if (o.hub) {
    for (const [n, node] of Object.entries(host.nodes)) {
      lines.push(`Node ${n}: ${node.url} (data folder ${node.data}, ${passwordNote(node.password)})`);
    }
    base = host.hub.url;
    lines.push(`Hub: ${base}`);
    openNote = 'Open one of these URLs to play, through the hub, on node alpha or on node beta';
  } else {
    const node = host.nodes.node;
    base = node.url;
    lines.push(`Node: ${base} (data folder ${node.data}, ${passwordNote(node.password)})`);
    openNote = 'Open this URL to play';
  }
  const urls = (b) => gameUrls(b, o.hub, host.nodes).map((u) => `URL: ${u}`);
  if (!o.exposed) {
    lines.push(`${openNote}:`, ...urls(base));
    return { lines, phoneUrl: null };
  }
  const notes = {
    node: 'Made a random password for this run, as none was given with --password; it is in the URLs below.',
    alpha: 'Made a random password for node alpha for this run; it is in its URLs below.',
    'alpha beta': 'Made random passwords for nodes alpha and beta for this run, as none was given with --password; they are in the URLs below.',
  };
  if (notes[generated.join(' ')]) lines.push(notes[generated.join(' ')]);
  const port = new URL(base).port;
  let phoneHosts = [o.bind];
  if (o.bind === '0.0.0.0') {
    lines.push(`Listening on every network interface, port ${port}.`, `${openNote}, on this machine:`, ...urls(base));
    phoneHosts = networkAddresses();
  } else {
    lines.push(`Listening on ${o.bind}, port ${port}.`);
  }
  if (phoneHosts.length === 0) {
    lines.push('This machine has no network address yet: connect it to a network and start again to play on a phone.');
    return { lines, phoneUrl: null };
  }
  lines.push('On a phone or another device on the same network:');
  for (const h of phoneHosts) lines.push(...urls(`http://${h}:${port}`));
  const phoneUrl = gameUrls(`http://${phoneHosts[0]}:${port}`, o.hub, host.nodes)[0];
  lines.push(`Or scan this code with the phone's camera to open ${phoneUrl}:`);
  return { lines, phoneUrl };
}

// scripts/play's run: checks the options, starts the host, prints where to play, and serves
// until Ctrl-C or SIGTERM, or until a server ends by itself.
async function main(argv) {
  let o;
  let password;
  try {
    o = parseOptions(argv, rawArguments(argv));
    if (o.help) {
      if (!o.check) process.stdout.write(USAGE);
      return 0;
    }
    password = o.passwordFile !== null ? readPasswordFile(o.passwordFile) : o.password;
    if (o.exposed && password !== null && blank(password)) {
      throw new UsageError('an empty password, or one of only white space, would open the game to the network; leave the option out to get a random password');
    }
    if (o.check) return 0;
    if (!o.program) throw new UsageError('--program is needed (scripts/play builds one)');
  } catch (err) {
    if (!(err instanceof UsageError)) throw err;
    process.stderr.write(`scripts/play: ${err.message}\n`);
    return 2;
  }

  let host;
  let stopRequested = null;
  const stopped = new Promise((resolve) => { stopRequested = resolve; });
  for (const signal of ['SIGINT', 'SIGTERM']) {
    process.on(signal, () => {
      process.stderr.write('Stopping.\n');
      stopRequested('signal');
    });
  }

  const user = servingUser();
  console.log(userLine(user));
  if (!o.data && !fs.existsSync(user.home)) {
    process.stderr.write(`scripts/play: user ${user.name} has no home folder (${user.home}) for the scores; choose a folder with --data\n`);
    return 1;
  }
  const dataBase = defaultDataBase(user);
  const data = path.resolve(o.data || (o.hub ? dataBase : path.join(dataBase, 'node')));
  const generated = [];
  let nodes;
  if (o.hub) {
    let alpha = Buffer.alloc(0);
    let beta = password ?? Buffer.from('beta-secret');
    if (o.exposed) {
      alpha = randomPassword();
      generated.push('alpha');
      if (password === null) {
        beta = randomPassword();
        generated.push('beta');
      }
    }
    nodes = [{ name: 'alpha', data: path.join(data, 'alpha'), password: alpha },
      { name: 'beta', data: path.join(data, 'beta'), password: beta }];
  } else {
    let pwd = password ?? Buffer.alloc(0);
    if (o.exposed && password === null) {
      pwd = randomPassword();
      generated.push('node');
    }
    nodes = [{ name: 'node', data, password: pwd, port: o.port, bind: o.bind }];
  }
  if (o.windows) console.error('==> Starting wine (a new prefix takes about ten seconds)');
  let stopEarly = false;
  stopped.then(() => { stopEarly = true; });
  try {
    host = await startHost({ program: path.resolve(o.program), windows: o.windows, nodes,
      user: user.switched ? user.name : undefined, hub: o.hub ? { port: o.port, bind: o.bind } : null });
  } catch (err) {
    process.stderr.write(`scripts/play: ${err.message}\n`);
    return stopEarly ? 0 : 1;
  }
  if (stopEarly) {
    await host.stop();
    return 0;
  }
  const { lines, phoneUrl } = describe(host, o, generated);
  let out = lines.join('\n') + '\n';
  if (phoneUrl) {
    const qr = spawnSync('qrencode', ['-t', 'ANSIUTF8', phoneUrl], { encoding: 'utf8', timeout: 10000 });
    out += qr.stdout || '';
  }
  out += 'Press Ctrl-C to stop.\n';
  process.stdout.write(out);

  let why = await Promise.race([stopped, host.failed]);
  // Ctrl-C in a terminal reaches the servers too (they share its process group), and one may
  // end before this process has handled its own signal: give the signal a moment to arrive.
  if (why !== 'signal') why = await Promise.race([stopped, sleep(500).then(() => why)]);
  let code = 0;
  if (why !== 'signal' && why !== null) {
    process.stderr.write('scripts/play: a server stopped unexpectedly\n');
    for (const [name, tail] of Object.entries(host.logs())) {
      if (tail.length) process.stderr.write(`${name}:\n${tail.slice(-5).join('\n')}\n`);
    }
    code = 1;
  }
  await host.stop();
  return code;
}

if (process.argv[1] && path.resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  main(process.argv.slice(2)).then((code) => process.exit(code), (err) => {
    process.stderr.write(`scripts/play: ${err.stack || err}\n`);
    process.exit(1);
  });
}

