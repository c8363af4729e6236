// Runs every command that the operator's guide (README.txt in both archives) shows, in the
// order shown, against the unpacked archives: the shell sessions with the Linux program, the
// Command Prompt sessions with the .exe under wine. Each command must print exactly the lines
// the guide shows after it, so the guide cannot drift from the program.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { DIST, ROOT, scratch, TGZ, unpack, WORK } from './release.mjs';

const GUIDE = fs.readFileSync(path.join(ROOT, 'docs', 'install.md'), 'utf8');
const { windows } = unpack('guide');

// The wine session of the process suite's harness, with its prefix beside the unpacked .exe.
process.env.PENTRA_BIN = path.join(windows, 'plugin_pentra_3d.exe');
process.env.PENTRA_TARGET = 'wine';
process.env.PENTRA_WORK = path.join(WORK, 'wine');
const wine = await import('../process/harness.mjs');
before(wine.startTarget);
after(wine.stopTarget);

// The guide's sessions: fenced blocks of kind "sh" (commands after "$ ") and "bat" (after
// "> "), each command with the lines it prints.
function sessions(text) {
  const kinds = { sh: [], bat: [] };
  for (const [, kind, body] of text.matchAll(/^```(\w*)\n([\s\S]*?)^```$/gm)) {
    assert.ok(kind in kinds, `a block of kind "${kind}" that no test runs`);
    const prompt = kind === 'sh' ? '$ ' : '> ';
    for (const line of body.split('\n').slice(0, -1)) {
      if (line.startsWith(prompt)) kinds[kind].push({ command: line.slice(prompt.length), output: [] });
      else {
        assert.ok(kinds[kind].length > 0, `output before the first command: ${line}`);
        kinds[kind].at(-1).output.push(line);
      }
    }
  }
  return kinds;
}

// Writes the commands into the script `file` (after the lines of `script`, with a marker
// line before each command and `eol` ending every line), runs it as `run` followed by the
// file's name, and splits what it prints (standard error included) at the markers: each
// command must print exactly the lines the guide shows after it.
function expectSession(commands, { run, file, script, eol, env, cwd }) {
  const lines = commands.flatMap(({ command }, i) => [`echo @@@${i}`, command]);
  fs.writeFileSync(path.join(cwd, file), [...script, ...lines, ''].join(eol));
  const r = spawnSync(run[0], [...run.slice(1), file], { cwd, env, encoding: 'utf8', timeout: 120000 });
  assert.equal(r.error, undefined);
  const parts = (r.stdout + r.stderr).replaceAll('\r\n', '\n').split(/^@@@\d+\n/m);
  assert.equal(parts.length, commands.length + 1, `the session ran every command:\n${r.stdout}${r.stderr}`);
  commands.forEach(({ command, output }, i) => {
    assert.equal(parts[i + 1], output.map((line) => `${line}\n`).join(''), `output of: ${command}`);
  });
}

const guide = sessions(GUIDE);

test('the guide is the README.txt of both archives and shows both sessions', () => {
  assert.equal(fs.readFileSync(path.join(windows, 'README.txt'), 'utf8'), GUIDE);
  assert.ok(guide.sh.length >= 10 && guide.bat.length >= 8);
});

test('every shell command of the guide, against the Linux archive', () => {
  // The operator's download folder: the Linux archive and the sums.
  const dir = scratch('guide-sh');
  for (const name of [TGZ, 'SHA256SUMS']) fs.copyFileSync(path.join(DIST, name), path.join(dir, name));
  const env = { PATH: process.env.PATH, HOME: dir, LC_ALL: 'C' };
  expectSession(guide.sh, { run: ['sh'], file: 'session.sh', script: ['exec 2>&1'], eol: '\n', env, cwd: dir });
});

test('every Command Prompt command of the guide, against the Windows archive under wine', () => {
  const env = wine.wineEnvironment();
  expectSession(guide.bat, { run: ['wine', 'cmd', '/c'], file: 'session.bat', script: ['@echo off'], eol: '\r\n', env, cwd: windows });
});
