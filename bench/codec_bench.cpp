// Payload codec against its references: SEED-ECB and Base64 against OpenSSL, the JSON
// reader against nlohmann::json and RapidJSON. Every case runs as a pair, ours and the
// reference, and the summary prints reference CPU time / our CPU time (above 1: ours is
// faster); CPU time keeps the ratio steady on a machine shared with other work.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "common/json_reader.h"
#include "relay/base64.h"
#include "relay/seed_cipher.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(size);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

// ---- SEED-ECB ------------------------------------------------------------------------

void SeedOurs(benchmark::State& state, bool encrypt) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> data = RandomBytes(size, 1);
    CSeedEncDec cipher;
    cipher.set_key(kOcsPayloadKey);
    for (auto _ : state) {
        if (encrypt) {
            cipher.encrypt_ecb(data.data(), data.size());
        } else {
            cipher.decrypt_ecb(data.data(), data.size());
        }
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void SeedOpenSsl(benchmark::State& state, bool encrypt) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> in = RandomBytes(size, 1), out(size + 16);
    EVP_CIPHER* seed = EVP_CIPHER_fetch(nullptr, "SEED-ECB", nullptr);
    if (seed == nullptr) {
        state.SkipWithError("OpenSSL SEED-ECB unavailable (legacy provider)");
        return;
    }
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, seed, nullptr, reinterpret_cast<const uint8_t*>(kOcsPayloadKey), nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (auto _ : state) {
        int n = 0;
        EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(size));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(seed);
}

// ---- Base64 --------------------------------------------------------------------------

void Base64EncodeOurs(benchmark::State& state) {
    const std::vector<uint8_t> in = RandomBytes(static_cast<size_t>(state.range(0)), 2);
    std::vector<char> out(base64::EncodedSize(in.size()) + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(base64::Encode(in.data(), in.size(), out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void Base64EncodeOpenSsl(benchmark::State& state) {
    const std::vector<uint8_t> in = RandomBytes(static_cast<size_t>(state.range(0)), 2);
    std::vector<uint8_t> out(base64::EncodedSize(in.size()) + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), in.data(), static_cast<int>(in.size())));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

std::string EncodedText(size_t bytes) {
    const std::vector<uint8_t> raw = RandomBytes(bytes, 3);
    return base64::Encode(raw.data(), raw.size());
}

void Base64DecodeOurs(benchmark::State& state) {
    const std::string text = EncodedText(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(base64::DecodedCapacity(text.size()));
    for (auto _ : state) {
        benchmark::DoNotOptimize(base64::DecodeLenient(text.data(), text.size(), out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void Base64DecodeOpenSsl(benchmark::State& state) {
    const std::string text = EncodedText(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> out(base64::DecodedCapacity(text.size()) + 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), reinterpret_cast<const uint8_t*>(text.data()),
                                                 static_cast<int>(text.size())));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// ---- JSON ----------------------------------------------------------------------------

// A request as an OCS client sends it (about 300 bytes).
std::string RequestRecord(int i) {
    return "{\"service_code\":\"MED" + std::to_string(100 + i % 900) +
           "\",\"auth_key\":\"a8f3e2c1-77d4-4b1e-9a0f-" + std::to_string(100000000000 + i) +
           "\",\"hospital_id\":\"H2231\",\"patient\":{\"name\":\"\xed\x99\x8d\xea\xb8\xb8\xeb\x8f\x99\","
           "\"birth\":\"19800101\",\"sex\":\"M\",\"insured\":true},\"items\":[{\"code\":\"A1\",\"qty\":1,"
           "\"price\":12000.5},{\"code\":\"B22\",\"qty\":3,\"price\":-4.25e2}],\"memo\":\"line\\nbreak \\\"q\\\"\","
           "\"claim\":null}";
}

std::string LargeDocument() {
    std::string doc = "{\"requests\":[";
    for (int i = 0; doc.size() < 64 * 1024; ++i) {
        if (i != 0) doc += ',';
        doc += RequestRecord(i);
    }
    doc += "]}";
    return doc;
}

// UTF-8 to UTF-16, enough for the benchmark texts.
std::u16string Widen(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) { cp = c; n = 1; }
        else if (c < 0xE0) { cp = c & 0x1F; n = 2; }
        else if (c < 0xF0) { cp = c & 0x0F; n = 3; }
        else { cp = c & 0x07; n = 4; }
        for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += n;
    }
    return out;
}

const std::string& Document(int which) {
    static const std::string small = RequestRecord(7);
    static const std::string large = LargeDocument();
    return which == 0 ? small : large;
}

void JsonOurs(benchmark::State& state) {
    const std::u16string text = Widen(Document(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        auto value = ParseJsonText(text.c_str());
        if (!value) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(value.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Document(static_cast<int>(state.range(0))).size()));
}

void JsonNlohmann(benchmark::State& state) {
    const std::string& text = Document(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        nlohmann::json value = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void JsonRapid(benchmark::State& state) {
    const std::string& text = Document(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        rapidjson::Document doc;
        doc.Parse(text.c_str(), text.size());
        if (doc.HasParseError()) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// ---- Registration and the ratio summary ----------------------------------------------

struct Pair {
    std::string ours;
    std::string reference;
    double target;  // required reference time / our time
};

std::vector<Pair> Register() {
    std::vector<Pair> pairs;
    auto add = [&](const std::string& name, auto ours, const std::string& ref_name, auto ref, int64_t arg,
                   double target) {
        const std::string suffix = "/" + std::to_string(arg);  // appended by Arg()
        benchmark::RegisterBenchmark((name + "/ours").c_str(), ours)->Arg(arg);
        benchmark::RegisterBenchmark((name + "/" + ref_name).c_str(), ref)->Arg(arg);
        pairs.push_back({name + "/ours" + suffix, name + "/" + ref_name + suffix, target});
    };
    for (int64_t size : {16384, 256}) {
        add("SeedEncrypt", [](benchmark::State& s) { SeedOurs(s, true); }, "openssl",
            [](benchmark::State& s) { SeedOpenSsl(s, true); }, size, 1.5);
        add("SeedDecrypt", [](benchmark::State& s) { SeedOurs(s, false); }, "openssl",
            [](benchmark::State& s) { SeedOpenSsl(s, false); }, size, 1.5);
    }
    for (int64_t size : {16384, 256}) {
        add("Base64Encode", Base64EncodeOurs, "openssl", Base64EncodeOpenSsl, size, 1.0);
        add("Base64Decode", Base64DecodeOurs, "openssl", Base64DecodeOpenSsl, size, 1.0);
    }
    for (int64_t doc : {0, 1}) {  // 0: one request, 1: 64 KiB document
        add("ParseJson", JsonOurs, "nlohmann", JsonNlohmann, doc, 1.0);
        const std::string suffix = "/" + std::to_string(doc);
        benchmark::RegisterBenchmark("ParseJson/rapidjson", JsonRapid)->Arg(doc);
        pairs.push_back({"ParseJson/ours" + suffix, "ParseJson/rapidjson" + suffix, 0.0});
    }
    return pairs;
}

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios(const std::vector<Pair>& pairs) const {
        std::printf("\n%-40s %-10s %s\n", "case (ours vs reference)", "ratio", "target");
        for (const Pair& p : pairs) {
            const auto ours = times_.find(p.ours);
            const auto ref = times_.find(p.reference);
            if (ours == times_.end() || ref == times_.end() || ours->second <= 0) continue;
            const double ratio = ref->second / ours->second;
            const bool graded = p.target > 0;
            std::printf("%-40s %6.2fx    %s\n", p.reference.c_str(), ratio,
                        !graded ? "(for information)" : ratio >= p.target ? "met" : "NOT MET");
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
    if (legacy == nullptr) std::fprintf(stderr, "OpenSSL legacy provider not loaded: SEED reference skipped\n");
    const std::vector<Pair> pairs = Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios(pairs);
    benchmark::Shutdown();
    if (legacy != nullptr) OSSL_PROVIDER_unload(legacy);
    if (fallback != nullptr) OSSL_PROVIDER_unload(fallback);
    return 0;
}
