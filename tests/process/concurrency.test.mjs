// Many runs at once on one store: no score is lost and no reader sees a partial file.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { save, scoreFile, scores, startTarget, stopTarget } from './harness.mjs';
import { scoresReply } from '../values.mjs';

before(startTarget);
after(stopTarget);

const SAVES = 60;
const READERS = 30;
// The list of a scores reply; the whole reply is then compared with the one for that list.
const SCORES_LIST = /"scores":\[([\d,]*)\]\}\n$/;

test(`${SAVES} simultaneous saves keep exactly the top ten; readers always see a whole table`, async () => {
  const { file, env } = scoreFile('concurrent');
  // Distinct values in an order unrelated to their size.
  const values = Array.from({ length: SAVES }, (_, i) => ((i * 37) % SAVES) * 10 + 5);
  const saves = values.map((v) => save(env, v));
  const reads = Array.from({ length: READERS }, () => scores(env));
  const [saved, read] = await Promise.all([Promise.all(saves), Promise.all(reads)]);

  for (const body of [...saved, ...read]) {
    const m = SCORES_LIST.exec(body);
    assert.ok(m, `not a whole scores reply: ${JSON.stringify(body)}`);
    const list = m[1] ? m[1].split(',').map(Number) : [];
    assert.equal(body, scoresReply(list), 'a whole scores reply, its high score the first entry');
    assert.ok(list.length <= 10);
    assert.deepEqual(list, [...list].sort((a, b) => b - a), 'entries stay in descending order');
    assert.ok(list.every((v) => values.includes(v)), 'only sent values appear');
  }
  const top = [...values].sort((a, b) => b - a).slice(0, 10);
  assert.equal(fs.readFileSync(file, 'latin1'), `{"scores":[${top.join(',')}]}\n`);
});
