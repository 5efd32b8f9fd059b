// The capture view: status card, clip button, recording, microphone, meters.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { launch, openPage, fixtures, SETTINGS, STATE, HOTKEY_NAMES, sent, push, reply, ready, waitForRequest, holdReplies, toastText } from "./host.mjs";

let browser;
before(async () => (browser = await launch()));
after(() => browser.close());

const card = (page) => page.evaluate(() => ({
  dot: document.querySelector("#statusDot").className,
  title: document.querySelector("#statusTitle").textContent,
  sub: document.querySelector("#statusSub").textContent,
  clip: !document.querySelector("#clipBtn").disabled,
  clipSub: document.querySelector("#clipSub").textContent,
  rec: document.querySelector("#recTitle").textContent,
  recSub: document.querySelector("#recSub").textContent,
  pause: document.querySelector("#pauseBtn").hidden ? null : document.querySelector("#pauseBtn").textContent,
  mic: document.querySelector("#micSub").textContent,
}));

test("the status card, clip button and recording card follow each state", async () => {
  const page = await openPage(browser, { replies: fixtures({ init: { settings: { ...SETTINGS, replaySeconds: 90 } } }) });
  await ready(page);
  const idle = { recording: false, paused: false, recordHns: 0, error: "" };
  const cases = [
    [{ ...idle, replayActive: true, replaySeconds: 41.6 },
      { dot: "dot live", title: "Bereit zum Clippen", sub: "Valorant · 42 von 90 s im Puffer", clip: true, clipSub: "Sichert die letzten 1,5 min", rec: "Aufnahme starten", recSub: "Ganze Session aufnehmen", pause: null, mic: "An" }],
    [{ ...idle, replayActive: false, source: "" },
      { dot: "dot idle", title: "Wartet auf ein Spiel", sub: "Starte ein Spiel – KREL Play erkennt es automatisch", clip: false, clipSub: "Verfügbar, sobald der Videobeweis läuft" }],
    [{ ...idle, replayActive: false, error: "Fenster nicht gefunden" },
      { dot: "dot idle", title: "Keine Quelle", sub: "Fenster nicht gefunden", clip: false }],
    [{ ...idle, replayActive: true, recording: true, recordHns: 3725_4000000, micMuted: true },
      { dot: "dot rec", title: "Aufnahme läuft", rec: "Aufnahme stoppen", recSub: "62:05", pause: "Pausieren", mic: "Stumm" }],
    [{ ...idle, replayActive: true, recording: true, paused: true, recordHns: 9_0000000 },
      { title: "Aufnahme pausiert", recSub: "Pausiert · 0:09", pause: "Fortsetzen" }],
  ];
  for (const [state, want] of cases) {
    await push(page, { ...STATE, ...state });
    const got = await card(page);
    for (const [k, v] of Object.entries(want)) assert.equal(got[k], v, `${JSON.stringify(state)}: ${k}`);
  }
  await page.click("#pauseBtn");
  await waitForRequest(page, "togglePause");
  await page.close();
});

test("the Videobeweis switch takes the new value only after the reply", async () => {
  const page = await openPage(browser);
  await ready(page, { ...STATE, replayActive: false, source: "" });
  await holdReplies(page, "toggleReplay");
  await page.click("#replaySwitch");
  const req = await waitForRequest(page, "toggleReplay");
  assert.equal(await page.getAttribute("#replaySwitch", "aria-checked"), "true");
  assert.equal(await page.locator("#statusTitle").innerText(), "Wartet auf ein Spiel");
  await reply(page, req.id, { ok: true });
  await page.waitForFunction(() => document.querySelector("#replaySwitch").getAttribute("aria-checked") === "false");
  assert.equal(await page.locator("#statusTitle").innerText(), "Videobeweis ist aus");
  await page.close();
});

test("saving a clip toasts and refreshes the recent clips 1500 ms later; key badges skip unbound keys", async () => {
  const page = await openPage(browser, { clock: true, replies: fixtures({ hotkeyNames: { ...HOTKEY_NAMES, hkRecord: "–", hkClip: "Strg+F8" } }) });
  await ready(page);
  assert.equal(await page.locator("#clipBtn .key").innerText(), "Strg+F8");
  assert.equal(await page.locator("#recCard .key").count(), 0);
  assert.equal(await page.locator("#micCard .key").innerText(), "F10");
  const lists = async () => (await sent(page)).filter((m) => m.cmd === "listClips").length;
  await page.waitForFunction(() => window.__host.log.some((t) => t.includes('"listClips"')));
  const before = await lists();
  await page.click("#clipBtn");
  await waitForRequest(page, "saveClip");
  assert.equal(await toastText(page), "Clip wird gespeichert …");
  await page.clock.runFor(1499);
  assert.equal(await lists(), before);
  await page.clock.runFor(1);
  await waitForRequest(page, "listClips", before + 1);
  await page.close();
});

test("the microphone card switches a disabled microphone on instead of muting", async () => {
  const page = await openPage(browser, { replies: fixtures({ init: { settings: { ...SETTINGS, micEnabled: false } } }) });
  await ready(page);
  assert.equal(await page.locator("#micSub").innerText(), "Aus – zum Einschalten tippen");
  await page.click("#micCard .tile-main");
  const req = await waitForRequest(page, "setSettings");
  assert.deepEqual(req.settings, { micEnabled: true });
  await page.waitForFunction(() => document.querySelector("#micSub").textContent === "An");
  await page.click("#micCard .tile-main");
  await waitForRequest(page, "toggleMic");
  await page.waitForFunction(() => document.querySelector("#micSub").textContent === "Stumm");
  assert.equal((await sent(page)).filter((m) => m.cmd === "setSettings").length, 1);
  await page.close();
});

test("details and audio meters follow the state", async () => {
  const page = await openPage(browser, { replies: fixtures({ init: { settings: SETTINGS, page: "audio" } }) });
  await ready(page);
  await push(page, { ...STATE, gamePeak: 0.5, micPeak: 3.2 });
  const widths = () => page.evaluate(() => [document.querySelector("#meterGame").style.width, document.querySelector("#meterMic").style.width]);
  assert.deepEqual(await widths(), ["50%", "100%"]);
  await push(page, { ...STATE, gamePeak: 0, micPeak: 0.25 });
  assert.deepEqual(await widths(), ["0%", "25%"]);

  await page.click(".tab[data-view=capture]");
  await page.click('[data-acc="details"] .acc-head');
  await push(page, { ...STATE, srcW: 2560, srcH: 1440, outW: 1920, outH: 1080, fps: 144, encoder: "", freeBytes: 412_300_000_000, dropped: 0 });
  const details = await page.locator(".details").innerText();
  assert.match(details, /Auflösung\s+2560 × 1440 → 1920 × 1080/);
  assert.match(details, /Bildrate\s+144 FPS/);
  assert.match(details, /Encoder\s+–/);
  assert.match(details, /Freier Speicher\s+412,3 GB/);
  assert.match(details, /Ausgelassene Bilder\s+0/);
  await page.close();
});
