// The page side of the window.external bridge: the user script every frame runs at
// document start, and the JSON texts that carry text between page and relay.
//
// A page calls with text; the script posts "[serial,text]" (a JSON array of the number
// of the request whose text the page holds and a string) to the relay's handler.
#pragma once

#include <optional>
#include <string>

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
  unsigned int serial = 0;
  std::u16string text;
};
// The call in a posted message (UTF-8); none when the bytes are not UTF-8 or not a JSON
// array of a whole number from 0 to 2^32-1 and a string.
std::optional<CBridgeCall> ParseBridgeCall(const std::string& utf8);

// The script that defines window.external.ocsFnInit, ocsFnSendData and ocsFnSession for
// one navigation, which opens a page for request `serial` whose text is `init_text`.
// ocsFnInit calls the top document's OCS_initUI with `init_text` before it returns, when
// that is a function; ocsFnSendData and ocsFnSession post [serial, String(text)] to the
// handlers above.
std::string BridgeScript(const std::u16string& init_text, unsigned int serial);
