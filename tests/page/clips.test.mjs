// The local clips: sort orders, formats, selection, hostile names, viewer,
// rename and upload.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { launch, openPage, fixtures, SETTINGS, sent, push, reply, ready, waitForRequest, holdReplies, setReply, toastText } from "./host.mjs";

let browser;
before(async () => (browser = await launch()));
after(() => browser.close());

const at = (iso) => Date.parse(iso);
const CLIPS = [
  { file: "Valorant 2025-03-14 14-05-00.mp4", game: "Valorant", size: 5_400_000, modified: at("2025-03-14T13:05:00Z"), favorite: false },
  { file: "aufnahme.MP4", game: "", size: 999, modified: at("2025-03-13T23:30:00Z"), favorite: false },
  { file: "Elden Ring 2025-02-03 09-07-00.mp4", game: "Elden Ring", size: 2_600_000_000, modified: at("2025-02-03T08:07:00Z"), favorite: true },
  { file: "apex 2025-03-10 20-00-00.mp4", game: "apex", size: 0, modified: at("2025-03-10T19:00:00Z"), favorite: false },
];
const LIST = { clips: CLIPS, bytes: 1_549_000_000, base: "krel-clip://clips/" };

async function clipsView(opts = {}) {
  const page = await openPage(browser, { clock: opts.clock, replies: fixtures({ init: { settings: SETTINGS, page: "clips" }, listClips: LIST, ...opts.replies }) });
  await ready(page);
  await page.locator(".clip-row").first().waitFor();
  return page;
}
const rows = (page) => page.locator("#clipList .clip-name").allInnerTexts();

test("sort orders, counts, dates and sizes", async () => {
  const page = await clipsView({ clock: true });
  assert.equal(await page.locator("#clipCount").innerText(), "4 Clips · 1,5 GB");
  const meta = await page.locator("#clipList .clip-meta").allInnerTexts();
  assert.deepEqual(meta, ["Valorant · Heute, 14:05", "Aufnahme · Heute, 00:30", "apex · 10.03.25, 20:00", "Elden Ring · 03.02.25, 09:07"]);
  assert.deepEqual(await rows(page), ["Valorant 2025-03-14 14-05-00", "aufnahme", "apex 2025-03-10 20-00-00", "Elden Ring 2025-02-03 09-07-00"]);
  const orders = {
    fav: ["Elden Ring 2025-02-03 09-07-00", "Valorant 2025-03-14 14-05-00", "aufnahme", "apex 2025-03-10 20-00-00"],
    game: ["apex 2025-03-10 20-00-00", "Elden Ring 2025-02-03 09-07-00", "Valorant 2025-03-14 14-05-00", "aufnahme"],
    size: ["Elden Ring 2025-02-03 09-07-00", "Valorant 2025-03-14 14-05-00", "aufnahme", "apex 2025-03-10 20-00-00"],
  };
  for (const [sort, want] of Object.entries(orders)) {
    await page.selectOption("select[aria-label=Sortierung]", sort);
    assert.deepEqual(await rows(page), want, sort);
  }
  // The capture view's recent list keeps the order chosen here.
  await page.click(".tab[data-view=capture]");
  await page.locator("#recentList .clip-row").first().waitFor();
  assert.deepEqual(await page.locator("#recentList .clip-name").allInnerTexts(), orders.size.slice(0, 3));

  // Sizes as the viewer shows them, stepping through the list it came from.
  await page.click(".tab[data-view=clips]");
  await page.locator("#clipList .clip-row").first().click();
  const sizes = [];
  for (let i = 0; i < 4; i++) {
    sizes.push((await page.locator("#viewerSub").innerText()).split(" · ").at(-1));
    await page.keyboard.press("Alt+ArrowRight");
  }
  assert.deepEqual(sizes, ["2,6 GB", "5 MB", "1 KB", "0 MB"]);
  await page.close();
});

test("hostile clip names are text and URL-encoded", async () => {
  const names = ['a"b<img src=x onerror="window.__owned=1">.mp4', "%2e%2e.mp4", "x".repeat(300) + ".mp4", "..\\..\\boot.ini.mp4"];
  const page = await clipsView({ replies: { listClips: { ...LIST, clips: names.map((file, i) => ({ file, game: "<b>g</b>", size: 1, modified: i, favorite: false })) } } });
  assert.deepEqual((await rows(page)).sort(), names.map((n) => n.slice(0, -4)).sort());
  assert.equal(await page.locator("#panel img, #panel b").count(), 0);
  await page.locator(".thumb video").nth(3).waitFor({ state: "attached" });
  const srcs = await page.locator(".thumb video").evaluateAll((vs) => vs.map((v) => v.getAttribute("src")));
  assert.deepEqual(srcs.sort(), names.map((n) => "krel-clip://clips/" + encodeURIComponent(n)).sort());
  assert.ok(srcs.includes("krel-clip://clips/%252e%252e.mp4"));
  assert.ok(await page.evaluate(() => document.querySelector("#panel").scrollWidth <= 392));
  await page.locator(".clip-row", { hasText: "%2e%2e" }).locator(".star").click();
  const { file, on } = await waitForRequest(page, "favorite");
  assert.deepEqual([file, on], ["%2e%2e.mp4", true]);
  assert.equal(await page.evaluate(() => window.__owned), undefined);
  await page.close();
});

test("Ctrl+click picks clips; the selection is deleted one after another", async () => {
  const page = await clipsView();
  await page.locator("#clipList .clip-row").nth(0).click({ modifiers: ["Control"] });
  await page.locator("#clipList .clip-row").nth(2).click({ modifiers: ["Control"] });
  await page.locator("#clipList .clip-row").nth(1).click({ modifiers: ["Control"] });
  await page.locator("#clipList .clip-row").nth(1).click({ modifiers: ["Control"] });
  assert.equal(await page.locator("#viewer").isHidden(), true);
  assert.equal(await page.locator("#deleteSelection").innerText(), "Auswahl löschen (2)");
  await setReply(page, "listClips", { ...LIST, clips: [CLIPS[1], CLIPS[2]] });
  await page.click("#deleteSelection");
  await page.waitForFunction(() => document.querySelectorAll("#clipList .clip-row").length === 2);
  const deletes = (await sent(page)).filter((m) => m.cmd === "deleteClip").map((m) => m.file);
  assert.deepEqual(deletes, [CLIPS[0].file, CLIPS[3].file]);
  assert.equal(await page.locator("#deleteSelection").count(), 0);
  await page.close();
});

test("viewer: stepping, keys, and deleting down to no clip", async () => {
  const page = await clipsView();
  await page.evaluate(() => {
    window.__plays = 0;
    HTMLMediaElement.prototype.play = function () {
      if (this.id === "viewerVideo") window.__plays++;
      return Promise.resolve();
    };
  });
  await page.locator("#clipList .clip-row").nth(2).click();
  assert.equal(await page.locator("#viewerTitle").innerText(), "apex 2025-03-10 20-00-00");
  assert.equal(await page.evaluate(() => document.body.classList.contains("viewing")), true);
  await page.keyboard.press("Alt+ArrowRight");
  assert.equal(await page.locator("#viewerTitle").innerText(), "Elden Ring 2025-02-03 09-07-00");
  assert.equal(await page.locator("#viewerNext").isDisabled(), true);
  await page.keyboard.press("Alt+ArrowRight");
  assert.equal(await page.locator("#viewerVideo").getAttribute("src"), "krel-clip://clips/Elden%20Ring%202025-02-03%2009-07-00.mp4");
  const plays = await page.evaluate(() => window.__plays);
  await page.keyboard.press("Space");
  assert.equal(await page.evaluate(() => window.__plays), plays + 1);

  // Deleting the last clip shows the one before; the only one left closes the viewer.
  await page.click("text=Löschen (Papierkorb)");
  await page.waitForFunction(() => document.querySelector("#viewerTitle").textContent === "apex 2025-03-10 20-00-00");
  for (const name of ["aufnahme", "Valorant 2025-03-14 14-05-00"]) {
    await page.click("text=Löschen (Papierkorb)");
    await page.waitForFunction((n) => document.querySelector("#viewerTitle").textContent === n, name);
  }
  assert.equal(await page.locator("#viewerPrev").isDisabled(), true);
  await page.click("text=Löschen (Papierkorb)");
  await page.locator("#viewer").waitFor({ state: "hidden" });
  const deleted = (await sent(page)).filter((m) => m.cmd === "deleteClip").map((m) => m.file);
  assert.deepEqual(deleted, [CLIPS[2].file, CLIPS[3].file, CLIPS[1].file, CLIPS[0].file]);

  // Escape closes the viewer before the overlay.
  await page.locator("#clipList .clip-row").first().click();
  await page.keyboard.press("Escape");
  assert.equal(await page.locator("#viewer").isHidden(), true);
  assert.equal((await sent(page)).some((m) => m.cmd === "close"), false);
  await page.close();
});

test("rename: Escape cancels, Enter saves, an error keeps the field", async () => {
  const page = await clipsView();
  await page.locator("#clipList .clip-row").first().click();
  await page.click("text=Umbenennen");
  await page.fill("#renameInput", "Verworfen");
  await page.press("#renameInput", "Escape");
  assert.equal(await page.locator("#viewer").isVisible(), true);
  assert.equal(await page.locator("#viewerTitle").innerText(), "Valorant 2025-03-14 14-05-00");

  await setReply(page, "renameClip", { error: "Name ist schon vergeben" });
  await page.click("text=Umbenennen");
  await page.fill("#renameInput", "aufnahme");
  await page.press("#renameInput", "Enter");
  await page.waitForFunction(() => document.querySelector("#toast").textContent === "Name ist schon vergeben");
  assert.equal(await page.locator("#renameInput").isVisible(), true);

  await setReply(page, "renameClip", { ok: true });
  await page.fill("#renameInput", "Ace mit <Deagle>");
  await page.press("#renameInput", "Enter");
  await page.waitForFunction(() => !document.querySelector("#renameInput"));
  const req = (await sent(page)).filter((m) => m.cmd === "renameClip").at(-1);
  assert.deepEqual([req.file, req.name], ["Valorant 2025-03-14 14-05-00.mp4", "Ace mit <Deagle>"]);
  assert.equal(await page.locator("#viewerTitle").innerText(), "Ace mit <Deagle>");
  assert.equal(await page.locator("#viewerVideo").getAttribute("src"), "krel-clip://clips/Ace%20mit%20%3CDeagle%3E.mp4");
  assert.equal((await sent(page)).filter((m) => m.cmd === "renameClip").length, 2);
  await page.close();
});

test("upload: progress on the button and in the list, one at a time", async () => {
  const page = await clipsView();
  await holdReplies(page, "cloudUpload");
  await page.locator("#clipList .clip-row").first().click();
  await page.click("#viewerUpload");
  const req = await waitForRequest(page, "cloudUpload");
  assert.deepEqual([req.file, req.game], [CLIPS[0].file, "Valorant"]);
  assert.equal(await toastText(page), "Wird in die Cloud hochgeladen …");
  await push(page, { type: "upload", file: CLIPS[0].file, pct: 42 });
  assert.equal(await page.locator("#viewerUpload").innerText(), "Lädt hoch … 42 %");
  assert.equal(await page.locator("#viewerUpload").isDisabled(), true);
  assert.equal(await page.locator(".uploads-line").innerText(), "Lädt hoch: Valorant 2025-03-14 14-05-00 42 %");
  await page.locator("#viewerUpload").click({ force: true });
  assert.equal((await sent(page)).filter((m) => m.cmd === "cloudUpload").length, 1);
  await reply(page, req.id, { id: "c9" });
  await page.waitForFunction(() => document.querySelector("#toast").textContent === "In die Cloud hochgeladen");
  assert.equal(await page.locator("#viewerUpload").innerText(), "In die Cloud");
  assert.equal(await page.locator(".uploads-line").isHidden(), true);
  await page.close();
});
