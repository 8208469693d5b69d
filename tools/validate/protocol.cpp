#include "protocol.h"

#include "core/candidate_screening.h"

#include <cstdlib>
#include <vector>

namespace velmora::validate {

namespace {

constexpr int kLongestLimitMs = 3600000;

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    for (std::size_t start = 0; start <= line.size();) {
        const std::size_t space = std::min(line.find(' ', start), line.size());
        fields.push_back(line.substr(start, space - start));
        start = space + 1;
    }
    return fields;
}

bool EntryPointField(const std::string& field, std::string& entryPoint) {
    entryPoint = field == "-" ? std::string{} : field;
    return field == "-" || IsEntryPointName(field);
}

bool LimitField(const std::string& field, int& limitMs) {
    if (field.empty() || field.size() > 7 || field.find_first_not_of("0123456789") != std::string::npos) return false;
    limitMs = std::atoi(field.c_str());
    return limitMs > 0 && limitMs <= kLongestLimitMs;
}

bool OutcomeField(const std::string& field, Outcome& outcome) {
    for (const Outcome candidate : {Outcome::Pass, Outcome::Fail, Outcome::Skip}) {
        if (field == OutcomeWord(candidate)) {
            outcome = candidate;
            return true;
        }
    }
    return false;
}

std::string EntryPointOrDash(const std::string& entryPoint) { return entryPoint.empty() ? "-" : entryPoint; }

}  // namespace

bool ParseReportLine(const std::string& line, ReportLine& parsed) {
    using Kind = ReportLine::Kind;
    if (line.size() >= 2 && line.compare(0, 2, "D ") == 0) {
        parsed.kind = Kind::LastWords;
        parsed.text = line.substr(2);
        return true;
    }
    const std::vector<std::string> f = Fields(line);
    const std::string& tag = f[0];
    if (f.size() == 1) {
        if (tag == "H") parsed.kind = Kind::Started;
        else if (tag == "E") parsed.kind = Kind::End;
        else if (tag == "X") parsed.kind = Kind::Stop;
        else if (tag == "Q") parsed.kind = Kind::Done;
        else return false;
        return true;
    }
    if (tag == "C" && f.size() == 2) {
        parsed.kind = Kind::Begin;
        parsed.check = f[1];
        return FindCheck(f[1]) != nullptr;
    }
    if (tag == "A" && f.size() == 2) {
        parsed.kind = Kind::Avoid;
        parsed.entryPoint = f[1];
        return IsEntryPointName(f[1]);
    }
    if (tag == "S" && f.size() == 4) {
        parsed.kind = Kind::Step;
        return LimitField(f[1], parsed.limitMs) && EntryPointField(f[2], parsed.entryPoint) && DecodeText(f[3], parsed.text);
    }
    if (tag == "R" && f.size() == 4) {
        parsed.kind = Kind::Result;
        return OutcomeField(f[1], parsed.outcome) && EntryPointField(f[2], parsed.entryPoint) &&
               DecodeText(f[3], parsed.text);
    }
    return false;
}

void LineSink::BeginCheck(const std::string& check) { Write("C " + check); }

void LineSink::Step(const std::string& entryPoint, const std::string& what, int limitMs) {
    Write("S " + std::to_string(limitMs) + " " + EntryPointOrDash(entryPoint) + " " + EncodeText(what));
}

void LineSink::Report(const Finding& finding) {
    Write(std::string("R ") + OutcomeWord(finding.outcome) + " " + EntryPointOrDash(finding.entryPoint) + " " +
          EncodeText(finding.detail));
}

void LineSink::Avoid(const std::string& entryPoint) { Write("A " + entryPoint); }

void LineSink::EndCheck() { Write("E"); }

void LineSink::Started() { Write("H"); }

void LineSink::Finished(bool everyCheck) { Write(everyCheck ? "Q" : "X"); }

void LineSink::Write(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    write_(line);
}

}  // namespace velmora::validate
