// window.quorvanta: the page's side of the extension. Runs in the page's own
// world at document start, before any page script, and talks to content.js
// through window messages. It holds no secrets and makes no decisions: the
// background script checks every call and sets its origin.
(() => {
  "use strict";

  const CHANNEL = "quorvanta";
  // Captured now, so that a page script that later replaces them cannot
  // change how this API talks to the extension.
  const post = window.postMessage.bind(window);
  // A sandboxed document has an opaque origin, which no target origin can
  // name: its calls go to this same window with "*" (and are refused).
  const target = window.origin === "null" ? "*" : window.location.origin;
  const pending = new Map();
  let lastId = 0;

  window.addEventListener("message", (event) => {
    const data = event.data;
    if (event.source !== window || !data || data.channel !== CHANNEL || data.direction !== "answer") return;
    const call = pending.get(data.id);
    if (!call) return;
    pending.delete(data.id);
    if (data.error) {
      const error = new Error(String(data.error.message));
      error.code = String(data.error.code);
      call.reject(error);
    } else {
      call.resolve(data.value);
    }
  });

  function call(method, args) {
    return new Promise((resolve, reject) => {
      const id = ++lastId;
      pending.set(id, { resolve, reject });
      try {
        post({ channel: CHANNEL, direction: "call", id, method, args }, target);
      } catch (cause) {
        // Arguments that cannot be copied into a message (functions, DOM nodes).
        pending.delete(id);
        const error = new Error("The arguments cannot be sent: " + cause.message);
        error.code = "invalid_argument";
        reject(error);
      }
    });
  }

  const api = Object.freeze({
    getVersion: () => call("getVersion", []),
    getCertificate: (options) => call("getCertificate", [options]),
    sign: (certificate, hash, options) => call("sign", [certificate, hash, options]),
  });
  Object.defineProperty(window, "quorvanta", { value: api, enumerable: true });
})();
