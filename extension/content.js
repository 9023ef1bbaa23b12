// Relays the page API's calls to the background script and the answers back.
// The port to the background is opened on the first call and belongs to this
// document while it is shown: when the page is hidden (another address, a
// closed tab, or the back-forward cache), the port closes, its calls end and
// the background stops this page's host. A page restored from the cache opens
// a new port on its next call.
(() => {
  "use strict";

  const CHANNEL = "quorvanta";
  // Arguments larger than the background accepts in a request are refused
  // here, before they are copied to the background.
  const MAX_ARGUMENT_BYTES = 1024 * 1024;
  const runtime = (globalThis.browser || globalThis.chrome).runtime;
  // A sandboxed document has an opaque origin, which no target origin can
  // name; messages to this same window then go with "*". The background
  // refuses such a page's calls.
  const target = window.origin === "null" ? "*" : window.location.origin;
  const waiting = new Set();
  let port = null;

  function answer(id, reply) {
    window.postMessage({ channel: CHANNEL, direction: "answer", id, ...reply }, target);
  }

  const extensionGone = {
    code: "no_extension",
    message: "The Quorvanta extension is not available any more: enable or reinstall it, then reload the page",
  };
  const pageLeft = { code: "user_cancel", message: "The page was left while the Quorvanta call waited, so the call ended" };
  const tooLarge = {
    code: "invalid_argument",
    message: "The call's arguments are larger than " + MAX_ARGUMENT_BYTES + " bytes: sign fewer hashes at once",
  };
  const notData = {
    code: "invalid_argument",
    message: "The arguments may hold only text, numbers, true, false, null, lists and plain objects",
  };

  // A lower bound of the arguments' size as JSON text (each UTF-16 unit is at
  // least one byte), counted only until it passes the limit. What JSON has no
  // form for (buffers, maps, dates, big integers) could hide any size, so it is
  // refused. The page's messages are structured clones, which may hold cycles:
  // each object is counted once.
  function refusal(args) {
    const seen = new Set();
    const pending = [args];
    let size = 0;
    while (pending.length > 0 && size <= MAX_ARGUMENT_BYTES) {
      const value = pending.pop();
      const type = typeof value;
      if (type === "string") {
        size += value.length + 2;
      } else if (type === "number" || type === "boolean" || type === "undefined" || value === null) {
        size += 1;
      } else if (type !== "object") {
        return notData;
      } else if (!seen.has(value)) {
        seen.add(value);
        const kind = Object.prototype.toString.call(value);
        if (kind !== "[object Object]" && kind !== "[object Array]") return notData;
        size += 1;
        if (kind === "[object Array]") {
          // [value, for every element, also the holes of a sparse list,
          // which JSON writes as null.
          size += value.length;
          for (let i = 0; i < value.length && size <= MAX_ARGUMENT_BYTES; i++) pending.push(value[i]);
        } else {
          for (const key of Object.keys(value)) {
            const member = value[key];
            // {"key":value,
            if (member !== undefined) size += key.length + 4;
            pending.push(member);
            if (size > MAX_ARGUMENT_BYTES) break;
          }
        }
      }
    }
    return size > MAX_ARGUMENT_BYTES ? tooLarge : null;
  }

  function connect() {
    const opened = runtime.connect({ name: CHANNEL });
    opened.onMessage.addListener((reply) => {
      if (opened !== port || !waiting.delete(reply.id)) return;
      answer(reply.id, reply.error ? { error: reply.error } : { value: reply.value });
    });
    opened.onDisconnect.addListener(() => {
      if (opened !== port) return;
      port = null;
      for (const id of waiting) answer(id, { error: extensionGone });
      waiting.clear();
    });
    return opened;
  }

  // Only events that the browser delivered: a page can dispatch a message or
  // a pagehide event of its own making.
  window.addEventListener("message", (event) => {
    const data = event.data;
    // Only this document's own calls: a frame's messages have another source.
    if (!event.isTrusted || event.source !== window || !data || data.channel !== CHANNEL ||
        data.direction !== "call") return;
    const { id, method, args } = data;
    if (typeof id !== "number" || waiting.has(id)) return;
    let refused;
    try {
      refused = refusal(args);
    } catch (cause) {
      refused = { code: "invalid_argument", message: "The arguments cannot be read: " + cause.message };
    }
    if (refused) return answer(id, { error: refused });
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

  // The calls that waited when the page was hidden; they are answered when it
  // is shown again from the cache (Firefox drops messages posted to a hidden
  // page).
  const ended = new Set();

  window.addEventListener("pagehide", (event) => {
    if (!event.isTrusted || !port) return;
    const left = port;
    port = null;
    left.disconnect();
    for (const id of waiting) ended.add(id);
    waiting.clear();
  });

  window.addEventListener("pageshow", (event) => {
    if (!event.isTrusted) return;
    for (const id of ended) answer(id, { error: pageLeft });
    ended.clear();
  });
})();
