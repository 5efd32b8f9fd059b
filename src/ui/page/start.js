// Start: the settings and hotkey names, the first screen, then the notice
// that the page is built, upon which the program reveals the window.

// The first screen by the program's "page" value; anything else is the
// capture view.
const START_PAGES = {
  dashboard: ["capture"],
  home: ["capture"],
  capture: ["capture"],
  player: ["capture"],
  clips: ["clips", { tab: "local" }],
  gallery: ["clips", { tab: "local" }],
  cloud: ["clips", { tab: "cloud" }],
  menu: ["settings", { sub: null }],
  settings: ["settings", { sub: null }],
  recording: ["settings", { sub: "recording" }],
  replay: ["settings", { sub: "replay" }],
  audio: ["settings", { sub: "audio" }],
  hotkeys: ["settings", { sub: "hotkeys" }],
  general: ["settings", { sub: "general" }],
  account: ["settings", { sub: "account" }],
};

async function start() {
  buildChrome();
  window.addEventListener("keydown", onKey);
  let page = "";
  // Both questions go out at once (in this order); the screen waits for both.
  const asked = [call("init"), call("hotkeyNames")];
  asked.forEach((p) => p.catch(() => {}));
  try {
    const init = await asked[0];
    if (init && typeof init === "object" && !errorOf(init)) {
      if (init.settings && typeof init.settings === "object") S = Object.assign({}, init.settings);
      if (init.update && typeof init.update === "object") onUpdate(init.update);
      if (typeof init.page === "string") page = init.page;
      if (typeof init.website === "string" && /^https?:\/\/[^\s"\\]+\/$/.test(init.website)) app.website = init.website;
    } else if (errorOf(init)) {
      toast(errorOf(init));
    }
  } catch (e) {
    toast(e instanceof UserError ? e.message : "Start fehlgeschlagen");
  }
  try {
    const names = await asked[1];
    if (names && typeof names === "object" && !errorOf(names)) HK = names;
  } catch (e) {
    // The names only decorate; the page works without them.
  }

  const [view, opts] = Object.hasOwn(START_PAGES, page) ? START_PAGES[page] : START_PAGES.capture;
  nav.view = view;
  if (opts && "sub" in opts) nav.sub = opts.sub;
  if (opts && opts.tab) nav.tab = opts.tab;
  if (page === "recording") nav.accordions.add("encoder");
  render();
  notify("shown");

  // Should the program not report the reveal or the end of the slide,
  // the page goes on by itself.
  setTimeout(() => {
    fadeIn();
    onSlid();
  }, 2000);

  if (view === "clips") {
    if (nav.tab === "cloud") loadCloud();
    else loadClips();
  } else if (view === "settings") {
    onSettingsOpened();
  } else {
    await loadClips();
    if (page === "player" && clips.list && clips.list.length) {
      const byDate = clips.list.slice().sort((a, b) => b.modified - a.modified);
      openViewer(byDate[0], byDate);
    }
  }
}

start();
