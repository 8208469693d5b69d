#include "helper_process.h"

#include "core/candidate_screening.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/signal_safe_text.h"

#include <cstdlib>
#include <cstring>

namespace velmora::validate {

namespace {

// The helper's command line: the program, the channel the library's machinery names, then
// this marker. Its arguments come over the channel.
constexpr const char kMarker[] = "--run-checks-as-helper";
constexpr const char kRequestHeader[] = "velmora-validate-request 1\n";
// Starting a process may take long under Wine on a loaded machine.
constexpr int kStartAllowanceMs = 60000;
// After a kill the process ends at once; the wait for it is bounded all the same.
constexpr int kKillWaitMs = 5000;
constexpr std::size_t kLargestRequest = 1 << 20;

// The channel the last words are written to: one helper per process.
HelperChannel* lastWordsChannel = nullptr;

}  // namespace

HelperProcess::HelperProcess(std::unique_ptr<platform::ChildProcess> child, const report::Key& key)
    : child_(std::move(child)), key_(key) {}

HelperProcess::~HelperProcess() { End(false); }

std::unique_ptr<HelperProcess> HelperProcess::Start(const std::vector<std::string>& arguments) {
    auto child = platform::ChildProcess::Start(platform::ExecutablePath(), kStartAllowanceMs, {kMarker});
    if (!child) return nullptr;
    report::Key key;
    platform::RandomBytes(key.data(), key.size());
    std::string request = kRequestHeader + std::string("K ") + report::KeyText(key) + "\n";
    for (const std::string& argument : arguments) request += "A " + EncodeText(argument) + "\n";
    request += "G\n";
    if (!child->Send(request, kStartAllowanceMs)) return nullptr;
    return std::make_unique<HelperProcess>(std::move(child), key);
}

HelperProcess::Read HelperProcess::NextLine(std::string& line, Clock::time_point deadline) {
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos && newline <= kLongestReportLine) {
            const std::string marked = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            std::string_view text;
            if (!report::MarkedText(key_, lineNumber_++, marked, text)) return Read::Unmarked;
            line = text;
            return Read::Line;
        }
        if (pending_.size() > kLongestReportLine || received_ > kMostReported) return Read::Overlong;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Read::TimedOut;
        const std::size_t before = pending_.size();
        switch (child_->Read(pending_, 4096, static_cast<int>(left))) {
            case platform::ChildProcess::ReadResult::Data: received_ += pending_.size() - before; break;
            case platform::ChildProcess::ReadResult::TimedOut: return Read::TimedOut;
            case platform::ChildProcess::ReadResult::Ended: return Read::Ended;
        }
    }
}

std::string HelperProcess::End(bool inPluginCall) {
    if (ended_) return {};
    ended_ = true;
    // Its channel may be closed while it runs on: ending it first keeps the wait short.
    child_->Kill();
    const auto ending = child_->WaitForEnding(kKillWaitMs, inPluginCall);
    return ending ? ending->words : "did not end when killed";
}

HelperChannel::HelperChannel(std::unique_ptr<platform::ReportChannel> channel, const report::Key& key,
                             std::vector<std::string> arguments)
    : channel_(std::move(channel)), key_(key), arguments_(std::move(arguments)) {}

HelperChannel::~HelperChannel() {
    if (lastWordsChannel == this) lastWordsChannel = nullptr;
}

bool HelperChannel::IsHelper(int argc, char** argv) { return argc == 3 && std::strcmp(argv[2], kMarker) == 0; }

std::unique_ptr<HelperChannel> HelperChannel::Open(int argc, char** argv) {
    if (!IsHelper(argc, argv)) return nullptr;
    auto channel = platform::ReportChannel::Open(argv[1]);
    if (!channel) return nullptr;
    // The whole request comes before any plug-in code runs.
    std::string request;
    while (request.size() < kLargestRequest && (request.size() < 2 || request.compare(request.size() - 2, 2, "G\n") != 0))
        if (!channel->Receive(request, kLargestRequest - request.size(), kStartAllowanceMs)) return nullptr;
    if (request.compare(0, sizeof kRequestHeader - 1, kRequestHeader) != 0) return nullptr;
    report::Key key;
    std::vector<std::string> arguments;
    std::size_t start = sizeof kRequestHeader - 1;
    for (bool keyRead = false;;) {
        const std::size_t end = request.find('\n', start);
        if (end == std::string::npos) return nullptr;
        const std::string line = request.substr(start, end - start);
        start = end + 1;
        std::string value;
        if (line == "G" && keyRead && start == request.size()) break;
        if (line.size() < 2 || line[1] != ' ') return nullptr;
        if (line[0] == 'K' && !keyRead && report::ParseKeyText(line.substr(2), key)) keyRead = true;
        else if (line[0] == 'A' && keyRead && DecodeText(line.substr(2), value)) arguments.push_back(value);
        else return nullptr;
    }
    auto opened = std::make_unique<HelperChannel>(std::move(channel), key, std::move(arguments));
    lastWordsChannel = opened.get();
    opened->channel_->ReportOwnEnding(SayLastWords);
    return opened;
}

bool HelperChannel::WriteLine(const std::string& line) { return WriteMarked(line.data(), line.size()); }

bool HelperChannel::WriteMarked(const char* text, std::size_t size) noexcept {
    char mark[16];
    report::Mark(key_, lineNumber_.fetch_add(1, std::memory_order_relaxed), std::string_view(text, size), mark);
    return channel_->Write(text, size) && channel_->Write(" ", 1) && channel_->Write(mark, sizeof mark) &&
           channel_->Write("\n", 1);
}

void HelperChannel::SayLastWords(platform::ReportChannel::OwnEnding ending, int code) noexcept {
    if (!lastWordsChannel) return;
    // "D <words>", composed without the C library.
    char text[96];
    platform::FixedText words(text, sizeof text);
    words.Append("D ");
    const unsigned number = static_cast<unsigned>(code) & 0xFF;
    using OwnEnding = platform::ReportChannel::OwnEnding;
    switch (ending) {
        case OwnEnding::Aborted: words.Append("aborted"); break;
        case OwnEnding::Exited: words.Append("exited with status ").Decimal(number); break;
        case OwnEnding::OwnSignal:
        case OwnEnding::OutsideSignal:
            words.Append("killed by signal ").Decimal(number);
            words.Append(ending == OwnEnding::OwnSignal ? ", raised by itself" : ", sent by another process");
            break;
    }
    lastWordsChannel->WriteMarked(text, words.size());
}

void HelperChannel::EndNow(int status) {
    channel_->EndNow(status);
    std::_Exit(status);
}

}  // namespace velmora::validate
