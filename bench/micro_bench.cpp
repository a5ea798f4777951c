// In-process costs: record decoding against the scan it is built on, quote removal's
// independence from the text's length, and reading a reply's envelope with the plain-reply
// scan against the JSON parser it spares.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "wire/records.hpp"
#include "wire/reply.hpp"

namespace {

using velmora::StringMap;
using velmora::detail::kRecordSeparator;

// About 1 MiB of records shaped like presence lists: short distinct keys, short values.
const std::string& replyText() {
    static const std::string text = [] {
        std::string out;
        for (int i = 0; out.size() < (1u << 20); ++i) {
            if (!out.empty()) out.append(kRecordSeparator);
            out.append("user").append(std::to_string(i)).append("|online since ").append(std::to_string(i % 977));
        }
        return out;
    }();
    return text;
}

// The baselines find records with the library's own scan, so that they differ from
// decodeRecords only in how they store what they find.
using velmora::detail::findRecordEnd;

void BM_DecodeRecords(benchmark::State& state) {
    const std::string& text = replyText();
    for (auto _ : state) {
        StringMap map = velmora::detail::decodeRecords(text, "default");
        benchmark::DoNotOptimize(map);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The baseline: the same scan, counting records to reserve, then emplacing key and value.
void BM_ScanEmplaceBaseline(benchmark::State& state) {
    const std::string& text = replyText();
    for (auto _ : state) {
        const char* const begin = text.data();
        const char* const end = begin + text.size();
        std::size_t records = 1;
        for (const char* p = begin; (p = findRecordEnd(p, end)) != end; p += kRecordSeparator.size()) ++records;
        StringMap map;
        map.reserve(records);
        for (const char* p = begin;;) {
            const char* re = findRecordEnd(p, end);
            const void* bar = std::memchr(p, '|', static_cast<std::size_t>(re - p));
            if (bar != nullptr) {
                const char* k = static_cast<const char*>(bar);
                map.emplace(std::string(p, k), std::string(k + 1, re));
            }
            if (re == end) break;
            p = re + kRecordSeparator.size();
        }
        benchmark::DoNotOptimize(map);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The scan alone: what decoding would cost if storing were free.
void BM_BareMemchrScan(benchmark::State& state) {
    const std::string& text = replyText();
    for (auto _ : state) {
        const char* const end = text.data() + text.size();
        std::size_t fields = 0;
        for (const char* p = text.data();;) {
            const char* re = findRecordEnd(p, end);
            fields += std::memchr(p, '|', static_cast<std::size_t>(re - p)) != nullptr;
            if (re == end) break;
            p = re + kRecordSeparator.size();
        }
        benchmark::DoNotOptimize(fields);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_RemoveQuotes(benchmark::State& state) {
    std::string text = "\"" + std::string(static_cast<std::size_t>(state.range(0)) - 2, 'a') + "\"";
    for (auto _ : state) {
        auto out = velmora::detail::removeQuotes(text);
        benchmark::DoNotOptimize(out);
    }
}

// Replies as the service sends them: a boolean, and a short record text.
const char* const kEnvelopes[] = {R"({"d":true})", "{\"d\":\"anna|online\xC2\xA7" "bruno|away\"}"};

void BM_ReadEnvelope(benchmark::State& state) {
    const std::string body = kEnvelopes[state.range(0)];
    for (auto _ : state) {
        auto e = velmora::detail::readEnvelope(body);
        benchmark::DoNotOptimize(e);
    }
}

void BM_ParseEnvelopeBaseline(benchmark::State& state) {
    const std::string body = kEnvelopes[state.range(0)];
    for (auto _ : state) {
        auto e = velmora::detail::parseEnvelope(body);
        benchmark::DoNotOptimize(e);
    }
}

}  // namespace

BENCHMARK(BM_ReadEnvelope)->Arg(0)->Arg(1);
BENCHMARK(BM_ParseEnvelopeBaseline)->Arg(0)->Arg(1);
BENCHMARK(BM_DecodeRecords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanEmplaceBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareMemchrScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveQuotes)->Arg(10)->Arg(1 << 20);

BENCHMARK_MAIN();
