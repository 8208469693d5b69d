// The lines a helper process reports its checks with, one tag and its fields each:
//   H                               it has started
//   C <check>                       a check begins
//   S <ms> <entry point|-> <text>   plug-in code is about to run, allowed <ms> before the
//                                   process is ended
//   R <pass|fail|skip> <entry point|-> <text>   a finding of the check
//   A <entry point>                 later checks are to leave the entry point alone
//   E                               the check has ended
//   X                               the process ends here: the checks after need a fresh one
//   Q                               every check has run
//   D <words>                       last words: how plug-in code is ending the process
// Texts travel encoded (EncodeText), so any byte may appear in them. Plug-in code runs in
// the process that writes these lines, so the reading side trusts nothing: a line that does
// not parse, or comes out of order, is a failure of the check, never a pass.
#pragma once

#include "check.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace velmora::validate {

struct ReportLine {
    enum class Kind { Started, Begin, Step, Result, Avoid, End, Stop, Done, LastWords };
    Kind kind = Kind::Started;
    std::string check;       // Begin
    int limitMs = 0;         // Step
    std::string entryPoint;  // Step, Result (empty for none), Avoid
    Outcome outcome = Outcome::Fail;
    std::string text;        // Step: what runs; Result: the detail; LastWords: the words
};

// False when the line is no such line.
bool ParseReportLine(const std::string& line, ReportLine& parsed);

using Clock = std::chrono::steady_clock;

// The validator's side: what a helper process says, line by line, and how it ended.
class ReportSource {
public:
    // Unmarked: a line that does not carry the helper's mark for its place in the report.
    enum class Read { Line, TimedOut, Ended, Overlong, Unmarked };
    virtual ~ReportSource() = default;
    // The next line, without its end, waiting until the deadline for it.
    virtual Read NextLine(std::string& line, Clock::time_point deadline) = 0;
    // Ends the process if it still runs, and says how it ended. inPluginCall: it was in
    // plug-in code run under the library's fault guard.
    virtual std::string End(bool inPluginCall) = 0;
};

// The helper's side: the findings of its checks as lines, handed to write (which adds the
// line end and answers false once the reader is gone). Safe to use from several threads.
class LineSink final : public FindingSink {
public:
    explicit LineSink(std::function<bool(const std::string&)> write) : write_(std::move(write)) {}

    void BeginCheck(const std::string& check) override;
    void Step(const std::string& entryPoint, const std::string& what, int limitMs) override;
    void Report(const Finding& finding) override;
    void Avoid(const std::string& entryPoint) override;
    void EndCheck() override;
    // H, X, Q
    void Started();
    void Finished(bool everyCheck);

private:
    void Write(const std::string& line);

    std::function<bool(const std::string&)> write_;
    std::mutex mutex_;
};

}  // namespace velmora::validate
