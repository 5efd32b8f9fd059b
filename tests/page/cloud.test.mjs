// The KREL-Konto screen and the cloud tab with its viewer.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { launch, openPage, fixtures, SETTINGS, sent, reply, ready, waitForRequest, holdReplies, setReply, toastText } from "./host.mjs";

let browser;
before(async () => (browser = await launch()));
after(() => browser.close());

const GiB = 1024 ** 3, MiB = 1024 ** 2;
const SIGNED_IN = { signedIn: true, email: "mara@example.de" };
const CLOUD = {
  used: 6 * GiB,
  quota: 5 * GiB,
  clips: [
    { id: "a1", name: "Ace auf Ascent.mp4", game: "Valorant", createdAt: "2025-03-14T14:01:00Z", size: 84.4 * MiB, durationMs: 92000, shareUrl: "https://play.krel.de/v/a1", views: 128 },
    { id: "b2", name: "<i>Malenia</i>", game: "", createdAt: Date.parse("2025-03-04T08:00:00Z"), size: 2 * GiB, durationMs: 0, views: 0 },
    { id: "c3", name: "kurz", game: "Apex", createdAt: "2025-03-14T18:00:00Z", size: 500, durationMs: 5000 },
  ],
};

async function cloudTab(replies, hold = []) {
  const page = await openPage(browser, { hold, clock: true, replies: fixtures({ init: { settings: SETTINGS, page: "cloud" }, ...replies }) });
  await ready(page);
  return page;
}

test("signed out, the cloud tab invites to sign in; the form signs in", async () => {
  const page = await cloudTab({ signIn: { error: "E-Mail oder Passwort falsch" } });
  const invite = await page.locator(".invite").innerText();
  assert.match(invite, /Clips teilen mit KREL Play Cloud/);
  assert.match(invite, /Lade Clips hoch, sieh sie im Browser an und teile sie per Link\./);
  await page.click(".invite >> text=Anmelden");
  assert.equal(await page.evaluate(() => document.body.dataset.sub), "account");

  await page.fill("#signInEmail", "mara@example.de");
  await page.fill("#signInPassword", "geheim");
  await holdReplies(page, "signIn");
  await page.press("#signInPassword", "Enter");
  const first = await waitForRequest(page, "signIn");
  assert.deepEqual([first.email, first.password], ["mara@example.de", "geheim"]);
  assert.equal(await page.locator("#signInBtn").innerText(), "Melde an …");
  assert.equal(await page.locator("#signInBtn").isDisabled(), true);
  await reply(page, first.id, { error: "E-Mail oder Passwort falsch" });
  await page.locator("#signInError").waitFor();
  assert.equal(await page.locator("#signInError").innerText(), "E-Mail oder Passwort falsch");
  assert.equal(await page.inputValue("#signInPassword"), "");
  assert.equal(await page.inputValue("#signInEmail"), "mara@example.de");

  await page.click("text=Kostenlos registrieren");
  assert.equal((await waitForRequest(page, "openUrl")).url, "https://play.krel.de/app#registrieren");

  await page.fill("#signInPassword", "richtig");
  await page.press("#signInPassword", "Enter");
  const second = await waitForRequest(page, "signIn", 2);
  await setReply(page, "account", SIGNED_IN);
  await reply(page, second.id, { ok: true });
  await page.locator("#accountEmail").waitFor();
  assert.equal(await page.locator("#accountEmail").innerText(), "mara@example.de");
  await page.click("text=Abmelden");
  await waitForRequest(page, "signOut");
  await page.close();
});

test("signed in: loading, error with retry, usage and the list", async () => {
  const page = await cloudTab({ account: SIGNED_IN }, ["cloudList"]);
  const first = await waitForRequest(page, "cloudList");
  assert.equal(await page.locator(".loading").innerText(), "Lädt …");
  await reply(page, first.id, { error: "Keine Verbindung zu play.krel.de" });
  await page.locator(".problem").waitFor();
  assert.match(await page.locator(".problem").innerText(), /Keine Verbindung zu play\.krel\.de/);
  await page.click("text=Erneut versuchen");
  const second = await waitForRequest(page, "cloudList", 2);
  await reply(page, second.id, CLOUD);
  await page.locator("#cloudList").waitFor();
  assert.equal(await page.locator("#cloudUsage").innerText(), "6 GB von 5 GB belegt");
  assert.equal(await page.locator("#cloudMeter").evaluate((e) => e.style.width), "100%");
  const rows = await page.locator(".cloud-row").evaluateAll((rs) => rs.map((r) => r.innerText.split("\n").map((t) => t.trim()).filter(Boolean)));
  assert.deepEqual(rows, [
    ["1:32", "Ace auf Ascent", "Valorant · Heute, 15:01 · 84 MB", "Geteilt · 128 Aufrufe"],
    ["<i>Malenia</i>", "Aufnahme · 04.03.25, 09:00 · 2 GB"],
    ["0:05", "kurz", "Apex · Heute, 19:00 · 1 KB"],
  ]);
  assert.equal(await page.locator("#cloudList i").count(), 0);

  await page.evaluate(() => window.__host.hold.delete("cloudList"));
  await setReply(page, "cloudList", { used: 0, quota: 5 * GiB, clips: [] });
  await page.click(".seg >> nth=0");
  await page.click(".seg >> nth=1");
  await page.locator("#view .empty").waitFor();
  assert.equal(await page.locator("#view .empty").innerText(), "Noch nichts in der Cloud. Öffne einen Clip und wähle „In die Cloud“.");
  await page.close();
});

test("cloud viewer: link, share, unshare, delete", async () => {
  const page = await cloudTab({
    account: SIGNED_IN,
    cloudList: CLOUD,
    cloudLink: (m) => ({ url: "https://play.krel.de/v/" + m.cid + "?t=1" }),
  });
  await page.locator(".cloud-row").nth(1).click();
  await page.locator("#viewer").waitFor();
  assert.equal((await waitForRequest(page, "cloudLink")).cid, "b2");
  assert.equal(await page.locator("#viewerVideo").getAttribute("src"), "https://play.krel.de/v/b2?t=1");
  assert.equal(await page.locator("#viewerTitle").innerText(), "<i>Malenia</i>");

  await setReply(page, "cloudShare", { shareUrl: "https://play.krel.de/s/xyz" });
  await page.click("text=Teilen – Link kopieren");
  assert.equal((await waitForRequest(page, "cloudShare")).on, true);
  await page.waitForFunction(() => document.querySelector("#toast").textContent === "Link kopiert: https://play.krel.de/s/xyz");
  await setReply(page, "cloudShare", {});
  await page.click("text=Nicht mehr teilen");
  assert.equal((await waitForRequest(page, "cloudShare", 2)).on, false);
  await page.waitForFunction(() => document.querySelector("#toast").textContent === "Wird nicht mehr geteilt");

  await page.click("text=Aus der Cloud löschen");
  assert.equal((await waitForRequest(page, "cloudDelete")).cid, "b2");
  await page.waitForFunction(() => document.querySelector("#toast").textContent === "Aus der Cloud gelöscht");
  // The next clip of the list takes its place.
  await page.waitForFunction(() => document.querySelector("#viewerTitle").textContent === "kurz");
  assert.deepEqual((await sent(page)).filter((m) => m.cmd === "cloudLink").map((m) => m.cid), ["b2", "c3"]);
  assert.equal(await toastText(page), "Aus der Cloud gelöscht");
  await page.close();
});
