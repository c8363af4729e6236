// The release as scripts/release wrote it: names, sums, archive entries, and what the Windows
// program carries (version resource, manifest, imports).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { COMMIT_TIME, DIST, ROOT, sh, TGZ, unpack, VERSION, ZIP } from './release.mjs';

const { linux, windows } = unpack('archives');
const EXE = path.join(windows, 'plugin_pentra_3d.exe');
const GUIDE = fs.readFileSync(path.join(ROOT, 'docs', 'install.md'));
// The archive listings show times in UTC.
const IN_UTC = { env: { TZ: 'UTC', PATH: process.env.PATH } };

test('the release holds both archives and SHA256SUMS, which checks', () => {
  assert.deepEqual(fs.readdirSync(DIST).sort(), ['SHA256SUMS', TGZ, ZIP].sort());
  assert.equal(sh('sha256sum', ['-c', 'SHA256SUMS'], { cwd: DIST }), `${ZIP}: OK\n${TGZ}: OK\n`);
});

test('the tar entries: program and guide, sorted, owned by 0, dated by the commit', () => {
  const listing = sh('tar', ['--list', '--verbose', '--numeric-owner', '--full-time', '-zf', path.join(DIST, TGZ)], IN_UTC);
  const stamp = new Date(COMMIT_TIME * 1000).toISOString().replace('T', ' ').slice(0, 19);
  const entries = listing.trim().split('\n').map((line) => line.split(/\s+/));
  assert.deepEqual(
    entries.map(([mode, owner, , day, time, name]) => [mode, owner, `${day} ${time}`, name]),
    [
      ['-rw-r--r--', '0/0', stamp, 'README.txt'],
      ['-rwxr-xr-x', '0/0', stamp, 'plugin_pentra_3d'],
    ],
  );
  assert.deepEqual(fs.readFileSync(path.join(linux, 'README.txt')), GUIDE);
  // One static program: no shared libraries to look for.
  assert.doesNotMatch(sh('readelf', ['-d', path.join(linux, 'plugin_pentra_3d')]), /NEEDED/);
  assert.equal(sh(path.join(linux, 'plugin_pentra_3d'), ['--version']), `plugin_pentra_3d ${VERSION}\n`);
});

test('the zip entries: program and guide, with fixed modes and times', () => {
  const listing = sh('zipinfo', ['-T', path.join(DIST, ZIP)], IN_UTC);
  const d = new Date(COMMIT_TIME * 1000);
  const pad = (n) => String(n).padStart(2, '0');
  // zip keeps local times in steps of two seconds; strip-nondeterminism writes them in UTC.
  const stamp = `${d.getUTCFullYear()}${pad(d.getUTCMonth() + 1)}${pad(d.getUTCDate())}.${pad(d.getUTCHours())}${pad(d.getUTCMinutes())}${pad(d.getUTCSeconds() & ~1)}`;
  const entries = listing
    .split('\n')
    .filter((line) => /^-/.test(line))
    .map((line) => line.split(/\s+/))
    .map((f) => [f[0], f.at(-2), f.at(-1)]);
  assert.deepEqual(entries, [
    ['-rw-r--r--', stamp, 'README.txt'],
    ['-rwxr-xr-x', stamp, 'plugin_pentra_3d.exe'],
  ]);
  assert.deepEqual(fs.readFileSync(path.join(windows, 'README.txt')), GUIDE);
});

// windres reads the resources back out of the linked program.
const resources = sh('x86_64-w64-mingw32-windres', ['-J', 'coff', '-O', 'rc', '-i', EXE]);

test('the version resource names the product, the file and the version', () => {
  const quad = `${VERSION}.0`;
  const commas = quad.split('.').join(', ');
  assert.match(resources, new RegExp(`^ FILEVERSION ${commas}$`, 'm'));
  assert.match(resources, new RegExp(`^ PRODUCTVERSION ${commas}$`, 'm'));
  assert.match(resources, /^ FILETYPE 0x1$/m);
  const values = Object.fromEntries([...resources.matchAll(/VALUE "(\w+)", "([^"]*)"/g)].map((m) => [m[1], m[2]]));
  assert.deepEqual(values, {
    CompanyName: 'pentra',
    FileDescription: '3D block game plugin',
    FileVersion: quad,
    InternalName: 'plugin_pentra_3d',
    OriginalFilename: 'plugin_pentra_3d.exe',
    ProductName: 'pentra',
    ProductVersion: quad,
  });
  assert.match(resources, /VALUE "Translation", 0x409, 1200/);
});

test('the manifest runs as invoker, names Windows 10 and 11 and is long-path aware', () => {
  const block = /^1 24 \/\* RT_MANIFEST \*\/\nBEGIN\n([\s\S]*?)^END$/m.exec(resources);
  assert.ok(block, 'a manifest resource with id 1');
  const xml = [...block[1].matchAll(/^\s*"(.*)"$/gm)]
    .map((m) => m[1].replaceAll('""', '"').replaceAll('\\n', '\n'))
    .join('');
  assert.match(xml, /<requestedExecutionLevel level="asInvoker" uiAccess="false"\/>/);
  assert.match(xml, /<supportedOS Id="\{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a\}"\/>/);
  assert.match(xml, /<ws2:longPathAware>true<\/ws2:longPathAware>/);
  assert.match(xml, new RegExp(`<assemblyIdentity [^>]*version="${VERSION}\\.0"`));
});

test('the program imports only DLLs that Windows ships', () => {
  const dlls = [...sh('x86_64-w64-mingw32-objdump', ['-p', EXE]).matchAll(/DLL Name: (\S+)/g)].map((m) => m[1].toLowerCase());
  assert.ok(dlls.length > 0);
  const system = ['kernel32.dll', 'msvcrt.dll', 'advapi32.dll', 'ntdll.dll', 'user32.dll', 'ws2_32.dll'];
  for (const dll of dlls) assert.ok(system.includes(dll), `${dll} is not part of Windows`);
});
