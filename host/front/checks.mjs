// The front's checks of where a request goes and where it comes from: the Host header
// against the server's own addresses, and the browser's marks of another site.
import os from 'node:os';
import { replyError } from './answers.mjs';

// How long the list of the machine's addresses is reused before it is read again.
const ADDRESSES_TTL_MS = 5000;

let addressCache = null;
let addressTime = 0;

// The machine's IPv4 addresses, loopback ones included, read again every few seconds so that
// an address the network hands out later is known too.
function machineAddresses() {
  const now = Date.now();
  if (!addressCache || now - addressTime > ADDRESSES_TTL_MS) {
    addressCache = Object.values(os.networkInterfaces()).flat()
      .filter((a) => a && a.family === 'IPv4').map((a) => a.address);
    addressTime = now;
  }
  return addressCache;
}

// Whether the Host header names this server: one of its listening addresses or localhost,
// with its port (a browser leaves out port 80).
export function hostAllowed(server, host) {
  if (typeof host !== 'string') return false;
  const names = server.bind === '0.0.0.0' ? machineAddresses() : [server.bind];
  const wanted = host.toLowerCase();
  for (const name of [...names, 'localhost']) {
    if (wanted === `${name}:${server.port}`) return true;
    if (server.port === 80 && wanted === name) return true;
  }
  return false;
}

// Whether a request reaches the plugin's JSON interface, as the plugin decides it: a field
// named `action` (names count undecoded, at the start of a segment, followed by "="),
// "format=json" anywhere in the query, or a method other than GET and HEAD.
function jsonInterface(method, query) {
  if (method !== 'GET' && method !== 'HEAD') return true;
  if (query.includes('format=json')) return true;
  return query.split('&').some((segment) => segment.startsWith('action='));
}

// Whether the browser marks the request as sent by another site.
function crossSite(req) {
  const site = req.headers['sec-fetch-site'];
  if (site !== undefined && site !== 'same-origin' && site !== 'none') return true;
  const origin = req.headers.origin;
  return origin !== undefined && origin.toLowerCase() !== `http://${req.headers.host.toLowerCase()}`;
}

// Refuses (403) a request to the JSON interface that the browser marks as sent by another
// site; returns whether it did.
export function refusedCrossSite(req, res, query) {
  if (!jsonInterface(req.method, query) || !crossSite(req)) return false;
  replyError(res, 403, 'cross_site');
  return true;
}

