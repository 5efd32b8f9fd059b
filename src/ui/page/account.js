// The screen "KREL-Konto": signed in, who; signed out, the sign-in form.

const signInForm = { email: "", busy: false, error: "" };

SUBS.account = {
  title: "KREL-Konto",
  load: loadAccount,
  render() {
    const a = app.account;
    if (!a) return h("div.loading", null, h("span.spinner"), "Lädt …");
    if (a.signedIn)
      return h("section.card.account", null,
        h("div.avatar", null, icon("user")),
        h("div.account-text", null, h("div.row-sub", null, "Angemeldet als"), h("div.account-email#accountEmail", null, a.email)),
        h("button.btn.small", { type: "button", onclick: act(signOut) }, "Abmelden"));
    return signInView();
  },
};

function signInView() {
  const email = h("input.text#signInEmail", { type: "email", value: signInForm.email, autocomplete: "username", placeholder: "name@beispiel.de", spellcheck: "false" });
  const password = h("input.text#signInPassword", { type: "password", autocomplete: "current-password" });
  email.addEventListener("input", () => (signInForm.email = email.value));
  const form = h("form.card.signin#signInForm", { novalidate: true },
    h("p.lead", null, "Mit deinem KREL-Konto lädst du Clips in die KREL Play Cloud, siehst sie im Browser an und teilst sie per Link."),
    h("label.field", null, h("span", null, "E-Mail"), email),
    h("label.field", null, h("span", null, "Passwort"), password),
    signInForm.error ? h("div.form-error#signInError", { role: "alert" }, signInForm.error) : null,
    h("button.btn.primary.wide#signInBtn", { type: "submit", disabled: signInForm.busy }, signInForm.busy ? "Melde an …" : "Anmelden"),
    h("div.form-foot", null,
      h("span", null, "Noch kein Konto?"),
      h("button.link", { type: "button", onclick: act(() => run("openUrl", { url: app.website + "app#registrieren" })) }, "Kostenlos registrieren", icon("external"))));
  form.addEventListener("submit", (e) => {
    e.preventDefault();
    act(() => signIn(email.value.trim(), password.value))();
  });
  return form;
}

async function signIn(email, password) {
  if (signInForm.busy) return;
  signInForm.email = email;
  signInForm.busy = true;
  signInForm.error = "";
  render();
  let r;
  try {
    r = await call("signIn", { email, password });
  } catch (e) {
    r = { error: e instanceof UserError ? e.message : "Anmelden fehlgeschlagen" };
  }
  signInForm.busy = false;
  signInForm.error = errorOf(r);
  if (!signInForm.error) {
    cloud.state = "idle";
    await loadAccount();
  }
  // Drawing anew empties the password field after every attempt.
  if (nav.view === "settings" && nav.sub === "account") {
    render();
    const field = $(signInForm.error ? "#signInPassword" : "#view");
    if (field) field.focus();
  }
}

async function signOut() {
  if (!(await run("signOut"))) return;
  cloud.state = "idle";
  cloud.list = [];
  await loadAccount();
  render();
}
