// A page's bridge message ("[token,text]" in UTF-8) as the relay reads it, and the string
// literal the relay writes for a text: whatever a call carries must come back unchanged
// through the literal, and the literal must be safe anywhere in a script. The same bytes
// as a URL (a login's rtnUrl): an origin, when there is one, is its own origin and holds
// nothing of a path, query, fragment or credentials.
#include <cstdlib>
#include <string>

#include "relay/ansi_text.h"
#include "relay/bridge_script.h"
#include "relay/trusted_origins.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string message(reinterpret_cast<const char*>(data), size);
  if (const auto origin = UrlOrigin(message)) {
    if (UrlOrigin(*origin) != origin) std::abort();
    if (origin->find_first_of("/?#@\\ ", origin->find("://") + 3) != std::string::npos)
      std::abort();
  }
  const auto call = ParseBridgeCall(message);
  if (!call) return 0;

  const std::string literal = JsonStringLiteral(call->text);
  for (std::size_t i = 0; i < literal.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(literal[i]);
    if (c < 0x20 || c == '<' || c == '>' || c == '&') std::abort();
    // U+2028 and U+2029 (E2 80 A8, E2 80 A9) end a line in older JavaScript.
    if (c == 0xE2 && i + 2 < literal.size() && static_cast<unsigned char>(literal[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(literal[i + 2]) & 0xFE) == 0xA8) {
      std::abort();
    }
  }
  const std::string token = JsonStringLiteral(Utf8ToWide(call->token));
  const auto back = ParseBridgeCall("[" + token + "," + literal + "]");
  if (!back || back->token != call->token || back->text != call->text) std::abort();
  return 0;
}
