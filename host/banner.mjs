// What scripts/play prints once the host runs: the serving user, each node with its data
// folder, and the URLs that open the game (on the machine, and for a phone on the network).
import os from 'node:os';
import { PLUGIN_ID } from './host.mjs';

// Percent-encodes a password (its bytes) for a URL query value.
function urlEncode(bytes) {
  let out = '';
  for (const byte of bytes) {
    const c = String.fromCharCode(byte);
    out += /[A-Za-z0-9._~-]/.test(c) ? c : '%' + byte.toString(16).toUpperCase().padStart(2, '0');
  }
  return out;
}

const passwordField = (sep, pwd) => (pwd.length ? `${sep}pwd=${urlEncode(pwd)}` : '');
const passwordNote = (pwd) => (pwd.length ? 'with a password' : 'no password');

// The URLs that open the game on server `base`, one per node.
export function gameUrls(base, hub, nodes) {
  if (hub) return Object.keys(nodes).map((n) => `${base}/plugins?plugin=${PLUGIN_ID}&node=${n}${passwordField('&', nodes[n].password)}`);
  return [`${base}/${PLUGIN_ID}${passwordField('?', nodes.node.password)}`];
}

// The machine's IPv4 addresses other than loopback ones.
function networkAddresses() {
  return Object.values(os.networkInterfaces()).flat()
    .filter((a) => a && a.family === 'IPv4' && !a.internal && !a.address.startsWith('127.')).map((a) => a.address);
}

// The line that says which user serves.
export function userLine(user) {
  switch (user.why) {
    case 'sudo': return `Serving as user ${user.name}, who ran sudo (not as root).`;
    case 'system': return `Serving as user ${user.name}, a system user for the game (not as root).`;
    case 'given': return `Serving as user ${user.name} (not as root).`;
    default: return `Serving as user ${user.name}.`;
  }
}

// What scripts/play prints once the host runs (but the QR code), as lines.
export function describe(host, o, generated) {
  const lines = [];
  let base;
  let openNote;
  if (o.hub) {
    for (const [n, node] of Object.entries(host.nodes)) {
      lines.push(`Node ${n}: ${node.url} (data folder ${node.data}, ${passwordNote(node.password)})`);
    }
    base = host.hub.url;
    lines.push(`Hub: ${base}`);
    openNote = 'Open one of these URLs to play, through the hub, on node alpha or on node beta';
  } else {
    const node = host.nodes.node;
    base = node.url;
    lines.push(`Node: ${base} (data folder ${node.data}, ${passwordNote(node.password)})`);
    openNote = 'Open this URL to play';
  }
  const urls = (b) => gameUrls(b, o.hub, host.nodes).map((u) => `URL: ${u}`);
  if (!o.exposed) {
    lines.push(`${openNote}:`, ...urls(base));
    return { lines, phoneUrl: null };
  }
  const notes = {
    node: 'Made a random password for this run, as none was given with --password; it is in the URLs below.',
    alpha: 'Made a random password for node alpha for this run; it is in its URLs below.',
    'alpha beta': 'Made random passwords for nodes alpha and beta for this run, as none was given with --password; they are in the URLs below.',
  };
  if (notes[generated.join(' ')]) lines.push(notes[generated.join(' ')]);
  const port = new URL(base).port;
  let phoneHosts = [o.bind];
  if (o.bind === '0.0.0.0') {
    lines.push(`Listening on every network interface, port ${port}.`, `${openNote}, on this machine:`, ...urls(base));
    phoneHosts = networkAddresses();
  } else {
    lines.push(`Listening on ${o.bind}, port ${port}.`);
  }
  if (phoneHosts.length === 0) {
    lines.push('This machine has no network address yet: connect it to a network and start again to play on a phone.');
    return { lines, phoneUrl: null };
  }
  lines.push('On a phone or another device on the same network:');
  for (const h of phoneHosts) lines.push(...urls(`http://${h}:${port}`));
  const phoneUrl = gameUrls(`http://${phoneHosts[0]}:${port}`, o.hub, host.nodes)[0];
  lines.push(`Or scan this code with the phone's camera to open ${phoneUrl}:`);
  return { lines, phoneUrl };
}
