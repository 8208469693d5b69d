#include "supervisor.h"

#include "core/candidate_screening.h"
#include "entry_calls.h"
#include "helper_process.h"
#include "protocol.h"

#include <algorithm>
#include <cstdio>

namespace velmora::validate {

namespace {

// Starting a process may take long under Wine on a loaded machine.
constexpr int kStartAllowanceMs = 60000;
// Allowed on top of a step's own limit, for the time the lines take to arrive.
constexpr int kSlackMs = 2000;
constexpr std::size_t kMostFindings = 200;
// However its steps go, no check may take longer.
constexpr int kLongestCheckMs = 300000;

// Text from the helper's process, where plug-in code may have written it, as plain ASCII.
std::string Printable(const std::string& text, std::size_t most) {
    std::string shown;
    for (const unsigned char c : text.substr(0, most)) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
        shown += escaped;
    }
    return shown + (text.size() > most ? "..." : "");
}

// One helper process over checks[next...]: follows its lines and hands on what they report.
class Session {
public:
    Session(ReportSource& helper, const std::vector<const CheckInfo*>& checks, std::size_t next, FindingSink& sink,
            Plan& plan)
        : helper_(helper), checks_(checks), next_(next), sink_(sink), plan_(plan) {}

    // Answers the index of the first check still to run.
    std::size_t Run() {
        Clock::time_point deadline = After(kStartAllowanceMs);
        int limitMs = kStartAllowanceMs;
        for (;;) {
            std::string line;
            switch (helper_.NextLine(line, deadline)) {
                case ReportSource::Read::Line: break;
                case ReportSource::Read::TimedOut: {
                    helper_.End(false);
                    const std::string cause = Clock::now() >= checkDeadline_
                                                  ? "the check took more than " + Seconds(kLongestCheckMs / 1000.0)
                                                  : "no answer within " + Seconds(limitMs / 1000.0);
                    return FailCurrent(step_.entryPoint, cause + During());
                }
                case ReportSource::Read::Ended: {
                    const std::string words = helper_.End(inStep_ && !step_.entryPoint.empty());
                    const std::string how = lastWords_.empty() ? words : lastWords_;
                    return FailCurrent(step_.entryPoint, started_ ? "the helper process " + how + During()
                                                                  : "the helper process " + how + " before it started");
                }
                case ReportSource::Read::Overlong: return Nonsense("an overlong line");
                case ReportSource::Read::Unmarked: return Nonsense("a line the helper did not mark");
            }
            ReportLine parsed;
            if (!ParseReportLine(line, parsed) || !Take(parsed)) return Nonsense("\"" + Printable(line, 60) + "\"");
            if (parsed.kind == ReportLine::Kind::Stop || parsed.kind == ReportLine::Kind::Done) {
                helper_.End(false);
                return next_;
            }
            // Last words and entry points to avoid come in the midst of a step.
            if (parsed.kind == ReportLine::Kind::LastWords || parsed.kind == ReportLine::Kind::Avoid) continue;
            limitMs = parsed.kind == ReportLine::Kind::Step ? parsed.limitMs : kValidatorWorkMs;
            inStep_ = parsed.kind == ReportLine::Kind::Step;
            deadline = std::min(After(limitMs + kSlackMs), checkDeadline_);
        }
    }

private:
    static Clock::time_point After(int milliseconds) { return Clock::now() + std::chrono::milliseconds(milliseconds); }

    // Follows one line; false when it comes out of order.
    bool Take(const ReportLine& line) {
        using Kind = ReportLine::Kind;
        switch (line.kind) {
            case Kind::Started:
                if (started_) return false;
                started_ = true;
                return true;
            case Kind::Begin:
                if (!started_ || inCheck_ || next_ >= checks_.size() || line.check != checks_[next_]->name) return false;
                inCheck_ = true;
                checkDeadline_ = After(kLongestCheckMs);
                findings_.clear();
                step_ = {};
                return true;
            case Kind::Step:
                if (!inCheck_) return false;
                step_ = line;
                return true;
            case Kind::Result:
                if (!inCheck_ || findings_.size() == kMostFindings ||
                    std::any_of(findings_.begin(), findings_.end(), [](const Finding& f) { return f.outcome != Outcome::Fail; }) ||
                    (line.outcome != Outcome::Fail && !findings_.empty()))
                    return false;
                findings_.push_back({checks_[next_]->name, line.outcome, line.entryPoint, line.text});
                step_ = {};
                return true;
            case Kind::Avoid:
                if (!inCheck_) return false;
                plan_.Avoid(line.entryPoint);
                return true;
            case Kind::End:
                if (!inCheck_ || findings_.empty()) return false;
                Hand(findings_);
                inCheck_ = false;
                checkDeadline_ = Clock::time_point::max();
                ++next_;
                return true;
            case Kind::Stop: return started_ && !inCheck_ && next_ < checks_.size();
            case Kind::Done: return started_ && !inCheck_ && next_ == checks_.size();
            case Kind::LastWords:
                lastWords_ = Printable(line.text, 200);
                return true;
        }
        return false;
    }

    std::string During() const { return step_.text.empty() ? "" : " in " + step_.text; }

    void Hand(const std::vector<Finding>& findings) {
        const std::string& check = checks_[next_]->name;
        sink_.BeginCheck(check);
        bool failed = false;
        for (const Finding& finding : findings) {
            sink_.Report(finding);
            failed = failed || finding.outcome == Outcome::Fail;
        }
        sink_.EndCheck();
        plan_.Note(check, failed ? Outcome::Fail : Outcome::Pass);
    }

    // The check under way, or the one expected next, fails with the cause, after what it
    // found before.
    std::size_t FailCurrent(const std::string& entryPoint, const std::string& cause) {
        if (next_ >= checks_.size()) return next_;
        if (!entryPoint.empty()) plan_.Avoid(entryPoint);
        std::vector<Finding> findings = inCheck_ ? findings_ : std::vector<Finding>{};
        findings.erase(std::remove_if(findings.begin(), findings.end(), [](const Finding& f) { return f.outcome != Outcome::Fail; }),
                       findings.end());
        findings.push_back({checks_[next_]->name, Outcome::Fail, entryPoint, cause});
        Hand(findings);
        return next_ + 1;
    }

    std::size_t Nonsense(const std::string& what) {
        helper_.End(false);
        return FailCurrent("", "the helper process said what makes no sense (" + what +
                                   "): plug-in code may have written to its report channel");
    }

    ReportSource& helper_;
    const std::vector<const CheckInfo*>& checks_;
    std::size_t next_;
    FindingSink& sink_;
    Plan& plan_;
    bool started_ = false, inCheck_ = false, inStep_ = false;
    Clock::time_point checkDeadline_ = Clock::time_point::max();
    std::vector<Finding> findings_;
    ReportLine step_;
    std::string lastWords_;
};

}  // namespace

std::size_t FollowHelper(ReportSource& helper, const std::vector<const CheckInfo*>& checks, std::size_t next,
                         FindingSink& sink, Plan& plan) {
    return Session(helper, checks, next, sink, plan).Run();
}

void RunInHelpers(const std::string& file, int level, const std::vector<const CheckInfo*>& checks, FindingSink& sink) {
    Plan plan;
    std::size_t next = 0;
    while (next < checks.size()) {
        // What the plan skips needs no process.
        if (const std::string why = plan.SkipReason(*checks[next]); !why.empty()) {
            sink.BeginCheck(checks[next]->name);
            sink.Report({checks[next]->name, Outcome::Skip, "", why});
            sink.EndCheck();
            ++next;
            continue;
        }
        std::string avoided;
        for (const std::string& entryPoint : plan.avoided()) avoided += (avoided.empty() ? "" : ",") + entryPoint;
        std::vector<std::string> arguments{std::to_string(level), EncodeText(file), avoided.empty() ? "-" : avoided};
        for (std::size_t i = next; i < checks.size(); ++i) arguments.push_back(checks[i]->name);
        const auto helper = HelperProcess::Start(arguments);
        if (!helper) {
            for (; next < checks.size(); ++next) {
                sink.BeginCheck(checks[next]->name);
                sink.Report({checks[next]->name, Outcome::Fail, "", "the helper process could not be started"});
                sink.EndCheck();
            }
            return;
        }
        next = FollowHelper(*helper, checks, next, sink, plan);
    }
}

int RunAsHelper(int argc, char** argv) {
    const auto channel = HelperChannel::Open(argc, argv);
    if (!channel) return 2;
    const std::vector<std::string>& arguments = channel->arguments();
    std::string file;
    std::vector<const CheckInfo*> checks;
    Plan plan;
    const int level = arguments.empty() ? 0 : std::atoi(arguments[0].c_str());
    bool understood = level >= 1 && level <= 5 && arguments.size() >= 4 && DecodeText(arguments[1], file);
    for (std::size_t start = 0; understood && arguments[2] != "-" && start <= arguments[2].size();) {
        const std::size_t comma = std::min(arguments[2].find(',', start), arguments[2].size());
        const std::string entryPoint = arguments[2].substr(start, comma - start);
        understood = IsEntryPointName(entryPoint);
        plan.Avoid(entryPoint);
        start = comma + 1;
    }
    for (std::size_t i = 3; understood && i < arguments.size(); ++i) {
        checks.push_back(FindCheck(arguments[i]));
        understood = checks.back() != nullptr;
    }
    if (!understood) channel->EndNow(2);
    LineSink sink([&](const std::string& line) {
        if (!channel->WriteLine(line)) channel->EndNow(1);
        return true;
    });
    sink.Started();
    CheckContext context(file, level);
    sink.Finished(RunChecks(context, checks, sink, plan, true) == checks.size());
    channel->EndNow(0);
}

}  // namespace velmora::validate
