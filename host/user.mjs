// The serving user and the files it owns. Started as root, the host never serves as root:
// every process it starts runs as the user who ran sudo (SUDO_USER), or else as the system
// user "pentra", made when missing. The folders those processes write become that user's.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

// The system user that serves when root starts the host without sudo.
export const SYSTEM_USER = 'pentra';

const SCORE_FILES = ['.pentra_scores.json', '.pentra_scores.json.lock', '.pentra_scores.json.tmp'];

// The passwd entry of `name`, through NSS, or null.
function passwdEntry(name) {
  const r = spawnSync('getent', ['passwd', name], { encoding: 'utf8', timeout: 10000 });
  if (r.status !== 0) return null;
  const [, , uid, gid, , home] = r.stdout.trim().split(':');
  return { name, uid: Number(uid), gid: Number(gid), home };
}

// Waits `ms` milliseconds without returning to the event loop (the user is looked up before
// anything runs).
const pause = (ms) => Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms);

// Held around every useradd of the hosts, so that they make users one at a time: two at once
// may each take a user id, and one that then finds the group file locked undoes its entry,
// after another host may already have read it and handed folders to that id.
const USERADD_LOCK = '/run/lock/pentra-useradd.lock';

// Makes the system user `name` that serves when root starts the host without sudo: no login,
// no password, a home of its own under /var/lib for its data. Hosts that start together may
// all find the user missing: useradd's "already exists" (status 9) then means another made
// it, and a locked passwd or group file (a useradd of someone else's) is tried again.
function makeSystemUser(name) {
  let said = '';
  for (let attempt = 0; attempt < 50; attempt++) {
    if (attempt > 0) {
      if (passwdEntry(name)) return;
      pause(100);
    }
    const useradd = ['useradd', '--system', '--user-group', '--home-dir', `/var/lib/${name}`,
      '--create-home', '--shell', '/usr/sbin/nologin', '--comment', 'pentra game host', name];
    let r = spawnSync('flock', ['--wait', '30', USERADD_LOCK, ...useradd], { encoding: 'utf8', timeout: 40000 });
    // Without flock (or /run/lock), useradd alone.
    if (r.error || (r.status !== 0 && r.status !== 9 && !fs.existsSync(USERADD_LOCK))) {
      r = spawnSync(useradd[0], useradd.slice(1), { encoding: 'utf8', timeout: 30000 });
    }
    if (r.status === 0 || r.status === 9) return;
    said = (r.stderr || '').trim();
  }
  throw new Error(`could not make the user ${name}: ${said}`);
}

// The user the host serves as, with `why` saying how it was chosen: the current user when not
// root; as root, `requested`, else SUDO_USER, else the system user `system` (made when
// missing; a test names one of its own).
export function servingUser(requested, system = SYSTEM_USER) {
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
    name = system;
    why = 'system';
    if (!passwdEntry(name)) makeSystemUser(name);
  }
  const entry = passwdEntry(name);
  if (!entry) throw new Error(`no user ${name} on this system`);
  if (entry.uid === 0) throw new Error('the host does not serve as root; name another user');
  return { ...entry, switched: true, why };
}

// The options that make a child process run as the serving user.
export const asUser = (user) => (user.switched ? { uid: user.uid, gid: user.gid } : {});

// Makes a path the serving user's, without following a link.
export function own(user, p) {
  if (user.switched) fs.lchownSync(p, user.uid, user.gid);
}

// Creates folder `dir` and its missing parents; those created become the user's, and so does
// `dir` itself when it is root's. Another host may make the same folders meanwhile: what
// exists already is left as it is.
export function makeFolder(user, dir) {
  const first = fs.mkdirSync(dir, { recursive: true });
  if (first !== undefined) {
    for (let d = dir; ; d = path.dirname(d)) {
      own(user, d);
      if (d === first || d === path.dirname(d)) break;
    }
  }
  if (user.switched && fs.lstatSync(dir).uid === 0) own(user, dir);
}

// A data folder for the user: made when missing, the user's when root's, and a score file,
// lock or temporary file of root's in it (left by a run as root) handed over as well. A link
// is never followed here, nor one of another user's touched.
export function prepareData(user, dir) {
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
export function ownTree(user, top) {
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
