// What velmora-validate tells: one line per check as it ends and a summary per file for
// people; the whole as JSON and as JUnit XML for programs.
#pragma once

#include "check.h"

#include <cstdio>
#include <string>
#include <vector>

namespace velmora::validate {

class Output final : public FindingSink {
public:
    explicit Output(std::FILE* people) : people_(people) {}

    void BeginFile(const std::string& file, int level, std::size_t checks, bool inProcess);
    void EndFile();

    void BeginCheck(const std::string& check) override;
    void Step(const std::string&, const std::string&, int) override {}
    void Report(const Finding& finding) override;
    void Avoid(const std::string&) override {}
    void EndCheck() override;

    bool anyFailed() const;
    // {"plugins":[{"file":...,"checks":[{"name","result","entry_point","detail"}]}]}
    std::string Json() const;
    // One test suite per file, one test case per check.
    std::string JUnit() const;

private:
    struct FileReport {
        std::string file;
        std::vector<Finding> findings;
    };

    std::FILE* people_;
    std::vector<FileReport> files_;
    std::vector<Finding> check_;  // the findings of the check under way
};

}  // namespace velmora::validate
