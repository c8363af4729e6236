// What the program writes, as every suite expects it: the identity, the headers, the
// refusal, the JSON bodies. The version is read from project() in CMakeLists.txt, the one
// place it is written.
import fs from 'node:fs';
import path from 'node:path';

export const ROOT = path.resolve(import.meta.dirname, '..');

export const VERSION = /project\(pentra [^)]*VERSION (\d+\.\d+\.\d+)\)/.exec(
  fs.readFileSync(path.join(ROOT, 'CMakeLists.txt'), 'utf8'),
)[1];
export const PLUGIN_ID = 'plugin_pentra_3d';

// The command-line answers.
export const DISCOVERY = '{"name":"pentra","desc":"3D block game"}\n';
// A node's list of plugins, as the host answers it: the discovery line under the plugin's id.
export const PLUGIN_LIST = `[{"id":"${PLUGIN_ID}",${DISCOVERY.slice(1, -1)}]\n`;
export const VERSION_LINE = `${PLUGIN_ID} ${VERSION}\n`;

// The headers: 67 bytes before the page, 74 before every JSON body.
export const PAGE_TYPE = 'text/html; charset=utf-8';
export const JSON_TYPE = 'application/json; charset=utf-8';
export const PAGE_HEADER = `Content-Type: ${PAGE_TYPE}\r\nCache-Control: no-store\r\n\r\n`;
export const JSON_HEADER = `Content-Type: ${JSON_TYPE}\r\nCache-Control: no-store\r\n\r\n`;

// The refusal of a request without the node's password: 145 bytes, status line first.
export const REFUSAL_BODY = '{"ok":false,"error":"invalid node password"}\n';
export const REFUSAL = `Status: 401 Unauthorized\r\n${JSON_HEADER}${REFUSAL_BODY}`;

// The JSON bodies.
export const INVALID_SCORE = '{"ok":false,"error":"invalid_score"}\n';
export const UNKNOWN_ACTION = '{"ok":false,"error":"unknown_action"}\n';

export function unwritable(highscore) {
  return `{"ok":false,"error":"score_store_unwritable","highscore":${highscore}}\n`;
}

// The scores reply body for the table's entries in order. The program reports the first
// entry as the high score (0 for an empty table); a stand-in node may report another.
export function scoresReply(entries, highscore = entries.length ? entries[0] : 0) {
  return `{"ok":true,"plugin":"${PLUGIN_ID}","version":"${VERSION}","highscore":${highscore},"scores":[${entries.join(',')}]}\n`;
}

// A CGI reply split at the empty line that ends its header (CR LF or LF line ends): the
// header's lines and the body's bytes.
export function splitReply(bytes) {
  const text = bytes.toString('latin1');
  const gap = /\r\n\r\n|\n\n/.exec(text);
  if (!gap) throw new Error('reply without an empty line after its header');
  return { header: text.slice(0, gap.index).split(/\r?\n/), body: bytes.subarray(gap.index + gap[0].length) };
}
