// Processes and ports: starting a server as the serving user, keeping the last lines of its
// standard error (in memory only: nothing a client sends is written to any file), stopping
// it, and finding free ports on 127.0.0.1.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import { asUser } from './user.mjs';

// Lines of a server's standard error kept in memory, to explain a failure.
const TAIL_LINES = 20;
export const START_TIMEOUT_MS = 20000;
// A server that stops by itself is started again after a pause; one that stops this many
// times within a minute is given up on.
const RESTART_PAUSE_MS = 1000;
const GIVE_UP_STOPS = 4;
const GIVE_UP_WINDOW_MS = 60000;

// Starts a process as the serving user. Its standard error is kept, the last lines only.
export function startProcess(user, name, command, args, { env, stdio = ['ignore', 'ignore', 'pipe'] }) {
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
export async function stopProcess(proc, ms = 10000) {
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

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/**
 * Keeps server `name` running, `first` its process: when that stops by itself, `start()` (a
 * promise of the new process) runs after a short pause and `say` gets one line telling so.
 * When it has stopped GIVE_UP_STOPS times within a minute, or does not start again that
 * often, `giveUp` gets the reason instead. Returns { current(), stop() }.
 */
export function keepRunning(name, first, start, { say, giveUp }) {
  let proc = first;
  let stopping = false;
  let restarting = null;
  const stops = [];
  const watch = (p) => p.exited.then((exit) => {
    if (!stopping && p === proc) stopped(exit.signal ? `signal ${exit.signal}` : `status ${exit.code}`);
  });
  const stopped = (how) => {
    const now = Date.now();
    stops.push(now);
    while (stops[0] < now - GIVE_UP_WINDOW_MS) stops.shift();
    if (stops.length >= GIVE_UP_STOPS) {
      giveUp(`the ${name} server stopped ${stops.length} times within a minute (last: ${how})`);
      return;
    }
    restarting = (async () => {
      await sleep(RESTART_PAUSE_MS);
      if (stopping) return;
      let next;
      try {
        next = await start();
      } catch (err) {
        stopped(`could not start again: ${err.message.split('\n')[0]}`);
        return;
      }
      proc = next;
      if (stopping) return;
      say(`The ${name} server stopped (${how}) and was started again.`);
      watch(proc);
    })();
  };
  watch(first);
  return {
    current: () => proc,
    async stop() {
      stopping = true;
      await restarting;
      await stopProcess(proc);
    },
  };
}

// Whether something accepts connections on host:port within `ms`.
export function portOpen(port, host = '127.0.0.1', ms = 1000) {
  return new Promise((resolve) => {
    const socket = net.connect({ host, port });
    socket.setTimeout(ms, () => { socket.destroy(); resolve(false); });
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

// Starts one node's lighttpd (configuration `conf`) on a free port of 127.0.0.1, or on
// `port` when given and free, and waits until it accepts connections; a port taken meanwhile
// is retried with another.
export async function startLighttpd(user, conf, name, env, password, port = 0) {
  let last = null;
  for (let attempt = 0; attempt < 5; attempt++) {
    if (attempt > 0 || !port) port = await freePort();
    const proc = startProcess(user, name, 'sh', ['-c', WITH_PASSWORD, octal(password), LIGHTTPD, '-D', '-f', conf],
      { env: { ...env, PENTRA_PORT: String(port) } });
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
