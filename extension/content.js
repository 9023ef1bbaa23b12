// Relays the page API's calls to the background script and the answers back.
// The port to the background is opened on the first call and belongs to this
// document: when the document goes (navigation, closed tab), the port closes
// and the background stops this page's host.
(() => {
  "use strict";

  const CHANNEL = "quorvanta";
  const runtime = (globalThis.browser || globalThis.chrome).runtime;
  const origin = window.location.origin;
  const waiting = new Set();
  let port = null;

  function answer(id, reply) {
    window.postMessage({ channel: CHANNEL, direction: "answer", id, ...reply }, origin);
  }

  const extensionGone = {
    code: "no_extension",
    message: "The Quorvanta extension is not available any more: enable or reinstall it, then reload the page",
  };

  function connect() {
    const opened = runtime.connect({ name: CHANNEL });
    opened.onMessage.addListener((reply) => {
      if (!waiting.delete(reply.id)) return;
      answer(reply.id, reply.error ? { error: reply.error } : { value: reply.value });
    });
    opened.onDisconnect.addListener(() => {
      port = null;
      for (const id of waiting) answer(id, { error: extensionGone });
      waiting.clear();
    });
    return opened;
  }

  window.addEventListener("message", (event) => {
    const data = event.data;
    // Only this document's own calls: a frame's messages have another source.
    if (event.source !== window || !data || data.channel !== CHANNEL || data.direction !== "call") return;
    const { id, method, args } = data;
    if (typeof id !== "number" || waiting.has(id)) return;
    try {
      port = port || connect();
      waiting.add(id);
      port.postMessage({ id, method, args });
    } catch (cause) {
      waiting.delete(id);
      answer(id, { error: /context invalidated/i.test(cause.message) ? extensionGone
        : { code: "invalid_argument", message: "The call cannot be sent to the extension: " + cause.message } });
    }
  });
})();
