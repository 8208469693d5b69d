// The one place velmora-validate meets the library's helper-process machinery
// (platform::ChildProcess and platform::ReportChannel): this program started again as a
// helper that runs checks, handed its arguments and a key for the run over the channel,
// its report read line by line with a deadline, every line marked with the key (as the
// library's own helper marks its lines), and the channel written from inside the helper.
#pragma once

#include "core/report_channel.h"
#include "protocol.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace velmora::platform {
class ChildProcess;
class ReportChannel;
}  // namespace velmora::platform

namespace velmora::validate {

// Lines longer than this, or more than this much said in all, are no report of ours.
constexpr std::size_t kLongestReportLine = 16384;
constexpr std::size_t kMostReported = 8u << 20;

// The validator's side.
class HelperProcess final : public ReportSource {
public:
    // This program, started as a helper and handed the arguments; null when it cannot be
    // started.
    static std::unique_ptr<HelperProcess> Start(const std::vector<std::string>& arguments);
    HelperProcess(std::unique_ptr<platform::ChildProcess> child, const report::Key& key);
    ~HelperProcess() override;
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    Read NextLine(std::string& line, Clock::time_point deadline) override;
    std::string End(bool inPluginCall) override;

private:
    std::unique_ptr<platform::ChildProcess> child_;
    report::Key key_;
    std::uint32_t lineNumber_ = 0;
    std::string pending_;
    std::size_t received_ = 0;
    bool ended_ = false;
};

// The helper's side.
class HelperChannel {
public:
    // Whether this process was started as a helper.
    static bool IsHelper(int argc, char** argv);
    // Opens the channel the validator named, reads the arguments and the key it sends, and
    // prepares the process for plug-in code; null when it names no channel or sends nothing
    // that makes sense.
    static std::unique_ptr<HelperChannel> Open(int argc, char** argv);
    HelperChannel(std::unique_ptr<platform::ReportChannel> channel, const report::Key& key,
                  std::vector<std::string> arguments);
    ~HelperChannel();
    HelperChannel(const HelperChannel&) = delete;
    HelperChannel& operator=(const HelperChannel&) = delete;

    // The arguments the validator passed.
    const std::vector<std::string>& arguments() const { return arguments_; }
    // Writes one line, marked; false once the validator is gone.
    bool WriteLine(const std::string& line);
    // Ends the process at once, running no plug-in's exit code.
    [[noreturn]] void EndNow(int status);

private:
    static void SayLastWords(platform::ReportChannel::OwnEnding ending, int code) noexcept;
    // Writes text and its mark; safe in a signal handler.
    bool WriteMarked(const char* text, std::size_t size) noexcept;

    std::unique_ptr<platform::ReportChannel> channel_;
    report::Key key_;
    std::vector<std::string> arguments_;
    // Last words may come from a signal handler between two lines of the checks.
    std::atomic<std::uint32_t> lineNumber_{0};
};

}  // namespace velmora::validate
