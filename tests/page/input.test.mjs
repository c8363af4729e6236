// Input: the key table, the pad buttons, the dialog button, pause, the
// pointer gestures on the 3D view (mouse and touch), held moves and game pads.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as H from './harness.mjs';
import { Game, cellsOf, spawnPos } from './model.mjs';

let server, browser, page;
H.useBrowser((s) => ({ server, browser, page } = s), { fresh: 'page' });

const act = {
  left: (g) => g.move(-1),
  right: (g) => g.move(1),
  down: (g) => g.softDrop(),
  cw: (g) => g.rotate(1),
  ccw: (g) => g.rotate(-1),
  drop: (g) => g.hardDrop(),
  none: () => {},
};

// Gives each input of `steps` ([input, action]) to the page with `give(input,
// action)` and its action to the model's game `g`; checks after each that both agree.
async function replay(g, steps, give, why) {
  for (const [input, what] of steps) {
    await give(input, what);
    act[what](g);
    await H.sameAs(page, g, `${why} ${JSON.stringify(input)}`);
  }
}

// On a paused game: P resumes, Escape pauses, Escape resumes.
async function pauseKeys(press) {
  await press('P');
  assert.equal((await H.dialog(page)).on, false, 'P resumes');
  await press('Escape');
  assert.equal((await H.dialog(page)).title, 'PAUSED', 'Escape pauses');
  await press('Escape');
  assert.equal((await H.dialog(page)).on, false, 'Escape resumes');
}

test('the key table: each key acts, letter case counts, table keys are always prevented and others never', H.LIMIT, async () => {
  // Before the first game every table key is prevented, and only Enter acts.
  const before = await H.keys(page, ['ArrowLeft', ' ', 'p', 'Escape', 'c', 'z', 'q', 'Tab']);
  assert.deepEqual(before, [false, false, false, false, false, false, true, true]);
  assert.equal((await H.dialog(page)).title, 'READY');
  assert.equal((await H.dialog(page)).on, true);

  const bags = ['TIOJLSZ', 'SZJLOIT'];
  assert.deepEqual(await H.play(page, bags), [false]);
  assert.equal((await H.dialog(page)).on, false, 'Enter starts the first game');
  const g = new Game(bags.join(''));
  const table = [
    ['ArrowLeft', 'left'], ['a', 'left'], ['A', 'left'],
    ['ArrowRight', 'right'], ['d', 'right'], ['D', 'right'], ['D', 'right'],
    ['ArrowUp', 'cw'], ['w', 'cw'], ['W', 'cw'], ['x', 'cw'], ['X', 'cw'],
    ['z', 'ccw'], ['Z', 'ccw'], ['z', 'ccw'],
    ['ArrowDown', 'down'], ['s', 'down'], ['S', 'down'],
    ['Enter', 'none'], ['q', 'none'], ['Q', 'none'], ['Left', 'none'], ['arrowleft', 'none'], ['Shift', 'none'], ['Spacebar', 'none'],
    [' ', 'drop'],
  ];
  await replay(g, table, async (key, what) => {
    const [notPrevented] = await H.keys(page, [key]);
    assert.equal(notPrevented, what === 'none', `${JSON.stringify(key)}: default ${what === 'none' ? 'kept' : 'prevented'}`);
  }, 'after');

  // Hold with c, then C on the next piece.
  await H.keys(page, ['c']);
  let sc = await H.scene(page);
  assert.equal(H.cellText(sc.filled.filter((c) => c[1] >= 17)), H.cellText(cellsOf([[1, 1], [1, 1]], 4, 18, 'O')), 'c held the I, the O came');
  await H.keys(page, [' ', 'C']);
  sc = await H.scene(page);
  assert.ok(sc.filled.some((c) => c[2] === 'I' && c[1] >= 16), 'C brought the I back');

  // Pause keys.
  assert.deepEqual(await H.keys(page, ['p']), [false]);
  const score = (await H.hud(page)).score;
  assert.deepEqual(await H.dialog(page), { on: true, title: 'PAUSED', sub: `Score ${score} - 0 lines.`, btn: 'Resume' });
  const frozen = H.cellText((await H.scene(page)).filled);
  assert.deepEqual(await H.keys(page, ['ArrowLeft', 'w', 's', ' ', 'c', 'Enter']), [false, false, false, false, false, true]);
  await page.evaluate(() => ['bLeft', 'bRot', 'bDown', 'bDrop', 'bHold'].forEach((id) => document.getElementById(id).click()));
  assert.equal(H.cellText((await H.scene(page)).filled), frozen, 'nothing moves while paused');
  assert.equal((await H.hud(page)).score, score);
  await pauseKeys((key) => H.keys(page, [key]));
});

test('real key presses: a seeded game on the hub form with a password, through the key table, hold, pause and resume, hard drops to GAME OVER, then the save', H.LIMIT, async () => {
  await H.loadFresh(page, server, '/plugins?plugin=plugin_pentra_3d&node=west&pwd=k%20y');
  const bags = ['TIOJLSZ', 'SZJLOIT', 'IJLOSTZ', 'ZTSOLJI'];
  await H.setBags(page, bags);
  const press = async (...list) => {
    for (const k of list) await page.keyboard.press(k);
  };
  await press('Enter');
  assert.equal((await H.dialog(page)).on, false, 'Enter starts the game');
  const g = new Game(bags.join(''));
  const table = [
    ['ArrowLeft', 'left'], ['a', 'left'], ['A', 'left'], ['ArrowRight', 'right'], ['d', 'right'], ['D', 'right'],
    ['ArrowUp', 'cw'], ['w', 'cw'], ['W', 'cw'], ['x', 'cw'], ['X', 'cw'], ['z', 'ccw'], ['Z', 'ccw'],
    ['ArrowDown', 'down'], ['s', 'down'], ['S', 'down'], ['q', 'none'], ['Enter', 'none'],
  ];
  await replay(g, table, (key) => press(key), 'after');
  // c holds the T (turned as it is) and brings the next piece; after a drop,
  // C swaps the T back in at the top.
  await press('c');
  let held = g.piece;
  g.spawn();
  await H.sameAs(page, g, 'after c');
  await press(' ');
  g.hardDrop();
  await press('C');
  [held, g.piece] = [g.piece, { ...held, ...spawnPos(held.b) }];
  await H.sameAs(page, g, 'after C');
  assert.equal(held.k, 'O', 'the O went into the hold');

  await press('p');
  assert.deepEqual(await H.dialog(page), { on: true, title: 'PAUSED', sub: `Score ${g.score} - 0 lines.`, btn: 'Resume' });
  await press('ArrowLeft', ' ', 'c', 'Enter');
  await H.sameAs(page, g, 'keys while paused');
  await pauseKeys(press);

  for (let i = 0; i < 40 && !g.over; i++) {
    await press(' ');
    g.hardDrop();
  }
  assert.ok(g.over);
  assert.deepEqual(await H.dialog(page), { on: true, title: 'GAME OVER', sub: `Score ${g.score} - ${g.lines} lines. Best ${g.score}.`, btn: 'Play Again' });
  await H.waitFor(page, () => window.__settled >= 2);
  const form = '&node=west&pwd=k%20y';
  assert.deepEqual(server.requests.map((r) => [r.method, r.url, r.headers['x-bot-password']]), [
    ['GET', `/plugins?plugin=plugin_pentra_3d&action=scores${form}`, 'k y'],
    ['GET', `/plugins?plugin=plugin_pentra_3d&action=save_score&val=${g.score}${form}`, 'k y'],
  ]);
});

test('after a game has ended, Enter and the pause keys do nothing; Play Again starts the next game', H.LIMIT, async () => {
  const bags = ['IJLOSTZ', 'ZTSOLJI', 'OIJLSTZ'];
  await H.play(page, bags);
  for (let i = 0; i < 40 && !(await H.dialog(page)).on; i++) await H.keys(page, [' ']);
  const over = await H.dialog(page);
  assert.equal(over.title, 'GAME OVER');
  assert.deepEqual(await H.keys(page, ['Enter', 'p', 'Escape']), [true, false, false]);
  assert.deepEqual(await H.dialog(page), over);
  await page.evaluate(() => document.getElementById('bPause').click());
  assert.deepEqual(await H.dialog(page), over);
  await H.setBags(page, ['LJIOSTZ']);
  await H.clickAndBlur(page, 'mBtn');
  assert.equal((await H.dialog(page)).on, false);
  assert.deepEqual(await H.hud(page), { score: '0', best: over.sub.match(/Best (\d+)/)[1], lines: '0 / 1' });
});

test('pad buttons act on the piece; Pause and the dialog button pause and resume; Restart while paused starts afresh', H.LIMIT, async () => {
  const ids = ['bLeft', 'bRot', 'bRight', 'bDown', 'bDrop', 'bHold', 'bPause', 'btnRestart'];
  const prevented = await page.evaluate((l) => l.map((id) => !document.getElementById(id).dispatchEvent(new MouseEvent('click', { cancelable: true }))), ids);
  assert.deepEqual(prevented, ids.map(() => true), 'clicks have their default prevented');
  // Those clicks came before the first game, apart from Restart, which started one.
  assert.equal((await H.dialog(page)).on, false);

  const bags = ['JTIZOLS', 'IOSZJLT'];
  await H.setBags(page, bags);
  await page.click('#btnRestart');
  const g = new Game(bags.join(''));
  const click = (id) => H.clickAndBlur(page, id);
  await replay(g, [['bLeft', 'left'], ['bRot', 'cw'], ['bRight', 'right'], ['bRight', 'right'], ['bDown', 'down'], ['bDrop', 'drop']], click, 'after');
  await click('bHold');
  let sc = await H.scene(page);
  assert.equal(H.cellText(sc.filled.filter((c) => c[1] >= 16)), H.cellText(cellsOf([[1, 1, 1, 1]], 3, 19, 'I')), 'Hold swapped the T for the I');

  await click('bPause');
  assert.equal((await H.dialog(page)).title, 'PAUSED');
  await click('mBtn');
  assert.equal((await H.dialog(page)).on, false, 'Resume');
  await click('bLeft');
  sc = await H.scene(page);
  assert.equal(H.cellText(sc.filled.filter((c) => c[1] >= 16)), H.cellText(cellsOf([[1, 1, 1, 1]], 2, 19, 'I')), 'playing again after Resume');
  await click('bPause');
  await click('bPause');
  assert.equal((await H.dialog(page)).on, false, 'Pause toggles');

  await click('bPause');
  await H.setBags(page, ['OTZIJLS']);
  await click('btnRestart');
  assert.equal((await H.dialog(page)).on, false, 'Restart hides the paused dialog');
  assert.deepEqual(await H.hud(page), { score: '0', best: '0', lines: '0 / 1' });
  sc = await H.scene(page);
  assert.equal(H.cellText(sc.filled), H.cellText(cellsOf([[1, 1], [1, 1]], 4, 18, 'O')));
  await click('bLeft');
  assert.equal(H.cellText((await H.scene(page)).filled), H.cellText(cellsOf([[1, 1], [1, 1]], 3, 18, 'O')), 'the fresh game runs');
});

test('the frame loop sleeps with a dialog up and in a hidden tab; keys, buttons, resize, the theme and visibility wake it', H.LIMIT, async () => {
  // Frames requested after n more frames (0: asleep).
  const after = (n) => H.frames(page, n, 16);
  const blurred = (id) => H.clickAndBlur(page, id);
  const hidden = (h) => page.evaluate((v) => {
    if (v) Object.defineProperty(document, 'hidden', { value: true, configurable: true });
    else delete document.hidden;
    document.dispatchEvent(new Event('visibilitychange'));
  }, h);
  assert.equal(await after(3), 0, 'READY');
  await blurred('btnTheme');
  assert.equal(await after(0), 1, 'the theme button wakes it');
  assert.equal(await after(3), 0, 'and it sleeps again');
  const height = await page.evaluate(() => document.getElementById('cv').style.height);
  await page.setViewportSize({ width: 700, height: 560 });
  await H.waitFor(page, (h) => document.getElementById('cv').style.height !== h, height);
  assert.equal(await after(0), 1, 'a resize wakes it');
  assert.equal(await after(3), 0);
  await page.keyboard.press('Enter');
  assert.equal(await after(5), 1, 'a running game keeps it awake');
  await page.keyboard.press('p');
  assert.equal(await after(3), 0, 'PAUSED');
  await blurred('bPause');
  assert.equal(await after(3), 1, 'the pad resumes and wakes it');
  await page.keyboard.press('Escape');
  assert.equal(await after(3), 0);
  await blurred('mBtn');
  assert.equal(await after(3), 1, 'the dialog button resumes and wakes it');
  await hidden(true);
  assert.equal(await after(3), 0, 'a hidden tab');
  await hidden(false);
  assert.equal(await after(3), 1, 'shown again');
  for (let i = 0; i < 40 && !(await H.dialog(page)).on; i++) await H.keys(page, [' ']);
  assert.equal((await H.dialog(page)).title, 'GAME OVER');
  assert.equal(await after(3), 0, 'GAME OVER');
  await blurred('btnRestart');
  assert.equal(await after(0), 1, 'Restart wakes it');
  await page.setViewportSize({ width: 800, height: 600 });
});

test('mouse gestures on the well: thresholds of 28, 34 and 12 pixels, one gesture per press', H.LIMIT, async () => {
  const bags = ['TIOJLSZ'];
  await H.play(page, bags, ['Enter', 's', 's']);
  const g = new Game(bags.join(''));
  g.softDrop();
  g.softDrop();
  const box = await page.locator('#cv').boundingBox();
  const x0 = box.x + box.width / 2;
  const y0 = box.y + box.height / 2;
  const swipe = async ([dx, dy]) => {
    await page.mouse.move(x0, y0);
    await page.mouse.down();
    await page.mouse.move(x0 + dx, y0 + dy);
    await page.mouse.up();
  };
  await replay(g, [
    [[28, 0], 'none'], [[29, 0], 'right'], [[-29, 0], 'left'], [[-28, 0], 'none'], [[30, 29], 'right'],
    [[0, 34], 'none'], [[0, 35], 'down'], [[20, 60], 'down'], [[0, -80], 'none'],
    [[11, 11], 'cw'], [[-11, -11], 'cw'], [[0, 0], 'cw'], [[12, 0], 'none'], [[0, -12], 'none'], [[12, 12], 'none'], [[40, 40], 'none'],
  ], swipe, 'swipe');
  // A press that began outside the canvas: its release on the canvas is ignored.
  const side = await page.locator('#side').boundingBox();
  await page.mouse.move(side.x + 5, side.y + side.height - 5);
  await page.mouse.down();
  await page.mouse.move(x0, y0);
  await page.mouse.up();
  await H.sameAs(page, g, 'release without a press on the canvas');
  // A click on the well turns the piece like a tap.
  await page.mouse.click(x0 - 40, y0 + 40);
  act.cw(g);
  await H.sameAs(page, g, 'mouse click');
});

// Firefox and WebKit are driven without touch emulation: their taps and swipes
// are the mouse gestures above, which reach the page as the same pointer events.
test('touch: a tap turns the piece, a swipe moves it, a held button repeats until the finger leaves it',
  H.chromiumOnly('a touch screen is emulated through Playwright\'s hasTouch and swipes through the DevTools protocol'),
  () => H.inTab(browser, server, { hasTouch: true }, async (tp) => {
  const bags = ['LIOJTSZ'];
  await H.play(tp, bags);
  const g = new Game(bags.join(''));
  const box = await tp.locator('#cv').boundingBox();
  const x = box.x + box.width / 2;
  const y = box.y + box.height / 2;
  await tp.touchscreen.tap(x, y);
  g.rotate(1);
  await H.sameAs(tp, g, 'tap');
  const cdp = await tp.context().newCDPSession(tp);
  const touch = (type, pts) => cdp.send('Input.dispatchTouchEvent', { type, touchPoints: pts });
  await touch('touchStart', [{ x, y }]);
  for (let i = 1; i <= 4; i++) await touch('touchMove', [{ x: x - 12 * i, y: y + i }]);
  await touch('touchEnd', []);
  g.move(-1);
  await H.sameAs(tp, g, 'swipe left');
  await touch('touchStart', [{ x, y }]);
  for (let i = 1; i <= 4; i++) await touch('touchMove', [{ x: x + 2, y: y + 15 * i }]);
  await touch('touchEnd', []);
  g.softDrop();
  await H.sameAs(tp, g, 'swipe down');
  // A finger on Left: it acts, repeats at 170 ms, and stops once slid off.
  const left = await tp.locator('#bLeft').boundingBox();
  await touch('touchStart', [{ x: left.x + left.width / 2, y: left.y + left.height / 2 }]);
  await H.frames(tp, 20, 10);
  await touch('touchMove', [{ x: left.x + left.width / 2, y: left.y - 30 }]);
  await H.frames(tp, 20, 10);
  await touch('touchEnd', []);
  g.move(-1);
  g.move(-1);
  await H.sameAs(tp, g, 'Left held, then slid off');
}));

// The hold slot, which the model leaves out: once per piece, a swap with the
// held piece or the next one.
function hold(g) {
  if (g.holdUsed) return;
  const was = g.piece;
  if (g.held) g.piece = { ...g.held, ...spawnPos(g.held.b) };
  else g.spawn();
  g.held = was;
  g.holdUsed = true;
}

test('a game from a pad alone: the control table, one action per press, pause, the dialog buttons; no reads without a pad, no frames with its dialog up', H.LIMIT, async () => {
  const bags = ['TIOJLSZ', 'SZJLOIT', 'IJLOSTZ', 'ZTSOLJI'];
  await H.setBags(page, bags);
  await H.keys(page, ['ArrowLeft']);
  await H.frames(page, 3, 16);
  assert.equal(await H.padReads(page), 0, 'no reads before a pad connects');
  await H.padEvent(page, 'gamepadconnected');
  assert.equal(await H.frames(page, 3, 16), 0, 'READY with a pad: the loop sleeps');
  await H.padSet(page, [0]);
  assert.equal((await H.dialog(page)).on, false, 'A is the dialog\'s Start');
  await H.padSet(page, []);

  const g = new Game(bags.join(''));
  const pad = {
    ...act,
    hold,
    drop: (x) => {
      x.hardDrop();
      x.holdUsed = false;
    },
  };
  // [buttons down, axes, what the press does, mapping]; each is held over
  // five reads (no time passing) and acts once.
  const table = [
    [[14], [0, 0], 'left'], [[], [-0.9, 0], 'left'], [[15], [0, 0], 'right'], [[], [0.9, 0], 'right'],
    [[13], [0, 0], 'down'], [[], [0, 0.9], 'down'], [[0], [0, 0], 'cw'], [[1], [0, 0], 'ccw'],
    [[2], [0, 0], 'hold'], [[12], [0, 0], 'drop'], [[4], [0, 0], 'hold'], [[2, 5], [0, 0], 'none'], [[12], [0, 0], 'drop'], [[5], [0, 0], 'hold'],
    [[3, 6, 7, 8, 10, 11, 16], [0, 0], 'none'], [[], [-0.5, 0.5], 'none'], [[], [0, -1], 'none'], [[], [0, 0, -1, 1], 'none'],
    [[14], [0, 0], 'left', ''], [[0], [0, 0], 'cw', 'xinput'],
  ];
  for (const [buttons, axes, what, mapping] of table) {
    await H.padSet(page, buttons, axes, mapping);
    await H.frames(page, 4, 0);
    pad[what](g);
    await H.sameAs(page, g, `after ${JSON.stringify([buttons, axes, mapping])}`);
    await H.padSet(page, []);
  }

  // Start pauses; with the dialog up frames stop and a timer reads the pad.
  await H.padSet(page, [9]);
  assert.equal((await H.dialog(page)).title, 'PAUSED', 'Start pauses');
  assert.equal(await H.frames(page, 3, 16), 0, 'PAUSED with a pad: the loop sleeps');
  const n = await H.padReads(page);
  await H.waitFor(page, (k) => window.__padReads >= k + 3, n);
  assert.equal((await H.dialog(page)).title, 'PAUSED', 'a held Start pauses once');
  for (const [buttons, why] of [[[14, 13, 12, 1, 2], 'nothing moves while paused'], [[0], 'A resumes'], [[9], 'Start pauses again'], [[9], 'Start resumes']]) {
    await H.padSet(page, []);
    await H.padSet(page, buttons);
    assert.equal((await H.dialog(page)).on, !why.includes('resumes'), why);
    await H.sameAs(page, g, why);
  }
  await H.padSet(page, []);

  for (let i = 0; i < 40 && !g.over; i++) {
    await H.padSet(page, [12]);
    g.hardDrop();
    await H.padSet(page, []);
  }
  assert.ok(g.over);
  assert.deepEqual(await H.dialog(page), { on: true, title: 'GAME OVER', sub: `Score ${g.score} - ${g.lines} lines. Best ${g.score}.`, btn: 'Play Again' });
  await H.setBags(page, ['LJIOSTZ']);
  await H.padSet(page, [9]);
  assert.equal((await H.dialog(page)).on, false, 'Start is Play Again');
  assert.equal((await H.hud(page)).score, '0');

  // The pad leaves while its timer reads it: no reads after that.
  await H.padSet(page, []);
  await H.padSet(page, [9]);
  await H.padSet(page, []);
  await H.padEvent(page, 'gamepaddisconnected');
  const reads = await H.padReads(page);
  await H.waitFor(page, () => window.__pendingTimers() === 0);
  await H.keys(page, ['p']);
  assert.equal(await H.frames(page, 5, 16), 1, 'resumed by key');
  assert.equal(await H.padReads(page), reads, 'no reads once the pad has left');
});

test('held moves repeat 170 ms after the press, then every 50 ms: the pad, and Down and Right held with the mouse; leaving the button stops them, a click or Enter acts once', H.LIMIT, async () => {
  const bags = ['IJLOSTZ'];
  await H.play(page, bags);
  const g = new Game(bags.join(''));
  await H.padEvent(page, 'gamepadconnected');
  // The score after each of n frames 10 ms apart: one point a soft drop.
  const scores = (n) => page.evaluate((k) => Array.from({ length: k }, () => {
    window.__frames(1, 10);
    return Number(document.getElementById('vScore').textContent);
  }), n);
  // What scores(n) should give while a soft drop stays held: `from` counts the
  // drop of the press, made at the frame clock's last reading.
  const repeats = (n, from) => Array.from({ length: n }, (_, i) => {
    const t = 10 * (i + 1);
    return from + (t >= 170 ? 1 + Math.floor((t - 170) / 50) : 0);
  });
  const drops = (k) => {
    for (let i = 0; i < k; i++) g.softDrop();
  };

  await H.padSet(page, [13]);
  assert.deepEqual(await scores(30), repeats(30, 1), 'd-pad down held');
  await H.padSet(page, []);
  assert.deepEqual(await scores(10), Array(10).fill(4), 'released');
  drops(4);
  await H.padSet(page, [], [-1, 0]);
  await H.frames(page, 20, 10);
  await H.padSet(page, []);
  g.move(-1);
  g.move(-1);
  await H.sameAs(page, g, 'stick held left for 200 ms');

  const centre = async (id) => {
    const b = await page.locator('#' + id).boundingBox();
    return [b.x + b.width / 2, b.y + b.height / 2];
  };
  await page.mouse.move(...await centre('bDown'));
  await page.mouse.down();
  assert.deepEqual(await scores(30), repeats(30, 5), 'Down held');
  await page.mouse.move(...await centre('cv'));
  assert.deepEqual(await scores(10), Array(10).fill(8), 'the pointer left Down');
  await page.mouse.up();
  await page.mouse.move(...await centre('bRight'));
  await page.mouse.down();
  await H.frames(page, 17, 10);
  await page.mouse.up();
  await H.frames(page, 20, 10);
  drops(4);
  g.move(1);
  g.move(1);
  await H.sameAs(page, g, 'Right held for 170 ms');

  await H.clickAndBlur(page, 'bDown');
  assert.deepEqual(await scores(30), Array(30).fill(9), 'a click acts once');
  await page.evaluate(() => document.getElementById('bDown').focus());
  await page.keyboard.press('Enter');
  assert.deepEqual(await scores(30), Array(30).fill(10), 'Enter on Down acts once');
  drops(2);
  await H.sameAs(page, g, 'after the click and Enter');
});
