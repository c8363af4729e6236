// Themes (stored choice, URL parameter, system preference, the toggle), the
// hard-drop button's colours, the two breakpoints, and a browser whose
// storage refuses access.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as H from './harness.mjs';

let server, page;
H.useBrowser((s) => ({ server, page } = s));

const DARK = { bg: 'rgb(8, 8, 11)', text: 'rgb(244, 244, 247)', panel: 'rgba(22, 22, 28, 0.72)', solid: 'rgb(22, 22, 28)', muted: 'rgb(155, 155, 166)', line: 'rgba(255, 255, 255, 0.11)' };
const LIGHT = { bg: 'rgb(236, 238, 243)', text: 'rgb(20, 20, 26)', panel: 'rgba(255, 255, 255, 0.78)', solid: 'rgb(255, 255, 255)', muted: 'rgb(95, 95, 107)', line: 'rgba(0, 0, 0, 0.1)' };
const HI_DARK = { color: 'rgb(93, 176, 255)', fill: 'rgba(10, 132, 255, 0.18)', border: 'rgba(10, 132, 255, 0.45)' };
const HI_FORCED_LIGHT = { color: 'rgb(0, 113, 227)', fill: 'rgba(10, 132, 255, 0.18)', border: 'rgba(10, 132, 255, 0.45)' };
const HI_LIGHT = { color: 'rgb(0, 113, 227)', fill: 'rgba(0, 113, 227, 0.14)', border: 'rgba(0, 113, 227, 0.42)' };

async function look(p) {
  return p.evaluate(() => {
    const cs = (id) => getComputedStyle(document.getElementById(id));
    const html = document.documentElement;
    const card = getComputedStyle(document.querySelector('.card'));
    const lbl = getComputedStyle(document.querySelector('.lbl'));
    const drop = cs('bDrop');
    return {
      attr: html.getAttribute('data-theme'),
      caption: document.getElementById('btnTheme').textContent,
      scheme: getComputedStyle(html).colorScheme,
      tokens: {
        bg: getComputedStyle(document.body).backgroundColor,
        text: getComputedStyle(document.body).color,
        panel: card.backgroundColor,
        solid: cs('modal').backgroundColor,
        muted: lbl.color,
        line: card.borderTopColor,
      },
      hi: { color: drop.color, fill: drop.backgroundColor, border: drop.borderTopColor },
      stored: localStorage.getItem('hv_pentra_theme'),
    };
  });
}

async function openWith(scheme, storage, path) {
  await page.emulateMedia({ colorScheme: scheme });
  await H.loadFresh(page, server, path, storage);
  return look(page);
}

test('the theme at load: stored choice first, then the URL parameter; invalid names force nothing', H.LIMIT, async () => {
  // Grouped by system scheme: Firefox and WebKit change it by moving the tab
  // to another browser.
  const cases = [
    ['dark', { hv_pentra_theme: 'light' }, '/plugin_pentra_3d?theme=dark', 'light', LIGHT, HI_FORCED_LIGHT, 'light'],
    ['dark', { hv_pentra_theme: 'blue' }, '/plugin_pentra_3d?theme=light', null, DARK, HI_DARK, 'blue'],
    ['dark', {}, '/plugin_pentra_3d?theme=Light', null, DARK, HI_DARK, null],
    ['dark', { hv_pentra_theme: '' }, '/plugin_pentra_3d?theme=light', 'light', LIGHT, HI_FORCED_LIGHT, ''],
    ['dark', {}, '/plugin_pentra_3d', null, DARK, HI_DARK, null],
    ['light', {}, '/plugin_pentra_3d?theme=dark', 'dark', DARK, HI_DARK, null],
    ['light', { hv_pentra_theme: 'blue' }, '/plugin_pentra_3d?theme=dark', null, LIGHT, HI_LIGHT, 'blue'],
    ['light', {}, '/plugin_pentra_3d?theme=DARK', null, LIGHT, HI_LIGHT, null],
    ['light', { hv_pentra_theme: 'light' }, '/plugin_pentra_3d', 'light', LIGHT, HI_LIGHT, 'light'],
    ['light', { hv_pentra_theme: 'dark' }, '/plugin_pentra_3d', 'dark', DARK, HI_DARK, 'dark'],
  ];
  for (const [scheme, storage, path, attr, tokens, hi, stored] of cases) {
    const why = `${scheme} system, stored ${JSON.stringify(storage)}, ${path}`;
    const l = await openWith(scheme, storage, path);
    assert.equal(l.attr, attr, `${why}: forced theme`);
    assert.equal(l.caption, attr === 'light' ? 'Dark' : 'Light', `${why}: caption`);
    assert.equal(l.scheme, 'dark light', `${why}: color-scheme`);
    assert.deepEqual(l.tokens, tokens, `${why}: colours`);
    assert.deepEqual(l.hi, hi, `${why}: hard-drop colours`);
    assert.equal(l.stored, stored, `${why}: storage untouched`);
  }
});

test('the toggle: from the system preference or the forced theme to the other one, stored, kept across reloads', H.LIMIT, async () => {
  const toggle = () => page.click('#btnTheme').then(() => look(page));
  let l = await openWith('light', {}, '/plugin_pentra_3d');
  assert.deepEqual([l.attr, l.caption, l.tokens], [null, 'Light', LIGHT]);
  l = await toggle();
  assert.deepEqual([l.attr, l.caption, l.stored, l.tokens, l.hi], ['dark', 'Light', 'dark', DARK, HI_DARK], 'light system: first click forces dark');
  l = await toggle();
  assert.deepEqual([l.attr, l.caption, l.stored, l.tokens, l.hi], ['light', 'Dark', 'light', LIGHT, HI_LIGHT]);

  await openWith('dark', {}, '/plugin_pentra_3d?theme=light');
  l = await toggle();
  assert.deepEqual([l.attr, l.stored], ['dark', 'dark'], 'from the URL\'s light to dark');
  await page.emulateMedia({ colorScheme: 'light' });
  await H.load(page, server, '/plugin_pentra_3d?theme=light');
  l = await look(page);
  assert.deepEqual([l.attr, l.caption, l.tokens, l.hi], ['dark', 'Light', DARK, HI_DARK], 'stored dark wins after a reload');

  await openWith('dark', {}, '/plugin_pentra_3d');
  l = await toggle();
  assert.deepEqual([l.attr, l.caption, l.stored, l.tokens, l.hi], ['light', 'Dark', 'light', LIGHT, HI_FORCED_LIGHT], 'dark system: first click forces light');
});

async function sizes(p) {
  return p.evaluate(() => {
    const cs = (sel) => getComputedStyle(document.querySelector(sel));
    const padding = (s) => [s.paddingTop, s.paddingRight, s.paddingBottom, s.paddingLeft].join(' ');
    const pad = cs('#pad');
    const pbtn = cs('.pbtn');
    const box = (el) => el.getBoundingClientRect();
    return {
      side: box(document.getElementById('side')).width,
      val: cs('#vScore').fontSize,
      sm: cs('#vLines').fontSize,
      mini: box(document.getElementById('cvHold')).height,
      tall: box(document.getElementById('cvNext')).height,
      padGap: [pad.rowGap, pad.columnGap].join(' '),
      padPadding: padding(pad),
      pbtn: `${padding(pbtn)} ${pbtn.fontSize}`,
      mainGap: cs('#main').columnGap,
      mainPadding: padding(cs('#main')),
      topPadding: padding(cs('#top')),
    };
  });
}

test('breakpoints: 420 px wide and 560 px high are the last sizes of the narrow and short layouts', H.LIMIT, async () => {
  const normal = {
    side: 132, val: '19px', sm: '12px', mini: 66, tall: 150, padGap: '6px 6px', padPadding: '0px 10px 10px 10px',
    pbtn: '12px 0px 12px 0px 15px', mainGap: '10px', mainPadding: '0px 10px 10px 10px', topPadding: '8px 10px 8px 10px',
  };
  const narrow = {
    side: 92, val: '15px', sm: '12px', mini: 52, tall: 110, padGap: '5px 5px', padPadding: '0px 8px 8px 8px',
    pbtn: '10px 0px 10px 0px 14px', mainGap: '7px', mainPadding: '0px 8px 8px 8px', topPadding: '7px 8px 7px 8px',
  };
  const short = { ...normal, mini: 44, tall: 84, padPadding: '0px 10px 6px 10px', pbtn: '8px 0px 8px 0px 15px' };
  const both = { ...narrow, mini: 44, tall: 84, padPadding: '0px 8px 6px 8px', pbtn: '8px 0px 8px 0px 14px' };
  await page.emulateMedia({ colorScheme: 'dark' });
  // The page in a frame of each size, since MiniBrowser's window cannot be
  // narrower than about 447 px; a frame's size is its document's viewport.
  const frame = await H.loadFramed(page, server, '/plugin_pentra_3d');
  const cases = [[421, 900, normal], [420, 900, narrow], [900, 561, normal], [900, 560, short], [420, 560, both], [421, 561, normal]];
  for (const [width, height, want] of cases) {
    await H.resizeFrame(page, frame, width, height);
    assert.deepEqual(await sizes(frame), want, `${width} by ${height}`);
  }
  await H.resizeFrame(page, frame, 800, 600);
  const geo = await frame.evaluate(() => {
    const r = (id) => document.getElementById(id).getBoundingClientRect().toJSON();
    return { stage: r('stage'), overlay: r('overlay'), app: r('app'), w: innerWidth, h: innerHeight, scroll: document.scrollingElement.scrollHeight };
  });
  assert.deepEqual([geo.overlay.x, geo.overlay.y, geo.overlay.width, geo.overlay.height],
    [geo.stage.x + 1, geo.stage.y + 1, geo.stage.width - 2, geo.stage.height - 2], 'the dialog layer covers the stage');
  assert.deepEqual([geo.app.width, geo.app.height, geo.scroll], [geo.w, geo.h, geo.h], 'the app fills the window without scrolling');
  await H.noErrors(frame);
});

test('a browser whose storage refuses access: the page boots, plays and toggles its theme', H.LIMIT, async () => {
  // A frame sandboxed without allow-same-origin has an origin of its own that
  // may not store: in every engine, even reading window.localStorage throws.
  server.reset();
  const tp = await H.loadFramed(page, server, '/plugin_pentra_3d?theme=light', { sandbox: 'allow-scripts' });
  assert.equal(await tp.evaluate(() => {
    try {
      return typeof window.localStorage;
    } catch (e) {
      return e.name;
    }
  }), 'SecurityError');
  assert.deepEqual(await H.dialog(tp), H.READY);
  assert.deepEqual(server.requests.at(-1).url, '/plugin_pentra_3d?action=scores');
  await H.play(tp, ['OIJLSTZ'], ['Enter', ' ']);
  assert.equal((await H.hud(tp)).score, '36');
  const theme = () => tp.evaluate(() => [document.documentElement.getAttribute('data-theme'), document.getElementById('btnTheme').textContent]);
  assert.deepEqual(await theme(), ['light', 'Dark']);
  await tp.click('#btnTheme');
  assert.deepEqual(await theme(), ['dark', 'Light']);
  await H.noErrors(tp);
});
