// Saves killed at random moments: the score file is always the old table or the new one,
// whole, and the next save is never blocked by a lock the killed run held.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import fs from 'node:fs';
import { sleep } from '../../host/processes.mjs';
import { seededRandom } from '../lib/page_script.mjs';
import { launch, save, scoreFile, startTarget, stopTarget, WINE } from './harness.mjs';
import { scoresReply } from '../values.mjs';

before(startTarget);
after(stopTarget);

const KILLS = WINE ? 100 : 300;
const WRITTEN_FORM = /^\{"scores":\[\d+(,\d+)*\]\}\n$/;

const insert = (list, v) => [...list, v].sort((a, b) => b - a).slice(0, 10);

test(`${KILLS} saves killed at random moments never leave a broken or stale store`, async () => {
  const { file, env } = scoreFile('kills');
  // Seeded, so that a failure can be replayed.
  const next = seededRandom(20261209);
  await save(env, 1);
  let table = [1];
  let landed = 0;
  for (let i = 0; i < KILLS; i++) {
    const value = 2 + i;
    const child = launch({ env: { ...env, QUERY_STRING: `action=save_score&val=${value}` }, stdio: 'ignore' });
    const closed = once(child, 'close');
    const delayMs = next() * (WINE ? 150 : 4);
    await sleep(delayMs);
    child.kill('SIGKILL');
    await closed;

    const content = fs.readFileSync(file, 'latin1');
    assert.match(content, WRITTEN_FORM, `after kill ${i}`);
    const before = `{"scores":[${table.join(',')}]}\n`;
    const afterSave = insert(table, value);
    const after = `{"scores":[${afterSave.join(',')}]}\n`;
    assert.ok(content === before || content === after, `after kill ${i}: ${JSON.stringify(content)}`);
    if (content === after) {
      table = afterSave;
      landed++;
    }
    // Every tenth round, a save that is left alone must go through at once.
    if (i % 10 === 9) {
      const v = 100000 + i;
      assert.equal(await save(env, v), scoresReply(insert(table, v)));
      table = insert(table, v);
    }
  }
  // The kills are meant to land at every stage: some before the save, some after it.
  assert.ok(landed < KILLS, 'some kills must come before the rename');
});
