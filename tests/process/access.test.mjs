// The node-password gate, seen from outside the program.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { hostPath, readCases, run, scratch, startTarget, stopTarget } from './harness.mjs';
import { PAGE_HEADER, REFUSAL } from '../values.mjs';

before(startTarget);
after(stopTarget);

async function outcome(env, opts = {}) {
  const r = await run({ env, ...opts });
  assert.equal(r.status, 0);
  if (r.text === REFUSAL) return 'refused';
  assert.ok(r.text.startsWith(PAGE_HEADER) || r.text.includes('"ok"'), r.text.slice(0, 100));
  return 'granted';
}

describe('access check', () => {
  test('the refusal is exactly 145 bytes with status 401, and nothing else is done', async () => {
    assert.equal(Buffer.byteLength(REFUSAL), 145);
    const dir = path.join(scratch('refused'), 'data');
    const r = await run({
      env: { BOT_PASSWORD: 'pw', BOT_PLUGIN_DIR: hostPath(dir), QUERY_STRING: 'action=save_score&val=5', CONTENT_LENGTH: '4' },
      input: 'val=',
      holdInput: true,
    });
    assert.equal(r.status, 0);
    assert.equal(r.text, REFUSAL);
    assert.equal(fs.existsSync(dir), false, 'a refused request must not touch the store');
  });

  test('the page is guarded like the JSON interface', async () => {
    assert.equal(await outcome({ BOT_PASSWORD: 'pw' }), 'refused');
    assert.equal(await outcome({ BOT_PASSWORD: 'pw', QUERY_STRING: 'pwd=pw' }), 'granted');
  });

  // No password or an empty one, each source on its own (a wrong earlier source does not
  // block a later one), the bearer token's forms, the decoded password field: the
  // environments the unit tests hand to the check.
  test('the cases the unit tests share', async () => {
    for (const [expected, ...fields] of readCases('access.tsv')) {
      const env = Object.fromEntries(fields.map((f) => [f.slice(0, f.indexOf('=')), f.slice(f.indexOf('=') + 1)]));
      assert.equal(await outcome(env), expected, JSON.stringify(env));
    }
  });

  test('the body is never looked at for the password', async () => {
    const base = { BOT_PASSWORD: 'a+b&c' };
    assert.equal(
      await outcome({ ...base, REQUEST_METHOD: 'POST', CONTENT_LENGTH: '13' }, { input: 'pwd=a%2Bb%26c' }),
      'refused',
    );
  });

  test('a password over 255 characters passes only through the headers', async () => {
    const long = 'p'.repeat(300);
    assert.equal(await outcome({ BOT_PASSWORD: long, QUERY_STRING: `pwd=${long}` }), 'refused');
    assert.equal(await outcome({ BOT_PASSWORD: long, HTTP_AUTHORIZATION: `Bearer ${long}` }), 'granted');
  });

  test('non-ASCII passwords compare byte for byte', async () => {
    const pw = 'gr\u00fcn\u20ac';
    assert.equal(await outcome({ BOT_PASSWORD: pw, HTTP_X_BOT_PASSWORD: pw }), 'granted');
    assert.equal(await outcome({ BOT_PASSWORD: pw, QUERY_STRING: `pwd=${encodeURIComponent(pw)}` }), 'granted');
    assert.equal(await outcome({ BOT_PASSWORD: pw, HTTP_X_BOT_PASSWORD: 'grun\u20ac' }), 'refused');
  });
});
