// Writes host/favicon.ico, the icon that the node and the hub answer for /favicon.ico: a
// little well in the game's colours (a purple T falling onto cyan, green, blue and yellow
// cells) on the page's dark panel colour, at 16 and 32 pixels. The output depends on
// nothing but this file, so running it again gives the same bytes:
//   node scripts/make-favicon.mjs
import fs from 'node:fs';
import path from 'node:path';
import { ROOT } from '../tests/values.mjs';

const PANEL = '#16161c';
const COLOURS = { T: '#a855f7', I: '#22d3ee', S: '#22c55e', J: '#3b82f6', O: '#facc15' };
// The picture on a 4 by 4 grid of cells, top row first; "." is empty.
const CELLS = ['.TTT', '..T.', 'I..O', 'ISJO'];

// Each size: cell pitch, margin around the grid, corner radius, and whether cells get a
// light and a dark edge (too small to show at 16 pixels).
const SIZES = [
  { size: 16, pitch: 3, margin: 2, radius: 2, bevel: false },
  { size: 32, pitch: 7, margin: 2, radius: 4, bevel: true },
];

// "#rrggbb" scaled by k, as [r, g, b, a].
function rgba(hex, k = 1) {
  const channel = (i) => Math.min(255, Math.round(parseInt(hex.slice(i, i + 2), 16) * k));
  return [channel(1), channel(3), channel(5), 255];
}

// Whether pixel (x, y) lies inside the rounded square of side `size`.
function inside(x, y, size, radius) {
  const cx = Math.min(Math.max(x + 0.5, radius), size - radius);
  const cy = Math.min(Math.max(y + 0.5, radius), size - radius);
  return (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= radius * radius;
}

// The colour of pixel (x, y), top-left origin, or null for a transparent one.
function pixel(x, y, { size, pitch, margin, radius, bevel }) {
  if (!inside(x, y, size, radius)) return null;
  const gx = x - margin;
  const gy = y - margin;
  const col = Math.floor(gx / pitch);
  const row = Math.floor(gy / pitch);
  const piece = gx >= 0 && gy >= 0 && row < 4 && col < 4 ? CELLS[row][col] : '.';
  if (piece === '.') return rgba(PANEL);
  if (!bevel) return rgba(COLOURS[piece]);
  // A 1-pixel gap between cells, a light top and left edge and a dark bottom and right one.
  const ix = gx % pitch;
  const iy = gy % pitch;
  if (ix === pitch - 1 || iy === pitch - 1) return rgba(PANEL);
  if (ix === 0 || iy === 0) return rgba(COLOURS[piece], 1.35);
  if (ix === pitch - 2 || iy === pitch - 2) return rgba(COLOURS[piece], 0.7);
  return rgba(COLOURS[piece]);
}

// One icon image as ICO stores it: a BITMAPINFOHEADER of twice the height, the BGRA rows
// bottom up, then the 1-bit transparency mask (rows padded to 4 bytes, 1 = transparent).
function bitmap(layout) {
  const { size } = layout;
  const maskRow = Math.ceil(size / 32) * 4;
  const header = Buffer.alloc(40);
  header.writeUInt32LE(40, 0);
  header.writeInt32LE(size, 4);
  header.writeInt32LE(size * 2, 8);
  header.writeUInt16LE(1, 12);
  header.writeUInt16LE(32, 14);
  header.writeUInt32LE(size * size * 4 + maskRow * size, 20);
  const colours = Buffer.alloc(size * size * 4);
  const mask = Buffer.alloc(maskRow * size);
  for (let y = 0; y < size; y++) {
    const row = size - 1 - y;
    for (let x = 0; x < size; x++) {
      const c = pixel(x, y, layout);
      const at = (row * size + x) * 4;
      if (c) {
        colours.set([c[2], c[1], c[0], c[3]], at);
      } else {
        mask[row * maskRow + (x >> 3)] |= 0x80 >> (x & 7);
      }
    }
  }
  return Buffer.concat([header, colours, mask]);
}

// The ICO file: its header, one directory entry per image, then the images.
function icon() {
  const images = SIZES.map(bitmap);
  const head = Buffer.alloc(6 + 16 * images.length);
  head.writeUInt16LE(1, 2);
  head.writeUInt16LE(images.length, 4);
  let offset = head.length;
  images.forEach((image, i) => {
    const entry = 6 + 16 * i;
    head.writeUInt8(SIZES[i].size, entry);
    head.writeUInt8(SIZES[i].size, entry + 1);
    head.writeUInt16LE(1, entry + 4);
    head.writeUInt16LE(32, entry + 6);
    head.writeUInt32LE(image.length, entry + 8);
    head.writeUInt32LE(offset, entry + 12);
    offset += image.length;
  });
  return Buffer.concat([head, ...images]);
}

const out = path.join(ROOT, 'host', 'favicon.ico');
fs.writeFileSync(out, icon());
