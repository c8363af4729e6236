// The command line of scripts/play: checks the options, starts the host (host.mjs) as they
// ask, prints where to play, and serves until Ctrl-C or SIGTERM, or until a server ends by
// itself. Tests and benchmarks use host.mjs, never this file.
import { spawnSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { describe, userLine } from './banner.mjs';
import { startHost } from './host.mjs';
import { sleep } from './processes.mjs';
import { defaultDataBase, servingUser } from './user.mjs';

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

  let why = await Promise.race([stopped, host.failure]);
  // Ctrl-C in a terminal reaches the servers too (they share its process group), and one may
  // end before this process has handled its own signal: give the signal a moment to arrive.
  if (why !== 'signal') why = await Promise.race([stopped, sleep(500).then(() => why)]);
  let code = 0;
  if (why !== 'signal' && why !== null) {
    process.stderr.write(`scripts/play: ${why}; stopping the host\n`);
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

