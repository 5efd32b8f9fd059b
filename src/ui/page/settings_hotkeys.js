// The screen "Hotkeys" and recording a new key for a binding.

const HOTKEY_GROUPS = [
  ["Am häufigsten", [["hkClip", "Clip speichern"], ["hkOverlay", "Overlay öffnen"]]],
  ["Aufnahme", [["hkRecord", "Aufnahme starten/stoppen"], ["hkPause", "Aufnahme pausieren"]]],
  ["Weitere", [["hkReplay", "Videobeweis an/aus"], ["hkMic", "Mikrofon stumm/an"]]],
];
const MODIFIER_KEYS = new Set(["Control", "Shift", "Alt", "AltGraph", "Meta", "OS", "Super", "Hyper"]);

let recordingKey = null; // the binding waiting for its key, or null

SUBS.hotkeys = {
  title: "Hotkeys",
  load: loadHotkeyNames,
  render() {
    const conflicts = Array.isArray(HK.conflicts) ? HK.conflicts.filter((c) => typeof c === "string") : [];
    return [
      conflicts.length ? h("div.warning#hotkeyConflicts", null, icon("info"), "Von einem anderen Programm belegt: " + conflicts.join(", ")) : null,
      HOTKEY_GROUPS.map(([group, keys]) => [
        sectionTitle(group),
        h("section.card.rows", null, keys.map(([key, label]) => {
          const name = typeof HK[key] === "string" ? HK[key] : "–";
          const recording = recordingKey === key;
          return row(label, null, h("button.keycap", {
            type: "button",
            class: recording ? "recording" : name === "–" ? "unbound" : "",
            dataset: { key },
            title: "Klicken und neue Taste drücken · Entf hebt auf",
            onclick: () => {
              recordingKey = key;
              render();
            },
          }, recording ? "Taste drücken …" : name));
        })),
      ]),
      h("p.hint", null, "Klick auf eine Taste und drück die neue Kombination. Esc bricht ab, Entf hebt die Belegung auf."),
    ];
  },
};

// While a binding waits, the next key press anywhere belongs to it, before
// every other handler: Escape cancels, Delete unbinds, a pure modifier
// waits for the key it modifies.
window.addEventListener("keydown", (e) => {
  if (!recordingKey) return;
  e.preventDefault();
  e.stopImmediatePropagation();
  if (MODIFIER_KEYS.has(e.key)) return;
  const key = recordingKey;
  let value;
  if (e.key === "Escape") value = null;
  else if (e.key === "Delete") value = { mods: 0, vk: 0 };
  else if (e.keyCode > 0 && e.keyCode <= 254)
    value = { mods: (e.altKey ? 1 : 0) | (e.ctrlKey ? 2 : 0) | (e.shiftKey ? 4 : 0) | (e.metaKey ? 8 : 0), vk: e.keyCode };
  else return; // a key without a code: keep waiting
  recordingKey = null;
  if (!value) {
    render();
    return;
  }
  act(async () => {
    await save({ [key]: value });
    await loadHotkeyNames();
    render();
  })();
}, true);

// A click anywhere else ends the waiting.
window.addEventListener("pointerdown", (e) => {
  if (!recordingKey) return;
  const target = e.target instanceof Element ? e.target.closest(".keycap") : null;
  if (target && target.dataset.key === recordingKey) return;
  recordingKey = null;
  if (!target) render();
}, true);
