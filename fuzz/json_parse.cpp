// The whole-text JSON rule on arbitrary UTF-16 text. The first input byte picks how the
// rest becomes UTF-16: even widens every byte (easy for the fuzzer to build JSON), odd
// takes byte pairs as little-endian code units (any unit, lone surrogates included).
#include <cstdlib>
#include <string>

#include "common/json_reader.h"

namespace {

// Walks the tree; a reader that kept a node of the wrong shape fails here.
int Depth(const JsonValue& v) {
    int deepest = 0;
    if (v.kind == JsonValue::kArray) {
        for (const auto& item : v.items) deepest = std::max(deepest, Depth(item));
        return deepest + 1;
    }
    if (v.kind == JsonValue::kObject) {
        for (const auto& member : v.members) deepest = std::max(deepest, Depth(member.second));
        return deepest + 1;
    }
    if (!v.items.empty() || !v.members.empty()) std::abort();
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::u16string text;
    if (data[0] % 2 == 0) {
        text.assign(data + 1, data + size);
    } else {
        for (size_t i = 1; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }

    const auto whole = ParseJsonText(text);
    if (whole && Depth(*whole) > kJsonMaxDepth) std::abort();

    // The prefix form must stop inside the text and agree with the whole-text rule.
    const char16_t* cursor = text.c_str();
    SkipSpace(cursor);
    const auto prefix = ParseJson(cursor);
    if (cursor < text.c_str() || cursor > text.c_str() + text.size()) std::abort();
    if (whole && !prefix) std::abort();
    return 0;
}
