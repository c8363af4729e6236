// Discovery, routing and request intake, seen from outside the program.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { hostPath, json, readCases, run, save, scoreFile, scratch, startTarget, stopTarget } from './harness.mjs';
import { DISCOVERY, INVALID_SCORE, PAGE_HEADER, ROOT, scoresReply, UNKNOWN_ACTION, VERSION_LINE } from '../values.mjs';

before(startTarget);
after(stopTarget);

const PAGE = fs.readFileSync(path.join(ROOT, 'page', 'index.html'));

// Runs the program with run's options `opts` and checks that it answers with the page.
async function assertPage(opts, message) {
  assert.ok((await run(opts)).text.startsWith(PAGE_HEADER), message);
}

// A save whose score text comes from the body `input` (with json's options), into a store of
// its own; `env` adds to the request or overrides it, e.g. its CONTENT_LENGTH.
const saveBody = (name, env, input, opts) =>
  json({ ...scoreFile(name).env, QUERY_STRING: 'action=save_score', ...env }, { input, ...opts });

describe('discovery', () => {
  test('--meta answers whatever follows it and whatever the environment holds', async () => {
    const r = await run({ args: ['--meta', '--version'], env: { BOT_PASSWORD: 'pw', QUERY_STRING: 'action=scores' } });
    assert.equal(r.status, 0);
    assert.equal(r.text, DISCOVERY);
  });

  test('HV_PLUGIN_META, even empty, answers discovery and outranks --version', async () => {
    for (const args of [[], ['--version'], ['--other']]) {
      const r = await run({ args, env: { HV_PLUGIN_META: '' } });
      assert.equal(r.text, DISCOVERY, `args ${args}`);
    }
  });

  test('--version prints identifier and version without a password', async () => {
    const r = await run({ args: ['--version'], env: { BOT_PASSWORD: 'pw' } });
    assert.equal(r.status, 0);
    assert.equal(r.text, VERSION_LINE);
  });

  test('--meta as a later argument, or any other first argument, is a request', async () => {
    for (const args of [['--other', '--meta'], ['--Meta']]) await assertPage({ args }, `args ${args}`);
  });
});

describe('page route', () => {
  test('no query, method or body gives the header and the whole page', async () => {
    const r = await run({ env: {} });
    assert.equal(r.status, 0);
    assert.equal(PAGE_HEADER.length, 67);
    assert.ok(r.stdout.subarray(0, 67).equals(Buffer.from(PAGE_HEADER)));
    assert.ok(r.stdout.subarray(67).equals(PAGE), 'page bytes differ from page/index.html');
  });

  test('empty action, GET and no format=json give the page; percent-encoded format=json does not count', async () => {
    for (const q of ['action=', 'action=&x=1', 'format%3Djson', 'Format=json']) await assertPage({ env: { QUERY_STRING: q, REQUEST_METHOD: 'GET' } }, q);
    for (const m of ['post', 'HEAD', 'PUT']) await assertPage({ env: { REQUEST_METHOD: m } }, m);
  });

  test('the page route never reads standard input, even with a body announced', async () => {
    // Input stays open: a read would block until the run times out.
    await assertPage({ env: { CONTENT_LENGTH: '10' }, input: 'val=5', holdInput: true });
  });
});

describe('JSON route', () => {
  test('format=json anywhere in the raw query gives the scores reply', async () => {
    const { env } = scoreFile('fmt');
    for (const q of ['format=json', 'x=1&name=format=json', 'zformat=jsonz']) {
      assert.equal(await json({ ...env, QUERY_STRING: q }), scoresReply([]), q);
    }
  });

  test('scores, highscore and leaderboard share one reply; others are unknown', async () => {
    const { env } = scoreFile('actions');
    await save(env, 1200);
    await json({ ...env, QUERY_STRING: 'action=save%5Fscore&val=800' });
    for (const a of ['scores', 'highscore', 'leaderboard']) {
      assert.equal(await json({ ...env, QUERY_STRING: `action=${a}` }), scoresReply([1200, 800]));
    }
    for (const a of ['Scores', 'scores%20', 'scores+', 'x']) {
      assert.equal(await json({ ...env, QUERY_STRING: `action=${a}` }), UNKNOWN_ACTION, a);
    }
  });

  test('an unknown action still creates the data directories', async () => {
    const dir = path.join(scratch('unknown-dirs'), 'plugdata');
    await json({ BOT_PLUGIN_DIR: hostPath(dir), QUERY_STRING: 'action=nothing' });
    assert.ok(fs.statSync(dir).isDirectory());
  });

  test('POST without a query saves the body; a query action wins over the POST default', async () => {
    const env = { ...scoreFile('post').env, REQUEST_METHOD: 'POST' };
    assert.equal(await json({ ...env, CONTENT_LENGTH: '9' }, { input: 'score=321' }), scoresReply([321]));
    assert.equal(await json({ ...env, QUERY_STRING: 'action=scores', CONTENT_LENGTH: '6' }, { input: 'val=99' }), scoresReply([321]));
    assert.equal(await json({ ...env }), INVALID_SCORE);
    assert.equal(await json({ ...env, REQUEST_METHOD: 'POSTX', CONTENT_LENGTH: '3' }, { input: '400' }), scoresReply([400, 321]));
  });
});

describe('body intake', () => {
  test('missing, zero, negative or non-numeric lengths read no body', async () => {
    // A variable set to undefined is left out of the environment. Input stays open: any read
    // would block.
    for (const len of [undefined, '', '0', '-5', 'abc', ' -1']) {
      assert.equal(await saveBody('nobody', { CONTENT_LENGTH: len }, 'val=5', { holdInput: true }), INVALID_SCORE, `length ${len}`);
    }
  });

  test('a body shorter than announced is used as delivered', async () => {
    assert.equal(await saveBody('short', { CONTENT_LENGTH: '500' }, 'val=55'), scoresReply([55]));
  });

  test('input beyond the announced length stays unread', async () => {
    assert.equal(await saveBody('exact', { CONTENT_LENGTH: '6' }, 'val=12345', { holdInput: true }), scoresReply([12]));
  });

  test('lengths above 2047, even beyond 32 bits, read exactly 2047 bytes', async () => {
    // The value's last digits sit at bytes 2046-2049: only "12" of it is read.
    const input = 'x'.repeat(2041) + 'val=123456';
    for (const len of ['2048', '99999999999999999999']) {
      const body = await saveBody('long' + len.length, { CONTENT_LENGTH: len }, input + 'tail', { holdInput: true });
      assert.equal(body, scoresReply([12]), len);
    }
  });

  test('a body whose first byte is NUL counts as empty', async () => {
    const env = { QUERY_STRING: 'action=save_score&score=7', CONTENT_LENGTH: '6' };
    assert.equal(await saveBody('nul', env, Buffer.from('\0val=9')), scoresReply([7]));
  });

  test('bytes pass unchanged: CR, LF and 0x1A do not end or alter the body', async () => {
    // Text-mode input would stop at 0x1A, or shrink each CR LF and so shift the cut.
    assert.equal(await saveBody('binary', { CONTENT_LENGTH: '14' }, Buffer.from('\x1a=\r\n\r\n&val=1234')), scoresReply([123]));
  });
});

describe('score text precedence', () => {
  // The requests whose score text the unit tests pick; here they are saved.
  for (const [query, body, , saved] of readCases('score_texts.tsv')) {
    test(`query "${query}" with body "${body}"`, async () => {
      const env = { QUERY_STRING: `action=save_score&${query}`, CONTENT_LENGTH: String(body.length) };
      const reply = await saveBody('prec', env, Buffer.from(body, 'latin1'));
      assert.equal(reply, saved === 'invalid' ? INVALID_SCORE : scoresReply([Number(saved)]));
    });
  }
});

describe('hostile input', () => {
  test('NUL bytes end texts: in the body and decoded from the query', async () => {
    const env = { ...scoreFile('nulmid').env, QUERY_STRING: 'action=save_score', CONTENT_LENGTH: '12' };
    assert.equal(await json(env, { input: Buffer.from('val=5\0val=77') }), scoresReply([5]));
    assert.equal(await json({ ...env, QUERY_STRING: 'action=save_score&val=6%0099' }), scoresReply([6, 5]));
    assert.equal(await json({ ...env, QUERY_STRING: 'action=scores%00x' }), scoresReply([6, 5]));
  });

  test('cut and invalid escapes, huge fields and every byte value are handled', async () => {
    const { env } = scoreFile('escapes');
    const everyByte = Array.from({ length: 255 }, (_, i) => '%' + (i + 1).toString(16).padStart(2, '0')).join('');
    for (const q of ['action=%', 'action=%4', 'action=%%%', 'action=' + 'x'.repeat(100000), 'val=' + everyByte, '&&&=&=', '=']) {
      const r = await run({ env: { ...env, QUERY_STRING: q } });
      assert.equal(r.status, 0, q.slice(0, 40));
      assert.ok(r.text.startsWith('Content-Type: '), q.slice(0, 40));
    }
  });
});
