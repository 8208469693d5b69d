// The checks of velmora-validate: what each one is, what it found, and where its findings go.
#pragma once

#include "binary_image.h"
#include "core/server_types.h"
#include "platform/inspection.h"
#include "plugin/entry_point_table.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace velmora::validate {

enum class Outcome { Pass, Fail, Skip };
const char* OutcomeWord(Outcome outcome);  // "pass", "fail", "skip"

// One result of a check. A check that passes or is skipped has one; a failed check has one
// per thing it found wrong.
struct Finding {
    std::string check;
    Outcome outcome = Outcome::Pass;
    std::string entryPoint;  // the contract's bare name of the entry point at fault; empty for none
    std::string detail;
};

// Where the findings go as checks run: the validator's own output, or the report channel of
// the helper process that runs them.
class FindingSink {
public:
    virtual ~FindingSink() = default;
    virtual void BeginCheck(const std::string& check) = 0;
    // Plug-in code is about to run: entryPoint (or empty) in the step described, allowed
    // limitMs before the process running it is ended.
    virtual void Step(const std::string& entryPoint, const std::string& what, int limitMs) = 0;
    virtual void Report(const Finding& finding) = 0;
    // The entry point faulted, ended or stalled the process, or answered too slowly: the
    // checks after this one leave it alone, so that each flaw fails the check made for it.
    virtual void Avoid(const std::string& entryPoint) = 0;
    virtual void EndCheck() = 0;
};

// Limits on plug-in code.
constexpr int kPromptMs = 1000;            // a per-server call for a server never added
constexpr int kStalledMs = 5000;           // a per-server call that has not returned by then is stuck
constexpr int kLongCallMs = 20000;         // discovery and life-cycle calls, as the scan helper allows
constexpr int kValidatorWorkMs = 30000;    // between two steps, when no plug-in code runs

// One check as it runs: collects what it finds and tells the sink.
class CheckRun {
public:
    CheckRun(FindingSink& sink, std::string check) : sink_(sink), check_(std::move(check)) {}

    const std::string& check() const { return check_; }
    void Step(const std::string& entryPoint, const std::string& what, int limitMs) {
        sink_.Step(entryPoint, what, limitMs);
    }
    void Fail(const std::string& entryPoint, const std::string& detail);
    void Skip(const std::string& why);
    // The detail of the pass, reported when nothing failed and the check was not skipped.
    void Pass(const std::string& detail) { passDetail_ = detail; }
    // Plug-in code faulted, or a thread is stuck in it: what ran after would run on the
    // plug-in's broken state.
    void Taint() { tainted_ = true; }
    void Avoid(const std::string& entryPoint);
    // An entry point this check did not call, as an earlier one found it broken.
    void LeftOut(const std::string& entryPoint) { leftOut_.insert(entryPoint); }

    bool failed() const { return failed_; }
    bool tainted() const { return tainted_; }
    const std::set<std::string>& avoided() const { return avoided_; }
    // Reports the pass or the skip, if nothing failed.
    void Conclude();

private:
    FindingSink& sink_;
    std::string check_;
    bool failed_ = false, tainted_ = false;
    std::optional<std::string> skipped_;
    std::string passDetail_;
    std::set<std::string> avoided_, leftOut_;
};

// What the checks of one file share within one process.
class CheckContext {
public:
    CheckContext(const std::string& file, int level);

    const std::string& path() const { return path_; }  // with a folder, so the loader searches nowhere else
    const std::string& name() const { return name_; }
    const std::string& directory() const { return directory_; }
    int level() const { return level_; }
    // The text handed to SetPath: the plug-in's folder, as a host hands its plug-in path.
    const std::string& pluginPath() const { return directory_; }
    const std::vector<platform::ThreadInfo>& threadsBeforeLoading() const { return threadsBeforeLoading_; }

    const tools::BinaryImage& Image();
    // The plug-in as the library's discovery binds it, examined once per process; null
    // (with why) when the library would not take it.
    const ServerTypeRecord* Plugin(CheckRun& run, std::string& why);
    void Keep(ServerTypeRecordPtr record) { record_ = std::move(record); }
    // The entry points earlier checks found broken, which the checks leave alone.
    bool Avoided(const std::string& entryPoint) const { return avoided_.count(entryPoint) != 0; }
    void SetAvoided(std::set<std::string> avoided) { avoided_ = std::move(avoided); }

private:
    std::string path_, name_, directory_;
    int level_;
    std::vector<platform::ThreadInfo> threadsBeforeLoading_;
    std::optional<tools::BinaryImage> image_;
    ServerTypeRecordPtr record_;
    std::string refusal_;
    std::set<std::string> avoided_;
};

struct CheckInfo {
    const char* name;
    int level;          // the lowest --level that runs it
    bool needsPlugin;   // skipped once discovery has failed
    const char* what;   // for --list
    void (*run)(CheckContext&, CheckRun&);
};

// Every check, in the order they run: the order of a host's calls.
const std::vector<CheckInfo>& AllChecks();
const CheckInfo* FindCheck(const std::string& name);

// What earlier checks found that the later ones must know: whether the library takes the
// file at all, and which entry points to leave alone.
class Plan {
public:
    void Note(const std::string& check, Outcome outcome);
    void Avoid(const std::string& entryPoint) { avoided_.insert(entryPoint); }
    // Empty when the check runs.
    std::string SkipReason(const CheckInfo& check) const;
    const std::set<std::string>& avoided() const { return avoided_; }

private:
    bool discoveryFailed_ = false;
    std::set<std::string> avoided_;
};

// Runs the checks in order, the plan deciding which are skipped. With stopEarly, stops after
// a check that failed or left the plug-in's state broken, so that the rest run in a fresh
// process. Answers how many checks ran.
std::size_t RunChecks(CheckContext& context, const std::vector<const CheckInfo*>& checks, FindingSink& sink,
                      Plan& plan, bool stopEarly);

// The name of the entry point a discovery step calls ("GetServerTypeID (second call)"), or
// empty for a step that calls none ("loading").
std::string EntryPointOfStep(const std::string& step);
bool IsEntryPointName(const std::string& name);

// The checks, by file (defined beside the code they share).
void CheckFileName(CheckContext&, CheckRun&);
void CheckFileForm(CheckContext&, CheckRun&);
void CheckFileImports(CheckContext&, CheckRun&);
void CheckExportNames(CheckContext&, CheckRun&);
void CheckDiscovery(CheckContext&, CheckRun&);
void CheckTypeName(CheckContext&, CheckRun&);
void CheckSetPath(CheckContext&, CheckRun&);
void CheckCallingConvention(CheckContext&, CheckRun&);
void CheckUnknownServer(CheckContext&, CheckRun&);
void CheckMessageCallback(CheckContext&, CheckRun&);
void CheckLifecycle(CheckContext&, CheckRun&);
void CheckLifecycleResources(CheckContext&, CheckRun&);
void CheckThreads(CheckContext&, CheckRun&);

}  // namespace velmora::validate
