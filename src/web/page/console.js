// Shows the server's state as it stands; the full console replaces this page.
"use strict";
const token = document.querySelector('meta[name="lindra-token"]');
fetch("/api/state", token ? { headers: { Authorization: "Bearer " + token.content } } : {})
  .then((reply) => reply.json())
  .then((state) => { document.getElementById("state").textContent = JSON.stringify(state, null, 2); });
