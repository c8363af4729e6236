// A small reference model of the rules of play and of the camera, used by the
// browser tests to say what the page should show after a sequence of inputs.
// It models only what the tests drive: no gravity, no timing, no hold, no
// pause.

export const COLS = 10;
export const ROWS = 20;
export const DEPTH = 3;

export const SHAPES = [
  { k: 'I', c: '#22d3ee', b: [[1, 1, 1, 1]] },
  { k: 'J', c: '#3b82f6', b: [[1, 0, 0], [1, 1, 1]] },
  { k: 'L', c: '#f59e0b', b: [[0, 0, 1], [1, 1, 1]] },
  { k: 'O', c: '#facc15', b: [[1, 1], [1, 1]] },
  { k: 'S', c: '#22c55e', b: [[0, 1, 1], [1, 1, 0]] },
  { k: 'T', c: '#a855f7', b: [[0, 1, 0], [1, 1, 1]] },
  { k: 'Z', c: '#ef4444', b: [[1, 1, 0], [0, 1, 1]] },
];
export const SHAPE = Object.fromEntries(SHAPES.map((s) => [s.k, s]));
const LETTERS = SHAPES.map((s) => s.k);

// --- bags ---------------------------------------------------------------

// The six Math.random values that make the page's Fisher-Yates shuffle
// (i = 6..1, j = floor(r * (i + 1))) produce the given order, e.g. "ITOJLSZ".
export function randomsForOrder(order) {
  const want = [...order];
  if (want.length !== 7 || [...want].sort().join('') !== [...LETTERS].sort().join('')) {
    throw new Error(`not a bag: ${order}`);
  }
  const a = [...LETTERS];
  const rs = [];
  for (let i = 6; i >= 1; i--) {
    const j = a.indexOf(want[i]);
    rs.push((j + 0.5) / (i + 1));
    [a[i], a[j]] = [a[j], a[i]];
  }
  return rs;
}

// --- rules --------------------------------------------------------------

export function rotated(b, dir) {
  const h = b.length;
  const w = b[0].length;
  const out = [];
  for (let i = 0; i < w; i++) {
    out.push([]);
    for (let j = 0; j < h; j++) out[i].push(dir > 0 ? b[h - 1 - j][i] : b[j][w - 1 - i]);
  }
  return out;
}

export function spawnPos(b) {
  return { x: Math.floor((COLS - b[0].length) / 2), y: ROWS - b.length };
}

// The cells [x, y] of matrix `b` placed at x, y; with a shape letter `k`, [x, y, k].
export function cellsOf(b, x, y, k) {
  const out = [];
  for (let r = 0; r < b.length; r++) {
    for (let c = 0; c < b[r].length; c++) if (b[r][c]) out.push(k ? [x + c, y + r, k] : [x + c, y + r]);
  }
  return out;
}

export class Game {
  constructor(order) {
    this.grid = Array.from({ length: ROWS }, () => Array(COLS).fill(0));
    this.queue = [...order];
    this.qi = 0;
    this.piece = null;
    this.score = 0;
    this.lines = 0;
    this.level = 1;
    this.over = false;
    this.spawn();
  }

  // A copy to try moves on; the queue of pieces is shared, never changed.
  clone() {
    const g = Object.assign(Object.create(Game.prototype), this);
    g.grid = this.grid.map((r) => r.slice());
    g.piece = this.piece && { ...this.piece, b: this.piece.b.map((r) => r.slice()) };
    return g;
  }

  collides(px, py, b) {
    for (const [nx, ny] of cellsOf(b, px, py)) {
      if (nx < 0 || nx >= COLS || ny < 0) return true;
      if (ny < ROWS && this.grid[ny][nx]) return true;
    }
    return false;
  }

  spawn() {
    if (this.qi >= this.queue.length) throw new Error('model ran out of pieces');
    const s = SHAPE[this.queue[this.qi++]];
    const b = s.b.map((r) => r.slice());
    this.piece = { k: s.k, b, ...spawnPos(b) };
    if (this.collides(this.piece.x, this.piece.y, b)) {
      this.over = true;
      this.piece = null;
    }
  }

  rotate(dir) {
    const p = this.piece;
    if (!p) return;
    const nb = rotated(p.b, dir);
    for (const k of [0, -1, 1, -2, 2]) {
      if (!this.collides(p.x + k, p.y, nb)) {
        p.b = nb;
        p.x += k;
        return;
      }
    }
  }

  move(dx) {
    const p = this.piece;
    if (p && !this.collides(p.x + dx, p.y, p.b)) p.x += dx;
  }

  softDrop() {
    const p = this.piece;
    if (!p) return;
    if (!this.collides(p.x, p.y - 1, p.b)) {
      p.y--;
      this.score++;
    } else {
      this.lock();
    }
  }

  // Drops the piece as far as it goes, 2 points a row, and locks it; returns the rows cleared.
  hardDrop() {
    const p = this.piece;
    if (!p) return 0;
    const from = p.y;
    while (!this.collides(p.x, p.y - 1, p.b)) p.y--;
    this.score += 2 * (from - p.y);
    return this.lock();
  }

  lock() {
    const p = this.piece;
    for (const [nx, ny] of cellsOf(p.b, p.x, p.y)) {
      if (nx >= 0 && nx < COLS && ny >= 0 && ny < ROWS) this.grid[ny][nx] = p.k;
    }
    this.piece = null;
    const n = this.clearLines();
    this.spawn();
    return n;
  }

  clearLines() {
    const full = this.grid.filter((row) => row.every(Boolean)).length;
    if (!full) return 0;
    this.score += [0, 100, 300, 500, 800][full] * this.level;
    this.lines += full;
    this.level = Math.floor(this.lines / 10) + 1;
    this.grid = this.grid.filter((row) => !row.every(Boolean));
    while (this.grid.length < ROWS) this.grid.push(Array(COLS).fill(0));
    return full;
  }

  // What the page shows in its HUD.
  hud() {
    return { score: String(this.score), lines: `${this.lines} / ${this.level}` };
  }

  // The locked cells as [x, y, shape letter].
  lockedCells() {
    const out = [];
    for (let y = 0; y < ROWS; y++) for (let x = 0; x < COLS; x++) if (this.grid[y][x]) out.push([x, y, this.grid[y][x]]);
    return out;
  }
}

// Hard drops at the spawn place until a spawn collides: how many it takes, and
// the score and lines at the end.
export function topOut(orders) {
  const g = new Game(orders.join(''));
  let presses = 0;
  while (!g.over) { g.hardDrop(); presses++; }
  return { presses, score: g.score, lines: g.lines };
}

// --- a simple player ----------------------------------------------------

// Picks, for the current piece, a placement (turns, then moves, then a hard
// drop) that keeps the board low and flat and keeps the right-hand column
// free for an I, so that a game brings clears of every size. Returns its keys
// and the game after it. Deterministic: ties keep the first candidate.
export function bestPlacement(game) {
  let best = null;
  for (let turns = 0; turns < 4; turns++) {
    for (let dx = -6; dx <= 6; dx++) {
      const g = game.clone();
      const keys = [];
      for (let t = 0; t < turns; t++) { g.rotate(1); keys.push('w'); }
      const x0 = g.piece.x;
      for (let m = 0; m < Math.abs(dx); m++) { g.move(Math.sign(dx)); keys.push(dx < 0 ? 'a' : 'd'); }
      if (g.piece.x !== x0 + dx) continue;
      keys.push(' ');
      const cleared = g.hardDrop();
      const v = rate(g.grid, cleared) - (g.over ? 1e6 : 0);
      if (!best || v > best.v + 1e-9) best = { v, keys, game: g };
    }
  }
  return best;
}

function rate(grid, cleared) {
  let agg = 0, holes = 0, bump = 0, prev = -1, well = 0;
  for (let x = 0; x < COLS; x++) {
    let h = 0;
    for (let y = ROWS - 1; y >= 0; y--) if (grid[y][x]) { h = y + 1; break; }
    for (let y = 0; y < h; y++) if (!grid[y][x]) holes++;
    if (x === COLS - 1) { well = h; continue; }
    agg += h;
    if (prev >= 0) bump += Math.abs(h - prev);
    prev = h;
  }
  return -0.51 * agg - 0.72 * holes - 0.18 * bump - 4 * well + (cleared === 4 ? 20 : 0.76 * cleared);
}

// --- camera ---------------------------------------------------------------

const YAW = -0.62;
const PITCH = 0.46;
const CAMD = 30;

export function rotPoint(x, y, z) {
  const ca = Math.cos(YAW), sa = Math.sin(YAW), cp = Math.cos(PITCH), sp = Math.sin(PITCH);
  const X = x - COLS / 2, Y = y - ROWS / 2, Z = z - DEPTH / 2;
  const X1 = ca * X - sa * Z;
  const Z1 = sa * X + ca * Z;
  const Y2 = cp * Y - sp * Z1;
  const Z2 = sp * Y + cp * Z1;
  return [X1, Y2, Z2];
}

export function project(x, y, z, W, H) {
  const [X1, Y2, Z2] = rotPoint(x, y, z);
  const s = CAMD / (CAMD + Z2);
  const k = Math.max(4, 1.05 * Math.min(W / (COLS + 9), H / (ROWS + 3)));
  return [W / 2 + X1 * s * k, H / 2 + Y2 * s * k];
}

// The well's edges, between its corners numbered 0-3 at the front (z = 0) and
// 4-7 at the back.
export const EDGES = [[0, 1], [1, 2], [2, 3], [3, 0], [4, 5], [5, 6], [6, 7], [7, 4], [0, 4], [1, 5], [2, 6], [3, 7]];

// Colour scaling as the page does it, written the way a canvas reports a
// colour back (#rrggbb).
export function shadeHex(hex, k) {
  const h = hex.replace('#', '');
  const ch = [0, 2, 4].map((i) => Math.min(255, Math.round(parseInt(h.slice(i, i + 2), 16) * k)));
  return '#' + ch.map((v) => v.toString(16).padStart(2, '0')).join('');
}
