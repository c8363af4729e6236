// Rules of play, driven through the keyboard with chosen bag orders and
// frames handed out by the test; observed through the HUD, the dialog, the
// requests and what the 3D view draws.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as H from './harness.mjs';
import { Game, SHAPE, SHAPES, spawnPos, cellsOf, rotated, bestPlacement, shadeHex, topOut } from './model.mjs';
import { unwritable } from '../values.mjs';

let server, page;
H.useBrowser((s) => ({ server, page } = s), { fresh: 'page' });

test('every shape enters at its spawn place, and a hard drop on the empty well earns 2 points a row', H.LIMIT, async () => {
  for (const s of SHAPES) {
    const order = s.k + SHAPES.map((t) => t.k).filter((k) => k !== s.k).join('');
    await H.setBags(page, [order]);
    await page.evaluate(() => document.getElementById('btnRestart').click());
    const { x, y } = spawnPos(s.b);
    const sc = await H.scene(page);
    assert.equal(H.cellText(sc.filled), H.cellText(cellsOf(s.b, x, y, s.k)), `${s.k} enters at ${x},${y}`);
    assert.equal(H.cellText(sc.ghosts), H.cellText(cellsOf(s.b, x, 0, s.k)), `${s.k} ghost on the floor`);
    await H.keys(page, [' ']);
    assert.equal((await H.hud(page)).score, String(2 * y), `hard drop of the ${s.k}`);
  }
});

test('turns: the I turns at the top without a shift, kicks off the right wall by -1 and -2, never by -3', H.LIMIT, async () => {
  await H.play(page, ['ITOJLSZ']);
  const I = SHAPE.I;
  const standing = rotated(I.b, 1);
  const at = async (b, x, y, why) => assert.equal(H.cellText((await H.scene(page)).filled), H.cellText(cellsOf(b, x, y, 'I')), why);

  await H.keys(page, ['w']);
  await at(standing, 3, 19, 'turned at the top, three cells above the well');
  await H.keys(page, ['a', 'a', 'a', 'a']);
  await at(standing, 0, 19, 'against the left wall');
  await H.keys(page, ['w']);
  await at(I.b, 0, 19, 'column 0 turns flat without a shift');
  await H.keys(page, ['w', 'd', 'd', 'd', 'd', 'd', 'd', 'd', 'w']);
  await at(I.b, 6, 19, 'column 7 needs the shift -1');
  await H.keys(page, ['w', 'd', 'd', 'w']);
  await at(I.b, 6, 19, 'column 8 needs the shift -2');
  await H.keys(page, ['w', 'd', 'd', 'd', 'd', 'w', 'z']);
  await at(standing, 9, 19, 'column 9 cannot turn either way');

  // The T in both directions, and the O that turns into itself.
  await H.keys(page, [' ']);
  const T = SHAPE.T;
  await H.keys(page, ['w']);
  assert.equal(H.cellText((await H.scene(page)).filled.filter((c) => c[2] === 'T')), H.cellText(cellsOf(rotated(T.b, 1), 3, 18, 'T')));
  await H.keys(page, ['z', 'z']);
  assert.equal(H.cellText((await H.scene(page)).filled.filter((c) => c[2] === 'T')), H.cellText(cellsOf(rotated(T.b, -1), 3, 18, 'T')));
  await H.keys(page, [' ', 'w', 'x', 'z']);
  assert.equal(H.cellText((await H.scene(page)).filled.filter((c) => c[2] === 'O')), H.cellText(cellsOf(SHAPE.O.b, 4, 18, 'O')));
});

test('kicks against locked cells try -1 before +1', H.LIMIT, async () => {
  await H.play(page, ['IJTLOSZ'], ['Enter', 'w', ' ', 'a', ...Array(15).fill('s')]);
  const standingI = cellsOf(rotated(SHAPE.I.b, 1), 3, 0, 'I');
  assert.equal(H.cellText((await H.scene(page)).filled), H.cellText([...standingI, ...cellsOf(SHAPE.J.b, 2, 3, 'J')]));
  await H.keys(page, ['z']);
  assert.equal(H.cellText((await H.scene(page)).filled), H.cellText([...standingI, ...cellsOf(rotated(SHAPE.J.b, -1), 1, 3, 'J')]),
    'both shifts fit; -1 comes first');
});

test('soft drop earns a point a row; a resting piece locks at the next soft drop without a point', H.LIMIT, async () => {
  await H.play(page, ['TOIJLSZ'], ['Enter', ...Array(17).fill('s')]);
  let sc = await H.scene(page);
  assert.equal((await H.hud(page)).score, '17');
  assert.equal(H.cellText(sc.ghosts), H.cellText(cellsOf(SHAPE.T.b, 3, 0, 'T')), 'one row up: ghost on the floor');
  await H.keys(page, ['s']);
  sc = await H.scene(page);
  assert.equal((await H.hud(page)).score, '18');
  assert.equal(H.cellText(sc.filled), H.cellText(cellsOf(SHAPE.T.b, 3, 0, 'T')), 'resting on the floor');
  assert.equal(sc.ghosts.length, 0, 'no ghost under a resting piece');
  await H.keys(page, ['s']);
  sc = await H.scene(page);
  assert.equal((await H.hud(page)).score, '18', 'the locking soft drop earns nothing');
  assert.equal(H.cellText(sc.filled), H.cellText([...cellsOf(SHAPE.T.b, 3, 0, 'T'), ...cellsOf(SHAPE.O.b, 4, 18, 'O')]));
});

test('gravity: one row every 800 ms of frames, frame time capped at 120 ms, interval restarted by a soft drop, clock by a visibility change', H.LIMIT, async () => {
  const score = async () => (await H.hud(page)).score;
  // The score after n more frames `ms` apart.
  const scoreAfter = async (n, ms) => {
    await H.frames(page, n, ms);
    return score();
  };
  assert.equal(await scoreAfter(30, 100), '0', 'no gravity before the first game');
  await H.play(page, ['LOIJTSZ']);
  assert.equal(await scoreAfter(7, 100), '0', '700 ms');
  assert.equal(await scoreAfter(1, 100), '1', '800 ms: one row, one point');
  assert.equal(H.cellText((await H.scene(page)).filled), H.cellText(cellsOf(SHAPE.L.b, 3, 17, 'L')));

  await H.frames(page, 1, 5000);
  assert.equal(await scoreAfter(6, 100), '1', 'a 5 s frame counts 120 ms');
  assert.equal(await scoreAfter(1, 100), '2');

  await H.frames(page, 7, 100);
  await H.keys(page, ['s']);
  assert.equal(await score(), '3');
  assert.equal(await scoreAfter(7, 100), '3', 'the soft drop restarted the interval');
  assert.equal(await scoreAfter(1, 100), '4');

  await H.frames(page, 7, 100);
  await page.evaluate(() => document.dispatchEvent(new Event('visibilitychange')));
  assert.equal(await scoreAfter(1, 100), '4', 'first frame after a visibility change counts nothing');
  assert.equal(await scoreAfter(1, 99), '4');
  assert.equal(await scoreAfter(1, 1), '5');

  await H.keys(page, ['p']);
  assert.equal(await scoreAfter(20, 100), '5', 'no gravity while paused');
  await H.keys(page, ['p']);
  assert.equal(await scoreAfter(8, 100), '6');

  // A new game keeps the time gathered so far.
  await H.frames(page, 5, 100);
  await H.setBags(page, ['OLIJTSZ']);
  await page.evaluate(() => document.getElementById('btnRestart').click());
  assert.equal(await scoreAfter(2, 100), '0');
  assert.equal(await scoreAfter(1, 100), '1', 'the first step of the new game comes 300 ms after the restart');
});

test('a game of line clears: each clear scores by the level before it, the level follows the lines and sets the gravity period', H.LIMIT, async () => {
  const bags = ['OSZTJIL', 'SOITJZL', 'TIJSLZO', 'OSLIJTZ', 'TIOSJZL', 'OJSTIZL', 'STLJOIZ', 'TIJZSLO', 'TZLJOIS', 'ZITSJLO'];
  let game = new Game(bags.join(''));
  const plan = [];
  const expected = [];
  const clears = [];
  while (!(game.level === 2 && clears.some((c) => c.level === 2)) && plan.length < 70) {
    const before = game;
    const p = bestPlacement(game);
    game = p.game;
    plan.push(p.keys);
    expected.push(game.hud());
    if (game.lines > before.lines) clears.push({ n: game.lines - before.lines, from: before.lines, level: before.level });
  }
  // The plan is fixed by the bags; it holds clears of 1 to 4 rows, a clear of
  // four rows after 8 lines and a clear at level 2.
  assert.deepEqual(new Set(clears.map((c) => c.n)), new Set([1, 2, 3, 4]));
  assert.ok(clears.some((c) => c.n === 4 && c.from === 8 && c.level === 1));
  assert.equal(game.level, 2);

  await H.play(page, bags);
  const seen = JSON.parse(await page.evaluate((pl) => JSON.stringify(pl.map((ks) => {
    window.__keys(ks);
    return {
      score: document.getElementById('vScore').textContent,
      lines: document.getElementById('vLines').textContent,
    };
  })), plan));
  for (let i = 0; i < plan.length; i++) {
    assert.deepEqual(seen[i], expected[i], `HUD after piece ${i + 1} (${plan[i].join('')})`);
  }
  await H.sameAs(page, game, 'after the game');

  // Level 2: gravity every 738 ms.
  const score = Number((await H.hud(page)).score);
  await H.keys(page, ['s']);
  await H.frames(page, 1, 0);
  await H.frames(page, 7, 100);
  await H.frames(page, 1, 37);
  assert.equal((await H.hud(page)).score, String(score + 1), '737 ms');
  await H.frames(page, 1, 1);
  assert.equal((await H.hud(page)).score, String(score + 2), '738 ms');
});

test('hold: once per piece, the first hold takes the next piece, a held piece keeps its orientation', H.LIMIT, async () => {
  await H.play(page, ['ITOJLSZ']);
  const I = SHAPE.I;
  await H.keys(page, ['w']);
  let recs = await H.recordDuring(page, 'window.__keys(["c"])');
  const bodies = (id, c) => recs.filter((r) => r.id === id && r.k === 'r' && r.s === shadeHex(c, 0.95));
  const held = bodies('cvHold', I.c);
  assert.equal(held.length, 4, 'the I in the hold preview');
  assert.equal(new Set(held.map((r) => r.r[0])).size, 1, 'standing: one column');
  assert.equal(new Set(held.map((r) => r.r[1])).size, 4, 'standing: four rows');
  const next = recs.filter((r) => r.id === 'cvNext' && r.k === 'r' && SHAPES.some((t) => r.s === shadeHex(t.c, 0.95)));
  assert.ok(next.length > 0 && next.every((r) => r.s === shadeHex(SHAPE.O.c, 0.95)), 'next preview shows the O');
  let sc = await H.scene(page);
  assert.equal(H.cellText(sc.filled), H.cellText(cellsOf(SHAPE.T.b, 3, 18, 'T')), 'the T came from the queue');

  await H.keys(page, ['c', 'a']);
  sc = await H.scene(page);
  assert.equal(H.cellText(sc.filled), H.cellText(cellsOf(SHAPE.T.b, 2, 18, 'T')), 'a second hold is ignored');

  await H.keys(page, [' ']);
  recs = await H.recordDuring(page, 'window.__keys(["c"])');
  assert.equal(bodies('cvHold', SHAPE.O.c).length, 4, 'the O is held now');
  sc = await H.scene(page);
  const tLocked = cellsOf(SHAPE.T.b, 2, 0, 'T');
  assert.equal(H.cellText(sc.filled), H.cellText([...tLocked, ...cellsOf(rotated(I.b, 1), 4, 16, 'I')]), 'the I comes back standing at 4,16');

  await H.keys(page, [' ']);
  sc = await H.scene(page);
  assert.equal(H.cellText(sc.filled.filter((c) => c[1] >= 18)), H.cellText(cellsOf(SHAPE.J.b, 3, 18, 'J')), 'then the J, the queue untouched by the return');
});

test('game over: the dialog, one save request above the best, and nothing sent for a score equal to the best', H.LIMIT, async () => {
  const bags = ['IJLOSTZ', 'ZTSOLJI', 'OIJLSTZ'];
  const end = topOut(bags);
  server.reply = (r) => (r.query.get('action') === 'save_score'
    ? { body: unwritable(end.score + 1000) }
    : { body: H.SCORES_EMPTY });

  await H.play(page, bags, ['Enter', ...Array(end.presses - 1).fill(' ')]);
  assert.equal((await H.dialog(page)).on, false, 'still playing one piece before the end');
  const recs = await H.recordDuring(page, 'window.__keys([" "])');
  assert.ok(recs.some((r) => r.id === 'cvNext' && r.k === 'r'), 'the spawn that ended the game redrew the previews');
  assert.deepEqual(await H.dialog(page), {
    on: true, title: 'GAME OVER', sub: `Score ${end.score} - ${end.lines} lines. Best ${end.score}.`, btn: 'Play Again',
  });
  await H.waitFor(page, () => window.__settled >= 2);
  const saves = server.requests.filter((r) => r.query.get('action') === 'save_score');
  assert.deepEqual(saves.map((r) => r.url), [`/plugin_pentra_3d?action=save_score&val=${end.score}`]);
  assert.equal((await H.hud(page)).best, String(end.score + 1000), 'the reply raises the best score');
  const sc = await H.scene(page);
  assert.ok(sc.filled.length > 0 && sc.ghosts.length === 0 && !sc.filled.some((c) => c[1] >= 20), 'the final board stays, with no piece');

  // The same game again ends below the best: nothing is sent.
  await H.setBags(page, bags);
  await H.clickAndBlur(page, 'mBtn');
  assert.equal((await H.dialog(page)).on, false);
  assert.equal((await H.hud(page)).score, '0');
  await H.keys(page, Array(end.presses).fill(' '));
  assert.equal((await H.dialog(page)).sub, `Score ${end.score} - ${end.lines} lines. Best ${end.score + 1000}.`);
  assert.equal(server.requests.length, 2);
});

test('game over: a save reply below the score keeps the score as best; an equal score later sends nothing', H.LIMIT, async () => {
  const bags = ['OJLISTZ', 'TZSOLJI', 'OIJLSTZ'];
  const end = topOut(bags);
  server.reply = (r) => (r.query.get('action') === 'save_score' ? H.scoresReply(7, [7]) : { body: H.SCORES_EMPTY });
  await H.play(page, bags, ['Enter', ...Array(end.presses).fill(' ')]);
  await H.waitFor(page, () => window.__settled >= 2);
  assert.equal((await H.hud(page)).best, String(end.score));
  assert.equal(server.requests.filter((r) => r.query.get('action') === 'save_score').length, 1);

  await H.setBags(page, bags);
  await page.evaluate(() => document.getElementById('btnRestart').click());
  await H.keys(page, Array(end.presses).fill(' '));
  const d = await H.dialog(page);
  assert.equal(d.title, 'GAME OVER');
  assert.equal(d.sub, `Score ${end.score} - ${end.lines} lines. Best ${end.score}.`);
  assert.equal(server.requests.length, 2, 'boot and one save only');
});

test('restart during a game: empty well, zero score, empty hold, fresh bag, best kept', H.LIMIT, async () => {
  server.reply = () => H.scoresReply(900);
  await H.load(page, server);
  assert.equal((await H.hud(page)).best, '900');
  await H.play(page, ['SZIOJLT'], ['Enter', ' ', 'c', ' ', 's']);
  assert.notEqual((await H.hud(page)).score, '0');
  const calls = await page.evaluate(() => window.__randCalls);
  await H.setBags(page, ['JSZIOLT']);
  const recs = await H.recordDuring(page, 'document.getElementById("btnRestart").click()');
  assert.equal(await page.evaluate(() => window.__randCalls), calls + 6, 'one new bag');
  assert.deepEqual(await H.hud(page), { score: '0', best: '900', lines: '0 / 1' });
  assert.equal(recs.filter((r) => r.id === 'cvHold' && r.k === 'r').length, 0, 'hold preview emptied');
  assert.ok(recs.some((r) => r.id === 'cvHold' && r.k === 'c'), 'hold preview cleared');
  const sc = await H.scene(page);
  assert.equal(H.cellText(sc.filled), H.cellText(cellsOf(SHAPE.J.b, 3, 18, 'J')));
  assert.equal((await H.dialog(page)).on, false);
});
