#include "check.h"

#include "core/candidate_verdict.h"
#include "core/readable_text.h"
#include "platform/platform.h"
#include "terminal_text.h"

namespace velmora::validate {

const char* OutcomeWord(Outcome outcome) {
    switch (outcome) {
        case Outcome::Pass: return "pass";
        case Outcome::Fail: return "fail";
        case Outcome::Skip: return "skip";
    }
    return "fail";
}

void CheckRun::Fail(const std::string& entryPoint, const std::string& detail) {
    failed_ = true;
    sink_.Report({check_, Outcome::Fail, entryPoint, detail});
}

void CheckRun::Skip(const std::string& why) {
    if (!skipped_) skipped_ = why;
}

void CheckRun::Avoid(const std::string& entryPoint) {
    if (entryPoint.empty() || !avoided_.insert(entryPoint).second) return;
    sink_.Avoid(entryPoint);
}

void CheckRun::Conclude() {
    if (failed_) return;
    std::string leftOut;
    for (const std::string& entryPoint : leftOut_) leftOut += (leftOut.empty() ? "" : ", ") + entryPoint;
    if (!leftOut.empty()) leftOut = " (not called, as an earlier check found them broken: " + leftOut + ")";
    sink_.Report(skipped_ ? Finding{check_, Outcome::Skip, "", *skipped_}
                          : Finding{check_, Outcome::Pass, "", passDetail_ + leftOut});
}

CheckContext::CheckContext(const std::string& file, int level)
    : level_(level), threadsBeforeLoading_(platform::ListThreads()) {
    // A slash ends a folder on every system the tool runs on.
    const auto cut = file.find_last_of(std::string(platform::kDirectoryDelimiters) + "/");
    name_ = cut == std::string::npos ? file : file.substr(cut + 1);
    // A path without a folder would send the loader searching its own folders.
    directory_ = cut == std::string::npos ? "." : file.substr(0, cut);
    path_ = directory_ + platform::kPathSeparator + name_;
}

const tools::BinaryImage& CheckContext::Image() {
    if (!image_) image_ = tools::ReadBinaryImageFile(path_);
    return *image_;
}

const ServerTypeRecord* CheckContext::Plugin(CheckRun& run, std::string& why) {
    if (!record_ && refusal_.empty()) {
        const CandidateReport report = ExamineCandidate(path_, name_, pluginPath(), [&](const char* step) {
            run.Step(EntryPointOfStep(step), std::string(step) + ", discovering the plug-in for the check", kLongCallMs);
        });
        if (report.outcome == CandidateOutcome::Fault) run.Taint();
        if (report.record)
            record_ = report.record;
        else
            refusal_ = "the library does not take the file: " + DescribeCandidate(name_, report, ReadableDisplayName).detail;
    }
    why = refusal_;
    return record_.get();
}

const std::vector<CheckInfo>& AllChecks() {
    static const std::vector<CheckInfo> checks = {
        {"file-name", 1, false,
         "The file's name matches QXDVR*, with the extension in lower case; the library passes any other file over.",
         CheckFileName},
        {"file-form", 1, false,
         "The file is a library of the form and machine this build loads (the 32-bit library a 32-bit DLL), "
         "and it reads whole.",
         CheckFileForm},
        {"file-imports", 1, false,
         "Every library the file imports can be found: on Windows beside it or where the system looks, on Linux "
         "in its run paths or where the loader looks. The missing ones are named.",
         CheckFileImports},
        {"export-names", 1, false,
         "GetServerTypeID is exported, and no entry point hides under a decorated or C++ name (_Name@N, Name@N, "
         "_Z...); the argument size a decoration states is compared with the contract's.",
         CheckExportNames},
        {"discovery", 2, false,
         "The library's own discovery calls: two loads, GetServerTypeID three times, SetPath, GetServerTypeName "
         "where it applies. The same type ID on every call; from level 3 a second discovery must agree.",
         CheckDiscovery},
        {"type-name", 2, true,
         "GetServerTypeName, where the library asks it: a zero-terminated name within the capacity given, and "
         "the name's length as the answer. From level 4 also with capacities too small for the name.",
         CheckTypeName},
        {"lifecycle", 3, true,
         "InitDLL, InitClient, DeInitClient and DeInitDLL run without a fault, and no thread of the plug-in "
         "still runs 1 s after DeInitDLL.",
         CheckLifecycle},
        {"unknown-server", 3, true,
         "The twenty per-server calls, for a server ID never added: each returns within 1 s, without a fault, "
         "and the ones given a server ID do not answer success (above 0). One still running after 5 s is stuck.",
         CheckUnknownServer},
        {"set-path", 3, true,
         "SetPath keeps no pointer to its text: the text is made unreadable once SetPath returns, then every "
         "entry point is called.",
         CheckSetPath},
        {"calling-convention", 3, true,
         "32-bit build only: every exported entry point, called with harmless arguments, takes exactly the "
         "contract's argument bytes off the stack, as stdcall does. A cdecl or wrong-arity one is named.",
         CheckCallingConvention},
        {"message-callback", 3, true,
         "A callback given with SetSvMsgCallBack (stdcall: server, message, user value), when the plug-in calls "
         "it during the registry and per-server calls, leaves the stack balanced on the 32-bit build.",
         CheckMessageCallback},
        {"threads", 4, true,
         "The per-server calls from a thread other than the one that called InitDLL, then from two threads at "
         "once (more rounds at level 5): no fault, and no call stuck for 5 s.",
         CheckThreads},
        {"lifecycle-resources", 4, true,
         "The life cycle repeated (4 times at level 4, 10 at level 5): handles, memory and threads must not "
         "grow with every cycle; what grows is named with the call it grows in.",
         CheckLifecycleResources},
    };
    return checks;
}

const CheckInfo* FindCheck(const std::string& name) {
    for (const CheckInfo& check : AllChecks())
        if (name == check.name) return &check;
    return nullptr;
}

void Plan::Note(const std::string& check, Outcome outcome) {
    if (check == "discovery" && outcome == Outcome::Fail) discoveryFailed_ = true;
}

std::string Plan::SkipReason(const CheckInfo& check) const {
    return check.needsPlugin && discoveryFailed_ ? "the library does not take the file (see discovery)" : "";
}

std::size_t RunChecks(CheckContext& context, const std::vector<const CheckInfo*>& checks, FindingSink& sink,
                      Plan& plan, bool stopEarly) {
    for (std::size_t i = 0; i < checks.size(); ++i) {
        const CheckInfo& check = *checks[i];
        CheckRun run(sink, check.name);
        context.SetAvoided(plan.avoided());
        sink.BeginCheck(check.name);
        const std::string skip = plan.SkipReason(check);
        if (skip.empty())
            check.run(context, run);
        else
            run.Skip(skip);
        run.Conclude();
        sink.EndCheck();
        plan.Note(check.name, run.failed() ? Outcome::Fail : Outcome::Pass);
        for (const std::string& entryPoint : run.avoided()) plan.Avoid(entryPoint);
        if (stopEarly && (run.failed() || run.tainted())) return i + 1;
    }
    return checks.size();
}

bool IsEntryPointName(const std::string& name) {
    for (const EntryPointInfo& entry : kEntryPoints)
        if (name == entry.name) return true;
    return false;
}

std::string EntryPointOfStep(const std::string& step) {
    const std::string first = step.substr(0, step.find(' '));
    return IsEntryPointName(first) ? first : std::string{};
}

}  // namespace velmora::validate
