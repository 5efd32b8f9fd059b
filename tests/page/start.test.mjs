// Start sequence, routing, the bridge and the fade.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { launch, openPage, fixtures, SETTINGS, STATE, sent, push, reply, shown, ready, waitForRequest, setReply, toastText } from "./host.mjs";

let browser;
before(async () => (browser = await launch()));
after(() => browser.close());

const CLIPS = {
  clips: [
    { file: "Alt 2025-03-01 10-00-00.mp4", game: "Alt", size: 1e6, modified: Date.parse("2025-03-01T09:00:00Z"), favorite: true },
    { file: "Neu 2025-03-14 18-00-00.mp4", game: "Neu", size: 2e6, modified: Date.parse("2025-03-14T17:00:00Z"), favorite: false },
  ],
  bytes: 3e6,
  base: "krel-clip://clips/",
};

test("start: init, hotkey names, first screen, then the shown notice", async () => {
  const routes = [
    ["bogus", { view: "capture" }],
    ["gallery", { view: "clips", tab: "local" }],
    ["cloud", { view: "clips", tab: "cloud" }],
    ["menu", { view: "settings", sub: "" }],
    ["recording", { view: "settings", sub: "recording" }],
  ];
  for (const [name, want] of routes) {
    const page = await openPage(browser, { replies: fixtures({ init: { settings: SETTINGS, page: name } }) });
    await shown(page);
    const log = await page.evaluate(() => window.__host.log);
    assert.deepEqual(log.slice(0, 3).map((t) => JSON.parse(t)), [{ id: 1, cmd: "init" }, { id: 2, cmd: "hotkeyNames" }, { cmd: "shown" }], name);
    assert.equal(log[2], '{"cmd":"shown"}');
    const body = await page.evaluate(() => ({ ...document.body.dataset }));
    for (const [k, v] of Object.entries(want)) assert.equal(body[k], v, `${name}: ${k}`);
    if (name === "recording") assert.equal(await page.locator('[data-acc="encoder"] .acc-head').getAttribute("aria-expanded"), "true");
    await page.close();
  }

  // "player" opens the newest clip in the viewer.
  const player = await openPage(browser, { replies: fixtures({ init: { settings: SETTINGS, page: "player" }, listClips: CLIPS }) });
  await player.locator("#viewer").waitFor();
  assert.equal(await player.locator("#viewerVideo").getAttribute("src"), "krel-clip://clips/Neu%202025-03-14%2018-00-00.mp4");
  await player.close();
});

test("without revealed and slid the page goes on by itself after 2000 ms", async () => {
  const page = await openPage(browser, { replies: fixtures({ listClips: CLIPS }), clock: true });
  await shown(page);
  await page.locator(".clip-row").first().waitFor();
  assert.equal(await page.locator(".thumb video").count(), 0, "thumbnails wait for the slide");
  assert.equal(await page.evaluate(() => getComputedStyle(document.querySelector("#backdrop")).opacity), "0.01");
  await page.clock.runFor(1999);
  assert.equal(await page.evaluate(() => document.body.classList.contains("in")), false);
  await page.clock.runFor(1);
  await page.locator(".thumb video").first().waitFor({ state: "attached" });
  assert.equal(await page.evaluate(() => document.body.classList.contains("in")), true);
  await page.close();
});

test("messages before the page is ready, junk, and the fade", async () => {
  const page = await openPage(browser, { replies: fixtures({ listClips: CLIPS }), hold: ["init"] });
  await waitForRequest(page, "init");
  // Everything arrives before the settings do.
  await push(page, { ...STATE, replayActive: true, source: "Frühstart" });
  await push(page, { type: "toast", text: "Clip gespeichert: früh.mp4" });
  await push(page, { type: "revealed" });
  await push(page, { type: "slid" });
  await page.evaluate(() => {
    window.krelReceive("kein JSON");
    window.krelReceive(42);
    window.krelReceive({ type: "unbekannt" });
    window.krelReceive({ id: 999, result: {} });
    window.krelReceive({ type: "toast", text: 7 });
  });
  await reply(page, 1, { settings: SETTINGS });
  await shown(page);
  assert.equal(await page.locator("#statusTitle").innerText(), "Bereit zum Clippen");
  assert.match(await page.locator("#statusSub").innerText(), /^Frühstart · 42 von 60 s im Puffer$/);
  assert.equal(await toastText(page), "Clip gespeichert: früh.mp4");
  await page.locator(".thumb video").first().waitFor({ state: "attached" });
  assert.equal(await page.evaluate(() => document.body.classList.contains("in")), true);

  // Escape asks to close; "hide" fades out once and further closing stops.
  await page.keyboard.press("Escape");
  const close = await waitForRequest(page, "close");
  assert.deepEqual(Object.keys(close), ["id", "cmd"]);
  await push(page, { type: "hide" });
  await page.keyboard.press("Escape");
  await page.click("#closeBtn");
  assert.equal((await sent(page)).filter((m) => m.cmd === "close").length, 1);
  assert.equal(await page.evaluate(() => document.body.classList.contains("out")), true);
  assert.deepEqual(page.__errors, []);
  await page.close();
});

test("bridge errors become German toasts, never exceptions", async () => {
  const page = await openPage(browser, { clock: true });
  await ready(page);
  await setReply(page, "saveClip", { error: "Videobeweis ist aus" });
  await page.click("#clipBtn");
  await page.waitForFunction(() => document.querySelector("#toast").textContent === "Videobeweis ist aus");
  // A toast stays 2600 ms; a new one starts the time again.
  await page.clock.runFor(2000);
  await page.evaluate(() => (window.__host.replies.toggleRecord = () => { throw new Error("kaputt"); }));
  await page.click("#recCard .tile-main");
  assert.equal(await toastText(page), "Keine Verbindung zu KREL Play");
  await page.clock.runFor(2599);
  assert.equal(await page.locator("#toast.show").count(), 1);
  await page.clock.runFor(1);
  assert.equal(await page.locator("#toast.show").count(), 0);
  // A reply in the error form without result.
  await page.evaluate(() => (window.__host.replies.toggleMic = undefined));
  await page.evaluate(() => {
    window.webkit.messageHandlers.krel.postMessage = (t) => {
      const m = JSON.parse(t);
      queueMicrotask(() => window.krelReceive({ id: m.id, error: "Befehl fehlgeschlagen" }));
    };
  });
  await page.click("#micCard .tile-main");
  assert.equal(await toastText(page), "Befehl fehlgeschlagen");
  assert.deepEqual(page.__errors, []);
  await page.close();
});
