// The page document and its boot: markup, first screen, the one boot request
// and what its reply may change.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import * as H from './harness.mjs';

let server, page;
H.useBrowser((s) => ({ server, page } = s), { fresh: 'server' });

test('the document: ASCII, its head in order, the markup and captions the script addresses, nothing loaded from outside', H.LIMIT, async () => {
  const bytes = H.loadPage();
  assert.ok(bytes.every((b) => b < 0x80), 'ASCII only');
  assert.match(bytes.toString('latin1'), /^<!doctype html>/i);
  await H.load(page, server);
  const doc = JSON.parse(await page.evaluate(() => {
    const ids = (sel) => [...document.querySelectorAll(sel)].map((e) => e.id);
    const text = (id) => document.getElementById(id).textContent;
    return JSON.stringify({
      lang: document.documentElement.lang,
      head: [...document.head.children].map((e) => e.tagName + (e.getAttribute('charset') ? ':' + e.getAttribute('charset') : '') + (e.name ? ':' + e.name + '=' + e.content : '')),
      title: document.title,
      body: [...document.body.children].map((e) => e.tagName + (e.id ? '#' + e.id : '') + (e.src ? ':src' : '')),
      top: ids('#top > *'),
      titleText: text('title'),
      topbtns: [...document.querySelectorAll('#topbtns > button')].map((b) => [b.id, b.className, b.type]),
      restart: text('btnRestart'),
      main: ids('#main > *'),
      stage: ids('#stage > *'),
      modal: ids('#overlay > #modal > *').concat([...document.querySelectorAll('#modal > *')].map((e) => e.tagName)),
      cards: [...document.querySelectorAll('#side > .card')].map((c) => [c.children[0].className, c.children[0].textContent, c.children[1].id, c.children[1].tagName, c.children[1].className, c.children[1].textContent]),
      pad: [...document.querySelectorAll('#pad > *')].map((b) => [b.id, b.tagName, b.type, b.className, b.textContent]),
      external: document.querySelectorAll('link, img, iframe, object, embed, [src], [href]').length,
      buttonsWithoutType: [...document.querySelectorAll('button')].filter((b) => b.getAttribute('type') !== 'button').map((b) => b.id),
    });
  }));
  assert.equal(doc.lang, 'en');
  assert.deepEqual(doc.head, ['META:utf-8', 'META:viewport=width=device-width,initial-scale=1,maximum-scale=1,user-scalable=no', 'TITLE', 'STYLE']);
  assert.equal(doc.title, 'pentra');
  assert.deepEqual(doc.body, ['DIV#app', 'SCRIPT']);
  assert.deepEqual(doc.top, ['title', 'topbtns']);
  assert.equal(doc.titleText, '3D BLOCKS');
  assert.deepEqual(doc.topbtns, [['btnTheme', 'iconbtn', 'button'], ['btnRestart', 'iconbtn', 'button']]);
  assert.equal(doc.restart, 'Restart');
  assert.deepEqual(doc.main, ['stage', 'side']);
  assert.deepEqual(doc.stage, ['cv', 'overlay']);
  assert.deepEqual(doc.modal, ['mTitle', 'mSub', 'mBtn', 'H2', 'P', 'BUTTON']);
  assert.deepEqual(doc.cards, [
    ['lbl', 'Score', 'vScore', 'DIV', 'val', '0'],
    ['lbl', 'Best', 'vBest', 'DIV', 'val', '0'],
    ['lbl', 'Lines / Level', 'vLines', 'DIV', 'val sm', '0 / 1'],
    ['lbl', 'Next', 'cvNext', 'CANVAS', 'mini tall', ''],
    ['lbl', 'Hold', 'cvHold', 'CANVAS', 'mini', ''],
  ]);
  assert.deepEqual(doc.pad.map((b) => [b[0], b[4]]), [
    ['bLeft', 'Left'], ['bRot', 'Rotate'], ['bRight', 'Right'], ['bDown', 'Down'],
    ['bDrop', 'Hard Drop'], ['bHold', 'Hold'], ['bPause', 'Pause'],
  ]);
  for (const b of doc.pad) {
    assert.equal(b[1], 'BUTTON');
    assert.deepEqual(new Set(b[3].split(/\s+/)), new Set(b[0] === 'bDrop' ? ['pbtn', 'wide', 'hi'] : ['pbtn']), `${b[0]} classes`);
  }
  assert.equal(doc.external, 0);
  assert.deepEqual(doc.buttonsWithoutType, []);
});

test('boot: HUD 0, 0, "0 / 1", the READY dialog, blank previews and one request for the scores', H.LIMIT, async () => {
  await H.loadFresh(page, server);
  assert.deepEqual(await H.hud(page), { score: '0', best: '0', lines: '0 / 1' });
  assert.deepEqual(await H.dialog(page), H.READY);
  const previews = await page.evaluate(() => ['cvNext', 'cvHold'].map((id) => {
    const c = document.getElementById(id);
    const px = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    return { w: c.width, h: c.height, blank: px.every((v) => v === 0) };
  }));
  assert.deepEqual(previews[0], { w: 300, h: 150, blank: true }, 'next preview untouched before the first game');
  assert.equal(previews[1].blank, true, 'hold preview blank');
  assert.notDeepEqual([previews[1].w, previews[1].h], [300, 150], 'hold preview sized by the boot');

  assert.equal(server.requests.length, 1);
  const r = server.requests[0];
  assert.deepEqual([r.method, r.url], ['GET', '/plugin_pentra_3d?action=scores']);
  assert.equal(r.headers['x-bot-password'], undefined);
  // Some frames and a game later, still nothing else has been requested.
  await H.frames(page, 5, 16);
  await H.keys(page, ['Enter', ' ', ' ']);
  await H.frames(page, 5, 16);
  assert.equal(server.requests.length, 1);
  // Nor anywhere else, as the browser saw it (WebKit's WebDriver cannot say).
  if (page.__requests) assert.deepEqual(page.__requests, [server.url('/plugin_pentra_3d'), server.url('/plugin_pentra_3d?action=scores')]);
});

test('boot reply: a numeric highscore sets Best; a refusal, a text highscore, a non-JSON body or a broken connection change nothing', H.LIMIT, async () => {
  server.reply = () => H.scoresReply(4321, [4321, 12]);
  await H.load(page, server);
  assert.equal((await H.hud(page)).best, '4321');
  assert.ok(await page.evaluate(() => window.__hudMutations) > 0, 'the reply refreshed the HUD');
  await H.noErrors(page);

  const unchanged = [
    ['refusal', () => H.REFUSAL],
    ['text highscore', () => ({ body: '{"ok":true,"highscore":"99","scores":[99]}\n' })],
    ['non-JSON body', () => ({ status: 500, type: 'text/html', body: '<html>busy</html>' })],
    ['JSON that is not an object', () => ({ body: '[5]\n' })],
    ['JSON null', () => ({ body: 'null\n' })],
    ['broken connection', () => ({ destroy: true })],
  ];
  for (const [why, reply] of unchanged) {
    server.reply = reply;
    await H.load(page, server);
    assert.equal((await H.hud(page)).best, '0', why);
    assert.equal(await page.evaluate(() => window.__hudMutations), 0, `${why}: HUD not touched`);
    await H.noErrors(page, why);
  }
});
