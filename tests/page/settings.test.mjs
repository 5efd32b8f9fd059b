// Settings: hotkeys, custom values, uninstall, updates.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { launch, openPage, fixtures, SETTINGS, HOTKEY_NAMES, sent, push, reply, ready, waitForRequest, holdReplies, setReply, toastText } from "./host.mjs";

let browser;
before(async () => (browser = await launch()));
after(() => browser.close());

async function screen(name, { replies = {}, clock = false, settings = SETTINGS } = {}) {
  const page = await openPage(browser, { clock, replies: fixtures({ init: { settings, page: name }, ...replies }) });
  await ready(page);
  return page;
}
const saves = async (page) => (await sent(page)).filter((m) => m.cmd === "setSettings").map((m) => m.settings);

test("hotkey recording: modifiers wait, Escape cancels, Delete unbinds, conflicts are toasted", async () => {
  const page = await screen("hotkeys", { replies: { hotkeyNames: { ...HOTKEY_NAMES, conflicts: ["F9"] } } });
  assert.equal(await page.locator("#hotkeyConflicts").innerText(), "Von einem anderen Programm belegt: F9");
  const clip = page.locator('.keycap[data-key="hkClip"]');
  await clip.click();
  assert.equal(await clip.innerText(), "Taste drücken …");
  await page.keyboard.down("Shift");
  await page.keyboard.up("Shift");
  assert.equal(await clip.innerText(), "Taste drücken …");
  await page.keyboard.press("Escape");
  assert.equal(await clip.innerText(), "F8");
  assert.deepEqual(await saves(page), []);
  assert.equal((await sent(page)).some((m) => m.cmd === "close"), false);

  await setReply(page, "setSettings", { conflicts: ["Strg+Umschalt+K"] });
  await setReply(page, "hotkeyNames", { ...HOTKEY_NAMES, hkClip: "Strg+Umschalt+K", conflicts: ["Strg+Umschalt+K"] });
  await clip.click();
  await page.keyboard.press("Control+Shift+KeyK");
  await page.waitForFunction(() => document.querySelector('.keycap[data-key="hkClip"]').textContent === "Strg+Umschalt+K");
  assert.equal(await toastText(page), "Hotkey belegt durch ein anderes Programm: Strg+Umschalt+K");

  await setReply(page, "setSettings", { conflicts: [] });
  await page.locator('.keycap[data-key="hkMic"]').click();
  await page.keyboard.press("Delete");
  await page.locator('.keycap[data-key="hkOverlay"]').click();
  await page.keyboard.press("Alt+Meta+F5");
  await waitForRequest(page, "setSettings", 3);
  assert.deepEqual(await saves(page), [{ hkClip: { mods: 6, vk: 75 } }, { hkMic: { mods: 0, vk: 0 } }, { hkOverlay: { mods: 9, vk: 116 } }]);
  await page.close();
});

test("custom replay length: below 5 s ignored, 4000 s stored as 1800", async () => {
  const page = await screen("replay");
  await page.selectOption("select[aria-label=Länge]", "90");
  await page.selectOption("select[aria-label=Länge]", "custom");
  await page.keyboard.type("4");
  await page.keyboard.press("Enter");
  assert.equal(await page.locator(".custom-field .text.invalid").count(), 1);
  await page.fill(".custom-field .text", "4000");
  await page.keyboard.press("Enter");
  await waitForRequest(page, "setSettings", 2);
  assert.deepEqual(await saves(page), [{ replaySeconds: 90 }, { replaySeconds: 1800 }]);
  assert.equal(await page.locator("select[aria-label=Länge] option:checked").innerText(), "30 min");
  await page.close();
});

test("source and quality: custom resolution, unsupported codec, bitrate, folder", async () => {
  const page = await screen("recording", { replies: { chooseFolder: { folder: "/mnt/spiele/clips" } } });
  await page.locator("select[aria-label=Codec]").waitFor();
  assert.equal(await page.locator('select[aria-label=Codec] option[value="av1"]').innerText(), "AV1 (nicht unterstützt)");
  assert.equal(await page.locator('select[aria-label=Codec] option[value="av1"]').isDisabled(), true);
  for (const input of ["2560 × 1080", "abc", "1921x1081"]) {
    await page.selectOption("select[aria-label=Auflösung]", "custom");
    await page.fill(".custom-field .text", input);
    await page.keyboard.press("Enter");
  }
  await page.locator("input[aria-label=Bitrate]").fill("40");
  await page.click("text=Ändern …");
  await waitForRequest(page, "setSettings", 4);
  assert.deepEqual(await saves(page), [
    { outWidth: 2560, outHeight: 1080 }, { outWidth: 1920, outHeight: 1080 }, { bitrateKbps: 40000 }, { clipDir: "/mnt/spiele/clips" },
  ]);
  assert.equal(await page.locator("select[aria-label=Auflösung] option:checked").innerText(), "1920 × 1080");
  await page.close();
});

test("uninstall asks twice within 4000 ms", async () => {
  const page = await screen("general", { clock: true });
  await page.click("text=Erweitert");
  await page.click("#uninstallBtn");
  assert.equal(await page.locator("#uninstallBtn").innerText(), "Wirklich deinstallieren?");
  await page.clock.runFor(4000);
  assert.equal(await page.locator("#uninstallBtn").innerText(), "Deinstallieren");
  await page.click("#uninstallBtn");
  await page.clock.runFor(3900);
  assert.equal((await sent(page)).some((m) => m.cmd === "uninstall"), false);
  await page.click("#uninstallBtn");
  await waitForRequest(page, "uninstall");
  await page.clock.runFor(5000);
  await page.locator("#uninstallBtn").click({ force: true });
  assert.equal((await sent(page)).filter((m) => m.cmd === "uninstall").length, 1);
  await page.close();
});

test("updates: the chip installs, a failure offers a retry; the check reports", async () => {
  const page = await screen("general", { replies: { init: { settings: SETTINGS, page: "general", update: { type: "update", version: "0.1.8", checked: true } } } });
  assert.equal(await page.locator("#updateChip").innerText(), "Update 0.1.8");
  assert.equal(await page.locator("#updateStatus").innerText(), "Neue Version 0.1.8 verfügbar");
  await page.click("#updateChip");
  await waitForRequest(page, "installUpdate");
  assert.equal(await page.locator("#updateChip").innerText(), "Wird geladen …");
  await push(page, { type: "toast", text: "Update fehlgeschlagen: Prüfsumme stimmt nicht" });
  assert.equal(await page.locator("#updateChip").innerText(), "Erneut versuchen");
  assert.equal(await toastText(page), "Update fehlgeschlagen: Prüfsumme stimmt nicht");

  await push(page, { type: "update", version: "", checked: true });
  assert.equal(await page.locator("#updateChip").isHidden(), true);
  assert.equal(await page.locator("#updateStatus").innerText(), "Du hast die neueste Version.");
  await holdReplies(page, "checkUpdate");
  await page.click("#checkUpdate");
  const req = await waitForRequest(page, "checkUpdate");
  assert.equal(await page.locator("#checkUpdate").innerText(), "Suche …");
  await reply(page, req.id, { version: "", error: "Keine Verbindung zu play.krel.de" });
  await page.waitForFunction(() => document.querySelector("#checkUpdate").textContent === "Nach Updates suchen");
  assert.equal(await toastText(page), "Keine Verbindung zu play.krel.de");
  await page.click("#checkUpdate");
  const again = await waitForRequest(page, "checkUpdate", 2);
  await reply(page, again.id, { version: "0.2.0" });
  await page.waitForFunction(() => document.querySelector("#updateChip").textContent === "Update 0.2.0");
  assert.equal(await page.locator("#updateStatus").innerText(), "Neue Version 0.2.0 verfügbar");
  await page.close();
});
