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
