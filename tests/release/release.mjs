// What the release tests share: the folder scripts/release wrote (PENTRA_DIST), the version
// and commit time it was built with, and unpacking its archives into a scratch folder.
import { execFileSync } from 'node:child_process';
import os from 'node:os';
import path from 'node:path';
import { freshFolder } from '../lib/scratch.mjs';
import { ROOT, VERSION } from '../values.mjs';

export const DIST = process.env.PENTRA_DIST;
if (!DIST) throw new Error('PENTRA_DIST must name the folder that scripts/release wrote');
export const WORK = process.env.PENTRA_WORK || path.join(os.tmpdir(), 'pentra-release-tests');
export { ROOT, VERSION };
export const ZIP = `pentra-${VERSION}-windows-x86_64.zip`;
export const TGZ = `pentra-${VERSION}-linux-x86_64.tar.gz`;
// The release is built from HEAD, and its entries carry HEAD's time.
export const COMMIT_TIME = Number(execFileSync('git', ['log', '-1', '--format=%ct'], { cwd: ROOT, encoding: 'utf8' }));

// A fresh, empty folder for one test.
export function scratch(name) {
  return freshFolder(path.join(WORK, `${name}-${process.pid}`));
}

export function sh(cmd, args, opts = {}) {
  return execFileSync(cmd, args, { encoding: 'utf8', timeout: 60000, ...opts });
}

// Unpacks both archives, each into a folder of its own; returns the two folders.
export function unpack(name) {
  const dir = scratch(name);
  const [linux, windows] = ['linux', 'windows'].map((system) => freshFolder(path.join(dir, system)));
  sh('tar', ['-xzf', path.join(DIST, TGZ), '-C', linux]);
  sh('unzip', ['-q', path.join(DIST, ZIP), '-d', windows]);
  return { linux, windows };
}
