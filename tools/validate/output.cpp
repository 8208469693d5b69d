#include "output.h"

#include "json_text.h"
#include "terminal_text.h"

#include <algorithm>

namespace velmora::validate {

namespace {

// How many checks passed, failed and were skipped; a check fails with any failed finding.
struct Tally {
    int passed = 0, failed = 0, skipped = 0;
    int checks() const { return passed + failed + skipped; }
};

// The findings of each check, checks in the order they ran.
std::vector<std::vector<const Finding*>> ByCheck(const std::vector<Finding>& findings) {
    std::vector<std::vector<const Finding*>> checks;
    for (const Finding& finding : findings) {
        if (checks.empty() || checks.back().front()->check != finding.check) checks.emplace_back();
        checks.back().push_back(&finding);
    }
    return checks;
}

Tally Count(const std::vector<Finding>& findings) {
    Tally tally;
    for (const auto& check : ByCheck(findings)) {
        const Outcome outcome = check.front()->outcome;
        (outcome == Outcome::Fail ? tally.failed : outcome == Outcome::Skip ? tally.skipped : tally.passed)++;
    }
    return tally;
}

std::string Xml(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default:
                // XML 1.0 has no place for the other control characters.
                if (c >= 0x20 || c == '\t' || c == '\n') out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Shown(const Finding& finding) {
    return finding.entryPoint.empty() ? finding.detail : finding.entryPoint + ": " + finding.detail;
}

}  // namespace

void Output::BeginFile(const std::string& file, int level, std::size_t checks, bool inProcess) {
    files_.push_back({file, {}});
    std::fprintf(people_, "%s: %d check(s) at level %d, %s\n", tools::NameAsUtf8(file).c_str(), int(checks), level,
                 inProcess ? "in this process" : "each in a helper process");
    std::fflush(people_);
}

void Output::EndFile() {
    const Tally tally = Count(files_.back().findings);
    std::fprintf(people_, "%s: %d passed, %d failed, %d skipped\n", tools::NameAsUtf8(files_.back().file).c_str(),
                 tally.passed, tally.failed, tally.skipped);
    std::fflush(people_);
}

void Output::BeginCheck(const std::string&) { check_.clear(); }

void Output::Report(const Finding& finding) { check_.push_back(finding); }

void Output::EndCheck() {
    for (const Finding& finding : check_) {
        const char* word = finding.outcome == Outcome::Fail ? "FAIL" : OutcomeWord(finding.outcome);
        std::fprintf(people_, "  %-4s  %-19s  %s\n", word, finding.check.c_str(), Shown(finding).c_str());
    }
    std::fflush(people_);
    if (!files_.empty()) files_.back().findings.insert(files_.back().findings.end(), check_.begin(), check_.end());
    check_.clear();
}

bool Output::anyFailed() const {
    return std::any_of(files_.begin(), files_.end(), [](const FileReport& file) { return Count(file.findings).failed > 0; });
}

std::string Output::Json() const {
    std::string json = "{\"plugins\": [";
    for (std::size_t f = 0; f < files_.size(); ++f) {
        json += std::string(f ? "," : "") + "\n  {\"file\": " + tools::JsonQuoted(tools::NameAsUtf8(files_[f].file)) +
                ", \"checks\": [";
        const auto& findings = files_[f].findings;
        for (std::size_t i = 0; i < findings.size(); ++i) {
            const Finding& finding = findings[i];
            json += std::string(i ? "," : "") + "\n    {\"name\": " + tools::JsonQuoted(finding.check) +
                    ", \"result\": " + tools::JsonQuoted(OutcomeWord(finding.outcome)) + ", \"entry_point\": " +
                    (finding.entryPoint.empty() ? "null" : tools::JsonQuoted(finding.entryPoint)) +
                    ", \"detail\": " + tools::JsonQuoted(finding.detail) + "}";
        }
        json += "\n  ]}";
    }
    return json + "\n]}\n";
}

std::string Output::JUnit() const {
    Tally all;
    std::string suites;
    for (const FileReport& file : files_) {
        const Tally tally = Count(file.findings);
        all.passed += tally.passed;
        all.failed += tally.failed;
        all.skipped += tally.skipped;
        const std::string name = Xml(tools::NameAsUtf8(file.file));
        suites += "  <testsuite name=\"" + name + "\" tests=\"" + std::to_string(tally.checks()) + "\" failures=\"" +
                  std::to_string(tally.failed) + "\" errors=\"0\" skipped=\"" + std::to_string(tally.skipped) + "\">\n";
        for (const auto& check : ByCheck(file.findings)) {
            const Finding& first = *check.front();
            suites += "    <testcase classname=\"" + name + "\" name=\"" + Xml(first.check) + "\">";
            if (first.outcome == Outcome::Fail) {
                std::string all;
                for (const Finding* finding : check) all += Shown(*finding) + "\n";
                suites += "\n      <failure message=\"" + Xml(Shown(first)) + "\">" + Xml(all) + "</failure>\n    ";
            } else if (first.outcome == Outcome::Skip) {
                suites += "\n      <skipped message=\"" + Xml(first.detail) + "\"/>\n    ";
            } else {
                suites += "\n      <system-out>" + Xml(first.detail) + "</system-out>\n    ";
            }
            suites += "</testcase>\n";
        }
        suites += "  </testsuite>\n";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"velmora-validate\" tests=\"" +
           std::to_string(all.checks()) + "\" failures=\"" + std::to_string(all.failed) + "\" errors=\"0\" skipped=\"" +
           std::to_string(all.skipped) + "\">\n" + suites + "</testsuites>\n";
}

}  // namespace velmora::validate
