// The screens "Quelle & Qualität" and "Videobeweis".

const MODES = [
  { value: "game", label: "Nur Spiel" },
  { value: "monitor", label: "Gesamter Bildschirm" },
  { value: "window", label: "Ausgewähltes Fenster" },
];
const CODECS = [
  { value: "h264", label: "H.264" },
  { value: "hevc", label: "HEVC (H.265)" },
  { value: "av1", label: "AV1" },
];
const RATES = [
  { value: "vbr", label: "Variable Bitrate (VBR)" },
  { value: "cbr", label: "Konstante Bitrate (CBR)" },
  { value: "cqp", label: "Konstante Qualität (CQP)" },
];
const SCALES = [
  { value: "autoStretchNative", label: "Automatisch (Monitorgröße)" },
  { value: "stretch", label: "Strecken" },
  { value: "fit", label: "Einpassen (mit Rändern)" },
  { value: "crop", label: "Zuschneiden" },
  { value: "original", label: "Original (ohne Skalierung)" },
];
const PRESETS = ["Leistung", "Schnell", "Ausgewogen", "Qualität", "Beste Qualität"];
const RESOLUTIONS = [[1280, 720], [1600, 900], [1920, 1080], [2560, 1440], [3840, 2160]];
const FRAME_RATES = [24, 30, 60, 120, 144, 240];
const REPLAY_LENGTHS = [15, 30, 45, 60, 90, 120, 180, 300, 600];
const REPLAY_MEMORY = [500, 1000, 1500, 3000, 6000];

const sizeText = (w, hgt) => w + " × " + hgt;

// "2560x1080" or "2560 × 1080" → [2560, 1080] in the program's limits
// (even numbers, at most 7680 × 4320); null for anything else.
function parseResolution(text) {
  const m = /^\s*(\d{1,6})\s*[x×X]\s*(\d{1,6})\s*$/.exec(String(text));
  if (!m) return null;
  const even = (v, max) => Math.min(max, Number(m[v])) & ~1;
  return [even(1, 7680), even(2, 4320)];
}

// A custom replay length in seconds: below 5 s nothing, rounded, at most
// 1800 s; null when it is not taken.
function parseReplaySeconds(text) {
  const v = Number(String(text).trim().replace(",", "."));
  if (!String(text).trim() || !Number.isFinite(v) || v < 5) return null;
  return Math.min(1800, Math.round(v));
}

SUBS.recording = {
  title: "Quelle & Qualität",
  load: loadCaps,
  render() {
    const c = caps || {};
    const monitors = Array.isArray(c.monitors) ? c.monitors : [];
    const windows = Array.isArray(c.windows) ? c.windows : [];
    const rows = [row("Aufnahmemodus", null, selectEl(MODES, S.mode, (v) => save({ mode: v }), "Aufnahmemodus"))];
    if (S.mode === "monitor") {
      const opts = monitors.map((name, i) => ({ value: i, label: i + 1 + ": " + name }));
      if (!opts.some((o) => o.value === S.monitorIndex)) opts.push({ value: S.monitorIndex || 0, label: (S.monitorIndex || 0) + 1 + ": –" });
      rows.push(row("Monitor", null, selectEl(opts, S.monitorIndex || 0, (v) => save({ monitorIndex: Number(v) }), "Monitor")));
    } else if (S.mode === "window") {
      const titles = windows.filter((t) => typeof t === "string");
      if (S.windowTitle && !titles.includes(S.windowTitle)) titles.unshift(S.windowTitle);
      const opts = [{ value: "", label: "– auswählen –" }].concat(titles.map((t) => ({ value: t, label: t })));
      rows.push(row("Fenster", null, selectEl(opts, S.windowTitle || "", (v) => save({ windowTitle: v }), "Fenster")));
    }

    const w = S.outWidth || 0, hgt = S.outHeight || 0;
    const res = [{ value: "0x0", label: "Original (Spiel)" }].concat(RESOLUTIONS.map(([a, b]) => ({ value: a + "x" + b, label: sizeText(a, b) })));
    if (!res.some((o) => o.value === w + "x" + hgt)) res.push({ value: w + "x" + hgt, label: sizeText(w, hgt) });
    rows.push(row("Auflösung", null, selectWithCustom(res, w + "x" + hgt, (v) => {
      const [a, b] = v.split("x").map(Number);
      return save({ outWidth: a, outHeight: b });
    }, {
      label: "Auflösung",
      placeholder: "Breite × Höhe",
      accept(text) {
        const r = parseResolution(text);
        if (!r) return false;
        return save({ outWidth: r[0], outHeight: r[1] });
      },
    })));

    const fps = FRAME_RATES.includes(S.fps) ? FRAME_RATES : FRAME_RATES.concat([S.fps]).filter(Number.isFinite).sort((a, b) => a - b);
    rows.push(row("Bildrate", null, selectEl(fps.map((f) => ({ value: f, label: f + " FPS" })), S.fps, (v) => save({ fps: Number(v) }), "Bildrate")));
    rows.push(row("Skalierung", null, selectEl(SCALES, S.scale, (v) => save({ scale: v }), "Skalierung")));
    rows.push(row("Speicherort", S.clipDir || c.clipFolder || "…",
      h("button.btn.small", { type: "button", onclick: act(chooseFolder) }, icon("folder"), "Ändern …")));

    const family = typeof c.encoder === "string" ? c.encoder.split(" · ")[0] : "";
    const encoder = accordion("encoder", "Encoder & Bitrate", family, () => {
      const codecs = CODECS.map((o) => (caps && c[o.value] === false ? { value: o.value, label: o.label + " (nicht unterstützt)", disabled: true } : o));
      const mbit = Math.round((S.bitrateKbps || 25000) / 1000);
      const slider = h("input.range", { type: "range", min: 2, max: 100, step: 1, value: Math.min(100, Math.max(2, mbit)), "aria-label": "Bitrate" });
      const label = h("span.range-value", null, mbit + " Mbit/s");
      slider.addEventListener("input", () => (label.textContent = slider.value + " Mbit/s"));
      slider.addEventListener("change", act(() => save({ bitrateKbps: Number(slider.value) * 1000 })));
      return [
        typeof c.encoder === "string" && c.encoder ? h("p.note", null, c.encoder) : null,
        row("Codec", null, selectEl(codecs, S.codec, (v) => save({ codec: v }), "Codec")),
        row("Ratensteuerung", null, selectEl(RATES, S.rate, (v) => save({ rate: v }), "Ratensteuerung")),
        h("div.row.slider-row", null, h("div.row-text", null, h("div.row-label", null, "Bitrate"), label), slider),
        row("Voreinstellung", null, selectEl(PRESETS.map((p, i) => ({ value: i, label: p })), S.qualityPreset, (v) => save({ qualityPreset: Number(v) }), "Voreinstellung")),
      ];
    });
    const more = accordion("more", "Weitere Optionen", null, () =>
      row("Mauszeiger aufnehmen", null, switchEl(!!S.captureCursor, (on) => save({ captureCursor: on }), "Mauszeiger aufnehmen")));
    return [h("section.card.rows", null, rows), encoder, more];
  },
};

async function chooseFolder() {
  const r = await run("chooseFolder");
  if (r && typeof r.folder === "string" && r.folder) await save({ clipDir: r.folder });
}

SUBS.replay = {
  title: "Videobeweis",
  render() {
    const lengths = REPLAY_LENGTHS.map((s) => ({ value: s, label: fmtReplay(s) }));
    if (!REPLAY_LENGTHS.includes(S.replaySeconds)) lengths.push({ value: S.replaySeconds, label: fmtReplay(S.replaySeconds) });
    lengths.sort((a, b) => a.value - b.value);
    const memory = REPLAY_MEMORY.map((m) => ({ value: m, label: m + " MB" }));
    if (!REPLAY_MEMORY.includes(S.replayMaxMB)) memory.push({ value: S.replayMaxMB, label: S.replayMaxMB + " MB" });
    return [
      h("section.card.rows", null,
        row("Videobeweis", "Hält die letzten Sekunden im Speicher, bereit zum Clippen.",
          switchEl(!!S.replayEnabled, (on) => save({ replayEnabled: on }), "Videobeweis")),
        row("Länge", null, selectWithCustom(lengths, S.replaySeconds, (v) => save({ replaySeconds: Number(v) }), {
          label: "Länge",
          placeholder: "Sekunden",
          inputmode: "numeric",
          accept(text) {
            const s = parseReplaySeconds(text);
            if (s === null) return false;
            return save({ replaySeconds: s });
          },
        }))),
      accordion("replayAdvanced", "Erweitert", null, () => [
        row("Nach jedem Clip neu beginnen", null,
          switchEl(S.replayRestartAfterClip !== false, (on) => save({ replayRestartAfterClip: on }), "Nach jedem Clip neu beginnen")),
        row("Speicherlimit", null, selectEl(memory, S.replayMaxMB, (v) => save({ replayMaxMB: Number(v) }), "Speicherlimit")),
      ]),
    ];
  },
};
