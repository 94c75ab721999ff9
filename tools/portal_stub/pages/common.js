// Helpers shared by the stub's pages.

// The query the relay appends: "?auth_key=%s&session_key=%s" with both values
// percent-encoded. Older relays sent them as they were: the session key is everything
// after "&session_key=", so such a key holding "&" or "=" reads back whole too.
function stubRelayQuery() {
  var raw = location.search.charAt(0) === "?" ? location.search.substring(1) : location.search;
  var sessionAt = raw.indexOf("&session_key=");
  var auth = "";
  var session = "";
  if (raw.indexOf("auth_key=") === 0) {
    auth = sessionAt >= 0 ? raw.substring(9, sessionAt) : raw.substring(9);
  }
  if (sessionAt >= 0) {
    session = raw.substring(sessionAt + 13);
  } else if (raw.indexOf("session_key=") === 0) {
    session = raw.substring(12);
  }
  return { raw: raw, auth_key: stubDecode(auth), session_key: stubDecode(session) };
}

function stubDecode(text) {
  try {
    return decodeURIComponent(text);
  } catch (e) {
    return text;
  }
}

// window.external when the relay's bridge is there, else null.
function stubBridge() {
  var external = window.external;
  if (external && typeof external.ocsFnInit !== "undefined" &&
      typeof external.ocsFnSendData !== "undefined") {
    return external;
  }
  return null;
}

// The JSON object of `text`, or null.
function stubParseObject(text) {
  if (typeof text !== "string") return null;
  try {
    var value = JSON.parse(text);
    return value !== null && typeof value === "object" && !Array.isArray(value) ? value : null;
  } catch (e) {
    return null;
  }
}

function stubMember(object, name) {
  return object && typeof object[name] === "string" ? object[name] : "";
}

function stubShow(id, text) {
  var element = document.getElementById(id);
  if (element) element.textContent = text;
}

function stubStatus(text) {
  stubShow("status", text);
}

function stubShowQuery(query) {
  stubShow("query-auth-key", query.auth_key);
  stubShow("query-session-key", query.session_key);
}

var STUB_NO_BRIDGE =
    "window.external.ocsFnInit is not there: this page answers only inside Veltrane. " +
    "(Veltrane 창에서 열어야 응답할 수 있습니다.)";
