// Firefox and WebKit for the page tests, behind the part of Playwright's Page
// that the tests use: goto, evaluate, waitForFunction, click, keyboard.press,
// mouse.move/down/up/click, locator(selector).boundingBox, setViewportSize,
// emulateMedia({ colorScheme }) and frame(selector) (a same-size view of an
// iframe's document). Chromium needs none of this: the harness hands the tests
// Playwright's own pages. README explains what each engine can and cannot do.
//
// - Firefox: Debian's firefox-esr driven by puppeteer-core over WebDriver BiDi.
// - WebKit: WebKitGTK's MiniBrowser, started by WebKitWebDriver under a private
//   Xvfb display and driven over plain W3C WebDriver (fetch).
//
// Neither can switch the system colour scheme of a running browser, so a tab
// that is asked for the other scheme moves to a browser started with it and
// takes the origin's localStorage along (what a player keeps when the system
// switches). WebDriver classic cannot run a script before the page's own, so
// for both engines the test server writes the harness's controls into the
// served page instead (harness.mjs); a tab's `beforeGoto` tells it which.

import { spawn } from 'node:child_process';
import { freePort, sleep } from '../../host/processes.mjs';
import { launchFirefox } from './browsers.mjs';
import { readStorage, writeStorage } from './page_script.mjs';

const MINIBROWSER = '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser';
const COMMAND_TIMEOUT = 30000;

// What the tabs of both engines, and the frames in them, share: evaluate and
// click go to `doc` (a Puppeteer page or frame, or a document of a WebKit tab),
// and the rest is built on them.
class Tab {
  constructor(opts, doc = null) {
    this.opts = opts;
    this.doc = doc;
    this.scheme = opts.colorScheme || 'dark';
    this.__pageErrors = [];
    this.__requests = [];
  }

  evaluate(fn, arg) {
    return this.doc.evaluate(fn, arg);
  }

  click(selector) {
    return this.doc.click(selector);
  }

  async waitForFunction(fn, arg, { polling = 10, timeout = 20000 } = {}) {
    const end = Date.now() + timeout;
    for (;;) {
      if (await this.evaluate(fn, arg)) return;
      if (Date.now() > end) throw new Error(`waitForFunction timed out after ${timeout} ms: ${fn}`);
      await sleep(polling);
    }
  }

  locator(selector) {
    return {
      boundingBox: () => this.evaluate((s) => {
        const r = document.querySelector(s).getBoundingClientRect();
        return { x: r.x, y: r.y, width: r.width, height: r.height };
      }, selector),
    };
  }

  context() {
    return { close: () => this.close() };
  }

  // Moves the tab to the browser of the other colour scheme (open), taking the
  // origin's storage along.
  async emulateMedia({ colorScheme }) {
    if (!colorScheme || colorScheme === this.scheme) return;
    const origin = await this.evaluate(() => (location.protocol.startsWith('http') ? location.origin : null));
    const items = origin && await readStorage(this);
    this.scheme = colorScheme;
    await this.open();
    if (origin) await writeStorage(this, origin + '/blank', items);
  }
}

// One of what `start(scheme)` starts per system colour scheme, started when
// first needed; `started()` gives those started so far.
function perScheme(start) {
  const running = new Map();
  return {
    get(scheme) {
      if (!running.has(scheme)) running.set(scheme, start(scheme));
      return running.get(scheme);
    },
    started: () => Promise.all(running.values()),
  };
}

// --- Firefox ----------------------------------------------------------------

// A tab's doc is its Puppeteer page.
class FirefoxTab extends Tab {
  constructor(browsers, opts) {
    super(opts);
    this.browsers = browsers;
  }

  async open() {
    const browser = await this.browsers.get(this.scheme);
    const page = await browser.newPage();
    // Firefox also reports here, as a script error, the console line of a
    // cross-origin request it blocked (a sandboxed frame's requests are
    // cross-origin). That is no error of the page's script, which catches the
    // failed request, and Chromium's pageerror has no such line.
    page.on('pageerror', (e) => {
      const text = String(e && e.message || e);
      if (!text.startsWith('Cross-Origin Request Blocked:')) this.__pageErrors.push(text);
    });
    // Firefox asks for /favicon.ico by itself, as Chromium does; Playwright
    // hides that request from its pages, so it is left out here too.
    page.on('request', (r) => {
      if (new URL(r.url()).pathname !== '/favicon.ico') this.__requests.push(r.url());
    });
    await page.setViewport(this.opts.viewport || { width: 800, height: 600 });
    if (this.doc) await this.doc.close();
    this.doc = page;
    // Puppeteer's mouse and keyboard take the calls the tests make as they are.
    this.mouse = page.mouse;
    this.keyboard = page.keyboard;
  }

  async goto(url) {
    this.opts.beforeGoto?.();
    await this.doc.goto(url);
  }

  async setViewportSize({ width, height }) {
    this.opts.viewport = { width, height };
    await this.doc.setViewport({ width, height });
  }

  async frame(selector) {
    const handle = await this.doc.$(selector);
    return new Tab(this.opts, await handle.contentFrame());
  }

  async close() {
    await this.doc?.close();
    this.doc = null;
  }
}

// One Firefox per system colour scheme, started when first needed.
export async function firefox() {
  const browsers = perScheme(launchFirefox);
  return {
    async newTab(opts) {
      const tab = new FirefoxTab(browsers, { ...opts });
      await tab.open();
      return tab;
    },
    async close() {
      for (const b of await browsers.started()) await b.close();
    },
  };
}

// --- WebKit -----------------------------------------------------------------

// Keys by the names Playwright uses, as WebDriver key codes.
const WD_KEYS = {
  Enter: '\uE007', Escape: '\uE00C', Tab: '\uE004', Shift: '\uE008', Backspace: '\uE003',
  ArrowLeft: '\uE012', ArrowUp: '\uE013', ArrowRight: '\uE014', ArrowDown: '\uE015', Space: ' ',
};

// Starts a process and ends it with the test file.
function child(cmd, args, options) {
  const p = spawn(cmd, args, options);
  const stop = () => p.exitCode === null && p.kill('SIGTERM');
  process.on('exit', stop);
  p.stop = stop;
  return p;
}

// Xvfb on a display number of its own choosing (written to fd 3).
async function startXvfb() {
  const p = child('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x1024x24', '-nolisten', 'tcp'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const display = await new Promise((resolve, reject) => {
    let out = '';
    const timer = setTimeout(() => reject(new Error('Xvfb did not start within 10 s')), 10000);
    p.stdio[3].on('data', (d) => {
      out += d;
      if (out.includes('\n')) {
        clearTimeout(timer);
        resolve(':' + out.trim());
      }
    });
    p.on('exit', (code) => reject(new Error(`Xvfb exited with ${code}`)));
  });
  return { p, display };
}

async function webdriver(base, method, path, body) {
  const r = await fetch(base + path, {
    method,
    headers: { 'Content-Type': 'application/json' },
    body: body === undefined ? undefined : JSON.stringify(body),
    signal: AbortSignal.timeout(COMMAND_TIMEOUT),
  });
  const j = await r.json();
  if (j.value && j.value.error) throw new Error(`WebDriver ${method} ${path}: ${j.value.error}: ${j.value.message}`);
  return j.value;
}

class WebKitTab extends Tab {
  constructor(drivers, opts) {
    super(opts);
    this.drivers = drivers;
    // One session (one MiniBrowser) per colour scheme, each on the driver of
    // that scheme: { base, id }.
    this.sessions = perScheme((scheme) => this.startSession(scheme));
    this.s = null;              // the session in use
    this.at = null;             // the frame its commands go to (null: the top document)
    this.doc = this.docOf(null);
    // MiniBrowser's window is larger than its page by the toolbar; measured once.
    this.chrome = null;
    // WebDriver classic reports neither requests nor page errors: the server
    // sees the requests, the harness's controls catch the errors.
    this.__requests = null;
    const act = (...actions) => this.actions([{ type: 'pointer', id: 'mouse', parameters: { pointerType: 'mouse' }, actions }]);
    const to = (x, y) => ({ type: 'pointerMove', x: Math.round(x), y: Math.round(y), origin: 'viewport', duration: 0 });
    this.mouse = {
      move: (x, y) => act(to(x, y)),
      down: () => act({ type: 'pointerDown', button: 0 }),
      up: () => act({ type: 'pointerUp', button: 0 }),
      click: (x, y) => act(to(x, y), { type: 'pointerDown', button: 0 }, { type: 'pointerUp', button: 0 }),
    };
    this.keyboard = { press: (key) => this.press(key) };
  }

  cmd(method, path, body) {
    return webdriver(this.s.base, method, `/session/${this.s.id}${path}`, body);
  }

  // A MiniBrowser of the colour scheme (--dark-mode makes pages see a dark system).
  async startSession(scheme) {
    const { base } = await this.drivers.get(scheme);
    const args = ['--automation'];
    if (scheme === 'dark') args.push('--dark-mode');
    const v = await webdriver(base, 'POST', '/session', {
      capabilities: { alwaysMatch: { browserName: 'MiniBrowser', 'webkitgtk:browserOptions': { binary: MINIBROWSER, args } } },
    });
    // With a script timeout, WebKit runs each script with a timer of its own
    // in the page, which the harness would count as the page's; the harness
    // bounds its waits itself.
    await webdriver(base, 'POST', `/session/${v.sessionId}/timeouts`, { script: null });
    return { base, id: v.sessionId };
  }

  async open() {
    this.s = await this.sessions.get(this.scheme);
    this.at = null;
    await this.setViewportSize(this.opts.viewport || { width: 800, height: 600 });
  }

  async to(frameRef) {
    if (this.at === frameRef) return;
    await this.cmd('POST', '/frame', { id: null });
    if (frameRef) await this.cmd('POST', '/frame', { id: frameRef });
    this.at = frameRef;
  }

  // The top document (frameRef null) or a frame's, as evaluate and click reach it.
  docOf(frameRef) {
    return {
      evaluate: async (fn, arg) => {
        await this.to(frameRef);
        const script = typeof fn === 'function' ? `return (${fn}).apply(null, arguments);` : `return (${fn});`;
        return this.cmd('POST', '/execute/sync', { script, args: arg === undefined ? [] : [arg] });
      },
      click: async (selector) => {
        await this.to(frameRef);
        const el = await this.cmd('POST', '/element', { using: 'css selector', value: selector });
        await this.cmd('POST', `/element/${Object.values(el)[0]}/click`, {});
      },
    };
  }

  async goto(url) {
    this.opts.beforeGoto?.();
    await this.cmd('POST', '/url', { url });
    this.at = null;
  }

  actions(list) {
    return this.cmd('POST', '/actions', { actions: list });
  }

  press(key) {
    const value = WD_KEYS[key] || key;
    return this.actions([{ type: 'key', id: 'keyboard', actions: [{ type: 'keyDown', value }, { type: 'keyUp', value }] }]);
  }

  // Sizes the window so that the page gets exactly width by height. The
  // window cannot be narrower than about 447 px: narrower layouts are tested
  // in a frame of their size.
  async setViewportSize({ width, height }) {
    this.opts.viewport = { width, height };
    await this.to(null);
    if (!this.chrome) {
      await this.cmd('POST', '/window/rect', { width, height });
      const [w, h] = await this.evaluate(() => [innerWidth, innerHeight]);
      this.chrome = { w: width - w, h: height - h };
    }
    await this.cmd('POST', '/window/rect', { width: width + this.chrome.w, height: height + this.chrome.h });
    const [w, h] = await this.evaluate(() => [innerWidth, innerHeight]);
    if (w !== width || h !== height) throw new Error(`MiniBrowser gave a ${w} by ${h} page for ${width} by ${height}`);
  }

  async frame(selector) {
    await this.to(null);
    const el = await this.cmd('POST', '/element', { using: 'css selector', value: selector });
    return new Tab(this.opts, this.docOf(el));
  }

  async close() {
    for (const { base, id } of await this.sessions.started()) await webdriver(base, 'DELETE', `/session/${id}`);
    this.drivers.tab = null;
  }
}

// WebKitWebDriver on a private display, one per colour scheme, started when
// first needed. Each runs one session (one MiniBrowser) at a time, so this
// "browser" has one tab at a time.
export async function webkit() {
  const x = await startXvfb();
  const drivers = perScheme(async () => {
    const port = await freePort();
    const drv = child('WebKitWebDriver', [`--port=${port}`, '--host=127.0.0.1'],
      { env: { ...process.env, DISPLAY: x.display }, stdio: 'ignore' });
    const base = `http://127.0.0.1:${port}`;
    let failure;
    for (let i = 0; i < 100; i++) {
      try {
        if ((await webdriver(base, 'GET', '/status')).ready) return { base, drv };
      } catch (e) {
        failure = e;  // not listening yet
      }
      await sleep(100);
    }
    throw new Error('WebKitWebDriver was not ready within 10 s', { cause: failure });
  });
  drivers.tab = null;
  return {
    async newTab(opts) {
      if (drivers.tab) throw new Error('WebKitWebDriver runs one MiniBrowser at a time; close the other tab first');
      const tab = new WebKitTab(drivers, { ...opts });
      drivers.tab = tab;
      await tab.open();
      return tab;
    },
    async close() {
      await drivers.tab?.close().catch(() => {});
      for (const d of await drivers.started()) d.drv.stop();
      x.p.stop();
    },
  };
}
