// velmora-scan-helper: examines candidate plug-in files for the library, in a process of its
// own, so that a file that aborts, exits, overflows its stack or hangs ends or stalls this
// process rather than the host. The library starts it; it is not meant to be run by hand.
//
//   velmora-scan-helper CHANNEL
//
// CHANNEL names the private channel the library made for it. Over it comes the request (the
// directory, the SetPath text and the files, see core/report_channel.h), read whole before
// anything is loaded; then each file of the directory is examined exactly as the library's
// own discovery does, in the order given, and each step reported. It never initialises a
// plug-in.
#include "core/report_channel.h"
#include "core/server_types.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/signal_safe_text.h"

#include <string>

namespace velmora {
namespace {

// The library sends the request at once; this much silence means it is gone.
constexpr int kRequestWaitMs = 60000;
constexpr std::size_t kLargestReceive = 65536;

// Shared with the last words, which run in signal handlers and exit hooks.
platform::ReportChannel* channel = nullptr;
report::ReportWriter* writer = nullptr;

void Say(const std::string& text) {
    char line[report::kLongestLine];
    const std::size_t length = writer->Compose(text.c_str(), line);
    // The library is gone, or plug-in code closed the channel: nobody is listening.
    if (!channel->Write(line, length)) channel->EndNow(1);
}

void SayLastWords(platform::ReportChannel::OwnEnding ending, int code) noexcept {
    // "D <ending> <code>", composed without the C library.
    char text[16];
    platform::FixedText words(text, sizeof text - 1);
    words.Append("D ").Decimal(static_cast<unsigned>(ending)).Append(" ").Decimal(static_cast<unsigned>(code) & 0xFF);
    text[words.size()] = '\0';
    char line[report::kLongestLine];
    channel->Write(line, writer->Compose(text, line));
}

// What the guard contained while a file was examined that the host must not meet again,
// and in which step; examines the file and tells the library each step on the way.
struct Examination {
    CandidateReport report;
    platform::ReportChannel::Contained contained = platform::ReportChannel::Contained::Nothing;
    const char* containedIn = nullptr;
};

Examination Examine(const std::string& path, const std::string& name, const std::string& pluginPath) {
    Examination examination;
    const char* current = nullptr;
    const auto note = [&] {
        const auto seen = channel->TakeContained();
        if (seen == platform::ReportChannel::Contained::Nothing) return;
        // A stack overflow outweighs whatever else was seen: the thread's stack is spent.
        if (examination.contained == platform::ReportChannel::Contained::Nothing ||
            seen == platform::ReportChannel::Contained::StackOverflow) {
            examination.contained = seen;
            examination.containedIn = current;
        }
    };
    examination.report = ExamineCandidate(path, name, pluginPath, [&](const char* step) {
        note();
        current = step;
        Say("S " + std::to_string(ExaminationStepIndex(step)));
    });
    note();
    return examination;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
    using namespace velmora;
    const auto opened = platform::ReportChannel::Open(argc == 2 ? argv[1] : nullptr);
    if (!opened) return 2;
    channel = opened.get();
    std::string text;
    report::Request request;
    for (report::RequestState state = report::RequestState::Incomplete; state != report::RequestState::Complete;) {
        if (!channel->Receive(text, kLargestReceive, kRequestWaitMs)) return 2;
        state = report::ParseRequest(text, request);
        if (state == report::RequestState::Malformed) return 2;
    }
    report::ReportWriter reportWriter(request.key);
    writer = &reportWriter;
    channel->ReportOwnEnding(SayLastWords);

    Say("H");
    for (std::size_t i = 0; i < request.names.size(); ++i) {
        const std::string index = std::to_string(i);
        Say("B " + index);
        const Examination examination =
            Examine(request.directory + platform::kPathSeparator + request.names[i], request.names[i], request.pluginPath);
        // A fault the guard contained is the host's to meet again, as without the helper,
        // unless the host should never meet it: see the F line of core/report_channel.h.
        using Contained = platform::ReportChannel::Contained;
        const bool faultedLoading = examination.report.outcome == CandidateOutcome::Fault &&
                                    IsLoadingStep(examination.report.faultedCall);
        const int misdeed = examination.contained == Contained::StackOverflow ? static_cast<int>(report::Misdeed::StackOverflow)
                            : faultedLoading ? static_cast<int>(report::Misdeed::FaultWhileLoading)
                            : examination.contained == Contained::Abort && IsLoadingStep(examination.containedIn)
                                ? static_cast<int>(report::Misdeed::AbortWhileLoading)
                                : -1;
        if (misdeed >= 0) {
            Say("F " + index + " " + std::to_string(misdeed));
            channel->EndNow(0);
        }
        Say("V " + index);
    }
    Say("E");
    // The plug-ins' own clean-up at exit is no part of their examination.
    channel->EndNow(0);
}
