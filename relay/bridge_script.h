// The page side of the window.external bridge: the user script every frame runs at
// document start, and the JSON texts that carry text between page and relay.
//
// A page calls with text; the script posts "[token,text]" (a JSON array of the token of
// the navigation that opened the page and the text, both strings) to the relay's handler.
// Only frames of a trusted origin get the bridge, and with it the token: a message with
// any other token comes from elsewhere, or from a page the relay has moved on from.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Script message handlers the bridge posts to.
inline constexpr char kBridgeSendData[] = "ocsFnSendData";
inline constexpr char kBridgeSession[] = "ocsFnSession";
// Posted by a frame whose top document lies in another origin: the relay then calls the
// top document's OCS_initUI itself.
inline constexpr char kBridgeInit[] = "ocsFnInit";

// `text` as a JSON string literal (UTF-8) that is also safe anywhere in a script: quotes,
// backslashes and control characters escaped, U+2028 and U+2029 escaped (line breaks in
// older JavaScript), '<', '>' and '&' escaped (so "</script>" never appears), and unpaired
// surrogates escaped as they are; every other character as UTF-8.
std::string JsonStringLiteral(const std::u16string& text);

// A page's call as posted by the script.
struct CBridgeCall {
  std::string token;
  std::u16string text;
};
// The call in a posted message (UTF-8); none when the bytes are not UTF-8 or not a JSON
// array of two strings.
std::optional<CBridgeCall> ParseBridgeCall(const std::string& utf8);

// The script that defines window.external.ocsFnInit, ocsFnSendData and ocsFnSession for
// one navigation, whose request text is `init_text`, in frames of the `trusted` origins
// only (a frame's origin as the browser serialises it). ocsFnInit calls the top
// document's OCS_initUI with `init_text` before it returns, when that is a function;
// ocsFnSendData and ocsFnSession post [token, String(text)] to the handlers above.
std::string BridgeScript(const std::u16string& init_text, const std::string& token,
                         const std::vector<std::string>& trusted);

// A script for the top document: OCS_initUI(text) when the document lies in a `trusted`
// origin and defines that function. It reads nothing the document can forge.
std::string InitUiScript(const std::u16string& text, const std::vector<std::string>& trusted);
