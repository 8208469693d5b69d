#include "core/candidate_screening.h"

#include "core/run_log.h"

#include "core/server_manager.h"
#include "core/server_types.h"
#include "core/verdict_cache.h"
#include "platform/platform.h"
#include "platform/process.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace velmora {

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
constexpr const char kHelperFile[] = "velmora-scan-helper.exe";
#else
constexpr const char kHelperFile[] = "velmora-scan-helper";
#endif
// Starting a helper may take a while on a loaded machine (or under Wine); this much is
// always allowed before the first file.
constexpr int kStartAllowanceMs = 30000;
// A command line stays well below the 32767 characters Windows takes.
constexpr std::size_t kLongestCommandLine = 24000;

std::string Seconds(int milliseconds) {
    char text[32];
    if (milliseconds % 1000 == 0) std::snprintf(text, sizeof text, "%d s", milliseconds / 1000);
    else std::snprintf(text, sizeof text, "%.1f s", milliseconds / 1000.0);
    return text;
}

std::string During(const std::string& step) {
    if (step.empty()) return "";
    return step == kLoadingStep ? " while being loaded" : " in " + step;
}

// One run of the helper over names[next...]: what it said, file by file.
class HelperRun {
public:
    enum class End {
        Finished,   // every file of the batch got a verdict
        Condemned,  // the file at next ended or stalled the helper; start another for the rest
        Failed,     // a failure tied to no file: give the helper up
    };

    HelperRun(const ScreeningSettings& settings, std::map<std::string, ScreeningVerdict>& verdicts)
        : settings_(settings), verdicts_(verdicts) {}

    End Run(const std::string& directory, const std::string& pluginPath, const std::vector<std::string>& names,
            std::size_t& next) {
        std::vector<std::string> arguments{EncodeText(directory), EncodeText(pluginPath)};
        std::size_t length = settings_.helper.size() + arguments[0].size() + arguments[1].size();
        std::size_t last = next;
        while (last < names.size() && (last == next || length + names[last].size() * 2 + 4 < kLongestCommandLine)) {
            arguments.push_back(EncodeText(names[last]));
            length += arguments.back().size() + 3;
            ++last;
        }
        child_ = platform::ChildProcess::Start(settings_.helper, arguments);
        if (!child_) {
            runlog::Write(runlog::Level::Events, "helper %s could not be started: examining in-process only",
                          settings_.helper.c_str());
            return End::Failed;
        }
        runlog::Write(runlog::Level::Events, "helper started for %d file(s) of \"%s\", from %s",
                      static_cast<int>(last - next), directory.c_str(), names[next].c_str());

        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(kStartAllowanceMs, settings_.timeoutMs));
        std::string pending;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            const auto read = child_->Read(pending, static_cast<int>(std::max<long long>(left, 0)));
            std::size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, newline);
                pending.erase(0, newline + 1);
                if (!Take(line, names, next, last, deadline)) return GiveUp("said what makes no sense");
            }
            if (finished_) return End::Finished;
            if (read == platform::ChildProcess::ReadResult::TimedOut) {
                if (current_.empty()) return GiveUp("stalled between files");
                runlog::Write(runlog::Level::Events, "helper: no answer within %s on %s: ended",
                              Seconds(settings_.timeoutMs).c_str(), current_.c_str());
                child_->Kill();
                child_->Ending(true);
                return Condemn(names, next, "no answer within " + Seconds(settings_.timeoutMs) + During(step_));
            }
            if (read == platform::ChildProcess::ReadResult::Ended) {
                // Linux lets faults take their course while a library is being loaded.
                const platform::ProcessEnding ending = child_->Ending(!current_.empty() && step_ != kLoadingStep);
                if (current_.empty()) {
                    if (!faulted_)
                        runlog::Write(runlog::Level::Events, "helper %s between files: examining in-process only",
                                      ending.words.c_str());
                    return faulted_ ? End::Condemned : End::Failed;
                }
                const bool toldUs = !lastWords_.empty() && ending.kind != platform::ProcessEnding::Kind::StackOverflow;
                return Condemn(names, next, (toldUs ? lastWords_ : ending.words) + During(step_));
            }
        }
    }

private:
    // Follows one line of the helper; false when it makes no sense.
    bool Take(const std::string& line, const std::vector<std::string>& names, std::size_t& next, std::size_t last,
              Clock::time_point& deadline) {
        const char tag = line.empty() ? '\0' : line[0];
        const std::string rest = line.size() > 2 ? line.substr(2) : std::string{};
        if (line.size() == 1 || (line.size() > 2 && line[1] == ' ')) {
            switch (tag) {
                case 'H':
                    if (line.size() != 1 || started_) return false;
                    started_ = true;
                    return true;
                case 'B': {
                    std::string name;
                    if (!started_ || !current_.empty() || next >= last || !DecodeText(rest, name) || name != names[next])
                        return false;
                    current_ = name;
                    step_.clear();
                    deadline = Clock::now() + std::chrono::milliseconds(settings_.timeoutMs);
                    return true;
                }
                case 'S':
                    if (current_.empty() || rest.empty()) return false;
                    step_ = rest;
                    return true;
                case 'V':
                case 'F':
                    if (current_.empty() || (tag == 'V') != (line.size() == 1) || faulted_) return false;
                    verdicts_[current_] = tag == 'V' ? ScreeningVerdict{} : ScreeningVerdict{true, rest + During(step_), false};
                    faulted_ = tag == 'F';
                    current_.clear();
                    ++next;
                    deadline = Clock::now() + std::chrono::milliseconds(settings_.timeoutMs);
                    return true;
                case 'D':
                    lastWords_ = rest;
                    return true;
                case 'E':
                    finished_ = current_.empty() && next == last;
                    return finished_;
                default: break;
            }
        }
        return false;
    }

    End Condemn(const std::vector<std::string>& names, std::size_t& next, const std::string& cause) {
        runlog::Write(runlog::Level::Events, "helper: %s condemned (%s)", names[next].c_str(), cause.c_str());
        verdicts_[names[next]] = ScreeningVerdict{true, cause, false};
        ++next;
        return End::Condemned;
    }

    End GiveUp(const char* why) {
        runlog::Write(runlog::Level::Events, "helper %s: ended, examining in-process only", why);
        child_->Kill();
        child_->Ending(false);
        return End::Failed;
    }

    const ScreeningSettings& settings_;
    std::map<std::string, ScreeningVerdict>& verdicts_;
    std::unique_ptr<platform::ChildProcess> child_;
    bool started_ = false;
    bool finished_ = false;
    bool faulted_ = false;  // it condemned a file whose fault it contained, and is ending
    std::string current_;
    std::string step_;
    std::string lastWords_;
};

}  // namespace

std::string EncodeText(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string encoded = "x";
    for (unsigned char c : text) {
        encoded += digits[c >> 4];
        encoded += digits[c & 15];
    }
    return encoded;
}

bool DecodeText(const std::string& encoded, std::string& text) {
    if (encoded.empty() || encoded[0] != 'x' || encoded.size() % 2 != 1) return false;
    const auto value = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    std::string decoded;
    for (std::size_t i = 1; i < encoded.size(); i += 2) {
        const int high = value(encoded[i]), low = value(encoded[i + 1]);
        if (high < 0 || low < 0) return false;
        decoded += static_cast<char>(high * 16 + low);
    }
    text = std::move(decoded);
    return true;
}

std::string HelperFileFor(const std::string& libraryFile) {
    // Beside the library, as in a build tree and on Windows; or in a folder of its own
    // there, as a private program of an installed Linux library. That folder carries the
    // soname's version, so that the libraries of two versions can be installed side by side.
    const std::string beside = DirectoryPart(libraryFile) + kHelperFile;
    const std::string inFolder =
        DirectoryPart(libraryFile) + VELMORA_HELPER_FOLDER + platform::kPathSeparator + kHelperFile;
    platform::FileStamp stamp;
    return platform::StampOf(beside, stamp) || !platform::StampOf(inFolder, stamp) ? beside : inFolder;
}

std::string DefaultHelperFile() {
    const std::string own = platform::OwnModulePath();
    return own.empty() ? std::string{} : HelperFileFor(own);
}

ScreeningSettings ScreeningSettings::FromEnvironment() {
    ScreeningSettings settings;
    settings.enabled = platform::EnvironmentVariable("VELMORA_SCAN") != "in-process";
    const std::string timeout = platform::EnvironmentVariable("VELMORA_SCAN_TIMEOUT");
    char* end = nullptr;
    const double seconds = std::strtod(timeout.c_str(), &end);
    if (!timeout.empty() && *end == '\0' && seconds > 0 && seconds <= 3600)
        settings.timeoutMs = static_cast<int>(seconds * 1000 + 0.5);
    settings.helper = platform::EnvironmentVariable("VELMORA_SCAN_HELPER");
    if (settings.helper.empty()) settings.helper = DefaultHelperFile();
    if (platform::EnvironmentVariable("VELMORA_SCAN_CACHE") != "off") settings.cacheFile = VerdictCache::DefaultFile();
    return settings;
}

std::map<std::string, ScreeningVerdict> ScreenCandidates(const std::string& directory, const std::string& pluginPath,
                                                         const std::vector<std::string>& names,
                                                         const ScreeningSettings& settings) {
    std::map<std::string, ScreeningVerdict> verdicts;
    if (!settings.enabled) runlog::Write(runlog::Level::Events, "helper turned off: examining in-process only");
    if (!settings.enabled || names.empty()) return verdicts;

    VerdictCache cache(settings.cacheFile);
    std::vector<std::string> strangers;
    std::map<std::string, VerdictCache::Key> keys;
    for (const std::string& name : names) {
        VerdictCache::Key key{directory + platform::kPathSeparator + name, {}, pluginPath};
        // A file that cannot be examined now is examined by the helper, and not remembered.
        if (!platform::StampOf(key.path, key.stamp)) {
            strangers.push_back(name);
            continue;
        }
        if (const ScreeningVerdict* known = cache.Find(key)) {
            runlog::Write(runlog::Level::Events, "cache: %s %s%s%s", name.c_str(),
                          known->condemned ? "condemned earlier (" : "examined earlier", known->cause.c_str(),
                          known->condemned ? ")" : "");
            verdicts[name] = *known;
            continue;
        }
        keys[name] = key;
        strangers.push_back(name);
    }
    platform::FileStamp helperStamp;
    if (strangers.empty()) return verdicts;
    if (settings.helper.empty() || !platform::StampOf(settings.helper, helperStamp)) {
        runlog::Write(runlog::Level::Events, "no helper at %s: examining in-process only", settings.helper.c_str());
        return verdicts;
    }

    // Each run either gets through its files or condemns one of them, so this ends.
    std::size_t next = 0;
    while (next < strangers.size()) {
        HelperRun run(settings, verdicts);
        if (run.Run(directory, pluginPath, strangers, next) == HelperRun::End::Failed) break;
    }
    for (const auto& [name, key] : keys) {
        const auto verdict = verdicts.find(name);
        if (verdict != verdicts.end()) cache.Put(key, verdict->second);
    }
    if (!cache.Save()) runlog::Write(runlog::Level::Events, "cache: %s could not be written", cache.file().c_str());
    return verdicts;
}

}  // namespace velmora
