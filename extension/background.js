// The extension's trusted side. Each page that calls the API gets its own
// native host process, which serves that page's origin only. Every request is
// built here from checked arguments: the origin comes from what the browser
// says about the sender, the nonce is made here, and an answer goes back only
// to the page that asked.
"use strict";

const HOST_NAME = "lv.quorvanta.token_signing";
// Larger requests are refused before they reach the host. A batch that the
// host could sign and answer within the browsers' 1 MiB answer limit is far
// smaller.
const MAX_REQUEST_BYTES = 1024 * 1024;
// The host serves one call at a time; this many more may wait for it. A page
// that makes more calls at once gets "busy" for the extra ones at once.
const MAX_WAITING_CALLS = 8;
// After this many dialogs in a row that the user cancelled, a page may show
// no more until it is loaded again, so that it cannot keep the user in
// dialogs. A dialog counts as cancelled when the host answers user_cancel.
const MAX_CANCELLED_DIALOGS = 3;
const runtime = (globalThis.browser || globalThis.chrome).runtime;

const NO_HOST = {
  code: "no_host",
  message: "The Quorvanta signing host is not installed: install the Quorvanta token signing package " +
    "(quorvanta-token-signing on Linux, the Quorvanta MSI on Windows), then try again",
};
const BUSY = {
  code: "busy",
  message: "Too many Quorvanta calls of this page are waiting for their answers: call again when they have ended",
};
const HOST_ENDED = { code: "technical_error", message: "The Quorvanta signing host ended without answering" };
const NO_ORIGIN = {
  code: "not_allowed",
  message: "This page has no origin of its own (it is sandboxed, for example by a Content-Security-Policy " +
    "\"sandbox\" header without allow-same-origin), and Quorvanta serves only https pages with their own origin",
};
const DIALOGS_REFUSED = {
  code: "user_cancel",
  message: "The user cancelled " + MAX_CANCELLED_DIALOGS + " Quorvanta dialogs of this page in a row, so it may " +
    "show no more: load the page again to ask again",
};

class CallError extends Error {
  constructor(message) {
    super(message);
    this.code = "invalid_argument";
  }
}

function isPlainObject(value) {
  return typeof value === "object" && value !== null && !Array.isArray(value);
}

function checkHex(value, what) {
  if (typeof value !== "string" || value.length === 0 || value.length % 2 !== 0 || !/^[0-9a-fA-F]*$/.test(value)) {
    throw new CallError(what + " must be a non-empty text of hexadecimal digit pairs");
  }
}

// The members that the options may set; any other member is ignored, and so
// is an "origin" or "nonce" that a page puts there.
function readOptions(options) {
  if (options === undefined || options === null) return {};
  if (!isPlainObject(options)) throw new CallError("options must be an object");
  const request = {};
  if (options.lang !== undefined) {
    if (typeof options.lang !== "string" || options.lang.length > 16) {
      throw new CallError("options.lang must be a language code such as \"lv\", \"en\" or \"ru\"");
    }
    request.lang = options.lang;
  }
  if (options.operation !== undefined) {
    if (!["sign", "auth", "jwt"].includes(options.operation)) {
      throw new CallError("options.operation must be \"sign\", \"auth\" or \"jwt\"");
    }
    request.operation = options.operation;
  }
  return request;
}

function readHash(hash) {
  if (!isPlainObject(hash)) {
    checkHex(hash, "hash");
    return hash;
  }
  const names = Object.keys(hash);
  if (names.length === 0) throw new CallError("a batch of hashes must name at least one hash");
  for (const name of names) checkHex(hash[name], "hash \"" + name + "\"");
  return hash;
}

// method name → [build the request from the arguments, read the answer,
// whether the host may show a dialog for it].
const METHODS = {
  getVersion: [() => ({ type: "VERSION" }), (answer) => answer.version, false],
  getCertificate: [(options) => ({ type: "CERT", ...readOptions(options) }), (answer) => answer.cert, true],
  sign: [
    (certificate, hash, options) => {
      checkHex(certificate, "certificate");
      return { type: "SIGN", ...readOptions(options), cert: certificate, hash: readHash(hash) };
    },
    (answer) => answer.signature,
    true,
  ],
};

function buildRequest(method, args) {
  if (!Object.prototype.hasOwnProperty.call(METHODS, method)) throw new CallError("unknown call " + method);
  if (!Array.isArray(args)) throw new CallError("the arguments must be a list");
  return METHODS[method][0](...args);
}

function isTopLevelPage(sender) {
  return Boolean(sender && sender.tab && sender.frameId === 0);
}

// The page's origin as the browser reports it, for https pages; never taken
// from the page's address, which a sandboxed page (whose origin is opaque,
// "null") shares with the site that serves it.
function senderOrigin(sender) {
  const origin = sender.origin;
  return typeof origin === "string" && origin.startsWith("https://") ? origin : null;
}

function hostNotFound(error) {
  return /not found|no such native application|forbidden/i.test((error && error.message) || "");
}

// One page document and the host process that serves it. A page without an
// https origin gets no host: each of its calls is refused.
class PageSession {
  constructor(page, origin) {
    this.page = page;
    this.origin = origin;
    this.host = null;
    this.call = null;
    this.waiting = [];
    this.cancelledDialogs = 0;
    page.onMessage.addListener((message) => this.receive(message));
    page.onDisconnect.addListener(() => this.close());
  }

  reply(id, reply) {
    try {
      this.page.postMessage({ id, ...reply });
    } catch {
      // The page has gone; its disconnect ends the session.
    }
  }

  receive(message) {
    const id = message && message.id;
    if (typeof id !== "number") return;
    if (!this.origin) return this.reply(id, { error: NO_ORIGIN });
    if (this.refusesDialogs(message.method)) return this.reply(id, { error: DIALOGS_REFUSED });
    if (this.waiting.length >= MAX_WAITING_CALLS) return this.reply(id, { error: BUSY });
    let request;
    try {
      request = buildRequest(message.method, message.args);
      request.nonce = crypto.randomUUID();
      request.origin = this.origin;
      if (new TextEncoder().encode(JSON.stringify(request)).length > MAX_REQUEST_BYTES) {
        throw new CallError("The request is larger than " + MAX_REQUEST_BYTES + " bytes: sign fewer hashes at once");
      }
    } catch (error) {
      return this.reply(id, { error: { code: error.code || "invalid_argument", message: error.message } });
    }
    this.waiting.push({ id, request, method: message.method, read: METHODS[message.method][1] });
    this.next();
  }

  refusesDialogs(method) {
    return this.cancelledDialogs >= MAX_CANCELLED_DIALOGS && Object.prototype.hasOwnProperty.call(METHODS, method) &&
      METHODS[method][2];
  }

  // Sends the next waiting call when the host is free. Calls that waited
  // while the user cancelled the last dialog allowed are refused now.
  next() {
    while (!this.call && this.waiting.length > 0) {
      const call = this.waiting.shift();
      if (this.refusesDialogs(call.method)) {
        this.reply(call.id, { error: DIALOGS_REFUSED });
        continue;
      }
      this.call = call;
      try {
        if (!this.host) this.host = this.startHost();
        this.host.postMessage(call.request);
      } catch (error) {
        this.hostEnded(this.host, error);
      }
    }
  }

  startHost() {
    const host = runtime.connectNative(HOST_NAME);
    host.onMessage.addListener((answer) => this.answer(answer));
    host.onDisconnect.addListener((port) => this.hostEnded(host, runtime.lastError || (port && port.error)));
    return host;
  }

  answer(answer) {
    const call = this.call;
    // Answers the host writes before it ends on a bad request carry no nonce.
    if (!call || !isPlainObject(answer) || (answer.nonce !== undefined && answer.nonce !== call.request.nonce)) {
      return;
    }
    this.call = null;
    // Only a signature shows that the user confirmed a dialog (the PIN's): a
    // certificate may come without one, once the site has the user's consent.
    if (answer.result === "user_cancel" && METHODS[call.method][2]) this.cancelledDialogs += 1;
    else if (answer.result === "ok" && call.method === "sign") this.cancelledDialogs = 0;
    // A host that is about to end (after a card error, say) answers without
    // "api". The next call must not be sent to it, but to a new host.
    if (answer.api === undefined && this.host) {
      this.host.disconnect();
      this.host = null;
    }
    const value = answer.result === "ok" ? call.read(answer) : undefined;
    if (value !== undefined) {
      this.reply(call.id, { value });
    } else if (answer.result !== "ok") {
      this.reply(call.id, { error: {
        code: typeof answer.result === "string" ? answer.result : "technical_error",
        message: typeof answer.message === "string" ? answer.message : "The signing host gave no reason",
      } });
    } else {
      this.reply(call.id, { error: HOST_ENDED });
    }
    this.next();
  }

  // The host process has ended (after a card error it ends itself) or never
  // started. The next call starts a new one.
  hostEnded(host, error) {
    if (host && host !== this.host) return;
    this.host = null;
    const call = this.call;
    this.call = null;
    if (call) this.reply(call.id, { error: hostNotFound(error) ? NO_HOST : HOST_ENDED });
    this.next();
  }

  close() {
    const host = this.host;
    this.host = null;
    this.call = null;
    this.waiting = [];
    if (host) host.disconnect();
  }
}

runtime.onConnect.addListener((page) => {
  if (page.name !== "quorvanta" || !isTopLevelPage(page.sender)) return page.disconnect();
  new PageSession(page, senderOrigin(page.sender));
});
