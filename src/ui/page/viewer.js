// The clip viewer beside the panel: plays a local clip from the clip
// folder or a cloud clip from its link, steps through the list it was
// opened from, and carries the clip's actions.

const viewer = {
  kind: "local", // "local" or "cloud"
  item: null, // the clip shown
  list: [], // the list it was opened from, in its order
  url: "",
  renaming: false,
};

const viewerOpen = () => !$("#viewer").hidden;
const sameItem = (a, b) => !!a && !!b && (viewer.kind === "cloud" ? a.id === b.id : a.file === b.file);

function openViewer(c, list) {
  viewer.kind = "local";
  viewer.list = list.slice();
  showInViewer(c, clipUrl(c.file));
}

async function openCloudViewer(c, list) {
  const r = await run("cloudLink", { cid: c.id });
  if (!r) return;
  if (typeof r.url !== "string" || !r.url) {
    toast("Clip nicht gefunden");
    return;
  }
  viewer.kind = "cloud";
  viewer.list = list.slice();
  showInViewer(c, r.url);
}

function showInViewer(c, url) {
  viewer.item = c;
  viewer.renaming = false;
  const box = $("#viewer");
  if (box.hidden || !$("#viewerVideo")) buildViewer();
  box.hidden = false;
  document.body.classList.add("viewing");
  const video = $("#viewerVideo");
  if (viewer.url !== url || !video.getAttribute("src")) {
    viewer.url = url;
    video.src = url;
    video.play().catch(() => {});
  }
  drawViewer();
}

function closeViewer() {
  const video = $("#viewerVideo");
  if (video) {
    video.pause();
    video.removeAttribute("src");
    video.load();
  }
  viewer.item = null;
  viewer.url = "";
  viewer.renaming = false;
  $("#viewer").hidden = true;
  document.body.classList.remove("viewing");
  markCurrentRow();
}

function buildViewer() {
  const video = h("video#viewerVideo", { controls: true, autoplay: true, playsinline: true, preload: "auto" });
  video.addEventListener("error", () => {
    if (video.getAttribute("src")) $("#viewerStage").classList.add("broken");
  });
  video.addEventListener("loadeddata", () => $("#viewerStage").classList.remove("broken"));
  fill($("#viewer"),
    h("div.viewer-box", null,
      h("div.viewer-bar", null,
        h("button.icon-btn#viewerPrev", { type: "button", title: "Vorheriger Clip (Alt+←)", "aria-label": "Vorheriger Clip", onclick: () => stepViewer(-1) }, icon("chevronLeft")),
        h("button.icon-btn#viewerNext", { type: "button", title: "Nächster Clip (Alt+→)", "aria-label": "Nächster Clip", onclick: () => stepViewer(1) }, icon("chevronRight")),
        h("div.viewer-heading", null, h("div.viewer-title#viewerTitle"), h("div.viewer-sub#viewerSub")),
        h("button.icon-btn#viewerClose", { type: "button", title: "Schließen (Esc)", "aria-label": "Schließen (Esc)", onclick: closeViewer }, icon("close"))),
      h("div.viewer-stage#viewerStage", null, video, h("div.stage-broken", null, icon("info"), "Der Clip lässt sich nicht abspielen.")),
      h("div.viewer-actions#viewerActions")));
}

function drawViewer() {
  const c = viewer.item;
  if (!c) return;
  const i = viewer.list.findIndex((x) => sameItem(x, c));
  $("#viewerPrev").disabled = i <= 0;
  $("#viewerNext").disabled = i < 0 || i >= viewer.list.length - 1;
  const local = viewer.kind === "local";
  const sub = local
    ? [c.game || "Aufnahme", fmtDate(c.modified), fmtBytes(c.size)]
    : [c.game || "Aufnahme", fmtDate(c.createdAt), fmtCloudBytes(c.size)];
  $("#viewerSub").textContent = sub.join(" · ");
  const title = $("#viewerTitle");
  if (viewer.renaming) fill(title, renameField(c));
  else fill(title, h("span", { title: clipName(local ? c.file : c.name) }, clipName(local ? c.file : c.name)));
  fill($("#viewerActions"), local ? localActions(c) : cloudActions(c));
  markCurrentRow();
  drawViewerUpload();
}

// The list row of the clip on show stands out.
function markCurrentRow() {
  const c = viewer.item;
  for (const el of $$(".clip-row")) {
    const on = !!c && (viewer.kind === "cloud" ? el.dataset.cid === c.id : el.dataset.file === c.file);
    el.classList.toggle("current", on);
  }
}

function localActions(c) {
  return [
    h("button.btn.primary#viewerUpload", { type: "button", onclick: act(() => uploadClip(c)) }),
    h("button.btn", { type: "button", onclick: () => startRename() }, icon("edit"), "Umbenennen"),
    h("button.btn", { type: "button", onclick: act(() => run("showInExplorer", { file: c.file })) }, icon("reveal"), "Im Explorer zeigen"),
    h("span.spacer"),
    h("button.btn.danger", { type: "button", onclick: act(() => deleteInViewer(c)) }, icon("trash"), "Löschen (Papierkorb)"),
  ];
}

function cloudActions(c) {
  return [
    h("button.btn.primary", { type: "button", onclick: act(() => shareCloudClip(c)) },
      icon(c.shareUrl ? "unlink" : "link"), c.shareUrl ? "Nicht mehr teilen" : "Teilen – Link kopieren"),
    h("button.btn", { type: "button", onclick: act(() => run("cloudOpen")) }, icon("external"), "Im Browser öffnen"),
    h("span.spacer"),
    h("button.btn.danger", { type: "button", onclick: act(() => deleteCloudClip(c)) }, icon("trash"), "Aus der Cloud löschen"),
  ];
}

function drawViewerUpload() {
  const btn = $("#viewerUpload");
  if (!btn || !viewer.item) return;
  const u = uploads.get(viewer.item.file);
  btn.disabled = !!u;
  fill(btn, icon("upload"), u ? "Lädt hoch … " + u.pct + " %" : "In die Cloud");
}

function stepViewer(delta) {
  if (!viewer.item || viewer.renaming) return;
  const i = viewer.list.findIndex((x) => sameItem(x, viewer.item));
  const next = viewer.list[i + delta];
  if (i < 0 || !next) return;
  if (viewer.kind === "cloud") act(() => openCloudViewer(next, viewer.list))();
  else showInViewer(next, clipUrl(next.file));
}

function togglePlay() {
  const v = $("#viewerVideo");
  if (!v) return;
  if (v.paused) v.play().catch(() => {});
  else v.pause();
}

// After a delete: the next clip, else the previous, else no viewer.
function leaveDeleted(c) {
  const i = viewer.list.findIndex((x) => sameItem(x, c));
  if (i >= 0) viewer.list.splice(i, 1);
  const next = viewer.list[Math.max(0, i)] || viewer.list[i - 1];
  if (!next) closeViewer();
  else if (viewer.kind === "cloud") act(() => openCloudViewer(next, viewer.list))();
  else showInViewer(next, clipUrl(next.file));
}

async function deleteInViewer(c) {
  if (!(await run("deleteClip", { file: c.file }))) return;
  leaveDeleted(c);
  loadClips();
}

async function deleteCloudClip(c) {
  if (!(await run("cloudDelete", { cid: c.id }))) return;
  toast("Aus der Cloud gelöscht");
  cloud.list = cloud.list.filter((x) => x.id !== c.id);
  leaveDeleted(c);
  loadCloud();
}

async function shareCloudClip(c) {
  const on = !c.shareUrl;
  const r = await run("cloudShare", { cid: c.id, on });
  if (!r) return;
  const url = typeof r.shareUrl === "string" ? r.shareUrl : "";
  c.shareUrl = on ? url : "";
  toast(on ? (url ? "Link kopiert: " + url : "Kein Link erhalten") : "Wird nicht mehr geteilt");
  if (viewer.item === c) drawViewer();
  if (nav.view === "clips" && nav.tab === "cloud") render();
}

// One upload per file at a time; the program reports its progress.
async function uploadClip(c) {
  if (uploads.has(c.file)) return;
  uploads.set(c.file, { pct: 0, own: true });
  drawUploads();
  toast("Wird in die Cloud hochgeladen …");
  let r;
  try {
    r = await call("cloudUpload", { file: c.file, game: c.game });
  } catch (e) {
    r = { error: e instanceof UserError ? e.message : "Cloud-Upload fehlgeschlagen" };
  }
  uploads.delete(c.file);
  drawUploads();
  toast(errorOf(r) || "In die Cloud hochgeladen");
  if (!errorOf(r)) cloud.state = "idle";
}

// Renaming: the title becomes a field; Enter saves, Escape or leaving
// the field cancels.
function startRename() {
  if (viewer.kind !== "local" || !viewer.item) return;
  viewer.renaming = true;
  drawViewer();
  const input = $("#renameInput");
  input.focus();
  input.select();
}

function renameField(c) {
  let busy = false;
  const input = h("input.rename#renameInput", { type: "text", value: clipName(c.file), maxlength: 115, spellcheck: "false", "aria-label": "Neuer Name" });
  const cancel = () => {
    if (!viewer.renaming) return;
    viewer.renaming = false;
    drawViewer();
  };
  input.addEventListener("keydown", (e) => {
    if (e.key === "Escape") {
      e.preventDefault();
      e.stopPropagation();
      cancel();
    } else if (e.key === "Enter") {
      e.preventDefault();
      e.stopPropagation();
      if (busy) return;
      busy = true;
      act(async () => {
        try {
          await commitRename(c, input.value.trim(), input);
        } finally {
          busy = false;
        }
      })();
    }
  });
  input.addEventListener("blur", () => {
    if (!busy) cancel();
  });
  return input;
}

async function commitRename(c, name, input) {
  if (!name || name === clipName(c.file)) {
    viewer.renaming = false;
    drawViewer();
    return;
  }
  if (!(await run("renameClip", { file: c.file, name }))) {
    input.focus();
    return;
  }
  const file = /\.mp4$/i.test(name) ? name : name + ".mp4";
  const old = c.file;
  const video = $("#viewerVideo");
  const at = video ? video.currentTime : 0;
  for (const x of viewer.list) if (x.file === old) x.file = file;
  c.file = file;
  if (clips.selected.delete(old)) clips.selected.add(file);
  viewer.renaming = false;
  if (viewer.item === c) {
    showInViewer(c, clipUrl(file));
    if (video && at > 0) video.addEventListener("loadedmetadata", () => (video.currentTime = at), { once: true });
  }
  loadClips();
}
