// Writes docs/screenshot.png: the page in the dark theme with a game in
// progress (locked blocks, a falling piece and its ghost), played with fixed
// bags so that the picture is the same every time.
//
//   node scripts/make-screenshot.mjs [output.png]
//
// Uses the built program when PENTRA_BIN is set, as the tests do.

import path from 'node:path';
import { mkdirSync } from 'node:fs';
import * as H from '../tests/page/harness.mjs';
import { Game, bestPlacement } from '../tests/page/model.mjs';
import { ROOT } from '../tests/values.mjs';

const out = path.resolve(process.argv[2] || path.join(ROOT, 'docs', 'screenshot.png'));
const bags = ['OSZTJIL', 'SOITJZL', 'TIJSLZO', 'OSLIJTZ'];

const server = await H.startServer();
const browser = await H.launch();
try {
  server.reply = () => H.scoresReply(1840, [1840, 920, 310]);
  const page = await H.openTab(browser, { colorScheme: 'dark', viewport: { width: 800, height: 600 } });
  await H.load(page, server);
  await H.setBags(page, bags);
  await H.keys(page, ['Enter']);

  // Twelve pieces placed by the model's player, then the thirteenth held
  // part way down with its ghost below it.
  let game = new Game(bags.join(''));
  const plan = [];
  for (let i = 0; i < 12; i++) {
    const p = bestPlacement(game);
    plan.push(...p.keys);
    game = p.game;
  }
  await H.keys(page, [...plan, 'c', 'w', 'a', ...Array(7).fill('s')]);
  await H.frames(page, 1, 0);
  mkdirSync(path.dirname(out), { recursive: true });
  await page.screenshot({ path: out });
  const errors = await H.pageErrors(page);
  if (errors.length) throw new Error('page errors: ' + errors.join('; '));
  console.log(`wrote ${out}`);
} finally {
  await browser.close();
  await server.close();
}
