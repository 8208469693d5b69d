// velmora-scan-helper: examines candidate plug-in files for the library, in a process of its
// own, so that a file that aborts, exits, overflows its stack or hangs ends or stalls this
// process rather than the host. The library starts it; it is not meant to be run by hand.
//
//   velmora-scan-helper CHANNEL DIRECTORY PLUGIN-PATH NAME...
//
// CHANNEL names the report channel the library opened for it; the other arguments are
// encoded texts. It examines each named file of DIRECTORY exactly as the library's own
// discovery does, handing it PLUGIN-PATH, and reports each step on the channel (see
// core/candidate_screening.h). It never initialises a plug-in.
#include "core/candidate_screening.h"
#include "core/server_types.h"
#include "platform/platform.h"
#include "platform/process.h"

#include <string>

int main(int argc, char** argv) {
    using namespace velmora;
    const auto channel = platform::ReportChannel::Open(argc > 1 ? argv[1] : nullptr);
    std::string directory, pluginPath;
    if (!channel || argc < 4 || !DecodeText(argv[2], directory) || !DecodeText(argv[3], pluginPath)) return 2;
    channel->ReportOwnEnding();
    if (!channel->Write("H\n")) channel->EndNow(1);
    for (int i = 4; i < argc; ++i) {
        std::string name;
        if (!DecodeText(argv[i], name) || !channel->Write(std::string("B ") + argv[i] + "\n")) channel->EndNow(1);
        const CandidateReport report =
            ExamineCandidate(directory + platform::kPathSeparator + name, name, pluginPath,
                             [&](const char* step) { channel->Write(std::string("S ") + step + "\n"); });
        // A fault the guard contained is the host's to meet again, as without the helper,
        // unless the host should never meet it: see the F line of candidate_screening.h.
        const char* words = channel->TakeStackOverflowSeen() ? "stack overflow"
                            : report.outcome == CandidateOutcome::Fault && std::string(report.faultedCall) == kLoadingStep
                                ? "a fault"
                                : nullptr;
        if (words) {
            channel->Write(std::string("F ") + words + "\n");
            channel->EndNow(0);
        }
        if (!channel->Write("V\n")) channel->EndNow(1);
    }
    channel->Write("E\n");
    // The plug-ins' own clean-up at exit is no part of their examination.
    channel->EndNow(0);
}
