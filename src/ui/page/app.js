// The page's state, navigation between the screens, keys, and the fade
// that goes with the program sliding the window in and out.

// State lives only as long as the page: the program discards the web view
// on every close.
let S = {}; // settings, as "init" gave them and as changed here
let ST = null; // the last "state" message
let HK = {}; // the last "hotkeyNames" result
const nav = {
  view: "capture", // "capture", "clips", "settings"
  sub: null, // settings screen: null (menu), "recording", "replay", "audio", "hotkeys", "general", "account"
  tab: "local", // clips: "local" or "cloud"
  accordions: new Set(), // open accordions, by key
};
const app = {
  update: null, // the last "update" message
  updateBusy: "", // update chip: "" | "loading" | "failed"
  account: null, // the last "account" result
  version: "",
  website: "https://play.krel.de/",
  closing: false, // "hide" arrived: the fade-out runs
  faded: false, // the fade-in started
  panelIn: false, // the panel finished sliding in
  live: null, // the open screen's updater for each "state"
};
const deferred = []; // work held back until the panel is in

const VIEWS = {}; // view name → function returning the view's content
const TABS = [
  { view: "capture", label: "Aufnehmen", icon: "capture" },
  { view: "clips", label: "Clips", icon: "clips" },
  { view: "settings", label: "Einstellungen", icon: "settings" },
];

// Runs `fn` once the panel is in (at once when it already is), so that
// video decoding does not disturb the slide.
function whenSlid(fn) {
  if (app.panelIn) fn();
  else deferred.push(fn);
}

function onSlid() {
  if (app.panelIn) return;
  app.panelIn = true;
  for (const fn of deferred.splice(0)) {
    try {
      fn();
    } catch (e) {
      console.error(e);
    }
  }
}

function fadeIn() {
  if (app.faded) return;
  app.faded = true;
  document.body.classList.add("in");
}

function fadeOut() {
  if (app.closing) return;
  app.closing = true;
  document.body.classList.add("out");
}

// Asks the program to close the overlay; it answers with "hide".
function requestClose() {
  if (app.closing) return;
  call("close").catch((e) => toast(e instanceof UserError ? e.message : "Schließen fehlgeschlagen"));
}

// Draws the current screen. The scroll position stays when the same screen
// is drawn again.
function render() {
  const view = $("#view");
  const key = nav.view + "/" + (nav.sub || "") + "/" + nav.tab;
  const same = view.dataset.key === key;
  const keepScroll = same ? view.scrollTop : 0;
  app.live = null;
  let content;
  try {
    content = VIEWS[nav.view]();
  } catch (e) {
    // Odd data from the program must not leave an empty panel.
    console.error(e);
    content = h("div.screen.empty", null, icon("info"), h("p", null, "Diese Ansicht lässt sich gerade nicht anzeigen."));
  }
  fill(view, content);
  // Only a new screen slides in; drawing the same one again stays still.
  if (!same && view.firstElementChild) view.firstElementChild.classList.add("enter");
  view.dataset.key = key;
  view.scrollTop = keepScroll;
  document.body.dataset.view = nav.view;
  document.body.dataset.sub = nav.sub || "";
  document.body.dataset.tab = nav.tab;
  for (const b of $$("#tabs .tab")) {
    const on = b.dataset.view === nav.view;
    b.classList.toggle("on", on);
    b.setAttribute("aria-selected", on ? "true" : "false");
  }
  if (app.live) {
    try {
      app.live();
    } catch (e) {
      console.error(e);
    }
  }
  if (viewerOpen()) markCurrentRow();
}

// Opens a screen; `opts` may name the settings screen and the clips tab.
function go(view, opts) {
  nav.view = view;
  if (opts && "sub" in opts) nav.sub = opts.sub;
  else if (view === "settings") nav.sub = null;
  if (opts && opts.tab) nav.tab = opts.tab;
  render();
  if (view === "clips") {
    if (nav.tab === "cloud") loadCloud();
    else loadClips();
  } else if (view === "settings") {
    onSettingsOpened();
  } else if (view === "capture") {
    loadClips();
  }
}

function buildChrome() {
  $("#brandMark").append(icon("mark"));
  $("#closeBtn").append(icon("close"));
  $("#closeBtn").addEventListener("click", requestClose);
  $("#updateChip").addEventListener("click", act(installUpdate));
  $("#backdrop").addEventListener("click", () => (viewerOpen() ? closeViewer() : requestClose()));
  fill($("#tabs"), TABS.map((t) =>
    h("button.tab", { type: "button", role: "tab", dataset: { view: t.view }, onclick: () => go(t.view) }, icon(t.icon), h("span", null, t.label))));
}

// The update chip in the header.
function drawUpdateChip() {
  const chip = $("#updateChip");
  const version = app.update && typeof app.update.version === "string" ? app.update.version : "";
  chip.hidden = !version;
  chip.disabled = app.updateBusy === "loading";
  chip.classList.toggle("failed", app.updateBusy === "failed");
  const label = app.updateBusy === "loading" ? "Wird geladen …" : app.updateBusy === "failed" ? "Erneut versuchen" : "Update " + version;
  fill(chip, icon("download"), h("span", null, label));
}

async function installUpdate() {
  app.updateBusy = "loading";
  drawUpdateChip();
  const r = await run("installUpdate");
  if (!r) {
    app.updateBusy = "failed";
    drawUpdateChip();
  }
}

function onUpdate(msg) {
  const version = typeof msg.version === "string" ? msg.version : "";
  // Another version is another try.
  if (!app.update || app.update.version !== version) app.updateBusy = "";
  app.update = { version, checked: !!msg.checked };
  drawUpdateChip();
  if (nav.view === "settings" && nav.sub === "general") render();
}

function isTyping(target) {
  const t = target || document.activeElement;
  return !!t && (t.isContentEditable || /^(INPUT|TEXTAREA|SELECT)$/.test(t.tagName));
}

function onKey(e) {
  if (e.defaultPrevented) return;
  if (e.key === "Escape") {
    e.preventDefault();
    if (viewerOpen()) closeViewer();
    else requestClose();
  } else if (viewerOpen() && e.altKey && (e.key === "ArrowLeft" || e.key === "ArrowRight")) {
    e.preventDefault();
    stepViewer(e.key === "ArrowLeft" ? -1 : 1);
  } else if (viewerOpen() && e.key === " " && !e.altKey && !e.ctrlKey && !e.metaKey && !isTyping(e.target)) {
    e.preventDefault();
    togglePlay();
  }
}

Object.assign(pushHandlers, {
  state(msg) {
    ST = msg;
    // The program flips these settings itself (hotkeys, tray); the state
    // tells the page.
    if (typeof msg.micMuted === "boolean") S.micMuted = msg.micMuted;
    if (msg.replayActive === true) S.replayEnabled = true;
    if (app.live) app.live();
  },
  toast(msg) {
    if (typeof msg.text !== "string") return;
    toast(msg.text);
    if (msg.text.startsWith("Clip gespeichert")) setTimeout(() => loadClips(), 300);
    if (msg.text.startsWith("Update fehlgeschlagen")) {
      app.updateBusy = "failed";
      drawUpdateChip();
    }
  },
  update: onUpdate,
  upload(msg) {
    if (typeof msg.file !== "string") return;
    const pct = Math.max(0, Math.min(100, Math.floor(Number(msg.pct) || 0)));
    const u = uploads.get(msg.file);
    // An upload started by an earlier opening of the overlay has nobody
    // waiting for its reply here: it is over at 100 %.
    if ((!u || !u.own) && pct >= 100) uploads.delete(msg.file);
    else uploads.set(msg.file, { pct, own: !!(u && u.own) });
    drawUploads();
  },
  revealed: fadeIn,
  slid: onSlid,
  hide: fadeOut,
});
