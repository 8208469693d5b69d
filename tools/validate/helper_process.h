// The one place velmora-validate meets the library's helper-process machinery
// (platform::ChildProcess and platform::ReportChannel): this program started again as a
// helper that runs checks, its report channel read line by line with a deadline, and the
// channel written from inside the helper.
#pragma once

#include "protocol.h"

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
    // This program, started as a helper with the arguments after the helper's marker; null
    // when it cannot be started.
    static std::unique_ptr<HelperProcess> Start(const std::vector<std::string>& arguments);
    explicit HelperProcess(std::unique_ptr<platform::ChildProcess> child);
    ~HelperProcess() override;
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    Read NextLine(std::string& line, Clock::time_point deadline) override;
    std::string End(bool inPluginCall) override;

private:
    std::unique_ptr<platform::ChildProcess> child_;
    std::string pending_;
    std::size_t received_ = 0;
    bool ended_ = false;
};

// The helper's side.
class HelperChannel {
public:
    // Whether this process was started as a helper.
    static bool IsHelper(int argc, char** argv);
    // Opens the channel the validator named and prepares the process for plug-in code; null
    // when it names none.
    static std::unique_ptr<HelperChannel> Open(int argc, char** argv);
    HelperChannel(std::unique_ptr<platform::ReportChannel> channel, std::vector<std::string> arguments);
    ~HelperChannel();
    HelperChannel(const HelperChannel&) = delete;
    HelperChannel& operator=(const HelperChannel&) = delete;

    // The arguments the validator passed after the marker.
    const std::vector<std::string>& arguments() const { return arguments_; }
    // Writes one line; false once the validator is gone.
    bool WriteLine(const std::string& line);
    // Ends the process at once, running no plug-in's exit code.
    [[noreturn]] void EndNow(int status);

private:
    std::unique_ptr<platform::ReportChannel> channel_;
    std::vector<std::string> arguments_;
};

}  // namespace velmora::validate
