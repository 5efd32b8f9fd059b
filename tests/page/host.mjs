// A scripted program for the overlay page: it stands in for the web view's
// message handler, records every request, answers from fixtures and lets a
// test push messages the way the program does.

import { chromium } from "playwright-core";
import { pathToFileURL } from "node:url";

export const PAGE_FILE = process.env.KREL_PAGE_FILE;
if (!PAGE_FILE) throw new Error("KREL_PAGE_FILE must name the assembled overlay.html");

export function launch() {
  return chromium.launch({ executablePath: process.env.KREL_CHROMIUM || "/usr/bin/chromium" });
}

export const SETTINGS = {
  mode: "game", monitorIndex: 0, windowTitle: "", captureCursor: false, outWidth: 0, outHeight: 0, fps: 60,
  codec: "h264", rate: "vbr", bitrateKbps: 25000, qualityPreset: 2, scale: "autoStretchNative",
  replayEnabled: true, replaySeconds: 60, replayMaxMB: 1500, audio: "systemMic", micEnabled: true, micMuted: false,
  gameVolume: 1, micVolume: 1, separateTracks: false, clipDir: "",
  hkClip: { mods: 0, vk: 119 }, hkRecord: { mods: 0, vk: 120 }, hkMic: { mods: 0, vk: 121 },
  hkReplay: { mods: 0, vk: 118 }, hkPause: { mods: 0, vk: 117 }, hkOverlay: { mods: 1, vk: 90 },
  autostart: true, autoUpdate: true, sounds: true, replayRestartAfterClip: true, micDevice: "", micMono: true,
};

export const HOTKEY_NAMES = { hkClip: "F8", hkRecord: "F9", hkMic: "F10", hkReplay: "F7", hkPause: "F6", hkOverlay: "Alt+Z", conflicts: [] };

export const STATE = {
  type: "state", replayActive: true, recording: false, paused: false, recordHns: 0, micMuted: false,
  source: "Valorant", mode: "Nur Spiel", srcW: 2560, srcH: 1440, outW: 1920, outH: 1080, fps: 60,
  encoder: "VA-API · H.264", lastClip: "", freeBytes: 412_300_000_000, replaySeconds: 42.4, dropped: 3,
  gamePeak: 0.42, micPeak: 0.18, error: "",
};

// Replies by command; a function gets the request. "close" and "uninstall"
// are never answered, nor are the commands named in `hold` (the test
// answers them with reply()).
export function fixtures(overrides = {}) {
  return {
    init: { settings: SETTINGS },
    hotkeyNames: HOTKEY_NAMES,
    listClips: { clips: [], bytes: 0, base: "krel-clip://clips/" },
    account: { signedIn: false, email: "" },
    appInfo: { version: "0.1.7" },
    caps: {
      h264: true, hevc: true, av1: false, encoder: "VA-API · Intel UHD Graphics 770", clipFolder: "/home/nutzer/Videos/KREL Play",
      monitors: ["2560×1440 (Hauptmonitor)", "1920×1080"], windows: ["Valorant", "Discord"],
      mics: [{ id: "mic-usb", name: "USB-Mikrofon", isDefault: true }, { id: "mic-cam", name: "Webcam", isDefault: false }],
    },
    ...overrides,
  };
}

// Opens the page under the scripted program. Fixtures that are functions
// are turned into source text; they run inside the page.
// With `clock`, the page's timers stand still until the test runs them
// (page.clock.runFor); "now" is then 14 March 2025, 20:00 in Berlin.
export const NOW = new Date("2025-03-14T19:00:00Z");

export async function openPage(browser, { replies = fixtures(), hold = [], viewport = { width: 1920, height: 1080 }, clock = false } = {}) {
  const page = await browser.newPage({ viewport, timezoneId: "Europe/Berlin", locale: "de-DE" });
  page.__errors = [];
  page.on("pageerror", (e) => page.__errors.push(String(e)));
  if (clock) {
    // Installed a moment earlier, so that pausing never lies in the past.
    await page.clock.install({ time: new Date(NOW.getTime() - 60_000) });
    await page.clock.pauseAt(NOW);
  }
  const encoded = {};
  for (const [k, v] of Object.entries(replies)) encoded[k] = typeof v === "function" ? { fn: v.toString() } : { value: v };
  await page.addInitScript(({ encoded, hold }) => {
    const replies = {};
    for (const [k, v] of Object.entries(encoded)) replies[k] = v.fn ? (0, eval)("(" + v.fn + ")") : v.value;
    const host = (window.__host = { log: [], replies, hold: new Set(hold) });
    window.webkit = {
      messageHandlers: {
        krel: {
          postMessage(text) {
            host.log.push(text);
            const msg = JSON.parse(text);
            if (!("id" in msg) || msg.cmd === "close" || msg.cmd === "uninstall" || host.hold.has(msg.cmd)) return;
            const r = host.replies[msg.cmd];
            const result = typeof r === "function" ? r(msg) : r === undefined ? { ok: true } : r;
            queueMicrotask(() => window.krelReceive(JSON.stringify({ id: msg.id, result })));
          },
        },
      },
    };
  }, { encoded, hold });
  await page.goto(pathToFileURL(PAGE_FILE).href);
  return page;
}

// Every message the page sent, parsed, in order.
export async function sent(page) {
  return (await page.evaluate(() => window.__host.log)).map((t) => JSON.parse(t));
}

export async function sentCmds(page) {
  return (await sent(page)).map((m) => m.cmd);
}

// The last request of `cmd`, waiting for it to be sent.
export async function waitForRequest(page, cmd, count = 1) {
  await page.waitForFunction(([c, n]) => window.__host.log.filter((t) => JSON.parse(t).cmd === c).length >= n, [cmd, count]);
  return (await sent(page)).filter((m) => m.cmd === cmd).at(-1);
}

// Pushes a message the way the program does (as JSON text).
export function push(page, msg) {
  return page.evaluate((m) => window.krelReceive(JSON.stringify(m)), msg);
}

// Changes the program's answer to `cmd` from now on.
export function setReply(page, cmd, result) {
  return page.evaluate(([c, r]) => (window.__host.replies[c] = r), [cmd, result]);
}

// Answers a held request.
export function reply(page, id, result) {
  return push(page, { id, result });
}

// Start finished: the page reported "shown".
export function shown(page) {
  return page.waitForFunction(() => window.__host.log.includes('{"cmd":"shown"}'));
}

// Started, revealed and slid in, with a first state.
export async function ready(page, state = STATE) {
  await shown(page);
  await push(page, state);
  await push(page, { type: "revealed" });
  await push(page, { type: "slid" });
}

// From now on, requests of `cmd` wait for reply().
export function holdReplies(page, cmd) {
  return page.evaluate((c) => window.__host.hold.add(c), cmd);
}

export const toastText = (page) => page.locator("#toast.show").innerText();
