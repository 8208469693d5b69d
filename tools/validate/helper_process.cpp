#include "helper_process.h"

#include "platform/platform.h"
#include "platform/process.h"

#include <cstdlib>
#include <cstring>

namespace velmora::validate {

namespace {

// The helper's command line: the program, the channel the library's machinery names, then
// this marker and the arguments.
constexpr const char kMarker[] = "--run-checks-as-helper";

}  // namespace

HelperProcess::HelperProcess(std::unique_ptr<platform::ChildProcess> child) : child_(std::move(child)) {}

HelperProcess::~HelperProcess() { End(false); }

std::unique_ptr<HelperProcess> HelperProcess::Start(const std::vector<std::string>& arguments) {
    std::vector<std::string> words{kMarker};
    words.insert(words.end(), arguments.begin(), arguments.end());
    auto child = platform::ChildProcess::Start(platform::ExecutablePath(), words);
    return child ? std::make_unique<HelperProcess>(std::move(child)) : nullptr;
}

HelperProcess::Read HelperProcess::NextLine(std::string& line, Clock::time_point deadline) {
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos && newline <= kLongestReportLine) {
            line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return Read::Line;
        }
        if (pending_.size() > kLongestReportLine || received_ > kMostReported) return Read::Overlong;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Read::TimedOut;
        const std::size_t before = pending_.size();
        switch (child_->Read(pending_, static_cast<int>(left))) {
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
    return child_->Ending(inPluginCall).words;
}

HelperChannel::HelperChannel(std::unique_ptr<platform::ReportChannel> channel, std::vector<std::string> arguments)
    : channel_(std::move(channel)), arguments_(std::move(arguments)) {}

HelperChannel::~HelperChannel() = default;

bool HelperChannel::IsHelper(int argc, char** argv) { return argc >= 3 && std::strcmp(argv[2], kMarker) == 0; }

std::unique_ptr<HelperChannel> HelperChannel::Open(int argc, char** argv) {
    if (!IsHelper(argc, argv)) return nullptr;
    auto channel = platform::ReportChannel::Open(argv[1]);
    if (!channel) return nullptr;
    channel->ReportOwnEnding();
    return std::make_unique<HelperChannel>(std::move(channel), std::vector<std::string>(argv + 3, argv + argc));
}

bool HelperChannel::WriteLine(const std::string& line) { return channel_->Write(line + "\n"); }

void HelperChannel::EndNow(int status) {
    channel_->EndNow(status);
    std::_Exit(status);
}

}  // namespace velmora::validate
