// The local clips: the list from the clip folder, its sort orders, the
// selection, favourites and the thumbnails.

const clips = {
  list: null, // the "listClips" clips, null until loaded
  bytes: 0, // the clip folder's size
  base: "", // where the program serves the clip folder
  sort: "date", // "date", "fav", "game", "size"
  selected: new Set(), // file names picked with Ctrl+click
};
const uploads = new Map(); // file name → {pct, own: started by this page}

const SORTS = [
  { value: "date", label: "Neueste zuerst" },
  { value: "fav", label: "Favoriten zuerst" },
  { value: "game", label: "Nach Spiel" },
  { value: "size", label: "Nach Größe" },
];

const collator = typeof Intl === "object" ? new Intl.Collator("de", { sensitivity: "base", numeric: true }) : null;
const compareText = (a, b) => (collator ? collator.compare(a, b) : a.localeCompare(b));

// One entry as the page uses it; anything else in the list is left out.
function cleanClip(c) {
  if (!c || typeof c !== "object" || typeof c.file !== "string" || !c.file) return null;
  return {
    file: c.file,
    game: typeof c.game === "string" ? c.game : "",
    size: Number(c.size) || 0,
    modified: Number(c.modified) || 0,
    favorite: c.favorite === true,
  };
}

function clipUrl(file) {
  return clips.base + encodeURIComponent(file);
}

async function loadClips() {
  const r = await run("listClips");
  if (!r || typeof r !== "object") return;
  clips.list = (Array.isArray(r.clips) ? r.clips : []).map(cleanClip).filter(Boolean);
  clips.bytes = Number(r.bytes) || 0;
  clips.base = typeof r.base === "string" ? r.base : "";
  const files = new Set(clips.list.map((c) => c.file));
  for (const f of clips.selected) if (!files.has(f)) clips.selected.delete(f);
  if (nav.view === "capture" || (nav.view === "clips" && nav.tab === "local")) render();
}

function sortedClips() {
  const list = (clips.list || []).slice();
  const newest = (a, b) => b.modified - a.modified;
  if (clips.sort === "fav") list.sort((a, b) => Number(b.favorite) - Number(a.favorite) || newest(a, b));
  // Clips without a game (recordings of the desktop) come after the games.
  else if (clips.sort === "game") list.sort((a, b) => Number(!a.game) - Number(!b.game) || compareText(a.game, b.game) || newest(a, b));
  else if (clips.sort === "size") list.sort((a, b) => b.size - a.size);
  else list.sort(newest);
  return list;
}

VIEWS.clips = () =>
  h("div.screen.clips", null,
    h("div.segmented", { role: "tablist" },
      [["local", "Auf diesem PC", "monitor"], ["cloud", "Cloud", "cloud"]].map(([tab, label, ic]) =>
        h("button.seg", { type: "button", role: "tab", class: nav.tab === tab ? "on" : "", "aria-selected": nav.tab === tab ? "true" : "false", onclick: () => go("clips", { tab }) }, icon(ic), label))),
    nav.tab === "cloud" ? cloudContent() : localContent());

function localContent() {
  const list = sortedClips();
  const toolbar = h("div.toolbar", null,
    selectEl(SORTS, clips.sort, (v) => {
      clips.sort = v;
      render();
    }, "Sortierung"),
    h("button.btn.ghost", { type: "button", onclick: act(() => run("openFolder")) }, icon("folder"), "Ordner öffnen"));
  const summary = h("div.summary", null,
    h("span#clipCount", null, clips.list ? list.length + " Clips · " + fmtBytes(clips.bytes) : "Lädt …"),
    clips.selected.size
      ? h("button.btn.danger.small#deleteSelection", { type: "button", title: "Auswahl löschen", onclick: act(deleteSelection) }, icon("trash"), "Auswahl löschen (" + clips.selected.size + ")")
      : null);
  let body;
  if (!clips.list) body = h("div.list#clipList");
  else if (!list.length) body = h("div.empty", null, icon("clips"), h("p", null, "Noch keine Clips – drück im Spiel deinen Clip-Hotkey."));
  else body = h("div.list#clipList", null, list.map((c) => clipRow(c, list, { selectable: true })));
  return [toolbar, summary, uploadsLine(), body, list.length ? h("p.hint", null, "Strg + Klick wählt mehrere Clips aus") : null];
}

// One clip in a list: thumbnail with duration, name, game and date, star.
// A click opens it in the viewer; Ctrl+click picks it.
function clipRow(c, list, opts) {
  const thumb = h("div.thumb", null, icon("play", "thumb-ph"), h("span.duration"));
  const picked = opts.selectable && clips.selected.has(c.file);
  const el = h("div.clip-row", {
    role: "button",
    tabIndex: 0,
    class: picked ? "picked" : "",
    "aria-pressed": opts.selectable ? String(picked) : null,
    dataset: { file: c.file },
    onclick: (e) => {
      if (opts.selectable && (e.ctrlKey || e.metaKey)) {
        if (clips.selected.has(c.file)) clips.selected.delete(c.file);
        else clips.selected.add(c.file);
        render();
      } else {
        openViewer(c, list);
      }
    },
    onkeydown: (e) => {
      if (e.key === "Enter" && e.target === el) openViewer(c, list);
    },
  },
  thumb,
  h("div.clip-info", null,
    h("div.clip-name", { title: clipName(c.file) }, clipName(c.file)),
    h("div.clip-meta", null, (c.game || "Aufnahme") + " · " + fmtDate(c.modified))),
  h("button.star", {
    type: "button",
    class: c.favorite ? "on" : "",
    title: c.favorite ? "Kein Favorit mehr" : "Als Favorit markieren",
    "aria-pressed": String(c.favorite),
    onclick: act(async (e) => {
      e.stopPropagation();
      if (!(await run("favorite", { file: c.file, on: !c.favorite }))) return;
      c.favorite = !c.favorite;
      for (const x of clips.list || []) if (x.file === c.file) x.favorite = c.favorite;
      render();
    }),
  }, icon("star")));
  // The row goes into the page once the whole list is built.
  whenSlid(() => queueMicrotask(() => lazyThumb(thumb, clipUrl(c.file))));
  return el;
}

// Thumbnails are muted videos showing the clip at 1 s. They are made only
// after the slide and only when they come into sight. Once a video shows its
// frame, the frame is kept as a picture and the video lets go of its player
// (each one holds a decoder and buffers), so a long gallery stays light;
// the pictures are kept for the page's life, so that redrawing a list does
// not load them again.
const thumbCache = new Map(); // url → { duration, picture } once decoded
let thumbObserver = null;

function lazyThumb(thumb, url) {
  if (!thumb.isConnected) return;
  if (!thumbObserver && typeof IntersectionObserver === "function") {
    thumbObserver = new IntersectionObserver((entries) => {
      for (const e of entries) {
        if (!e.isIntersecting) continue;
        thumbObserver.unobserve(e.target);
        attachThumb(e.target, e.target.dataset.url);
      }
    }, { root: $("#view"), rootMargin: "300px 0px" });
  }
  thumb.dataset.url = url;
  if (thumbObserver) thumbObserver.observe(thumb);
  else attachThumb(thumb, url);
}

function attachThumb(thumb, url) {
  const known = thumbCache.get(url);
  if (known) {
    showPicture(thumb, known);
    return;
  }
  const video = h("video", { muted: true, preload: "metadata", playsinline: true, disablepictureinpicture: true, tabIndex: -1 });
  video.addEventListener("loadedmetadata", () => {
    video.currentTime = Math.min(1, (video.duration || 2) / 2);
    video.dataset.duration = String(video.duration);
    showDuration(thumb, video.duration);
  });
  video.addEventListener("seeked", () => {
    const entry = { duration: video.duration, picture: frameOf(video) };
    thumbCache.set(url, entry);
    if (!entry.picture) {
      thumb.classList.add("ready"); // no canvas here: keep showing the video
      return;
    }
    video.removeAttribute("src");
    video.load(); // ends its player
    video.remove();
    for (const other of document.querySelectorAll(".thumb")) if (other.dataset.url === url) showPicture(other, entry);
  });
  video.addEventListener("error", () => thumb.classList.add("broken"));
  video.src = url;
  thumb.prepend(video);
}

// The video's current frame on a canvas of the thumbnail's size.
function frameOf(video) {
  try {
    const canvas = h("canvas", { width: 208, height: 116 });
    const ctx = canvas.getContext("2d");
    if (!ctx || !video.videoWidth) return null;
    const scale = Math.max(canvas.width / video.videoWidth, canvas.height / video.videoHeight);
    const w = video.videoWidth * scale, h2 = video.videoHeight * scale;
    ctx.drawImage(video, (canvas.width - w) / 2, (canvas.height - h2) / 2, w, h2);
    return canvas;
  } catch (e) {
    return null;
  }
}

function showPicture(thumb, entry) {
  showDuration(thumb, entry.duration);
  if (!entry.picture) return;
  const old = $("canvas", thumb);
  const copy = old || h("canvas", { width: entry.picture.width, height: entry.picture.height });
  copy.getContext("2d").drawImage(entry.picture, 0, 0);
  if (!old) thumb.prepend(copy);
  thumb.classList.add("ready");
}

function showDuration(thumb, seconds) {
  const d = Number(seconds);
  if (Number.isFinite(d) && d > 0) $(".duration", thumb).textContent = fmtClock(d);
}

async function deleteSelection() {
  const files = Array.from(clips.selected);
  for (const file of files) {
    await run("deleteClip", { file });
    clips.selected.delete(file);
  }
  await loadClips();
}

// "Lädt hoch: name 42 % · …" where uploads run.
function uploadsLine() {
  const el = h("div.uploads-line", { hidden: true }, icon("upload"), h("span.uploads-text"));
  drawUploadsLine(el);
  return el;
}

function drawUploadsLine(el) {
  el.hidden = uploads.size === 0;
  $(".uploads-text", el).textContent = "Lädt hoch: " + Array.from(uploads, ([file, u]) => clipName(file) + " " + u.pct + " %").join(" · ");
}

function drawUploads() {
  for (const el of $$(".uploads-line")) drawUploadsLine(el);
  drawViewerUpload();
}
