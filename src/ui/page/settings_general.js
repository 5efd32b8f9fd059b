// The screen "Allgemein": version and updates, autostart, the log and
// uninstalling.

const general = {
  checking: false,
  uninstall: "", // "" | "armed" (asks again for 4000 ms) | "running"
  uninstallTimer: 0,
};

SUBS.general = {
  title: "Allgemein",
  load: loadAppInfo,
  render() {
    const u = app.update || { version: "", checked: false };
    const status = u.version
      ? "Neue Version " + u.version + " verfügbar"
      : u.checked
        ? "Du hast die neueste Version."
        : "Updates werden beim Start automatisch installiert.";
    return [
      h("section.card.rows", null,
        h("div.row", null,
          h("div.row-text", null,
            h("div.row-label", null, "Version ", h("span.version#appVersion", null, app.version || "…")),
            h("div.row-sub#updateStatus", { class: u.version ? "accent" : "" }, status)),
          h("div.row-ctl", null,
            h("button.btn.small#checkUpdate", { type: "button", disabled: general.checking, onclick: act(checkUpdate) },
              icon("refresh"), general.checking ? "Suche …" : "Nach Updates suchen"))),
        row("Mit Windows starten", null, switchEl(S.autostart !== false, (on) => save({ autostart: on }), "Mit Windows starten"))),
      accordion("generalAdvanced", "Erweitert", null, () => [
        row("Updates automatisch installieren", null,
          switchEl(S.autoUpdate !== false, (on) => save({ autoUpdate: on }), "Updates automatisch installieren")),
        row("Protokoll", null, h("button.btn.small", { type: "button", onclick: act(() => run("openLog")) }, icon("external"), "Öffnen")),
        row("KREL Play deinstallieren", "Deine Clips bleiben erhalten.", uninstallButton()),
      ]),
    ];
  },
};

async function checkUpdate() {
  general.checking = true;
  render();
  let r;
  try {
    r = await call("checkUpdate");
  } catch (e) {
    r = { error: e instanceof UserError ? e.message : "Update-Prüfung fehlgeschlagen" };
  }
  general.checking = false;
  const version = r && typeof r.version === "string" ? r.version : "";
  if (errorOf(r) && !version) toast(errorOf(r));
  else if (!version) toast("Du hast die neueste Version.");
  onUpdate({ version: version || (app.update ? app.update.version : ""), checked: true });
  if (nav.view === "settings") render();
}

// Two steps: the first click asks, a second within 4000 ms uninstalls.
function uninstallButton() {
  const state = general.uninstall;
  return h("button.btn.small.danger#uninstallBtn", {
    type: "button",
    class: state === "armed" ? "armed" : "",
    disabled: state === "running",
    onclick: () => {
      if (general.uninstall === "armed") {
        clearTimeout(general.uninstallTimer);
        general.uninstall = "running";
        call("uninstall").catch((e) => {
          general.uninstall = "";
          toast(e instanceof UserError ? e.message : "Deinstallieren fehlgeschlagen");
          render();
        });
      } else if (!general.uninstall) {
        general.uninstall = "armed";
        general.uninstallTimer = setTimeout(() => {
          general.uninstall = "";
          if (nav.view === "settings" && nav.sub === "general") render();
        }, 4000);
      }
      render();
    },
  }, icon("trash"), state === "armed" ? "Wirklich deinstallieren?" : state === "running" ? "Wird deinstalliert …" : "Deinstallieren");
}
