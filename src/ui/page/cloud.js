// The cloud tab: the clips uploaded to the KREL Play Cloud, the storage
// they take, or the invitation to sign in.

const cloud = {
  state: "idle", // "loading", "error", "ready"
  error: "",
  used: 0,
  quota: 0,
  list: [],
};

async function loadAccount() {
  const r = await run("account");
  if (r && typeof r === "object") app.account = { signedIn: r.signedIn === true, email: typeof r.email === "string" ? r.email : "" };
  return app.account;
}

function cleanCloudClip(c) {
  if (!c || typeof c !== "object" || c.id === undefined || c.id === null) return null;
  return {
    id: String(c.id),
    name: typeof c.name === "string" ? c.name : String(c.id),
    game: typeof c.game === "string" ? c.game : "",
    createdAt: c.createdAt,
    size: Number(c.size) || 0,
    durationMs: Number(c.durationMs) || 0,
    shareUrl: typeof c.shareUrl === "string" ? c.shareUrl : "",
    views: Number(c.views) || 0,
  };
}

async function loadCloud() {
  const account = await loadAccount();
  if (!account || !account.signedIn) {
    if (nav.view === "clips" && nav.tab === "cloud") render();
    return;
  }
  cloud.state = "loading";
  if (nav.view === "clips" && nav.tab === "cloud") render();
  let r;
  try {
    r = await call("cloudList");
  } catch (e) {
    r = { error: e instanceof UserError ? e.message : "Cloud nicht erreichbar" };
  }
  const error = errorOf(r);
  if (error) {
    cloud.state = "error";
    cloud.error = error;
  } else {
    const body = r && typeof r === "object" ? r : {};
    cloud.state = "ready";
    cloud.used = Number(body.used) || 0;
    cloud.quota = Number(body.quota) || 0;
    cloud.list = (Array.isArray(body.clips) ? body.clips : []).map(cleanCloudClip).filter(Boolean);
  }
  if (nav.view === "clips" && nav.tab === "cloud") render();
}

function cloudContent() {
  const account = app.account;
  if (!account || (account.signedIn && (cloud.state === "loading" || cloud.state === "idle")))
    return h("div.loading", null, h("span.spinner"), "Lädt …");
  if (!account.signedIn)
    return h("section.card.invite", null,
      h("div.invite-icon", null, icon("cloud")),
      h("h3", null, "Clips teilen mit KREL Play Cloud"),
      h("p", null, "Lade Clips hoch, sieh sie im Browser an und teile sie per Link. Dafür brauchst du nur dein kostenloses KREL-Konto."),
      h("button.btn.primary", { type: "button", onclick: () => go("settings", { sub: "account" }) }, icon("user"), "Anmelden"));
  if (cloud.state === "error")
    return h("section.card.problem", null,
      h("p", null, cloud.error),
      h("button.btn", { type: "button", onclick: act(loadCloud) }, icon("refresh"), "Erneut versuchen"));

  const pct = cloud.quota > 0 ? Math.min(100, (cloud.used / cloud.quota) * 100) : cloud.used > 0 ? 100 : 0;
  const usage = h("section.card.usage", null,
    h("div.usage-head", null, icon("cloud"), h("span#cloudUsage", null, fmtCloudBytes(cloud.used) + " von " + fmtCloudBytes(cloud.quota) + " belegt")),
    h("div.meter", null, h("div.meter-fill#cloudMeter", { style: "width:" + pct.toFixed(1) + "%" })),
    h("div.usage-foot", null,
      h("button.btn.ghost.small", { type: "button", onclick: act(() => run("cloudOpen")) }, icon("external"), "Im Browser öffnen")));
  const list = cloud.list.length
    ? h("div.list#cloudList", null, cloud.list.map((c) => cloudRow(c)))
    : h("div.empty", null, icon("cloud"), h("p", null, "Noch nichts in der Cloud. Öffne einen Clip und wähle „In die Cloud“."));
  return [usage, uploadsLine(), sectionTitle("In der Cloud"), list];
}

function cloudRow(c) {
  const meta = [c.game || "Aufnahme", fmtDate(c.createdAt), fmtCloudBytes(c.size)].join(" · ");
  const el = h("div.clip-row.cloud-row", {
    role: "button",
    tabIndex: 0,
    dataset: { cid: c.id },
    onclick: act(() => openCloudViewer(c, cloud.list)),
    onkeydown: (e) => {
      if (e.key === "Enter" && e.target === el) act(() => openCloudViewer(c, cloud.list))();
    },
  },
  h("div.thumb.cloud-thumb", null, icon("cloud", "thumb-ph"), c.durationMs ? h("span.duration", null, fmtClock(c.durationMs / 1000)) : null),
  h("div.clip-info", null,
    h("div.clip-name", { title: clipName(c.name) }, clipName(c.name)),
    h("div.clip-meta", null, meta),
    c.shareUrl ? h("div.clip-shared", null, icon("link"), "Geteilt · " + c.views + " Aufrufe") : null));
  return el;
}
