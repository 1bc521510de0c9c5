// The sign-in page.  The form posts itself (it works without script);
// this only says when the last try was wrong, and goes on to the console
// when it needs no token.
"use strict";

if (location.hash === "#wrong") {
  document.getElementById("signin-error").hidden = false;
}

fetch("/api/session")
  .then((res) => res.json())
  .then((s) => {
    if (!s.token_required || s.signed_in) location.replace("/");
  })
  .catch(() => {});
