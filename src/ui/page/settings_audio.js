// The screen "Audio": what is mixed, the microphone, levels and volumes.

const AUDIO_SOURCES = [
  { value: "systemMic", label: "Systemton + Mikrofon" },
  { value: "system", label: "Nur Systemton" },
  { value: "gameMic", label: "Spiel + Mikrofon" },
  { value: "gameOnly", label: "Nur Spiel" },
];

// The microphones to choose from: the system's default first, then every
// device; a saved device that is not connected stays choosable.
function micOptions() {
  const mics = (caps && Array.isArray(caps.mics) ? caps.mics : []).filter((m) => m && typeof m.id === "string");
  const def = mics.find((m) => m.isDefault === true);
  const opts = [{ value: "", label: "Windows-Standard" + (def && def.name ? " (" + def.name + ")" : "") }];
  for (const m of mics) opts.push({ value: m.id, label: typeof m.name === "string" && m.name ? m.name : m.id });
  if (S.micDevice && !mics.some((m) => m.id === S.micDevice)) opts.push({ value: S.micDevice, label: "Gewähltes Mikrofon (nicht angeschlossen)" });
  return opts;
}

// A volume slider, 0 to 200 % in steps of 5, kept as 0.0 to 2.0.
function volumeRow(label, key) {
  const pct = Math.round((Number.isFinite(S[key]) ? S[key] : 1) * 100);
  const slider = h("input.range", { type: "range", min: 0, max: 200, step: 5, value: pct, "aria-label": label });
  const value = h("span.range-value", null, pct + " %");
  slider.addEventListener("input", () => (value.textContent = slider.value + " %"));
  slider.addEventListener("change", act(() => save({ [key]: Number(slider.value) / 100 })));
  return h("div.row.slider-row", null, h("div.row-text", null, h("div.row-label", null, label), value), slider);
}

function meterRow(label, id) {
  return h("div.level", null, h("span.level-label", null, label), h("div.meter.level-meter", null, h("div.meter-fill", { id })));
}

SUBS.audio = {
  title: "Audio",
  load: loadCaps,
  render() {
    const muted = ST && typeof ST.micMuted === "boolean" ? ST.micMuted : !!S.micMuted;
    const muteSwitch = switchEl(muted, toggleMicSwitch, "Mikrofon stummschalten");
    muteSwitch.id = "muteSwitch";
    app.live = updateAudio;
    return [
      h("section.card.rows", null,
        row("Tonquelle", null, selectEl(AUDIO_SOURCES, S.audio, (v) => save({ audio: v }), "Tonquelle")),
        row("Mikrofon", null, switchEl(S.micEnabled !== false, (on) => save({ micEnabled: on }), "Mikrofon")),
        row("Gerät", null, selectEl(micOptions(), S.micDevice || "", (v) => save({ micDevice: v }), "Mikrofongerät")),
        row("Stummschalten", HK.hkMic && HK.hkMic !== "–" ? "Hotkey: " + HK.hkMic : null, muteSwitch)),
      h("section.card.levels", null, meterRow("Spiel", "meterGame"), meterRow("Mikrofon", "meterMic")),
      accordion("volumes", "Lautstärke & Kanäle", null, () => [
        volumeRow("Spiel-Lautstärke", "gameVolume"),
        volumeRow("Mikrofon-Lautstärke", "micVolume"),
        row("Mikrofon-Kanäle", null, selectEl([{ value: "mono", label: "Mono" }, { value: "stereo", label: "Stereo" }],
          S.micMono === false ? "stereo" : "mono", (v) => save({ micMono: v === "mono" }), "Mikrofon-Kanäle")),
        row("Hinweistöne", null, switchEl(S.sounds !== false, (on) => save({ sounds: on }), "Hinweistöne")),
      ]),
    ];
  },
};

async function toggleMicSwitch() {
  if (!(await run("toggleMic"))) return;
  const muted = !(ST && typeof ST.micMuted === "boolean" ? ST.micMuted : S.micMuted);
  S.micMuted = muted;
  if (ST) ST.micMuted = muted;
  updateAudio();
}

// Levels and the mute switch follow every state.
function updateAudio() {
  const st = ST || {};
  const width = (peak) => Math.max(0, Math.min(100, (Number(peak) || 0) * 100)) + "%";
  const game = $("#meterGame"), mic = $("#meterMic"), mute = $("#muteSwitch");
  if (game) game.style.width = width(st.gamePeak);
  if (mic) mic.style.width = width(st.micPeak);
  if (mute) setSwitch(mute, typeof st.micMuted === "boolean" ? st.micMuted : !!S.micMuted);
}
