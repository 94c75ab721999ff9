// The page side of the window.external bridge: the user script every frame runs at
// document start, and the JSON string literals that carry text between page and relay.
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

// The text of one JSON string literal in UTF-8 (white space around it allowed); none when
// the bytes are not UTF-8, not JSON, or a value other than a string.
std::optional<std::u16string> ParseJsonStringLiteral(const std::string& utf8);

// The script that defines window.external.ocsFnInit, ocsFnSendData and ocsFnSession for
// one navigation. ocsFnInit calls the top document's OCS_initUI with `init_text` before it
// returns, when that is a function; ocsFnSendData and ocsFnSession post String(text) as a
// JSON string literal to the handlers above.
std::string BridgeScript(const std::u16string& init_text);
