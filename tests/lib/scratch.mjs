// Scratch folders for the suites.
import fs from 'node:fs';

// Makes `dir` an empty folder, whatever was there before; returns it.
export function freshFolder(dir) {
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
  return dir;
}
