// The protocol's figures, side by side in one run: encode+decode of one message of each family in the
// binary codec and as a JSON document (nlohmann::json), and the frame decoder over one 16384-byte read of
// back-to-back `move` frames against the same moves as newline-separated JSON documents. After the
// table the run prints each binary/JSON ratio and checks the goals: a `move` round trip under 100 ns and
// at least 20 times faster than its JSON twin.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "ProtocolJson.h"
#include "protocol/messages/MessageCodec.h"
#include "protocol/messages/MessageFraming.h"

using namespace TrackpadProtocol;

namespace {

struct Family {
    const char* name;
    Message message;
};

std::vector<Family> families() {
    const UUID id = UUID::random();
    std::vector<MacApp> apps;
    for (int i = 0; i < 20; ++i) {
        apps.push_back({"com.example.application" + std::to_string(i), "Application " + std::to_string(i),
                        i == 0 ? MacApp::State::active : MacApp::State{}});
    }
    Bytes32 token;
    token.fill(0x5C);
    return {
        {"move", Message::Move{1.5f, -2.25f}},
        {"positioned",
         Message::Positioned{Message{Message::Move{1.5f, -2.25f}}, PointerStamp{id, 41, 40, 812.5, 377.25}}},
        {"scroll", Message::Scroll{0.5f, -12.0f, ScrollPhase::changed, ScrollStamp{{7, 19}}}},
        {"gesture", Message::Gesture{{Gesture::Pinch{GesturePhase::changed, 0.0625f, PinchStamp{{3, 4}}}}}},
        {"keyCombination",
         Message::KeyCombination{{KeyCombination::Code{36}, KeyCombination::Modifiers::command}}},
        {"text", Message::Text{"The quick brown fox jumps over the lazy dog"}},
        {"annotation", Message::Annotation{{Annotation::Update{12, 340, {0.25f, 0.75f}}}}},
        {"pairing", Message::PairingRequest{id, "Ada's iPhone"}},
        {"session", Message::SessionRequest{id, token, true}},
        {"screenViewStart", Message::ScreenViewStart{{1, 1920, 60, ScreenVideoCodecs::h264}}},
        {"screenshotPart", Message::Screenshot{{7, 0, 3, Data(ScreenDataPart::maxBytes, 0xA5)}}},
        {"runningApps", Message::RunningApps{{apps, 0, 1}}},
        {"nowPlaying", Message::NowPlaying{NowPlaying("Song", "Artist", Data(20000, 0x33))}},
        {"volumeStatus", Message::VolumeStatus{{42, false, true}}},
        {"unlockRequest", Message::UnlockRequest{{9, "correct horse battery staple"}}},
    };
}

void binaryRoundTrip(benchmark::State& state, const Message& message) {
    for (auto _ : state) {
        auto payload = MessageCodec::encode(message);
        auto decoded = MessageCodec::decode(payload);
        benchmark::DoNotOptimize(decoded);
    }
    state.counters["bytes"] = static_cast<double>(MessageCodec::encode(message).size());
}

void jsonRoundTrip(benchmark::State& state, const Message& message) {
    for (auto _ : state) {
        auto text = protocol_bench::toJsonText(message);
        auto decoded = protocol_bench::fromJsonText(text);
        benchmark::DoNotOptimize(decoded);
    }
    state.counters["bytes"] = static_cast<double>(protocol_bench::toJsonText(message).size());
}

// One read of the size the connection reads, filled with whole and (at its end) cut move frames.
Data binaryMoveRead() {
    Data read;
    for (int i = 0; read.size() < FrameDecoder::readSize; ++i) {
        MessageFraming::appendFrame(Message::Move{static_cast<float>(i % 7), -1.5f}, read);
    }
    read.resize(FrameDecoder::readSize);
    return read;
}

std::string jsonMoveRead() {
    std::string read;
    for (int i = 0; read.size() < FrameDecoder::readSize; ++i) {
        read += protocol_bench::toJsonText(Message::Move{static_cast<float>(i % 7), -1.5f});
        read += '\n';
    }
    read.resize(FrameDecoder::readSize);
    return read;
}

void binaryFrameDecoder(benchmark::State& state) {
    const auto read = binaryMoveRead();
    std::size_t messages = 0;
    for (auto _ : state) {
        FrameDecoder decoder;
        decoder.feed(
            read,
            [&](Message&& message) {
                benchmark::DoNotOptimize(message);
                ++messages;
            },
            [](const FrameDecoder::BadFrame&) { std::abort(); });
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * read.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
}

void jsonFrameDecoder(benchmark::State& state) {
    const auto read = jsonMoveRead();
    std::size_t messages = 0;
    for (auto _ : state) {
        std::string_view rest = read;
        for (auto end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
            auto message = protocol_bench::fromJsonText(rest.substr(0, end));
            benchmark::DoNotOptimize(message);
            ++messages;
            rest.remove_prefix(end + 1);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * read.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
}

// Prints the usual table, then the ratios and the goals.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                nanoseconds_[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-16s %12s %12s %8s\n", "family", "binary ns", "JSON ns", "ratio");
        for (const auto& family : families()) {
            const auto binary = time(std::string("roundTrip/binary/") + family.name);
            const auto json = time(std::string("roundTrip/json/") + family.name);
            if (binary > 0 && json > 0)
                std::printf("%-16s %12.1f %12.1f %7.1fx\n", family.name, binary, json, json / binary);
        }
        const auto frames = time("frameDecoder/binary/move16384");
        const auto jsonFrames = time("frameDecoder/json/move16384");
        if (frames > 0) {
            std::printf(
                "\nframe decoder: one 16384-byte read of %zu move frames in %.0f ns: %.2f GB/s, %.1f M "
                "messages/s",
                FrameDecoder::readSize / 12, frames, FrameDecoder::readSize / frames,
                1e3 * static_cast<double>(FrameDecoder::readSize / 12) / frames);
            if (jsonFrames > 0)
                std::printf(" (JSON lines: %.0f ns, %.1fx slower)", jsonFrames, jsonFrames / frames);
            std::printf("\n");
        }
        const auto move = time("roundTrip/binary/move");
        const auto moveJson = time("roundTrip/json/move");
        if (move > 0 && moveJson > 0) {
            std::printf(
                "move round trip: %.1f ns (goal < 100 ns: %s); JSON twin %.1f ns, ratio %.1fx (goal >= 20x: "
                "%s)\n",
                move, move < 100 ? "met" : "MISSED", moveJson, moveJson / move,
                moveJson / move >= 20 ? "met" : "MISSED");
        }
    }

  private:
    double time(const std::string& name) const {
        auto found = nanoseconds_.find(name);
        return found == nanoseconds_.end() ? 0 : found->second;
    }
    std::map<std::string, double> nanoseconds_;
};

}  // namespace

int main(int argc, char** argv) {
    for (const auto& family : families()) {
        // The twins must carry the same message, or the comparison means nothing.
        if (MessageCodec::decode(MessageCodec::encode(family.message)) != family.message ||
            protocol_bench::fromJsonText(protocol_bench::toJsonText(family.message)) != family.message) {
            std::fprintf(stderr, "round trip of %s changed the message\n", family.name);
            return 1;
        }
        benchmark::RegisterBenchmark((std::string("roundTrip/binary/") + family.name).c_str(),
                                     binaryRoundTrip, family.message)
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark((std::string("roundTrip/json/") + family.name).c_str(), jsonRoundTrip,
                                     family.message)
            ->Unit(benchmark::kNanosecond);
    }
    benchmark::RegisterBenchmark("frameDecoder/binary/move16384", binaryFrameDecoder)
        ->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("frameDecoder/json/move16384", jsonFrameDecoder)
        ->Unit(benchmark::kNanosecond);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
