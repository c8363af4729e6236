// How every suite and the benchmark start a browser: Debian's Chromium through Playwright
// and Debian's Firefox ESR through Puppeteer over WebDriver BiDi, neither downloading
// anything. WebKit, which needs a driver and a display of its own, is in engines.mjs.
import { chromium } from 'playwright-core';
import puppeteer from 'puppeteer-core';

// Headless, software rendering, and none of Chromium's own traffic: without the flags that
// stop background networking it keeps trying to reach hosts this machine cannot reach.
const CHROMIUM_ARGS = ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic',
  '--no-first-run', '--disable-background-networking', '--disable-component-update',
  '--disable-sync'];

export function launchChromium() {
  return chromium.launch({ executablePath: '/usr/bin/chromium', args: CHROMIUM_ARGS });
}

// Headless Firefox; `scheme` ('dark' or 'light'), when given, is the system colour scheme
// its pages see: a running Firefox cannot switch it.
export function launchFirefox(scheme) {
  return puppeteer.launch({
    browser: 'firefox',
    executablePath: '/usr/bin/firefox-esr',
    headless: true,
    // 0 makes pages see a dark system, 1 a light one.
    extraPrefsFirefox: scheme ? { 'layout.css.prefers-color-scheme.content-override': scheme === 'dark' ? 0 : 1 } : {},
  });
}

// A browser behind one shape for the benchmark: open(size) gives a fresh tab ({ page,
// close }) of size.width by size.height CSS pixels at pixel ratio size.ratio, close() ends
// the browser. Playwright's and Puppeteer's pages share goto, evaluate with one argument,
// addStyleTag, keyboard.press and on('pageerror').
export async function chromiumTabs() {
  const browser = await launchChromium();
  return {
    name: 'Chromium',
    version: browser.version(),
    async open(size) {
      const ctx = await browser.newContext({ viewport: { width: size.width, height: size.height },
        deviceScaleFactor: size.ratio, colorScheme: 'dark' });
      return { page: await ctx.newPage(), close: () => ctx.close() };
    },
    close: () => browser.close(),
  };
}

export async function firefoxTabs() {
  const browser = await launchFirefox();
  return {
    name: 'Firefox',
    version: (await browser.version()).replace(/^firefox\//, ''),
    async open(size) {
      const ctx = await browser.createBrowserContext();
      const page = await ctx.newPage();
      await page.setViewport({ width: size.width, height: size.height, deviceScaleFactor: size.ratio });
      return { page, close: () => ctx.close() };
    },
    close: () => browser.close(),
  };
}
