#include "core/candidate_screening.h"

#include "core/report_channel.h"
#include "core/run_log.h"
#include "core/server_manager.h"
#include "core/server_types.h"
#include "core/verdict_cache.h"
#include "platform/platform.h"
#include "platform/process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace velmora {

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
constexpr const char kHelperFile[] = "velmora-scan-helper.exe";
#else
constexpr const char kHelperFile[] = "velmora-scan-helper";
#endif
// Starting a helper may take a while on a loaded machine (or under Wine); this much is
// always allowed until it has read the request and said it starts. No plug-in has run then.
constexpr int kStartAllowanceMs = 30000;
// A helper whose channel closed, or that said its last words, has this long to end before
// it is killed.
constexpr int kEndingWaitMs = 1000;
// After a kill the process ends at once; the wait for it is bounded all the same.
constexpr int kKillWaitMs = 5000;
// What one read may take: a few whole lines.
constexpr std::size_t kReadSize = 4 * report::kLongestLine;

std::string Seconds(int milliseconds) {
    char text[32];
    if (milliseconds % 1000 == 0) std::snprintf(text, sizeof text, "%d s", milliseconds / 1000);
    else std::snprintf(text, sizeof text, "%.1f s", milliseconds / 1000.0);
    return text;
}

std::string During(const char* step) {
    if (!step) return "";
    return IsLoadingStep(step) ? std::string(" while being loaded") : std::string(" in ") + step;
}

std::string MisdeedWords(report::Misdeed misdeed) {
    switch (misdeed) {
        case report::Misdeed::StackOverflow: return "stack overflow";
        case report::Misdeed::FaultWhileLoading: return "a fault";
        case report::Misdeed::AbortWhileLoading: return "aborted";
    }
    return "";
}

std::string LastWordsText(const report::Event& words) {
    using Ending = report::Ending;
    switch (words.ending) {
        case Ending::Aborted: return "aborted";
        case Ending::Exited: return "exited with status " + std::to_string(words.code);
        case Ending::OwnSignal: return "killed by signal " + std::to_string(words.code) + ", raised by itself";
        case Ending::OutsideSignal:
            return "killed by signal " + std::to_string(words.code) + ", sent by another process";
    }
    return "";
}

// One file of a helper run: examined for its verdict, or loaded again (with the same calls)
// because the host will have loaded it before the files after it.
struct RunItem {
    std::size_t candidate;  // index into the scan's names
    bool again;
};

// One run of the helper over a list of files: what became of each.
class HelperRun {
public:
    enum class End {
        Finished,     // every file was done
        Condemned,    // the file named in culprit ended, stalled or broke the helper
        CannotStart,  // the helper never got as far as its first file
    };

    HelperRun(const ScreeningSettings& settings, const std::string& directory, const std::string& pluginPath,
              const std::vector<std::string>& names, const std::vector<RunItem>& items)
        : settings_(settings), directory_(directory), pluginPath_(pluginPath), names_(names), items_(items) {}

    End Run() {
        report::Request request;
        platform::RandomBytes(request.key.data(), request.key.size());
        request.directory = directory_;
        request.pluginPath = pluginPath_;
        for (const RunItem& item : items_) request.names.push_back(names_[item.candidate]);

        child_ = platform::ChildProcess::Start(settings_.helper, kStartAllowanceMs);
        if (!child_ || !child_->Send(report::SerialiseRequest(request), kStartAllowanceMs))
            return CannotStart("could not be started");
        report::ReportReader reader(request.key, items_.size());
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kStartAllowanceMs);
        std::vector<report::Event> events;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            // The deadline holds whatever arrives meanwhile.
            if (left <= 0) return TimedOut(reader);
            std::string bytes;
            const auto read = child_->Read(bytes, kReadSize, static_cast<int>(left));
            if (read == platform::ChildProcess::ReadResult::TimedOut) return TimedOut(reader);
            if (read == platform::ChildProcess::ReadResult::Ended) return ChannelClosed(reader);
            events.clear();
            const bool whole = reader.Take(bytes, events);
            for (const report::Event& event : events) {
                switch (event.kind) {
                    case report::Event::Kind::Hello:
                    case report::Event::Kind::Begin:
                    case report::Event::Kind::Examined:
                        step_ = nullptr;
                        deadline = Clock::now() + std::chrono::milliseconds(settings_.timeoutMs);
                        if (event.kind == report::Event::Kind::Hello) started_ = true;
                        if (event.kind == report::Event::Kind::Examined) done_.push_back(event.file);
                        break;
                    case report::Event::Kind::Step: step_ = event.step; break;
                    case report::Event::Kind::Misdeed:
                        // The helper ends by itself; nothing it could say would change this.
                        return Condemn(event.file, {true, MisdeedWords(event.misdeed) + During(step_)}, true);
                    case report::Event::Kind::LastWords: lastWords_ = event; break;
                    case report::Event::Kind::End: return Finish();
                }
            }
            if (!whole) return Broken(reader);
        }
    }

    // The files the helper finished, as indices into the run's items.
    const std::vector<std::size_t>& done() const { return done_; }
    std::size_t culprit() const { return culprit_; }
    const ScreeningVerdict& verdict() const { return verdict_; }

private:
    // The file the helper was examining, or the next one it was to begin: whatever happens
    // between two files may be the doing of the one before, but only condemning the next
    // one makes sure every run gets further than the last.
    static std::optional<std::size_t> CulpritOf(const report::ReportReader& reader, std::size_t count) {
        const std::size_t culprit = reader.current() < count ? reader.current() : reader.next();
        if (culprit < count) return culprit;
        return std::nullopt;
    }

    End TimedOut(const report::ReportReader& reader) {
        if (!started_) return CannotStart("said nothing within " + Seconds(kStartAllowanceMs));
        KillAndReap();
        return Blame(reader, {true, "no answer within " + Seconds(settings_.timeoutMs) + During(step_), false, true});
    }

    End Broken(const report::ReportReader& reader) {
        if (!started_) return CannotStart("said what makes no sense");
        KillAndReap();
        if (lastWords_) return Blame(reader, {true, LastWordsText(*lastWords_) + During(step_)});
        return Blame(reader, {true, "the report was malformed" + During(step_)});
    }

    End ChannelClosed(const report::ReportReader& reader) {
        const bool inGuardedCall = step_ && !IsLoadingStep(step_);
        std::unique_ptr<platform::ProcessEnding> ending = child_->WaitForEnding(kEndingWaitMs, inGuardedCall);
        if (!ending) {
            // Still running with its channel gone: plug-in code closed it.
            KillAndReap();
            if (!started_) return CannotStart("closed its channel");
            return Blame(reader, {true, "the report channel was closed" + During(step_)});
        }
        if (!started_) return CannotStart(ending->words + " before it started");
        using Kind = platform::ProcessEnding::Kind;
        const bool overflow = ending->kind == Kind::StackOverflow;
        if (lastWords_ && !overflow) {
            const bool outside = lastWords_->ending == report::Ending::OutsideSignal;
            return Blame(reader, {true, LastWordsText(*lastWords_) + During(step_), false, outside});
        }
        // A signal that is no fault, and that nobody reported, may have come from the
        // machine (the out-of-memory killer, a user's kill): not the file's verdict for good.
        const bool maybeTheMachine = ending->kind == Kind::Signal || ending->kind == Kind::Unknown;
        return Blame(reader, {true, ending->words + During(step_), false, maybeTheMachine});
    }

    End Blame(const report::ReportReader& reader, const ScreeningVerdict& verdict) {
        const auto culprit = CulpritOf(reader, items_.size());
        if (!culprit) {
            runlog::Write(runlog::Level::Events, "helper ended after its last file (%s)", verdict.cause.c_str());
            return End::Finished;
        }
        return Condemn(*culprit, verdict, false);
    }

    End Condemn(std::size_t item, const ScreeningVerdict& verdict, bool endsByItself) {
        if (endsByItself && !child_->WaitForEnding(kEndingWaitMs, false)) KillAndReap();
        culprit_ = item;
        verdict_ = verdict;
        const std::string& name = names_[items_[item].candidate];
        runlog::Write(runlog::Level::Events, "helper: %s condemned (%s)%s", name.c_str(), verdict.cause.c_str(),
                      items_[item].again ? ", loaded after the files the host loads before it" : "");
        return End::Condemned;
    }

    End Finish() {
        if (!child_->WaitForEnding(kEndingWaitMs, false)) {
            runlog::Write(runlog::Level::Events, "helper did not end after its last file: ended");
            KillAndReap();
        }
        return End::Finished;
    }

    End CannotStart(const std::string& why) {
        runlog::Write(runlog::Level::Events, "helper %s %s: examining in-process only", settings_.helper.c_str(),
                      why.c_str());
        if (child_) KillAndReap();
        return End::CannotStart;
    }

    void KillAndReap() {
        child_->Kill();
        child_->WaitForEnding(kKillWaitMs, false);
    }

    const ScreeningSettings& settings_;
    const std::string& directory_;
    const std::string& pluginPath_;
    const std::vector<std::string>& names_;
    const std::vector<RunItem>& items_;
    std::unique_ptr<platform::ChildProcess> child_;
    bool started_ = false;
    const char* step_ = nullptr;
    std::optional<report::Event> lastWords_;
    std::vector<std::size_t> done_;
    std::size_t culprit_ = 0;
    ScreeningVerdict verdict_;
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

    const std::int64_t now = VerdictCache::NowMs();
    VerdictCache cache(settings.cacheFile);
    // By candidate: what the helper or the cache said of it so far, and its cache key. A
    // provisional verdict due to be examined again still stands if no helper gets to it.
    std::vector<std::optional<ScreeningVerdict>> known(names.size());
    std::vector<std::optional<ScreeningVerdict>> remembered(names.size());
    std::vector<std::optional<VerdictCache::Key>> keys(names.size());
    bool strangers = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        VerdictCache::Key key{directory + platform::kPathSeparator + names[i], {}, pluginPath};
        // A file that cannot be examined now is examined by the helper, and not remembered.
        if (platform::StampOf(key.path, key.stamp)) {
            const VerdictCache::Entry* entry = cache.Find(key);
            if (entry && !(entry->verdict.provisional && VerdictCache::DueAgain(*entry, now))) {
                const ScreeningVerdict& verdict = entry->verdict;
                runlog::Write(runlog::Level::Events, "cache: %s %s%s%s", names[i].c_str(),
                              verdict.condemned ? "condemned earlier (" : "examined earlier", verdict.cause.c_str(),
                              verdict.condemned ? ")" : "");
                known[i] = verdict;
            } else if (entry) {
                remembered[i] = entry->verdict;
                runlog::Write(runlog::Level::Events, "cache: %s condemned earlier (%s), examined again", names[i].c_str(),
                              entry->verdict.cause.c_str());
            }
            keys[i] = key;
        }
        strangers = strangers || !known[i];
    }
    const auto fill = [&] {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (known[i]) verdicts[names[i]] = *known[i];
            else if (remembered[i]) verdicts[names[i]] = *remembered[i];
        }
    };
    platform::FileStamp helperStamp;
    if (!strangers) {
        fill();
        return verdicts;
    }
    if (settings.helper.empty() || !platform::StampOf(settings.helper, helperStamp)) {
        runlog::Write(runlog::Level::Events, "no helper at %s: examining in-process only", settings.helper.c_str());
        fill();
        return verdicts;
    }

    // Each run either gets through its files or condemns one more file, so this ends.
    std::vector<bool> examined(names.size(), false);
    for (;;) {
        std::size_t first = 0;
        while (first < names.size() && known[first]) ++first;
        if (first == names.size()) break;
        // Every file the host will load, in its order: those before the first stranger are
        // loaded again, so that each verdict is reached where the host will be.
        std::vector<RunItem> items;
        for (std::size_t i = 0; i < names.size(); ++i)
            if (!(known[i] && known[i]->condemned)) items.push_back({i, known[i].has_value()});
        const std::size_t again = static_cast<std::size_t>(
            std::count_if(items.begin(), items.end(), [&](const RunItem& item) { return item.candidate < first; }));
        runlog::Write(runlog::Level::Events, "helper started for %d file(s) of \"%s\", from %s%s",
                      static_cast<int>(items.size() - again), directory.c_str(), names[first].c_str(),
                      again ? (", " + std::to_string(again) + " loaded again before it").c_str() : "");
        HelperRun run(settings, directory, pluginPath, names, items);
        const HelperRun::End end = run.Run();
        for (const std::size_t done : run.done()) {
            const std::size_t candidate = items[done].candidate;
            if (!known[candidate]) {
                known[candidate] = ScreeningVerdict{};
                examined[candidate] = true;
            }
        }
        if (end == HelperRun::End::CannotStart) break;
        if (end == HelperRun::End::Condemned) {
            const std::size_t candidate = items[run.culprit()].candidate;
            known[candidate] = run.verdict();
            examined[candidate] = true;
        }
    }
    for (std::size_t i = 0; i < names.size(); ++i)
        if (examined[i] && keys[i]) cache.Put(*keys[i], *known[i], now);
    if (!cache.Save()) runlog::Write(runlog::Level::Events, "cache: %s could not be written", cache.file().c_str());
    fill();
    return verdicts;
}

}  // namespace velmora
