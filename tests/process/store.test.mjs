// The score store through the real program: file form, loading, locations and safe writes.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { hostPath, readCases, run, save, scoreFile, scores, scratch, SEP, startTarget, stopTarget, WINE } from './harness.mjs';
import { INVALID_SCORE as INVALID, scoresReply, unwritable } from '../values.mjs';

before(startTarget);
after(stopTarget);

// Saves `val` in the store `env` names (with save's options) and checks that the reply and
// `file`, in its written form, both hold the table `entries`.
async function assertSaved(env, val, entries, file, opts) {
  assert.equal(await save(env, val, opts), scoresReply(entries));
  assert.equal(fs.readFileSync(file, 'latin1'), `{"scores":[${entries.join(',')}]}\n`);
}

describe('saving', () => {
  test('first save writes exactly the file form', async () => {
    const { file, env } = scoreFile('first');
    await assertSaved(env, '1200', [1200], file);
    assert.deepEqual(fs.readdirSync(path.dirname(file)).sort(), ['scores.json', 'scores.json.lock']);
  });

  test('invalid score texts leave the file untouched', async () => {
    const { file, env } = scoreFile('invalid', '{"scores":[ 9 ]}');
    for (const val of ['0', '-7', 'abc', '', '-0', '+-3']) {
      assert.equal(await save(env, val), INVALID, `val "${val}"`);
    }
    assert.equal(fs.readFileSync(file, 'latin1'), '{"scores":[ 9 ]}');
  });

  test('equal scores sit side by side and a full table keeps its ten best', async () => {
    const { file, env } = scoreFile('order', '{"scores":[800,500,300]}\n');
    assert.equal(await save(env, '500'), scoresReply([800, 500, 500, 300]));
    fs.writeFileSync(file, '{"scores":[1000,900,800,700,600,500,400,300,200,100]}\n');
    const full = [1000, 900, 800, 700, 600, 500, 400, 300, 200, 100];
    assert.equal(await save(env, '100'), scoresReply(full));
    assert.equal(await save(env, '101'), scoresReply([...full.slice(0, 9), 101]));
  });

  test('any file the load accepts is rewritten in the written form', async () => {
    const { file, env } = scoreFile('rewrite', '{"best":[4,2]}');
    await assertSaved(env, '3', [4, 3, 2], file);
  });
});

describe('loading', () => {
  // The texts the unit tests hand to the scan, here as score files.
  for (const [content, entries] of readCases('score_files.tsv')) {
    test(`file ${JSON.stringify(content)}`, async () => {
      const { env } = scoreFile('load', Buffer.from(content, 'latin1'));
      assert.equal(await scores(env), scoresReply(entries === 'none' ? [] : entries.split(',').map(Number)));
    });
  }

  test('a binary file and a file of megabytes read only their first 2047 bytes', async () => {
    const big = Buffer.alloc(4 * 1024 * 1024, 0x37);
    big.write('[5,', 0);
    const { env } = scoreFile('big', big);
    assert.equal(await scores(env), scoresReply([5, 2147483647]));
    const bytes = Buffer.from(Array.from({ length: 3000 }, (_, i) => (i * 37 + 11) % 256).filter((b) => b !== 0));
    const { env: env2 } = scoreFile('binary', Buffer.concat([Buffer.from('[8,'), bytes]));
    const reply = await scores(env2);
    assert.match(reply, /^\{"ok":true,.*"highscore":8,"scores":\[8(,\d+)*\]\}\n$/);
  });

  test('a directory at the score path reads as empty and is never replaced', async () => {
    const { file, env } = scoreFile('dir');
    fs.mkdirSync(file);
    assert.equal(await scores(env), scoresReply([]));
    assert.equal(await save(env, '1200'), unwritable(1200));
    assert.ok(fs.statSync(file).isDirectory());
  });
});

describe('locations', () => {
  const NAME = '.pentra_scores.json';

  test('BOT_PLUGIN_DIR holds the file directly and is created', async () => {
    const dir = path.join(scratch('plugdir'), 'data');
    await assertSaved({ BOT_PLUGIN_DIR: hostPath(dir) }, '5', [5], path.join(dir, NAME));
  });

  test('HV_PENTRA_SCORES outranks BOT_PLUGIN_DIR and creates nothing; empty counts as unset', async () => {
    const root = scratch('explicit');
    const file = path.join(root, 'own.json');
    const dir = path.join(root, 'data');
    await save({ HV_PENTRA_SCORES: hostPath(file), BOT_PLUGIN_DIR: hostPath(dir) }, '6');
    assert.ok(fs.existsSync(file));
    assert.equal(fs.existsSync(dir), false);
    await save({ HV_PENTRA_SCORES: '', BOT_PLUGIN_DIR: hostPath(dir) }, '7');
    assert.ok(fs.existsSync(path.join(dir, NAME)));
  });

  // The per-user variables of the platform the program runs on.
  const APP_DATA = WINE ? 'LOCALAPPDATA' : 'XDG_DATA_HOME';
  const PROFILE = WINE ? 'USERPROFILE' : 'HOME';

  test(`${APP_DATA}, then ${PROFILE}, then the current directory`, async () => {
    const root = scratch('peruser');
    const [app, home, cwd] = ['app', 'home', 'cwd'].map((name) => path.join(root, name));
    for (const dir of [app, home, cwd]) fs.mkdirSync(dir);
    await save({ [APP_DATA]: hostPath(app), [PROFILE]: hostPath(home) }, '1');
    assert.ok(fs.existsSync(path.join(app, 'halvoren', 'plugins', NAME)));
    await save({ [APP_DATA]: '', [PROFILE]: hostPath(home) }, '2');
    assert.ok(fs.existsSync(path.join(home, '.halvoren', 'plugins', NAME)));
    assert.equal(await save({}, '3', { cwd }), scoresReply([3]));
    assert.ok(fs.existsSync(path.join(cwd, 'plugins', NAME)));
  });

  test('a missing per-user directory is not created: nothing can be stored', async () => {
    const missing = path.join(scratch('missing'), 'nope');
    const env = { [APP_DATA]: hostPath(missing) };
    assert.equal(await save(env, '1200'), unwritable(1200));
    assert.equal(await scores(env), scoresReply([]));
    assert.equal(fs.existsSync(missing), false);
  });

  test('a base directory ending in a separator gets a second one', async () => {
    const root = scratch('trailing');
    await save({ BOT_PLUGIN_DIR: hostPath(root) + SEP }, '4');
    assert.ok(fs.existsSync(path.join(root, NAME)));
  });

  test('data folders with non-ASCII names work', async () => {
    const dir = path.join(scratch('unicode'), 'd\u00e4t\u00e4 \u20ac \u6570\u636e');
    await assertSaved({ BOT_PLUGIN_DIR: hostPath(dir) }, '42', [42], path.join(dir, NAME));
  });

  test('a score path longer than 1023 characters is cut and used as cut', async () => {
    const root = scratch('longpath');
    let dir = root;
    while (dir.length < 900) dir = path.join(dir, 'd'.repeat(60));
    fs.mkdirSync(dir, { recursive: true });
    const name = 'f'.repeat(1023 - hostPath(dir).length - 1);
    await assertSaved({ HV_PENTRA_SCORES: hostPath(dir) + SEP + name + 'IGNORED' }, '9', [9], path.join(dir, name));
  });

  // Past MAX_PATH (260 characters, 248 for a directory to create) Windows wants the
  // extended form "\\?\..."; the program gives every path in it after making it absolute, so
  // a relative folder with ".." and "/" must still land in the right place.
  test('a data folder over 300 characters is created and used, also given relatively', async () => {
    const root = scratch('longdir');
    const [p, q, data] = ['p'.repeat(120), 'q'.repeat(120), `data-${'r'.repeat(100)}`];
    fs.mkdirSync(path.join(root, p, q), { recursive: true });
    const dir = path.join(root, p, q, data);
    assert.ok(hostPath(dir).length > 300);
    await assertSaved({ BOT_PLUGIN_DIR: hostPath(dir) }, '31', [31], path.join(dir, NAME));
    const relative = [p, q, '..', q].join(SEP) + '/' + data;
    assert.equal(await save({ BOT_PLUGIN_DIR: relative }, '32', { cwd: root }), scoresReply([32, 31]));
    assert.deepEqual(fs.readdirSync(dir).sort(), [NAME, `${NAME}.lock`]);
  });

  // wine takes long paths in any form, so only its trace of the file calls shows that the
  // program really hands them over in the extended form. The trace cuts long names, so the
  // lines are picked by the short scratch folder.
  test('every file call on the data folder gets the extended form', { skip: !WINE }, async () => {
    const root = scratch('traced');
    const dir = path.join(root, 'x'.repeat(200), 'y'.repeat(100));
    fs.mkdirSync(path.dirname(dir));
    const env = { BOT_PLUGIN_DIR: hostPath(dir), QUERY_STRING: 'action=save_score&val=8', WINEDEBUG: 'trace+file' };
    const r = await run({ env, stderr: true });
    assert.ok(r.text.endsWith(scoresReply([8])));
    const calls = r.errText.split('\n').filter((line) => line.includes(hostPath(root).replaceAll('\\', '\\\\')));
    const used = new Set();
    for (const line of calls) {
      const m = /trace:file:(CreateDirectoryW|CreateFileW|GetFileAttributesW|MoveFileWithProgressW|DeleteFileW) \(?(.*)/.exec(line);
      if (!m) continue;
      used.add(m[1]);
      for (const arg of m[2].match(/L"[^"]*"/g)) assert.ok(arg.startsWith('L"\\\\\\\\?\\\\'), line);
    }
    assert.deepEqual([...used].sort(), ['CreateDirectoryW', 'CreateFileW', 'DeleteFileW', 'GetFileAttributesW', 'MoveFileWithProgressW']);
  });
});

describe('safe rewrites', () => {
  test('a symbolic link at the score path stays a link; its target is replaced', async () => {
    const root = scratch('link');
    fs.writeFileSync(path.join(root, 'real.json'), '{"scores":[50]}\n');
    fs.symlinkSync('real.json', path.join(root, 'scores.json'));
    const env = { HV_PENTRA_SCORES: hostPath(path.join(root, 'scores.json')) };
    await assertSaved(env, '60', [60, 50], path.join(root, 'real.json'));
    assert.ok(fs.lstatSync(path.join(root, 'scores.json')).isSymbolicLink());
  });

  test('a link left at the temporary path is replaced, never written through', async () => {
    const { file, env } = scoreFile('tmplink', '{"scores":[50]}\n');
    fs.symlinkSync('victim.json', `${file}.tmp`);
    await assertSaved(env, '60', [60, 50], file);
    assert.ok(!fs.existsSync(path.join(path.dirname(file), 'victim.json')));
  });

  // The issue this guards against: in a data folder open to all, a link planted by another
  // user turned a save into a write over a file of the program's user.
  const plantedSkip = WINE
    ? 'the Windows build follows every link; the rule is the POSIX build\'s'
    : process.getuid() !== 0 && 'only root can give a link to another user';
  test('a link planted by another user in a folder open to all is not followed', { skip: plantedSkip }, async () => {
    const root = scratch('planted');
    const data = path.join(root, 'data');
    fs.mkdirSync(data);
    fs.chmodSync(data, 0o1777);
    const victim = path.join(root, 'victim.json');
    fs.writeFileSync(victim, '{"scores":[123]}\n');
    const file = path.join(data, '.pentra_scores.json');
    const plant = (at, target, uid = 65534) => {
      fs.symlinkSync(target, at);
      fs.lchownSync(at, uid, uid);
    };
    const env = { BOT_PLUGIN_DIR: hostPath(data) };
    plant(file, victim);
    assert.equal(await scores(env), scoresReply([]), 'read as an empty table');
    assert.equal(await save(env, '60'), unwritable(60));
    fs.unlinkSync(file);
    fs.writeFileSync(file, '{"scores":[9]}\n');
    plant(`${file}.lock`, path.join(root, 'made.lock'));
    assert.equal(await save(env, '60'), unwritable(60));
    assert.equal(fs.readFileSync(victim, 'latin1'), '{"scores":[123]}\n');
    assert.equal(fs.readFileSync(file, 'latin1'), '{"scores":[9]}\n');
    assert.deepEqual(fs.readdirSync(root).sort(), ['data', 'victim.json'], 'nothing created beside the target');
    // The program's own link there keeps working.
    fs.unlinkSync(file);
    plant(file, victim, process.getuid());
    await assertSaved(env, '60', [123, 60], victim);
  });

  test('a failed write answers unwritable and leaves the old file whole', async () => {
    const { file, env } = scoreFile('fsize', '{"scores":[700,300]}\n');
    // Any write beyond 0 bytes fails with EFBIG instead of killing the process.
    assert.equal(await save(env, '500', { shell: "ulimit -f 0; trap '' XFSZ;" }), unwritable(700));
    assert.equal(fs.readFileSync(file, 'latin1'), '{"scores":[700,300]}\n');
    assert.deepEqual(fs.readdirSync(path.dirname(file)).sort(), ['scores.json', 'scores.json.lock']);
    assert.equal(await save(env, '500'), scoresReply([700, 500, 300]));
  });

  // wine's file locks live in its server, not in flock, so only the native program sees this
  // holder; the wait itself is the same code on both.
  test('a lock held past the wait answers unwritable and stores nothing', { skip: WINE }, async () => {
    const { file, env } = scoreFile('held', '{"scores":[700,300]}\n');
    // The shell takes the lock through descriptor 9 and keeps it while the program runs.
    const hold = `exec 9>'${file}.lock'; flock -n 9 || exit 3;`;
    assert.equal(await save(env, '500', { shell: hold }), unwritable(700));
    assert.equal(fs.readFileSync(file, 'latin1'), '{"scores":[700,300]}\n');
    assert.equal(await save(env, '500'), scoresReply([700, 500, 300]));
  });
});

describe('unusable locations', () => {
  test('a data folder below a regular file reads empty and answers unwritable', async () => {
    const root = scratch('notdir');
    fs.writeFileSync(path.join(root, 'file'), 'x');
    const env = { BOT_PLUGIN_DIR: hostPath(path.join(root, 'file', 'sub')) };
    assert.equal(await scores(env), scoresReply([]));
    assert.equal(await save(env, '77'), unwritable(77));
    assert.equal(fs.readFileSync(path.join(root, 'file'), 'latin1'), 'x');
  });
});
