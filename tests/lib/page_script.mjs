// What the page tests and the benchmark put into the game page from outside: a seeded
// source of chance, the style sheet that removes every backdrop blur, and the origin's
// storage read and written.

// A seeded replacement for Math.random (mulberry32). It runs in the page, so it must hold
// everything it needs: an init script receives it as text (see inPage).
export function seededRandom(seed) {
  let s = seed >>> 0;
  return () => {
    s = (s + 0x6D2B79F5) >>> 0;
    let t = s;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

// The source of an init script that calls fn(arg, seededRandom) in the page.
export function inPage(fn, arg) {
  return `(${fn})(${JSON.stringify(arg)}, ${seededRandom});`;
}

// The page without its backdrop blurs: what the page could draw at if they cost nothing.
export const NO_BLUR = '* { backdrop-filter: none !important; -webkit-backdrop-filter: none !important; }';

// The items of the origin's localStorage, as an object.
export function readStorage(page) {
  return page.evaluate(() => Object.fromEntries(Object.keys(localStorage).map((k) => [k, localStorage.getItem(k)])));
}

// Empties the storage of the origin of `blankUrl` and stores `items`, from that blank page
// of the origin, before the game's page is loaded.
export async function writeStorage(page, blankUrl, items = {}) {
  await page.goto(blankUrl);
  await page.evaluate((kv) => {
    localStorage.clear();
    for (const [k, v] of Object.entries(kv)) localStorage.setItem(k, v);
  }, items);
}

// Starts a game and hard-drops piece after piece until the dialog says GAME OVER; returns
// the number of drops. `beforeDrop(i)` may move each piece first. Fails when the game has
// not ended after `maxDrops`; with `stopAfter`, stops after that many drops instead.
export async function dropUntilOver(page, { maxDrops, stopAfter = Infinity, beforeDrop } = {}) {
  const dialog = () => page.evaluate(() => document.getElementById('overlay').classList.contains('on') &&
    document.getElementById('mTitle').textContent);
  await page.keyboard.press('Enter');
  if (await dialog()) throw new Error('Enter did not start a game');
  let drops = 0;
  while (drops < maxDrops && drops < stopAfter) {
    if (beforeDrop) await beforeDrop(drops);
    await page.keyboard.press('Space');
    drops++;
    if ((await dialog()) === 'GAME OVER') return drops;
  }
  if (drops >= maxDrops) throw new Error(`no GAME OVER after ${maxDrops} hard drops`);
  return drops;
}
