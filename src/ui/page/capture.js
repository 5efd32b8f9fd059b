// The capture view ("Aufnehmen"): status of the replay buffer, the clip
// button, recording and microphone, the newest clips and the details.

VIEWS.capture = () => {
  const replaySwitch = switchEl(!!S.replayEnabled, toggleReplay, "Videobeweis");
  replaySwitch.id = "replaySwitch";
  const status = h("section.card.status#statusCard", null,
    h("span.dot#statusDot"),
    h("div.status-text", null, h("div.status-title#statusTitle"), h("div.status-sub#statusSub")),
    h("label.status-switch", null, h("span", null, "Videobeweis"), replaySwitch));

  const clipBtn = h("button.clip-btn#clipBtn", { type: "button", onclick: act(saveClip) },
    h("span.clip-icon", null, icon("bolt")),
    h("span.clip-text", null, h("span.clip-title", null, "Clip speichern"), h("span.clip-sub#clipSub")),
    keyBadge(HK.hkClip));

  const recCard = h("div.card.tile#recCard", null,
    h("button.tile-main", { type: "button", onclick: act(() => run("toggleRecord")) },
      h("span.tile-icon#recIcon"),
      h("span.tile-text", null, h("span.tile-title#recTitle"), h("span.tile-sub#recSub"))),
    h("div.tile-foot", null,
      keyBadge(HK.hkRecord),
      h("button.mini#pauseBtn", { type: "button", onclick: act(() => run("togglePause")) })));

  const micCard = h("div.card.tile#micCard", null,
    h("button.tile-main", { type: "button", onclick: act(clickMic) },
      h("span.tile-icon#micIcon"),
      h("span.tile-text", null, h("span.tile-title", null, "Mikrofon"), h("span.tile-sub#micSub"))),
    h("div.tile-foot", null, keyBadge(HK.hkMic)));

  const details = accordion("details", "Leistung & Details", null, () =>
    h("dl.details", null,
      [["Quelle", "dSource"], ["Auflösung", "dRes"], ["Bildrate", "dFps"], ["Encoder", "dEncoder"], ["Freier Speicher", "dFree"], ["Ausgelassene Bilder", "dDropped"]]
        .map(([label, id]) => h("div.detail", null, h("dt", null, label), h("dd", { id }, "–")))));

  app.live = updateCapture;
  return h("div.screen.capture", null,
    status,
    clipBtn,
    sectionTitle("Aufnahme & Ton"),
    h("div.tiles", null, recCard, micCard),
    sectionTitle("Zuletzt aufgenommen", h("button.link", { type: "button", onclick: () => go("clips", { tab: "local" }) }, "Alle Clips", icon("chevronRight"))),
    recentList(),
    details);
};

function recentList() {
  if (!clips.list) return h("div.list.recent#recentList");
  const first = sortedClips().slice(0, 3);
  if (!first.length) return h("div.empty#recentList", null, icon("clips"), h("p", null, "Noch keine Clips – drück im Spiel deinen Clip-Hotkey."));
  return h("div.list.recent#recentList", null, first.map((c) => clipRow(c, first, { selectable: false })));
}

// The capture view's texts from the last state and the settings.
function updateCapture() {
  const st = ST || {};
  const enabled = !!S.replayEnabled;
  const active = !!st.replayActive;
  const error = typeof st.error === "string" ? st.error : "";

  let title;
  if (error) title = "Keine Quelle";
  else if (st.recording) title = st.paused ? "Aufnahme pausiert" : "Aufnahme läuft";
  else if (active) title = "Bereit zum Clippen";
  else if (enabled) title = "Wartet auf ein Spiel";
  else title = "Videobeweis ist aus";
  let sub = error;
  if (!sub) {
    const parts = [];
    if (st.source) parts.push(st.source);
    if (active) parts.push(Math.round(Number(st.replaySeconds) || 0) + " von " + (S.replaySeconds || 0) + " s im Puffer");
    sub = parts.join(" · ") || "Starte ein Spiel – KREL Play erkennt es automatisch";
  }
  const dot = $("#statusDot");
  if (!dot) return;
  dot.className = "dot " + (st.recording ? "rec" : active ? "live" : "idle");
  $("#statusTitle").textContent = title;
  $("#statusSub").textContent = sub;
  setSwitch($("#replaySwitch"), enabled);

  $("#clipBtn").disabled = !active;
  $("#clipSub").textContent = active ? "Sichert die letzten " + fmtReplay(S.replaySeconds) : "Verfügbar, sobald der Videobeweis läuft";

  const rec = !!st.recording;
  $("#recCard").classList.toggle("on", rec);
  if ($("#recCard").dataset.rec !== String(rec)) {
    $("#recCard").dataset.rec = String(rec);
    fill($("#recIcon"), icon(rec ? "stop" : "record"));
  }
  $("#recTitle").textContent = rec ? "Aufnahme stoppen" : "Aufnahme starten";
  $("#recSub").textContent = rec ? (st.paused ? "Pausiert · " : "") + fmtRecordTime(st.recordHns) : "Ganze Session aufnehmen";
  const pause = $("#pauseBtn");
  pause.hidden = !rec;
  if (pause.dataset.paused !== String(!!st.paused)) {
    pause.dataset.paused = String(!!st.paused);
    fill(pause, icon(st.paused ? "play" : "pause"), h("span", null, st.paused ? "Fortsetzen" : "Pausieren"));
  }

  const muted = typeof st.micMuted === "boolean" ? st.micMuted : !!S.micMuted;
  const micOn = S.micEnabled !== false && !muted;
  $("#micCard").classList.toggle("on", micOn);
  $("#micCard").classList.toggle("muted", S.micEnabled !== false && muted);
  if ($("#micCard").dataset.on !== String(micOn)) {
    $("#micCard").dataset.on = String(micOn);
    fill($("#micIcon"), icon(micOn ? "mic" : "micOff"));
  }
  $("#micSub").textContent = S.micEnabled === false ? "Aus – zum Einschalten tippen" : muted ? "Stumm" : "An";

  const set = (id, text) => {
    const el = $("#" + id);
    if (el) el.textContent = text === "" || text === null || text === undefined ? "–" : String(text);
  };
  const size = (w, hgt) => (w > 0 && hgt > 0 ? w + " × " + hgt : "");
  const src = size(st.srcW, st.srcH), out = size(st.outW, st.outH);
  set("dSource", st.source);
  set("dRes", src || out ? (src || "–") + " → " + (out || "–") : "");
  set("dFps", st.fps ? st.fps + " FPS" : "");
  set("dEncoder", st.encoder);
  set("dFree", ST ? fmtBytes(st.freeBytes) : "");
  set("dDropped", ST ? String(Number(st.dropped) || 0) : "");
}

// The switch changes the page's copy only once the program has switched.
async function toggleReplay() {
  if (!(await run("toggleReplay"))) return;
  S.replayEnabled = !S.replayEnabled;
  if (app.live) app.live();
}

async function saveClip() {
  if (!(await run("saveClip"))) return;
  toast("Clip wird gespeichert …");
  setTimeout(() => loadClips(), 1500);
}

// With the microphone switched off in the settings, a click switches it
// on; otherwise it mutes and unmutes.
async function clickMic() {
  if (S.micEnabled === false) {
    await save({ micEnabled: true });
  } else if (await run("toggleMic")) {
    const muted = !(ST && typeof ST.micMuted === "boolean" ? ST.micMuted : S.micMuted);
    S.micMuted = muted;
    if (ST) ST.micMuted = muted;
  }
  if (app.live) app.live();
}
