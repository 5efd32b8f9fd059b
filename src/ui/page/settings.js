// The settings view: the menu in three groups and the frame of its
// screens; saving goes through here.

const SUBS = {}; // screen name → {title, render, load}
let caps = null; // the last "caps" result

async function loadCaps() {
  const r = await run("caps");
  if (!r || typeof r !== "object") return;
  caps = r;
  if (nav.view === "settings" && (nav.sub === "recording" || nav.sub === "audio")) render();
}

async function loadHotkeyNames() {
  const r = await run("hotkeyNames");
  if (r && typeof r === "object") HK = r;
}

async function loadAppInfo() {
  const r = await run("appInfo");
  if (r && typeof r.version === "string") app.version = r.version;
}

// Merges `patch` into the page's settings and hands the changed keys to
// the program. Only the changed keys go: the program flips some settings
// itself (microphone mute, replay on or off by hotkey), and an older copy
// of those must not win. A refused change is taken back.
async function save(patch) {
  const before = {};
  for (const k of Object.keys(patch)) before[k] = S[k];
  Object.assign(S, patch);
  const r = await run("setSettings", { settings: patch });
  if (!r) {
    Object.assign(S, before);
  } else if (Array.isArray(r.conflicts)) {
    HK.conflicts = r.conflicts;
    if (r.conflicts.length) toast("Hotkey belegt durch ein anderes Programm: " + r.conflicts.join(", "));
  }
  if (nav.view === "settings") render();
  else if (app.live) app.live();
  return r;
}

// Data a screen needs when it opens; each load draws again when it answers.
function onSettingsOpened() {
  const redraw = () => {
    if (nav.view === "settings") render();
  };
  const s = SUBS[nav.sub];
  if (s && s.load) Promise.resolve(s.load()).then(redraw, () => {});
  if (!nav.sub) Promise.all([loadAccount(), loadAppInfo()]).then(redraw, () => {});
}

VIEWS.settings = () => {
  const s = SUBS[nav.sub];
  if (!s) return settingsMenu();
  return h("div.screen.settings-sub", null,
    h("div.sub-head", null,
      h("button.icon-btn.back", { type: "button", title: "Zurück", "aria-label": "Zurück", onclick: () => go("settings", { sub: null }) }, icon("chevronLeft")),
      h("h2", null, s.title)),
    s.render());
};

function menuEntry(sub, ic, label, second) {
  return h("button.menu-entry", { type: "button", dataset: { sub }, onclick: () => go("settings", { sub }) },
    h("span.menu-icon", null, icon(ic)),
    h("span.menu-text", null, h("span.menu-label", null, label), h("span.menu-sub", null, second)),
    icon("chevronRight", "menu-chev"));
}

function settingsMenu() {
  const account = app.account;
  return h("div.screen.settings-menu", null,
    sectionTitle("Aufnahme"),
    h("div.menu-group", null,
      menuEntry("recording", "monitor", "Quelle & Qualität", [optionLabel(MODES, S.mode), (S.fps || 60) + " FPS", optionLabel(CODECS, S.codec)].join(" · ")),
      menuEntry("replay", "replay", "Videobeweis", S.replayEnabled ? "An · " + fmtReplay(S.replaySeconds) : "Aus"),
      menuEntry("audio", "speaker", "Audio", optionLabel(AUDIO_SOURCES, S.audio))),
    sectionTitle("Steuerung"),
    h("div.menu-group", null,
      menuEntry("hotkeys", "keyboard", "Hotkeys", "Clip: " + (HK.hkClip || "–") + " · Overlay: " + (HK.hkOverlay || "–"))),
    sectionTitle("Konto & App"),
    h("div.menu-group", null,
      menuEntry("account", "user", "KREL-Konto", account ? (account.signedIn ? account.email : "Nicht angemeldet") : "…"),
      menuEntry("general", "info", "Allgemein", "Version " + (app.version || "…"))));
}

function optionLabel(options, value) {
  const o = options.find((x) => x.value === value);
  return o ? o.label : "–";
}

// A select with "Benutzerdefiniert …": choosing it opens a field beside it;
// `accept(text)` returns false for input it does not take.
function selectWithCustom(options, current, onPick, custom) {
  const field = h("div.custom-field.row-extra", { hidden: true });
  const select = selectEl(options.concat([{ value: "custom", label: "Benutzerdefiniert …" }]), current, (v) => {
    if (v !== "custom") return onPick(v);
    openCustom();
  }, custom.label);
  const openCustom = () => {
    const input = h("input.text", { type: "text", placeholder: custom.placeholder, "aria-label": custom.placeholder, inputmode: custom.inputmode || null });
    const submit = () => {
      if (custom.accept(input.value) === false) {
        input.classList.add("invalid");
        input.focus();
      }
    };
    input.addEventListener("keydown", (e) => {
      if (e.key === "Enter") {
        e.preventDefault();
        act(submit)();
      } else if (e.key === "Escape") {
        e.preventDefault();
        e.stopPropagation();
        render();
      }
    });
    input.addEventListener("input", () => input.classList.remove("invalid"));
    fill(field, input, h("button.btn.small", { type: "button", onclick: act(submit) }, icon("check"), "Übernehmen"));
    field.hidden = false;
    input.focus();
  };
  return [select, field];
}
