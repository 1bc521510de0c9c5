// The sign-in page: the token goes to /api/session, which answers with
// the HttpOnly cookie the console then sends; a console that needs no
// token goes straight on.
"use strict";

const form = document.getElementById("signin");
const error = document.getElementById("signin-error");

form.addEventListener("submit", async (ev) => {
  ev.preventDefault();
  error.hidden = true;
  const res = await fetch("/api/session", {
    method: "POST", headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ token: form.token.value.trim() }),
  }).catch(() => null);
  if (res && res.ok) {
    location.replace("/");
    return;
  }
  const body = res ? await res.json().catch(() => ({})) : {};
  error.textContent = res && res.status === 401
    ? "That is not the token." : (body.error || "The collector did not answer.");
  error.hidden = false;
});

fetch("/api/session")
  .then((res) => res.json())
  .then((s) => {
    if (!s.token_required || s.signed_in) location.replace("/");
  })
  .catch(() => {});
